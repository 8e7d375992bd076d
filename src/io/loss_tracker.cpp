// Telegrams lost between those that arrived, per sender, from the telegram counters.
#include "io/loss_tracker.h"

#include <algorithm>

LossTracker::Sender* LossTracker::find(uint32_t address, uint32_t senderId) {
    auto matches = [&](const Sender& s) { return s.address == address && s.senderId == senderId; };
    if (lastHit < used && matches(table[lastHit])) return &table[lastHit];
    const auto end = table.begin() + static_cast<std::ptrdiff_t>(used);
    const auto found = std::find_if(table.begin(), end, matches);
    if (found == end) return nullptr;
    lastHit = static_cast<size_t>(found - table.begin());
    return &*found;
}

void LossTracker::countLeftOut(uint32_t address, uint32_t senderId) {
    const uint64_t key = uint64_t{address} << 32 | senderId;
    const auto end = leftOut.begin() + static_cast<std::ptrdiff_t>(leftOutUsed);
    if (std::find(leftOut.begin(), end, key) != end) return;
    if (leftOutUsed < leftOut.size())
        leftOut[leftOutUsed++] = key;
    else
        leftOutOverflow = true;
}

LossTracker::Outcome LossTracker::record(uint32_t address, uint32_t senderId,
                                         uint64_t telegramCounter) {
    Sender* sender = find(address, senderId);
    if (sender == nullptr) {
        if (used == table.size()) {
            ++untracked;
            countLeftOut(address, senderId);
            return {Seen::Untracked, 0};
        }
        lastHit = used;
        sender = &table[used++];
        *sender = Sender{address, senderId, {}, telegramCounter, telegramCounter};
        ++sender->counts.telegrams, ++sum.telegrams;
        return {Seen::First, 0};
    }

    ++sender->counts.telegrams, ++sum.telegrams;
    const uint64_t previous = sender->lastCounter;
    sender->lastCounter = telegramCounter;
    if (telegramCounter == previous) {
        ++sender->counts.repeats, ++sum.repeats;
        return {Seen::Repeat, 0};
    }
    if (telegramCounter < previous || telegramCounter - previous >= resetJump) {
        ++sender->counts.resets, ++sum.resets;
        return {Seen::Reset, 0};
    }
    const uint64_t skipped = telegramCounter - previous - 1;
    sender->counts.lost += skipped, sum.lost += skipped;
    return {Seen::Next, skipped};
}
