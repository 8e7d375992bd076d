// UDP datagrams as a network carries them: IPv4 packets, fragments at an MTU, link-layer frames.
#include "net/framing.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "net/byte_writer.h"
#include "net/ipv4.h"
#include "net/link_layer.h"

namespace compact {

namespace {

constexpr uint16_t innerVlanId = 100;  // arbitrary tags for the tagged test captures
constexpr uint16_t outerVlanId = 200;
// Ethernet's minimum frame is 64 bytes with the 4-byte frame check sequence, which captures
// leave out: shorter frames carry zero padding after the IP packet.
constexpr size_t ethernetMinFrameBytes = 60;
// Locally administered unicast MAC addresses for the two hosts of a capture.
constexpr uint8_t destinationMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint8_t sourceMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint16_t arphrdEther = 1;  // ARPHRD_ETHER, <linux/if_arp.h>
constexpr uint8_t packetHost = 0;    // PACKET_HOST: addressed to the capturing host

void putU2be(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void putU4be(std::vector<uint8_t>& out, uint32_t value) {
    putU2be(out, static_cast<uint16_t>(value >> 16));
    putU2be(out, static_cast<uint16_t>(value));
}

// The UDP header and payload, with the checksum over them and the pseudo-header of addresses,
// protocol and length (RFC 768).
std::vector<uint8_t> udpSegment(const UdpDatagram& datagram) {
    const auto length = static_cast<uint16_t>(udpHeaderBytes + datagram.payload.size());
    std::vector<uint8_t> segment(length);
    ByteWriter to{segment};
    to.write_u2be(datagram.sourcePort);
    to.write_u2be(datagram.destinationPort);
    to.write_u2be(length);
    to.write_u2be(0);
    to.write(datagram.payload);
    const uint64_t sum = (datagram.sourceAddress >> 16) + (datagram.sourceAddress & 0xFFFF) +
                         (datagram.destinationAddress >> 16) +
                         (datagram.destinationAddress & 0xFFFF) + ipProtocolUdp + length;
    uint16_t checksum = internetChecksum(segment, sum);
    if (checksum == 0) checksum = 0xFFFF;  // zero means "no checksum" in UDP over IPv4
    constexpr size_t checksumOffset = 6;
    ByteWriter{segment, checksumOffset}.write_u2be(checksum);
    return segment;
}

std::vector<uint8_t> ipv4Packet(const UdpDatagram& datagram, uint16_t identification,
                                uint16_t flagsAndOffset, std::span<const uint8_t> payload) {
    std::vector<uint8_t> packet(ipv4MinHeaderBytes + payload.size());
    ByteWriter to{packet};
    writeIpv4Header(to.take(ipv4MinHeaderBytes).first<ipv4MinHeaderBytes>(),
                    {.source = datagram.sourceAddress,
                     .destination = datagram.destinationAddress,
                     .identification = identification,
                     .flagsAndOffset = flagsAndOffset,
                     .payloadBytes = static_cast<uint16_t>(payload.size())});
    to.write(payload);
    return packet;
}

// Appends a few fixed bytes one by one. GCC 12 at -O3 reports a false stringop-overflow for a
// range insert into a vector that is still empty (it loses track of the reserved capacity).
void putBytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) out.push_back(byte);
}

void putEthernetHeader(std::vector<uint8_t>& out) {
    putBytes(out, destinationMac);
    putBytes(out, sourceMac);
}

void putVlanTag(std::vector<uint8_t>& out, uint16_t tagType, uint16_t vlanId) {
    putU2be(out, tagType);
    putU2be(out, vlanId);  // priority 0, drop eligible 0
}

}  // namespace

int linkTypeDlt(LinkType linkType) {
    switch (linkType) {
        case LinkType::Ethernet:
        case LinkType::EthernetVlan:
        case LinkType::EthernetQinq:
            return linktype::ethernet;
        case LinkType::LinuxCooked:
            return linktype::linuxCooked;
        case LinkType::LinuxCooked2:
            return linktype::linuxCooked2;
        case LinkType::RawIpv4:
            return linktype::raw;
        case LinkType::BsdLoopback:
            return linktype::null;
    }
    throw std::invalid_argument("unknown link type");
}

std::vector<std::vector<uint8_t>> fragmentUdpDatagram(const UdpDatagram& datagram,
                                                      uint16_t identification, uint32_t mtu) {
    if (mtu < ipv4MinMtu || mtu > ipv4MaxDatagramBytes) {
        throw std::invalid_argument("MTU " + std::to_string(mtu) + " outside 68..65535");
    }
    const size_t maxPayload = ipv4MaxDatagramBytes - ipv4MinHeaderBytes - udpHeaderBytes;
    if (datagram.payload.size() > maxPayload) {
        throw std::invalid_argument("UDP payload of " + std::to_string(datagram.payload.size()) +
                                    " bytes exceeds 65507");
    }
    const std::vector<uint8_t> segment = udpSegment(datagram);
    std::vector<std::vector<uint8_t>> packets;
    if (ipv4MinHeaderBytes + segment.size() <= mtu) {
        packets.push_back(ipv4Packet(datagram, identification, 0, segment));
        return packets;
    }
    // Fragment offsets count 8-byte units, so every fragment but the last carries a multiple
    // of 8 bytes.
    const size_t chunk = (mtu - ipv4MinHeaderBytes) & ~size_t{7};
    for (size_t offset = 0; offset < segment.size(); offset += chunk) {
        const size_t length = std::min(chunk, segment.size() - offset);
        const bool last = offset + length == segment.size();
        const auto flagsAndOffset =
            static_cast<uint16_t>((last ? 0 : ipv4MoreFragments) | offset / 8);
        packets.push_back(ipv4Packet(datagram, identification, flagsAndOffset,
                                     std::span(segment).subspan(offset, length)));
    }
    return packets;
}

std::vector<uint8_t> frameIpv4(LinkType linkType, std::span<const uint8_t> ipPacket) {
    std::vector<uint8_t> frame;
    frame.reserve(ipPacket.size() + 24);
    bool ethernet = false;
    switch (linkType) {
        case LinkType::Ethernet:
            putEthernetHeader(frame);
            ethernet = true;
            break;
        case LinkType::EthernetVlan:
            putEthernetHeader(frame);
            putVlanTag(frame, etherTypeVlan, innerVlanId);
            ethernet = true;
            break;
        case LinkType::EthernetQinq:
            putEthernetHeader(frame);
            putVlanTag(frame, etherTypeQinq, outerVlanId);
            putVlanTag(frame, etherTypeVlan, innerVlanId);
            ethernet = true;
            break;
        case LinkType::LinuxCooked:
            putU2be(frame, packetHost);
            putU2be(frame, arphrdEther);
            putU2be(frame, sizeof sourceMac);
            putBytes(frame, sourceMac);
            frame.insert(frame.end(), 8 - sizeof sourceMac, 0);  // address field of 8 bytes
            break;
        case LinkType::LinuxCooked2:
            putU2be(frame, etherTypeIpv4);
            putU2be(frame, 0);  // reserved
            putU4be(frame, 1);  // interface index
            putU2be(frame, arphrdEther);
            frame.push_back(packetHost);
            frame.push_back(sizeof sourceMac);
            putBytes(frame, sourceMac);
            frame.insert(frame.end(), 8 - sizeof sourceMac, 0);
            break;
        case LinkType::RawIpv4:
            break;
        case LinkType::BsdLoopback:
            for (int shift = 0; shift < 32; shift += 8) {
                frame.push_back(static_cast<uint8_t>(loopbackFamilyIpv4 >> shift));
            }
            break;
    }
    // Cooked v1 carries the protocol last; every Ethernet variant ends with it too.
    if (ethernet || linkType == LinkType::LinuxCooked) putU2be(frame, etherTypeIpv4);
    frame.insert(frame.end(), ipPacket.begin(), ipPacket.end());
    if (ethernet && frame.size() < ethernetMinFrameBytes) frame.resize(ethernetMinFrameBytes, 0);
    return frame;
}

}  // namespace compact
