// Frames for the tests: the CSV the product's writer makes of datagrams, the frames the simulator
// sends, and the hostile datagrams that the decoder must refuse without exhausting memory.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "csv/compact_csv.h"
#include "generators/synthetic_scan.h"

namespace testing_support {

// The CSV that CompactCSV with `options` writes for `datagrams`, each decoded as the receiver
// does. A datagram that does not decode fails the test and adds nothing.
std::string csvOf(const CompactCSV::Options& options, const std::vector<std::string>& datagrams);

// The frame numbers (second column) of the rows of a CSV text, and the number of those rows.
// Fails the test when the text does not end with a whole row or a row's field count differs from
// its header's.
std::set<uint64_t> framesIn(const std::string& csv, int64_t* rows = nullptr);

// What the simulator sends with `settings` at frame rate `rate` until `frames` frames are out:
// the frames, and how many malformed datagrams and skipped telegram counters came before the last.
struct Simulated {
    std::vector<std::string> frames;
    uint64_t malformed = 0;
    uint64_t skipped = 0;
};
Simulated simulated(compact::ScanSettings settings, double rate, uint32_t frames);

// Payload bytes that differ by `seed`: byte i is i * 13 + seed.
std::vector<uint8_t> payload(size_t size, uint8_t seed);

// Frames of every layout, their shapes and segment counters changing from frame to frame:
// telegram versions 3 and 4, every set of presence flags (with reserved bits set in the second
// module), modules without lines, beams or echoes, and frames without modules.
std::vector<std::string> everyLayout();

struct NamedDatagram {
    std::string name;
    std::string bytes;
};

// Datagrams of the largest UDP size (65,507 bytes, zero padded) whose counts promise billions of
// elements or whose module chain never ends: every one must be refused with the end-of-data
// error, before it takes memory. Counts at 2^31 - 1 in every combination, with and without
// payload flags, modules without lines but with huge beam counts, two modules that each stay
// under the object cap but not together, and empty modules that each announce another; all in
// telegram versions 3 and 4.
std::vector<NamedDatagram> hostileDatagrams();

// The densest datagrams the decoder accepts: zero-width beams and measurements right up to the
// object cap.
std::vector<NamedDatagram> densestDatagrams();

}  // namespace testing_support
