// Capture records to UDP datagrams.
#include "net/capture_decoder.h"

#include <algorithm>

namespace compact {

uint64_t CaptureStats::skippedTotal() const {
    uint64_t total = 0;
    for (uint64_t count : skipped) total += count;
    return total;
}

std::vector<PortCount> CaptureStats::topFilteredPorts(size_t count) const {
    std::vector<PortCount> ports(
        filteredPorts.begin(),
        filteredPorts.begin() + static_cast<std::ptrdiff_t>(filteredPortsUsed));
    std::sort(ports.begin(), ports.end(), [](const PortCount& a, const PortCount& b) {
        return a.datagrams != b.datagrams ? a.datagrams > b.datagrams : a.port < b.port;
    });
    if (ports.size() > count) ports.resize(count);
    return ports;
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
        auto* const end = stats_.filteredPorts.begin() + stats_.filteredPortsUsed;
        auto* found = std::find_if(stats_.filteredPorts.begin(), end, [&](const PortCount& p) {
            return p.port == udp->destinationPort;
        });
        if (found == end && stats_.filteredPortsUsed < stats_.filteredPorts.size()) {
            *found = {udp->destinationPort, 0};
            ++stats_.filteredPortsUsed;
        }
        if (found == stats_.filteredPorts.end())
            ++stats_.filteredToOtherPorts;
        else
            ++found->datagrams;
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

}  // namespace compact
