// Tests of the per-sender telegram loss: gaps, repeats, resets, senders apart, the sender cap.
#include "io/loss_tracker.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t addressA = 0xC0A80001;  // 192.168.0.1
constexpr uint32_t addressB = 0xC0A80002;
constexpr uint64_t jump = uint64_t{1} << 31;

std::string describe(const LossTracker::Counts& c) {
    return std::to_string(c.telegrams) + " telegrams, " + std::to_string(c.lost) + " lost, " +
           std::to_string(c.resets) + " resets, " + std::to_string(c.repeats) + " repeats";
}

// "<address>/<id>: <counts>, <first>..<last>" per followed sender.
std::vector<std::string> describeSenders(const LossTracker& tracker) {
    std::vector<std::string> result;
    for (const LossTracker::Sender& s : tracker.senders()) {
        result.push_back(std::to_string(s.address & 0xFF) + "/" + std::to_string(s.senderId) +
                         ": " + describe(s.counts) + ", " + std::to_string(s.firstCounter) + ".." +
                         std::to_string(s.lastCounter));
    }
    return result;
}

TEST(LossTracker, CountsLossRepeatsAndResetsOfOneSender) {
    struct Case {
        const char* name;
        std::vector<uint64_t> counters;  // in arrival order
        std::string expected;
    };
    const Case cases[] = {
        {"consecutive", {5, 6, 7, 8}, "4 telegrams, 0 lost, 0 resets, 0 repeats, 5..8"},
        {"gaps", {1, 3, 7}, "3 telegrams, 4 lost, 0 resets, 0 repeats, 1..7"},
        // 3 after 4 goes backwards, so it is a reset; 5 then shows 4 as skipped once more.
        {"late telegram", {1, 2, 4, 3, 5}, "5 telegrams, 2 lost, 1 resets, 0 repeats, 1..5"},
        {"repeat", {1, 2, 2, 3}, "4 telegrams, 0 lost, 0 resets, 1 repeats, 1..3"},
        {"restart", {100, 101, 0, 1, 3}, "5 telegrams, 1 lost, 1 resets, 0 repeats, 100..3"},
        {"jump of 2^31",
         {10, 10 + jump, 11 + jump},
         "3 telegrams, 0 lost, 1 resets, 0 repeats, 10.." + std::to_string(11 + jump)},
        {"jump of 2^31 - 1",
         {10, 9 + jump},
         "2 telegrams, " + std::to_string(jump - 2) + " lost, 0 resets, 0 repeats, 10.." +
             std::to_string(9 + jump)},
        {"top of the counter",
         {UINT64_MAX - 1, UINT64_MAX, 0},
         "3 telegrams, 0 lost, 1 resets, 0 repeats, " + std::to_string(UINT64_MAX - 1) + "..0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LossTracker tracker;
        for (uint64_t counter : c.counters) tracker.record(addressA, 7, counter);
        EXPECT_EQ(describeSenders(tracker), std::vector<std::string>{"1/7: " + c.expected});
        EXPECT_EQ(tracker.totals(), tracker.senders()[0].counts);
    }
}

// Interleaved senders, and one sender id from two addresses: each has its own reference.
TEST(LossTracker, KeepsSendersApartByAddressAndId) {
    LossTracker tracker;
    const struct {
        uint32_t address;
        uint32_t senderId;
        uint64_t counter;
    } telegrams[] = {
        {addressA, 1, 1},   {addressA, 2, 100}, {addressB, 1, 50}, {addressA, 1, 2},
        {addressA, 2, 101}, {addressB, 1, 51},  {addressA, 1, 3},  {addressB, 1, 53},
    };
    for (const auto& t : telegrams) tracker.record(t.address, t.senderId, t.counter);

    EXPECT_EQ(describeSenders(tracker),
              (std::vector<std::string>{
                  "1/1: 3 telegrams, 0 lost, 0 resets, 0 repeats, 1..3",
                  "1/2: 2 telegrams, 0 lost, 0 resets, 0 repeats, 100..101",
                  "2/1: 3 telegrams, 1 lost, 0 resets, 0 repeats, 50..53",
              }));
    EXPECT_EQ(describe(tracker.totals()), "8 telegrams, 1 lost, 0 resets, 0 repeats");
    EXPECT_EQ(tracker.untrackedTelegrams(), 0u);
}

TEST(LossTracker, FollowsAtMostTheCapAndCountsTheRest) {
    constexpr uint32_t cap = LossTracker::maxSenders;
    LossTracker tracker;
    for (uint32_t id = 0; id < cap; ++id) tracker.record(addressA, id, 10);
    // Two more senders, one of them twice: counted, not followed.
    EXPECT_EQ(tracker.record(addressA, cap, 10).seen, LossTracker::Seen::Untracked);
    tracker.record(addressB, 0, 10);
    tracker.record(addressB, 0, 20);
    // The followed senders are still followed.
    const LossTracker::Outcome outcome = tracker.record(addressA, cap - 1, 12);
    EXPECT_EQ(outcome.seen, LossTracker::Seen::Next);
    EXPECT_EQ(outcome.lost, 1u);

    EXPECT_EQ(tracker.senders().size(), cap);
    EXPECT_EQ(describe(tracker.totals()), "257 telegrams, 1 lost, 0 resets, 0 repeats");
    EXPECT_EQ(tracker.untrackedTelegrams(), 3u);
    EXPECT_EQ(tracker.sendersLeftOut(), 2u);
    EXPECT_FALSE(tracker.sendersLeftOutCapped());

    // Left-out senders are counted up to the cap too; beyond it the count is a lower bound.
    for (uint32_t id = 0; id < cap; ++id) tracker.record(addressB, 1000 + id, 1);
    EXPECT_EQ(tracker.sendersLeftOut(), cap);
    EXPECT_TRUE(tracker.sendersLeftOutCapped());
    EXPECT_EQ(tracker.untrackedTelegrams(), 3u + cap);
}

}  // namespace
