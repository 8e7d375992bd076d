// End-to-end tests of the simulator: options it does not take and set-up that fails end the built
// program with one message on standard error and status 1, before it sends or writes anything.
// Several senders and multicast: tests/e2e/sensors_test.cpp.
#include <gmock/gmock.h>
#include <unistd.h>

#include <filesystem>

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

}  // namespace
