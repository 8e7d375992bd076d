// End-to-end tests of the receiver: the built program listening on a loopback port, fed datagrams
// by the test and stopped by a signal; its output, messages and exit status are checked exactly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "generators/compact_frame_builder.h"
#include "support/process.h"
#include "support/udp.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using compact::encodeFrame;
using compact::FrameSpec;
using testing_support::ChildProcess;
using testing_support::ExitStatus;
using testing_support::UdpSender;

constexpr ExitStatus exitedWith0{0, 0};
constexpr ExitStatus exitedWith1{1, 0};
// For every wait: generous, as a sanitizer build on a loaded machine starts slowly. The receiver
// itself reacts to a stop request within its 1 s receive time-out.
constexpr auto deadline = 30s;

// Beams 0..1, echoes 0..1, no angle columns: every field of a row is an integer of the frame.
const std::vector<std::string> selection{"--beam", "0:1",           "--echo",
                                         "0:1",    "--omit-angles", "--short-headers"};
const std::string header =
    "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop,"
    "B0P,B0E0D,B0E0R,B0E1D,B0E1R,B1P,B1E0D,B1E0R,B1E1D,B1E1R\n";

// Frame n: one or two modules of 3 lines, 3 beams and 2 echoes, telegram version 3 or 4, with
// counters and sender differing per frame.
FrameSpec scriptedFrame(uint32_t n) {
    FrameSpec frame;
    frame.telegramCounter = n;
    frame.telegramVersion = n % 3 == 0 ? 3 : 4;
    for (uint32_t m = 0; m < 1 + n % 2; ++m) {
        compact::ModuleSpec module = compact::makeModule(3, 3, 2);
        module.senderId = 7 + n;
        module.frameNumber = n;
        module.segmentCounter = 10 * n + m;
        frame.modules.push_back(module);
    }
    return frame;
}

// The rows `selection` picks from `frames`, taken straight from the frame descriptions.
std::string rowsOf(const std::vector<FrameSpec>& frames) {
    std::ostringstream rows;
    for (const auto& frame : frames) {
        for (const auto& m : frame.modules) {
            for (uint32_t line = 0; line < m.numLines; ++line) {
                rows << m.senderId << ',' << m.frameNumber << ',' << m.segmentCounter << ',' << line
                     << ',' << m.timestampStart[line] << ',' << m.timestampStop[line];
                for (uint32_t beam = 0; beam < 2; ++beam) {
                    const auto& cell = m.measurements[beam * m.numLines + line];
                    rows << ',' << int{cell.properties};
                    for (uint32_t echo = 0; echo < 2; ++echo)
                        rows << ',' << cell.echos[echo].distance << ',' << cell.echos[echo].rssi;
                }
                rows << '\n';
            }
        }
    }
    return rows.str();
}

// Datagrams the receiver must drop: wrong magic, unsupported version, cut short, empty, and a
// line count far beyond the bytes present.
std::vector<std::string> badDatagrams() {
    FrameSpec wrongMagic = scriptedFrame(900);
    wrongMagic.magic = {2, 2, 2, 3};
    FrameSpec version5 = scriptedFrame(901);
    version5.telegramVersion = 5;
    FrameSpec lying = scriptedFrame(902);
    lying.modules[0].numLines = 0x7fffffff;
    const std::string whole = encodeFrame(scriptedFrame(903));
    return {encodeFrame(wrongMagic), encodeFrame(version5), whole.substr(0, whole.size() / 2), "",
            encodeFrame(lying)};
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Standard error without the notice about a small receive buffer, which depends on the machine.
std::string messages(const ChildProcess& child) {
    std::istringstream in(child.err());
    std::string kept, line;
    while (std::getline(in, line))
        if (line.rfind("Receive buffer limited to ", 0) != 0) kept += line + '\n';
    return kept;
}

std::string failedWriteMessage() {
    return std::string("Failed to write output:") + std::strerror(ENOSPC) + "\n";
}

class Receiver : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("compact_e2e_" + std::to_string(getpid()));
        fs::create_directories(dir);
        port = testing_support::freeUdpPort();
    }
    void TearDown() override { fs::remove_all(dir); }

    // Starts the receiver on `port`. It is ready once its stop handlers show: they are installed
    // just before the first receive, after socket, status line and output are set up.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
        return std::make_unique<ChildProcess>(COMPACT_CSV_EXE, arguments);
    }
    static bool ready(ChildProcess& receiver, int signal = SIGINT) {
        return receiver.waitForSignalHandler(signal, deadline);
    }

    // Waits until every datagram sent to the port so far has been taken from the socket; each is
    // handled before the receiver looks at its stop flag again. Fails when the system dropped one.
    void waitUntilReceived() const {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            const auto sockets = testing_support::udpSocketsOnPort(port);
            ASSERT_FALSE(sockets.empty()) << "nothing listens on port " << port;
            bool drained = true;
            for (const auto& socket : sockets) {
                ASSERT_EQ(socket.drops, 0u);
                drained = drained && socket.queuedBytes == 0;
            }
            if (drained) return;
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "datagrams left unreceived";
            std::this_thread::sleep_for(5ms);
        }
    }

    fs::path dir;
    unsigned short port = 0;
};

struct StopCase {
    int signal;
    bool toFile;  // else standard output
    friend void PrintTo(const StopCase& c, std::ostream* out) {
        *out << (c.signal == SIGINT ? "SIGINT" : "SIGTERM") << (c.toFile ? "_file" : "_stdout");
    }
};

class ReceiverStop : public Receiver, public testing::WithParamInterface<StopCase> {};

TEST_P(ReceiverStop, WritesEveryGoodFrameExactlyThenExitsZero) {
    const auto [signal, toFile] = GetParam();
    const std::string output = toFile ? (dir / "rows.csv").string() : "-";
    auto arguments = selection;
    arguments.push_back(output);
    const auto receiver = start(arguments);
    ASSERT_TRUE(ready(*receiver, signal)) << receiver->err();

    // About 19 kB of rows, so that some are still buffered when the signal arrives; a bad
    // datagram after every good one.
    const auto bad = badDatagrams();
    std::vector<FrameSpec> frames;
    UdpSender sender;
    for (uint32_t n = 1; n <= 60; ++n) {
        frames.push_back(scriptedFrame(n));
        sender.send(port, encodeFrame(frames.back()));
        sender.send(port, bad[n % bad.size()]);
    }
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived());
    ASSERT_TRUE(receiver->sendSignal(signal));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();

    // Standard output holds the rows alone: no status line without an output file.
    EXPECT_EQ(toFile ? readFile(output) : receiver->out(), header + rowsOf(frames));
    EXPECT_EQ(messages(*receiver), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, ReceiverStop,
                         testing::Values(StopCase{SIGINT, true}, StopCase{SIGTERM, false}));

TEST_F(Receiver, AcceptsOnlyTheGivenSourceAddress) {
    const fs::path output = dir / "rows.csv";
    auto arguments = selection;
    arguments.insert(arguments.end(), {"--address", "127.0.0.1", output.string()});
    const auto receiver = start(arguments);
    ASSERT_TRUE(ready(*receiver)) << receiver->err();

    // The stranger sends first: had its frames been let through, they would come first.
    UdpSender stranger("127.0.0.2"), first("127.0.0.1"), second("127.0.0.1");
    for (uint32_t n = 100; n < 103; ++n) stranger.send(port, encodeFrame(scriptedFrame(n)));
    const std::vector<FrameSpec> frames{scriptedFrame(1), scriptedFrame(2)};
    first.send(port, encodeFrame(frames[0]));
    second.send(port, encodeFrame(frames[1]));  // same host, another source port
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived());
    ASSERT_TRUE(receiver->sendSignal(SIGINT));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(readFile(output), header + rowsOf(frames));
}

TEST_F(Receiver, TwoInstancesShareOnePortWithoutDuplicates) {
    const fs::path outputs[] = {dir / "a.csv", dir / "b.csv"};
    std::vector<std::unique_ptr<ChildProcess>> receivers;
    for (const auto& output : outputs) {
        auto arguments = selection;
        arguments.push_back(output.string());
        receivers.push_back(start(arguments));
        ASSERT_TRUE(ready(*receivers.back())) << receivers.back()->err();
    }

    // The system hands all datagrams of one sender to the same one of the two sockets.
    const std::vector<FrameSpec> frames{scriptedFrame(1), scriptedFrame(2), scriptedFrame(3)};
    UdpSender sender;
    for (const auto& frame : frames) sender.send(port, encodeFrame(frame));
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived());
    for (const auto& receiver : receivers) {
        ASSERT_TRUE(receiver->sendSignal(SIGINT));
        ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    }
    std::vector<std::string> contents{readFile(outputs[0]), readFile(outputs[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"", header + rowsOf(frames)}));
}

TEST_F(Receiver, ReportsAFullDiskWithStatusOne) {
    UdpSender sender;
    {
        SCOPED_TRACE("rows fit the output buffer: the failure shows when it is flushed at the end");
        auto arguments = selection;
        arguments.push_back("/dev/full");
        const auto receiver = start(arguments);
        ASSERT_TRUE(ready(*receiver)) << receiver->err();
        sender.send(port, encodeFrame(scriptedFrame(1)));
        ASSERT_NO_FATAL_FAILURE(waitUntilReceived());
        ASSERT_TRUE(receiver->sendSignal(SIGINT));
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver), failedWriteMessage());
    }
    {
        SCOPED_TRACE("one row of 1000 beams exceeds the buffer: the receiver stops by itself");
        const auto receiver = start({"--omit-angles", "/dev/full"});
        ASSERT_TRUE(ready(*receiver)) << receiver->err();
        FrameSpec wide;
        wide.modules.push_back(compact::makeModule(1, 1000, 1));
        // More than one, in case a row is written in pieces; the first should end the run.
        for (int i = 0; i < 20 && !receiver->wait(0ms); ++i) {
            sender.send(port, encodeFrame(wide));
            receiver->wait(100ms);
        }
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver), failedWriteMessage());
    }
}

TEST_F(Receiver, RefusesBadPortsAndAddressesBeforeCreatingTheOutput) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string portText = std::to_string(port);
    const Case cases[] = {
        {{"--port", "70000"}, "Port must be between 1 and 65535\n"},
        {{"--port", "0"}, "Port must be between 1 and 65535\n"},
        {{"--port", portText, "--address", "256.0.0.1"}, "Invalid IPv4 address\n"},
        {{"--port", portText, "--address", "localhost"}, "Invalid IPv4 address\n"},
    };
    const fs::path output = dir / "never.csv";
    for (auto c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        c.arguments.push_back(output.string());
        const auto run = testing_support::runProgram(COMPACT_CSV_EXE, c.arguments, deadline);
        EXPECT_EQ(run.status, exitedWith1);
        std::istringstream err(run.err);
        std::string last, line;
        while (std::getline(err, line)) last = line + '\n';  // after any receive-buffer notice
        EXPECT_EQ(last, c.message);
        EXPECT_FALSE(fs::exists(output));
    }
}

// Takes a few seconds more than the others: the first status line comes 5 s after start-up.
TEST_F(Receiver, SlowStatusLineCountsWhatTheSimulatorSkippedAndSpoiled) {
    const fs::path simulator = COMPACT_SIM_EXE;
    const fs::path output = dir / "rows.csv";
    const auto receiver = start({"--line", "0", "--beam", "0", "--echo", "0", output.string()});
    ASSERT_TRUE(ready(*receiver)) << receiver->err();

    const auto sim = testing_support::runProgram(
        simulator,
        {"--port", std::to_string(port), "--count", "150", "--rate", "300", "--lines", "2",
         "--beams", "2", "--echoes", "1", "--skip-every", "7", "--bad-every", "5"},
        deadline);
    ASSERT_EQ(sim.status, exitedWith0) << sim.err;
    uint64_t frames = 0, malformed = 0, skipped = 0;
    ASSERT_EQ(std::sscanf(sim.out.c_str(),
                          "%" SCNu64 " frames, %" SCNu64 " malformed, %*u datagrams, %*u bytes "
                          "sent; %" SCNu64 " telegram counters skipped",
                          &frames, &malformed, &skipped),
              3)
        << sim.out;
    ASSERT_EQ(frames, 150u);
    ASSERT_GT(malformed, 0u);
    ASSERT_GT(skipped, 0u);
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived());

    const std::string counts = " telegram/s, " + std::to_string(skipped) + " lost, " +
                               std::to_string(malformed) + " parse errors, output file ";
    const auto lastStatusLine = [](const std::string& out) {
        const auto start = out.rfind('\r');
        return start == std::string::npos ? std::string() : out.substr(start);
    };
    EXPECT_TRUE(receiver->waitForOutput(
        [&](const std::string& out) {
            return lastStatusLine(out).find(counts) != std::string::npos;
        },
        deadline))
        << receiver->out();
    EXPECT_THAT(lastStatusLine(receiver->out()),
                testing::MatchesRegex("\r[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2} "
                                      "Receive [0-9]+" +
                                      counts + "0 MiB"));

    ASSERT_TRUE(receiver->sendSignal(SIGINT));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    // One header, then one row (line 0 of the one module) for every frame sent.
    const std::string csv = readFile(output);
    EXPECT_EQ(csv.rfind("sender_id,", 0), 0u);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), static_cast<long>(frames + 1));
    EXPECT_EQ(messages(*receiver), "");
}

}  // namespace
