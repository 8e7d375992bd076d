// compact_sim: sends synthetic Compact frames over UDP at a steady rate, as a sensor would, so
// that a receiver and the pipeline behind it can be tried out without a sensor.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

#include "synthetic_scan.h"

#ifndef COMPACT_VERSION
#define COMPACT_VERSION "unknown"
#endif

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

At the end (count or duration reached, or Ctrl-C) one summary line is written:
frames, malformed datagrams, datagrams and bytes sent, telegram counters skipped.
Exit status 0, or 1 when the options are invalid, the destination cannot be
used or a datagram could not be sent.
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
};

struct Options {
    Destination destination;
    RunLimits limits;
    compact::ScanSettings scan;
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
    // clang-format on

    cxxopts::ParseResult result;
    try {
        result = options.parse(argc, argv);
    } catch (const cxxopts::exceptions::exception& error) {
        fail(std::string("Parsing command line arguments failed: ") + error.what());
    }
    if (result.count("version") != 0) {
        std::cout << COMPACT_VERSION << '\n';
        std::exit(EXIT_SUCCESS);
    }
    if (result.count("help") != 0) {
        std::cout << options.help({"", "Frame", "Faults"}) << epilogue;
        std::exit(EXIT_SUCCESS);
    }
    if (!result.unmatched().empty()) fail("Unexpected argument: " + result.unmatched().front());

    Options out;
    out.destination.host = result["host"].as<std::string>();
    out.destination.port = static_cast<int>(boundedOption(result, "port", 1, 65535));
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

    // Time stamps follow the nominal rate: each frame spans its modules' segments.
    const double nominalRate = out.limits.rate > 0 ? out.limits.rate : 240.0;
    scan.segmentDurationUs = 1e6 / (nominalRate * scan.modulesPerFrame);
    scan.startTimeUs = 0;
    return out;
}

// An IPv4 UDP socket with the destination address it sends to.
class Sender {
  public:
    explicit Sender(const Destination& destination) : label(destination.host) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        const std::string port = std::to_string(destination.port);
        const int status = getaddrinfo(destination.host.c_str(), port.c_str(), &hints, &found);
        if (status != 0)
            fail("Failed to resolve host " + destination.host + ":" + gai_strerror(status));
        std::memcpy(&address, found->ai_addr, found->ai_addrlen);
        addressLength = found->ai_addrlen;
        freeaddrinfo(found);
        label += ":" + port;

        fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd == -1) fail(std::string("Failed to create socket:") + std::strerror(errno));
    }
    ~Sender() { close(fd); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Sends one datagram. A failure is reported on standard error unless it repeats the error of
    // the previous failure, so that a persistent error gives one line, not one per frame.
    bool send(const std::string& bytes) {
        const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&address), addressLength);
        if (sent == static_cast<ssize_t>(bytes.size())) return true;
        const int error = sent < 0 ? errno : EMSGSIZE;
        if (error != lastError)
            std::cerr << "Failed to send to " << label << ":" << std::strerror(error) << '\n';
        lastError = error;
        return false;
    }

  private:
    int fd = -1;
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    std::string label;
    int lastError = 0;
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

Totals run(const RunLimits& limits, compact::SyntheticScan& scan, Sender& sender) {
    Totals totals;
    const bool paced = limits.rate > 0;
    const auto period = std::chrono::round<SteadyClock::duration>(
        std::chrono::duration<double>(paced ? 1.0 / limits.rate : 0.0));
    const auto start = SteadyClock::now();
    const auto end = limits.durationS > 0
                         ? start + std::chrono::duration_cast<SteadyClock::duration>(
                                       std::chrono::duration<double>(limits.durationS))
                         : SteadyClock::time_point::max();
    auto slot = start;
    while (!stopRequested) {
        if (limits.count != 0 && scan.framesProduced() >= limits.count) break;
        if ((paced ? slot : SteadyClock::now()) >= end) break;
        if (paced && !waitUntil(slot)) break;

        for (const compact::Datagram& datagram : scan.nextSlot()) {
            if (!sender.send(datagram.bytes)) {
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
    Sender sender(options.destination);
    installStopHandlers();

    const Totals totals = run(options.limits, *scan, sender);

    std::cout << totals.frames << " frames, " << totals.malformed << " malformed, "
              << totals.datagrams << " datagrams, " << totals.bytes << " bytes sent; "
              << totals.skipped << " telegram counters skipped";
    if (totals.failures != 0) std::cout << "; " << totals.failures << " datagrams failed to send";
    std::cout << std::endl;
    return totals.failures == 0 ? EXIT_SUCCESS : exitFailure;
}
