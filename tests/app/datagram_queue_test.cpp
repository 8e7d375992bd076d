// Tests of the datagram queue between the receiving and the writing thread: order and bytes kept
// across the ring's wrap, drops counted when full, a clean end after close, notes of drops in
// their place. The hand-over between the two threads: every live end-to-end run.
#include "app/datagram_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> datagram(uint32_t n, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(n * 31 + i);
    return bytes;
}

DatagramMeta metaOf(uint32_t n) { return {n, 0, true, n, 0, 0}; }

// "" when the item is datagram `n` (its bytes, source address and drop count); else what
// differs.
std::string faultOf(const std::optional<DatagramQueue::Item>& item, uint32_t n) {
    if (!item) return "datagram " + std::to_string(n) + " missing";
    const auto expected = datagram(n, item->bytes.size());
    if (item->meta.sourceAddress == n && item->meta.kernelDrops == n &&
        std::equal(expected.begin(), expected.end(), item->bytes.begin()))
        return "";
    return "datagram " + std::to_string(n) + " arrived as " +
           std::to_string(item->meta.sourceAddress) + " with other bytes";
}

TEST(DatagramQueue, KeepsOrderBytesAndSendersAcrossTheWrap) {
    DatagramQueue queue(4096);
    std::mt19937 random(7);
    uint32_t pushed = 0, popped = 0;
    // Fill and drain unevenly so records wrap at every possible point of the ring.
    for (int round = 0; round < 2000; ++round) {
        for (int k = static_cast<int>(random() % 4); k > 0; --k)
            if (queue.push(datagram(pushed, random() % 900), metaOf(pushed))) ++pushed;
        for (int k = static_cast<int>(random() % 4); k > 0 && popped < pushed; --k)
            ASSERT_EQ(faultOf(queue.pop(0ms), popped++), "") << "round " << round;
    }
    EXPECT_GT(popped, 1000u);
    EXPECT_GT(queue.dropped(), 0u) << "the ring never filled";
}

TEST(DatagramQueue, DropsWhatDoesNotFitAndEndsAfterClose) {
    // A ring of exactly four records holds four, whatever their sizes' alignment.
    for (size_t size : {0, 1, 500, 1000}) {
        DatagramQueue exact(4 * DatagramQueue::recordBytes(size));
        for (uint32_t n = 0; n < 4; ++n)
            EXPECT_TRUE(exact.push(datagram(n, size), metaOf(n))) << n << " of size " << size;
        EXPECT_FALSE(exact.push(datagram(4, size), metaOf(4)));
    }
    DatagramQueue queue(1024);
    EXPECT_FALSE(queue.push(datagram(0, 2000), {})) << "larger than the whole ring";
    EXPECT_TRUE(queue.push(datagram(1, 600), metaOf(1)));
    EXPECT_FALSE(queue.push(datagram(2, 600), {})) << "no room left";
    EXPECT_EQ(queue.dropped(), 2u);
    queue.close();
    EXPECT_FALSE(queue.finished()) << "one datagram still queued";
    EXPECT_EQ(faultOf(queue.pop(0ms), 1), "");
    EXPECT_FALSE(queue.pop(1s)) << "closed and empty: no wait";
    EXPECT_TRUE(queue.finished());
}

// What is known of a dropped datagram comes in its place among the others, so that its sender's
// counters stay in the order they arrived; when the notes run out, drops are only counted.
TEST(DatagramQueue, NotesOfDropsComeInTheirPlace) {
    DatagramQueue queue(2 * DatagramQueue::recordBytes(100));
    ASSERT_TRUE(queue.push(datagram(1, 100), metaOf(1)));
    ASSERT_TRUE(queue.push(datagram(2, 100), metaOf(2)));
    ASSERT_FALSE(queue.push(datagram(3, 100), metaOf(3)));
    queue.noteDrop({7, 0, true, 9, 3});
    EXPECT_EQ(faultOf(queue.pop(0ms), 1), "");
    EXPECT_EQ(faultOf(queue.pop(0ms), 2), "");
    ASSERT_TRUE(queue.push(datagram(4, 100), metaOf(4)));
    const auto note = queue.pop(0ms);
    ASSERT_TRUE(note && note->dropped);
    EXPECT_EQ(note->dropped->telegramCounter, 3u);
    EXPECT_EQ(faultOf(queue.pop(0ms), 4), "");
    for (size_t n = 0; n <= DatagramQueue::maxDropNotes; ++n) queue.noteDrop({});
    EXPECT_EQ(queue.unnotedDrops(), 1u);
}

}  // namespace
