// pcapng capture files of UDP datagrams as raw IPv4 packets: the bytes of a file's start and of
// one packet block per datagram, written into a caller's buffer. No I/O and no allocation, so a
// receiver can keep every datagram it takes in a file beside its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "net/udp.h"

namespace compact::pcapng {

// Link type of the one interface: LINKTYPE_RAW, packets that start with their IP header (libpcap
// reports DLT_RAW). Debian 12's tcpdump and libpcap read it and LINKTYPE_IPV4 (228) alike without
// a warning; RAW is the one that older readers and other tools know too.
inline constexpr uint16_t linkTypeRaw = 101;
// The interface's snap length: no IPv4 packet is longer, so no packet is ever cut.
inline constexpr uint32_t snapLengthBytes = 65535;
// The largest UDP payload of one IPv4 packet: 65,535 minus the IPv4 (20) and UDP (8) headers.
inline constexpr size_t maxPayloadBytes = 65507;
// The IPv4 and UDP headers in front of each payload.
inline constexpr size_t packetHeaderBytes = 28;

// Size of the file's start (see writeFileHeader) for this program name and version; 0 when the
// two do not fit one option (65,534 bytes together).
size_t fileHeaderSize(std::string_view program, std::string_view version);

// Writes the start of a file in little-endian byte order: a Section Header Block (version 1.0,
// section length unknown, the option shb_userappl "<program> <version>") and one Interface
// Description Block (linkTypeRaw, snapLengthBytes, time stamps in nanoseconds: if_tsresol 9).
// Returns the bytes written, fileHeaderSize(); 0, and nothing written, when `out` is shorter or
// the name too long.
size_t writeFileHeader(std::span<uint8_t> out, std::string_view program, std::string_view version);

// Size of the Enhanced Packet Block of a datagram with `payloadBytes` bytes of payload; 0 when
// the payload exceeds maxPayloadBytes.
size_t packetBlockSize(size_t payloadBytes);

// Writes one Enhanced Packet Block for `datagram` (little-endian block fields): interface 0, its
// receive time in nanoseconds, captured and original length equal, and as packet an IPv4 header
// (the datagram's addresses, `identification`, no fragment flags, TTL 64, its checksum) and a UDP
// header (ports, length, checksum 0: not computed) before the payload, zero padded to 4 bytes.
// Returns the bytes written, packetBlockSize(datagram.payload.size()); 0, and nothing written,
// when the payload exceeds maxPayloadBytes or `out` is shorter than the block.
size_t writePacketBlock(std::span<uint8_t> out, const UdpDatagram& datagram,
                        uint16_t identification);

}  // namespace compact::pcapng
