// Benchmarks of the CSV writer: text throughput of a full frame and row rate with a narrow filter.
#include <benchmark/benchmark.h>

#include <ostream>
#include <streambuf>

#include "csv/compact_csv.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"

namespace {

// Discards everything written to it and counts the bytes, so that only the writer's own work
// (selection and formatting) is measured.
class CountingBuffer : public std::streambuf {
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

// The realistic frame: one module of 16 lines, 240 beams and 3 echoes, all values present,
// version 4 (about 58 KB on the wire).
std::string realisticFrame() {
    compact::FrameSpec frame;
    frame.modules.push_back(compact::makeModule(16, 240, 3));
    return compact::encodeFrame(frame);
}

void writeFrame(benchmark::State& state, const CompactCSV::Options& options) {
    const std::string bytes = realisticFrame();
    compact::FrameView view;
    if (!view.parse(bytes.data(), bytes.size())) state.SkipWithError("frame refused");
    CountingBuffer sink;
    std::ostream out(&sink);
    CompactCSV csv(options, out);
    for (auto _ : state) csv.process(view);
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(csv.rowsWritten()));
    state.counters["frame_bytes"] = static_cast<double>(bytes.size());
}

// Every line with every beam and echo: bytes/s is CSV text produced.
void BM_CsvAllColumns(benchmark::State& state) { writeFrame(state, {}); }
BENCHMARK(BM_CsvAllColumns);

// Line 0, beams 0..9: items/s is rows written.
void BM_CsvNarrowFilter(benchmark::State& state) {
    writeFrame(state, {.beam = {0, 9}, .line = {0, 0}});
}
BENCHMARK(BM_CsvNarrowFilter);

}  // namespace
