// Writing UDP datagrams into pcap files as a network carries them: IPv4 fragments at an MTU.
#include "generators/pcap_writer.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace compact {

namespace {

constexpr size_t ipv4HeaderBytes = ipv4MinHeaderBytes;  // no options
constexpr uint32_t ipv4MaxBytes = ipv4MaxDatagramBytes;
constexpr uint32_t ipv4MinMtu = 68;     // every IPv4 link must carry this, RFC 791
constexpr uint8_t ipv4DefaultTtl = 64;  // Linux's default
constexpr uint16_t innerVlanId = 100;   // arbitrary tags for the tagged test captures
constexpr uint16_t outerVlanId = 200;
// Ethernet's minimum frame is 64 bytes with the 4-byte frame check sequence, which captures
// leave out: shorter frames carry zero padding after the IP packet.
constexpr size_t ethernetMinFrameBytes = 60;
// Locally administered unicast MAC addresses for the two hosts of a capture.
constexpr uint8_t destinationMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint8_t sourceMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint16_t arphrdEther = 1;  // ARPHRD_ETHER, <linux/if_arp.h>
constexpr uint8_t packetHost = 0;    // PACKET_HOST: addressed to the capturing host
// Snap length of the files written: libpcap's largest, so no record is ever cut.
constexpr int writerSnapLength = 262144;

void putU2be(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void putU4be(std::vector<uint8_t>& out, uint32_t value) {
    putU2be(out, static_cast<uint16_t>(value >> 16));
    putU2be(out, static_cast<uint16_t>(value));
}

void setU2be(std::vector<uint8_t>& out, size_t pos, uint16_t value) {
    out[pos] = static_cast<uint8_t>(value >> 8);
    out[pos + 1] = static_cast<uint8_t>(value);
}

// Internet checksum (RFC 1071): one's complement of the one's complement sum of big-endian
// 16-bit words, an odd last byte padded with zero. `sum` carries a pseudo-header's words.
uint16_t internetChecksum(std::span<const uint8_t> bytes, uint64_t sum = 0) {
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sum += uint32_t{bytes[i]} << 8 | bytes[i + 1];
    if (i < bytes.size()) sum += uint32_t{bytes[i]} << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> udpSegment(const UdpDatagram& datagram) {
    const auto length = static_cast<uint16_t>(udpHeaderBytes + datagram.payload.size());
    std::vector<uint8_t> segment;
    segment.reserve(length);
    putU2be(segment, datagram.sourcePort);
    putU2be(segment, datagram.destinationPort);
    putU2be(segment, length);
    putU2be(segment, 0);
    segment.insert(segment.end(), datagram.payload.begin(), datagram.payload.end());
    // The checksum covers a pseudo-header of addresses, protocol and length (RFC 768).
    uint64_t sum = (datagram.sourceAddress >> 16) + (datagram.sourceAddress & 0xFFFF) +
                   (datagram.destinationAddress >> 16) + (datagram.destinationAddress & 0xFFFF) +
                   ipProtocolUdp + length;
    uint16_t checksum = internetChecksum(segment, sum);
    if (checksum == 0) checksum = 0xFFFF;  // zero means "no checksum" in UDP over IPv4
    setU2be(segment, 6, checksum);
    return segment;
}

std::vector<uint8_t> ipv4Packet(const UdpDatagram& datagram, uint16_t identification,
                                uint16_t flagsAndOffset, std::span<const uint8_t> payload) {
    std::vector<uint8_t> packet;
    packet.reserve(ipv4HeaderBytes + payload.size());
    packet.push_back(0x45);  // version 4, header of 5 words
    packet.push_back(0);     // type of service
    putU2be(packet, static_cast<uint16_t>(ipv4HeaderBytes + payload.size()));
    putU2be(packet, identification);
    putU2be(packet, flagsAndOffset);
    packet.push_back(ipv4DefaultTtl);
    packet.push_back(ipProtocolUdp);
    putU2be(packet, 0);
    putU4be(packet, datagram.sourceAddress);
    putU4be(packet, datagram.destinationAddress);
    setU2be(packet, 10, internetChecksum(packet));
    packet.insert(packet.end(), payload.begin(), payload.end());
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
    if (mtu < ipv4MinMtu || mtu > ipv4MaxBytes) {
        throw std::invalid_argument("MTU " + std::to_string(mtu) + " outside 68..65535");
    }
    const size_t maxPayload = ipv4MaxBytes - ipv4HeaderBytes - udpHeaderBytes;
    if (datagram.payload.size() > maxPayload) {
        throw std::invalid_argument("UDP payload of " + std::to_string(datagram.payload.size()) +
                                    " bytes exceeds 65507");
    }
    const std::vector<uint8_t> segment = udpSegment(datagram);
    std::vector<std::vector<uint8_t>> packets;
    if (ipv4HeaderBytes + segment.size() <= mtu) {
        packets.push_back(ipv4Packet(datagram, identification, 0, segment));
        return packets;
    }
    // Fragment offsets count 8-byte units, so every fragment but the last carries a multiple
    // of 8 bytes.
    const size_t chunk = (mtu - ipv4HeaderBytes) & ~size_t{7};
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

PcapWriter::PcapWriter(const std::string& path, const PcapWriterOptions& options)
    : options_(options),
      path_(path),
      random_(options.seed),
      nextIdentification_(options.firstIdentification) {
    if (options.mtu < ipv4MinMtu || options.mtu > ipv4MaxBytes) {
        throw std::invalid_argument("MTU " + std::to_string(options.mtu) + " outside 68..65535");
    }
    dead_ = pcap_open_dead_with_tstamp_precision(linkTypeDlt(options.linkType), writerSnapLength,
                                                 PCAP_TSTAMP_PRECISION_MICRO);
    if (dead_ == nullptr) throw CaptureError("cannot set up libpcap for writing");
    dumper_ = pcap_dump_open(dead_, path.c_str());
    if (dumper_ == nullptr) {
        std::string error = pcap_geterr(dead_);
        pcap_close(dead_);
        throw CaptureError(error);
    }
}

PcapWriter::~PcapWriter() {
    if (dumper_ != nullptr) pcap_dump_close(dumper_);
    if (dead_ != nullptr) pcap_close(dead_);
}

void PcapWriter::close() {
    if (dumper_ == nullptr) return;
    FILE* file = pcap_dump_file(dumper_);
    const bool failed = pcap_dump_flush(dumper_) != 0 || std::ferror(file) != 0;
    const int error = errno;
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (failed) throw CaptureError(path_ + ": " + std::strerror(error));
}

void PcapWriter::writeRecord(std::span<const uint8_t> frame, uint64_t captureTimeNs,
                             uint32_t wireLength) {
    if (dumper_ == nullptr) throw CaptureError(path_ + ": written after close");
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(captureTimeNs / 1'000'000'000u);
    header.ts.tv_usec = static_cast<suseconds_t>(captureTimeNs % 1'000'000'000u / 1000u);
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = wireLength;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
    ++records_;
}

size_t PcapWriter::write(const UdpDatagram& datagram) {
    std::vector<std::vector<uint8_t>> packets =
        fragmentUdpDatagram(datagram, nextIdentification_++, options_.mtu);
    // Fisher-Yates with the raw engine output: std::shuffle's algorithm differs between
    // standard libraries, and the same seed must give the same capture everywhere.
    if (options_.shuffleFragments) {
        for (size_t i = packets.size() - 1; i > 0; --i) {
            std::swap(packets[i], packets[random_() % (i + 1)]);
        }
    }
    if (options_.dropOneIn != 0 && packets.size() > 1 && random_() % options_.dropOneIn == 0) {
        packets.erase(packets.begin() + static_cast<std::ptrdiff_t>(random_() % packets.size()));
        ++fragmentsDropped_;
    }
    for (const std::vector<uint8_t>& packet : packets) {
        const std::vector<uint8_t> frame = frameIpv4(options_.linkType, packet);
        writeRecord(frame, datagram.receiveTimeNs, static_cast<uint32_t>(frame.size()));
    }
    return packets.size();
}

}  // namespace compact
