// End-to-end tests of the simulator: options it does not take and set-up that fails end the built
// program with one message on standard error and status 1, before it sends or writes anything;
// several senders take turns, each with its own counters. Multicast: tests/e2e/sensors_test.cpp.
#include <gmock/gmock.h>
#include <unistd.h>

#include <filesystem>

#include "io/pcap_reader.h"
#include "support/frames.h"
#include "support/runs.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

TEST(Simulator, RefusesOptionsAndFailedSetUpWithOneMessageAndStatus1) {
    const std::string port = std::to_string(freeUdpPort());
    const fs::path capture = fs::temp_directory_path() /
                             ("compact_sim_missing_" + std::to_string(getpid())) / "scan.pcap";
    const struct {
        std::vector<std::string> arguments;
        std::string messageStart;
    } cases[] = {
        // -p and -r are the receiver's --phi and --pcap; the simulator has no short letters for
        // --port and --rate.
        {{"-p", port, "-n", "1"}, "Parsing command line arguments failed: "},
        {{"--port", port, "-r", "10", "-n", "1"}, "Parsing command line arguments failed: "},
        // Frames of this shape would hold one object more than a receiver decodes.
        {{"--port", port, "-n", "1", "--lines", "302", "--beams", "4", "--echoes", "215",
          "--values", "theta,properties"},
         "a frame of this shape holds "},
        // One byte more than a UDP datagram carries (65508 bytes).
        {{"--port", port, "-n", "1", "--lines", "1", "--beams", "4360", "--echoes", "3"},
         "a frame of this shape is 65508 bytes, more than one UDP datagram carries (65507)"},
        // 192.0.2.0/24 is reserved for documentation: no address of this host.
        {{"--port", port, "-n", "1", "--source", "192.0.2.1"},
         "Failed to bind to source 192.0.2.1:"},
        {{"--pcap-out", capture.string(), "-n", "1"}, capture.string()},
        {{"--port", port, "-n", "1", "--multicast", "10.0.0.1"}, "--multicast 10.0.0.1: not "},
        {{"--port", port, "-n", "1", "--multicast", "239.1.2.3", "--interface", "nosuch0"},
         "--interface nosuch0: no such interface"},
        {{"--port", port, "-n", "1", "--senders", "2", "--vary", "address", "--source",
          "127.255.255.255"},
         "--vary address: source 128.0.0.0 of sender 2 is not a loopback address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const auto run = runProgram(COMPACT_SIM_EXE, c.arguments, deadline);
        EXPECT_EQ(run.status, exitedWith1);
        EXPECT_EQ(run.out, "") << "nothing sent or written, no summary";
        EXPECT_EQ(run.err.rfind(c.messageStart, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
    EXPECT_FALSE(fs::exists(capture.parent_path()));
}

// Small frames, fast, with every second telegram counter skipped: 2 frames of each sender carry
// its counters 1 and 3.
const std::vector<std::string> smallFrames = {
    "--lines", "2", "--beams", "3", "--echoes", "1", "--rate", "1000", "--skip-every", "2"};

// The frames that the simulator with smallFrames sends as sender_id `senderId`, in order.
std::vector<std::string> framesOf(uint32_t senderId, uint32_t frames) {
    const compact::ScanSettings settings{
        .lines = 2, .beams = 3, .echoes = 1, .senderId = senderId, .skipEvery = 2};
    return simulated(settings, 1000, frames).frames;
}

// Three senders, told apart by sender_id or by source address, sent over UDP (kept by a receiver
// with -w) or written into a capture: one frame of each in turn, each with its own telegram
// counters.
class SimulatorSenders : public testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(SimulatorSenders, TakeTurnsWithTheirOwnCounters) {
    const auto [vary, capture] = GetParam();
    const bool byAddress = vary == "address";
    const ScratchDir dir;
    const unsigned short port = freeUdpPort();
    const std::string kept = (dir / (capture ? "s.pcap" : "s.pcapng")).string();
    std::unique_ptr<ChildProcess> receiver;
    if (!capture) receiver = startReceiver(port, {"-w", kept, (dir / "rows.csv").string()});
    std::vector<std::string> arguments = {
        "--port", std::to_string(port), "-n", "2", "--senders", "3", "--vary",
        vary,     "--sender-id",        "7"};
    arguments.insert(arguments.end(), smallFrames.begin(), smallFrames.end());
    if (capture) arguments.insert(arguments.end(), {"--pcap-out", kept});
    const std::string summary = simulate(arguments);
    if (!capture) {
        waitUntilReceived(port, deadline);
        stopRun(*receiver);
    }
    EXPECT_THAT(summary, testing::StartsWith("6 frames from 3 senders, 0 malformed, 6 datagrams"));
    EXPECT_EQ(figure(summary, "telegram counters skipped"), 3);

    // Source address and payload of each datagram.
    std::vector<std::pair<std::string, std::string>> expected, received;
    for (uint32_t frame = 0; frame < 2; ++frame) {
        for (uint32_t sender = 0; sender < 3; ++sender) {
            expected.emplace_back("127.0.0." + std::to_string(byAddress ? sender + 1 : 1),
                                  framesOf(byAddress ? 7 : 7 + sender, 2)[frame]);
        }
    }
    compact::PcapReader reader(kept);
    while (auto d = reader.next())
        received.emplace_back(compact::formatIpv4Address(d->sourceAddress),
                              std::string(d->payload.begin(), d->payload.end()));
    EXPECT_EQ(received, expected);
}

INSTANTIATE_TEST_SUITE_P(Simulator, SimulatorSenders,
                         testing::Combine(testing::Values("id", "address"), testing::Bool()),
                         [](const auto& run) {
                             return std::get<0>(run.param) +
                                    (std::get<1>(run.param) ? "Captured" : "Sent");
                         });

}  // namespace
