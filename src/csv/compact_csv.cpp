// CSV writer: selects lines, beams and echoes of Compact frames and writes them as rows.
#include "csv/compact_csv.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "csv/points.h"
#include "format/frame_view.h"

namespace {

// Clips a {lo, hi} filter to 0 .. count - 1; an empty filter gives the whole extent.
template <typename Range>
Range clipped(const std::vector<int>& filter, int count) {
    if (filter.size() != 2) return Range{0, count - 1};
    return Range{std::max(filter[0], 0), std::min(filter[1], count - 1)};
}

// The index of the beam nearest to an angle on a line whose beams lie at start + b * step,
// rounded halves away from zero, or -1 or beamCount for an angle before the first or after the
// last beam (the side is kept, the distance is not). Empty when the angle has no place on the line
// (a NaN quotient).
std::optional<int> beamAtAngle(float angle, float start, float step, int beamCount) {
    const float quotient = (angle - start) / step;
    if (std::isnan(quotient)) return std::nullopt;
    // The bounds keep lroundf in range; anything outside them rounds to an index out of range.
    if (quotient <= -2.0f) return -1;
    if (quotient >= static_cast<float>(beamCount) + 1.0f) return beamCount;
    return static_cast<int>(std::clamp(std::lroundf(quotient), -1L, static_cast<long>(beamCount)));
}

// Longest text of one formatted value: 20 digits of 2^64 - 1, a sign, or a %g float such as
// "-1.17549e-38"; with room to spare.
constexpr size_t maxValueChars = 32;

// A field of a property byte, distance or rssi: the separator and at most 5 digits.
constexpr size_t maxSmallFieldChars = 6;

// Writes ',' and, when `present`, the digits of `value` (below 2^16) at `at`, which has room for
// maxSmallFieldChars characters; returns the end. The 32-bit conversion is the cheaper one.
char* putSmallField(char* at, bool present, uint32_t value) {
    *at++ = ',';
    return present ? std::to_chars(at, at + maxSmallFieldChars - 1, value).ptr : at;
}

}  // namespace

void CompactCSV::process(const compact::FrameView& frame, uint64_t receiveTimeNs) {
    if (sink == nullptr) return;
    if (options.points) {
        processPoints(frame, receiveTimeNs);
        return;
    }
    for (const compact::ModuleView& module : frame) processModule(module, receiveTimeNs);
}

void CompactCSV::processModule(const compact::ModuleView& module, uint64_t receiveTimeNs) {
    selectRows(module, [&](int line, Range beams, Range echoes) {
        writeRow(module, line, beams, echoes, receiveTimeNs);
    });
}

void CompactCSV::selection(const compact::ModuleView& module, std::vector<Selection>& out) const {
    out.clear();
    selectRows(module, [&](int line, Range beams, Range echoes) {
        out.push_back({line, beams.first, beams.last, echoes.first, echoes.last});
    });
}

template <typename Emit>
void CompactCSV::selectRows(const compact::ModuleView& module, Emit&& emit) const {
    if (options.segment.size() == 2) {
        // Only the low 32 bits count, read as a signed number like the filter values.
        const auto segment = static_cast<int32_t>(static_cast<uint32_t>(module.segmentCounter()));
        if (segment < options.segment[0] || segment > options.segment[1]) return;
    }

    // Every per-line array has an entry for each line and every beam a measurement in each; the
    // echoes per beam are those of the first beam in the first line, none without one.
    const int beamCount = static_cast<int>(module.beams());
    const int lineCount = static_cast<int>(module.lines());
    const int echoCount = beamCount > 0 && lineCount > 0 ? static_cast<int>(module.echoes()) : 0;
    const auto beams = clipped<Range>(options.beam, beamCount);
    const auto echoes = clipped<Range>(options.echo, echoCount);

    Range lines;
    if (options.phi.size() == 1) {
        const float wanted = options.phi[0];
        for (int line = 0; line < lineCount; ++line) {
            if (std::fabs(wanted - module.phi(static_cast<uint32_t>(line))) <=
                options.phiTolerance) {
                lines = Range{line, line};  // the first match wins, even if a later one is nearer
                break;
            }
        }
    } else if (options.phi.size() == 2) {
        // The contiguous range from the first to the last line inside the interval.
        for (int line = 0; line < lineCount; ++line) {
            const float phi = module.phi(static_cast<uint32_t>(line));
            if (options.phi[0] <= phi && phi <= options.phi[1]) {
                if (lines.empty()) lines.first = line;
                lines.last = line;
            }
        }
    } else {
        lines = clipped<Range>(options.line, lineCount);
    }

    for (int line = lines.first; line <= lines.last; ++line) {
        Range rowBeams = beams;
        if (!options.theta.empty()) {
            // Beam b of the line lies at theta_start + b * step with step = (stop - start) / n.
            const float start = module.thetaStart(static_cast<uint32_t>(line));
            const float step = (module.thetaStop(static_cast<uint32_t>(line)) - start) /
                               static_cast<float>(static_cast<int32_t>(module.numBeams()));
            if (step == 0.0f || !std::isfinite(step)) continue;
            const auto first = beamAtAngle(options.theta.front(), start, step, beamCount);
            const auto last = beamAtAngle(options.theta.back(), start, step, beamCount);
            if (!first || !last) continue;
            // Theta falling along the line reverses the indices; the beams between stay wanted.
            const auto [low, high] = std::minmax(*first, *last);
            // Segments meet at module boundaries, so a range may reach past the ends of a line:
            // it keeps the line's beams within it. A range (or one angle) wholly beyond an end
            // selects nothing of the line.
            if (high < 0 || low > beamCount - 1) continue;
            rowBeams = Range{std::max(low, 0), std::min(high, beamCount - 1)};
        }
        emit(line, rowBeams, echoes);
    }
}

void CompactCSV::headerLine(const Columns& columns, std::string& text) const {
    text = options.receiveTime ? "receive_time," : "";
    if (options.points) {
        text +=
            "sender_id,frame_number,segment_counter,line,beam,echo,timestamp_start,phi,theta,"
            "distance,rssi,properties,x,y,z\n";
        return;
    }
    text += "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop";
    if (!options.omitAngles) text += ",phi,theta_start,theta_stop";
    // Each beam's columns go through a pointer into room made for the longest text they can
    // have, not an append per piece: a header can have thousands of columns, and a new writer
    // (each fuzzed datagram's) builds one for nearly every row. An index is an int: at most 11
    // characters. Per beam ",beam[I]_prop", per echo ",beam[I]_echo[I]_dist" and its "_rssi".
    constexpr size_t indexChars = 11;
    constexpr size_t beamChars = 12 + indexChars, echoChars = 2 * (19 + 2 * indexChars);
    const int64_t echoes = std::max<int64_t>(0, int64_t{columns.echoLast} - columns.echoFirst + 1);
    const size_t beamRoom = beamChars + static_cast<size_t>(echoes) * echoChars;
    auto copy = [](char* at, std::string_view piece) {
        std::memcpy(at, piece.data(), piece.size());
        return at + piece.size();
    };
    auto number = [](char* at, int64_t value) {
        return std::to_chars(at, at + indexChars, value).ptr;
    };
    // 64-bit counters: a last index of INT_MAX must not overflow the loop.
    for (int64_t b = columns.beamFirst; b <= columns.beamLast; ++b) {
        const size_t start = text.size();
        text.resize(start + beamRoom);
        char* at = text.data() + start;
        at = copy(at, options.shortHeaders ? ",B" : ",beam[");
        at = number(at, b);
        at = copy(at, options.shortHeaders ? "P" : "]_prop");
        for (int64_t e = columns.echoFirst; e <= columns.echoLast; ++e) {
            for (const char* value : {"dist", "rssi"}) {
                if (options.shortHeaders) {
                    at = copy(at, ",B");
                    at = number(at, b);
                    *at++ = 'E';
                    at = number(at, e);
                    *at++ = value[0] == 'd' ? 'D' : 'R';
                } else {
                    at = copy(at, ",beam[");
                    at = number(at, b);
                    at = copy(at, "]_echo[");
                    at = number(at, e);
                    at = copy(at, "]_");
                    at = copy(at, value);
                }
            }
        }
        text.resize(static_cast<size_t>(at - text.data()));
    }
    text += '\n';
}

void CompactCSV::writeHeader(int beamFirst, int beamLast, int echoFirst, int echoLast) {
    if (sink == nullptr) return;
    headerLine({beamFirst, beamLast, echoFirst, echoLast}, headerScratch);
    put(std::string_view(headerScratch).substr(0, headerScratch.size() - 1));
    endRow();
}

std::string CompactCSV::restartText() const {
    const std::string_view headerStart = options.receiveTime ? "receive_time," : "sender_id,";
    if (sentHeader == Columns{} || std::string_view(buffer.get(), used).starts_with(headerStart))
        return "";
    // Its own string: this runs while the sink writes, possibly in the middle of a header's put().
    std::string text;
    headerLine(sentHeader, text);
    return text;
}

void CompactCSV::writeRow(const compact::ModuleView& module, int line, Range beams, Range echoes,
                          uint64_t receiveTimeNs) {
    // Empty ranges all give the same columns; one canonical form keeps equal headers from being
    // repeated.
    if (beams.empty()) beams = Range{};
    if (beams.empty() || echoes.empty()) echoes = Range{};
    const Columns columns{beams.first, beams.last, echoes.first, echoes.last};
    if (columns != lastHeader) {
        writeHeader(columns.beamFirst, columns.beamLast, columns.echoFirst, columns.echoLast);
        lastHeader = columns;
    }

    const auto l = static_cast<uint32_t>(line);
    if (options.receiveTime) {
        putUnsigned(receiveTimeNs);
        put(',');
    }
    putUnsigned(module.senderId());
    put(',');
    putUnsigned(module.frameNumber());
    put(',');
    putUnsigned(module.segmentCounter());
    put(',');
    putSigned(line);
    put(',');
    putUnsigned(module.timestampStart(l));
    put(',');
    putUnsigned(module.timestampStop(l));
    if (!options.omitAngles) {
        put(',');
        putFloat(module.phi(l));
        put(',');
        putFloat(module.thetaStart(l));
        put(',');
        putFloat(module.thetaStop(l));
    }
    // A value the frame does not carry is an empty field: the column stays, no number is made up.
    const bool properties = module.hasProperties();
    const bool distance = module.hasDistance();
    const bool rssi = module.hasRssi();
    const uint64_t echoSize = module.echoSize();
    const uint32_t rssiAt = module.rssiOffset();
    const uint32_t propertiesAt = module.propertiesOffset();
    // The bulk of a row: fields written through a local cursor, with one check for room per
    // beam's property field and one per echo's two fields.
    for (int b = beams.first; b <= beams.last; ++b) {
        const uint8_t* measurement = module.measurement(static_cast<uint32_t>(b), l);
        char* at = room(maxSmallFieldChars);
        at = putSmallField(at, properties, measurement[propertiesAt]);
        used = static_cast<size_t>(at - buffer.get());
        for (int e = echoes.first; e <= echoes.last; ++e) {
            const uint8_t* echo = measurement + static_cast<uint64_t>(e) * echoSize;
            at = room(2 * maxSmallFieldChars);
            at = putSmallField(at, distance, compact::loadLe<uint16_t>(echo));
            at = putSmallField(at, rssi, compact::loadLe<uint16_t>(echo + rssiAt));
            used = static_cast<size_t>(at - buffer.get());
        }
    }
    endRow();
    ++bufferedRows;
    ++rowsChosen;
}

void CompactCSV::put(std::string_view text) {
    while (!text.empty()) {
        const size_t chunk = std::min(text.size(), maxValueChars);
        std::memcpy(room(chunk), text.data(), chunk);
        used += chunk;
        text.remove_prefix(chunk);
    }
}

void CompactCSV::putUnsigned(uint64_t value) {
    char* at = room(maxValueChars);
    used = static_cast<size_t>(std::to_chars(at, at + maxValueChars, value).ptr - buffer.get());
}

void CompactCSV::putSigned(int64_t value) {
    char* at = room(maxValueChars);
    used = static_cast<size_t>(std::to_chars(at, at + maxValueChars, value).ptr - buffer.get());
}

void CompactCSV::putFloat(float value) { putDouble(static_cast<double>(value)); }

// The shortest text of %g at precision 6, which is what a standard stream writes with its default
// formatting (a float is widened to double first).
void CompactCSV::putDouble(double value) {
    char* at = room(maxValueChars);
    used = static_cast<size_t>(
        std::to_chars(at, at + maxValueChars, value, std::chars_format::general, 6).ptr -
        buffer.get());
}

void CompactCSV::processPoints(const compact::FrameView& frame, uint64_t receiveTimeNs) {
    if (!pointMaker) {
        // The maker selects with the same filters, writing nothing itself.
        Options selection = options;
        selection.points = false;
        pointMaker = std::make_unique<compact::PointMaker>(selection);
        pointColumns = std::make_unique<compact::PointColumns>();
    }
    compact::PointColumns& p = *pointColumns;
    p.clear();
    pointMaker->add(frame, p);
    // One header for every point row: a column set no wide row has.
    const Columns pointsHeader{-2, -2, -2, -2};
    if (p.size() != 0 && lastHeader != pointsHeader) {
        writeHeader(pointsHeader.beamFirst, pointsHeader.beamLast, pointsHeader.echoFirst,
                    pointsHeader.echoLast);
        lastHeader = pointsHeader;
    }
    for (size_t i = 0; i < p.size(); ++i) {
        if (options.receiveTime) {
            putUnsigned(receiveTimeNs);
            put(',');
        }
        for (uint64_t value : {uint64_t{p.senderId[i]}, p.frameNumber[i], p.segmentCounter[i]}) {
            putUnsigned(value);
            put(',');
        }
        for (int32_t value : {p.line[i], p.beam[i], p.echo[i]}) {
            putSigned(value);
            put(',');
        }
        putUnsigned(p.timestampStart[i]);
        for (double value : {p.phi[i], p.theta[i], p.distance[i]}) {
            put(',');
            putDouble(value);
        }
        put(',');
        if (p.rssi[i] != compact::PointColumns::absentRssi) putSigned(p.rssi[i]);
        put(',');
        if (p.properties[i] != compact::PointColumns::absentProperties) putSigned(p.properties[i]);
        for (double value : {p.x[i], p.y[i], p.z[i]}) {
            put(',');
            putDouble(value);
        }
        endRow();
        ++bufferedRows;
        ++rowsChosen;
    }
}

void CompactCSV::makeRoom(size_t bytes) {
    while (capacity - used < bytes) spill();
}

void CompactCSV::spill() {
    if (rowStart > 0) {
        // Whole rows out; the row being written moves to the front.
        sendRows(rowStart);
        std::memmove(buffer.get(), buffer.get() + rowStart, used - rowStart);
        used -= rowStart;
        rowStart = 0;
    } else if (capacity < maxRowBytes) {
        // One row longer than the buffer: the buffer grows, so the row still goes out whole.
        auto larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
        std::memcpy(larger.get(), buffer.get(), used);
        buffer = std::move(larger);
        capacity *= 2;
    } else {
        // A row longer than any sensor sends (a hostile frame): it goes out in pieces.
        send(used, false);
        used = 0;
    }
}

bool CompactCSV::send(size_t size, bool endsRow) {
    if (size == 0 || outputFailed || sink == nullptr) return !outputFailed;
    if (!sink->write({buffer.get(), size}, endsRow)) {
        outputFailed = true;
        failureText = sink->errorText();
    } else {
        bytesSent += size;
        // Every header written so far lies in the text sent: a header is always followed by the
        // row that needs it.
        sentHeader = lastHeader;
    }
    return !outputFailed;
}

bool CompactCSV::sendRows(size_t size) {
    if (!send(size, true)) return false;
    rows += bufferedRows;
    bufferedRows = 0;
    return true;
}

bool CompactCSV::flush() {
    // Only whole rows leave: process() and writeHeader() always end their row.
    if (used > 0 && sendRows(used)) used = rowStart = 0;
    if (outputFailed) used = rowStart = bufferedRows = 0;
    return !outputFailed;
}

CompactCSV::CompactCSV(const Options& settings, compact::CsvSink& target)
    : options(settings),
      sink(&target),
      buffer(std::make_unique_for_overwrite<char[]>(bufferBytes)) {}

CompactCSV::CompactCSV(const Options& settings, std::ostream& out)
    : options(settings),
      ownSink(std::make_unique<compact::StreamSink>(out)),
      sink(ownSink.get()),
      buffer(std::make_unique_for_overwrite<char[]>(bufferBytes)) {}

CompactCSV::~CompactCSV() { finish(); }

bool CompactCSV::finish() {
    if (sink == nullptr) return !outputFailed;
    flush();
    if (!sink->close() && !outputFailed) {
        outputFailed = true;
        failureText = sink->errorText();
    }
    sink = nullptr;
    ownSink.reset();
    return !outputFailed;
}
