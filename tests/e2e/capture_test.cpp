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

#include <cstring>
#include <fstream>

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

// Captures written by a program we did not write (tcpdump on the loopback interface; the kernel
// fragmented the frames of one at an MTU of 1500; tests/data/README.md) convert to the rows of the
// frames the simulator sent, on standard output, the summary on standard error. Shuffled
// fragments and malformed datagrams: tests/io/pcap_reader_test.cpp, tests/e2e/recording_test.cpp.
TEST_F(Capture, RecordingsGiveTheRowsOfTheFramesSent) {
    const struct {
        std::string file;
        uint32_t beams, frames;
        int64_t fragments;
    } recordings[] = {{"tcpdump_lo.pcap", 3, 5, 0}, {"tcpdump_lo_fragments.pcap", 120, 3, 6}};
    for (const auto& r : recordings) {
        SCOPED_TRACE(r.file);
        const std::string capture = std::string(TEST_DATA_DIR) + "/" + r.file;
        const ProgramRun run = convert({"-r", capture, "-"});
        ASSERT_EQ(run.status, exitedWith0) << run.err;
        compact::ScanSettings settings;
        std::tie(settings.lines, settings.beams, settings.echoes) = std::tuple(2, r.beams, 1);
        EXPECT_EQ(run.out, csvOf({}, simulated(settings, 50, r.frames).frames));
        EXPECT_EQ(run.err, capture + ": " + std::to_string(r.frames) +
                               " datagrams read, 0 filtered out, " + std::to_string(r.fragments) +
                               " fragments reassembled, 0 incomplete datagrams dropped, 0 records "
                               "skipped, 0 parse errors, 0 lost telegrams, " +
                               std::to_string(r.frames * 2) + " rows written (0.0 MiB)\n");
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
        int64_t written = 0;
        framesIn(rows, &written);  // whole rows, each with its header's fields
        EXPECT_EQ(figure(run.out + run.err, "rows written"), written);
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

// SIGINT ends a conversion cleanly, with status 0 and no message: during a long capture file,
// whose reads a signal never interrupts, at the stop check long before the end, with exactly the
// rows of the frames read; and while the conversion waits for more of a capture from a pipe
// (tcpdump -w - | compact_csv -r -), where the interrupted read is the stop, not a fault.
TEST_F(Capture, InterruptEndsConversionCleanly) {
    const fs::path file = dir / "scan.pcap", output = dir / "rows.csv";
    simulate({"--pcap-out", file.string(), "-n", "1000", "--mtu", "65535"});  // 58 MB
    ChildProcess converter(COMPACT_CSV_EXE, {"-r", file.string(), output.string()});
    ASSERT_TRUE(converter.waitForSignalHandler(SIGINT, deadline)) << converter.err();
    EXPECT_EQ(stopRun(converter), "");
    const int64_t read = figure(converter.out(), "datagrams read");
    ASSERT_GE(read, 0) << converter.out();
    ASSERT_LT(read, 1000) << "converted to the end: the stop was not seen";
    EXPECT_EQ(figure(converter.out(), "rows written"), read * 16);
    EXPECT_EQ(readFile(output), csvOf({}, simulated({}, 240, static_cast<uint32_t>(read)).frames));

    simulate({"--pcap-out", file.string(), "-n", "3", "--lines", "2", "--beams", "10"});
    const std::string bytes = readFile(file) + "more";  // the next record never comes
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(write(pipe[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ChildProcess piped(COMPACT_CSV_EXE, {"-r", "-", output.string()}, pipe[0]);
    close(pipe[0]);
    // Waits until the pipe is empty and the converter in read(2): /proc/<pid>/syscall starts with
    // the number of the system call the program is in.
    const std::string inRead = std::to_string(SYS_read) + " ";
    ASSERT_TRUE(eventually(
        [&] {
            int unread = 0;
            ioctl(pipe[1], FIONREAD, &unread);
            return unread == 0 && readFile("/proc/" + std::to_string(piped.pid()) + "/syscall")
                                      .starts_with(inRead);
        },
        deadline));
    EXPECT_EQ(stopRun(piped), "");
    close(pipe[1]);
    EXPECT_EQ(figure(piped.out(), "datagrams read"), 3) << piped.out();
}

// --describe of the simulator's capture read to its end: 24 frames of the default scan (two
// rotations) with every 5th telegram counter skipped and a malformed datagram after every 6th
// frame: telegram counters 1..29 without 5, 10, 15, 20 and 25, segments 0..28 without 4, 9, 14,
// 19 and 24; malformed: wrong magic, unsupported version, truncated, wrong magic. --phi 0 selects
// line 7 (phi -1 degree), no other; theta 10..20 lies in segment 6 of each rotation (0..30
// degrees).
TEST_F(Capture, DescribeReportsACaptureToItsEnd) {
    const fs::path capture = dir / "scan.pcap";
    simulate({"--pcap-out", capture.string(), "--source", "10.1.2.3", "-n", "24", "--skip-every",
              "5", "--bad-every", "6"});
    const ProgramRun run =
        convert({"--describe", "-r", capture.string(), "--phi", "0", "--theta", "10:20"});
    ASSERT_EQ(run.status, exitedWith0) << run.err;
    for (const char* said :
         {"Telegrams: 24 accepted, 4 refused\n",
          "Filters: --phi 0 --phi-tolerance 1 --theta 10:20\n",
          "10.1.2.3 sender_id 1: 24 telegrams, telegram version 4",
          "telegram counters 1..29: 5 lost, 0 late", "segment counters 0..28, counting up",
          "16 lines x 240 beams x 3 echoes", "in 2 of 24 modules: beams 80..160; echoes 0..2",
          "Parse errors: 4 (", "wrong magic 2", "unsupported version 1", "truncated 1",
          "not selected\n"})
        EXPECT_THAT(run.out, testing::HasSubstr(said));
    EXPECT_THAT(run.out, testing::Not(testing::HasSubstr("sender_id,")));  // no CSV header
}

}  // namespace
