// Reading UDP datagrams from pcap and pcapng capture files: link layers, IPv4, reassembly, filter.
#include "pcap_reader.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <algorithm>

namespace compact {

namespace {

// EtherType values (IEEE 802 numbers registry).
constexpr uint16_t etherTypeIpv4 = 0x0800;
constexpr uint16_t etherTypeVlan = 0x8100;        // 802.1Q customer tag
constexpr uint16_t etherTypeQinq = 0x88A8;        // 802.1ad service tag
constexpr uint16_t etherTypeQinqLegacy = 0x9100;  // service tag before 802.1ad was assigned
// BSD loopback header: the sender's address family in its own byte order; AF_INET is 2 on
// every system that writes it.
constexpr uint32_t loopbackFamilyIpv4 = 2;
constexpr uint32_t loopbackFamilyIpv4Swapped = 0x02000000;
constexpr uint8_t ipProtocolUdp = 17;  // IANA protocol numbers
constexpr size_t ipv4MinHeaderBytes = 20;
constexpr size_t udpHeaderBytes = 8;
constexpr uint16_t ipv4MoreFragments = 0x2000;  // flags and fragment offset word, RFC 791
constexpr uint16_t ipv4OffsetMask = 0x1FFF;     // in units of 8 bytes

bool isVlanTag(uint16_t etherType) {
    return etherType == etherTypeVlan || etherType == etherTypeQinq ||
           etherType == etherTypeQinqLegacy;
}

// Skips VLAN tags (tag control word, then the next EtherType) and returns the inner EtherType.
// Each tag consumes 4 bytes, so the loop ends with the record at the latest.
uint16_t skipVlanTags(ByteReader& in, uint16_t etherType) {
    while (isVlanTag(etherType)) {
        in.skip(2);
        etherType = in.read_u2be();
    }
    return etherType;
}

RecordParse skip(SkipReason reason) {
    RecordParse result;
    result.skipped = reason;
    return result;
}

RecordParse parseIpv4(std::span<const uint8_t> bytes) {
    ByteReader in{bytes};
    RecordParse result;
    Ipv4Packet& packet = result.packet;
    const uint8_t versionAndLength = in.read_u1();
    if (versionAndLength >> 4 != 4) return skip(SkipReason::Malformed);
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
        return skip(SkipReason::Malformed);
    }
    packet.headerLength = static_cast<uint8_t>(headerLength);
    packet.moreFragments = (flagsAndOffset & ipv4MoreFragments) != 0;
    packet.fragmentOffsetBytes = static_cast<uint32_t>(flagsAndOffset & ipv4OffsetMask) * 8;
    packet.payload = bytes.subspan(headerLength, totalLength - headerLength);
    return result;
}

}  // namespace

TruncatedInput::TruncatedInput(size_t pos, size_t wanted)
    : std::runtime_error("at pos " + std::to_string(pos) + ": " + std::to_string(wanted) +
                         " bytes wanted, packet ends") {}

const char* skipReasonName(SkipReason reason) {
    switch (reason) {
        case SkipReason::Snapped:
            return "snapped";
        case SkipReason::NotIpv4:
            return "not IPv4";
        case SkipReason::NotUdp:
            return "not UDP";
        case SkipReason::Malformed:
            return "malformed";
    }
    return "unknown";
}

RecordParse parseRecord(int linkType, std::span<const uint8_t> record, uint32_t wireLength) {
    if (record.size() < wireLength) return skip(SkipReason::Snapped);
    try {
        ByteReader in{record};
        uint16_t etherType = 0;
        switch (linkType) {
            case DLT_EN10MB:
                in.skip(12);  // destination and source MAC
                etherType = skipVlanTags(in, in.read_u2be());
                break;
            case DLT_LINUX_SLL:
                // Packet type, ARPHRD type, address length, 8 address bytes, then the protocol.
                in.skip(14);
                etherType = skipVlanTags(in, in.read_u2be());
                break;
            case DLT_LINUX_SLL2: {
                // The protocol first, then reserved, interface index, ARPHRD type, packet
                // type, address length and 8 address bytes.
                const uint16_t protocol = in.read_u2be();
                in.skip(18);
                etherType = skipVlanTags(in, protocol);
                break;
            }
            case DLT_RAW:
            case DLT_IPV4:
                // No link header: the IP version nibble tells IPv4 from IPv6.
                if (in.left() == 0) return skip(SkipReason::Malformed);
                if (record[0] >> 4 != 4) return skip(SkipReason::NotIpv4);
                etherType = etherTypeIpv4;
                break;
            case DLT_NULL:
            case DLT_LOOP: {
                const uint32_t family = in.read_u4le();
                if (family != loopbackFamilyIpv4 && family != loopbackFamilyIpv4Swapped) {
                    return skip(SkipReason::NotIpv4);
                }
                etherType = etherTypeIpv4;
                break;
            }
            default:
                return skip(SkipReason::NotIpv4);
        }
        if (etherType != etherTypeIpv4) return skip(SkipReason::NotIpv4);
        return parseIpv4(in.rest());
    } catch (const TruncatedInput&) {
        return skip(SkipReason::Malformed);
    }
}

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

std::optional<uint32_t> parseIpv4Address(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    return ntohl(address.s_addr);
}

std::string formatIpv4Address(uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string(address >> 16 & 0xFF) + '.' +
           std::to_string(address >> 8 & 0xFF) + '.' + std::to_string(address & 0xFF);
}

uint64_t CaptureStats::skippedTotal() const {
    uint64_t total = 0;
    for (uint64_t count : skipped) total += count;
    return total;
}

CaptureDecoder::CaptureDecoder(const UdpFilter& filter, const Ipv4Reassembler::Limits& limits)
    : filter_(filter), reassembler_(limits) {}

std::optional<UdpDatagram> CaptureDecoder::push(int linkType, std::span<const uint8_t> record,
                                                uint32_t wireLength, uint64_t captureTimeNs) {
    ++stats_.records;
    lastTimeNs_ = std::max(lastTimeNs_, captureTimeNs);
    const RecordParse parsed = parseRecord(linkType, record, wireLength);
    if (parsed.skipped) {
        ++stats_.skipped[static_cast<size_t>(*parsed.skipped)];
        return std::nullopt;
    }
    const Ipv4Packet& packet = parsed.packet;
    if (packet.protocol != ipProtocolUdp) {
        ++stats_.skipped[static_cast<size_t>(SkipReason::NotUdp)];
        return std::nullopt;
    }
    if (filter_.sourceAddress && packet.source != *filter_.sourceAddress) {
        if (packet.fragmentOffsetBytes == 0) {
            ++stats_.udpDatagrams;
            ++stats_.filteredOut;
        }
        return std::nullopt;
    }
    if (!packet.isFragment()) return deliver(packet, packet.payload, captureTimeNs);
    if (reassembler_.add(packet, captureTimeNs, reassembled_) == ReassemblyStatus::Complete) {
        return deliver(packet, reassembled_, captureTimeNs);
    }
    return std::nullopt;
}

std::optional<UdpDatagram> CaptureDecoder::deliver(const Ipv4Packet& header,
                                                   std::span<const uint8_t> ip,
                                                   uint64_t captureTimeNs) {
    const std::optional<UdpPacket> udp = parseUdp(ip);
    if (!udp) {
        ++stats_.skipped[static_cast<size_t>(SkipReason::Malformed)];
        return std::nullopt;
    }
    ++stats_.udpDatagrams;
    if (filter_.destinationPort && udp->destinationPort != *filter_.destinationPort) {
        ++stats_.filteredOut;
        return std::nullopt;
    }
    ++stats_.delivered;
    return UdpDatagram{header.source,        header.destination, udp->sourcePort,
                       udp->destinationPort, udp->payload,       captureTimeNs};
}

void CaptureDecoder::finish() {
    reassembler_.expire(lastTimeNs_);
    reassembler_.finish();
}

PcapReader::PcapReader(const std::string& path, const UdpFilter& filter) : decoder_(filter) {
    char error[PCAP_ERRBUF_SIZE] = "";
    handle_ =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (handle_ == nullptr) throw CaptureError(error);
    linkType_ = pcap_datalink(handle_);
}

PcapReader::PcapReader(FILE* file, const UdpFilter& filter) : decoder_(filter) {
    if (file == nullptr) throw CaptureError("no capture stream");
    char error[PCAP_ERRBUF_SIZE] = "";
    handle_ = pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, error);
    if (handle_ == nullptr) {
        // libpcap leaves the stream to the caller when it fails.
        std::fclose(file);
        throw CaptureError(error);
    }
    linkType_ = pcap_datalink(handle_);
}

PcapReader::~PcapReader() {
    if (handle_ != nullptr) pcap_close(handle_);
}

std::optional<UdpDatagram> PcapReader::next() {
    while (!ended_) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int result = pcap_next_ex(handle_, &header, &data);
        if (result == 1) {
            // Opened with nanosecond precision: tv_usec holds nanoseconds.
            const uint64_t timeNs = static_cast<uint64_t>(header->ts.tv_sec) * 1'000'000'000u +
                                    static_cast<uint64_t>(header->ts.tv_usec);
            auto datagram = decoder_.push(linkType_, {data, header->caplen}, header->len, timeNs);
            if (datagram) return datagram;
        } else if (result != 0) {  // 0 only happens on live captures: no record yet
            if (result == PCAP_ERROR) readError_ = pcap_geterr(handle_);
            ended_ = true;
            decoder_.finish();
        }
    }
    return std::nullopt;
}

}  // namespace compact
