// CSV writer: selects lines, beams and echoes of decoded Compact frames and writes them as rows.
#include "csv/compact_csv.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>

#include "format/compact_frame.h"

using Frame = ravo::compact_frame_t;

namespace {

const std::vector<uint64_t> noTimestamps;
const std::vector<float> noAngles;
const std::vector<std::unique_ptr<Frame::beam_t>> noBeams;

template <typename T>
const T& orEmpty(const T* vector, const T& empty) {
    return vector != nullptr ? *vector : empty;
}

// Vector sizes as int, the index type of the selection; the decoder caps the objects of a
// datagram far below INT_MAX, so the clamp only guards hand-built trees.
int sizeAsInt(size_t size) {
    return static_cast<int>(std::min<size_t>(size, std::numeric_limits<int>::max()));
}

}  // namespace

struct CompactCSV::ModuleView {
    explicit ModuleView(const Frame::module_t& module)
        : meta(*module.metadata()),
          beams(orEmpty(module.beams(), noBeams)),
          timestampStart(orEmpty(meta.timestamp_start(), noTimestamps)),
          timestampStop(orEmpty(meta.timestamp_stop(), noTimestamps)),
          phi(orEmpty(meta.phi(), noAngles)),
          thetaStart(orEmpty(meta.theta_start(), noAngles)),
          thetaStop(orEmpty(meta.theta_stop(), noAngles)) {
        beamCount = sizeAsInt(beams.size());
        // A line is only written if every per-line array and every beam has an entry for it.
        size_t lines = std::min({timestampStart.size(), timestampStop.size(), phi.size(),
                                 thetaStart.size(), thetaStop.size()});
        for (const auto& beam : beams) {
            const auto* data = beam ? beam->measurement_data() : nullptr;
            lines = std::min(lines, data != nullptr ? data->size() : size_t{0});
        }
        lineCount = sizeAsInt(lines);
        // Echoes per beam: those of the first beam in the first line, none if there is no such
        // measurement. Rows check every other measurement's echoes against this.
        if (beamCount > 0 && lineCount > 0) {
            const auto& first = (*beams[0]->measurement_data())[0];
            if (first && first->echos() != nullptr) echoCount = sizeAsInt(first->echos()->size());
        }
    }

    const Frame::metadata_t& meta;
    const std::vector<std::unique_ptr<Frame::beam_t>>& beams;
    const std::vector<uint64_t>& timestampStart;
    const std::vector<uint64_t>& timestampStop;
    const std::vector<float>& phi;
    const std::vector<float>& thetaStart;
    const std::vector<float>& thetaStop;
    int beamCount = 0;
    int lineCount = 0;
    int echoCount = 0;
};

void CompactCSV::checkStream() {
    if (streamFailed || !out->fail()) return;
    streamFailed = true;
    // errno was cleared before the writes being checked, so a value here comes from the failed
    // write or close.
    const int error = errno;
    failureText = error != 0 ? std::strerror(error) : "output stream failed";
}

void CompactCSV::process(Frame* frame) {
    if (frame == nullptr || out == nullptr) return;
    errno = 0;
    if (const auto* modules = frame->modules()) {
        for (const auto& module : *modules) {
            if (module && module->metadata() != nullptr) processModule(ModuleView(*module));
        }
    }
    checkStream();
}

namespace {

// Clips a {lo, hi} filter to 0 .. count - 1; an empty filter gives the whole extent.
template <typename Range>
Range clipped(const std::vector<int>& filter, int count) {
    if (filter.size() != 2) return Range{0, count - 1};
    return Range{std::max(filter[0], 0), std::min(filter[1], count - 1)};
}

// The beam nearest to an angle on a line whose beams lie at start + b * step, rounded halves
// away from zero. False when the index falls outside 0 .. beamCount - 1 or is not finite.
bool beamAtAngle(float angle, float start, float step, int beamCount, int& beam) {
    const float quotient = (angle - start) / step;
    // The bounds keep lroundf in range; anything outside them rounds to an index out of range.
    if (!(quotient > -2.0f && quotient < static_cast<float>(beamCount) + 1.0f)) return false;
    const long index = std::lroundf(quotient);
    if (index < 0 || index >= beamCount) return false;
    beam = static_cast<int>(index);
    return true;
}

}  // namespace

void CompactCSV::processModule(const ModuleView& module) {
    if (options.segment.size() == 2) {
        // Only the low 32 bits count, read as a signed number like the filter values.
        const auto segment =
            static_cast<int32_t>(static_cast<uint32_t>(module.meta.segment_counter()));
        if (segment < options.segment[0] || segment > options.segment[1]) return;
    }

    const auto beams = clipped<Range>(options.beam, module.beamCount);
    const auto echoes = clipped<Range>(options.echo, module.echoCount);

    Range lines;
    if (options.phi.size() == 1) {
        const float wanted = options.phi[0];
        for (int line = 0; line < module.lineCount; ++line) {
            if (std::fabs(wanted - module.phi[line]) <= options.phiTolerance) {
                lines = Range{line, line};  // the first match wins, even if a later one is nearer
                break;
            }
        }
    } else if (options.phi.size() == 2) {
        // The contiguous range from the first to the last line inside the interval.
        for (int line = 0; line < module.lineCount; ++line) {
            const float phi = module.phi[line];
            if (options.phi[0] <= phi && phi <= options.phi[1]) {
                if (lines.empty()) lines.first = line;
                lines.last = line;
            }
        }
    } else {
        lines = clipped<Range>(options.line, module.lineCount);
    }

    for (int line = lines.first; line <= lines.last; ++line) {
        Range rowBeams = beams;
        if (!options.theta.empty()) {
            // Beam b of the line lies at theta_start + b * step with step = (stop - start) / n.
            const float start = module.thetaStart[line];
            const float step = (module.thetaStop[line] - start) /
                               static_cast<float>(static_cast<int32_t>(module.meta.num_beams()));
            if (step == 0.0f || !std::isfinite(step)) continue;
            if (!beamAtAngle(options.theta.front(), start, step, module.beamCount,
                             rowBeams.first) ||
                !beamAtAngle(options.theta.back(), start, step, module.beamCount, rowBeams.last)) {
                continue;
            }
            // Theta falling along the line reverses the indices; the beams between stay wanted.
            if (rowBeams.first > rowBeams.last) std::swap(rowBeams.first, rowBeams.last);
        }
        writeRow(module, line, rowBeams, echoes);
    }
}

void CompactCSV::writeHeader(int beamFirst, int beamLast, int echoFirst, int echoLast) {
    if (out == nullptr) return;
    std::ostream& o = *out;
    o << "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop";
    if (!options.omitAngles) o << ",phi,theta_start,theta_stop";
    // 64-bit counters: a last index of INT_MAX must not overflow the loop.
    for (int64_t b = beamFirst; b <= beamLast; ++b) {
        if (options.shortHeaders) {
            o << ",B" << b << 'P';
        } else {
            o << ",beam[" << b << "]_prop";
        }
        for (int64_t e = echoFirst; e <= echoLast; ++e) {
            if (options.shortHeaders) {
                o << ",B" << b << 'E' << e << "D,B" << b << 'E' << e << 'R';
            } else {
                o << ",beam[" << b << "]_echo[" << e << "]_dist,beam[" << b << "]_echo[" << e
                  << "]_rssi";
            }
        }
    }
    o << '\n';
}

void CompactCSV::writeRow(const ModuleView& module, int line, Range beams, Range echoes) {
    // Empty ranges all give the same columns; one canonical form keeps equal headers from being
    // repeated.
    if (beams.empty()) beams = Range{};
    if (beams.empty() || echoes.empty()) echoes = Range{};
    if (beams.first != lastBeamFirst || beams.last != lastBeamLast ||
        echoes.first != lastEchoFirst || echoes.last != lastEchoLast) {
        writeHeader(beams.first, beams.last, echoes.first, echoes.last);
        lastBeamFirst = beams.first;
        lastBeamLast = beams.last;
        lastEchoFirst = echoes.first;
        lastEchoLast = echoes.last;
    }

    std::ostream& o = *out;
    const auto& meta = module.meta;
    o << meta.sender_id() << ',' << meta.frame_number() << ',' << meta.segment_counter() << ','
      << line << ',' << module.timestampStart[line] << ',' << module.timestampStop[line];
    if (!options.omitAngles) {
        o << ',' << static_cast<double>(module.phi[line]) << ','
          << static_cast<double>(module.thetaStart[line]) << ','
          << static_cast<double>(module.thetaStop[line]);
    }
    // A value the frame does not carry is an empty field: the column stays, no number is made up.
    for (int b = beams.first; b <= beams.last; ++b) {
        const auto& measurement = (*module.beams[b]->measurement_data())[line];
        const auto* properties = measurement ? measurement->beam_properties() : nullptr;
        o << ',';
        if (properties != nullptr)
            o << properties->upper_bits() * 2 + (properties->bit_0() ? 1 : 0);
        const auto* echoList = measurement ? measurement->echos() : nullptr;
        const int present = echoList != nullptr ? sizeAsInt(echoList->size()) : 0;
        for (int e = echoes.first; e <= echoes.last; ++e) {
            const Frame::echo_t* echo = e < present ? (*echoList)[e].get() : nullptr;
            o << ',';
            if (echo != nullptr && !echo->_is_null_distance_raw()) o << echo->distance_raw();
            o << ',';
            if (echo != nullptr && !echo->_is_null_rssi()) o << echo->rssi();
        }
    }
    o << '\n';
    ++rows;
}
