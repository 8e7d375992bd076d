// Link layers of capture records: from a record's bytes down to the IPv4 packet it carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "net/ipv4.h"

namespace compact {

// Link types as libpcap's pcap_datalink() reports them (its DLT_ values, which it maps the
// LINKTYPE_ values of pcap and pcapng files to on this platform).
namespace linktype {
inline constexpr int null = 0;            // BSD loopback, family in the sender's byte order
inline constexpr int ethernet = 1;        // Ethernet II
inline constexpr int raw = 12;            // raw IP, no link header (LINKTYPE_RAW in files)
inline constexpr int loop = 108;          // OpenBSD loopback, family in network byte order
inline constexpr int linuxCooked = 113;   // Linux cooked capture v1
inline constexpr int ipv4 = 228;          // raw IPv4
inline constexpr int linuxCooked2 = 276;  // Linux cooked capture v2
}  // namespace linktype

// EtherType values (IEEE 802 numbers registry).
inline constexpr uint16_t etherTypeIpv4 = 0x0800;
inline constexpr uint16_t etherTypeVlan = 0x8100;        // 802.1Q customer tag
inline constexpr uint16_t etherTypeQinq = 0x88A8;        // 802.1ad service tag
inline constexpr uint16_t etherTypeQinqLegacy = 0x9100;  // service tag before 802.1ad
// BSD loopback header: the sender's address family in its own byte order; AF_INET is 2 on every
// system that writes it.
inline constexpr uint32_t loopbackFamilyIpv4 = 2;
inline constexpr uint32_t loopbackFamilyIpv4Swapped = 0x02000000;

// Why a capture record (or a reassembled datagram) gave no UDP datagram.
enum class SkipReason : size_t {
    Snapped,    // captured shorter than its length on the wire
    NotIpv4,    // another network protocol (ARP, IPv6, ...) or an unsupported link type
    NotUdp,     // IPv4 carrying another protocol
    Malformed,  // a header or length that does not fit the bytes
};
inline constexpr size_t skipReasonCount = 4;
const char* skipReasonName(SkipReason reason);  // "snapped", "not IPv4", "not UDP", "malformed"

// Outcome of parsing one record down to its IPv4 packet.
struct RecordParse {
    std::optional<SkipReason> skipped;  // set: no IPv4 packet, for this reason
    Ipv4Packet packet;                  // valid when !skipped; spans the record's bytes
};

// Parses one capture record of the given link type (see linktype: Ethernet with any number of
// 802.1Q/802.1ad tags, Linux cooked v1 and v2, raw IP, BSD loopback in either byte order) down
// to its IPv4 packet. wireLength is the record's length on the wire; a record with fewer bytes is
// Snapped. Pure function over the bytes; never throws.
RecordParse parseRecord(int linkType, std::span<const uint8_t> record, uint32_t wireLength);

}  // namespace compact
