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

// What the receiving side knows of a datagram besides its bytes.
struct DatagramMeta {
    uint32_t sourceAddress = 0;  // host byte order
    uint16_t sourcePort = 0;
    bool hasKernelDrops = false;  // the socket reported its drop count with this datagram
    uint32_t kernelDrops = 0;     // datagrams the kernel dropped on the socket so far
};

// One producer thread, one consumer thread. The datagrams live in one ring of bytes of a fixed
// capacity, each copied in whole; a datagram that does not fit is dropped and counted, so a stalled
// writer costs queue space first and datagrams only when the queue is full. The ring's memory is
// reserved at construction but only touched as it fills, and reading starts over at its beginning
// whenever the queue runs empty, so a queue that keeps up stays small in memory.
class DatagramQueue {
  public:
    struct Item {
        std::span<const uint8_t> bytes;  // valid until the next pop()
        DatagramMeta meta;
    };

    explicit DatagramQueue(size_t capacityBytes);
    DatagramQueue(const DatagramQueue&) = delete;
    DatagramQueue& operator=(const DatagramQueue&) = delete;

    // Producer: copies the datagram in; false, and counted as dropped, when it does not fit.
    bool push(std::span<const uint8_t> bytes, const DatagramMeta& meta);
    // Producer: no more datagrams will come.
    void close();

    // Consumer: the oldest datagram, waiting up to `timeout` for one; releases the one returned
    // by the previous call. nullopt after the time-out, or at once when the queue is closed and
    // empty (see finished()).
    std::optional<Item> pop(std::chrono::milliseconds timeout);
    // True once close() was called and every datagram was popped.
    bool finished() const;

    uint64_t dropped() const;
    size_t capacity() const { return capacityBytes; }

  private:
    // Bytes a record of a datagram of `size` bytes takes: header and payload, 8-byte aligned.
    static size_t recordBytes(size_t size);
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
};
