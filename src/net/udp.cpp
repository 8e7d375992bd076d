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

std::optional<uint32_t> parseIpv4Address(std::string_view text) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        size_t digits = 0;
        uint32_t value = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
            value = value * 10 + static_cast<uint32_t>(text[digits++] - '0');
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        text.remove_prefix(digits);
        address = address << 8 | value;
    }
    if (!text.empty()) return std::nullopt;
    return address;
}

}  // namespace compact
