// The datagram pipeline: one datagram from bytes to rows, the receive loop over the socket, and
// the conversion of a capture file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "csv/compact_csv.h"
#include "io/status.h"

class Socket;
namespace compact {
class FileSink;
struct FrameError;
class PcapReader;
}  // namespace compact

// The kind under which the receiver counts a refused datagram.
ParseErrorKind parseErrorKind(const compact::FrameError& error);

// Handles one datagram in place (no copy): validates it as a Compact frame, reports its telegram
// counter to `status` (when not null) and hands the frame to `writer`. A datagram the format
// refuses (wrong magic, unsupported version, data ending before the frame does, counts beyond the
// data or the object cap) is dropped and `status` counts a parse error. Returns true when the frame
// was accepted and written. Never throws; allocates nothing. Does not look at writer.failed(). The
// source of the bytes (socket, capture file) is the caller's business.
bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer);

// How a run ended, and what it met on the way.
struct RunEnd {
    // Set when the run ended because the output could not be written or created again: the
    // message to show ("Failed to write output:No space left on device").
    std::string error;
    // The CSV went to standard output and its reader went away (a closed pipe): an ordinary end.
    bool readerGone = false;
    uint64_t queueDrops = 0;       // datagrams the queue had no room for
    uint64_t receiveErrors = 0;    // receive calls that failed (not time-outs or signals)
    uint64_t outputRecreated = 0;  // times the output file was created again under its name
};

// How a live run keeps its output.
struct LiveSettings {
    size_t queueBytes = size_t{64} << 20;  // room for datagrams between receiving and writing
    compact::FileSink* output = nullptr;   // the writer's sink, checked and flushed; may be null
    unsigned int checkPeriodMs = 5000;     // how often the output path is checked
};

// Receives on a thread of its own (see ReceiveThread) into a DatagramQueue, and hands each queued
// datagram to handleDatagram on this thread until a stop signal (SigINT); then every datagram the
// kernel had already received is drained and written before it returns. Meanwhile the status line
// (when `status` is not null) may print, buffered rows reach the file at least once a second, and
// the output path is checked every check period: a removed or replaced file is reported on
// standard error and created again, header first. Returns as soon as the output fails. Throws what
// SigINT::instance() throws.
RunEnd receiveUntilStopped(Socket& socket, Status* status, CompactCSV& writer,
                           const LiveSettings& settings);

// Hands every UDP datagram that `reader` delivers (those passing its filter, in file order) to
// handleDatagram, with `status` counting telegrams and parse errors, until the end of the capture
// or a stop signal, checked before every datagram. With `showStatus`, the status line is printed
// on standard output whenever its period has passed (the rate is then telegrams per second of
// conversion). The output is kept as in a live run. Returns as soon as the output fails. Throws
// what SigINT::instance() throws.
RunEnd convertCapture(compact::PcapReader& reader, Status& status, bool showStatus,
                      CompactCSV& writer, compact::FileSink* output);
