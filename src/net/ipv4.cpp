// IPv4 header parsing.
#include "net/ipv4.h"

#include "net/byte_reader.h"

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

}  // namespace compact
