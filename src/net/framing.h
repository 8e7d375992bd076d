// UDP datagrams as a network carries them: the IPv4 packets of one datagram, fragmented at an
// MTU, and the link-layer frame around each packet. Bytes only; the capture writer in io puts
// them into files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "net/udp.h"

namespace compact {

// The link layers a frame can be made in; the capture decoder reads every one of them.
enum class LinkType {
    Ethernet,      // Ethernet II, frames padded to the 60-byte minimum
    EthernetVlan,  // one 802.1Q tag (VLAN 100)
    EthernetQinq,  // an 802.1ad service tag (VLAN 200) around an 802.1Q tag (VLAN 100)
    LinuxCooked,   // Linux cooked capture v1, as captured on the "any" device
    LinuxCooked2,  // Linux cooked capture v2
    RawIpv4,       // no link header
    BsdLoopback,   // 4-byte address family, little-endian
};
int linkTypeDlt(LinkType linkType);  // the link type (DLT_) value libpcap reports for it

// The smallest MTU of an IPv4 link (RFC 791).
inline constexpr uint32_t ipv4MinMtu = 68;

// The IPv4 packets carrying one UDP datagram (addresses, ports and payload from `datagram`;
// its time is not used), in offset order: one packet when it fits the MTU, else fragments of
// (mtu - 20) rounded down to a multiple of 8 payload bytes each, the last without the
// more-fragments flag. IP header of 20 bytes, TTL 64, don't-fragment clear; IP and UDP
// checksums are filled in. Throws std::invalid_argument when the payload exceeds 65,507 bytes
// (65,535 minus the IP and UDP headers) or the MTU is outside 68..65535.
std::vector<std::vector<uint8_t>> fragmentUdpDatagram(const UdpDatagram& datagram,
                                                      uint16_t identification, uint32_t mtu);

// The link-layer frame around one IPv4 packet.
std::vector<uint8_t> frameIpv4(LinkType linkType, std::span<const uint8_t> ipPacket);

}  // namespace compact
