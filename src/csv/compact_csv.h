// CSV writer: selects lines, beams and echoes of decoded Compact frames and writes them as rows.
// Selection and text work on any stream; opening, flushing and closing the output file live apart
// in output_file.cpp, the one unit of this layer that touches the file system.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace ravo {
class compact_frame_t;
}

// Writes the selected lines of decoded frames as comma-separated rows, each under a header line
// that names its columns. A header is written before the first row and again whenever a row's
// column set (first/last beam, first/last echo) differs from the one of the last header.
//
// Values are written straight to the stream with its default formatting: integers in decimal,
// angles in radians as the float widened to double at precision 6 (printf "%g"), distances raw.
// A value the frame does not carry (no property byte, no distance, no rssi) is an empty field, so
// rows always match their header. Rows end with '\n' and are never flushed one by one.
//
// Write errors do not stop the writer (a failed stream drops output); the caller asks failed()
// after each process() and calls finish() once at the end to learn about errors of the final flush.
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
    };

    // Opens options.csvFile for writing (truncating an existing file) or, for "-", takes
    // std::cout (not owned). If the file cannot be opened, writes "Failed to open file for
    // writing" to standard error and ends the process with exit status 1. The options are copied.
    explicit CompactCSV(const Options& options);

    // Writes to the caller's stream, which is not owned and must outlive the writer.
    // options.csvFile is ignored.
    CompactCSV(const Options& options, std::ostream& out);

    CompactCSV(const CompactCSV&) = delete;
    CompactCSV& operator=(const CompactCSV&) = delete;

    // Calls finish(); a failure found there is lost, so callers that care call finish() first.
    ~CompactCSV();

    // Selects the lines, beams and echoes of every module of the frame and writes one row per
    // selected line, each preceded by a header when its column set changed. A null frame writes
    // nothing. Reads nothing outside the frame's arrays, whatever the filters say. Afterwards the
    // stream state is checked once (see failed()). Does not throw for any decoded frame (only
    // std::bad_alloc from the stream can escape).
    void process(ravo::compact_frame_t* frame);

    // Writes one header line for the column set: the static names, then per beam b in
    // beamFirst..beamLast its property column followed by a dist and an rssi column for each echo
    // in echoFirst..echoLast. An empty range (first above last) adds no columns. Does not record
    // the column set; process() does that.
    void writeHeader(int beamFirst, int beamLast, int echoFirst, int echoLast);

    // Flushes the output and closes the writer's own file (standard output and a caller's stream
    // are only flushed), then checks the stream once more. Returns !failed(). Afterwards process()
    // and writeHeader() write nothing. Calling it again does nothing more.
    bool finish();

    // True once a check (after process() or in finish()) found the output stream failed.
    bool failed() const { return streamFailed; }

    // The system's text for the error that made the stream fail (for example "No space left on
    // device"), or "" while failed() is false.
    const std::string& errorText() const { return failureText; }

    // Number of data rows written so far (headers not counted).
    uint64_t rowsWritten() const { return rows; }

  private:
    // An inclusive index range; empty when first > last.
    struct Range {
        int first = 0;
        int last = -1;
        bool empty() const { return first > last; }
    };

    // One module's arrays and extents, gathered once per module (defined with the writer's code).
    struct ModuleView;

    void processModule(const ModuleView& module);
    void writeRow(const ModuleView& module, int line, Range beams, Range echoes);
    void checkStream();

    Options options;
    std::unique_ptr<std::ofstream> file;  // set when the writer owns a file
    std::ostream* out = nullptr;          // the output; null after finish()
    // Column set of the last header; -1 stands for "no header yet", which no row's set equals.
    int lastBeamFirst = -1;
    int lastBeamLast = -1;
    int lastEchoFirst = -1;
    int lastEchoLast = -1;
    uint64_t rows = 0;
    bool streamFailed = false;
    std::string failureText;
};
