// Writing UDP datagrams into pcap files as a network carries them: IPv4 fragments at an MTU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>

#include "io/pcap_reader.h"
#include "net/framing.h"
#include "net/udp.h"

struct pcap;
struct pcap_dumper;

namespace compact {

// How PcapWriter frames and fragments the datagrams, and which faults it injects.
struct PcapWriterOptions {
    LinkType linkType = LinkType::Ethernet;
    uint32_t mtu = 1500;               // largest IP packet per frame: Ethernet's MTU; 68..65535
    bool shuffleFragments = false;     // write the fragments of each datagram in random order
    uint32_t dropOneIn = 0;            // 0: keep all; n: about one fragmented datagram in n loses
                                       //   one fragment, chosen at random
    uint64_t seed = 1;                 // for shuffle and drop: the same seed, the same capture
    uint16_t firstIdentification = 1;  // IPv4 identification of the first datagram, then +1
};

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
