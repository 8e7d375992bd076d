// Input layout of the fuzz_receiver and fuzz_differential targets: the CSV writer's options
// from the input's leading bytes, and presets of those bytes for the seed generator.
#include "datagram_options.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

namespace fuzzing {

namespace {

// Byte offsets in the option block (see datagramOptions).
enum Offset : size_t {
    flags = 0,
    angleCounts,
    segment,
    beam = 4,
    line = 6,
    echo = 8,
    theta = 10,
    phi = 12,
    tolerance = 14
};

constexpr double radiansPerDegree = 0.017453292519943295;  // pi / 180
// The first byte value that selects a special value instead of a regular one.
constexpr uint8_t firstSpecial = 0xF8;

// Small indices -8..239 around the extents of real frames, then the extremes of int that the
// command line accepts.
int pickIndex(uint8_t b) {
    static constexpr int special[] = {INT_MIN, INT_MIN + 1, -65536,      65535,
                                      65536,   1 << 20,     INT_MAX - 1, INT_MAX};
    return b >= firstSpecial ? special[b - firstSpecial] : static_cast<int>(b) - 8;
}

// -186 .. +184.5 degrees in 1.5 degree steps (byte 124 is 0), then values the command line can
// produce from "nan", "inf" or huge numbers, and the smallest ones.
float pickAngle(uint8_t b) {
    static const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    FLT_MAX,
                                    -FLT_MAX,
                                    std::numeric_limits<float>::denorm_min(),
                                    -0.0f,
                                    1e-30f};
    if (b >= firstSpecial) return special[b - firstSpecial];
    return static_cast<float>((static_cast<int>(b) - 124) * 1.5 * radiansPerDegree);
}

// 0 .. 25.1 degrees in 0.1 degree steps, then NaN, infinity, a negative and the largest value.
float pickTolerance(uint8_t b) {
    constexpr uint8_t firstSpecialTolerance = 0xFC;
    static const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::infinity(),
                                    static_cast<float>(-radiansPerDegree), FLT_MAX};
    if (b >= firstSpecialTolerance) return special[b - firstSpecialTolerance];
    return static_cast<float>(b * 0.1 * radiansPerDegree);
}

// An integer range as the command line makes it: two values, lowest first.
std::vector<int> indexFilter(const DatagramOptionBytes& bytes, size_t at) {
    const int first = pickIndex(bytes[at]);
    const int second = pickIndex(bytes[at + 1]);
    return {std::min(first, second), std::max(first, second)};
}

// An angle range of 0, 1 or 2 values; two are ordered unless one is NaN (then, as on the command
// line, the order is whatever the comparison left).
std::vector<float> angleFilter(const DatagramOptionBytes& bytes, size_t at, int count) {
    if (count == 0) return {};
    const float first = pickAngle(bytes[at]);
    if (count == 1) return {first};
    const float second = pickAngle(bytes[at + 1]);
    if (second > first) return {first, second};
    return {second, first};
}

}  // namespace

CompactCSV::Options datagramOptions(const DatagramOptionBytes& bytes) {
    CompactCSV::Options options;
    const uint8_t f = bytes[flags];
    options.shortHeaders = (f & 0x01) != 0;
    options.omitAngles = (f & 0x02) != 0;
    if (f & 0x04) options.segment = indexFilter(bytes, segment);
    if (f & 0x08) options.beam = indexFilter(bytes, beam);
    if (f & 0x10) options.line = indexFilter(bytes, line);
    if (f & 0x20) options.echo = indexFilter(bytes, echo);
    options.theta = angleFilter(bytes, theta, std::min(bytes[angleCounts] & 0x03, 2));
    options.phi = angleFilter(bytes, phi, std::min((bytes[angleCounts] >> 2) & 0x03, 2));
    options.phiTolerance = pickTolerance(bytes[tolerance]);
    options.receiveTime = (bytes[angleCounts] & 0x10) != 0;
    options.points = (bytes[angleCounts] & 0x20) != 0;
    return options;
}

const std::array<OptionPreset, 8>& optionPresets() {
    // Byte values: index n is n + 8; angle a degrees is 124 + a / 1.5; tolerance t degrees t * 10.
    static const std::array<OptionPreset, 8> presets{{
        {"all", {}},
        {"short-headers-omit-angles", {0x03}},
        {"beams-1-3-echo-0", {0x28, 0, 0, 0, 9, 11, 0, 0, 8, 8}},
        {"lines-1-2", {0x10, 0, 0, 0, 0, 0, 9, 10}},
        {"segments-0-5", {0x04, 0, 8, 13}},
        {"line-0-theta-0", {0x10, 0x01, 0, 0, 0, 0, 8, 8, 0, 0, 124}},
        {"phi-0-theta-range", {0x00, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 117, 131, 124, 0, 10}},
        {"phi-3-3", {0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 122, 126}},
    }};
    return presets;
}

}  // namespace fuzzing
