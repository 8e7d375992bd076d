// What the frames of a run held, for a hint when a run writes no rows.
#include "app/frame_extent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "format/compact_wire.h"
#include "format/frame_view.h"

namespace {

template <typename T>
void widen(FrameExtent::Range<T>& range, T value) {
    if (!range.seen) {
        range = {value, value, true};
        return;
    }
    range.low = std::min(range.low, value);
    range.high = std::max(range.high, value);
}

void widenAngle(FrameExtent::Range<float>& range, float value) {
    if (!std::isnan(value)) widen(range, value);
}

std::string countText(const FrameExtent::Range<uint32_t>& range, const char* one,
                      const char* many) {
    if (range.low == range.high)
        return std::to_string(range.low) + " " + (range.low == 1 ? one : many);
    return std::to_string(range.low) + ".." + std::to_string(range.high) + " " + many;
}

// One decimal, without a trailing ".0" and without the sign of a value that rounds to zero.
std::string angleText(double degrees) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", degrees);
    std::string result(text);
    if (result.ends_with(".0")) result.resize(result.size() - 2);
    if (result == "-0") result = "0";
    return result;
}

std::string angleRangeText(const char* name, const FrameExtent::Range<double>& range) {
    if (!range.seen) return std::string(name) + " none";
    const std::string low = angleText(range.low);
    const std::string high = angleText(range.high);
    return std::string(name) + " " + (low == high ? low : low + ".." + high) + " deg";
}

}  // namespace

void FrameExtent::add(const compact::ModuleView& module) {
    ++moduleCount;
    widen(lineCounts, module.lines());
    widen(beamCounts, module.beams());
    widen(echoCounts, module.echoes());
    for (uint32_t line = 0; line < module.lines(); ++line) {
        widenAngle(phi, module.phi(line));
        widenAngle(theta, module.thetaStart(line));
        widenAngle(theta, module.thetaStop(line));
    }
}

FrameExtent::Range<double> FrameExtent::degrees(const Range<float>& radians) {
    if (!radians.seen) return {};
    return {radians.low / compact::wire::radiansPerDegree,
            radians.high / compact::wire::radiansPerDegree, true};
}

std::string FrameExtent::text() const {
    if (moduleCount == 0) return "frames held no modules";
    return "frames held " + countText(lineCounts, "line", "lines") + ", " +
           countText(beamCounts, "beam", "beams") + ", " + countText(echoCounts, "echo", "echoes") +
           "; " + angleRangeText("phi", phiDegrees()) + ", " +
           angleRangeText("theta", thetaDegrees());
}

std::string emptyFilterHint(const CompactCSV::Options& options, const compact::ModuleView& module) {
    std::string hint;
    auto check = [&hint](const std::vector<int>& filter, uint32_t count, const char* option,
                         const char* one, const char* many) {
        if (filter.size() != 2 || (filter[0] <= static_cast<int64_t>(count) - 1 && filter[1] >= 0))
            return;
        const std::string range = filter[0] == filter[1]
                                      ? std::to_string(filter[0])
                                      : std::to_string(filter[0]) + ":" + std::to_string(filter[1]);
        if (!hint.empty()) hint += '\n';
        hint += std::string("--") + option + " " + range + " selects no " + one + ": frames have " +
                (count == 0 ? std::string("no ") + many
                            : std::string(many) + " 0.." + std::to_string(count - 1));
    };
    check(options.beam, module.beams(), "beam", "beam", "beams");
    // Echo columns need beams; with none, the beam hint says all.
    if (module.beams() != 0 && module.lines() != 0)
        check(options.echo, module.echoes(), "echo", "echo", "echoes");
    return hint;
}
