// Bounded reassembly of fragmented IPv4 datagrams read from captures: no I/O, capture time only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/ipv4.h"

namespace compact {

// Why a datagram in progress was given up. Each drop is counted once per datagram.
enum class DropReason : size_t {
    Conflict,           // overlapping fragments disagree, or fragments disagree on the end
    TooLong,            // the reassembled datagram would exceed 65,535 bytes
    Timeout,            // first fragment more than the time-out of capture time ago
    TooManyInProgress,  // evicted as the oldest when the in-progress limit was reached
    MemoryLimit,        // evicted as the oldest when the held bytes exceeded their limit
    EndOfCapture,       // still incomplete when the capture ended (finish())
};
inline constexpr size_t dropReasonCount = 6;
const char* dropReasonName(DropReason reason);  // "conflict", "too long", "time-out", ...

// What happened to one fragment handed to Ipv4Reassembler::add.
enum class ReassemblyStatus {
    Pending,    // held; its datagram is not complete yet
    Complete,   // this fragment completed its datagram, which was handed out
    Dropped,    // this fragment made its datagram be dropped (reason counted)
    Discarded,  // belongs to a datagram dropped earlier: ignored, not counted again
};

struct ReassemblyStats {
    uint64_t fragments = 0;             // fragments handed to add()
    uint64_t datagramsReassembled = 0;  // datagrams completed
    uint64_t fragmentsReassembled = 0;  // fragments that went into completed datagrams
    std::array<uint64_t, dropReasonCount> dropped{};  // datagrams dropped, by DropReason

    uint64_t droppedTotal() const;
};

// Reassembles IPv4 datagrams from their fragments, keyed by (source, destination, protocol,
// identification). A datagram is complete once its fragments cover it from offset 0 to the end
// of the fragment without the more-fragments flag. Duplicated and overlapping fragments are
// accepted when their bytes agree. Memory and time are bounded: see Limits. Capture time is
// given with each fragment and never read from a clock, so replaying a capture gives the same
// result however fast it is read.
//
// After a datagram is dropped, for whatever reason, its remaining fragments are recognised for
// one time-out after the drop and discarded without a second count (up to maxInProgress dropped
// datagrams are remembered; the oldest is forgotten first).
// A datagram completed and then sent again with the same identification (the sender's 16-bit
// counter wrapped, or a duplicated fragment arrives late) starts afresh.
class Ipv4Reassembler {
  public:
    struct Limits {
        // Defaults: memory stays bounded over hours of capture with room for a burst of large
        // frames from several senders interleaved.
        size_t maxInProgress = 64;
        size_t maxHeldBytes = size_t{16} << 20;  // 16 MiB of fragment data
        // Fragments of one datagram normally arrive within microseconds; the sensor sends a
        // frame every few tens of milliseconds, so 2 s is far beyond any honest delay.
        uint64_t timeoutNs = 2'000'000'000;
    };
    static constexpr uint32_t maxDatagramBytes = ipv4MaxDatagramBytes;

    Ipv4Reassembler() = default;
    explicit Ipv4Reassembler(const Limits& limits);

    // Adds one fragment (packet.isFragment() should hold; an unfragmented packet simply completes
    // at once). captureTimeNs: capture time in nanoseconds on any fixed epoch; it may go back a
    // little, as in merged captures. First drops datagrams older than the time-out. On Complete
    // `datagram` receives the reassembled IP payload (without IP header); otherwise it is left
    // alone. Never throws except std::bad_alloc.
    ReassemblyStatus add(const Ipv4Packet& packet, uint64_t captureTimeNs,
                         std::vector<uint8_t>& datagram);

    // Drops (Timeout) every datagram whose first fragment came more than the time-out before
    // captureTimeNs.
    void expire(uint64_t captureTimeNs);

    // End of the capture: drops every datagram still in progress as EndOfCapture and forgets
    // the dropped ones.
    void finish();

    const ReassemblyStats& stats() const { return stats_; }
    size_t inProgress() const { return entries_.size(); }
    size_t heldBytes() const { return heldBytes_; }

  private:
    struct Key {
        uint32_t source, destination;
        uint16_t identification;
        uint8_t protocol;
        bool operator==(const Key&) const = default;
    };
    struct Range {
        uint32_t begin, end;  // [begin, end) of the IP payload
    };
    struct Entry {
        Key key;
        uint64_t firstTimeNs;
        std::vector<uint8_t> data{};   // sized to the highest end seen so far
        std::vector<Range> covered{};  // sorted, disjoint, not adjacent
        uint32_t end = 0;              // payload length once the last fragment was seen
        bool endKnown = false;
        bool sawFirst = false;      // the fragment at offset 0 arrived
        uint8_t headerLength = 20;  // from the fragment at offset 0, once seen
        uint32_t fragments = 0;
    };
    struct Tombstone {
        Key key;
        uint64_t droppedTimeNs;
    };

    bool isExpired(uint64_t sinceNs, uint64_t nowNs) const;
    // Counts the entry as dropped for `reason`, releases it and buries its key.
    void drop(size_t index, DropReason reason, uint64_t captureTimeNs);
    // Remembers a dropped datagram so that its remaining fragments are discarded.
    void bury(const Key& key, uint64_t droppedTimeNs);
    // Merges the fragment into the entry; returns false on a conflict.
    bool merge(Entry& entry, uint32_t begin, std::span<const uint8_t> bytes);
    // Grows the entry's buffer to `size`, evicting the oldest datagrams while the held bytes
    // would exceed the limit. Returns false when the entry itself was evicted.
    bool reserve(size_t& index, size_t size, uint64_t captureTimeNs);

    Limits limits_{};
    std::vector<Entry> entries_;         // oldest first
    std::vector<Tombstone> tombstones_;  // oldest first, at most maxInProgress
    size_t heldBytes_ = 0;
    ReassemblyStats stats_{};
};

}  // namespace compact
