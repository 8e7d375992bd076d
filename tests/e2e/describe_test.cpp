// End-to-end tests of --describe through the built programs: the report of the simulator's frames
// received live until SIGINT, and of the simulator's capture read to its end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/udp.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::AllOf;
using testing::HasSubstr;
using testing_support::ChildProcess;
using testing_support::ExitStatus;
using testing_support::ProgramRun;
using testing_support::runProgram;

constexpr ExitStatus exitedWith0{0, 0};
// Generous for every wait: a sanitizer build on a loaded machine is slow.
constexpr auto deadline = 60s;

// 24 frames of the default scan (two rotations) with every 5th telegram counter skipped and a
// malformed datagram after every 6th frame: telegram counters 1..29 without 5, 10, 15, 20 and 25,
// segments 0..28 without 4, 9, 14, 19 and 24; malformed: wrong magic, unsupported version,
// truncated, wrong magic.
const std::vector<std::string> frames{"-n", "24", "--skip-every", "5", "--bad-every", "6"};
// --phi 0 selects line 7 (phi -1 degree); theta 10..20 lies in segment 6 of each rotation (0..30
// degrees): segments 6 and 18 were sent.
const std::vector<std::string> filters{"--phi", "0", "--theta", "10:20"};

class Describe : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("compact-describe-e2e-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    static void simulate(std::vector<std::string> arguments) {
        const ProgramRun run = runProgram(COMPACT_SIM_EXE, arguments, deadline);
        ASSERT_EQ(run.status, exitedWith0) << run.err;
    }

    fs::path dir;
};

// The figures both runs must report.
void expectReport(const std::string& report, const std::string& sender) {
    SCOPED_TRACE(report);
    EXPECT_THAT(report, HasSubstr("Telegrams: 24 accepted, 4 refused\n"));
    EXPECT_THAT(report, HasSubstr("Filters: --phi 0 --phi-tolerance 1 --theta 10:20\n"));
    EXPECT_THAT(report, AllOf(HasSubstr(sender + " sender_id 1: 24 telegrams, telegram version 4"),
                              HasSubstr("telegram counters 1..29: 5 skipped in 5 gaps"),
                              HasSubstr("segment counters 0..28, counting up")));
    EXPECT_THAT(report, HasSubstr("16 lines x 240 beams x 3 echoes"));
    EXPECT_THAT(report, HasSubstr("in 2 of 24 modules: beams 80..160; echoes 0..2"));
    EXPECT_THAT(report, AllOf(HasSubstr("Parse errors: 4 ("), HasSubstr("wrong magic 2"),
                              HasSubstr("unsupported version 1"), HasSubstr("truncated 1")));
    // No CSV: no header line anywhere.
    EXPECT_THAT(report, testing::Not(HasSubstr("sender_id,")));
}

TEST_F(Describe, ReportsTheFramesReceivedUntilStopped) {
    const unsigned short port = testing_support::freeUdpPort();
    std::vector<std::string> arguments{"--describe", "--port", std::to_string(port)};
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    ChildProcess receiver(COMPACT_CSV_EXE, arguments);
    ASSERT_TRUE(receiver.waitUntilReceiving(deadline)) << receiver.err();
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (testing_support::udpSocketsOnPort(port).empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "nothing listens on port " << port;
        std::this_thread::sleep_for(5ms);
    }
    std::vector<std::string> sim{"--port", std::to_string(port)};
    sim.insert(sim.end(), frames.begin(), frames.end());
    simulate(sim);
    // The receiver drains what the socket holds when it stops.
    ASSERT_TRUE(receiver.sendSignal(SIGINT));
    ASSERT_EQ(receiver.wait(deadline), exitedWith0) << receiver.err();
    expectReport(receiver.out(), "127.0.0.1");
}

TEST_F(Describe, ReportsACaptureToItsEnd) {
    const fs::path capture = dir / "scan.pcap";
    std::vector<std::string> sim{"--pcap-out", capture.string(), "--source", "10.1.2.3"};
    sim.insert(sim.end(), frames.begin(), frames.end());
    simulate(sim);
    std::vector<std::string> arguments{"--describe", "-r", capture.string()};
    arguments.insert(arguments.end(), filters.begin(), filters.end());
    const ProgramRun run = runProgram(COMPACT_CSV_EXE, arguments, deadline);
    ASSERT_EQ(run.status, exitedWith0) << run.err;
    expectReport(run.out, "10.1.2.3");
    // Capture time stamps lie one frame period (1/240 s) apart, skipped slots included: 24
    // telegrams over 28 periods.
    std::smatch rate;
    ASSERT_TRUE(std::regex_search(run.out, rate, std::regex(R"(, ([0-9.]+) telegrams/s)")));
    EXPECT_NEAR(std::stod(rate[1]), 23.0 * 240 / 28, 0.5);
}

}  // namespace
