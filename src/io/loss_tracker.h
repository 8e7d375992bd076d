// Telegrams lost between those that arrived, per sender, from the telegram counters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Follows the 64-bit telegram counter of each sender, a sender being a source IPv4 address
// together with a sender_id, and accounts for every counter: received, dropped by this host,
// lost, arrived late, repeated, or left behind by a restart or a jump of the sender's counter.
//
// Each telegram is recorded with its receive time in nanoseconds, from any clock that does not go
// back within a run (the kernel's receive time live, the record time in a capture); 0 means the
// time is unknown. Per sender the tracker keeps the newest counter, a bitmap of which of the 64
// counters at and below it were seen (the window), and the floor: the counter the sender was
// last picked up at (its first telegram, a restart, a jump). A counter c of a followed sender,
// n the newest counter before it, is:
//
// - c > n, the next telegram: the counters between, c - n - 1 of them (the gap), are lost, and
//   c becomes the newest counter. Unless the gap is implausible: larger than 63 (the gap's
//   counters would leave the window at once) and larger than the sender could have sent since
//   its previous telegram, that is 2 x its rate x the time since then. The rate is the sender's
//   telegrams (received or dropped, those with a known time) per second between its first and
//   latest of them; it is unknown while they have no two different times, for a telegram
//   without time, and for one whose time is earlier than the previous one's. With the rate
//   unknown, a gap above 2^20 (unknownRateGap) is implausible. An implausible gap is a counter
//   jump: counted apart (jumps, and the gap as counters jumped over), no loss, and c is the new
//   floor. So a burst of telegrams with one receive time may skip at most 63 counters.
// - c == n, or c in the window (n - c < 64, c >= floor) and already seen: a repeat (duplicate).
// - c in the window and not seen: a late telegram, counted as reordered; it fills its gap, so
//   the sender's loss goes down by one.
// - c < n otherwise, 64 or more behind or below the floor (no gap was counted for it): a
//   restart, the sender counting anew. No loss; c becomes the newest counter and the floor.
// Loss is thus the number of counters missing now: a telegram that arrives within 63 counters
// of the newest takes its loss back. Lost counters that leave the window stay lost.
//
// A telegram that this host received but dropped (its queue was full; the caller parsed its
// header) is recorded with recordDropped(): it takes its counter's place exactly as above (it
// fills its gap, so it is not loss) but counts as dropped by this host, not as received.
//
// Memory is fixed: at most maxSenders senders are followed, in the order they first appear.
// A telegram of any further sender is not followed: it is counted (untrackedTelegrams()), its
// sender too (sendersLeftOut(), exactly up to leftOutCountable, beyond that a lower bound with
// sendersLeftOutCapped()), and the loss becomes unknown (lossKnown() false) for the rest of the
// run. No I/O, no clock, no allocation; record() finds a sender through a fixed hash index and
// keeps the totals in step, so it never loops over the senders.
class LossTracker {
  public:
    static constexpr size_t maxSenders = 256;
    // The window: the newest counter and the 63 below it, one bit each in a 64-bit word.
    static constexpr uint64_t window = 64;
    // The largest plausible gap while the sender's rate is unknown: about 17 minutes of a sensor
    // sending 1000 telegrams per second.
    static constexpr uint64_t unknownRateGap = uint64_t{1} << 20;
    // Senders not followed are counted exactly up to this many.
    static constexpr size_t leftOutCountable = 256;

    struct Counts {
        uint64_t received = 0;    // telegrams received (and not dropped)
        uint64_t dropped = 0;     // telegrams this host received but dropped
        uint64_t lost = 0;        // counters missing now, never received nor dropped
        uint64_t reordered = 0;   // late telegrams that filled a gap
        uint64_t repeats = 0;     // counters seen before
        uint64_t restarts = 0;    // the sender counting anew
        uint64_t jumps = 0;       // implausible gaps, not counted as loss
        uint64_t jumpedOver = 0;  // the counters in those gaps
        bool operator==(const Counts&) const = default;
    };

    struct Sender {
        uint32_t address = 0;  // source IPv4 address, host byte order
        uint32_t senderId = 0;
        Counts counts{};
        uint64_t firstCounter = 0;    // counter of the sender's first telegram
        uint64_t lastCounter = 0;     // counter of its latest telegram
        uint64_t lowestCounter = 0;   // the lowest and highest counter seen
        uint64_t highestCounter = 0;  //
    };

    // What one telegram was.
    enum class Seen : uint8_t {
        First,      // the first telegram of a sender
        Next,       // above the newest counter; Outcome::counters were lost before it
        Reordered,  // a late telegram that filled its gap
        Repeat,     // a counter seen before
        Restart,    // the sender started counting anew
        Jump,       // an implausible gap of Outcome::counters counters, not loss
        Untracked,  // a sender not followed: only counted
    };
    struct Outcome {
        Seen seen = Seen::First;
        uint64_t counters = 0;  // counters lost (Next) or jumped over (Jump), else 0
    };

    // Records one received telegram of the sender (address, senderId) with its telegram counter
    // and its receive time in ns (0: unknown).
    Outcome record(uint32_t address, uint32_t senderId, uint64_t telegramCounter,
                   uint64_t receivedNs);
    // Records one telegram that this host received but dropped, as record() does.
    Outcome recordDropped(uint32_t address, uint32_t senderId, uint64_t telegramCounter,
                          uint64_t receivedNs);

    // The sum over the followed senders; telegrams not followed are not in it.
    const Counts& totals() const { return sum; }
    // The followed sender (address, senderId), or nullptr.
    const Sender* find(uint32_t address, uint32_t senderId) const;

    // False once a telegram was not followed: totals().lost is then a lower bound only.
    bool lossKnown() const { return untracked == 0; }
    // Telegrams (received or dropped) of senders not followed.
    uint64_t untrackedTelegrams() const { return untracked; }
    // Senders not followed, counted up to leftOutCountable; when more were left out,
    // sendersLeftOutCapped() is true and the count means "at least leftOutCountable".
    size_t sendersLeftOut() const { return leftOutKeys.size(); }
    bool sendersLeftOutCapped() const { return leftOutOverflow; }

  private:
    // A set of at most N 64-bit keys, each numbered in the order it was added, looked up by an
    // open-addressed table of 2N slots (so a probe always ends at an empty slot).
    template <size_t N>
    class KeySet {
      public:
        static constexpr size_t none = N;
        size_t size() const { return used; }
        size_t find(uint64_t key) const;
        // The new key's number, or `none` when the set is full (the key must not be in it).
        size_t add(uint64_t key);

      private:
        size_t slotOf(uint64_t key) const;
        std::array<uint64_t, N> keys{};
        std::array<uint16_t, 2 * N> slots{};  // key number + 1, 0 when empty
        size_t used = 0;
    };

    // The window and the rate of one sender.
    struct Window {
        uint64_t newest = 0;
        uint64_t seen = 0;  // bit i: counter newest - i was received or dropped
        uint64_t floor = 0;
        uint64_t timedTelegrams = 0;  // telegrams with a known time, not earlier than the last
        uint64_t firstNs = 0;
        uint64_t lastNs = 0;
    };

    Outcome place(uint32_t address, uint32_t senderId, uint64_t counter, uint64_t receivedNs,
                  bool dropped);
    // The rules above for a counter of a sender already followed.
    Outcome advance(Sender& sender, Window& w, uint64_t counter, uint64_t receivedNs);
    // The largest gap the sender could plausibly leave before a telegram received at `ns`.
    static double plausibleGap(const Window& w, uint64_t ns);
    // Adds `n` to one count of the sender and to the totals.
    void add(Sender& sender, uint64_t Counts::*count, uint64_t n = 1);

    std::array<Sender, maxSenders> table{};
    std::array<Window, maxSenders> windows{};
    KeySet<maxSenders> senderKeys;
    Counts sum{};
    uint64_t untracked = 0;
    KeySet<leftOutCountable> leftOutKeys;
    bool leftOutOverflow = false;  // a sender left out that leftOutKeys had no room for
};
