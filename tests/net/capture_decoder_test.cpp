// Tests of the capture decoder: the filter on the source (before reassembly) and on the port
// (after), and records that are skipped, each counted under its reason. Lost fragments:
// tests/net/ipv4_reassembly_test.cpp and, through the converter, tests/e2e/capture_test.cpp.
#include "net/capture_decoder.h"

#include <gtest/gtest.h>

#include "net/framing.h"
#include "support/frames.h"

namespace compact {
namespace {

using testing_support::payload;

using Bytes = std::vector<uint8_t>;
constexpr uint32_t sensor = 0x0A000001;  // 10.0.0.1

// The Ethernet records of a datagram from port 50000 to 10.0.0.2, fragmented at an MTU of 1500.
std::vector<Bytes> records(const Bytes& payload, uint16_t id, uint32_t source = sensor,
                           uint16_t port = 2115) {
    std::vector<Bytes> frames;
    for (const Bytes& packet :
         fragmentUdpDatagram({source, 0x0A000002, 50000, port, payload, 0}, id, 1500))
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

TEST(CaptureDecoder, FiltersOnSourceBeforeReassemblyAndOnPortAfter) {
    CaptureDecoder decoder({.destinationPort = 2115, .sourceAddress = sensor});
    std::vector<Bytes> delivered;
    for (const auto& r : {records(payload(100, 0), 1), records(payload(100, 1), 2, 0x0A000009),
                          records(payload(4000, 2), 3, 0x0A000009),
                          records(payload(4000, 3), 4, sensor, 2116), records(payload(4000, 4), 5)})
        for (Bytes& d : push(decoder, r)) delivered.push_back(std::move(d));
    EXPECT_EQ(delivered, (std::vector{payload(100, 0), payload(4000, 4)}));
    EXPECT_EQ(decoder.stats().filteredOut, 3u);
    EXPECT_EQ(decoder.reassembly().datagramsReassembled, 2u);  // not the other source's
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
