// The datagram pipeline: one datagram from bytes to rows, the receive loop over the socket, and
// the conversion of a capture file.
#pragma once

#include <string_view>

#include "csv/compact_csv.h"

class Socket;
class Status;
namespace compact {
class PcapReader;
}

// Handles one datagram in place (no copy): validates it as a Compact frame, reports its telegram
// counter to `status` (when not null) and hands the frame to `writer`. A datagram the format
// refuses (wrong magic, unsupported version, data ending before the frame does, counts beyond the
// data or the object cap) is dropped and `status` counts a parse error. Returns true when the frame
// was accepted and written. Never throws; allocates nothing. Does not look at writer.failed(). The
// source of the bytes (socket, capture file) is the caller's business.
bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer);

// Receives datagrams from `socket` and hands each to handleDatagram until SigINT reports a stop
// request, checked before every receive. Before every receive, `status` (when not null) may print
// its line. Receive time-outs and errors are retried silently; the socket's time-out bounds how
// long a stop request waits. Returns false as soon as the writer reports a failed output (checked
// once per datagram), true when stopped by a signal. Throws what SigINT::instance() throws.
bool receiveUntilStopped(Socket& socket, Status* status, CompactCSV& writer);

// How a conversion of a capture file ended.
struct ConversionEnd {
    bool outputFailed = false;     // the writer reported a failed output; the conversion stopped
    bool statusLineShown = false;  // a status line was printed (it ends without a line feed)
};

// Hands every UDP datagram that `reader` delivers (those passing its filter, in file order) to
// handleDatagram, with `status` counting telegrams and parse errors, until the end of the capture
// or a stop request from SigINT, checked before every datagram. With `showStatus`, the status line
// is printed on standard output whenever its period has passed, as in the receive loop (the rate
// is then telegrams per second of conversion). Stops as soon as the writer reports a failed
// output (checked once per datagram). Throws what SigINT::instance() throws.
ConversionEnd convertCapture(compact::PcapReader& reader, Status& status, bool showStatus,
                             CompactCSV& writer);
