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

// What a run does with each datagram, and between datagrams.
class DatagramHandler {
  public:
    virtual ~DatagramHandler() = default;
    virtual void handle(const Decoded& datagram) = 0;
    // Called between datagrams, at least every 200 ms; false (with end.error set, or
    // end.readerGone) ends the run.
    virtual bool keep(RunEnd& end) {
        (void)end;
        return true;
    }
};

// Decodes every datagram once (FrameView), counts it in `status` (its telegram counter for its
// sender, the source address and the sender_id of the first module, or a parse error of its kind)
// and hands it to every handler, in the order they were added. Allocates nothing per datagram.
class Pipeline {
  public:
    explicit Pipeline(Status& status) : counts(status) {}
    void add(DatagramHandler& handler) { handlers.push_back(&handler); }
    void handle(const compact::UdpDatagram& datagram);
    // A datagram this host received but had no room for.
    void dropped(const DropNote& note);
    // Asks every handler; false when one ends the run.
    bool keep(RunEnd& end);
    Status& status() { return counts; }

  private:
    Status& counts;
    std::vector<DatagramHandler*> handlers;
};

// The CSV writer's text into an output file.
class OutputSink : public compact::CsvSink {
  public:
    explicit OutputSink(compact::OutputFile& output) : file(output) {}
    bool write(std::string_view text, bool endsRow) override;
    bool close() override;
    std::string errorText() const override;

  private:
    compact::OutputFile& file;
};

// Writes the rows of every frame and keeps the output in step with the run: buffered rows reach
// the output at least once a second, and each second the output path is checked (see
// compact::OutputFile::checkPath): a removed file is created again, header first, with the rows
// written since the previous check; what happened is said once on standard error. While no row has
// been written, it notes what the frames held (extent()).
class CsvRun : public DatagramHandler {
  public:
    // `output`: the writer's output file, or null. `line`: the status line to end before a
    // message, or null. `filters`: the writer's settings, for the hint of a filter that selects
    // nothing the frames have (said once on standard error, and kept for the account: hint()).
    CsvRun(CompactCSV& writer, const CompactCSV::Options& filters, compact::OutputFile* output,
           Status* line);
    void handle(const Decoded& datagram) override;
    bool keep(RunEnd& end) override;
    const FrameExtent& extent() const { return frames; }
    const std::string& hint() const { return filterHint; }
    // Rows in files a user can reach: written, less those in files removed during the run.
    uint64_t rowsKept() const;
    uint64_t rowsLost() const;

  private:
    void check(RunEnd& end);

    CompactCSV& writer;
    const CompactCSV::Options& options;
    compact::OutputFile* output;
    Status* line;
    std::chrono::steady_clock::time_point lastFlush;
    std::string filterHint;
    FrameExtent frames;
    bool replacedSaid = false;
    bool uncheckedSaid = false;
    uint64_t emptiedSaid = 0;
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
