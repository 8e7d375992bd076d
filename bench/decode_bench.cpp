// Decode throughput of Compact datagrams, in bytes of datagram per second: a realistic frame
// (16 lines x 240 beams x 3 echoes, all values, about 58 KB) and a minimal one-echo frame.
#include <benchmark/benchmark.h>

#include <string>

#include "format/compact_frame_magic.h"
#include "format/kaitaistream.h"
#include "generators/compact_frame_builder.h"

namespace {

std::string frameBytes(uint32_t lines, uint32_t beams, uint32_t echoes) {
    compact::FrameSpec frame;
    frame.modules.push_back(compact::makeModule(lines, beams, echoes));
    return compact::encodeFrame(frame);
}

// One datagram as the receive loop handles it: wrap the bytes in a stream, decode the tree.
void decodeFrame(benchmark::State& state, const std::string& bytes) {
    for (auto _ : state) {
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t frame(&io);
        benchmark::DoNotOptimize(frame.frame()->trailer_word());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
    state.counters["datagram_bytes"] = static_cast<double>(bytes.size());
}

void BM_DecodeRealisticFrame(benchmark::State& state) {
    static const std::string bytes = frameBytes(16, 240, 3);
    decodeFrame(state, bytes);
}
BENCHMARK(BM_DecodeRealisticFrame);

void BM_DecodeOneEchoFrame(benchmark::State& state) {
    static const std::string bytes = frameBytes(1, 1, 1);  // 115 bytes
    decodeFrame(state, bytes);
}
BENCHMARK(BM_DecodeOneEchoFrame);

}  // namespace
