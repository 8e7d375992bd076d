// CSV writer: selects lines, beams and echoes of Compact frames and writes them as rows to a
// caller's sink; nothing here touches a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "csv/csv_sink.h"

namespace compact {
class FrameView;
class ModuleView;
class PointMaker;
struct PointColumns;
}  // namespace compact

// Writes the selected lines of decoded frames as comma-separated rows, each under a header line
// that names its columns. A header is written before the first row and again whenever a row's
// column set (first/last beam, first/last echo) differs from the one of the last header.
//
// Values are formatted as a standard stream does by default: integers in decimal, angles in
// radians as the float widened to double at precision 6 (printf "%g"), distances raw. A value the
// frame does not carry (no property byte, no distance, no rssi) is an empty field, so rows always
// match their header. Rows end with '\n'. Text collects in the writer's own buffer and goes to the
// sink in chunks of whole rows when the buffer is full, on flush() and on finish(), never row by
// row.
//
// After a write error the writer drops all further output; the caller asks failed() after each
// process() and calls finish() once at the end to learn about errors of the last writes.
class CompactCSV {
  public:
    // The settings of one run. Integer ranges are inclusive and hold either nothing (no filter) or
    // exactly two values, lowest first. Angle ranges are in radians and hold nothing, one value or
    // two values, lowest first. beam/theta and line/phi are never both set.
    struct Options {
        std::string csvFile{};       // output path; "-" = standard output
        std::vector<int> segment{};  // segment counters (low 32 bits, signed): empty or {lo, hi}
        std::vector<int> beam{};     // beam indices within a module: empty or {lo, hi}
        std::vector<float> theta{};  // radians: empty, {one} or {lo, hi}; beams found per line
        std::vector<int> line{};     // line indices within a module: empty or {lo, hi}
        std::vector<float> phi{};    // radians: empty, {one} (see phiTolerance) or {lo, hi}
        std::vector<int> echo{};     // echo indices within a beam: empty or {lo, hi}
        bool shortHeaders = false;   // column names like B42E0D instead of beam[42]_echo[0]_dist
        bool omitAngles = false;     // leave out the phi, theta_start and theta_stop columns
        float phiTolerance = 0.0f;   // radians; a single phi matches a line within this distance
        bool receiveTime = false;    // a first column receive_time: when the datagram arrived
        bool points = false;         // one row per point (x, y, z) instead of one per line
    };

    // Writes to the caller's sink or stream, which is not owned and must outlive the writer.
    // options.csvFile is not used.
    CompactCSV(const Options& options, compact::CsvSink& sink);
    CompactCSV(const Options& options, std::ostream& out);

    CompactCSV(const CompactCSV&) = delete;
    CompactCSV& operator=(const CompactCSV&) = delete;

    // Calls finish(); a failure found there is lost, so callers that care call finish() first.
    ~CompactCSV();

    // Selects the lines, beams and echoes of every module of a validated frame and writes one row
    // per selected line, each preceded by a header when its column set changed. Reads nothing
    // outside the frame's arrays, whatever the filters say, and only the values it writes. Never
    // throws; allocates nothing once the buffer exists. With options.receiveTime every row starts
    // with `receiveTimeNs`: when the datagram arrived, in ns since 1970 (UTC).
    //
    // With options.points the rows are the frame's points instead (see compact::PointMaker), one
    // row each under one header that never changes: sender_id, frame_number, segment_counter, line,
    // beam, echo, timestamp_start, phi, theta, distance, rssi, properties, x, y, z; the doubles as
    // printf's "%g" writes them, a value the frame does not carry as an empty field.
    void process(const compact::FrameView& frame, uint64_t receiveTimeNs = 0);

    // A line of a module that the options select, with the column set of its row.
    struct Selection {
        int line;
        int beamFirst;
        int beamLast;
        int echoFirst;
        int echoLast;
    };
    // The rows process() writes for the module, in their order, without writing them: `out` is
    // cleared and filled (its capacity is kept, so a caller that reuses it allocates nothing).
    void selection(const compact::ModuleView& module, std::vector<Selection>& out) const;

    // Writes one header line for the column set: the static names, then per beam b in
    // beamFirst..beamLast its property column followed by a dist and an rssi column for each echo
    // in echoFirst..echoLast. An empty range (first above last) adds no columns. Does not record
    // the column set; process() does that.
    void writeHeader(int beamFirst, int beamLast, int echoFirst, int echoLast);

    // Hands the buffered rows to the sink. Returns !failed().
    bool flush();
    // True while rows wait in the buffer.
    bool hasBufferedRows() const { return used > 0; }
    // The next row gets a header line whatever its columns (the output starts anew).
    void forgetHeader() { lastHeader = Columns{}; }
    // The header line in effect where the text not yet handed to the sink starts, for an output
    // that starts anew there (a file emptied or created again); "" when that text begins with a
    // header of its own or no row was written yet.
    std::string restartText() const;

    // Flushes, then ends the sink (closing the writer's own file; standard output and a caller's
    // stream stay open). Returns !failed(). Afterwards process() and writeHeader() write nothing.
    // Calling it again does nothing more.
    bool finish();

    // True once a write to the sink failed.
    bool failed() const { return outputFailed; }

    // The reason of the failure (for example "No space left on device"), or "" while failed() is
    // false.
    const std::string& errorText() const { return failureText; }

    // Data rows handed to the sink so far (headers not counted); after a failed write, the rows
    // the sink kept.
    uint64_t rowsWritten() const { return rows; }
    // Data rows selected so far, whether written, buffered or lost to a failed write.
    uint64_t rowsSelected() const { return rowsChosen; }
    // Bytes handed to the sink so far, headers included.
    uint64_t bytesWritten() const { return bytesSent; }

    // Size of the writer's buffer: text reaches the sink in chunks of whole rows of at most this
    // many bytes. A longer row grows the buffer up to maxRowBytes, so that it too goes out whole;
    // only a row longer than that leaves in pieces.
    static constexpr size_t bufferBytes = size_t{64} << 10;
    static constexpr size_t maxRowBytes = size_t{64} << 20;

  private:
    // A column set: first and last beam, first and last echo.
    struct Columns {
        int beamFirst = -1, beamLast = -1, echoFirst = -1, echoLast = -1;
        bool operator==(const Columns&) const = default;
    };
    // The header line of a column set, line feed included.
    void headerLine(const Columns& columns, std::string& text) const;

    // An inclusive index range; empty when first > last.
    struct Range {
        int first = 0;
        int last = -1;
        bool empty() const { return first > last; }
    };

    void processModule(const compact::ModuleView& module, uint64_t receiveTimeNs);
    void processPoints(const compact::FrameView& frame, uint64_t receiveTimeNs);
    // Calls emit(line, beams, echoes) for every selected line of the module, in row order.
    template <typename Emit>
    void selectRows(const compact::ModuleView& module, Emit&& emit) const;
    void writeRow(const compact::ModuleView& module, int line, Range beams, Range echoes,
                  uint64_t receiveTimeNs);

    // Makes room for `bytes` more characters (at most a few dozen) in the buffer, handing
    // complete rows to the sink first.
    char* room(size_t bytes) {
        if (capacity - used < bytes) [[unlikely]]
            makeRoom(bytes);
        return buffer.get() + used;
    }
    void makeRoom(size_t bytes);
    void put(char c) { *room(1) = c, ++used; }
    void put(std::string_view text);
    void putUnsigned(uint64_t value);
    void putSigned(int64_t value);
    void putDouble(double value);
    void putFloat(float value);
    void endRow() { put('\n'), rowStart = used; }
    void spill();
    bool send(size_t size, bool endsRow);
    // Sends the first `size` characters, which end at a row boundary, and counts their rows.
    bool sendRows(size_t size);

    Options options;
    std::unique_ptr<compact::CsvSink> ownSink;  // set for a caller's stream
    compact::CsvSink* sink = nullptr;           // null after finish()
    std::unique_ptr<char[]> buffer;
    size_t capacity = bufferBytes;
    size_t used = 0;      // characters in the buffer
    size_t rowStart = 0;  // where the row being written starts; text before it is whole rows
    // Column set of the last header, and of the last header handed to the sink; -1 stands for
    // "no header yet", which no row's set equals.
    Columns lastHeader;
    Columns sentHeader;
    std::string headerScratch;  // reused for the text of a header line
    // The points of a frame, with options.points; their columns keep their room between frames.
    std::unique_ptr<compact::PointMaker> pointMaker;
    std::unique_ptr<compact::PointColumns> pointColumns;
    uint64_t rows = 0;
    uint64_t bufferedRows = 0;  // complete rows in the buffer
    uint64_t rowsChosen = 0;
    uint64_t bytesSent = 0;
    bool outputFailed = false;
    std::string failureText;
};
