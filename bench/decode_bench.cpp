// Decode throughput in bytes of datagram per second, for a realistic frame (16 lines x 240 beams
// x 3 echoes, all values, version 4, about 58 KB) and a one-echo frame (115 bytes). Each decoder
// validates the datagram and reads every value of it once:
//   View      the frame view: FrameView::parse, then every value through ModuleView;
//   Pointer   the baseline: a bounds-checked pointer reader, written here, that walks the frame
//             field by field in wire order; the least work that reads every value safely;
//   Tree      the object-tree decoder of the previous release (kstream + compact_frame_magic_t),
//             then every value through the tree, for reference.
// All three sum the same values (floats by their bits); a differing sum stops the benchmark.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "compare.h"
#include "format/compact_frame_magic.h"
#include "format/compact_wire.h"
#include "format/frame_view.h"
#include "format/kaitaistream.h"
#include "generators/compact_frame_builder.h"

namespace {

namespace wire = compact::wire;

std::string frameBytes(uint32_t lines, uint32_t beams, uint32_t echoes) {
    compact::FrameSpec frame;
    frame.modules.push_back(compact::makeModule(lines, beams, echoes));
    return compact::encodeFrame(frame);
}

const std::string& realisticFrame() {
    static const std::string bytes = frameBytes(16, 240, 3);
    return bytes;
}

const std::string& oneEchoFrame() {
    static const std::string bytes = frameBytes(1, 1, 1);
    return bytes;
}

uint64_t bits(float value) { return std::bit_cast<uint32_t>(value); }

// ---- the frame view ------------------------------------------------------------------------

// Every value of a parsed frame that the receiver uses, read through the view's accessors in wire
// order.
uint64_t sumView(const compact::FrameView& frame) {
    uint64_t sum = frame.telegramCounter() + frame.telegramVersion();
    for (const compact::ModuleView& module : frame) {
        sum += module.segmentCounter() + module.frameNumber() + module.senderId() +
               module.numLines() + module.numBeams() + module.numEchos();
        const uint32_t lines = module.lines();
        for (uint32_t line = 0; line < lines; ++line) sum += module.timestampStart(line);
        for (uint32_t line = 0; line < lines; ++line) sum += module.timestampStop(line);
        for (uint32_t line = 0; line < lines; ++line) sum += bits(module.phi(line));
        for (uint32_t line = 0; line < lines; ++line) sum += bits(module.thetaStart(line));
        for (uint32_t line = 0; line < lines; ++line) sum += bits(module.thetaStop(line));
        sum += bits(module.distanceScalingFactor()) + module.dataContentEchos() +
               module.dataContentBeams();
        const uint32_t beams = module.beams();
        const uint32_t echoes = module.echoes();
        for (uint32_t beam = 0; beam < beams; ++beam) {
            for (uint32_t line = 0; line < lines; ++line) {
                for (uint32_t echo = 0; echo < echoes; ++echo) {
                    sum += module.distance(beam, line, echo) + module.rssi(beam, line, echo);
                }
                sum += module.properties(beam, line) + module.thetaRaw(beam, line);
            }
        }
    }
    return sum;
}

std::optional<uint64_t> decodeView(const std::string& bytes) {
    compact::FrameView frame;
    if (!frame.parse(bytes.data(), bytes.size())) return std::nullopt;
    return sumView(frame);
}

// ---- the baseline: a bounds-checked pointer reader -----------------------------------------

// Reads little-endian fields one after the other; a read past the end marks the reader failed
// and returns 0.
class PointerReader {
  public:
    explicit PointerReader(const std::string& bytes)
        : at(reinterpret_cast<const uint8_t*>(bytes.data())), end(at + bytes.size()) {}

    template <typename T>
    T read() {
        T value{};
        if (static_cast<size_t>(end - at) < sizeof value) {
            failed = true;
            return value;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    bool ok() const { return !failed; }
    size_t left() const { return static_cast<size_t>(end - at); }

  private:
    const uint8_t* at;
    const uint8_t* end;
    bool failed = false;
};

// Counts as the format takes them: 2^31 and above stand for none.
uint32_t elements(uint32_t count) { return static_cast<int32_t>(count) > 0 ? count : 0; }

std::optional<uint64_t> decodePointer(const std::string& bytes) {
    PointerReader in(bytes);
    uint64_t sum = 0;
    if (in.read<uint32_t>() != 0x02020202u || !in.ok()) return std::nullopt;
    sum += in.read<uint32_t>();  // header word 0
    sum += in.read<uint64_t>();  // telegram counter
    sum += in.read<uint64_t>();  // header word 2
    const uint32_t version = in.read<uint32_t>();
    if (!in.ok() || version < 3 || version > 4) return std::nullopt;
    sum += version;
    uint32_t moduleSize = in.read<uint32_t>();
    sum += moduleSize;
    while (moduleSize != 0 && in.ok()) {
        // One read per statement: the order of reads within an expression is unspecified.
        sum += in.read<uint64_t>();  // segment counter
        sum += in.read<uint64_t>();  // frame number
        sum += in.read<uint32_t>();  // sender id
        const uint32_t numLines = in.read<uint32_t>();
        const uint32_t numBeams = in.read<uint32_t>();
        const uint32_t numEchos = in.read<uint32_t>();
        sum += uint64_t{numLines} + numBeams + numEchos;
        const uint32_t lines = elements(numLines);
        const uint32_t beams = elements(numBeams);
        const uint32_t echoes = elements(numEchos);
        if (!in.ok() || lines > in.left() / wire::perLineMetadataBytes) return std::nullopt;
        for (uint32_t line = 0; line < lines; ++line) sum += in.read<uint64_t>();
        for (uint32_t line = 0; line < lines; ++line) sum += in.read<uint64_t>();
        for (uint32_t line = 0; line < lines * 3; ++line) sum += bits(in.read<float>());
        if (version >= 4) sum += bits(in.read<float>());
        moduleSize = in.read<uint32_t>();
        sum += moduleSize + in.read<uint8_t>();
        const uint8_t echoFlags = in.read<uint8_t>();
        const uint8_t beamFlags = in.read<uint8_t>();
        sum += echoFlags + beamFlags + in.read<uint8_t>();
        const bool distance = echoFlags & 1, rssi = echoFlags & 2;
        const bool theta = beamFlags & 2, properties = beamFlags & 1;
        for (uint32_t beam = 0; beam < beams && in.ok(); ++beam) {
            for (uint32_t line = 0; line < lines; ++line) {
                for (uint32_t echo = 0; echo < echoes; ++echo) {
                    if (distance) sum += in.read<uint16_t>();
                    if (rssi) sum += in.read<uint16_t>();
                }
                if (version >= 4) {
                    if (properties) sum += in.read<uint8_t>();
                    if (theta) sum += in.read<uint16_t>();
                } else {
                    if (theta) sum += in.read<uint16_t>();
                    if (properties) sum += in.read<uint8_t>();
                }
            }
        }
    }
    sum += in.read<uint32_t>();  // trailer word
    if (!in.ok()) return std::nullopt;
    return sum;
}

// ---- the previous release's object tree ----------------------------------------------------

std::optional<uint64_t> decodeTree(const std::string& bytes) {
    try {
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t magic(&io);
        const ravo::compact_frame_t& frame = *magic.frame();
        const auto& header = *frame.header();
        uint64_t sum = header.header_word_0() + header.telegram_counter() + header.header_word_2() +
                       header.telegram_version() + header.first_module_size();
        for (const auto& module : *frame.modules()) {
            const auto& meta = *module->metadata();
            sum += meta.segment_counter() + meta.frame_number() + meta.sender_id() +
                   meta.num_lines() + meta.num_beams() + meta.num_echos();
            for (uint64_t value : *meta.timestamp_start()) sum += value;
            for (uint64_t value : *meta.timestamp_stop()) sum += value;
            for (float value : *meta.phi()) sum += bits(value);
            for (float value : *meta.theta_start()) sum += bits(value);
            for (float value : *meta.theta_stop()) sum += bits(value);
            const auto& echoFlags = *meta.data_content_echos();
            const auto& beamFlags = *meta.data_content_beams();
            sum +=
                bits(meta.distance_scaling_factor()) + meta.next_module_size() +
                meta.metadata_byte_13() +
                (echoFlags.reserved() << 2 | echoFlags.has_rssi() << 1 | echoFlags.has_distance()) +
                (beamFlags.reserved() << 2 | beamFlags.has_theta() << 1 |
                 beamFlags.has_properties()) +
                meta.metadata_byte_16();
            for (const auto& beam : *module->beams()) {
                for (const auto& measurement : *beam->measurement_data()) {
                    for (const auto& echo : *measurement->echos()) {
                        sum += echo->distance_raw() + echo->rssi();
                    }
                    if (const auto* p = measurement->beam_properties()) {
                        sum += p->upper_bits() * 2 + p->bit_0();
                    }
                    sum += measurement->theta();
                }
            }
        }
        return sum + frame.trailer_word();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// ---- the benchmarks ------------------------------------------------------------------------

using Decoder = std::optional<uint64_t> (*)(const std::string&);

void run(benchmark::State& state, const std::string& bytes, Decoder decode) {
    // The same values must come out of every decoder, or the figures compare different work.
    const std::optional<uint64_t> expected = decodePointer(bytes);
    if (!expected || decode(bytes) != expected) {
        state.SkipWithError("the decoders disagree on the frame");
        return;
    }
    for (auto _ : state) {
        const std::optional<uint64_t> sum = decode(bytes);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
    state.counters["datagram_bytes"] = static_cast<double>(bytes.size());
}

void BM_ViewRealistic(benchmark::State& state) { run(state, realisticFrame(), decodeView); }
void BM_PointerRealistic(benchmark::State& state) { run(state, realisticFrame(), decodePointer); }
void BM_TreeRealistic(benchmark::State& state) { run(state, realisticFrame(), decodeTree); }
void BM_ViewOneEcho(benchmark::State& state) { run(state, oneEchoFrame(), decodeView); }
void BM_PointerOneEcho(benchmark::State& state) { run(state, oneEchoFrame(), decodePointer); }
void BM_TreeOneEcho(benchmark::State& state) { run(state, oneEchoFrame(), decodeTree); }

// Validation alone, for seeing where the view's time goes.
void BM_ViewParseOnlyRealistic(benchmark::State& state) {
    const std::string& bytes = realisticFrame();
    for (auto _ : state) {
        compact::FrameView frame;
        benchmark::DoNotOptimize(frame.parse(bytes.data(), bytes.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}

BENCHMARK(BM_ViewRealistic);
BENCHMARK(BM_PointerRealistic);
BENCHMARK(BM_TreeRealistic);
BENCHMARK(BM_ViewParseOnlyRealistic);
BENCHMARK(BM_ViewOneEcho);
BENCHMARK(BM_PointerOneEcho);
BENCHMARK(BM_TreeOneEcho);

}  // namespace

int main(int argc, char** argv) {
    using bench::Comparison;
    return bench::runAndCompare(
        argc, argv,
        {
            Comparison{"realistic frame: view / pointer reader", "BM_ViewRealistic",
                       "BM_PointerRealistic", bench::Speed::bytesPerSecond, 0.60},
            Comparison{"realistic frame: view / previous tree decoder", "BM_ViewRealistic",
                       "BM_TreeRealistic"},
            Comparison{"realistic frame: tree decoder / pointer reader", "BM_TreeRealistic",
                       "BM_PointerRealistic"},
            Comparison{"one-echo frame: view / pointer reader", "BM_ViewOneEcho",
                       "BM_PointerOneEcho"},
            Comparison{"one-echo frame: view / previous tree decoder", "BM_ViewOneEcho",
                       "BM_TreeOneEcho"},
        },
        {});
}
