// End-to-end tests of the receiver's live runs: the built program listening on a loopback port,
// fed datagrams by the test or the simulator and stopped by a signal; its rows, messages, summary
// and exit status. Loss at the sensor is told apart from drops by this host, loss is followed per
// sender, parse errors are counted by kind.
#include <gmock/gmock.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "generators/compact_frame_builder.h"
#include "support/frames.h"
#include "support/runs.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using testing::HasSubstr;

class Receiver : public LiveRun {};

// SIGTERM, as a service manager sends it, ends the run cleanly: standard output holds the rows of
// every good frame (and no status line), from the sensor's address alone. Its senders (sender_id
// 1 and 2, counters interleaved) lose nothing; sender_id 3 starts counting again, a counter
// reset. The summary on standard error counts each kind of datagram the format refuses.
TEST_F(Receiver, SigtermWritesEveryGoodFrameFromTheSensorWithItsAccount) {
    const auto receiver = start({"--beam", "0:1", "--echo", "0:1", "--omit-angles",
                                 "--short-headers", "--address", "127.0.0.1", "-"});
    UdpSender stranger("127.0.0.2"), second;  // second: the same host, another port
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
        stopRun(*receiver, SIGTERM),
        testing::MatchesRegex("Received 126 telegrams in [0-9.]+ s: 0 lost at the sensor or "
                              "on the network, 0 dropped by this host, 1 counter resets, "
                              "60 parse errors \\(10 wrong magic, 20 unsupported version, "
                              "20 truncated, 10 object cap\\), 378 rows written "
                              "\\([0-9.]+ MiB\\)\n"));
    EXPECT_EQ(
        receiver->out(),
        csvOf({.beam = {0, 1}, .echo = {0, 1}, .shortHeaders = true, .omitAngles = true}, frames));
}

// A full disk ends the run with status 1 and the system's reason: rows that fit the output
// buffer fail when they are flushed at the stop; a row of 1000 beams, larger than the buffer,
// fails at once and the receiver stops by itself.
TEST_F(Receiver, ReportsAFullDiskWithStatusOne) {
    for (const uint32_t beams : {3u, 1000u}) {
        SCOPED_TRACE(std::to_string(beams) + " beams");
        const auto receiver = start({"--omit-angles", "/dev/full"});
        if (beams == 3) {
            sender.send(port, numberedFrame(1));
            waitUntilReceived(port, deadline);
            ASSERT_TRUE(receiver->sendSignal(SIGINT));
        }
        // More than one, in case a row is written in pieces; the first should end the run.
        for (int i = 0; beams > 3 && i < 20 && !receiver->wait(100ms); ++i)
            sender.send(port, numberedFrame(1, 1, beams));
        ASSERT_EQ(receiver->wait(deadline), exitedWith1) << receiver->err();
        EXPECT_EQ(messages(*receiver),
                  std::string("Failed to write output /dev/full:") + std::strerror(ENOSPC) + "\n");
    }
}

// Frames the receiver had no room for while it was paused in the middle of a stream are this
// host's drops, equal to the kernel's count for the socket; the gap they leave in the telegram
// counters is told as missing, with how many of those this host's drops may explain (the kernel
// does not say whose datagrams it dropped). Filters that select nothing: the summary says what
// the frames held.
TEST_F(Receiver, HostDropsAreTheKernelsCount) {
    const auto receiver = start({"-B", "256", "--line", "40", "-"});
    // Small frames while the receiver runs, large ones (45 KB) while it is paused.
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
    const std::string summary = stopRun(*receiver);
    EXPECT_EQ(figure(summary, "dropped by this host"), kernelDrops);
    EXPECT_EQ(figure(summary, "missing from the telegram counters"), kernelDrops) << summary;
    EXPECT_THAT(summary,
                HasSubstr("(0 to " + std::to_string(kernelDrops) + " may be this host's drops)"));
    EXPECT_EQ(figure(summary, "telegrams in"), 500 - kernelDrops);
    EXPECT_THAT(summary, HasSubstr("No rows were written: frames held 2..16 lines, 3..400 beams, "
                                   "1 echo; phi "));
}

// A queue too small for a reader that pauses drops datagrams, and they count as this host's. The
// telegrams after them, once there is room again, leave no gap: the dropped ones fill their
// counters.
TEST_F(Receiver, QueueDropsCountAsHostDrops) {
    const auto receiver = start({"--queue-size", "1", "-"}, StandardOutput::Pipe);
    // Nobody reads the CSV yet: the pipe fills, the writer stalls and the queue of 1 MiB (17
    // frames of 58 KB) overflows. Then frames 101..110, 20 ms apart, while the reader drains it.
    const auto send = [&](uint32_t first, uint32_t last, std::chrono::milliseconds pause) {
        for (uint32_t n = first; n <= last; ++n, std::this_thread::sleep_for(pause))
            sender.send(port, numberedFrame(n, 16, 240, 3));
    };
    send(1, 100, 2ms);
    waitUntilReceived(port, deadline);
    std::thread reader([fd = receiver->outputPipe()] {
        char buffer[65536];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    send(101, 110, 20ms);
    waitUntilReceived(port, deadline);
    const std::string summary = stopRun(*receiver);
    reader.join();
    const int64_t dropped = figure(summary, "dropped by this host");
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(figure(summary, "telegrams in"), 110 - dropped);
    EXPECT_EQ(figure(summary, "lost at the sensor"), 0) << summary;
}

}  // namespace
