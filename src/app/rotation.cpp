// Rotation of long recordings: segment names, the check of a time pattern, and when to rotate.
#include "app/rotation.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace {

constexpr uint64_t nsPerSecond = 1'000'000'000;

// strftime of `pattern` at `timeNs` in UTC; "" for a pattern that makes no text.
std::string formatTime(const std::string& pattern, uint64_t timeNs) {
    const auto seconds = static_cast<std::time_t>(timeNs / nsPerSecond);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::string out(pattern.size() + 256, '\0');
    const size_t length = std::strftime(out.data(), out.size(), pattern.c_str(), &utc);
    out.resize(length);
    return out;
}

}  // namespace

std::string segmentName(const std::string& path, const RotationSettings& settings,
                        const Segment& segment) {
    std::string name = settings.periodNs != 0 ? formatTime(path, segment.startNs) : path;
    if (settings.sizeBytes == 0) return name;
    char number[32];
    std::snprintf(number, sizeof number, "-%06llu",
                  static_cast<unsigned long long>(segment.number));
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    const bool extension =
        dot != std::string::npos && dot != 0 && (slash == std::string::npos || dot > slash + 1);
    name.insert(extension ? dot : name.size(), number);
    return name;
}

std::optional<std::string> repeatedNames(const std::string& path,
                                         const RotationSettings& settings) {
    if (settings.periodNs == 0) return std::nullopt;
    const uint64_t period = settings.periodNs;
    // How long the run may last: -W periods, or without end.
    const uint64_t span = settings.count != 0 ? settings.count * period : UINT64_MAX;
    // A period later, and a minute, an hour, a day, a month and a year later: whatever the
    // pattern leaves out shows as two times within the run that get the same name.
    constexpr std::array<uint64_t, 6> laters = {0, 60, 3600, 86400, 31 * 86400, 366 * 86400};
    constexpr std::array<uint64_t, 3> starts = {1'800'000'000, 1'800'003'599, 1'831'000'000};
    for (uint64_t start : starts) {
        for (uint64_t later : laters) {
            const uint64_t gap = later == 0 ? period : later * nsPerSecond;
            if (gap < period || gap >= span) continue;
            const uint64_t t = start * nsPerSecond;
            if (formatTime(path, t) == formatTime(path, t + gap / period * period)) {
                return later == 0 ? "names periods of " + std::to_string(period / nsPerSecond) +
                                        " s alike; give the pattern a finer time, e.g. %H%M%S"
                                  : "names periods alike that lie " +
                                        std::to_string(gap / period * period / nsPerSecond) +
                                        " s apart; give the pattern a date, e.g. %Y%m%d-%H%M%S";
            }
        }
    }
    return std::nullopt;
}

Segment Rotation::first(uint64_t startNs) {
    originNs = startNs;
    current = Segment{0, 1, startNs};
    return current;
}

std::optional<Segment> Rotation::next(uint64_t timeNs, uint64_t bytes) {
    if (done) return std::nullopt;
    Segment upcoming = current;
    bool due = false;
    if (config.periodNs != 0 && timeNs >= current.startNs + config.periodNs) {
        const uint64_t period = (timeNs - originNs) / config.periodNs;
        if (config.count != 0 && periods >= config.count) {
            done = true;
            return std::nullopt;
        }
        ++periods;
        upcoming.startNs = originNs + period * config.periodNs;
        upcoming.number = 1;
        due = true;
    } else if (config.sizeBytes != 0 && bytes > config.sizeBytes) {
        ++upcoming.number;
        due = true;
    }
    if (!due) return std::nullopt;
    ++upcoming.index;
    current = upcoming;
    return current;
}
