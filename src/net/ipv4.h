// IPv4 packets (RFC 791): the header fields that reassembly and UDP need, parsed from bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace compact {

// A header of 5 32-bit words, without options; the header length field counts words.
inline constexpr size_t ipv4MinHeaderBytes = 20;
// The total length field has 16 bits.
inline constexpr uint32_t ipv4MaxDatagramBytes = 65535;
// Flags and fragment offset word: the more-fragments flag, and the offset in units of 8 bytes.
inline constexpr uint16_t ipv4MoreFragments = 0x2000;
inline constexpr uint16_t ipv4OffsetMask = 0x1FFF;
inline constexpr uint32_t ipv4OffsetUnitBytes = 8;
// IANA protocol number of UDP.
inline constexpr uint8_t ipProtocolUdp = 17;
// Time to live of the packets this program writes: Linux's default.
inline constexpr uint8_t ipv4DefaultTtl = 64;

// The header fields of one IPv4 packet that reassembly needs, and its payload.
// Addresses are in host byte order (192.168.0.1 is 0xC0A80001).
struct Ipv4Packet {
    uint32_t source = 0;
    uint32_t destination = 0;
    uint8_t protocol = 0;
    uint16_t identification = 0;
    uint32_t fragmentOffsetBytes = 0;  // the 13-bit offset field times 8
    bool moreFragments = false;
    uint8_t headerLength = 20;         // IHL times 4, 20..60 bytes
    std::span<const uint8_t> payload;  // the bytes after the header, up to the total length

    bool isFragment() const { return moreFragments || fragmentOffsetBytes != 0; }
};

// Parses the IPv4 packet at the start of `bytes`: version 4, header length of at least 20 bytes,
// total length between the header length and the bytes present (bytes after it, such as
// Ethernet padding, are ignored). nullopt when any of that fails. The checksum is not verified:
// captures on the sending host carry partial checksums left for the network card.
std::optional<Ipv4Packet> parseIpv4(std::span<const uint8_t> bytes);

// The Internet checksum (RFC 1071): the one's complement of the one's complement sum of the
// big-endian 16-bit words of `bytes`, an odd last byte padded with zero. `sum` carries words
// summed before, such as a pseudo-header's.
uint16_t internetChecksum(std::span<const uint8_t> bytes, uint64_t sum = 0);

// The fields of an IPv4 header that the packets this program writes differ in. The others are
// fixed: version 4, 20 bytes without options, type of service 0, TTL 64.
struct Ipv4Header {
    uint32_t source = 0;  // host byte order
    uint32_t destination = 0;
    uint16_t identification = 0;
    uint16_t flagsAndOffset = 0;  // ipv4MoreFragments | offset in 8-byte units
    uint8_t protocol = ipProtocolUdp;
    uint16_t payloadBytes = 0;  // after the header; at most 65,515
};

// Writes the 20-byte header, its checksum computed, into `out`.
void writeIpv4Header(std::span<uint8_t, ipv4MinHeaderBytes> out, const Ipv4Header& header);

}  // namespace compact
