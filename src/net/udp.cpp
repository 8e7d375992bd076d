// UDP header parsing.
#include "net/udp.h"

#include "net/byte_reader.h"

namespace compact {

std::optional<UdpPacket> parseUdp(std::span<const uint8_t> ipPayload) {
    if (ipPayload.size() < udpHeaderBytes) return std::nullopt;
    ByteReader in{ipPayload};
    UdpPacket udp;
    udp.sourcePort = in.read_u2be();
    udp.destinationPort = in.read_u2be();
    const uint16_t length = in.read_u2be();
    if (length < udpHeaderBytes || length > ipPayload.size()) return std::nullopt;
    udp.payload = ipPayload.subspan(udpHeaderBytes, length - udpHeaderBytes);
    return udp;
}

std::string formatIpv4Address(uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string(address >> 16 & 0xFF) + '.' +
           std::to_string(address >> 8 & 0xFF) + '.' + std::to_string(address & 0xFF);
}

}  // namespace compact
