// Reading UDP datagrams from pcap and pcapng capture files: link layers, IPv4, reassembly, filter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipv4_reassembly.h"

struct pcap;  // libpcap's handle, kept out of this header

namespace compact {

// A captured packet ended before a field the headers promise.
class TruncatedInput : public std::runtime_error {
  public:
    TruncatedInput(size_t pos, size_t wanted);
};

// Fixed-width reads from one captured packet; never reads past the span it was given.
// Byte order is in the name: network headers are big-endian, the BSD loopback family is not.
struct ByteReader {
    std::span<const uint8_t> bytes;
    size_t pos = 0;

    // The next n bytes; throws TruncatedInput when fewer are left.
    std::span<const uint8_t> take(size_t n) {
        if (n > bytes.size() - pos) throw TruncatedInput(pos, n);
        auto out = bytes.subspan(pos, n);
        pos += n;
        return out;
    }
    void skip(size_t n) { take(n); }
    size_t left() const { return bytes.size() - pos; }
    std::span<const uint8_t> rest() { return take(left()); }
    uint8_t read_u1() { return take(1)[0]; }
    uint16_t read_u2be() {
        auto b = take(2);
        return static_cast<uint16_t>(b[0] << 8 | b[1]);
    }
    uint32_t read_u4be() {
        auto b = take(4);
        return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    }
    uint32_t read_u4le() {
        auto b = take(4);
        return uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0];
    }
};

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

// Parses one capture record of the given link type (a DLT_ value as pcap_datalink() returns:
// Ethernet with any number of 802.1Q/802.1ad tags, Linux cooked v1 and v2, raw IP, BSD
// loopback in either byte order) down to its IPv4 packet. wireLength is the record's length on
// the wire; a record with fewer bytes is Snapped. Bytes after the IPv4 total length (Ethernet
// padding) are ignored. Checksums are not verified: captures on the sending host carry partial
// checksums left for the network card. Pure function over the bytes; never throws.
RecordParse parseRecord(int linkType, std::span<const uint8_t> record, uint32_t wireLength);

// The UDP header fields and payload inside an IP payload; nullopt when the UDP length is below
// 8 or beyond the bytes given. Bytes after the UDP length are ignored.
struct UdpPacket {
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::span<const uint8_t> payload;
};
std::optional<UdpPacket> parseUdp(std::span<const uint8_t> ipPayload);

// One UDP datagram found in a capture.
struct UdpDatagram {
    uint32_t sourceAddress = 0;  // host byte order
    uint32_t destinationAddress = 0;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::span<const uint8_t> payload;  // valid until the next call on the decoder or reader
    uint64_t captureTimeNs = 0;        // of the record that completed it, ns since 1970
};

// Which datagrams to deliver; an unset field matches everything. The source address is applied
// before reassembly, so fragments of other senders take no memory.
struct UdpFilter {
    std::optional<uint16_t> destinationPort;
    std::optional<uint32_t> sourceAddress;  // host byte order
};

// "192.168.0.1" in host byte order; nullopt when the text is not a dotted IPv4 address.
std::optional<uint32_t> parseIpv4Address(const std::string& text);
std::string formatIpv4Address(uint32_t address);

struct CaptureStats {
    uint64_t records = 0;                             // records read from the capture
    std::array<uint64_t, skipReasonCount> skipped{};  // records and datagrams skipped, by reason
    uint64_t udpDatagrams = 0;                        // whole or reassembled UDP datagrams seen
    uint64_t filteredOut = 0;  // UDP datagrams not matching the filter; a fragmented one from
                               //   another source counts once, by its fragment at offset 0
    uint64_t delivered = 0;    // UDP datagrams handed out

    uint64_t skippedTotal() const;
};

// Turns capture records into UDP datagrams: parsing, reassembly, filter and counters. No I/O.
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

// The capture file could not be opened, is not a capture, or could not be written.
// what() is libpcap's error text.
class CaptureError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads a pcap or pcapng file through libpcap and hands out its UDP datagrams in file order.
class PcapReader {
  public:
    // Opens the file at path ("-": standard input, libpcap's convention). Throws CaptureError
    // with libpcap's text ("unknown file format", "<path>: No such file or directory", ...).
    explicit PcapReader(const std::string& path, const UdpFilter& filter = {});
    // Reads from an open stream (fmemopen in fuzzing). Takes ownership of file in every case:
    // it is closed by the destructor, or before the throw. Throws CaptureError.
    explicit PcapReader(FILE* file, const UdpFilter& filter = {});
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    // The next datagram that passes the filter; nullopt at the end of the file or at a read
    // error (then readError() says why, for example a file cut off in a record). The payload
    // stays valid until the next call. At the end, datagrams still in progress are counted as
    // dropped.
    std::optional<UdpDatagram> next();

    int linkType() const { return linkType_; }  // DLT_ value of the capture
    // libpcap's text of the read error that ended the file early, "" if none.
    const std::string& readError() const { return readError_; }
    const CaptureStats& stats() const { return decoder_.stats(); }
    const ReassemblyStats& reassembly() const { return decoder_.reassembly(); }

  private:
    pcap* handle_ = nullptr;
    int linkType_ = 0;
    bool ended_ = false;
    std::string readError_;
    CaptureDecoder decoder_;
};

}  // namespace compact
