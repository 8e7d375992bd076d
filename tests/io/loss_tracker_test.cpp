// Tests of the per-sender telegram account: gaps, late telegrams within the window, repeats,
// restarts, implausible jumps by the sender's rate, telegrams this host dropped, the sender cap.
// Senders kept apart by address and sender_id: tests/e2e/sensors_test.cpp.
#include "io/loss_tracker.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t addressA = 0xC0A80001;  // 192.168.0.1
constexpr uint32_t addressB = 0xC0A80002;
constexpr uint64_t ms = 1'000'000;  // ns
constexpr uint64_t unknownRateGap = LossTracker::unknownRateGap;

struct Telegram {
    uint64_t counter;
    uint64_t ns = 0;
    bool dropped = false;
};

// Counters 1..11 received 1 ms apart from t = 1 ms (1000 telegrams per second), then `last`.
std::vector<Telegram> steadyThen(Telegram last) {
    std::vector<Telegram> out;
    for (uint64_t c = 1; c <= 11; ++c) out.push_back({c, c * ms});
    out.push_back(last);
    return out;
}

// Counters 1..100, with 10 neighbours swapped: 6 before 5, 16 before 15, ...
std::vector<Telegram> tenSwaps() {
    std::vector<Telegram> out;
    for (uint64_t c = 1; c <= 100; ++c)
        out.push_back({c % 10 == 5 ? c + 1 : c % 10 == 6 ? c - 1 : c});
    return out;
}

// The non-zero counts: "3 received, 1 lost".
std::string describe(const LossTracker::Counts& c) {
    const std::pair<uint64_t, const char*> counts[] = {
        {c.received, "received"},   {c.dropped, "dropped"},       {c.lost, "lost"},
        {c.reordered, "reordered"}, {c.repeats, "repeats"},       {c.restarts, "restarts"},
        {c.jumps, "jumps"},         {c.jumpedOver, "jumped over"}};
    std::string out;
    for (const auto& [n, name] : counts)
        if (n != 0) out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + name;
    return out;
}

struct Case {
    const char* name;
    std::vector<Telegram> telegrams;  // in arrival order, all of one sender
    // What the last telegram was (First, Next, Out of order, Repeat, reStart, Jump), then the
    // sender's counts: "o: 3 received, 1 reordered".
    std::string expected;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

constexpr uint64_t top = UINT64_MAX;
const Case cases[] = {
    {"consecutive", {{5}, {6}, {7}, {8}}, "n: 4 received"},
    {"gaps", {{1}, {3}, {7}}, "n: 3 received, 4 lost"},
    {"ten adjacent swaps", tenSwaps(), "n: 100 received, 10 reordered"},
    // The window: the newest counter and the 63 below it.
    {"late, 63 behind", {{1}, {66}, {3}}, "o: 3 received, 63 lost, 1 reordered"},
    {"late, 64 behind", {{1}, {66}, {2}}, "s: 3 received, 64 lost, 1 restarts"},
    {"duplicates", {{1}, {2}, {4}, {4}, {2}, {3}, {3}}, "r: 7 received, 1 reordered, 3 repeats"},
    {"below the first counter", {{5}, {6}, {3}}, "s: 3 received, 1 restarts"},
    {"restart", {{100}, {101}, {0}, {1}, {3}}, "n: 5 received, 1 lost, 1 restarts"},
    // Rate unknown (no times, one time, a time going back): a gap above 2^20 is a jump.
    {"gap of 2^20", {{1}, {2 + unknownRateGap}}, "n: 2 received, 1048576 lost"},
    {"gap above 2^20", {{1}, {3 + unknownRateGap}}, "j: 2 received, 1 jumps, 1048577 jumped over"},
    {"one time only",
     {{1, ms}, {3 + unknownRateGap, 2 * ms}},
     "j: 2 received, 1 jumps, 1048577 jumped over"},
    {"time going back", steadyThen({13 + unknownRateGap, 5 * ms}),
     "j: 12 received, 1 jumps, 1048577 jumped over"},
    {"known rate, no time", steadyThen({1000}), "n: 12 received, 988 lost"},
    // 1000 telegrams/s, the next 50 ms later: 2 x 1000/s x 50 ms = 100 counters are plausible.
    {"gap at the plausible limit", steadyThen({112, 61 * ms}), "n: 12 received, 100 lost"},
    {"gap above it", steadyThen({113, 61 * ms}), "j: 12 received, 1 jumps, 101 jumped over"},
    {"burst within the window", steadyThen({75, 11 * ms}), "n: 12 received, 63 lost"},
    {"burst beyond it", steadyThen({76, 11 * ms}), "j: 12 received, 1 jumps, 64 jumped over"},
    // After a jump or restart, counters below the new floor were never counted lost.
    {"below the floor after a jump",
     {{10}, {10 + 2 * unknownRateGap}, {9 + 2 * unknownRateGap}},
     "s: 3 received, 1 restarts, 1 jumps, 2097151 jumped over"},
    {"top of the counter",
     {{top - 2}, {top}, {top - 1}, {0}},
     "s: 4 received, 1 reordered, 1 restarts"},
    {"dropped telegram in order", {{1}, {2, 0, true}, {3}}, "n: 2 received, 1 dropped"},
    {"dropped telegram filling a gap",
     {{1}, {3}, {2, 0, true}},
     "o: 2 received, 1 dropped, 1 reordered"},
};

class LossTrackerRules : public testing::TestWithParam<Case> {};

TEST_P(LossTrackerRules, AccountsForEveryCounter) {
    LossTracker tracker;
    LossTracker::Outcome last;
    for (const Telegram& t : GetParam().telegrams) {
        last = t.dropped ? tracker.recordDropped(addressA, 7, t.counter, t.ns)
                         : tracker.record(addressA, 7, t.counter, t.ns);
    }
    EXPECT_EQ("fnorsju"[static_cast<int>(last.seen)] + (": " + describe(tracker.totals())),
              GetParam().expected);
    EXPECT_EQ(tracker.totals(), tracker.find(addressA, 7)->counts);
    EXPECT_TRUE(tracker.lossKnown());
}

INSTANTIATE_TEST_SUITE_P(Sequences, LossTrackerRules, testing::ValuesIn(cases));

// 256 one-off senders fill the table; sender 7 after them skips every other counter, and its
// loss cannot be known: it must not read as 0.
TEST(LossTracker, TellsWhatItDoesNotFollow) {
    constexpr uint32_t cap = LossTracker::maxSenders;
    LossTracker tracker;
    for (uint32_t id = 1000; id < 1000 + cap; ++id) tracker.record(addressA, id, 1, 0);
    EXPECT_TRUE(tracker.lossKnown());
    for (uint64_t c = 1; c <= 99; c += 2)
        EXPECT_EQ(tracker.record(addressA, 7, c, 0).seen, LossTracker::Seen::Untracked);
    tracker.recordDropped(addressB, 7, 1, 0);
    EXPECT_FALSE(tracker.lossKnown());
    EXPECT_EQ(tracker.untrackedTelegrams(), 51u);
    EXPECT_EQ(tracker.sendersLeftOut(), 2u);
    EXPECT_FALSE(tracker.sendersLeftOutCapped());
    EXPECT_EQ(tracker.find(addressA, 7), nullptr);
    // The followed senders are still followed.
    EXPECT_EQ(tracker.record(addressA, 1000 + cap - 1, 3, 0).counters, 1u);
    EXPECT_EQ(describe(tracker.totals()), "257 received, 1 lost");

    // Senders left out are counted exactly up to a bound; beyond it the count is a lower bound.
    for (uint32_t id = 0; id < LossTracker::leftOutCountable - 2; ++id)
        tracker.record(addressB, 2000 + id, 1, 0);
    EXPECT_EQ(tracker.sendersLeftOut(), LossTracker::leftOutCountable);
    EXPECT_FALSE(tracker.sendersLeftOutCapped());
    tracker.record(addressB, 1, 1, 0);
    EXPECT_EQ(tracker.sendersLeftOut(), LossTracker::leftOutCountable);
    EXPECT_TRUE(tracker.sendersLeftOutCapped());
}

}  // namespace
