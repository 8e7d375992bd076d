// The simulator's command line: option table, help, parsing and range checks.
#include "compact_sim/options.h"

#include <cxxopts.hpp>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "app/version.h"
#include "net/udp.h"

namespace compact::sim {

namespace {

const char* const epilogue = R"(
The simulated sensor turns in a room of 16 m x 12 m x 3.5 m with a cabinet in
front of it. Echo 0 is the first surface a beam hits, echo 1 the wall behind
the cabinet where a beam hits the cabinet, other echoes are 0. Distances are
millimetres (version 4 frames carry the distance scaling factor 1); the
property byte is 1 on the cabinet.

Shape of the scan, with --lines L and --beams B (16 and 240 by default):
- Every module is one segment of a rotation of 12 segments. Segment k of a
  rotation (k = segment counter mod 12) covers theta -180 + 30k to -150 + 30k
  degrees: segment 0 covers -180..-150, segment 6 covers 0..30.
- Every line of a segment has the segment's theta range; beam b lies at
  theta_start + b * 30 / B degrees (0.125 degrees apart with 240 beams).
- Line l has phi -15 + 30 * l / (L - 1) degrees, lowest first (0 with one
  line): with 16 lines -15, -13, ..., 15. No line has phi 0: lines 7 and 8
  lie 1 degree below and above it.
- Telegram counters count up from 1. Segment counters count up from 0 and
  never wrap: segments 0..11 are the first rotation, 12..23 the second. The
  frame number counts rotations from 0. With --modules M a frame carries M
  consecutive segments.
- Time stamps are microseconds since the start: segment g starts at
  g * 1e6 / (FPS * M) (FPS: --rate, 240 with --rate 0), line l of it
  l / (B * L) of a segment later (rounded to whole microseconds), and each
  line lasts (B - 1) / B of a segment (4149 microseconds by default).

Faults: --skip-every N leaves out the Nth, 2Nth, ... telegram counter (the
frame is not sent and its time slot stays empty); --bad-every N sends one
malformed datagram right after every Nth frame sent, in addition to it and
without a telegram counter of its own: wrong magic, unsupported telegram
version and truncated frame, in turn. A receiver then reports exactly the
skipped counters as lost telegrams and the malformed datagrams as parse errors.

Senders: --senders N plays N sensors on one stream, one frame of each in
turn. Each has its own telegram and segment counters and sends --rate frames
per second (N x rate in all); --count counts each sender's frames, --duration
holds for all; the summary adds up all senders. --vary id (the default) gives
them sender_id --sender-id, --sender-id + 1, ... on one socket; --vary address
sends each from its own address, --source (127.0.0.1 by default), --source + 1,
..., which must all be loopback addresses (127.0.0.0/8). A capture tells the
senders apart the same way.

Multicast: --multicast GROUP sends to an IPv4 multicast group on --port
instead of --host, with multicast loopback on, so that receivers on this host
get the datagrams too, and a TTL of 1, so that they stay on the local network.
--interface NAME chooses the outgoing interface; by default the routing table
does.

Capture: --pcap-out FILE writes the datagrams into a pcap file (Ethernet) as
the network would carry them to HOST:PORT (or GROUP:PORT) from --source: IPv4
fragments of at most --mtu bytes, time stamps one frame period (divided by the
number of senders) apart from the start time, as fast as possible (no
pacing). It needs --count or --duration (simulated seconds).
--shuffle-fragments and --drop-fragment N test a receiver's reassembly; --seed
makes their choices repeatable.

At the end (count or duration reached, or Ctrl-C) one summary line is written:
frames, malformed datagrams, datagrams and bytes sent, telegram counters skipped.
Exit status 0, or 1 when the options are invalid, the destination cannot be
used or a datagram could not be sent or written.
)";

// The option table. Short letters are only those that mean the same in the receiver (-n, -d,
// -v, -h): -p and -r are the receiver's --phi and --pcap, so --port and --rate have none.
cxxopts::Options optionTable(const char* program) {
    cxxopts::Options options(program, "Send synthetic Compact frames over UDP.");
    // clang-format off
    options.add_options()
        ("host", "Destination IPv4 address or host name",
         cxxopts::value<std::string>()->default_value("127.0.0.1"), "HOST")
        ("port", "Destination UDP port", cxxopts::value<int64_t>()->default_value("2115"), "PORT")
        ("rate", "Frames per second, 0 for as fast as possible",
         cxxopts::value<double>()->default_value("240"), "FPS")
        ("n,count", "Stop after this many frames of each sender (default: no limit)",
         cxxopts::value<int64_t>(), "N")
        ("d,duration", "Stop after this many seconds (default: no limit)",
         cxxopts::value<double>(), "SECONDS")
        ("source", "Source IPv4 address: bound when sending, written into a capture "
         "(default: the system's choice, 127.0.0.1 in a capture)",
         cxxopts::value<std::string>(), "ADDRESS")
        ("multicast", "Send to this IPv4 multicast group instead of --host, with loopback "
         "on and TTL 1", cxxopts::value<std::string>(), "GROUP")
        ("interface", "Outgoing interface for --multicast (default: the system's choice)",
         cxxopts::value<std::string>(), "NAME")
        ("v,version", "Print version number and exit")
        ("h,help", "Print usage");
    options.add_options("Senders")
        ("senders", "Sensors on one stream, one frame of each in turn, each at --rate with "
         "its own counters; --count is per sender",
         cxxopts::value<int64_t>()->default_value("1"), "N")
        ("vary", "How the senders differ: id (--sender-id, +1, ...) or address (--source, "
         "+1, ..., loopback addresses only)",
         cxxopts::value<std::string>()->default_value("id"), "id|address");
    options.add_options("Frame")
        ("lines", "Scan lines per module", cxxopts::value<int64_t>()->default_value("16"), "N")
        ("beams", "Beams per line", cxxopts::value<int64_t>()->default_value("240"), "N")
        ("echoes", "Echoes per beam", cxxopts::value<int64_t>()->default_value("3"), "N")
        ("modules", "Modules (segments) per frame",
         cxxopts::value<int64_t>()->default_value("1"), "N")
        ("telegram-version", "Telegram version, 3 or 4",
         cxxopts::value<int64_t>()->default_value("4"), "V")
        ("values", "Values present: comma-separated subset of distance,rssi,theta,properties, "
         "or none", cxxopts::value<std::string>()->default_value("distance,rssi,theta,properties"),
         "LIST")
        ("sender-id", "Sender identifier in every module; with --senders, the first one's",
         cxxopts::value<int64_t>()->default_value("1"), "ID");
    options.add_options("Faults")
        ("skip-every", "Leave out every Nth telegram counter (N >= 2)",
         cxxopts::value<int64_t>()->default_value("0"), "N")
        ("bad-every", "Send a malformed datagram after every Nth frame",
         cxxopts::value<int64_t>()->default_value("0"), "N");
    options.add_options("Capture")
        ("pcap-out", "Write the datagrams into this pcap file instead of sending them",
         cxxopts::value<std::string>(), "FILE")
        ("mtu", "Largest IPv4 packet in the capture; larger datagrams are fragmented",
         cxxopts::value<int64_t>()->default_value("1500"), "BYTES")
        ("shuffle-fragments", "Write the fragments of each datagram in random order")
        ("drop-fragment", "Leave out one fragment of about one fragmented datagram in N",
         cxxopts::value<int64_t>()->default_value("0"), "N")
        ("seed", "Seed of the random choices of --shuffle-fragments and --drop-fragment",
         cxxopts::value<int64_t>()->default_value("1"), "N");
    // clang-format on
    return options;
}

// Reads an integer option and checks its range; the message names the option.
uint32_t boundedOption(const cxxopts::ParseResult& result, const char* name, int64_t lo,
                       int64_t hi) {
    const int64_t value = result[name].as<int64_t>();
    if (value < lo || value > hi)
        throw std::runtime_error("--" + std::string(name) + " " + std::to_string(value) +
                                 ": must be " + std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<uint32_t>(value);
}

// Sets the presence flags from a comma-separated list of distance, rssi, theta, properties
// ("none" or an empty text: no values at all).
void applyValueList(const std::string& list, ScanSettings& settings) {
    settings.hasDistance = settings.hasRssi = settings.hasTheta = settings.hasProperties = false;
    std::istringstream in(list);
    std::string name;
    while (std::getline(in, name, ',')) {
        if (name == "distance")
            settings.hasDistance = true;
        else if (name == "rssi")
            settings.hasRssi = true;
        else if (name == "theta")
            settings.hasTheta = true;
        else if (name == "properties")
            settings.hasProperties = true;
        else if (name != "none" && !name.empty())
            throw std::runtime_error("--values " + list + ": unknown value '" + name +
                                     "', expected distance, rssi, theta, properties or none");
    }
}

RunLimits runLimits(const cxxopts::ParseResult& result) {
    RunLimits limits;
    limits.rate = result["rate"].as<double>();
    // A million frames per second is far beyond any sensor; above it the period rounds badly.
    if (!(limits.rate >= 0 && limits.rate <= 1e6))
        throw std::runtime_error("--rate " + std::to_string(limits.rate) + ": must be 0..1000000");
    if (result.count("count") != 0)
        limits.count = boundedOption(result, "count", 1, std::numeric_limits<uint32_t>::max());
    if (result.count("duration") != 0) {
        limits.durationS = result["duration"].as<double>();
        // An upper bound keeps the seconds representable in the clock's nanoseconds.
        if (!(limits.durationS > 0 && limits.durationS <= 1e9))
            throw std::runtime_error("--duration: must be a positive number of seconds");
    }
    return limits;
}

ScanSettings scanSettings(const cxxopts::ParseResult& result, double nominalRate) {
    ScanSettings scan;
    scan.lines = boundedOption(result, "lines", 1, 65535);
    scan.beams = boundedOption(result, "beams", 1, 65535);
    scan.echoes = boundedOption(result, "echoes", 0, 255);
    scan.modulesPerFrame = boundedOption(result, "modules", 1, 255);
    scan.telegramVersion = boundedOption(result, "telegram-version", 3, 4);
    applyValueList(result["values"].as<std::string>(), scan);
    scan.senderId = boundedOption(result, "sender-id", 0, std::numeric_limits<uint32_t>::max());
    scan.skipEvery = boundedOption(result, "skip-every", 0, std::numeric_limits<uint32_t>::max());
    if (scan.skipEvery == 1)
        throw std::runtime_error("--skip-every 1: must be 0 (never) or at least 2");
    scan.badEvery = boundedOption(result, "bad-every", 0, std::numeric_limits<uint32_t>::max());
    // Time stamps follow the nominal rate: each frame spans its modules' segments.
    scan.segmentDurationUs = 1e6 / (nominalRate * scan.modulesPerFrame);
    scan.startTimeUs = 0;
    return scan;
}

Destination destination(const cxxopts::ParseResult& result) {
    Destination destination;
    destination.host = result["host"].as<std::string>();
    destination.port = static_cast<int>(boundedOption(result, "port", 1, 65535));
    if (result.count("source") != 0) destination.source = result["source"].as<std::string>();
    if (result.count("multicast") != 0) {
        if (result.count("host") != 0)
            throw std::runtime_error("--multicast replaces --host: give one of them");
        destination.host = result["multicast"].as<std::string>();
        destination.multicast = true;
        const auto group = parseIpv4Address(destination.host);
        if (!group || !isMulticastAddress(*group))
            throw std::runtime_error("--multicast " + destination.host +
                                     ": not an IPv4 multicast group (224.0.0.0 to "
                                     "239.255.255.255)");
    }
    if (result.count("interface") != 0) {
        if (!destination.multicast) throw std::runtime_error("--interface needs --multicast");
        destination.interface = result["interface"].as<std::string>();
    }
    return destination;
}

// One socket per sender with --vary address: far below the usual limit of 1024 descriptors.
constexpr int64_t maxSenders = 1000;

Senders senders(const cxxopts::ParseResult& result) {
    Senders senders;
    senders.count = boundedOption(result, "senders", 1, maxSenders);
    const std::string vary = result["vary"].as<std::string>();
    if (vary == "address")
        senders.vary = Vary::address;
    else if (vary != "id")
        throw std::runtime_error("--vary " + vary + ": must be id or address");
    return senders;
}

PcapWriterOptions captureOptions(const cxxopts::ParseResult& result) {
    PcapWriterOptions capture;
    // 68: the smallest MTU of an IPv4 link (RFC 791); 65535: the largest IPv4 packet.
    capture.mtu = boundedOption(result, "mtu", 68, 65535);
    capture.shuffleFragments = result["shuffle-fragments"].as<bool>();
    capture.dropOneIn =
        boundedOption(result, "drop-fragment", 0, std::numeric_limits<uint32_t>::max());
    capture.seed = static_cast<uint64_t>(result["seed"].as<int64_t>());
    return capture;
}

}  // namespace

std::optional<Options> parseOptions(int argc, const char* const* argv, std::ostream& out) {
    cxxopts::Options options = optionTable(argv[0]);
    cxxopts::ParseResult result;
    try {
        result = options.parse(argc, argv);
    } catch (const cxxopts::exceptions::exception& error) {
        throw std::runtime_error(std::string("Parsing command line arguments failed: ") +
                                 error.what());
    }
    if (result.count("version") != 0) {
        out << compactVersion << '\n';
        return std::nullopt;
    }
    if (result.count("help") != 0) {
        out << options.help({"", "Senders", "Frame", "Faults", "Capture"}) << epilogue;
        return std::nullopt;
    }
    if (!result.unmatched().empty())
        throw std::runtime_error("Unexpected argument: " + result.unmatched().front());

    Options parsed;
    parsed.destination = destination(result);
    parsed.senders = senders(result);
    parsed.limits = runLimits(result);
    parsed.scan = scanSettings(result, parsed.limits.nominalRate());
    if (parsed.senders.vary == Vary::id &&
        parsed.scan.senderId > std::numeric_limits<uint32_t>::max() - (parsed.senders.count - 1))
        throw std::runtime_error("--sender-id " + std::to_string(parsed.scan.senderId) +
                                 " with --senders " + std::to_string(parsed.senders.count) +
                                 ": the last sender's id passes 4294967295");

    if (result.count("pcap-out") != 0) {
        parsed.pcapOut = result["pcap-out"].as<std::string>();
        // Written as fast as possible, a capture without a limit would fill the disk.
        if (result.count("count") == 0 && result.count("duration") == 0)
            throw std::runtime_error("--pcap-out needs --count or --duration");
        if (result.count("interface") != 0)
            throw std::runtime_error("--interface sends; it does not go with --pcap-out");
    } else {
        for (const char* name : {"mtu", "shuffle-fragments", "drop-fragment", "seed"})
            if (result.count(name) != 0)
                throw std::runtime_error("--" + std::string(name) + " needs --pcap-out");
    }
    parsed.capture = captureOptions(result);
    return parsed;
}

ScanSettings senderScan(const Options& options, uint32_t index) {
    ScanSettings scan = options.scan;
    if (options.senders.vary == Vary::id) scan.senderId += index;
    return scan;
}

}  // namespace compact::sim
