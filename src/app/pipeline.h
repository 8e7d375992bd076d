// The datagram pipeline: one datagram from bytes to rows (or to the stream's description), the
// receive loop over the socket, and the conversion of a capture file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "app/frame_extent.h"
#include "csv/compact_csv.h"
#include "io/status.h"

class Socket;
class StreamDescription;
namespace compact {
class FileSink;
struct FrameError;
class PcapReader;
}  // namespace compact

// The kind under which the receiver counts a refused datagram.
ParseErrorKind parseErrorKind(const compact::FrameError& error);

// Handles one datagram in place (no copy): validates it as a Compact frame, reports its telegram
// counter to `status` (when not null) for its sender (the source address and the sender_id of
// the frame's first module) and hands the frame to `writer`. A datagram the format refuses (wrong
// magic, unsupported version, data ending before the frame does, counts beyond the data or the
// object cap) is dropped and `status` counts a parse error of its kind. Returns true when the
// frame was accepted and written. Never throws; allocates nothing. Does not look at
// writer.failed(). The source of the bytes (socket, capture file) is the caller's business.
bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer,
                    uint32_t sourceAddress = 0);

// How a run ended, and what it met on the way.
struct RunEnd {
    // Set when the run ended because the output could not be written or created again: the
    // message to show ("Failed to write output:No space left on device").
    std::string error;
    // The CSV went to standard output and its reader went away (a closed pipe): an ordinary end.
    bool readerGone = false;
    uint64_t hostDrops = 0;        // datagrams this host dropped: socket buffer or queue full
    uint64_t outputRecreated = 0;  // times the output file was created again under its name
    std::chrono::steady_clock::duration duration{};
};

// What a run does with each datagram, and between datagrams.
class DatagramHandler {
  public:
    virtual ~DatagramHandler() = default;
    // One datagram: its bytes, its IPv4 source address (host byte order) and when it was received
    // (steady-clock nanoseconds in a live run, capture time in a conversion).
    virtual void handle(std::span<const uint8_t> bytes, uint32_t sourceAddress,
                        uint64_t receivedNs) = 0;
    // Called between datagrams, at least every 200 ms; false (with end.error set, or
    // end.readerGone) ends the run.
    virtual bool keep(RunEnd& end) {
        (void)end;
        return true;
    }
};

// Writes the rows of every datagram (handleDatagram) and keeps the output in step with the run:
// buffered rows reach the file at least once a second, and every check period the output path is
// checked: a removed or replaced file is reported on standard error and created again, header
// first. While no row has been written, it notes what the frames held (extent()).
class CsvRun : public DatagramHandler {
  public:
    // `output`: the writer's sink, or null. `line`: the status line to end before a message, or
    // null.
    CsvRun(CompactCSV& writer, Status& status, compact::FileSink* output, Status* line,
           unsigned int checkPeriodMs);
    void handle(std::span<const uint8_t> bytes, uint32_t sourceAddress,
                uint64_t receivedNs) override;
    bool keep(RunEnd& end) override;
    const FrameExtent& extent() const { return frames; }

  private:
    void check(RunEnd& end);

    CompactCSV& writer;
    Status& status;
    compact::FileSink* output;
    Status* line;
    const std::chrono::steady_clock::duration checkPeriod;
    std::chrono::steady_clock::time_point lastFlush;
    std::chrono::steady_clock::time_point lastCheck;
    FrameExtent frames;
};

// Counts every datagram in `status` and adds it to the description (--describe); writes nothing.
class DescribeRun : public DatagramHandler {
  public:
    DescribeRun(StreamDescription& description, Status& status);
    void handle(std::span<const uint8_t> bytes, uint32_t sourceAddress,
                uint64_t receivedNs) override;

  private:
    StreamDescription& description;
    Status& status;
};

// Receives on a thread of its own (see ReceiveThread) into a DatagramQueue of `queueBytes`, and
// hands each queued datagram to `handler` on this thread until a stop signal (SigINT); then every
// datagram the kernel had already received is drained and handled before it returns. Meanwhile
// the status line (`line`, when not null) is printed every period, with the host's drops. Throws
// what SigINT::instance() throws.
RunEnd receiveUntilStopped(Socket& socket, Status* line, DatagramHandler& handler,
                           size_t queueBytes);

// Hands every UDP datagram that `reader` delivers (those passing its filter, in file order) to
// `handler` until the end of the capture or a stop signal, checked before every datagram. The
// status line (`line`, when not null) is printed every period (the rate is then telegrams per
// second of conversion). Throws what SigINT::instance() throws.
RunEnd convertCapture(compact::PcapReader& reader, Status* line, DatagramHandler& handler);
