// End-to-end tests of the receiver's runs: the built program listening on a loopback port, fed
// datagrams by the test or the simulator and stopped by a signal; its rows, status lines, messages,
// summary and exit status. Loss at the sensor is told apart from drops by this host, loss is
// followed per sender, parse errors are counted by kind; --describe reports instead of rows.
#include <gmock/gmock.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#include "generators/compact_frame_builder.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/runs.h"
#include "support/udp.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using testing::HasSubstr;

// Beams 0..1, echoes 0..1, no angle columns, as options and as settings.
const std::vector<std::string> selection{"--beam", "0:1",           "--echo",
                                         "0:1",    "--omit-angles", "--short-headers"};
const CompactCSV::Options selected{
    .beam = {0, 1}, .echo = {0, 1}, .shortHeaders = true, .omitAngles = true};

class Receiver : public testing::Test {
  protected:
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments) const {
        return startReceiver(port, std::move(arguments));
    }
    // Stops the receiver; returns its standard error (with the summary: the CSV goes to standard
    // output).
    static std::string stop(ChildProcess& receiver, int signal = SIGINT) {
        receiver.sendSignal(signal);
        EXPECT_EQ(receiver.wait(deadline), exitedWith0) << receiver.err();
        return messages(receiver);
    }
    void simulateHere(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port), "--lines", "2"});
        simulate(arguments);
    }

    const unsigned short port = freeUdpPort();
};

// SIGTERM, as a service manager sends it, ends the run cleanly: standard output holds the rows of
// every good frame (and no status line), from the sensor's address alone. Its senders (sender_id
// 1 and 2, counters interleaved) lose nothing; sender_id 3 starts counting again, a counter
// reset. The summary on standard error counts each kind of datagram the format refuses.
TEST_F(Receiver, SigtermWritesEveryGoodFrameFromTheSensorWithItsAccount) {
    auto arguments = selection;
    arguments.insert(arguments.end(), {"--address", "127.0.0.1", "-"});
    const auto receiver = start(arguments);
    UdpSender stranger("127.0.0.2"), sender, second;  // second: the same host, another port
    for (uint32_t n = 100; n < 103; ++n) stranger.send(port, numberedFrame(n));
    const std::string whole = numberedFrame(1);
    const std::vector<std::string> bad{
        compact::encodeFrame({.magic = {2, 2, 2, 3}}),
        compact::encodeFrame({.telegramVersion = 2}),
        compact::encodeFrame({.telegramVersion = 5}),
        whole.substr(0, whole.size() - 1),
        "",
        compact::encodeFrame({.modules = {compact::countsOnlyModule(0, 300000, 0, 0)}})};
    std::vector<std::string> frames;
    for (uint32_t n = 1; n <= 60; ++n) {
        frames.push_back(numberedFrame(n, 3, 3, 2));
        (n == 30 ? second : sender).send(port, frames.back());
        frames.push_back(numberedFrame(1000 + n, 3, 3, 2, 2));
        sender.send(port, frames.back());
        sender.send(port, bad[n % bad.size()]);
    }
    for (uint64_t counter : {500, 501, 502, 1, 2, 3}) {
        frames.push_back(numberedFrame(counter, 3, 3, 2, 3));
        sender.send(port, frames.back());
    }
    waitUntilReceived(port, deadline);
    EXPECT_THAT(
        stop(*receiver, SIGTERM),
        testing::MatchesRegex("Received 126 telegrams in [0-9.]+ s: 0 lost at the sensor or "
                              "on the network, 0 dropped by this host, 1 counter resets, "
                              "60 parse errors \\(10 wrong magic, 20 unsupported version, "
                              "20 truncated, 10 object cap\\), 378 rows written "
                              "\\([0-9.]+ MiB\\)\n"));
    EXPECT_EQ(receiver->out(), csvOf(selected, frames));
}

TEST_F(Receiver, ReportsAFullDiskWithStatusOne) {
    const std::string failed =
        std::string("Failed to write output /dev/full:") + std::strerror(ENOSPC) + "\n";
    UdpSender sender;
    {
        SCOPED_TRACE("rows fit the output buffer: the failure shows when it is flushed at the end");
        const auto receiver = start({"/dev/full"});
        sender.send(port, numberedFrame(1));
        waitUntilReceived(port, deadline);
        ASSERT_TRUE(receiver->sendSignal(SIGINT));
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver), failed);
    }
    {
        SCOPED_TRACE("one row of 1000 beams exceeds the buffer: the receiver stops by itself");
        const auto receiver = start({"--omit-angles", "/dev/full"});
        // More than one, in case a row is written in pieces; the first should end the run.
        for (int i = 0; i < 20 && !receiver->wait(100ms); ++i)
            sender.send(port, numberedFrame(1, 1, 1000));
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver), failed);
    }
}

// The simulator's frames, with telegram counters it skips and malformed datagrams in between,
// into a file: the status line counts both, and after Ctrl-C the file holds the rows of every
// frame and the summary tells skipped counters as loss at the sensor. Takes a few seconds more
// than the others: the first status line comes 5 s after start-up.
TEST_F(Receiver, SlowSimulatorFramesWithStatusLineUntilCtrlC) {
    const ScratchDir dir;
    auto arguments = selection;
    arguments.push_back((dir / "rows.csv").string());
    const auto receiver = start(arguments);
    simulate({"--port", std::to_string(port), "--count", "150", "--rate", "300", "--lines", "3",
              "--beams", "3", "--echoes", "2", "--skip-every", "7", "--bad-every", "5"});
    compact::ScanSettings settings;
    std::tie(settings.lines, settings.beams, settings.echoes) = std::tuple(3, 3, 2);
    std::tie(settings.skipEvery, settings.badEvery) = std::tuple(7, 5);
    const Simulated sent = simulated(settings, 300, 150);
    waitUntilReceived(port, deadline);

    const std::string counts = " telegram/s, " + std::to_string(sent.skipped) + " lost, " +
                               std::to_string(sent.malformed) + " parse errors, output file ";
    // Standard output is not a terminal here: every status line is a line of its own.
    const std::regex statusLine(
        "(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2} "
        "Receive [0-9]+" +
        counts + "0 MiB\n");
    EXPECT_TRUE(
        eventually([&] { return std::regex_search(receiver->out(), statusLine); }, deadline))
        << receiver->out();
    EXPECT_EQ(receiver->out().find('\r'), std::string::npos);
    EXPECT_EQ(stop(*receiver), "");
    EXPECT_EQ(readFile(dir / "rows.csv"), csvOf(selected, sent.frames));
    // The summary of the run follows the status lines on standard output.
    EXPECT_THAT(receiver->out(),
                testing::ContainsRegex("\nReceived " + std::to_string(sent.frames.size()) +
                                       " telegrams in [0-9.]+ s: " + std::to_string(sent.skipped) +
                                       " lost at the sensor or on the network, 0 dropped by this "
                                       "host, 0 counter resets, " +
                                       std::to_string(sent.malformed) + " parse errors"));
}

// Frames the receiver had no room for while it was paused in the middle of a stream are this
// host's drops, equal to the kernel's count for the socket; the gap they leave in the telegram
// counters is told as missing, with how many of those this host's drops may explain (the kernel
// does not say whose datagrams it dropped). Filters that select nothing: the summary says what
// the frames held.
TEST_F(Receiver, HostDropsAreTheKernelsCount) {
    const auto receiver = start({"-B", "256", "--line", "40", "-"});
    // Small frames while the receiver runs, large ones (45 KB) while it is paused.
    UdpSender sender;
    uint64_t counter = 1;
    const auto send = [&](int frames, uint32_t lines, uint32_t beams) {
        for (int i = 0; i < frames; ++i) sender.send(port, numberedFrame(counter++, lines, beams));
    };
    send(50, 2, 3);
    waitUntilReceived(port, deadline);
    ASSERT_TRUE(receiver->sendSignal(SIGSTOP));
    send(400, 16, 400);
    int64_t kernelDrops = 0;
    for (const auto& socket : udpSocketsOnPort(port))
        kernelDrops += static_cast<int64_t>(socket.drops);
    ASSERT_GT(kernelDrops, 0) << "the buffer never overflowed";
    receiver->sendSignal(SIGCONT);
    eventually([&] { return udpSocketsOnPort(port).at(0).queuedBytes == 0; }, deadline);
    send(50, 2, 3);  // counters after the gap the drops left
    const std::string summary = stop(*receiver);
    EXPECT_EQ(figure(summary, "dropped by this host"), kernelDrops);
    EXPECT_EQ(figure(summary, "missing from the telegram counters"), kernelDrops) << summary;
    EXPECT_THAT(summary, HasSubstr("(0 to " + std::to_string(kernelDrops) +
                                   " may be this host's drops)"));
    EXPECT_EQ(figure(summary, "telegrams in"), 500 - kernelDrops);
    EXPECT_THAT(summary, HasSubstr("No rows were written: frames held 2..16 lines, 3..400 beams, "
                                   "1 echo; phi "));
}

// A queue too small for a reader that pauses drops datagrams, and they count as this host's.
TEST_F(Receiver, QueueDropsCountAsHostDrops) {
    const auto receiver = startReceiver(port, {"--queue-size", "1", "-"}, StandardOutput::Pipe);
    // Nobody reads the CSV until the simulator is done: the pipe fills, the writer stalls and the
    // queue of 1 MiB (17 frames) overflows.
    simulateHere({"-n", "200", "--rate", "400", "--beams", "240"});
    std::thread reader([fd = receiver->outputPipe()] {
        char buffer[65536];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    const std::string summary = stop(*receiver);
    reader.join();
    const int64_t dropped = figure(summary, "dropped by this host");
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(figure(summary, "telegrams in"), 200 - dropped);
    EXPECT_EQ(figure(summary, "lost at the sensor"), 0);
}

// A second receiver on the port: the kernel would split the senders between the two.
TEST_F(Receiver, SecondReceiverOnAPortIsWarnedAbout) {
    const auto first = start({"-"});
    const auto second = start({"-"});
    EXPECT_THAT(stop(*second),
                HasSubstr("Another program already receives on UDP port " + std::to_string(port) +
                          "; senders are split between them unless each uses "
                          "--address\n"));
    EXPECT_THAT(stop(*first), testing::Not(HasSubstr("Another program")));
}

// --describe of the simulator's frames received live until SIGINT; the same stream from a capture:
// tests/e2e/capture_test.cpp.
TEST_F(Receiver, DescribeReportsTheFramesReceivedUntilStopped) {
    const auto receiver = start({"--describe", "--phi", "0", "--theta", "10:20"});
    std::vector<std::string> arguments{"--port", std::to_string(port)};
    arguments.insert(arguments.end(), describedStream.begin(), describedStream.end());
    simulate(arguments);
    stop(*receiver);  // the receiver drains what the socket holds when it stops
    expectDescribedStream(receiver->out(), "127.0.0.1");
}

}  // namespace
