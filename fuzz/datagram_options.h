// Input layout of fuzz_receiver and fuzz_differential, shared with the seed generator: a fixed
// block of option bytes that sets the CSV writer's options, then the datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "csv/compact_csv.h"

namespace fuzzing {

// Bytes before the datagram: 1 flag byte, 1 angle-count byte, 2 bytes for each of the four
// integer and the two angle ranges, 1 for the phi tolerance.
constexpr size_t datagramOptionBytes = 1 + 1 + 4 * 2 + 2 * 2 + 1;
using DatagramOptionBytes = std::array<uint8_t, datagramOptionBytes>;

// The writer's options for an input's leading bytes (missing bytes read as 0: no filter).
// Byte 0: bit 0 short headers, bit 1 omit angles, bits 2..5 segment, beam, line and echo filter
// on. Byte 1: bits 0..1 number of theta values, bits 2..3 number of phi values (3 counts as 2),
// bit 4 the receive time column, bit 5 points instead of rows.
// Then the bounds of segment, beam, line and echo, theta and phi, one byte per value (small
// indices around the frame's extents, or the extremes of int; angles in 1.5 degree steps, or
// NaN, infinities and extremes), and the phi tolerance. Filters are combined freely, even those
// the command line refuses together: the writer must cope with any options.
CompactCSV::Options datagramOptions(const DatagramOptionBytes& bytes);

// Option bytes for common settings, for seeds: no filter, and one example per filter kind.
struct OptionPreset {
    const char* name;
    DatagramOptionBytes bytes;
};
const std::array<OptionPreset, 8>& optionPresets();

}  // namespace fuzzing
