// Tests of IPv4 fragment reassembly: arrival orders, overlaps, conflicts, limits and time-outs.
// Random orders, duplicates and limits with the bytes checked: fuzz_reassembly.
#include "net/ipv4_reassembly.h"

#include <gtest/gtest.h>

#include "support/frames.h"

namespace compact {
namespace {

using testing_support::payload;

using Bytes = std::vector<uint8_t>;
using enum ReassemblyStatus;
constexpr uint64_t secondNs = 1'000'000'000;

// Payload [begin, end) of a test datagram; `more` is the more-fragments flag; `flip` is XORed
// into the piece's last byte to make it disagree with the datagram.
struct Piece {
    uint32_t begin, end;
    bool more;
    uint8_t flip = 0, headerLength = 20;
};

// A reassembler fed with pieces of test datagrams from 10.0.0.1 to 10.0.0.2, UDP.
struct Feed {
    Ipv4Reassembler r;
    Bytes out;  // the last datagram completed
    ReassemblyStatus add(const Bytes& bytes, uint16_t id, const Piece& piece, uint64_t timeNs = 0) {
        Bytes part(bytes.begin() + piece.begin, bytes.begin() + piece.end);
        if (!part.empty()) part.back() ^= piece.flip;
        return r.add(
            {0x0A000001, 0x0A000002, 17, id, piece.begin, piece.more, piece.headerLength, part},
            timeNs, out);
    }
    uint64_t dropped(DropReason reason) const {
        return r.stats().dropped[static_cast<size_t>(reason)];
    }
};

TEST(Reassembly, ArrivalOrdersOverlapsAndConflicts) {
    const struct {
        std::vector<Piece> pieces;  // the last one completes or spoils the datagram
        ReassemblyStatus last;
    } cases[] = {
        {{{0, 24, true}, {24, 48, true}, {48, 64, false}}, Complete},  // in order
        {{{48, 64, false}, {24, 48, true}, {0, 24, true}}, Complete},  // reversed
        {{{0, 32, true}, {16, 48, true}, {40, 64, false}}, Complete},  // overlap equal
        {{{8, 40, true}, {16, 24, true}, {32, 64, false}, {0, 8, true}}, Complete},  // contained
        {{{16, 48, true}, {0, 32, true, 0x40}}, Dropped},  // overlap differs at its end
        {{{0, 32, true}, {16, 17, true, 0x01}}, Dropped},  // one byte differs
        {{{40, 56, false}, {48, 64, false}}, Dropped},     // two ends
        {{{24, 48, true}, {8, 16, false}}, Dropped},       // bytes beyond the end
        {{{16, 32, false}, {24, 48, true}}, Dropped},      // past the known end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        const bool spoils = c.last == Dropped;
        Feed f;
        // Twice with one identification and other bytes: once a datagram is complete, its
        // identification may come again (the sender's 16-bit counter wraps).
        for (uint8_t seed : {3, 200}) {
            const Bytes bytes = payload(64, seed);
            for (size_t i = 0; i + 1 < c.pieces.size(); ++i)
                EXPECT_EQ(f.add(bytes, 1, c.pieces[i]), Pending) << i;
            ASSERT_EQ(f.add(bytes, 1, c.pieces.back()), c.last);
            if (spoils) {  // the rest of a dropped datagram is ignored, not counted again
                EXPECT_EQ(f.add(bytes, 1, {0, 64, true}), Discarded);
                break;
            }
            EXPECT_EQ(f.out, bytes);
        }
        EXPECT_EQ(f.r.heldBytes() + f.r.inProgress(), 0u);
        EXPECT_EQ(f.dropped(DropReason::Conflict), uint64_t{spoils});
        EXPECT_EQ(f.r.stats().droppedTotal(), uint64_t{spoils});
        // The next datagram is unharmed.
        const Bytes other = payload(64, 9);
        f.add(other, 2, {32, 64, false});
        ASSERT_EQ(f.add(other, 2, {0, 32, true}), Complete);
        EXPECT_EQ(f.out, other);
    }
}

TEST(Reassembly, MissingFragmentTimesOutLaterDatagramsIntact) {
    const Bytes a = payload(64, 1), b = payload(64, 2), c = payload(64, 3);
    Feed f;
    f.add(a, 1, {0, 24, true});  // a's middle piece never comes
    f.add(a, 1, {48, 64, false});
    f.add(b, 2, {0, 32, true}, secondNs);
    ASSERT_EQ(f.add(b, 2, {32, 64, false}, secondNs), Complete);
    EXPECT_EQ(f.out, b);
    // Exactly 2 s after a's first fragment a is still held; a nanosecond later it is not.
    f.add(c, 3, {0, 8, true}, 2 * secondNs);
    EXPECT_EQ(f.r.inProgress(), 2u);
    f.add(c, 3, {8, 16, true}, 2 * secondNs + 1);
    EXPECT_EQ(f.dropped(DropReason::Timeout), 1u);
    // A late fragment of a neither completes stale bytes nor starts a datagram that would be
    // dropped, and counted, a second time; only c is still in progress at the end.
    EXPECT_EQ(f.add(a, 1, {24, 48, true}, 2 * secondNs + 1), Discarded);
    f.r.finish();
    EXPECT_EQ(f.dropped(DropReason::EndOfCapture), 1u);
    EXPECT_EQ(f.r.stats().droppedTotal(), 2u);
}

// The limits on datagrams in progress and bytes held: fuzz_reassembly, on every input.
TEST(Reassembly, LongerThanIpv4AllowsIsDropped) {
    // 20 header bytes + 65515 payload bytes is the largest datagram.
    Feed length;
    const Bytes big = payload(65536, 8);
    EXPECT_EQ(length.add(big, 1, {65512, 65515, false}), Pending);
    EXPECT_EQ(length.add(big, 2, {65512, 65516, false}), Dropped);
    // With IP options in the first fragment the same end no longer fits.
    EXPECT_EQ(length.add(big, 1, {0, 8, true, 0, 24}), Dropped);
    EXPECT_EQ(length.dropped(DropReason::TooLong), 2u);
    EXPECT_EQ(length.r.inProgress(), 0u);
}

}  // namespace
}  // namespace compact
