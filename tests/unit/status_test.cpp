// Tests of the receive statistics and the exact text and timing of the status line.
#include "status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using std::chrono::milliseconds;
using testing::EndsWith;
using testing::HasSubstr;

const Status::SteadyClock::time_point start{std::chrono::hours(1)};
const std::string outputFile =
    std::filesystem::temp_directory_path() / ("status_test_" + std::to_string(::getpid()));

// The text print() writes `elapsedMs` after the start, with the wall clock at `wall`.
std::string lineAfter(Status& status, int64_t elapsedMs, std::time_t wall = 0) {
    std::ostringstream out;
    status.print(false, start + milliseconds(elapsedMs), wall, out);
    return out.str();
}

struct CounterCase {
    std::vector<uint64_t> counters;
    uint64_t lost;
    friend void PrintTo(const CounterCase& c, std::ostream* os) {
        *os << testing::PrintToString(c.counters);
    }
};
class StatusCounters : public testing::TestWithParam<CounterCase> {};

TEST_P(StatusCounters, CountsOnlyForwardGaps) {
    Status status(outputFile, 5000, start);
    for (uint64_t counter : GetParam().counters) status.telegramReceived(counter);
    EXPECT_EQ(status.lostTelegrams(), GetParam().lost);
    EXPECT_EQ(status.telegramsReceived(), GetParam().counters.size());
}

constexpr uint64_t maxCounter = std::numeric_limits<uint64_t>::max();
INSTANTIATE_TEST_SUITE_P(
    Sequences, StatusCounters,
    testing::Values(CounterCase{{1, 2, 3, 4}, 0}, CounterCase{{10, 11, 15}, 3},
                    CounterCase{{1000, 1002}, 1},      // the first counter is the reference
                    CounterCase{{5, 5}, 0},            // repeated telegram
                    CounterCase{{100, 101, 1, 2}, 0},  // sensor restart
                    CounterCase{{1, 2, 4, 3, 5}, 2},   // late telegram: both gaps count
                    CounterCase{{0, maxCounter}, maxCounter - 1}));

TEST(Status, WritesExactLineInLocalTime) {
    ::setenv("TZ", "XYZ-2", 1);  // two hours ahead of UTC
    ::tzset();
    std::ofstream(outputFile).close();
    std::filesystem::resize_file(outputFile, 117 * 1048576 + 5);
    Status status(outputFile, 5000, start);
    for (uint64_t counter = 1; counter <= 103; ++counter) {  // 100 telegrams, 3 lost
        if (counter != 20 && counter != 50 && counter != 51) status.telegramReceived(counter);
    }
    status.parseErrorOccured();
    status.parseErrorOccured();
    std::ostringstream out;
    // 1796439845 s is 2026-12-05T03:04:05 UTC; 100 telegrams / 5.003 s = 19.988
    EXPECT_TRUE(status.print(true, start + milliseconds(5003), 1796439845, out));
    EXPECT_EQ(out.str(),
              "\r2026-12-05T05:04:05 Receive 20 telegram/s, 3 lost, 2 parse errors, "
              "output file 117 MiB\n");
    std::filesystem::remove(outputFile);
}

TEST(Status, RoundsRateOverRealIntervalHalfAwayFromZero) {
    const struct {
        uint64_t telegrams;
        int64_t elapsedMs;
        const char* rate;
    } cases[] = {{100, 10000, " 10 "}, {5, 2000, " 3 "}, {7, 2000, " 4 "}, {0, 1000, " 0 "}};
    for (const auto& c : cases) {
        Status status(outputFile, 1000, start);
        for (uint64_t i = 0; i < c.telegrams; ++i) status.telegramReceived(i);
        EXPECT_THAT(lineAfter(status, c.elapsedMs), HasSubstr(c.rate)) << c.telegrams;
    }
}

TEST(Status, PrintsOnceThePeriodHasRunOut) {
    Status status(outputFile, 5000, start);
    EXPECT_EQ(lineAfter(status, -1), "");
    for (uint64_t counter = 1; counter <= 50; ++counter) status.telegramReceived(counter);
    EXPECT_EQ(lineAfter(status, 4999), "");
    for (uint64_t counter = 51; counter <= 100; ++counter) status.telegramReceived(counter);
    EXPECT_THAT(lineAfter(status, 5000), HasSubstr(" 20 telegram/s"));  // all 100 counted
    EXPECT_EQ(lineAfter(status, 9999), "");  // the next period starts at the line's time
    EXPECT_THAT(lineAfter(status, 10000), HasSubstr(" 0 telegram/s"));
}

TEST(Status, ReportsWholeMebibytesOrQuestionMark) {
    Status status(outputFile, 1, start);
    int64_t elapsed = 0;
    std::ofstream(outputFile).close();
    for (const auto& [bytes, shown] : {std::pair{1048575, " 0 MiB"}, {1048576, " 1 MiB"}}) {
        std::filesystem::resize_file(outputFile, bytes);
        EXPECT_THAT(lineAfter(status, ++elapsed), EndsWith(shown));
    }
    std::filesystem::remove(outputFile);  // removed or moved away during the run
    EXPECT_THAT(lineAfter(status, ++elapsed), EndsWith(" 0 parse errors, output file ? MiB"));
}

TEST(Status, PrintsToStandardOutputWithRealClocks) {
    Status status(outputFile, 1);
    std::ostringstream captured;
    std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
    const auto deadline = Status::SteadyClock::now() + std::chrono::seconds(5);
    while (captured.str().empty() && Status::SteadyClock::now() < deadline) status.print(false);
    std::cout.rdbuf(saved);
    EXPECT_THAT(captured.str(),
                testing::MatchesRegex("\r[-0-9]{10}T[:0-9]{8} Receive 0 telegram/s,"
                                      " 0 lost, 0 parse errors, output file . MiB"));
}

}  // namespace
