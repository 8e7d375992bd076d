// Tests of IPv4 fragment reassembly: arrival orders, overlaps, conflicts, limits and time-outs.
#include "ipv4_reassembly.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace compact {
namespace {

constexpr uint64_t secondNs = 1'000'000'000;

// Payload [begin, end) of a test datagram; `more` is the more-fragments flag; `flip` is XORed
// into the piece's first byte to make it disagree with the datagram.
struct Piece {
    uint32_t begin, end;
    bool more;
    uint8_t flip = 0;
    uint8_t headerLength = 20;
};

std::vector<uint8_t> payloadBytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
    return bytes;
}

// Adds a fragment of `bytes` from 10.0.0.1 to 10.0.0.2, UDP.
ReassemblyStatus add(Ipv4Reassembler& r, const std::vector<uint8_t>& bytes, uint16_t id,
                     const Piece& piece, uint64_t timeNs, std::vector<uint8_t>& out) {
    std::vector<uint8_t> part(bytes.begin() + piece.begin, bytes.begin() + piece.end);
    if (!part.empty()) part[0] ^= piece.flip;
    return r.add(
        {0x0A000001, 0x0A000002, 17, id, piece.begin, piece.more, piece.headerLength, part}, timeNs,
        out);
}

uint64_t dropped(const Ipv4Reassembler& r, DropReason reason) {
    return r.stats().dropped[static_cast<size_t>(reason)];
}

struct OrderCase {
    std::string name;
    std::vector<Piece> pieces;  // the last one completes the datagram
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class AcceptedOrders : public testing::TestWithParam<OrderCase> {};

// Twice with the same identification and different bytes: once a datagram is complete, its
// identification may come again (the sender's 16-bit counter wraps).
TEST_P(AcceptedOrders, CompleteWithTheOriginalBytes) {
    Ipv4Reassembler r;
    std::vector<uint8_t> out;
    const auto& pieces = GetParam().pieces;
    for (uint8_t seed : {3, 200}) {
        const auto bytes = payloadBytes(64, seed);
        for (size_t i = 0; i + 1 < pieces.size(); ++i) {
            EXPECT_EQ(add(r, bytes, 1, pieces[i], 0, out), ReassemblyStatus::Pending) << i;
        }
        ASSERT_EQ(add(r, bytes, 1, pieces.back(), 0, out), ReassemblyStatus::Complete);
        EXPECT_EQ(out, bytes);
        EXPECT_EQ(r.inProgress() + r.heldBytes(), 0u);
    }
    EXPECT_EQ(r.stats().datagramsReassembled, 2u);
    EXPECT_EQ(r.stats().fragmentsReassembled, 2 * pieces.size());
    EXPECT_EQ(r.stats().droppedTotal(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Reassembly, AcceptedOrders,
    testing::Values(
        OrderCase{"InOrder", {{0, 24, true}, {24, 48, true}, {48, 64, false}}},
        OrderCase{"Reversed", {{48, 64, false}, {24, 48, true}, {0, 24, true}}},
        OrderCase{"Shuffled", {{24, 48, true}, {48, 64, false}, {0, 24, true}}},
        OrderCase{"Duplicated",
                  {{0, 24, true}, {0, 24, true}, {48, 64, false}, {48, 64, false}, {24, 48, true}}},
        OrderCase{"OverlappingEqual", {{0, 32, true}, {16, 48, true}, {40, 64, false}}},
        OrderCase{"Contained", {{8, 40, true}, {16, 24, true}, {32, 64, false}, {0, 8, true}}}),
    [](const auto& info) { return info.param.name; });

class Conflicts : public testing::TestWithParam<OrderCase> {};

// The last piece makes the datagram inconsistent: dropped once, the rest of it discarded, the
// next datagram unharmed.
TEST_P(Conflicts, DropTheDatagramOnly) {
    const auto bytes = payloadBytes(64, 5);
    Ipv4Reassembler r;
    std::vector<uint8_t> out;
    const auto& pieces = GetParam().pieces;
    for (size_t i = 0; i + 1 < pieces.size(); ++i) add(r, bytes, 1, pieces[i], 0, out);
    EXPECT_EQ(add(r, bytes, 1, pieces.back(), 0, out), ReassemblyStatus::Dropped);
    EXPECT_EQ(dropped(r, DropReason::Conflict), 1u);
    EXPECT_EQ(add(r, bytes, 1, {0, 64, true}, 0, out), ReassemblyStatus::Discarded);
    EXPECT_EQ(r.heldBytes(), 0u);

    const auto other = payloadBytes(64, 9);
    add(r, other, 2, {32, 64, false}, 0, out);
    ASSERT_EQ(add(r, other, 2, {0, 32, true}, 0, out), ReassemblyStatus::Complete);
    EXPECT_EQ(out, other);
    EXPECT_EQ(r.stats().droppedTotal(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Reassembly, Conflicts,
    testing::Values(OrderCase{"OverlapDiffers", {{0, 32, true}, {16, 48, true, 0x40}}},
                    OrderCase{"DuplicateDiffers", {{0, 32, true}, {0, 32, true, 0x01}}},
                    OrderCase{"TwoEnds", {{48, 64, false}, {40, 56, false}}},
                    OrderCase{"BytesBeyondEnd", {{24, 48, true}, {8, 16, false}}},
                    OrderCase{"PastKnownEnd", {{16, 32, false}, {24, 48, true}}}),
    [](const auto& info) { return info.param.name; });

TEST(Reassembly, MissingFragmentTimesOutLaterDatagramsIntact) {
    const auto a = payloadBytes(64, 1), b = payloadBytes(64, 2), c = payloadBytes(64, 3);
    Ipv4Reassembler r;
    std::vector<uint8_t> out;
    add(r, a, 1, {0, 24, true}, 0, out);  // a's middle piece never comes
    add(r, a, 1, {48, 64, false}, 0, out);
    add(r, b, 2, {0, 32, true}, secondNs, out);
    ASSERT_EQ(add(r, b, 2, {32, 64, false}, secondNs, out), ReassemblyStatus::Complete);
    EXPECT_EQ(out, b);
    // Exactly 2 s after a's first fragment a is still held; a nanosecond later it is not.
    add(r, c, 3, {0, 8, true}, 2 * secondNs, out);
    EXPECT_EQ(r.inProgress(), 2u);
    EXPECT_EQ(dropped(r, DropReason::Timeout), 0u);
    add(r, c, 3, {8, 16, true}, 2 * secondNs + 1, out);
    EXPECT_EQ(dropped(r, DropReason::Timeout), 1u);
    EXPECT_EQ(r.inProgress(), 1u);
    // A fragment of a after its time-out starts afresh rather than completing stale bytes.
    EXPECT_EQ(add(r, a, 1, {24, 48, true}, 2 * secondNs + 1, out), ReassemblyStatus::Pending);
    r.finish();
    EXPECT_EQ(dropped(r, DropReason::EndOfCapture), 2u);
    EXPECT_EQ(r.stats().datagramsReassembled, 1u);
    EXPECT_EQ(r.heldBytes(), 0u);
}

TEST(Reassembly, OldestDroppedBeyondInProgressLimit) {
    const auto bytes = payloadBytes(64, 4);
    Ipv4Reassembler r;  // default limits: 64 datagrams
    std::vector<uint8_t> out;
    for (uint16_t id = 0; id <= 64; ++id) add(r, bytes, id, {0, 32, true}, id, out);
    EXPECT_EQ(r.inProgress(), 64u);
    EXPECT_EQ(dropped(r, DropReason::TooManyInProgress), 1u);
    EXPECT_EQ(add(r, bytes, 0, {32, 64, false}, 100, out), ReassemblyStatus::Discarded);
    EXPECT_EQ(add(r, bytes, 1, {32, 64, false}, 100, out), ReassemblyStatus::Complete);
    EXPECT_EQ(out, bytes);
}

TEST(Reassembly, OldestDroppedBeyondMemoryLimit) {
    const auto bytes = payloadBytes(2000, 6);
    Ipv4Reassembler r({.maxInProgress = 64, .maxHeldBytes = 3000, .timeoutNs = secondNs});
    std::vector<uint8_t> out;
    for (uint16_t id = 0; id < 4; ++id) {
        add(r, bytes, id, {0, 1000, true}, 0, out);
        EXPECT_LE(r.heldBytes(), 3000u);
    }
    EXPECT_EQ(dropped(r, DropReason::MemoryLimit), 1u);
    EXPECT_EQ(r.inProgress(), 3u);
    // Growing the newest to 2000 bytes evicts the oldest again.
    EXPECT_EQ(add(r, bytes, 3, {1000, 2000, false}, 0, out), ReassemblyStatus::Complete);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(dropped(r, DropReason::MemoryLimit), 2u);
    EXPECT_EQ(r.inProgress(), 1u);
}

TEST(Reassembly, DatagramAbove65535BytesDropped) {
    std::vector<uint8_t> out;
    const auto bytes = payloadBytes(65536, 8);
    Ipv4Reassembler r;
    // 20 header bytes + 65515 payload bytes is the largest datagram.
    EXPECT_EQ(add(r, bytes, 1, {65512, 65515, false}, 0, out), ReassemblyStatus::Pending);
    EXPECT_EQ(add(r, bytes, 2, {65512, 65516, false}, 0, out), ReassemblyStatus::Dropped);
    EXPECT_EQ(dropped(r, DropReason::TooLong), 1u);
    // With IP options in the first fragment the same end no longer fits.
    EXPECT_EQ(add(r, bytes, 1, {0, 8, true, 0, 24}, 0, out), ReassemblyStatus::Dropped);
    EXPECT_EQ(dropped(r, DropReason::TooLong), 2u);
    EXPECT_EQ(r.inProgress(), 0u);
}

}  // namespace
}  // namespace compact
