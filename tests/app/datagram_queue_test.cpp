// Tests of the datagram queue between the receiving and the writing thread: order and bytes kept
// across the ring's wrap, drops counted when full, and a clean end after close.
#include "app/datagram_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> datagram(uint32_t n, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(n * 31 + i);
    return bytes;
}

TEST(DatagramQueue, KeepsOrderBytesAndSendersAcrossTheWrap) {
    DatagramQueue queue(4096);
    std::mt19937 random(7);
    uint32_t pushed = 0, popped = 0;
    // Fill and drain unevenly so records wrap at every possible point of the ring.
    for (int round = 0; round < 2000; ++round) {
        for (int k = static_cast<int>(random() % 4); k > 0; --k) {
            const auto bytes = datagram(pushed, random() % 900);
            if (queue.push(bytes, {pushed, static_cast<uint16_t>(pushed), true, pushed})) ++pushed;
        }
        for (int k = static_cast<int>(random() % 4); k > 0; --k) {
            const auto item = queue.pop(0ms);
            if (!item) break;
            ASSERT_EQ(item->meta.sourceAddress, popped) << "round " << round;
            EXPECT_EQ(item->meta.kernelDrops, popped);
            const auto expected = datagram(popped, item->bytes.size());
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), item->bytes.begin()))
                << "datagram " << popped;
            ++popped;
        }
    }
    EXPECT_GT(popped, 1000u);
    EXPECT_GT(queue.dropped(), 0u) << "the ring never filled";
}

TEST(DatagramQueue, DropsWhatDoesNotFitAndEndsAfterClose) {
    DatagramQueue queue(1024);
    EXPECT_FALSE(queue.push(datagram(0, 2000), {})) << "larger than the whole ring";
    EXPECT_TRUE(queue.push(datagram(1, 600), {}));
    EXPECT_FALSE(queue.push(datagram(2, 600), {})) << "no room left";
    EXPECT_EQ(queue.dropped(), 2u);
    queue.close();
    EXPECT_FALSE(queue.finished()) << "one datagram still queued";
    const auto item = queue.pop(0ms);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->bytes.size(), 600u);
    EXPECT_FALSE(queue.pop(1s)) << "closed and empty: no wait";
    EXPECT_TRUE(queue.finished());
}

// Once empty the ring starts over at its beginning, so a queue that keeps up touches only the
// first pages of its memory, however many datagrams pass.
TEST(DatagramQueue, StartsOverWhenEmpty) {
    DatagramQueue queue(1 << 20);
    const uint8_t* first = nullptr;
    for (uint32_t n = 0; n < 100; ++n) {
        ASSERT_TRUE(queue.push(datagram(n, 900), {n, 0, false, 0}));
        const auto item = queue.pop(0ms);
        ASSERT_TRUE(item);
        if (first == nullptr) first = item->bytes.data();
        EXPECT_EQ(item->bytes.data(), first) << "datagram " << n;
        EXPECT_FALSE(queue.pop(0ms)) << "releases the datagram, leaving the queue empty";
    }
}

TEST(DatagramQueue, HandsOverBetweenThreads) {
    DatagramQueue queue(64 * 1024);
    constexpr uint32_t count = 20000;
    std::thread producer([&] {
        for (uint32_t n = 0; n < count; ++n) {
            const auto bytes = datagram(n, n % 1500);
            while (!queue.push(bytes, {n, 0, false, 0})) std::this_thread::yield();
        }
        queue.close();
    });
    uint32_t next = 0;
    std::string firstFault;
    while (!queue.finished()) {
        const auto item = queue.pop(100ms);
        if (!item) continue;
        const auto expected = datagram(next, next % 1500);
        if (firstFault.empty() && (item->meta.sourceAddress != next ||
                                   !std::equal(expected.begin(), expected.end(),
                                               item->bytes.begin(), item->bytes.end()))) {
            firstFault = "datagram " + std::to_string(next) + " arrived as " +
                         std::to_string(item->meta.sourceAddress) + " with " +
                         std::to_string(item->bytes.size()) + " bytes";
        }
        ++next;
    }
    producer.join();
    EXPECT_EQ(next, count);
    EXPECT_EQ(firstFault, "");
}

}  // namespace
