// End-to-end tests of the simulator's refusals: options it does not take and set-up that fails
// end the built program with one message on standard error and status 1, before it sends or
// writes anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/runs.h"
#include "support/udp.h"

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
        // 192.0.2.0/24 is reserved for documentation: no address of this host.
        {{"--port", port, "-n", "1", "--source", "192.0.2.1"},
         "Failed to bind to source 192.0.2.1:"},
        {{"--pcap-out", capture.string(), "-n", "1"}, capture.string()},
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
