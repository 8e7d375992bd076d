// Bounded reassembly of fragmented IPv4 datagrams read from captures: no I/O, capture time only.
#include "net/ipv4_reassembly.h"

#include <algorithm>
#include <cstring>

namespace compact {

const char* dropReasonName(DropReason reason) {
    switch (reason) {
        case DropReason::Conflict:
            return "conflict";
        case DropReason::TooLong:
            return "too long";
        case DropReason::Timeout:
            return "time-out";
        case DropReason::TooManyInProgress:
            return "too many in progress";
        case DropReason::MemoryLimit:
            return "memory limit";
        case DropReason::EndOfCapture:
            return "end of capture";
    }
    return "unknown";
}

uint64_t ReassemblyStats::droppedTotal() const {
    uint64_t total = 0;
    for (uint64_t count : dropped) total += count;
    return total;
}

Ipv4Reassembler::Ipv4Reassembler(const Limits& limits) : limits_(limits) {}

bool Ipv4Reassembler::isExpired(uint64_t sinceNs, uint64_t nowNs) const {
    // Capture time may step back (merged captures): a datagram never ages negatively.
    return nowNs > sinceNs && nowNs - sinceNs > limits_.timeoutNs;
}

void Ipv4Reassembler::expire(uint64_t captureTimeNs) {
    for (size_t i = 0; i < entries_.size();) {
        if (isExpired(entries_[i].firstTimeNs, captureTimeNs)) {
            drop(i, DropReason::Timeout, captureTimeNs);
        } else {
            ++i;
        }
    }
    std::erase_if(tombstones_,
                  [&](const Tombstone& t) { return isExpired(t.droppedTimeNs, captureTimeNs); });
}

void Ipv4Reassembler::finish() {
    stats_.dropped[static_cast<size_t>(DropReason::EndOfCapture)] += entries_.size();
    entries_.clear();
    tombstones_.clear();
    heldBytes_ = 0;
}

void Ipv4Reassembler::drop(size_t index, DropReason reason, uint64_t captureTimeNs) {
    Entry& entry = entries_[index];
    ++stats_.dropped[static_cast<size_t>(reason)];
    heldBytes_ -= entry.data.capacity();
    // Timed-out datagrams too: their late fragments must not start a datagram that would be
    // dropped, and counted, a second time.
    bury(entry.key, captureTimeNs);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
}

void Ipv4Reassembler::bury(const Key& key, uint64_t droppedTimeNs) {
    if (limits_.maxInProgress == 0) return;
    if (tombstones_.size() >= limits_.maxInProgress) tombstones_.erase(tombstones_.begin());
    tombstones_.push_back({key, droppedTimeNs});
}

bool Ipv4Reassembler::reserve(size_t& index, size_t size, uint64_t captureTimeNs) {
    std::vector<uint8_t>& data = entries_[index].data;
    size_t capacity = data.capacity();
    if (size > capacity) {
        // Grow geometrically so that in-order fragments do not copy the datagram each time,
        // but never beyond the largest datagram, and only as far as the limit allows.
        size_t wanted = std::min<size_t>(std::max(size, 2 * capacity), maxDatagramBytes);
        if (heldBytes_ + (wanted - capacity) > limits_.maxHeldBytes) wanted = size;
        while (heldBytes_ + (wanted - capacity) > limits_.maxHeldBytes) {
            bool evictingSelf = index == 0;
            drop(0, DropReason::MemoryLimit, captureTimeNs);
            if (evictingSelf) return false;
            --index;
        }
        std::vector<uint8_t>& grown = entries_[index].data;
        grown.reserve(wanted);
        heldBytes_ += grown.capacity() - capacity;
    }
    entries_[index].data.resize(std::max(size, entries_[index].data.size()));
    return true;
}

bool Ipv4Reassembler::merge(Entry& entry, uint32_t begin, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    const uint32_t end = begin + static_cast<uint32_t>(bytes.size());
    for (const Range& range : entry.covered) {
        if (range.end <= begin) continue;
        if (range.begin >= end) break;
        uint32_t lo = std::max(range.begin, begin);
        uint32_t hi = std::min(range.end, end);
        if (std::memcmp(entry.data.data() + lo, bytes.data() + (lo - begin), hi - lo) != 0) {
            return false;
        }
    }
    std::memcpy(entry.data.data() + begin, bytes.data(), bytes.size());

    // Join the new range with every range it overlaps or touches.
    auto first = std::find_if(entry.covered.begin(), entry.covered.end(),
                              [&](const Range& r) { return r.end >= begin; });
    auto last =
        std::find_if(first, entry.covered.end(), [&](const Range& r) { return r.begin > end; });
    if (first == last) {
        entry.covered.insert(first, Range{begin, end});
    } else {
        first->begin = std::min(first->begin, begin);
        first->end = std::max(std::prev(last)->end, end);
        entry.covered.erase(std::next(first), last);
    }
    return true;
}

ReassemblyStatus Ipv4Reassembler::add(const Ipv4Packet& packet, uint64_t captureTimeNs,
                                      std::vector<uint8_t>& datagram) {
    ++stats_.fragments;
    expire(captureTimeNs);

    const Key key{packet.source, packet.destination, packet.identification, packet.protocol};
    for (const Tombstone& tombstone : tombstones_) {
        if (tombstone.key == key) return ReassemblyStatus::Discarded;
    }
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.key == key; });
    const bool exists = found != entries_.end();
    size_t index = static_cast<size_t>(found - entries_.begin());

    const uint64_t begin = packet.fragmentOffsetBytes;
    const uint64_t end = begin + packet.payload.size();
    // The IP header is that of the fragment at offset 0; until it is seen, assume the minimum.
    uint64_t headerLength = ipv4MinHeaderBytes;
    if (begin == 0) {
        headerLength = packet.headerLength;
    } else if (exists && found->sawFirst) {
        headerLength = found->headerLength;
    }
    const uint64_t highest = std::max<uint64_t>(end, exists ? found->data.size() : 0);
    if (headerLength + highest > maxDatagramBytes) {
        if (exists) {
            drop(index, DropReason::TooLong, captureTimeNs);
        } else {
            ++stats_.dropped[static_cast<size_t>(DropReason::TooLong)];
            bury(key, captureTimeNs);
        }
        return ReassemblyStatus::Dropped;
    }

    if (!exists) {
        if (entries_.size() >= limits_.maxInProgress) {
            if (entries_.empty()) {  // a limit of zero datagrams: nothing can be held
                ++stats_.dropped[static_cast<size_t>(DropReason::TooManyInProgress)];
                return ReassemblyStatus::Dropped;
            }
            drop(0, DropReason::TooManyInProgress, captureTimeNs);
        }
        entries_.push_back(Entry{.key = key, .firstTimeNs = captureTimeNs});
        index = entries_.size() - 1;
    }

    {
        Entry& entry = entries_[index];
        bool consistent = true;
        if (!packet.moreFragments) {
            // The last fragment fixes the end: it must agree with an earlier last fragment and
            // no byte may lie beyond it.
            consistent = (!entry.endKnown || entry.end == end) && entry.data.size() <= end;
            entry.end = static_cast<uint32_t>(end);
            entry.endKnown = true;
        } else if (entry.endKnown && end > entry.end) {
            consistent = false;
        }
        if (!consistent) {
            drop(index, DropReason::Conflict, captureTimeNs);
            return ReassemblyStatus::Dropped;
        }
        if (begin == 0) {
            entry.headerLength = static_cast<uint8_t>(headerLength);
            entry.sawFirst = true;
        }
    }

    if (!reserve(index, static_cast<size_t>(end), captureTimeNs)) return ReassemblyStatus::Dropped;
    Entry& entry = entries_[index];
    if (!merge(entry, static_cast<uint32_t>(begin), packet.payload)) {
        drop(index, DropReason::Conflict, captureTimeNs);
        return ReassemblyStatus::Dropped;
    }
    ++entry.fragments;

    const bool complete = entry.endKnown && (entry.end == 0 || (entry.covered.size() == 1 &&
                                                                entry.covered[0].begin == 0 &&
                                                                entry.covered[0].end == entry.end));
    if (!complete) return ReassemblyStatus::Pending;

    ++stats_.datagramsReassembled;
    stats_.fragmentsReassembled += entry.fragments;
    heldBytes_ -= entry.data.capacity();
    datagram.swap(entry.data);
    datagram.resize(entry.end);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return ReassemblyStatus::Complete;
}

}  // namespace compact
