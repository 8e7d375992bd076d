// Reading UDP datagrams from pcap and pcapng capture files through libpcap.
#include "io/pcap_reader.h"

#include <pcap/pcap.h>

#include <cerrno>

namespace compact {

// The link types the capture decoder knows by number are libpcap's.
static_assert(linktype::null == DLT_NULL && linktype::ethernet == DLT_EN10MB &&
              linktype::raw == DLT_RAW && linktype::loop == DLT_LOOP &&
              linktype::linuxCooked == DLT_LINUX_SLL && linktype::ipv4 == DLT_IPV4 &&
              linktype::linuxCooked2 == DLT_LINUX_SLL2);

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
            if (result == PCAP_ERROR) {
                const int error = errno;
                readError_ = pcap_geterr(handle_);
                // A capture cut short ends inside the record libpcap failed on; anything after
                // that record means the rest of the file could not be read. A read interrupted by
                // a signal says nothing about the file (and looking further could wait forever on
                // a pipe).
                FILE* file = pcap_file(handle_);
                interrupted_ = error == EINTR;
                dataAfterError_ = !interrupted_ && file != nullptr && std::fgetc(file) != EOF;
            }
            ended_ = true;
            decoder_.finish();
        }
    }
    return std::nullopt;
}

}  // namespace compact
