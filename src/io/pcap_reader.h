// Reading UDP datagrams from pcap and pcapng capture files through libpcap.
#pragma once

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "net/capture_decoder.h"

struct pcap;  // libpcap's handle, kept out of this header

namespace compact {

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

    // libpcap's text of the read error that ended the file early, "" if none.
    const std::string& readError() const { return readError_; }
    // True when that error left data unread after it (a record libpcap refuses as invalid in the
    // middle of the file), false when the capture simply ends inside its last record.
    bool readErrorBeforeEnd() const { return dataAfterError_; }
    // True when that error was a read interrupted by a signal.
    bool readInterrupted() const { return interrupted_; }
    const CaptureStats& stats() const { return decoder_.stats(); }
    const ReassemblyStats& reassembly() const { return decoder_.reassembly(); }

  private:
    pcap* handle_ = nullptr;
    int linkType_ = 0;
    bool ended_ = false;
    std::string readError_;
    bool dataAfterError_ = false;
    bool interrupted_ = false;
    CaptureDecoder decoder_;
};

}  // namespace compact
