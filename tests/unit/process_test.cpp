// Tests of the program runner that the command-line and end-to-end tests rely on.
#include "process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::ExitStatus;
using testing_support::runProgram;

TEST(Process, CapturesBothOutputsAndTheExitCode) {
    // 200 kB on standard output: more than a pipe holds, so a runner that only reads at the end
    // would deadlock here.
    const auto run = runProgram(
        "/bin/sh", {"-c", "head -c 200000 /dev/zero | tr '\\0' x; echo oops >&2; exit 3"});
    ASSERT_TRUE(run.status.has_value());
    EXPECT_EQ(*run.status, (ExitStatus{3, 0}));
    EXPECT_EQ(run.out, std::string(200000, 'x'));
    EXPECT_EQ(run.err, "oops\n");
}

TEST(Process, DeadlinesSignalsAndPartialOutput) {
    EXPECT_FALSE(runProgram("/bin/sleep", {"30"}, 50ms).status.has_value());

    ChildProcess child("/bin/sh", {"-c", "echo ready; exec sleep 30"});
    ASSERT_TRUE(child.waitForOutput([](const std::string& out) { return out == "ready\n"; }, 10s));
    EXPECT_FALSE(child.wait(20ms).has_value());
    ASSERT_TRUE(child.sendSignal(SIGINT));
    EXPECT_EQ(child.wait(10s), (ExitStatus{-1, SIGINT}));
    EXPECT_FALSE(child.sendSignal(SIGINT));

    EXPECT_THROW(ChildProcess("/nonexistent/program", {}), std::runtime_error);
}

}  // namespace
