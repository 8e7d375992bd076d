// End-to-end tests of capture conversion through the built programs: captures that tcpdump
// recorded (tests/data) and one the simulator writes give the rows of the frames sent; filters and
// lost fragments are counted; files that are not captures, or are the output, or break off; Ctrl-C
// during a conversion; --describe of a capture.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "support/files.h"
#include "support/frames.h"
#include "support/runs.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

class Capture : public testing::Test {
  protected:
    static ProgramRun convert(const std::vector<std::string>& arguments) {
        return runProgram(COMPACT_CSV_EXE, arguments, deadline);
    }
    // The converter started by a shell: `shell` comes first (a limit), `redirect` follows the
    // command (where its standard output goes).
    static ProgramRun convertIn(const std::string& shell, std::vector<std::string> arguments,
                                const std::string& redirect) {
        arguments.insert(arguments.begin(),
                         {"-c", shell + "; exec \"$0\" \"$@\" " + redirect, COMPACT_CSV_EXE});
        return runProgram("/bin/sh", arguments, deadline);
    }
    const ScratchDir dir;
};

// Captures written by a program we did not write (the kernel fragmented the frames of one at an
// MTU of 1500; tests/data/README.md), and the simulator's own, its fragments shuffled, with
// malformed datagrams: each converts to the rows of the frames sent, on standard output, the
// summary on standard error.
TEST_F(Capture, RecordingsGiveTheRowsOfTheFramesSent) {
    const struct {
        std::string file, made;  // made: the simulator's options that write it, but --pcap-out
        uint32_t lines, beams, echoes, badEvery, frames;
        double rate;
        uint64_t fragments;
    } recordings[] = {
        {"tcpdump_lo.pcap", "", 2, 3, 1, 0, 5, 50, 0},
        {"tcpdump_lo_fragments.pcap", "", 2, 120, 1, 0, 3, 50, 6},
        // 60 frames of 8 fragments and, after every 9th, a malformed datagram: two each of wrong
        // magic and version (8 fragments each) and truncated (4).
        {"simulator.pcap",
         "-n 60 --bad-every 9 --shuffle-fragments --lines 8 --beams 120 --echoes 2 --rate 200", 8,
         120, 2, 9, 60, 200, 60 * 8 + 2 * (8 + 8 + 4)},
    };
    for (const auto& r : recordings) {
        SCOPED_TRACE(r.file);
        std::string capture = std::string(TEST_DATA_DIR) + "/" + r.file;
        if (!r.made.empty()) {
            capture = (dir / r.file).string();
            std::istringstream words(r.made + " --pcap-out " + capture);
            simulate({std::istream_iterator<std::string>(words), {}});
        }
        const ProgramRun run = convert({"-r", capture, "-"});
        ASSERT_EQ(run.status, exitedWith0) << run.err;
        compact::ScanSettings settings;
        std::tie(settings.lines, settings.beams, settings.echoes, settings.badEvery) =
            std::tie(r.lines, r.beams, r.echoes, r.badEvery);
        const Simulated sent = simulated(settings, r.rate, r.frames);
        EXPECT_EQ(run.out, csvOf({}, sent.frames));
        EXPECT_THAT(run.err, testing::StartsWith(capture + ": "));
        EXPECT_EQ(figure(run.err, "datagrams read"), r.frames + sent.malformed);
        EXPECT_EQ(figure(run.err, "fragments reassembled"), r.fragments);
        EXPECT_EQ(figure(run.err, "parse errors"), sent.malformed);
        // The simulator's malformed datagrams take the three kinds in turn.
        EXPECT_EQ(reasons(run.err, "parse errors"),
                  sent.malformed == 0 ? "" : "2 wrong magic, 2 unsupported version, 2 truncated");
        EXPECT_EQ(figure(run.err, "lost telegrams"), 0);
        EXPECT_EQ(figure(run.err, "rows written"), r.frames * r.lines);
    }
}

// One capture with lost fragments from 10.1.2.3 to port 2115, converted with different filters;
// the summary goes to standard output when the rows go to a file.
TEST_F(Capture, FiltersAndLostFragmentsAreCounted) {
    const fs::path capture = dir / "lossy.pcap", output = dir / "rows.csv";
    const std::string sim = simulate({"--pcap-out", capture.string(), "--source", "10.1.2.3",
                                      "--host", "10.1.2.4", "-n", "40", "--drop-fragment", "4",
                                      "--seed", "3", "--lines", "8", "--beams", "120"});
    const int64_t incomplete = figure(sim, "datagrams lack a fragment");
    ASSERT_GT(incomplete, 0) << sim;
    // Arguments, datagrams read and dropped. Other sources are filtered before reassembly:
    // their fragments are never held.
    const std::tuple<std::string, std::string, int64_t, int64_t> cases[] = {
        {"--address", "10.1.2.3", 40 - incomplete, incomplete},
        {"--address", "10.1.2.5", 0, 0},
        {"--port", "2116", 0, incomplete},
    };
    for (const auto& [option, value, read, dropped] : cases) {
        SCOPED_TRACE(option + " " + value);
        const ProgramRun run = convert({option, value, "-r", capture.string(), output.string()});
        ASSERT_EQ(run.status, exitedWith0) << run.err;
        EXPECT_EQ(figure(run.out, "datagrams read"), read) << run.out;
        EXPECT_EQ(figure(run.out, "incomplete datagrams dropped"), dropped);
        // 40 frames span 0.17 s: none is older than the time-out.
        EXPECT_EQ(reasons(run.out, "incomplete datagrams dropped"),
                  dropped == 0 ? "" : std::to_string(dropped) + " end of capture");
        EXPECT_EQ(figure(run.out, "rows written"), read * 8);
    }
}

// A file that is missing, not a capture or the output itself (by name or as standard output):
// one line naming the file, status 1, and neither the output created nor the capture touched.
TEST_F(Capture, RefusedInputsAreOneLineAndStatusOne) {
    const fs::path text = dir / "notes.txt", capture = dir / "scan.pcap", output = dir / "rows.csv";
    std::ofstream(text) << "frame,segment,line\n1,2,3\n";
    simulate({"--pcap-out", capture.string(), "-n", "2"});
    const std::string before = readFile(capture);
    const std::string isTheCapture = " is the capture being read; choose another output file\n";
    const std::tuple<fs::path, std::string, std::string, std::string> cases[] = {
        {dir / "missing.pcap", output.string(), "",
         (dir / "missing.pcap").string() + ": No such file or directory\n"},
        {text, output.string(), "", text.string() + ": unknown file format\n"},
        {capture, capture.string(), "", "Output file " + capture.string() + isTheCapture},
        {capture, "-", ">> " + capture.string(), "Output file -" + isTheCapture},
    };
    for (const auto& [input, csv, redirect, message] : cases) {
        SCOPED_TRACE(input.string() + " " + redirect);
        const ProgramRun run = convertIn("true", {"-r", input.string(), csv}, redirect);
        EXPECT_EQ(run.status, exitedWith1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message);
        EXPECT_FALSE(fs::exists(output)) << "the output is created only for a readable capture";
    }
    // -r forgotten: the capture named where the output goes is left as it is.
    const ProgramRun forgotten = convert({capture.string(), "--line", "0", output.string()});
    EXPECT_EQ(forgotten.status, exitedWith1);
    EXPECT_EQ(forgotten.err, capture.string() +
                                 " is a capture file; to convert it: compact_csv -r " +
                                 capture.string() + " [CSV]\n");
    EXPECT_TRUE(readFile(capture) == before);
}

// A write that fails (here at a file-size limit, as on a full disk): the output keeps what it held
// before the run (standard output appending to an existing file) and ends with a whole row, the
// account counts the rows it holds, and the run ends with the system's reason and status 1.
TEST_F(Capture, FailedWritesKeepTheFileWholeAndWhatItHeld) {
    const fs::path capture = dir / "big.pcap", old = dir / "old.csv", fresh = dir / "new.csv";
    simulate({"--pcap-out", capture.string(), "-n", "20"});  // 320 rows of 12 KB
    const std::string held = std::string(104999, 'x') + "\n";
    std::ofstream(old) << held;
    // Appending, with SIGXFSZ ignored as a shell can leave it; and a new file, with SIGXFSZ at its
    // default action, which would end the process unless the receiver ignores it.
    for (const auto& [csv, shell, redirect, file] :
         {std::tuple{std::string("-"), std::string("trap '' XFSZ; "), ">> " + old.string(), old},
          std::tuple{fresh.string(), std::string(""), std::string(""), fresh}}) {
        SCOPED_TRACE(file);
        const ProgramRun run =
            convertIn(shell + "ulimit -f 400", {"-r", capture.string(), csv}, redirect);
        EXPECT_EQ(run.status, exitedWith1) << run.err;
        EXPECT_THAT(run.err,
                    testing::EndsWith("Failed to write output" + (csv == "-" ? "" : " " + csv) +
                                      ":File too large\n"));
        std::string rows = readFile(file);
        if (file == old) {
            ASSERT_TRUE(rows.starts_with(held)) << "the file lost what it held";
            rows.erase(0, held.size());
        }
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.back(), '\n');
        const auto written = std::count(rows.begin(), rows.end(), '\n') - 1;  // the header
        EXPECT_EQ(figure(run.out + run.err, "rows written"), written);
        framesIn(rows);  // whole rows, each with its header's fields
    }
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
    std::memset(bytes.data() + at + 8, 0xFF, 4);
    std::ofstream(capture, std::ios::binary) << bytes;

    const ProgramRun broken = convert({"-r", capture.string(), csv.string()});
    EXPECT_EQ(broken.status, exitedWith1) << broken.err;
    compact::ScanSettings settings;
    std::tie(settings.lines, settings.beams) = std::tuple(2, 10);
    EXPECT_EQ(readFile(csv), csvOf({}, simulated(settings, 240, 4).frames));
    EXPECT_THAT(broken.err, testing::HasSubstr(capture.string() + ": "));
    EXPECT_EQ(convert({"-r", cut.string(), csv.string()}).status, exitedWith0);
}

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
    const int64_t read = figure(converter.out(), "datagrams read");
    ASSERT_GE(read, 0) << converter.out();
    ASSERT_LT(read, 1000) << "converted to the end: the stop was not seen";
    EXPECT_EQ(figure(converter.out(), "rows written"), read * 16);
    EXPECT_EQ(readFile(output), csvOf({}, simulated({}, 240, static_cast<uint32_t>(read)).frames));
}

// SIGINT while the conversion waits for more of a capture from a pipe (tcpdump -w - |
// compact_csv -r -): the interrupted read is the stop, not a fault of the capture.
TEST_F(Capture, InterruptDuringAReadEndsConversionCleanly) {
    const fs::path file = dir / "short.pcap", output = dir / "rows.csv";
    simulate({"--pcap-out", file.string(), "-n", "3", "--lines", "2", "--beams", "10"});
    const std::string bytes = readFile(file) + "more";  // the next record never comes
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(write(pipe[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ChildProcess converter(COMPACT_CSV_EXE, {"-r", "-", output.string()}, pipe[0]);
    close(pipe[0]);
    // Waits until the pipe is empty and the converter in read(2): /proc/<pid>/syscall starts with
    // the number of the system call the program is in.
    const std::string inRead = std::to_string(SYS_read) + " ";
    ASSERT_TRUE(eventually(
        [&] {
            int unread = 0;
            ioctl(pipe[1], FIONREAD, &unread);
            return unread == 0 && readFile("/proc/" + std::to_string(converter.pid()) + "/syscall")
                                      .starts_with(inRead);
        },
        deadline));
    ASSERT_TRUE(converter.sendSignal(SIGINT));
    ASSERT_EQ(converter.wait(deadline), exitedWith0) << converter.err();
    close(pipe[1]);
    EXPECT_EQ(converter.err(), "");
    EXPECT_EQ(figure(converter.out(), "datagrams read"), 3) << converter.out();
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
