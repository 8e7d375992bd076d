// End-to-end tests of the receiver: the built program listening on a loopback port, fed datagrams
// by the test and stopped by a signal; its output, messages and exit status are checked exactly.
// The expected rows are what the product's CSV writer makes of the datagrams sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <tuple>

#include "generators/compact_frame_builder.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/process.h"
#include "support/udp.h"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;

// For every wait: generous, as a sanitizer build on a loaded machine starts slowly. The receiver
// itself reacts to a stop request within its 1 s receive time-out.
constexpr auto deadline = 30s;

// Beams 0..1, echoes 0..1, no angle columns, as options and as settings.
const std::vector<std::string> selection{"--beam", "0:1",           "--echo",
                                         "0:1",    "--omit-angles", "--short-headers"};
const CompactCSV::Options selected{
    .beam = {0, 1}, .echo = {0, 1}, .shortHeaders = true, .omitAngles = true};

// Frame n: one or two modules of 3 lines, 3 beams and 2 echoes, telegram version 3 or 4, with
// counters and sender differing per frame.
std::string frame(uint32_t n) {
    compact::FrameSpec frame;
    frame.telegramCounter = n;
    frame.telegramVersion = n % 3 == 0 ? 3 : 4;
    for (uint32_t m = 0; m < 1 + n % 2; ++m) {
        compact::ModuleSpec module = compact::makeModule(3, 3, 2);
        module.senderId = 7 + n;
        module.frameNumber = n;
        module.segmentCounter = 10 * n + m;
        frame.modules.push_back(module);
    }
    return compact::encodeFrame(frame);
}

// Datagrams the receiver must drop: wrong magic, cut short, empty.
std::vector<std::string> badDatagrams() {
    std::string wrongMagic = frame(900);
    wrongMagic[3] = '\x03';
    const std::string whole = frame(901);
    return {wrongMagic, whole.substr(0, whole.size() / 2), ""};
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
    // Starts the receiver on `port`. It is ready once its stop handlers show: they are installed
    // just before the first receive, after socket, status line and output are set up.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
        return std::make_unique<ChildProcess>(COMPACT_CSV_EXE, arguments);
    }
    static bool ready(ChildProcess& receiver, int signal = SIGINT) {
        return receiver.waitForSignalHandler(signal, deadline) &&
               receiver.waitUntilReceiving(deadline);
    }
    void waitUntilReceived() const { testing_support::waitUntilReceived(port, deadline); }

    const ScratchDir dir;
    const unsigned short port = freeUdpPort();
};

// SIGTERM, as a service manager sends it, ends the run cleanly: standard output holds the rows of
// every good frame (and no status line), from the sensor's address alone.
TEST_F(Receiver, WritesEveryGoodFrameFromTheSensorThenExitsZeroOnSigterm) {
    auto arguments = selection;
    arguments.insert(arguments.end(), {"--address", "127.0.0.1", "-"});
    const auto receiver = start(arguments);
    ASSERT_TRUE(ready(*receiver, SIGTERM)) << receiver->err();

    // None of the stranger's frames may show up in the rows.
    UdpSender stranger("127.0.0.2"), sender, second;  // second: the same host, another port
    for (uint32_t n = 100; n < 103; ++n) stranger.send(port, frame(n));
    // About 19 kB of rows, so that some are still buffered when the signal arrives; a bad
    // datagram after every good one.
    const auto bad = badDatagrams();
    std::vector<std::string> frames;
    for (uint32_t n = 1; n <= 60; ++n) {
        frames.push_back(frame(n));
        (n == 30 ? second : sender).send(port, frames.back());
        sender.send(port, bad[n % bad.size()]);
    }
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived());
    ASSERT_TRUE(receiver->sendSignal(SIGTERM));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(receiver->out(), csvOf(selected, frames));
    // With the rows on standard output, the account of the run goes to standard error.
    EXPECT_THAT(messages(*receiver),
                testing::MatchesRegex("Received 60 telegrams in [0-9.]+ s: 0 lost at the sensor or "
                                      "on the network, 0 dropped by this host, 0 counter resets, "
                                      "60 parse errors \\([a-z0-9, ]+\\), [0-9]+ rows written "
                                      "\\([0-9.]+ MiB\\)\n"));
}

TEST_F(Receiver, ReportsAFullDiskWithStatusOne) {
    UdpSender sender;
    {
        SCOPED_TRACE("rows fit the output buffer: the failure shows when it is flushed at the end");
        auto arguments = selection;
        arguments.push_back("/dev/full");
        const auto receiver = start(arguments);
        ASSERT_TRUE(ready(*receiver)) << receiver->err();
        sender.send(port, frame(1));
        ASSERT_NO_FATAL_FAILURE(waitUntilReceived());
        ASSERT_TRUE(receiver->sendSignal(SIGINT));
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver), failedWriteMessage());
    }
    {
        SCOPED_TRACE("one row of 1000 beams exceeds the buffer: the receiver stops by itself");
        const auto receiver = start({"--omit-angles", "/dev/full"});
        ASSERT_TRUE(ready(*receiver)) << receiver->err();
        compact::FrameSpec wide;
        wide.modules.push_back(compact::makeModule(1, 1000, 1));
        // More than one, in case a row is written in pieces; the first should end the run.
        for (int i = 0; i < 20 && !receiver->wait(0ms); ++i) {
            sender.send(port, compact::encodeFrame(wide));
            receiver->wait(100ms);
        }
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver), failedWriteMessage());
    }
}

// Other invalid addresses: tests/io/socket_test.cpp.
TEST_F(Receiver, RefusesBadPortsAndAddressesBeforeCreatingTheOutput) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--port", "70000"}, "Port must be between 1 and 65535\n"},
        {{"--port", "0"}, "Port must be between 1 and 65535\n"},
        {{"--port", std::to_string(port), "--address", "localhost"}, "Invalid IPv4 address\n"},
    };
    const auto output = dir / "never.csv";
    for (auto [arguments, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        arguments.push_back(output.string());
        const auto run = runProgram(COMPACT_CSV_EXE, arguments, deadline);
        EXPECT_EQ(run.status, exitedWith1);
        std::istringstream err(run.err);
        std::string last, line;
        while (std::getline(err, line)) last = line + '\n';  // after any receive-buffer notice
        EXPECT_EQ(last, message);
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

// The simulator's frames, with telegram counters it skips and malformed datagrams in between,
// into a file: the status line counts both, and after Ctrl-C the file holds the rows of every
// frame. Takes a few seconds more than the others: the first status line comes 5 s after start-up.
TEST_F(Receiver, SlowSimulatorFramesWithStatusLineUntilCtrlC) {
    const auto output = dir / "rows.csv";
    auto arguments = selection;
    arguments.push_back(output.string());
    const auto receiver = start(arguments);
    ASSERT_TRUE(ready(*receiver)) << receiver->err();

    const auto sim =
        runProgram(COMPACT_SIM_EXE,
                   {"--port", std::to_string(port), "--count", "150", "--rate", "300", "--lines",
                    "3", "--beams", "3", "--echoes", "2", "--skip-every", "7", "--bad-every", "5"},
                   deadline);
    ASSERT_EQ(sim.status, exitedWith0) << sim.err;
    compact::ScanSettings settings;
    std::tie(settings.lines, settings.beams, settings.echoes) = std::tuple(3, 3, 2);
    std::tie(settings.skipEvery, settings.badEvery) = std::tuple(7, 5);
    const Simulated sent = simulated(settings, 300, 150);
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived());

    const std::string counts = " telegram/s, " + std::to_string(sent.skipped) + " lost, " +
                               std::to_string(sent.malformed) + " parse errors, output file ";
    // Standard output is not a terminal here: every status line is a line of its own.
    const auto lastStatusLine = [](const std::string& out) {
        const auto end = out.rfind('\n');
        if (end == std::string::npos) return std::string();
        const auto start = out.rfind('\n', end - 1);
        return out.substr(start == std::string::npos ? 0 : start + 1, end - start);
    };
    EXPECT_TRUE(receiver->waitForOutput(
        [&](const std::string& out) {
            return lastStatusLine(out).find(counts) != std::string::npos;
        },
        deadline))
        << receiver->out();
    EXPECT_THAT(lastStatusLine(receiver->out()),
                testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2} "
                                      "Receive [0-9]+" +
                                      counts + "0 MiB\n"));
    EXPECT_EQ(receiver->out().find('\r'), std::string::npos);

    ASSERT_TRUE(receiver->sendSignal(SIGINT));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(readFile(output), csvOf(selected, sent.frames));
    EXPECT_EQ(messages(*receiver), "");
    // The account of the run follows the status lines on standard output.
    EXPECT_THAT(receiver->out(),
                testing::ContainsRegex("\nReceived " + std::to_string(sent.frames.size()) +
                                       " telegrams in [0-9.]+ s: " + std::to_string(sent.skipped) +
                                       " lost at the sensor or on the network, 0 dropped by this "
                                       "host, 0 counter resets, " +
                                       std::to_string(sent.malformed) + " parse errors"));
}

}  // namespace
