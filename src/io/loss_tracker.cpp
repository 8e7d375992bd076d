// Telegrams lost between those that arrived, per sender, from the telegram counters.
#include "io/loss_tracker.h"

#include <algorithm>

namespace {

uint64_t keyOf(uint32_t address, uint32_t senderId) { return uint64_t{address} << 32 | senderId; }

}  // namespace

template <size_t N>
size_t LossTracker::KeySet<N>::slotOf(uint64_t key) const {
    // Fibonacci hashing: the top bits of the product spread neighbouring keys (addresses and
    // sender_ids that differ in their low bits) over the table.
    size_t slot = static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> 32) % slots.size();
    while (slots[slot] != 0 && keys[slots[slot] - 1u] != key) slot = (slot + 1) % slots.size();
    return slot;
}

template <size_t N>
size_t LossTracker::KeySet<N>::find(uint64_t key) const {
    const uint16_t entry = slots[slotOf(key)];
    return entry == 0 ? none : entry - 1u;
}

template <size_t N>
size_t LossTracker::KeySet<N>::add(uint64_t key) {
    if (used == N) return none;
    keys[used] = key;
    slots[slotOf(key)] = static_cast<uint16_t>(++used);
    return used - 1;
}

const LossTracker::Sender* LossTracker::find(uint32_t address, uint32_t senderId) const {
    const size_t index = senderKeys.find(keyOf(address, senderId));
    return index == senderKeys.none ? nullptr : &table[index];
}

LossTracker::Outcome LossTracker::record(uint32_t address, uint32_t senderId,
                                         uint64_t telegramCounter, uint64_t receivedNs) {
    return place(address, senderId, telegramCounter, receivedNs, false);
}

LossTracker::Outcome LossTracker::recordDropped(uint32_t address, uint32_t senderId,
                                                uint64_t telegramCounter, uint64_t receivedNs) {
    return place(address, senderId, telegramCounter, receivedNs, true);
}

void LossTracker::add(Sender& sender, uint64_t Counts::*count, uint64_t n) {
    sender.counts.*count += n;
    sum.*count += n;
}

double LossTracker::plausibleGap(const Window& w, uint64_t ns) {
    if (ns == 0 || ns < w.lastNs || w.lastNs == w.firstNs) return double(unknownRateGap);
    // 2 x rate x elapsed, the rate being (telegrams - 1) / span; one division last, so that a
    // limit that is a whole number comes out exact.
    return 2.0 * double(w.timedTelegrams - 1) * double(ns - w.lastNs) /
           double(w.lastNs - w.firstNs);
}

LossTracker::Outcome LossTracker::place(uint32_t address, uint32_t senderId, uint64_t counter,
                                        uint64_t ns, bool dropped) {
    const uint64_t key = keyOf(address, senderId);
    size_t index = senderKeys.find(key);
    const bool first = index == senderKeys.none;
    if (first) {
        index = senderKeys.add(key);
        if (index == senderKeys.none) {
            ++untracked;
            if (leftOutKeys.find(key) == leftOutKeys.none &&
                leftOutKeys.add(key) == leftOutKeys.none)
                leftOutOverflow = true;
            return {Seen::Untracked, 0};
        }
        table[index] = Sender{address, senderId, {}, counter, counter, counter, counter};
        windows[index] = Window{counter, 1, counter, 0, 0, 0};
    }
    Sender& sender = table[index];
    Window& w = windows[index];
    add(sender, dropped ? &Counts::dropped : &Counts::received);
    sender.lastCounter = counter;
    sender.lowestCounter = std::min(sender.lowestCounter, counter);
    sender.highestCounter = std::max(sender.highestCounter, counter);
    const Outcome outcome = first ? Outcome{Seen::First, 0} : advance(sender, w, counter, ns);
    if (ns != 0 && ns >= w.lastNs) {
        if (w.timedTelegrams++ == 0) w.firstNs = ns;
        w.lastNs = ns;
    }
    return outcome;
}

LossTracker::Outcome LossTracker::advance(Sender& sender, Window& w, uint64_t counter,
                                          uint64_t ns) {
    if (counter > w.newest) {
        const uint64_t gap = counter - w.newest - 1;
        if (gap >= window && double(gap) > plausibleGap(w, ns)) {
            add(sender, &Counts::jumps);
            add(sender, &Counts::jumpedOver, gap);
            w = Window{counter, 1, counter, w.timedTelegrams, w.firstNs, w.lastNs};
            return {Seen::Jump, gap};
        }
        add(sender, &Counts::lost, gap);
        w.seen = (gap + 1 < window ? w.seen << (gap + 1) : 0) | 1;
        w.newest = counter;
        return {Seen::Next, gap};
    }
    const uint64_t behind = w.newest - counter;
    if (behind < window && counter >= w.floor) {
        const uint64_t bit = uint64_t{1} << behind;
        if ((w.seen & bit) != 0) {
            add(sender, &Counts::repeats);
            return {Seen::Repeat, 0};
        }
        // A late telegram: the gap it fills was counted lost when the newer counter arrived.
        w.seen |= bit;
        --sender.counts.lost, --sum.lost;
        add(sender, &Counts::reordered);
        return {Seen::Reordered, 0};
    }
    add(sender, &Counts::restarts);
    w = Window{counter, 1, counter, w.timedTelegrams, w.firstNs, w.lastNs};
    return {Seen::Restart, 0};
}
