// The simulator's command line: the option table with its help text, parsing, and the range
// checks that turn the arguments into one options record.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "generators/synthetic_scan.h"
#include "io/pcap_writer.h"

namespace compact::sim {

// Frames per second that time stamps follow with --rate 0: one rotation of 12 segments at 20 Hz.
inline constexpr double defaultNominalRate = 240;

struct RunLimits {
    double rate = 240;     // frames per second; 0: as fast as possible
    uint64_t count = 0;    // frames; 0: no limit
    double durationS = 0;  // seconds; 0: no limit

    // The frame rate that time stamps and capture time follow, also when sending unpaced.
    double nominalRate() const { return rate > 0 ? rate : defaultNominalRate; }
};

struct Destination {
    std::string host;
    int port = 0;
    std::string source;  // empty: the system picks (UDP) or the loopback address (capture)
};

struct Options {
    Destination destination;
    RunLimits limits;
    ScanSettings scan;
    std::string pcapOut;  // empty: send over UDP
    PcapWriterOptions capture;
};

// Parses the command line. Writes the help or the version to `out` and returns nothing when one
// of them was asked for. Throws std::runtime_error with the message for the user when an option
// is unknown, malformed or out of range, or when options do not go together.
std::optional<Options> parseOptions(int argc, const char* const* argv, std::ostream& out);

}  // namespace compact::sim
