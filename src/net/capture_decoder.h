// Capture records to UDP datagrams: link layers, IPv4, reassembly, filter and counters. No I/O.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "net/ipv4_reassembly.h"
#include "net/link_layer.h"
#include "net/udp.h"

namespace compact {

// Datagrams to one UDP port.
struct PortCount {
    uint16_t port = 0;
    uint64_t datagrams = 0;
};

struct CaptureStats {
    uint64_t records = 0;                             // records read from the capture
    std::array<uint64_t, skipReasonCount> skipped{};  // records and datagrams skipped, by reason
    uint64_t udpDatagrams = 0;                        // whole or reassembled UDP datagrams seen
    uint64_t filteredOut = 0;  // UDP datagrams not matching the filter; a fragmented one from
                               //   another source counts once, by its fragment at offset 0
    uint64_t delivered = 0;    // UDP datagrams handed out
    // The destination ports of the datagrams filtered out for their port, the first
    // maxFilteredPorts ports seen; those of further ports are only counted.
    static constexpr size_t maxFilteredPorts = 16;
    std::array<PortCount, maxFilteredPorts> filteredPorts{};
    size_t filteredPortsUsed = 0;
    uint64_t filteredToOtherPorts = 0;

    uint64_t skippedTotal() const;
    // The ports of filteredPorts with the most datagrams, most first (ties: lower port first).
    std::vector<PortCount> topFilteredPorts(size_t count) const;
};

// Turns capture records into UDP datagrams: parsing, reassembly, filter and counters.
class CaptureDecoder {
  public:
    explicit CaptureDecoder(const UdpFilter& filter = {},
                            const Ipv4Reassembler::Limits& limits = {});

    // Decodes one record (see parseRecord). Returns the datagram it completes and that passes
    // the filter, if any; its payload stays valid until the next call. Never throws except
    // std::bad_alloc.
    std::optional<UdpDatagram> push(int linkType, std::span<const uint8_t> record,
                                    uint32_t wireLength, uint64_t captureTimeNs);
    // End of the capture: datagrams still in progress are dropped and counted.
    void finish();

    const CaptureStats& stats() const { return stats_; }
    const ReassemblyStats& reassembly() const { return reassembler_.stats(); }

  private:
    std::optional<UdpDatagram> deliver(const Ipv4Packet& header, std::span<const uint8_t> ip,
                                       uint64_t captureTimeNs);

    UdpFilter filter_;
    Ipv4Reassembler reassembler_;
    std::vector<uint8_t> reassembled_;
    CaptureStats stats_{};
    uint64_t lastTimeNs_ = 0;
};

}  // namespace compact
