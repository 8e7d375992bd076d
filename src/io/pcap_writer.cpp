// Writing UDP datagrams into pcap files as a network carries them: IPv4 fragments at an MTU.
#include "io/pcap_writer.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "net/ipv4.h"

namespace compact {

namespace {

// Snap length of the files written: libpcap's largest, so no record is ever cut.
constexpr int writerSnapLength = 262144;

}  // namespace

PcapWriter::PcapWriter(const std::string& path, const PcapWriterOptions& options)
    : options_(options),
      path_(path),
      random_(options.seed),
      nextIdentification_(options.firstIdentification) {
    if (options.mtu < ipv4MinMtu || options.mtu > ipv4MaxDatagramBytes) {
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
