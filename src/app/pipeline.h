// The datagram pipeline: every datagram, from the socket or a capture, is decoded once, counted,
// and handed to a list of handlers (CSV rows, the stream's description, ...), each owning its
// output; the receive loop over the socket and the conversion of a capture file drive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/frame_extent.h"
#include "app/rotation.h"
#include "csv/compact_csv.h"
#include "format/parse_error.h"
#include "io/status.h"
#include "net/udp.h"

class Socket;
class StreamDescription;
struct DropNote;
namespace compact {
class OutputFile;
class FrameView;
class PcapReader;
}  // namespace compact

// One datagram as every handler sees it.
struct Decoded {
    const compact::UdpDatagram& datagram;
    const compact::FrameView* frame;  // the validated frame; null when the format refused it
    ParseErrorKind refusal;           // why, when frame is null
};

// How a run ended, and what it met on the way.
struct RunEnd {
    // Set when the run ended because an output could not be written or created again: the message
    // to show ("Failed to write output:No space left on device").
    std::string error;
    // The CSV went to standard output and its reader went away (a closed pipe): an ordinary end.
    bool readerGone = false;
    // A second stop signal ended the run before the queue was empty: datagrams left unwritten.
    uint64_t leftInQueue = 0;
    uint64_t kernelDrops = 0;    // datagrams the kernel dropped on the socket (buffer full)
    uint64_t queueDrops = 0;     // datagrams the queue had no room for
    uint64_t receiveErrors = 0;  // receive calls that failed (errno of the last: receiveError)
    int receiveError = 0;
    uint64_t untimed = 0;     // datagrams without the kernel's receive time (the host's clock used)
    bool portShared = false;  // another receiver started on the port during the run
    std::chrono::steady_clock::duration duration{};

    uint64_t hostDrops() const { return kernelDrops + queueDrops; }
};

// What a run does with each datagram, between datagrams, at the start of each segment of a
// rotating run, and at its end.
class DatagramHandler {
  public:
    virtual ~DatagramHandler() = default;
    virtual void handle(const Decoded& datagram) = 0;
    // Called between datagrams, at least every 200 ms; false (with end.error set, or an output
    // whose reader went away) ends the run.
    virtual bool keep(RunEnd& end) {
        (void)end;
        return true;
    }
    // Bytes in the files of the current segment, written or waiting to be.
    virtual uint64_t segmentBytes() const { return 0; }
    // Closes the files of the current segment (flushed, never touched again) and opens those of
    // `segment`. Segment 0 opens the outputs: a failure there throws SetupError; a later one
    // returns false with end.error set.
    virtual bool startSegment(const Segment& segment, RunEnd& end) {
        (void)segment, (void)end;
        return true;
    }
    // The end of the run: the last records written, the files closed. False, with end.error set
    // when that failed.
    virtual bool finish(RunEnd& end) {
        (void)end;
        return true;
    }
};

// Decodes every datagram once (FrameView), counts it in `status` (its telegram counter for its
// sender, the source address and the sender_id of the first module, or a parse error of its kind)
// and hands it to every handler, in the order they were added. With a rotation, it starts the next
// segment of every handler before the datagram that makes one due, so that all outputs change
// segment at the same datagram. Allocates nothing per datagram.
class Pipeline {
  public:
    explicit Pipeline(Status& status, Rotation* rotation = nullptr)
        : counts(status), rotating(rotation) {}
    void add(DatagramHandler& handler) { handlers.push_back(&handler); }
    // Opens the first segment of every output, its period starting at `startNs`. Throws
    // SetupError. Without this call, the first datagram starts it (a conversion with -G).
    void start(uint64_t startNs);
    void handle(const compact::UdpDatagram& datagram);
    // A datagram this host received but had no room for.
    void dropped(const DropNote& note);
    // Asks every handler; false when one ends the run (or a new segment could not be started).
    bool keep(RunEnd& end);
    // True when the run is over by its own rule (-W periods of -G have passed).
    bool finished() const { return done; }
    // Ends every handler; false when one of them failed (end.error says why).
    bool finish(RunEnd& end);
    Status& status() { return counts; }

  private:
    Status& counts;
    Rotation* rotating;
    std::vector<DatagramHandler*> handlers;
    bool started = false;
    bool done = false;
    RunEnd rotationEnd;  // what a failed start of a segment left
};

// Adds every datagram to the description (--describe); writes nothing.
class DescribeRun : public DatagramHandler {
  public:
    explicit DescribeRun(StreamDescription& target) : description(target) {}
    void handle(const Decoded& datagram) override;

  private:
    StreamDescription& description;
};

// Receives on a thread of its own (see ReceiveThread) into a DatagramQueue of `queueBytes`, and
// hands each queued datagram to `pipeline` on this thread until a stop signal (SigINT); then every
// datagram the kernel had already received is drained and handled before it returns, unless a
// second stop signal asks to end at once. Meanwhile the status line (`line`, when not null) is
// printed every period, with the host's drops, and a failing receive is reported once on standard
// error. Throws what SigINT::instance() throws.
RunEnd receiveUntilStopped(Socket& socket, Status* line, Pipeline& pipeline, size_t queueBytes);

// Hands every UDP datagram that `reader` delivers (those passing its filter, in file order) to
// `pipeline` until the end of the capture or a stop signal, checked before every datagram. The
// status line (`line`, when not null) is printed every period (the rate is then telegrams per
// second of conversion). Throws what SigINT::instance() throws.
RunEnd convertCapture(compact::PcapReader& reader, Status* line, Pipeline& pipeline);
