// Telegrams lost between those that arrived, per sender, from the telegram counters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Follows the telegram counter of each sender, a sender being a source IPv4 address together
// with a sender id, and counts the counters that never arrived.
//
// For each sender the first telegram sets the reference counter. A later counter above the
// reference adds the counters skipped in between to the sender's loss; the reference counter
// again is a repeat (no loss). A counter below the reference, or 2^31 or more above it, is a
// counter reset: the sender started counting anew. A reset is no loss; the counter becomes the
// new reference. Since a telegram that arrives late goes backwards, it counts as a reset, and
// the telegrams after it show the skipped counters again.
//
// Memory is fixed: at most maxSenders senders are followed, in the order they first appear.
// Telegrams of any further sender are only counted (untrackedTelegrams()), and such senders
// are counted up to maxSenders (sendersLeftOut()). No I/O, no clock, no allocation.
class LossTracker {
  public:
    static constexpr size_t maxSenders = 256;
    // A jump this large or larger is taken for a sender that started counting anew.
    static constexpr uint64_t resetJump = uint64_t{1} << 31;

    struct Counts {
        uint64_t telegrams = 0;  // telegrams recorded
        uint64_t lost = 0;       // counters skipped, never seen
        uint64_t resets = 0;     // counter below the reference or 2^31 or more above it
        uint64_t repeats = 0;    // the reference counter again
        bool operator==(const Counts&) const = default;
    };

    struct Sender {
        uint32_t address = 0;  // source IPv4 address, host byte order
        uint32_t senderId = 0;
        Counts counts{};
        uint64_t firstCounter = 0;  // counter of the sender's first telegram
        uint64_t lastCounter = 0;   // counter of its latest telegram: the reference
    };

    // What one telegram showed.
    enum class Seen : uint8_t {
        First,      // the first telegram of a sender: the reference is set
        Next,       // above the reference; Outcome::lost says how many were skipped
        Repeat,     // the reference counter again
        Reset,      // the sender started counting anew
        Untracked,  // a sender beyond maxSenders: only counted
    };
    struct Outcome {
        Seen seen = Seen::First;
        uint64_t lost = 0;  // counters skipped before this telegram (Seen::Next only)
    };

    // Records one telegram of the sender (address, senderId) with its telegram counter.
    Outcome record(uint32_t address, uint32_t senderId, uint64_t telegramCounter);

    // The sum over the followed senders (untracked telegrams not included).
    const Counts& totals() const { return sum; }
    // The followed senders, in the order they first appeared.
    std::span<const Sender> senders() const { return {table.data(), used}; }

    // Telegrams of senders beyond maxSenders.
    uint64_t untrackedTelegrams() const { return untracked; }
    // Senders beyond maxSenders, counted up to maxSenders; when more were left out,
    // sendersLeftOutCapped() is true and the count means "at least maxSenders".
    size_t sendersLeftOut() const { return leftOutUsed; }
    bool sendersLeftOutCapped() const { return leftOutOverflow; }

  private:
    Sender* find(uint32_t address, uint32_t senderId);
    void countLeftOut(uint32_t address, uint32_t senderId);

    std::array<Sender, maxSenders> table{};
    size_t used = 0;
    size_t lastHit = 0;  // consecutive telegrams mostly come from the same sender
    Counts sum{};
    uint64_t untracked = 0;
    std::array<uint64_t, maxSenders> leftOut{};  // keys of senders left out, in arrival order
    size_t leftOutUsed = 0;
    bool leftOutOverflow = false;  // a sender left out that leftOut had no room for
};
