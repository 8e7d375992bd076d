// End-to-end tests of capture conversion through the built programs: captures that tcpdump
// recorded (tests/data) and one the simulator writes give the rows of the frames sent; filters and
// lost fragments are counted; files that are not captures, or are the output, or break off; Ctrl-C
// during a conversion; --describe of a capture.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>

#include "generators/synthetic_scan.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/runs.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;
using testing::HasSubstr;

// The counts of the receiver's summary line after a conversion.
struct Summary {
    uint64_t read = 0, filteredOut = 0, reassembled = 0, dropped = 0, skipped = 0;
    uint64_t parseErrors = 0, lost = 0, rows = 0;
    std::string dropReasons;      // the text in parentheses after the dropped count, if any
    std::string parseErrorKinds;  // the same after the parse errors
};

// The summary line of `text` for `capture`; nullopt when there is none.
std::optional<Summary> findSummary(const std::string& text, const std::string& capture) {
    const std::regex line(
        "(^|\n)" + std::regex_replace(capture, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
        R"(: (\d+) datagrams read, (\d+) filtered out, (\d+) fragments )"
        R"(reassembled, (\d+) incomplete datagrams dropped(?: \(([^)]+)\))?, )"
        R"((\d+) records skipped(?: \([^)]+\))?, (\d+) parse errors(?: \(([^)]+)\))?, )"
        R"((\d+) lost telegrams, (\d+) rows written\n)");
    std::smatch m;
    if (!std::regex_search(text, m, line)) return std::nullopt;
    const auto number = [&](int i) { return std::stoull(m[i].str()); };
    return Summary{number(2), number(3),  number(4),  number(5),  number(7),
                   number(8), number(10), number(11), m[6].str(), m[9].str()};
}

ProgramRun convert(const std::vector<std::string>& arguments) {
    return runProgram(COMPACT_CSV_EXE, arguments, deadline);
}

class Capture : public testing::Test {
  protected:
    const ScratchDir dir;
};

// A capture and the simulator's options it was made with (tests/data/README.md for the
// recordings); `made` is empty for a recording, else the test has the simulator write it.
struct Recorded {
    std::string file;
    std::string made;  // the simulator's options but --pcap-out, agreeing with the fields below
    uint32_t lines, beams, echoes, badEvery, frames;
    double rate;
    uint64_t fragments;
};

// Captures written by a program we did not write (the kernel fragmented the frames of one at an
// MTU of 1500), and the simulator's own, its fragments shuffled, with malformed datagrams: each
// converts to the rows of the frames sent, on standard output, the summary on standard error.
TEST_F(Capture, RecordingsGiveTheRowsOfTheFramesSent) {
    // The simulator's capture: 60 frames of 8 fragments and, after every 9th, a malformed
    // datagram: two each of wrong magic and version (8 fragments each) and truncated (4).
    const Recorded recordings[] = {
        {"tcpdump_lo.pcap", "", 2, 3, 1, 0, 5, 50, 0},
        {"tcpdump_lo_fragments.pcap", "", 2, 120, 1, 0, 3, 50, 6},
        {"simulator.pcap",
         "-n 60 --bad-every 9 --shuffle-fragments --lines 8 --beams 120 --echoes 2 --rate 200", 8,
         120, 2, 9, 60, 200, 60 * 8 + 2 * (8 + 8 + 4)},
    };
    for (const Recorded& r : recordings) {
        SCOPED_TRACE(r.file);
        std::string capture = std::string(TEST_DATA_DIR) + "/" + r.file;
        if (!r.made.empty()) {
            capture = (dir / r.file).string();
            std::istringstream words(r.made);
            std::vector<std::string> arguments{std::istream_iterator<std::string>(words), {}};
            arguments.insert(arguments.end(), {"--pcap-out", capture});
            simulate(arguments);
        }
        const ProgramRun run = convert({"-r", capture, "-"});
        ASSERT_EQ(run.status, exitedWith0) << run.err;
        compact::ScanSettings settings;
        std::tie(settings.lines, settings.beams, settings.echoes, settings.badEvery) =
            std::tie(r.lines, r.beams, r.echoes, r.badEvery);
        const Simulated sent = simulated(settings, r.rate, r.frames);
        EXPECT_EQ(run.out, csvOf({}, sent.frames));
        const auto summary = findSummary(run.err, capture);
        ASSERT_TRUE(summary) << run.err;
        EXPECT_EQ(summary->read, r.frames + sent.malformed);
        EXPECT_EQ(summary->parseErrors, sent.malformed);
        // The simulator's malformed datagrams take the three kinds in turn.
        EXPECT_EQ(summary->parseErrorKinds,
                  sent.malformed == 0 ? "" : "2 wrong magic, 2 unsupported version, 2 truncated");
        EXPECT_EQ(summary->lost, 0u);
        EXPECT_EQ(summary->rows, r.frames * r.lines);
        EXPECT_EQ(summary->reassembled, r.fragments);
    }
}

// One capture with lost fragments from 10.1.2.3 to port 2115, converted with different filters.
TEST_F(Capture, FiltersAndLostFragmentsAreCounted) {
    const fs::path capture = dir / "lossy.pcap", output = dir / "rows.csv";
    const std::string sim = simulate({"--pcap-out", capture.string(), "--source", "10.1.2.3",
                                      "--host", "10.1.2.4", "-n", "40", "--drop-fragment", "4",
                                      "--seed", "3", "--lines", "8", "--beams", "120"});
    uint64_t incomplete = 0;
    ASSERT_EQ(std::sscanf(sim.c_str(),
                          "%*u frames, %*u malformed, %*u datagrams, %*u bytes written "
                          "in %*u capture records; %*u telegram counters skipped; "
                          "%" SCNu64 " datagrams lack a fragment",
                          &incomplete),
              1)
        << sim;
    ASSERT_GT(incomplete, 0u);
    const uint64_t whole = 40 - incomplete;

    const std::tuple<std::vector<std::string>, uint64_t, uint64_t> cases[] = {
        {{"--address", "10.1.2.3"}, whole, incomplete},  // read, dropped
        // Other sources are filtered before reassembly: their fragments are never held.
        {{"--address", "10.1.2.5"}, 0, 0},
        {{"--port", "2116"}, 0, incomplete},
    };
    for (auto [arguments, read, dropped] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        arguments.insert(arguments.end(), {"-r", capture.string(), output.string()});
        const ProgramRun run = convert(arguments);
        ASSERT_EQ(run.status, exitedWith0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto summary = findSummary(run.out, capture.string());
        ASSERT_TRUE(summary) << run.out;
        EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "only the summary line";
        EXPECT_EQ(summary->read, read);
        EXPECT_EQ(summary->dropped, dropped);
        // 40 frames span 0.17 s: none is older than the time-out.
        EXPECT_EQ(summary->dropReasons,
                  dropped == 0 ? "" : std::to_string(dropped) + " end of capture");
        EXPECT_EQ(summary->rows, read * 8);
        // A lost last frame leaves no gap behind it.
        EXPECT_LE(summary->lost, read == 0 ? 0 : dropped);
        EXPECT_GE(summary->lost + 1, read == 0 ? 0 : dropped);
        const std::string csv = readFile(output);
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), read == 0 ? 0 : read * 8 + 1);
    }
}

// A file that is missing, not a capture or the output itself: one line, status 1, and neither
// the output created nor the capture touched.
TEST_F(Capture, RefusedInputsAreOneLineAndStatusOne) {
    const fs::path text = dir / "notes.txt", capture = dir / "scan.pcap", output = dir / "rows.csv";
    std::ofstream(text) << "frame,segment,line\n1,2,3\n";
    simulate({"--pcap-out", capture.string(), "-n", "2"});
    const std::string before = readFile(capture);
    const std::tuple<fs::path, fs::path, std::string> cases[] = {
        {dir / "missing.pcap", output,
         (dir / "missing.pcap").string() + ": No such file or directory\n"},  // libpcap's texts
        {text, output, "unknown file format\n"},
        {capture, capture,
         "Output file " + capture.string() +
             " is the capture being read; choose another output file\n"},
    };
    for (const auto& [input, csv, message] : cases) {
        SCOPED_TRACE(input);
        const ProgramRun run = convert({"-r", input.string(), csv.string()});
        EXPECT_EQ(run.status, exitedWith1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message);
        EXPECT_FALSE(fs::exists(output)) << "the output is created only for a readable capture";
    }
    EXPECT_TRUE(readFile(capture) == before);
}

// A record libpcap refuses in the middle of the file: the frames before it are written, then
// libpcap's message and status 1. A capture merely cut off at its end still ends with status 0.
TEST_F(Capture, RecordBrokenInTheMiddleEndsWithStatus1) {
    const fs::path capture = dir / "broken.pcap", cut = dir / "cut.pcap", csv = dir / "rows.csv";
    simulate({"--pcap-out", capture.string(), "-n", "8", "--lines", "2", "--beams", "10"});
    std::string bytes = readFile(capture);
    // Classic pcap: a 24-byte file header, then per record 16 header bytes (caplen at offset 8)
    // and the data; a frame is one record. Record 4 gets an impossible captured length.
    size_t at = 24;
    for (int record = 0; record < 4; ++record) {
        uint32_t caplen;
        std::memcpy(&caplen, bytes.data() + at + 8, 4);
        at += 16 + caplen;
    }
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, at + 20);
    const uint32_t invalid = 0xFFFFFFFF;
    std::memcpy(bytes.data() + at + 8, &invalid, 4);
    std::ofstream(capture, std::ios::binary) << bytes;

    const ProgramRun broken = convert({"-r", capture.string(), csv.string()});
    EXPECT_EQ(broken.status, exitedWith1) << broken.err;
    compact::ScanSettings settings;
    std::tie(settings.lines, settings.beams) = std::tuple(2, 10);
    EXPECT_EQ(readFile(csv), csvOf({}, simulated(settings, 240, 4).frames));
    EXPECT_THAT(broken.err, HasSubstr(capture.string() + ": "));
    const ProgramRun cutShort = convert({"-r", cut.string(), csv.string()});
    EXPECT_EQ(cutShort.status, exitedWith0) << cutShort.err;
}

// A capture read from a pipe the test holds open: the file header, then records as the test
// writes them (non-blocking, as far as the pipe takes them).
struct CapturePipe {
    explicit CapturePipe(std::string bytes) : capture(std::move(bytes)) {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        readEnd = ends[0];
        writeEnd = ends[1];
        fcntl(writeEnd, F_SETFL, O_NONBLOCK);
    }
    ~CapturePipe() { close(writeEnd); }
    CapturePipe(const CapturePipe&) = delete;
    CapturePipe& operator=(const CapturePipe&) = delete;
    // Bytes written but not read yet.
    int unread() const {
        int bytes = 0;
        ioctl(writeEnd, FIONREAD, &bytes);
        return bytes;
    }
    // Writes what the pipe takes of the capture.
    void write() {
        const ssize_t n = ::write(writeEnd, capture.data() + written, capture.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
    }
    std::string capture;
    size_t written = 0;
    int readEnd = -1, writeEnd = -1;
};

// SIGINT during the conversion of a long capture file (whose reads a signal never interrupts)
// ends it at the stop check, long before the end: status 0, no message, and exactly the rows of
// the frames read.
TEST_F(Capture, InterruptEndsConversionCleanly) {
    const fs::path file = dir / "long.pcap", output = dir / "rows.csv";
    simulate({"--pcap-out", file.string(), "-n", "1000", "--mtu", "65535"});  // 58 MB
    ChildProcess converter(COMPACT_CSV_EXE, {"-r", file.string(), output.string()});
    ASSERT_TRUE(converter.waitForSignalHandler(SIGINT, deadline)) << converter.err();
    ASSERT_TRUE(converter.sendSignal(SIGINT));
    ASSERT_EQ(converter.wait(deadline), exitedWith0) << converter.err();

    EXPECT_EQ(converter.err(), "");
    const auto summary = findSummary(converter.out(), file.string());
    ASSERT_TRUE(summary) << converter.out();
    ASSERT_LT(summary->read, 1000u) << "converted to the end: the stop was not seen";
    EXPECT_EQ(summary->rows, summary->read * 16);
    EXPECT_EQ(readFile(output), csvOf({}, simulated({}, 240, summary->read).frames));
}

// SIGINT while the conversion waits for more of a capture (tcpdump -w - | compact_csv -r -): the
// interrupted read is the stop, not a fault of the capture.
TEST_F(Capture, InterruptDuringAReadEndsConversionCleanly) {
    const fs::path file = dir / "short.pcap", output = dir / "rows.csv";
    simulate({"--pcap-out", file.string(), "-n", "3", "--lines", "2", "--beams", "10"});
    CapturePipe pipe(readFile(file));
    pipe.write();
    pipe.capture += "more";  // the next record never comes
    ChildProcess converter(COMPACT_CSV_EXE, {"-r", "-", output.string()}, pipe.readEnd);
    close(pipe.readEnd);
    // /proc/<pid>/syscall starts with the number of the system call the program is in.
    const auto inRead = [&] {
        return readFile("/proc/" + std::to_string(converter.pid()) + "/syscall")
            .starts_with(std::to_string(SYS_read) + " ");
    };
    ASSERT_TRUE(eventually([&] { return pipe.unread() == 0 && inRead(); }, deadline));
    ASSERT_TRUE(converter.sendSignal(SIGINT));
    ASSERT_EQ(converter.wait(deadline), exitedWith0) << converter.err();
    EXPECT_EQ(converter.err(), "");
    const auto summary = findSummary(converter.out(), "-");
    ASSERT_TRUE(summary) << converter.out();
    EXPECT_EQ(summary->read, 3u);
}

// --describe of the simulator's capture read to its end; the same stream live:
// tests/e2e/receiver_test.cpp.
TEST_F(Capture, DescribeReportsACaptureToItsEnd) {
    const fs::path capture = dir / "scan.pcap";
    std::vector<std::string> sim{"--pcap-out", capture.string(), "--source", "10.1.2.3"};
    sim.insert(sim.end(), describedStream.begin(), describedStream.end());
    simulate(sim);
    const ProgramRun run =
        convert({"--describe", "-r", capture.string(), "--phi", "0", "--theta", "10:20"});
    ASSERT_EQ(run.status, exitedWith0) << run.err;
    expectDescribedStream(run.out, "10.1.2.3");
    // Capture time stamps lie one frame period (1/240 s) apart, skipped slots included: 24
    // telegrams over 28 periods.
    std::smatch rate;
    ASSERT_TRUE(std::regex_search(run.out, rate, std::regex(R"(, ([0-9.]+) telegrams/s)")));
    EXPECT_NEAR(std::stod(rate[1]), 23.0 * 240 / 28, 0.5);
}

}  // namespace
