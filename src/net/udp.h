// UDP datagrams (RFC 768): the header inside an IPv4 payload, and the datagrams a capture yields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace compact {

inline constexpr size_t udpHeaderBytes = 8;

// The UDP header fields and payload inside an IP payload.
struct UdpPacket {
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::span<const uint8_t> payload;
};

// nullopt when the UDP length is below 8 or beyond the bytes given. Bytes after the UDP length
// are ignored. The checksum is not verified.
std::optional<UdpPacket> parseUdp(std::span<const uint8_t> ipPayload);

// One UDP datagram as the receiver handles it, from the socket or from a capture.
struct UdpDatagram {
    uint32_t sourceAddress = 0;  // host byte order
    uint32_t destinationAddress = 0;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::span<const uint8_t> payload;  // valid until the next call on its source
    // When it arrived, in ns since 1970 (UTC): the kernel's receive time on the socket, or the time
    // of the capture record that completed it.
    uint64_t receiveTimeNs = 0;
};

// Which datagrams to deliver; an unset field matches everything. The source address is applied
// before reassembly, so fragments of other senders take no memory.
struct UdpFilter {
    std::optional<uint16_t> destinationPort;
    std::optional<uint32_t> sourceAddress;  // host byte order
};

// "192.168.0.1" for an address in host byte order.
std::string formatIpv4Address(uint32_t address);

// The address of dotted-decimal IPv4 text such as "192.168.0.1" (four parts of one to three
// digits, each at most 255), in host byte order; nullopt for anything else (host names, blanks).
std::optional<uint32_t> parseIpv4Address(std::string_view text);

// True for an IPv4 multicast (class D) address, 224.0.0.0/4.
inline bool isMulticastAddress(uint32_t address) { return (address >> 28) == 0xE; }

}  // namespace compact
