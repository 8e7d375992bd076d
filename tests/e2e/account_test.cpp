// End-to-end tests of what a run tells its user: loss at the sensor told apart from drops by this
// host, loss per sender, counter resets, parse errors by kind, a hint when no row was written, and
// a warning when another receiver shares the port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "generators/compact_frame_builder.h"
#include "support/process.h"
#include "support/udp.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::exitedWith0;
using testing_support::UdpSender;

constexpr auto deadline = 60s;

// The figures of the summary a live run ends with.
struct Account {
    uint64_t received = 0, lost = 0, dropped = 0, resets = 0, parseErrors = 0, rows = 0;
    std::string parseErrorKinds;
};

Account accountOf(const std::string& text) {
    const std::regex line(
        R"(Received (\d+) telegrams in [0-9.]+ s: (\d+) lost at the sensor or on the network, )"
        R"((\d+) dropped by this host, (\d+) counter resets, (\d+) parse errors(?: \(([^)]+)\))?, )"
        R"((\d+) rows written \([0-9.]+ MiB\)\n)");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, line)) << text;
    if (m.empty()) return {};
    const auto number = [&](int i) { return std::stoull(m[i].str()); };
    return {number(1), number(2), number(3), number(4), number(5), number(7), m[6].str()};
}

std::string frame(uint64_t counter, uint32_t lines = 2) {
    compact::FrameSpec layout{.telegramCounter = counter};
    layout.modules.push_back(compact::makeModule(lines, lines == 2 ? 3 : 400, 1));
    return compact::encodeFrame(layout);
}

class RunAccount : public testing::Test {
  protected:
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
        auto receiver = std::make_unique<ChildProcess>(COMPACT_CSV_EXE, arguments);
        EXPECT_TRUE(receiver->waitUntilReceiving(deadline)) << receiver->err();
        return receiver;
    }
    // Stops the receiver and returns its account (from standard error: the CSV goes to standard
    // output in these tests).
    Account stop(ChildProcess& receiver) const {
        receiver.sendSignal(SIGINT);
        EXPECT_EQ(receiver.wait(deadline), exitedWith0) << receiver.err();
        return accountOf(receiver.err());
    }
    void simulate(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port), "--lines", "2"});
        const auto run = testing_support::runProgram(COMPACT_SIM_EXE, arguments, deadline);
        ASSERT_EQ(run.status, exitedWith0) << run.err;
    }

    const unsigned short port = testing_support::freeUdpPort();
};

// Frames the receiver had no room for while it was paused are this host's drops, equal to the
// kernel's count for the socket, and no sensor loss; telegram counters the simulator skipped are
// the reverse.
TEST_F(RunAccount, HostDropsAndSensorLossAreToldApart) {
    {
        SCOPED_TRACE("receiver paused in the middle of the stream, 256 KiB socket buffer");
        const auto receiver = start({"-B", "256", "--line", "0", "--beam", "0", "-"});
        UdpSender sender;
        uint64_t counter = 1;
        // Small frames while the receiver runs, large ones (45 KB) while it is paused.
        const auto send = [&](int frames, uint32_t lines) {
            for (int i = 0; i < frames; ++i) sender.send(port, frame(counter++, lines));
        };
        send(50, 2);
        testing_support::waitUntilReceived(port, deadline);
        ASSERT_TRUE(receiver->sendSignal(SIGSTOP));
        send(400, 16);  // far more than the buffer holds
        uint64_t kernelDrops = 0;
        for (const auto& socket : testing_support::udpSocketsOnPort(port))
            kernelDrops += socket.drops;
        ASSERT_GT(kernelDrops, 0u) << "the buffer never overflowed";
        receiver->sendSignal(SIGCONT);
        testing_support::eventually(
            [&] { return testing_support::udpSocketsOnPort(port).at(0).queuedBytes == 0; },
            deadline);
        send(50, 2);  // counters after the gap the drops left
        const Account account = stop(*receiver);
        EXPECT_EQ(account.dropped, kernelDrops);
        EXPECT_EQ(account.lost, 0u)
            << "the drops' gap counted as the sensor's loss: " << receiver->err();
        EXPECT_EQ(account.received + account.dropped, 500u);
    }
    {
        SCOPED_TRACE("every 10th counter skipped by the simulator");
        const auto receiver = start({"--line", "0", "--beam", "0", "-"});
        simulate({"-n", "90", "--rate", "500", "--skip-every", "10"});
        testing_support::waitUntilReceived(port, deadline);
        const Account account = stop(*receiver);
        EXPECT_EQ(account.lost, 9u);
        EXPECT_EQ(account.dropped, 0u);
    }
}

// A queue too small for a reader that pauses drops datagrams, and they count as this host's.
TEST_F(RunAccount, QueueDropsCountAsHostDrops) {
    ChildProcess receiver(
        COMPACT_CSV_EXE,
        std::vector<std::string>{"--port", std::to_string(port), "--queue-size", "1", "-"}, -1,
        testing_support::StandardOutput::Pipe);
    ASSERT_TRUE(receiver.waitUntilReceiving(deadline));
    // Nobody reads the CSV until the simulator is done: the pipe fills, the writer stalls and the
    // queue of 1 MiB (17 frames) overflows.
    simulate({"-n", "200", "--rate", "400", "--beams", "240"});
    std::thread reader([fd = receiver.outputPipe()] {
        char buffer[65536];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    const Account account = stop(receiver);
    reader.join();
    EXPECT_GT(account.dropped, 0u);
    EXPECT_EQ(account.received + account.dropped, 200u);
    EXPECT_EQ(account.lost, 0u);
}

// Two senders on one port, each with its own counters, lose nothing; a sender that starts
// counting again is a counter reset, not a loss.
TEST_F(RunAccount, LossIsFollowedPerSender) {
    const auto receiver = start({"--line", "0", "--beam", "0", "-"});
    std::thread first([&] { simulate({"-n", "60", "--rate", "300", "--sender-id", "1"}); });
    std::thread second([&] { simulate({"-n", "60", "--rate", "300", "--sender-id", "2"}); });
    first.join();
    second.join();
    UdpSender restarting("127.0.0.3");
    for (uint64_t counter : {500, 501, 502, 1, 2, 3}) restarting.send(port, frame(counter));
    testing_support::waitUntilReceived(port, deadline);
    const Account account = stop(*receiver);
    EXPECT_EQ(account.received, 126u);
    EXPECT_EQ(account.lost, 0u);
    EXPECT_EQ(account.resets, 1u);
}

// One datagram of each kind the format refuses, counted by kind in the summary.
TEST_F(RunAccount, ParseErrorsAreCountedByKind) {
    const auto receiver = start({"-"});
    UdpSender sender;
    compact::FrameSpec wrongMagic{.magic = {2, 2, 2, 3}};
    const std::string whole = frame(1);
    const std::vector<std::string> bad{
        compact::encodeFrame(wrongMagic),
        compact::encodeFrame({.telegramVersion = 2}),
        compact::encodeFrame({.telegramVersion = 5}),
        whole.substr(0, whole.size() - 1),
        compact::encodeFrame({.modules = {compact::countsOnlyModule(1000, 1, 1, 3)}}),
        compact::encodeFrame({.modules = {compact::countsOnlyModule(0, 300000, 0, 0)}}),
    };
    for (const std::string& datagram : bad) sender.send(port, datagram);
    testing_support::waitUntilReceived(port, deadline);
    const Account account = stop(*receiver);
    EXPECT_EQ(account.parseErrors, 6u);
    EXPECT_EQ(account.parseErrorKinds,
              "1 wrong magic, 2 unsupported version, 2 truncated, 1 object cap");
    EXPECT_EQ(account.received, 0u);
}

// Filters that select nothing: the summary says what the frames held.
TEST_F(RunAccount, NoRowsWrittenSaysWhatTheFramesHeld) {
    const auto receiver = start({"--line", "40", "-"});
    simulate({"-n", "12", "--rate", "500"});
    testing_support::waitUntilReceived(port, deadline);
    const Account account = stop(*receiver);
    EXPECT_EQ(account.rows, 0u);
    EXPECT_THAT(receiver->err(),
                testing::HasSubstr("No rows were written: frames held 2 lines, 240 beams, "
                                   "3 echoes; phi -15..15 deg, theta -180..180 deg"));
}

// A second receiver on the port: the kernel would split the senders between the two.
TEST_F(RunAccount, SecondReceiverOnAPortIsWarnedAbout) {
    const auto first = start({"-"});
    const auto second = start({"-"});
    stop(*second);
    EXPECT_THAT(second->err(), testing::HasSubstr("Another program already receives on UDP port " +
                                                  std::to_string(port) +
                                                  "; senders are split between them unless each "
                                                  "uses --address\n"));
    stop(*first);
    EXPECT_THAT(first->err(), testing::Not(testing::HasSubstr("Another program")));
}

}  // namespace
