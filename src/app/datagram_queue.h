// A bounded queue of datagrams from the thread that receives them to the one that writes rows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

// What the receiving side knows of a datagram besides its bytes.
struct DatagramMeta {
    uint32_t sourceAddress = 0;  // host byte order
    uint16_t sourcePort = 0;
    bool hasKernelDrops = false;      // the socket reported its drop count with this datagram
    uint32_t kernelDrops = 0;         // datagrams the kernel dropped on the socket so far
    uint32_t destinationAddress = 0;  // host byte order; 0 when the kernel did not tell
    uint64_t receiveTimeNs = 0;       // the kernel's receive time, ns since 1970; 0: unknown
};

// A datagram the queue had no room for, as far as its sender can be told from its header: the
// receiving side parses it before letting it go, so that its telegram counter is not taken for a
// telegram lost on the way.
struct DropNote {
    uint32_t sourceAddress = 0;
    uint64_t receiveTimeNs = 0;
    bool telegram = false;  // a Compact frame; the fields below are meaningful
    uint32_t senderId = 0;  // of the first module, 0 without modules
    uint64_t telegramCounter = 0;
};

// One producer thread, one consumer thread. The datagrams live in one ring of bytes of a fixed
// capacity, each copied in whole; a datagram that does not fit is dropped and counted, so a stalled
// writer costs queue space first and datagrams only when the queue is full. The ring's memory is
// reserved at construction but only touched as it fills, and reading starts over at its beginning
// whenever the queue runs empty, so a queue that keeps up stays small in memory.
//
// What the producer knows of a dropped datagram (a DropNote) is kept in a small table of its own
// and handed to the consumer in its place among the datagrams, so that the consumer sees the
// sender's telegram counters in the order they arrived. When that table is full too, the drop is
// only counted (unnotedDrops()).
class DatagramQueue {
  public:
    // A datagram, or (when `dropped` is set) the note of one that was dropped at this place.
    struct Item {
        std::span<const uint8_t> bytes;  // valid until the next pop()
        DatagramMeta meta;
        std::optional<DropNote> dropped;
    };
    // Notes of dropped datagrams kept at most.
    static constexpr size_t maxDropNotes = 4096;

    explicit DatagramQueue(size_t capacityBytes);
    DatagramQueue(const DatagramQueue&) = delete;
    DatagramQueue& operator=(const DatagramQueue&) = delete;

    // Producer: copies the datagram in; false, and counted as dropped, when it does not fit.
    bool push(std::span<const uint8_t> bytes, const DatagramMeta& meta);
    // Producer: what is known of the datagram that push() just refused.
    void noteDrop(const DropNote& note);
    // Producer: no more datagrams will come.
    void close();

    // Consumer: the oldest datagram, waiting up to `timeout` for one; releases the one returned
    // by the previous call. nullopt after the time-out, or at once when the queue is closed and
    // empty (see finished()).
    std::optional<Item> pop(std::chrono::milliseconds timeout);
    // True once close() was called and every datagram was popped.
    bool finished() const;

    uint64_t dropped() const;
    uint64_t unnotedDrops() const;
    size_t capacity() const { return capacityBytes; }

    // Bytes a record of a datagram of `size` bytes takes in the ring: header and payload, 8-byte
    // aligned. A ring of n such records' bytes holds n such datagrams.
    static size_t recordBytes(size_t size);

  private:
    void releaseCurrent();

    const size_t capacityBytes;
    std::unique_ptr<uint8_t[]> ring;
    mutable std::mutex lock;
    std::condition_variable arrived;
    size_t head = 0;     // the oldest record (or the one being read)
    size_t tail = 0;     // where the next record goes
    size_t used = 0;     // bytes between head and tail, wrap gap included
    size_t current = 0;  // bytes of the record handed out by pop(), released at the next pop
    uint64_t droppedCount = 0;
    bool closed = false;
    uint64_t pushedCount = 0;  // datagrams taken in so far
    uint64_t poppedCount = 0;  // datagrams handed out so far
    // Notes of dropped datagrams, a ring of maxDropNotes; each with the pushedCount at its drop.
    std::unique_ptr<std::pair<uint64_t, DropNote>[]> notes;
    size_t notesHead = 0;
    size_t notesUsed = 0;
    uint64_t unnoted = 0;
};
