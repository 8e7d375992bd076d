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

// Every sender follows these limits on its own: each sends `rate` frames per second and stops
// after `count` frames, so N senders send N times as many.
struct RunLimits {
    double rate = 240;     // frames per second of each sender; 0: as fast as possible
    uint64_t count = 0;    // frames of each sender; 0: no limit
    double durationS = 0;  // seconds; 0: no limit

    // The frame rate that time stamps and capture time follow, also when sending unpaced.
    double nominalRate() const { return rate > 0 ? rate : defaultNominalRate; }
};

struct Destination {
    std::string host;  // a host name or address, or with `multicast` a dotted IPv4 group
    int port = 0;
    std::string source;      // empty: the system picks (UDP) or the loopback address (capture)
    bool multicast = false;  // sent with multicast loopback on and a TTL of 1
    std::string interface;   // multicast: the outgoing interface's name; empty: the system picks
};

// How the senders of one stream differ: by the sender_id of their modules (sender-id,
// sender-id + 1, ...; one socket) or by their source address (source, source + 1, ..., all
// loopback addresses; one socket bound to each).
enum class Vary { id, address };

struct Senders {
    uint32_t count = 1;
    Vary vary = Vary::id;
};

struct Options {
    Destination destination;
    RunLimits limits;
    ScanSettings scan;  // the first sender's; senderScan() gives each one's
    Senders senders;
    std::string pcapOut;  // empty: send over UDP
    PcapWriterOptions capture;
};

// Parses the command line. Writes the help or the version to `out` and returns nothing when one
// of them was asked for. Throws std::runtime_error with the message for the user when an option
// is unknown, malformed or out of range, or when options do not go together.
std::optional<Options> parseOptions(int argc, const char* const* argv, std::ostream& out);

// The scan settings of sender `index` (from 0): with Vary::id its sender_id is the first one's
// plus `index`, which parseOptions has checked to fit.
ScanSettings senderScan(const Options& options, uint32_t index);

}  // namespace compact::sim
