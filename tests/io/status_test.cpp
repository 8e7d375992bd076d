// Tests of the exact text and timing of the status line: the figures, the rate since the last
// line, the line ending on a terminal or not, and the host's drops. The counting of lost telegrams
// is the loss tracker's: tests/io/loss_tracker_test.cpp.
#include "io/status.h"

#include <gmock/gmock.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace testing;

const Status::SteadyClock::time_point start{std::chrono::hours(1)};
const std::string outputFile =
    std::filesystem::temp_directory_path() / ("status_test_" + std::to_string(::getpid()));

// The text print(true, ...) writes `elapsedMs` after the start, with the wall clock at `wall`.
std::string lineAfter(Status& status, int64_t elapsedMs, std::time_t wall = 0,
                      bool newline = true) {
    std::ostringstream out;
    status.print(newline, start + std::chrono::milliseconds(elapsedMs), wall, out);
    return out.str();
}

TEST(Status, WritesExactLineInLocalTimeWithFileSize) {
    ::setenv("TZ", "XYZ-2", 1);  // two hours ahead of UTC
    ::tzset();
    std::ofstream(outputFile) << std::string(1048575, 'x');
    Status status(outputFile, 5000, start);
    for (uint64_t counter = 1; counter <= 99; ++counter) status.telegramReceived(counter);
    status.telegramReceived(103);  // 100 telegrams, 3 lost
    status.parseErrorOccurred();
    status.parseErrorOccurred();
    // 1796439845 s is 2026-12-05T03:04:05 UTC; 100 telegrams / 5.003 s = 19.988, shown as 20
    EXPECT_EQ(lineAfter(status, 5003, 1796439845),
              "\r2026-12-05T05:04:05 Receive 20 telegram/s, 3 lost, 2 parse errors, "
              "output file 0 MiB\x1b[K\n");
    std::ofstream(outputFile, std::ios::app) << 'x';
    EXPECT_THAT(lineAfter(status, 10003), EndsWith(" 2 parse errors, output file 1 MiB\x1b[K\n"));
    std::filesystem::remove(outputFile);  // removed or moved away during the run
    EXPECT_THAT(lineAfter(status, 15003), EndsWith(" 2 parse errors, output file ? MiB\x1b[K\n"));
}

TEST(Status, PrintsOncePerPeriodWithRateSinceLastLine) {
    Status status(outputFile, 5000, start);
    for (uint64_t counter = 1; counter <= 50; ++counter) status.telegramReceived(counter);
    EXPECT_EQ(lineAfter(status, 4999), "");
    for (uint64_t counter = 51; counter <= 100; ++counter) status.telegramReceived(counter);
    EXPECT_THAT(lineAfter(status, 5000), HasSubstr(" 20 telegram/s"));  // all 100 counted
    EXPECT_EQ(lineAfter(status, 9999), "");  // the next period starts at the line's time
    for (uint64_t counter = 101; counter <= 120; ++counter) status.telegramReceived(counter);
    // 20 telegrams in the 8 s since the last line: 2.5 telegram/s, rounded half away from zero
    EXPECT_THAT(lineAfter(status, 13000), HasSubstr(" 3 telegram/s"));
}

// On a terminal a line without newline overwrites the previous one, clears what a longer one left
// and is cut to the terminal's width; elsewhere each line is a line, whole. Grown host drops add a
// line of their own, once; a loss that is not known shows as "?".
TEST(Status, EndsLinesAsTheOutputNeedsAndTellsOfHostDropsAndUnknownLoss) {
    Status status(outputFile, 5000, start);
    EXPECT_THAT(lineAfter(status, 5000, 0, false), AllOf(StartsWith("\r"), EndsWith(" MiB\x1b[K")));
    status.setTerminal(true, 40);
    EXPECT_EQ(lineAfter(status, 10000, 0, false).size(), 1 + 39 + 3);
    status.setTerminal(false);
    EXPECT_THAT(lineAfter(status, 15000, 0, false),
                AllOf(Not(HasSubstr("\r")), EndsWith(" MiB\n")));
    status.setTerminal(true);
    status.setHostDrops(7);
    const std::string drops =
        " MiB\x1b[K\nReceive buffer overflowed: 7 telegrams dropped by this host so far (writing "
        "cannot keep up)\n";
    EXPECT_THAT(lineAfter(status, 20000, 0, false), EndsWith(drops));
    EXPECT_THAT(lineAfter(status, 25000, 0, false), EndsWith(" MiB\x1b[K"));
    // A sender beyond the tracker's cap: the loss is not known, and must not read as 0.
    for (uint32_t id = 0; id <= LossTracker::maxSenders; ++id) status.telegramReceived(1, id, 5, 0);
    EXPECT_THAT(lineAfter(status, 30000), HasSubstr(" telegram/s, ? lost, 0 parse errors"));
}

}  // namespace
