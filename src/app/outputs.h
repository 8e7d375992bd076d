// The outputs of a run as handlers of its datagrams: the CSV rows and the raw capture, each kept in
// step with the run (flushed at least once a second, its path checked, what happened said once)
// and rotated into segments at the datagram the pipeline chooses.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/frame_extent.h"
#include "app/pipeline.h"
#include "app/rotation.h"
#include "csv/compact_csv.h"
#include "io/output_file.h"

class Status;

// A set-up failure: its message is printed as it stands, and the run ends with status 1.
class SetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One output file of a run and the segments it rotates through: opening each segment's file,
// checking its path every second, removing the segments a ring no longer keeps, and counting the
// records that went with files removed while the run went on.
class KeptFile {
  public:
    // `pattern`: the path the user gave ("-": standard output, which never rotates); `label`:
    // how messages name it ("output file", "capture file"); `line`: the status line to end before
    // a message, or null.
    KeptFile(std::string pattern, std::string label, const RotationSettings& rotation,
             Status* line);

    // Opens the file of `segment`: without rotation, created anew as `existing` says; with it,
    // never over an existing file. Throws SetupError with the message when it cannot be opened.
    void open(const Segment& segment, compact::OutputFile::Existing existing, uint64_t records);
    // Closes the current file (flushed by the caller). False, with the reason in end.error, when
    // an earlier write or the close failed.
    bool close(RunEnd& end);
    // Checks the path (see compact::OutputFile::checkPath) and says what changed, once for what
    // recurs. False, with the message in end.error, when the run cannot go on.
    bool check(RunEnd& end, uint64_t records);
    // Says once that another program emptied the file.
    void sayEmptied();

    compact::OutputFile& file() { return *current; }
    const compact::OutputFile& file() const { return *current; }
    bool isOpen() const { return current != nullptr; }
    const std::string& path() const { return currentPath; }
    bool toStandardOutput() const { return pattern == "-"; }
    // Records in files that other programs removed during the run (not reachable any more), and
    // in the segments the ring removed.
    uint64_t recordsLost() const;
    uint64_t recordsInRemovedSegments() const { return ringRemoved; }
    // Bytes in the files of the output that the ring did not remove.
    uint64_t bytesWritten() const {
        return earlierBytes - ringRemovedBytes + (current ? current->bytesWritten() : 0);
    }
    // The message of a failed write, naming the file: "Failed to write output FILE:REASON".
    std::string failure() const;

  private:
    // A message on standard error, its first letter made upper case.
    void say(std::string message);

    const std::string pattern;
    const std::string label;
    const RotationSettings rotation;
    Status* line;
    std::unique_ptr<compact::OutputFile> current;
    std::string currentPath;
    uint64_t segmentStartRecords = 0;
    uint64_t earlierLost = 0;   // records lost with removed files of closed segments
    uint64_t earlierBytes = 0;  // bytes of closed segments
    uint64_t ringRemoved = 0;   // records of the segments the ring removed
    uint64_t ringRemovedBytes = 0;
    // The closed segments still on disk, oldest first.
    struct Closed {
        std::string path;
        uint64_t records;
        uint64_t bytes;
    };
    std::deque<Closed> kept;
    bool replacedSaid = false;
    bool uncheckedSaid = false;
    uint64_t emptiedSaid = 0;
};

// The CSV writer's text into the current file of a KeptFile.
class OutputSink : public compact::CsvSink {
  public:
    explicit OutputSink(KeptFile& output) : kept(output) {}
    bool write(std::string_view text, bool endsRow) override;
    bool close() override;
    std::string errorText() const override;

  private:
    KeptFile& kept;
};

// One CSV output: the writer and the file it writes (rotating with the run) or standard output.
class CsvFile {
  public:
    // `path`: the file, or "-" for standard output. The options must outlive it.
    CsvFile(const CompactCSV::Options& options, std::string path, const RotationSettings& rotation,
            Status* line);
    // Closes the current segment's file (flushed) and opens the file of `segment`; its first row
    // gets a header. A failure of segment 0 throws SetupError; a later one returns false with
    // end.error set. Standard output never rotates.
    bool start(const Segment& segment, RunEnd& end);
    void process(const compact::FrameView& frame, uint64_t receiveTimeNs) {
        writer.process(frame, receiveTimeNs);
    }
    // Flushes the buffered rows and checks the path. False, with end.error set (or the reader of
    // standard output gone or stalled), when the run cannot go on.
    bool keep(RunEnd& end);
    // The last rows, the file closed. False on failure (end.error set unless the reader of
    // standard output went away or stalled).
    bool finish(RunEnd& end);

    bool isOpen() const { return output.isOpen(); }
    uint64_t segmentBytes() const { return isOpen() ? output.file().bytesWritten() : 0; }
    // Rows in files a user can reach, and those that went with removed files.
    uint64_t rowsKept() const {
        return writer.rowsWritten() - output.recordsLost() - output.recordsInRemovedSegments();
    }
    uint64_t rowsLost() const { return output.recordsLost(); }
    uint64_t rowsSelected() const { return writer.rowsSelected(); }
    // Bytes in the files that hold the rows (headers included).
    uint64_t bytesWritten() const { return output.bytesWritten(); }
    const KeptFile& file() const { return output; }
    // True when the reader of standard output went away (an ordinary end, as with `| head`).
    bool readerGone() const;
    // True when the reader of standard output took nothing after a stop request.
    bool readerStalled() const { return isOpen() && output.file().readerStalled(); }

  private:
    KeptFile output;
    OutputSink sink;
    CompactCSV writer;
};

// Writes the rows of every frame to a CSV file (rotating with the run) or to standard output.
// Buffered rows reach the file at least once a second; every segment starts with its header. While
// no row has been written, it notes what the frames held (extent()); a filter that selects nothing
// the frames have is said once on standard error (hint()).
class CsvRun : public DatagramHandler {
  public:
    // Writes to `options.csvFile`, or standard output for "-", from the first segment on.
    CsvRun(const CompactCSV::Options& options, const RotationSettings& rotation, Status* line);
    void handle(const Decoded& datagram) override;
    bool keep(RunEnd& end) override;
    uint64_t segmentBytes() const override { return csv.segmentBytes(); }
    bool startSegment(const Segment& segment, RunEnd& end) override {
        return csv.start(segment, end);
    }
    bool finish(RunEnd& end) override { return csv.finish(end); }

    const FrameExtent& extent() const { return frames; }
    const std::string& hint() const { return filterHint; }
    const CsvFile& output() const { return csv; }

  private:
    const CompactCSV::Options& options;
    Status* line;
    CsvFile csv;
    std::chrono::steady_clock::time_point lastFlush;
    std::string filterHint;
    FrameExtent frames;
};

// Keeps every datagram, byte for byte, in a pcapng file (rotating with the run): raw IPv4 packets
// with the datagram's addresses and ports, time-stamped with its receive time in ns. Blocks collect
// in a buffer and reach the file whole, at least once a second.
class CaptureRun : public DatagramHandler {
  public:
    // Opens `path` (created or truncated). Throws SetupError.
    CaptureRun(const std::string& path, const RotationSettings& rotation, Status* line);
    void handle(const Decoded& datagram) override;
    bool keep(RunEnd& end) override;
    uint64_t segmentBytes() const override;
    bool startSegment(const Segment& segment, RunEnd& end) override;
    bool finish(RunEnd& end) override;

    uint64_t datagrams() const {
        return written - output.recordsLost() - output.recordsInRemovedSegments();
    }
    uint64_t bytesWritten() const { return output.bytesWritten(); }
    const KeptFile& file() const { return output; }

  private:
    bool flush(RunEnd* end);

    Status* line;
    KeptFile output;
    std::string fileStart;  // section header and interface description
    std::vector<uint8_t> buffer;
    size_t used = 0;
    uint64_t buffered = 0;  // blocks in the buffer
    uint64_t written = 0;   // blocks handed to the file
    uint16_t identification = 0;
    std::chrono::steady_clock::time_point lastFlush;
};

// One CSV file per sender (source address and the sender_id of a telegram's first module), named
// by a pattern with {address} and {sender_id}: each file a complete CSV with its own header, kept
// and rotated as the single CSV is. Senders whose names come out equal share a file. At most
// maxFiles files are open at once; the telegrams of further senders are counted, not written.
class PerSenderRun : public DatagramHandler {
  public:
    static constexpr size_t maxFiles = 64;
    // Senders told apart at most; those beyond are counted with the senders beyond the files.
    static constexpr size_t maxSenders = 4096;

    // `options.csvFile` is not used; `pattern` holds {address} and/or {sender_id}.
    PerSenderRun(const CompactCSV::Options& options, std::string pattern,
                 const RotationSettings& rotation, Status* line);
    void handle(const Decoded& datagram) override;
    bool keep(RunEnd& end) override;
    uint64_t segmentBytes() const override;
    bool startSegment(const Segment& segment, RunEnd& end) override;
    bool finish(RunEnd& end) override;

    // The file name of a sender, before rotation.
    static std::string fileName(const std::string& pattern, uint32_t address, uint32_t senderId);

    struct FileAccount {
        std::string name;  // the pattern filled in (the first segment's file without rotation)
        uint64_t rows = 0;
        std::vector<std::pair<uint32_t, uint32_t>> senders;  // address, sender_id
    };
    std::vector<FileAccount> accounts() const;
    uint64_t telegramsBeyond() const { return beyondTelegrams; }
    uint64_t sendersBeyond() const { return beyondSenders; }
    // True when senders beyond maxSenders came too: sendersBeyond() is then a lower bound.
    bool sendersBeyondAtLeast() const { return beyondSendersCapped; }
    uint64_t rowsKept() const;
    uint64_t rowsLost() const;

  private:
    struct File {
        std::string name;
        std::unique_ptr<CsvFile> csv;
        std::vector<std::pair<uint32_t, uint32_t>> senders;
    };
    // The file of a sender, opened on its first telegram; null beyond maxFiles or when it cannot
    // be opened (end.error is then set, and the run ends).
    File* fileFor(uint32_t address, uint32_t senderId);

    const CompactCSV::Options& options;
    const std::string pattern;
    const RotationSettings rotation;
    Status* line;
    std::vector<File> files;
    // Senders seen: address, sender_id, and the index of their file (maxFiles: none).
    struct Sender {
        uint32_t address;
        uint32_t senderId;
        size_t file;
    };
    std::vector<Sender> senders;
    size_t lastHit = 0;
    Segment segment;
    RunEnd opening;  // what a failed opening of a sender's file left
    uint64_t beyondTelegrams = 0;
    uint64_t beyondSenders = 0;
    bool beyondSendersCapped = false;
    std::chrono::steady_clock::time_point lastFlush;
};
