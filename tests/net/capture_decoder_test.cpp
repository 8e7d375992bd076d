// Tests of the capture decoder: records that are skipped, each counted under its reason. The
// filters on source (before reassembly) and port (after), and lost fragments: through the
// converter, tests/e2e/capture_test.cpp; reassembly: tests/net/ipv4_reassembly_test.cpp.
#include "net/capture_decoder.h"

#include <gtest/gtest.h>

#include "net/framing.h"
#include "support/frames.h"

namespace compact {
namespace {

using testing_support::payload;

using Bytes = std::vector<uint8_t>;

// The Ethernet records of a datagram from 10.0.0.1:50000 to 10.0.0.2:2115, fragmented at an MTU
// of 1500.
std::vector<Bytes> records(const Bytes& payload, uint16_t id) {
    std::vector<Bytes> frames;
    for (const Bytes& packet :
         fragmentUdpDatagram({0x0A000001, 0x0A000002, 50000, 2115, payload, 0}, id, 1500))
        frames.push_back(frameIpv4(LinkType::Ethernet, packet));
    return frames;
}

// The payloads of the datagrams that the records complete.
std::vector<Bytes> push(CaptureDecoder& decoder, const std::vector<Bytes>& records,
                        int linkType = linktype::ethernet) {
    std::vector<Bytes> delivered;
    for (const Bytes& r : records) {
        if (auto d = decoder.push(linkType, r, static_cast<uint32_t>(r.size()), 0))
            delivered.emplace_back(d->payload.begin(), d->payload.end());
    }
    return delivered;
}

TEST(CaptureDecoder, SkipsAndCountsBadRecords) {
    CaptureDecoder decoder;
    Bytes frame = records(payload(100, 1), 1)[0];
    // The same packet from BSD loopback on a big-endian host: the family in network order.
    Bytes loopback(frame.begin() + 10, frame.end());
    loopback[0] = loopback[1] = loopback[2] = 0, loopback[3] = 2;
    EXPECT_EQ(push(decoder, {loopback}, linktype::null), std::vector<Bytes>{payload(100, 1)});
    // Ethernet frame offsets: 12 EtherType, 14 IPv4 header length, 23 protocol.
    EXPECT_FALSE(
        decoder.push(linktype::ethernet, frame, uint32_t(frame.size()) + 1, 0));  // snapped
    Bytes ipv6 = frame;
    ipv6[12] = 0x86, ipv6[13] = 0xDD;
    frame[23] = 1;  // ICMP
    Bytes options = frame;
    options[14] = 0x44;  // a header of 16 bytes
    EXPECT_EQ(push(decoder, {ipv6, frame, options}), std::vector<Bytes>{});
    EXPECT_EQ(decoder.stats().skipped, (std::array<uint64_t, skipReasonCount>{1, 1, 1, 1}));
}

}  // namespace
}  // namespace compact
