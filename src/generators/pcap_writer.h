// Writing UDP datagrams into pcap files as a network carries them: IPv4 fragments at an MTU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "io/pcap_reader.h"
#include "net/link_layer.h"
#include "net/udp.h"

struct pcap;
struct pcap_dumper;

namespace compact {

// The link layers the writer can frame packets in; PcapReader reads every one of them.
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

struct PcapWriterOptions {
    LinkType linkType = LinkType::Ethernet;
    uint32_t mtu = 1500;               // largest IP packet per frame: Ethernet's MTU; 68..65535
    bool shuffleFragments = false;     // write the fragments of each datagram in random order
    uint32_t dropOneIn = 0;            // 0: keep all; n: about one fragmented datagram in n loses
                                       //   one fragment, chosen at random
    uint64_t seed = 1;                 // for shuffle and drop: the same seed, the same capture
    uint16_t firstIdentification = 1;  // IPv4 identification of the first datagram, then +1
};

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

// Writes a classic pcap file (microsecond time stamps, as tcpdump writes) through libpcap.
class PcapWriter {
  public:
    // Creates or truncates the file at path ("-": standard output, libpcap's convention).
    // Throws CaptureError with libpcap's text when it cannot be created, std::invalid_argument
    // for an MTU outside 68..65535.
    explicit PcapWriter(const std::string& path, const PcapWriterOptions& options = {});
    ~PcapWriter();  // closes the file if close() was not called; errors are lost then
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Writes one UDP datagram as IPv4 packets framed in the link type, every record with the
    // datagram's receiveTimeNs (truncated to microseconds), after shuffling or dropping per the
    // options. Returns the number of records written. Throws as fragmentUdpDatagram.
    size_t write(const UdpDatagram& datagram);

    // Writes one record as given: frame bytes captured, wireLength its length on the wire
    // (larger than the frame for a record cut at a snap length).
    void writeRecord(std::span<const uint8_t> frame, uint64_t captureTimeNs, uint32_t wireLength);

    // Flushes and closes the file. Throws CaptureError with the system error text when data
    // could not be written.
    void close();

    uint64_t recordsWritten() const { return records_; }
    uint64_t fragmentsDropped() const { return fragmentsDropped_; }  // = datagrams left incomplete

  private:
    PcapWriterOptions options_;
    std::string path_;
    pcap* dead_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    std::mt19937_64 random_;
    uint16_t nextIdentification_;
    uint64_t records_ = 0;
    uint64_t fragmentsDropped_ = 0;
};

}  // namespace compact
