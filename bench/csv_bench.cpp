// CSV writer benchmarks on the realistic frame (16 lines x 240 beams x 3 echoes, all values,
// version 4, about 58 KB), every sink discarding the text:
//   AllColumns        CompactCSV::process of a validated frame, every column; bytes/s of CSV;
//   ToCharsBaseline   the baseline: the same values, taken from the frame beforehand into plain
//                     arrays, formatted with std::to_chars with the same separators into a
//                     64 KiB buffer that is handed to the sink when full; the formatting that
//                     no writer can avoid. Its text equals the writer's rows byte for byte;
//   DatagramAll       validation and writing of every column, as the receiver does per datagram;
//   DatagramNarrow    the same with --line 0 --beam 0:9: time per frame;
//   TreeAll, TreeNarrow  the previous release's path (tree decoder and stream writer) for
//                     reference.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/pipeline.h"
#include "compare.h"
#include "csv/compact_csv.h"
#include "csv/csv_sink.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "io/status.h"
#include "net/udp.h"
#include "oracle/tree_oracle.h"

namespace {

// Counts the text and drops it; keeps a copy only when asked, for checking.
class DiscardingSink : public compact::CsvSink {
  public:
    explicit DiscardingSink(bool keepText = false) : keep(keepText) {}
    bool write(std::string_view text, bool /*endsRow*/) override {
        bytes += text.size();
        if (keep) kept.append(text);
        return true;
    }
    std::string errorText() const override { return ""; }

    uint64_t bytes = 0;
    std::string kept;

  private:
    bool keep;
};

// The same for the stream writer of the previous release.
class DiscardingStreambuf : public std::streambuf {
  public:
    uint64_t bytes = 0;

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) ++bytes;
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        bytes += static_cast<uint64_t>(n);
        return n;
    }
};

const std::string& realisticFrame() {
    static const std::string bytes = [] {
        compact::FrameSpec frame;
        frame.modules.push_back(compact::makeModule(16, 240, 3));
        return compact::encodeFrame(frame);
    }();
    return bytes;
}

CompactCSV::Options narrowFilter() {
    CompactCSV::Options options;
    options.line = {0, 0};
    options.beam = {0, 9};
    return options;
}

// ---- the writer ----------------------------------------------------------------------------

void BM_AllColumns(benchmark::State& state) {
    const std::string& bytes = realisticFrame();
    compact::FrameView view;
    if (!view.parse(bytes.data(), bytes.size())) state.SkipWithError("frame refused");
    DiscardingSink sink;
    CompactCSV csv({}, sink);
    for (auto _ : state) csv.process(view);
    csv.flush();
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(csv.rowsWritten()));
}

// ---- the baseline: to_chars of the same values ---------------------------------------------

// The values of the frame's rows in the writer's column order: per line 6 integers (sender id,
// frame number, segment counter, line, time stamps), 3 floats (phi, theta start, theta stop),
// then per beam the property byte and distance and rssi of each echo.
struct RowValues {
    size_t rows = 0;
    size_t beamValuesPerRow = 0;
    std::vector<uint64_t> head;    // rows * 6
    std::vector<float> angles;     // rows * 3
    std::vector<uint16_t> values;  // rows * beamValuesPerRow
};

RowValues rowValues(const compact::FrameView& frame) {
    RowValues out;
    for (const compact::ModuleView& m : frame) {
        out.beamValuesPerRow = m.beams() * (1 + 2 * m.echoes());
        for (uint32_t line = 0; line < m.lines(); ++line) {
            ++out.rows;
            out.head.insert(out.head.end(), {m.senderId(), m.frameNumber(), m.segmentCounter(),
                                             line, m.timestampStart(line), m.timestampStop(line)});
            out.angles.insert(out.angles.end(),
                              {m.phi(line), m.thetaStart(line), m.thetaStop(line)});
            for (uint32_t beam = 0; beam < m.beams(); ++beam) {
                out.values.push_back(m.properties(beam, line));
                for (uint32_t echo = 0; echo < m.echoes(); ++echo) {
                    out.values.push_back(m.distance(beam, line, echo));
                    out.values.push_back(m.rssi(beam, line, echo));
                }
            }
        }
    }
    return out;
}

// A 64 KiB buffer handed to the sink whenever fewer than 32 bytes are free: room for any one
// value and its separator.
class ToCharsWriter {
  public:
    explicit ToCharsWriter(compact::CsvSink& target) : sink(target) {}

    template <typename T>
    void value(T number, char separator) {
        if (size - used < 32) flush();
        char* at = buffer.get() + used;
        if constexpr (std::is_floating_point_v<T>) {
            at = std::to_chars(at, at + 32, static_cast<double>(number), std::chars_format::general,
                               6)
                     .ptr;
        } else {
            at = std::to_chars(at, at + 32, number).ptr;
        }
        *at++ = separator;
        used = static_cast<size_t>(at - buffer.get());
    }

    void writeRows(const RowValues& rows) {
        for (size_t row = 0; row < rows.rows; ++row) {
            const uint64_t* head = &rows.head[row * 6];
            for (int i = 0; i < 6; ++i) value(head[i], ',');
            const float* angles = &rows.angles[row * 3];
            for (int i = 0; i < 3; ++i) value(angles[i], ',');
            const uint16_t* values = &rows.values[row * rows.beamValuesPerRow];
            const size_t last = rows.beamValuesPerRow - 1;
            for (size_t i = 0; i < last; ++i) value(values[i], ',');
            value(values[last], '\n');
        }
    }

    void flush() {
        sink.write({buffer.get(), used}, false);
        used = 0;
    }

  private:
    static constexpr size_t size = size_t{64} << 10;
    compact::CsvSink& sink;
    std::unique_ptr<char[]> buffer = std::make_unique<char[]>(size);
    size_t used = 0;
};

void BM_ToCharsBaseline(benchmark::State& state) {
    const std::string& bytes = realisticFrame();
    compact::FrameView view;
    if (!view.parse(bytes.data(), bytes.size())) state.SkipWithError("frame refused");
    const RowValues rows = rowValues(view);

    // Same work as the writer: its rows of one frame, without the header, are this text.
    DiscardingSink writerText(true), baselineText(true);
    {
        CompactCSV csv({}, writerText);
        csv.process(view);
        csv.finish();
        ToCharsWriter check(baselineText);
        check.writeRows(rows);
        check.flush();
    }
    const std::string& text = writerText.kept;
    if (text.substr(text.find('\n') + 1) != baselineText.kept) {
        state.SkipWithError("the baseline's text differs from the writer's rows");
        return;
    }

    DiscardingSink sink;
    ToCharsWriter writer(sink);
    for (auto _ : state) writer.writeRows(rows);
    writer.flush();
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows.rows));
}

// ---- per datagram, as the receiver handles it ----------------------------------------------

// The CSV run's work on a decoded datagram, into the benchmark's sink.
struct Rows : DatagramHandler {
    explicit Rows(CompactCSV& csv) : writer(csv) {}
    void handle(const Decoded& datagram) override {
        if (datagram.frame != nullptr)
            writer.process(*datagram.frame, datagram.datagram.receiveTimeNs);
    }
    CompactCSV& writer;
};

void datagrams(benchmark::State& state, const CompactCSV::Options& options) {
    const std::string& bytes = realisticFrame();
    DiscardingSink sink;
    CompactCSV csv(options, sink);
    Status status("", 5000);
    Pipeline pipeline(status);
    Rows rows(csv);
    pipeline.add(rows);
    const compact::UdpDatagram datagram{
        0x7F000001,
        0x7F000001,
        40000,
        2115,
        {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
        1};
    for (auto _ : state) pipeline.handle(datagram);
    if (status.parseErrors() != 0) state.SkipWithError("frame refused");
    csv.flush();
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(csv.rowsWritten()));
    state.counters["datagram_bytes_per_second"] = benchmark::Counter(
        static_cast<double>(bytes.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

void BM_DatagramAll(benchmark::State& state) { datagrams(state, {}); }
void BM_DatagramNarrow(benchmark::State& state) { datagrams(state, narrowFilter()); }

// ---- the previous release: tree decoder and stream writer ----------------------------------

void tree(benchmark::State& state, const CompactCSV::Options& options) {
    const std::string& bytes = realisticFrame();
    DiscardingStreambuf sink;
    std::ostream out(&sink);
    oracle::TreeCsv csv(options, out);
    for (auto _ : state) {
        if (!csv.process(bytes)) {
            state.SkipWithError("frame refused");
            break;
        }
    }
    out.flush();
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
    state.counters["datagram_bytes_per_second"] = benchmark::Counter(
        static_cast<double>(bytes.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

void BM_TreeAll(benchmark::State& state) { tree(state, {}); }
void BM_TreeNarrow(benchmark::State& state) { tree(state, narrowFilter()); }

BENCHMARK(BM_AllColumns);
BENCHMARK(BM_ToCharsBaseline);
BENCHMARK(BM_DatagramAll);
BENCHMARK(BM_DatagramNarrow);
BENCHMARK(BM_TreeAll);
BENCHMARK(BM_TreeNarrow);

}  // namespace

int main(int argc, char** argv) {
    using bench::Comparison;
    return bench::runAndCompare(
        argc, argv,
        {
            Comparison{"all columns: writer / to_chars baseline", "BM_AllColumns",
                       "BM_ToCharsBaseline", bench::Speed::bytesPerSecond, 0.70},
            Comparison{"all columns per datagram: view path / previous tree path", "BM_DatagramAll",
                       "BM_TreeAll"},
            Comparison{"narrow filter per datagram: view path / previous tree path",
                       "BM_DatagramNarrow", "BM_TreeNarrow", bench::Speed::iterationsPerSecond},
        },
        {
            bench::TimeLimit{"narrow filter: validate + select + write, per frame",
                             "BM_DatagramNarrow", 5000},
        });
}
