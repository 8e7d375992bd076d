// A bounded queue of datagrams from the receiving thread to the writing one.
#include "app/datagram_queue.h"

#include <cstring>

namespace {

// Before each datagram in the ring: its size (or wrapMarker) and what the receiver knew of it.
struct RecordHeader {
    uint32_t size;
    uint32_t reserved;
    DatagramMeta meta;
};
constexpr size_t headerBytes = sizeof(RecordHeader);
// In place of a size: the rest of the ring is unused, the next record is at its beginning.
constexpr uint32_t wrapMarker = 0xFFFFFFFF;
constexpr size_t recordAlignment = 8;

}  // namespace

DatagramQueue::DatagramQueue(size_t capacity)
    // Not value-initialised: the pages stay untouched until a datagram lands in them.
    : capacityBytes(capacity),
      ring(new uint8_t[capacity]),
      notes(new std::pair<uint64_t, DropNote>[maxDropNotes]) {}

size_t DatagramQueue::recordBytes(size_t size) {
    return (headerBytes + size + recordAlignment - 1) / recordAlignment * recordAlignment;
}

bool DatagramQueue::push(std::span<const uint8_t> bytes, const DatagramMeta& meta) {
    const size_t need = recordBytes(bytes.size());
    {
        std::lock_guard<std::mutex> guard(lock);
        if (used == 0) head = tail = 0;
        const bool wrapped = tail < head || (tail == head && used > 0);
        size_t at = tail;
        if (need > capacityBytes) {
            at = capacityBytes;  // never fits
        } else if (!wrapped && capacityBytes - tail < need) {
            // The end of the ring is too short: go on at its beginning if the oldest record
            // leaves room there, leaving a marker (or a gap too short for one) behind.
            if (head < need) {
                at = capacityBytes;
            } else {
                if (capacityBytes - tail >= headerBytes) {
                    const RecordHeader marker{wrapMarker, 0, {}};
                    std::memcpy(ring.get() + tail, &marker, headerBytes);
                }
                used += capacityBytes - tail;
                at = 0;
            }
        } else if (wrapped && head - tail < need) {
            at = capacityBytes;
        }
        if (at == capacityBytes) {
            ++droppedCount;
            return false;
        }
        const RecordHeader header{static_cast<uint32_t>(bytes.size()), 0, meta};
        std::memcpy(ring.get() + at, &header, headerBytes);
        if (!bytes.empty()) std::memcpy(ring.get() + at + headerBytes, bytes.data(), bytes.size());
        tail = at + need == capacityBytes ? 0 : at + need;
        used += need;
        ++pushedCount;
    }
    arrived.notify_one();
    return true;
}

void DatagramQueue::noteDrop(const DropNote& note) {
    std::lock_guard<std::mutex> guard(lock);
    if (notesUsed == maxDropNotes) {
        ++unnoted;
        return;
    }
    notes[(notesHead + notesUsed++) % maxDropNotes] = {pushedCount, note};
    arrived.notify_one();
}

void DatagramQueue::close() {
    {
        std::lock_guard<std::mutex> guard(lock);
        closed = true;
    }
    arrived.notify_one();
}

void DatagramQueue::releaseCurrent() {
    if (current == 0) return;
    head += current;
    used -= current;
    current = 0;
    if (head == capacityBytes) head = 0;
    if (used == 0) head = tail = 0;
}

std::optional<DatagramQueue::Item> DatagramQueue::pop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock);
    releaseCurrent();
    // A note dropped after the datagrams handed out so far comes before the next one.
    auto noteDue = [&] { return notesUsed > 0 && notes[notesHead].first <= poppedCount; };
    if (!arrived.wait_for(guard, timeout, [&] { return used > 0 || closed || noteDue(); })) {
        return std::nullopt;
    }
    if (noteDue()) {
        const DropNote note = notes[notesHead].second;
        notesHead = (notesHead + 1) % maxDropNotes;
        --notesUsed;
        return Item{{}, {}, note};
    }
    if (used == 0) return std::nullopt;
    RecordHeader header{};
    if (capacityBytes - head >= headerBytes) std::memcpy(&header, ring.get() + head, headerBytes);
    if (capacityBytes - head < headerBytes || header.size == wrapMarker) {
        used -= capacityBytes - head;
        head = 0;
        std::memcpy(&header, ring.get(), headerBytes);
    }
    current = recordBytes(header.size);
    ++poppedCount;
    return Item{{ring.get() + head + headerBytes, header.size}, header.meta, std::nullopt};
}

bool DatagramQueue::finished() const {
    std::lock_guard<std::mutex> guard(lock);
    return closed && used == current && notesUsed == 0;
}

uint64_t DatagramQueue::dropped() const {
    std::lock_guard<std::mutex> guard(lock);
    return droppedCount;
}

uint64_t DatagramQueue::unnotedDrops() const {
    std::lock_guard<std::mutex> guard(lock);
    return unnoted;
}
