// IPv4 headers: parsed from bytes, and written for the packets this program makes.
#include "net/ipv4.h"

#include "net/byte_reader.h"
#include "net/byte_writer.h"

namespace compact {

std::optional<Ipv4Packet> parseIpv4(std::span<const uint8_t> bytes) {
    try {
        ByteReader in{bytes};
        Ipv4Packet packet;
        const uint8_t versionAndLength = in.read_u1();
        if (versionAndLength >> 4 != 4) return std::nullopt;
        const size_t headerLength = size_t{versionAndLength & 0x0Fu} * 4;
        in.skip(1);  // type of service
        const uint16_t totalLength = in.read_u2be();
        packet.identification = in.read_u2be();
        const uint16_t flagsAndOffset = in.read_u2be();
        in.skip(1);  // time to live
        packet.protocol = in.read_u1();
        in.skip(2);  // header checksum, not verified
        packet.source = in.read_u4be();
        packet.destination = in.read_u4be();
        if (headerLength < ipv4MinHeaderBytes || totalLength < headerLength ||
            totalLength > bytes.size()) {
            return std::nullopt;
        }
        packet.headerLength = static_cast<uint8_t>(headerLength);
        packet.moreFragments = (flagsAndOffset & ipv4MoreFragments) != 0;
        packet.fragmentOffsetBytes =
            static_cast<uint32_t>(flagsAndOffset & ipv4OffsetMask) * ipv4OffsetUnitBytes;
        packet.payload = bytes.subspan(headerLength, totalLength - headerLength);
        return packet;
    } catch (const TruncatedInput&) {
        return std::nullopt;
    }
}

uint16_t internetChecksum(std::span<const uint8_t> bytes, uint64_t sum) {
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sum += uint32_t{bytes[i]} << 8 | bytes[i + 1];
    if (i < bytes.size()) sum += uint32_t{bytes[i]} << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void writeIpv4Header(std::span<uint8_t, ipv4MinHeaderBytes> out, const Ipv4Header& header) {
    ByteWriter to{out};
    to.write_u1(0x45);  // version 4, header of 5 words
    to.write_u1(0);     // type of service
    to.write_u2be(static_cast<uint16_t>(ipv4MinHeaderBytes + header.payloadBytes));
    to.write_u2be(header.identification);
    to.write_u2be(header.flagsAndOffset);
    to.write_u1(ipv4DefaultTtl);
    to.write_u1(header.protocol);
    to.write_u2be(0);  // the checksum, computed over the header with this field zero
    to.write_u4be(header.source);
    to.write_u4be(header.destination);
    constexpr size_t checksumOffset = 10;
    ByteWriter{out, checksumOffset}.write_u2be(internetChecksum(out));
}

}  // namespace compact
