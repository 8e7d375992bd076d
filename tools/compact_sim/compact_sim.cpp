// compact_sim: sends synthetic Compact frames over UDP at a steady rate, as a sensor would, so
// that a receiver and the pipeline behind it can be tried out without a sensor; or writes them
// into a capture file as a network would carry them, IPv4 fragments included.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cxxopts.hpp>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/version.h"
#include "generators/pcap_writer.h"
#include "generators/synthetic_scan.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int exitFailure = 1;

// Longest single sleep while waiting for the next frame, so that Ctrl-C ends even a slow run
// promptly (the standard sleep resumes after a signal).
constexpr auto maxSleep = std::chrono::milliseconds(100);

// How far sending may fall behind its schedule before the schedule is moved instead of catching
// up: a short hiccup is made good, a real stall (a suspended process, an overloaded machine) does
// not turn into a burst of frames that overflows the receiver's socket buffer.
constexpr auto maxLag = std::chrono::milliseconds(50);

// Source address and port written into a capture when --source is not given: the loopback
// address, and the first port of the dynamic range (RFC 6335), where systems pick senders' ports.
constexpr const char* defaultCaptureSource = "127.0.0.1";
constexpr uint16_t captureSourcePort = 49152;

// Frames per second that time stamps follow with --rate 0: one rotation of 12 segments at 20 Hz.
constexpr double defaultNominalRate = 240;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int) { stopRequested = 1; }

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    // A send blocked on a full socket buffer resumes instead of failing with EINTR; the wait
    // for the next frame checks the flag at least every maxSleep.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM}) {
        if (sigaction(signal, &action, nullptr) != 0)
            throw std::runtime_error(std::string("Failed to install signal handler:") +
                                     std::strerror(errno));
    }
}

[[noreturn]] void fail(const std::string& message) {
    std::cerr << message << '\n';
    std::exit(exitFailure);
}

const char* const epilogue = R"(
The simulated sensor turns in a room of 16 m x 12 m x 3.5 m with a cabinet in
front of it. Every module is one segment of a rotation of 12 segments: its lines
share the segment's 30 degree theta range and each line has its own phi, spread
over a 30 degree vertical field of view. Echo 0 is the first surface a beam
hits, echo 1 the wall behind the cabinet where a beam hits the cabinet, other
echoes are 0. Distances are millimetres; the property byte is 1 on the cabinet.
Telegram counters count up from 1, segment counters from 0 and the frame number
counts rotations; time stamps are microseconds since the start.

Faults: --skip-every N leaves out the Nth, 2Nth, ... telegram counter (the
frame is not sent and its time slot stays empty); --bad-every N sends one
malformed datagram right after every Nth frame sent, in addition to it and
without a telegram counter of its own: wrong magic, unsupported telegram
version and truncated frame, in turn. A receiver then reports exactly the
skipped counters as lost telegrams and the malformed datagrams as parse errors.

Capture: --pcap-out FILE writes the datagrams into a pcap file (Ethernet) as
the network would carry them to HOST:PORT from --source: IPv4 fragments of at
most --mtu bytes, time stamps one frame period apart from the start time, as
fast as possible (no pacing). It needs --count or --duration (simulated
seconds). --shuffle-fragments and --drop-fragment N test a receiver's
reassembly; --seed makes their choices repeatable.

At the end (count or duration reached, or Ctrl-C) one summary line is written:
frames, malformed datagrams, datagrams and bytes sent, telegram counters skipped.
Exit status 0, or 1 when the options are invalid, the destination cannot be
used or a datagram could not be sent or written.
)";

// Reads an integer option and checks its range; the message names the option.
uint32_t boundedOption(const cxxopts::ParseResult& result, const char* name, int64_t lo,
                       int64_t hi) {
    const int64_t value = result[name].as<int64_t>();
    if (value < lo || value > hi)
        fail("--" + std::string(name) + " " + std::to_string(value) + ": must be " +
             std::to_string(lo) + ".." + std::to_string(hi));
    return static_cast<uint32_t>(value);
}

// Sets the presence flags from a comma-separated list of distance, rssi, theta, properties
// ("none" or an empty text: no values at all).
void applyValueList(const std::string& list, compact::ScanSettings& settings) {
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
            fail("--values " + list + ": unknown value '" + name +
                 "', expected distance, rssi, theta, properties or none");
    }
}

struct RunLimits {
    double rate = 240;     // frames per second; 0: as fast as possible
    uint64_t count = 0;    // frames; 0: no limit
    double durationS = 0;  // seconds; 0: no limit
};

struct Destination {
    std::string host;
    int port = 0;
    std::string source;  // empty: the system picks (UDP) or defaultCaptureSource (capture)
};

struct Options {
    Destination destination;
    RunLimits limits;
    compact::ScanSettings scan;
    std::string pcapOut;  // empty: send over UDP
    compact::PcapWriterOptions capture;
};

Options parseOptions(int argc, const char** argv) {
    cxxopts::Options options(argv[0], "Send synthetic Compact frames over UDP.");
    // clang-format off
    options.add_options()
        ("host", "Destination IPv4 address or host name",
         cxxopts::value<std::string>()->default_value("127.0.0.1"), "HOST")
        ("p,port", "Destination UDP port", cxxopts::value<int64_t>()->default_value("2115"), "PORT")
        ("r,rate", "Frames per second, 0 for as fast as possible",
         cxxopts::value<double>()->default_value("240"), "FPS")
        ("n,count", "Stop after this many frames (default: no limit)",
         cxxopts::value<int64_t>(), "N")
        ("d,duration", "Stop after this many seconds (default: no limit)",
         cxxopts::value<double>(), "SECONDS")
        ("source", "Source IPv4 address: bound when sending, written into a capture "
         "(default: the system's choice, 127.0.0.1 in a capture)",
         cxxopts::value<std::string>(), "ADDRESS")
        ("v,version", "Print version number and exit")
        ("h,help", "Print usage");
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
        ("sender-id", "Sender identifier in every module",
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

    cxxopts::ParseResult result;
    try {
        result = options.parse(argc, argv);
    } catch (const cxxopts::exceptions::exception& error) {
        fail(std::string("Parsing command line arguments failed: ") + error.what());
    }
    if (result.count("version") != 0) {
        std::cout << compactVersion << '\n';
        std::exit(EXIT_SUCCESS);
    }
    if (result.count("help") != 0) {
        std::cout << options.help({"", "Frame", "Faults", "Capture"}) << epilogue;
        std::exit(EXIT_SUCCESS);
    }
    if (!result.unmatched().empty()) fail("Unexpected argument: " + result.unmatched().front());

    Options out;
    out.destination.host = result["host"].as<std::string>();
    out.destination.port = static_cast<int>(boundedOption(result, "port", 1, 65535));
    if (result.count("source") != 0) out.destination.source = result["source"].as<std::string>();
    out.limits.rate = result["rate"].as<double>();
    // A million frames per second is far beyond any sensor; above it the period rounds badly.
    if (!(out.limits.rate >= 0 && out.limits.rate <= 1e6))
        fail("--rate " + std::to_string(out.limits.rate) + ": must be 0..1000000");
    if (result.count("count") != 0)
        out.limits.count = boundedOption(result, "count", 1, std::numeric_limits<uint32_t>::max());
    if (result.count("duration") != 0) {
        out.limits.durationS = result["duration"].as<double>();
        // An upper bound keeps the seconds representable in the clock's nanoseconds.
        if (!(out.limits.durationS > 0 && out.limits.durationS <= 1e9))
            fail("--duration: must be a positive number of seconds");
    }

    compact::ScanSettings& scan = out.scan;
    scan.lines = boundedOption(result, "lines", 1, 65535);
    scan.beams = boundedOption(result, "beams", 1, 65535);
    scan.echoes = boundedOption(result, "echoes", 0, 255);
    scan.modulesPerFrame = boundedOption(result, "modules", 1, 255);
    scan.telegramVersion = boundedOption(result, "telegram-version", 3, 4);
    applyValueList(result["values"].as<std::string>(), scan);
    scan.senderId = boundedOption(result, "sender-id", 0, std::numeric_limits<uint32_t>::max());
    scan.skipEvery = boundedOption(result, "skip-every", 0, std::numeric_limits<uint32_t>::max());
    if (scan.skipEvery == 1) fail("--skip-every 1: must be 0 (never) or at least 2");
    scan.badEvery = boundedOption(result, "bad-every", 0, std::numeric_limits<uint32_t>::max());

    if (result.count("pcap-out") != 0) {
        out.pcapOut = result["pcap-out"].as<std::string>();
        // Written as fast as possible, a capture without a limit would fill the disk.
        if (result.count("count") == 0 && result.count("duration") == 0)
            fail("--pcap-out needs --count or --duration");
    } else {
        for (const char* name : {"mtu", "shuffle-fragments", "drop-fragment", "seed"})
            if (result.count(name) != 0) fail("--" + std::string(name) + " needs --pcap-out");
    }
    // 68: the smallest MTU of an IPv4 link (RFC 791); 65535: the largest IPv4 packet.
    out.capture.mtu = boundedOption(result, "mtu", 68, 65535);
    out.capture.shuffleFragments = result["shuffle-fragments"].as<bool>();
    out.capture.dropOneIn =
        boundedOption(result, "drop-fragment", 0, std::numeric_limits<uint32_t>::max());
    out.capture.seed = static_cast<uint64_t>(result["seed"].as<int64_t>());

    // Time stamps follow the nominal rate: each frame spans its modules' segments.
    const double nominalRate = out.limits.rate > 0 ? out.limits.rate : defaultNominalRate;
    scan.segmentDurationUs = 1e6 / (nominalRate * scan.modulesPerFrame);
    scan.startTimeUs = 0;
    return out;
}

// The IPv4 address of a host name or dotted address; ends the program when it cannot be
// resolved. `what` names the option in the message.
sockaddr_in resolve(const std::string& host, int port, const std::string& what) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) fail("Failed to resolve " + what + " " + host + ":" + gai_strerror(status));
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    return address;
}

// Where the datagrams go: a UDP socket (in real time) or a capture file (in simulated time).
class Output {
  public:
    virtual ~Output() = default;
    // True when datagrams leave at once and the run is paced by the clock.
    virtual bool realTime() const = 0;
    // Delivers one datagram of time slot `slot` (the telegram index, from 0). A failure is
    // reported on standard error unless it repeats the previous one; returns false then.
    virtual bool write(const std::string& bytes, uint64_t slot) = 0;
    // Ends the output; false (with a message) when data could not be written.
    virtual bool finish() { return true; }
};

// An IPv4 UDP socket with the destination address it sends to.
class Sender : public Output {
  public:
    explicit Sender(const Destination& destination)
        : address(resolve(destination.host, destination.port, "host")),
          label(destination.host + ":" + std::to_string(destination.port)) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd == -1) fail(std::string("Failed to create socket:") + std::strerror(errno));
        if (!destination.source.empty()) {
            const sockaddr_in local = resolve(destination.source, 0, "source");
            if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
                fail("Failed to bind to source " + destination.source + ":" + std::strerror(errno));
        }
    }
    ~Sender() override { close(fd); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool realTime() const override { return true; }

    bool write(const std::string& bytes, uint64_t) override {
        const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent == static_cast<ssize_t>(bytes.size())) return true;
        const int error = sent < 0 ? errno : EMSGSIZE;
        if (error != lastError)
            std::cerr << "Failed to send to " << label << ":" << std::strerror(error) << '\n';
        lastError = error;
        return false;
    }

  private:
    int fd = -1;
    sockaddr_in address{};
    std::string label;
    int lastError = 0;
};

// A pcap file receiving the datagrams as IPv4 packets in Ethernet frames, time-stamped one
// nominal frame period apart from the wall-clock time at the start.
class CaptureFile : public Output {
  public:
    CaptureFile(const std::string& path, const compact::PcapWriterOptions& options,
                const Destination& destination, double nominalRate)
        : source(resolve(destination.source.empty() ? defaultCaptureSource : destination.source, 0,
                         "source")),
          target(resolve(destination.host, destination.port, "host")),
          periodNs(1e9 / nominalRate),
          startNs(wallClockMicroseconds() * 1000) {
        try {
            writer = std::make_unique<compact::PcapWriter>(path, options);
        } catch (const compact::CaptureError& error) {
            fail(error.what());
        }
    }

    bool realTime() const override { return false; }

    bool write(const std::string& bytes, uint64_t slot) override {
        compact::UdpDatagram datagram;
        datagram.sourceAddress = ntohl(source.sin_addr.s_addr);
        datagram.destinationAddress = ntohl(target.sin_addr.s_addr);
        datagram.sourcePort = captureSourcePort;
        datagram.destinationPort = ntohs(target.sin_port);
        datagram.payload = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
        datagram.captureTimeNs = startNs + static_cast<uint64_t>(std::llround(slot * periodNs));
        writer->write(datagram);  // cannot throw: every frame fits one datagram
        return true;
    }

    bool finish() override {
        try {
            writer->close();
            return true;
        } catch (const compact::CaptureError& error) {
            std::cerr << "Failed to write capture " << error.what() << '\n';
            return false;
        }
    }

    uint64_t records() const { return writer->recordsWritten(); }
    uint64_t incompleteDatagrams() const { return writer->fragmentsDropped(); }

  private:
    // pcap keeps microseconds; starting on a whole one keeps every frame's offset exact.
    static uint64_t wallClockMicroseconds() {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
    }

    sockaddr_in source;
    sockaddr_in target;
    double periodNs;
    uint64_t startNs;
    std::unique_ptr<compact::PcapWriter> writer;
};

struct Totals {
    uint64_t frames = 0;
    uint64_t malformed = 0;
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t failures = 0;
    // Counters skipped before the last frame sent: a receiver sees exactly these as lost (a
    // skipped counter at the very end leaves no gap behind it).
    uint64_t skipped = 0;
};

// Waits until `deadline` or a stop request; returns false on a stop request.
bool waitUntil(SteadyClock::time_point deadline) {
    while (!stopRequested) {
        const auto now = SteadyClock::now();
        if (now >= deadline) return true;
        std::this_thread::sleep_until(std::min(deadline, now + maxSleep));
    }
    return false;
}

// Produces slots until the count, the duration (real time when sending, simulated time when
// writing a capture) or a stop request ends the run.
Totals run(const RunLimits& limits, compact::SyntheticScan& scan, Output& output) {
    Totals totals;
    const bool paced = output.realTime() && limits.rate > 0;
    const double nominalRate = limits.rate > 0 ? limits.rate : defaultNominalRate;
    const double simulatedSlots = limits.durationS * nominalRate;
    const auto period = std::chrono::round<SteadyClock::duration>(
        std::chrono::duration<double>(paced ? 1.0 / limits.rate : 0.0));
    const auto start = SteadyClock::now();
    const auto end = limits.durationS > 0 && output.realTime()
                         ? start + std::chrono::duration_cast<SteadyClock::duration>(
                                       std::chrono::duration<double>(limits.durationS))
                         : SteadyClock::time_point::max();
    auto slot = start;
    while (!stopRequested) {
        if (limits.count != 0 && scan.framesProduced() >= limits.count) break;
        if ((paced ? slot : SteadyClock::now()) >= end) break;
        if (!output.realTime() && limits.durationS > 0 &&
            static_cast<double>(scan.telegramsProduced()) >= simulatedSlots)
            break;
        if (paced && !waitUntil(slot)) break;

        const uint64_t slotIndex = scan.telegramsProduced();
        for (const compact::Datagram& datagram : scan.nextSlot()) {
            if (!output.write(datagram.bytes, slotIndex)) {
                ++totals.failures;
                continue;
            }
            ++totals.datagrams;
            totals.bytes += datagram.bytes.size();
            if (datagram.kind == compact::DatagramKind::frame) {
                ++totals.frames;
                totals.skipped = scan.telegramsSkipped();
            } else {
                ++totals.malformed;
            }
        }
        if (paced) {
            slot += period;
            const auto now = SteadyClock::now();
            if (now - slot > maxLag) slot = now;
        }
    }
    return totals;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, const_cast<const char**>(argv));
    std::unique_ptr<compact::SyntheticScan> scan;
    try {
        scan = std::make_unique<compact::SyntheticScan>(options.scan);
    } catch (const std::invalid_argument& error) {
        fail(error.what());
    }
    std::unique_ptr<Output> output;
    CaptureFile* capture = nullptr;
    if (options.pcapOut.empty()) {
        output = std::make_unique<Sender>(options.destination);
    } else {
        const double nominalRate =
            options.limits.rate > 0 ? options.limits.rate : defaultNominalRate;
        auto file = std::make_unique<CaptureFile>(options.pcapOut, options.capture,
                                                  options.destination, nominalRate);
        capture = file.get();
        output = std::move(file);
    }
    installStopHandlers();

    const Totals totals = run(options.limits, *scan, *output);
    const bool finished = output->finish();

    std::cout << totals.frames << " frames, " << totals.malformed << " malformed, "
              << totals.datagrams << " datagrams, " << totals.bytes << " bytes ";
    if (capture == nullptr)
        std::cout << "sent";
    else
        std::cout << "written in " << capture->records() << " capture records";
    std::cout << "; " << totals.skipped << " telegram counters skipped";
    if (capture != nullptr && options.capture.dropOneIn != 0)
        std::cout << "; " << capture->incompleteDatagrams() << " datagrams lack a fragment";
    if (totals.failures != 0) std::cout << "; " << totals.failures << " datagrams failed to send";
    std::cout << std::endl;
    return totals.failures == 0 && finished ? EXIT_SUCCESS : exitFailure;
}
