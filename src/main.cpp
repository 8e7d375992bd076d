// Program entry of the receiver: command-line parsing, help and version, conversion of the
// filter arguments into the writer's settings, the stop flag set by SIGINT and SIGTERM, the
// receive loop and main().

#include "main.h"

#include <malloc.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "compact_frame_magic.h"
#include "kaitaistream.h"
#include "pcap_reader.h"
#include "socket_cross_platform.h"
#include "status.h"

#ifndef COMPACT_FORMAT_DOC
// The build sets the installed path; this fallback only keeps stray builds compiling.
#define COMPACT_FORMAT_DOC "docs/compact-format.md"
#endif

namespace {

// pi/180: angles are given in degrees on the command line and kept in radians.
constexpr double radiansPerDegree = 0.017453292519943295;

constexpr int exitFailure = 1;

const std::string& helpEpilogue() {
    static const std::string text =
        std::string(
            "\n"
            "[1] One integer or two integers separated by a colon, e.g. 3 or 0:6\n"
            "[2] One decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5\n"
            "\n"
            "Please read the data format description at ") +
        formatDocumentPath() +
        " for\n"
        "further explanations about the Compact format.\n"
        "\n"
        "This program produces one text line of comma separated values for each filtered\n"
        "line of a segment. Static columns: sender_id, frame_number, segment_counter,\n"
        "line, timestamp_start, timestamp_stop, phi, theta_start, theta_stop.\n"
        "\n"
        "The beams and echos are flattened out, first the properties and then for\n"
        "each echo the distance and RSSI. Example for beam 42 with 3 echos:\n"
        "beam[42]_prop,\n"
        "beam[42]_echo[0]_dist, beam[42]_echo[0]_rssi,\n"
        "beam[42]_echo[1]_dist, beam[42]_echo[1]_rssi,\n"
        "beam[42]_echo[2]_dist, beam[42]_echo[2]_rssi,\n"
        "beam[43]_prop, ...\n"
        "\n"
        "The header with column names is written once at the start of a file.\n"
        "Whenever the beams and echos in a line change, a new header is written,\n"
        "but the file continues. This can occur if the scan profile is changed.\n"
        "\n"
        "All values are in the units present in the Compact format.\n"
        "Indices start at zero. This program is intended to run with narrow filters,\n"
        "although it would work without filters but produce very large files.\n"
        "\n"
        "Without the positional CSV parameter (or using -), data is written to stdout.\n"
        "If given a file to store the data, a status line is written to stdout and\n"
        "updated every few seconds.\n";
    return text;
}

float toRadians(double degrees) { return static_cast<float>(degrees * radiansPerDegree); }

// Reads a string option only when it was given: options without a default hold no value.
template <typename Convert>
auto convertIfGiven(const cxxopts::ParseResult& result, const char* name, Convert convert)
    -> decltype(convert(std::string())) {
    if (result.count(name) == 0) return {};
    return convert(result[name].as<std::string>());
}

[[noreturn]] void refuse(const char* message) {
    std::cerr << message << '\n';
    std::exit(exitFailure);
}

}  // namespace

const char* formatDocumentPath() { return COMPACT_FORMAT_DOC; }

cxxopts::ParseResult parseArguments(int argc, const char** argv) {
    // argv[0] names the program in the usage line. execve allows an empty argument vector, which
    // the option library cannot parse; it is taken as a program name without arguments.
    static const char* const noArguments[] = {"compact_csv", nullptr};
    if (argc < 1) {
        argc = 1;
        argv = const_cast<const char**>(noArguments);
    }
    cxxopts::Options options(argv[0], "Receive Compact frames via UDP, filter and store as CSV.");
    // clang-format off
    options.add_options()
        ("csv", "Output file or - for stdout",
         cxxopts::value<std::string>()->default_value("-"), "")
        ("a,address", "Source IP address, if omitted UDP packets from any address are accepted",
         cxxopts::value<std::string>(), "")
        ("port", "Destination UDP port", cxxopts::value<int>()->default_value("2115"), "")
        ("short-headers", "Write CSV headers like B100E0D instead of beam[100]_echo[0]_dist",
         cxxopts::value<bool>(), "")
        ("omit-angles", "Omit the columns phi, theta_start and theta_stop",
         cxxopts::value<bool>(), "")
        ("phi-tolerance",
         "Tolerance for comparison of phi angle parameter with the actual value (deg)",
         cxxopts::value<float>()->default_value("1.0"), "")
        ("r,pcap", "Read datagrams from a pcap or pcapng capture file instead of the network",
         cxxopts::value<std::string>(), "")
        ("v,version", "Print version number and exit.", cxxopts::value<bool>(), "")
        ("h,help", "Print usage", cxxopts::value<bool>(), "");
    options.add_options("Filter")
        ("s,segment", "Filter by segment counter [1]", cxxopts::value<std::string>(), "")
        ("b,beam", "Filter by beam index inside segment [1]", cxxopts::value<std::string>(), "")
        ("t,theta", "Filter by theta angle (deg) [2]", cxxopts::value<std::string>(), "")
        ("l,line", "Filter by segment line (this is not the layer!) [1]",
         cxxopts::value<std::string>(), "")
        ("p,phi", "Filter by phi angle (deg) [2]", cxxopts::value<std::string>(), "")
        ("e,echo", "Filter echos [1]", cxxopts::value<std::string>(), "");
    // clang-format on
    options.parse_positional({"csv"});
    options.positional_help("[CSV | -]");

    cxxopts::ParseResult result;
    try {
        result = options.parse(argc, argv);
    } catch (const cxxopts::exceptions::parsing& error) {
        std::cout << "Parsing command line arguments failed: " << error.what() << '\n';
        std::exit(exitFailure);
    }

    if (result["version"].as<bool>()) {
        std::cout << versionMajor << '.' << versionMinor << '.' << versionPatch << '\n';
        std::exit(EXIT_SUCCESS);
    }
    if (result["help"].as<bool>()) {
        std::cout << options.help() << helpEpilogue() << '\n';
        std::exit(EXIT_SUCCESS);
    }
    return result;
}

std::vector<int> intRange(const std::string& text) {
    const int first = std::stoi(text);
    const auto colon = text.find(':');
    if (colon == std::string::npos) return {first, first};
    const int second = std::stoi(text.substr(colon + 1));
    if (first < second) return {first, second};
    return {second, first};
}

std::vector<float> angleRange(const std::string& text) {
    const float first = toRadians(std::stod(text));
    const auto colon = text.find(':');
    if (colon == std::string::npos) return {first};
    const float second = toRadians(std::stod(text.substr(colon + 1)));
    if (second > first) return {first, second};
    return {second, first};
}

CompactCSV::Options processArguments(const cxxopts::ParseResult& result) {
    CompactCSV::Options settings;
    try {
        settings.csvFile = result["csv"].as<std::string>();
        settings.shortHeaders = result["short-headers"].as<bool>();
        settings.omitAngles = result["omit-angles"].as<bool>();
        settings.phiTolerance = toRadians(result["phi-tolerance"].as<float>());
        settings.segment = convertIfGiven(result, "segment", intRange);
        settings.beam = convertIfGiven(result, "beam", intRange);
        settings.theta = convertIfGiven(result, "theta", angleRange);
        settings.line = convertIfGiven(result, "line", intRange);
        settings.phi = convertIfGiven(result, "phi", angleRange);
        settings.echo = convertIfGiven(result, "echo", intRange);
    } catch (const std::exception& error) {
        std::cerr << "Failed to process arguments: " << error.what() << '\n';
        std::exit(exitFailure);
    }

    // The writer relies on these rules: theta turns into beam indices only within one line,
    // and a beam or line can be selected one way only.
    const bool singleLine = !settings.line.empty() && settings.line[0] == settings.line[1];
    const bool singlePhi = settings.phi.size() == 1;
    if (!settings.theta.empty() && !singleLine && !singlePhi)
        refuse("Parameter --theta works only with a single line or single phi angle");
    if (!settings.beam.empty() && !settings.theta.empty())
        refuse("Parameters --beam and --theta are mutually exclusive");
    if (!settings.line.empty() && !settings.phi.empty())
        refuse("Parameters --line and --phi are mutually exclusive");
    return settings;
}

std::atomic<SigINT*> SigINT::installed{nullptr};

namespace {

// The signals that ask the receiver to stop: Ctrl-C, and the service manager's stop request.
constexpr int stopSignals[] = {SIGINT, SIGTERM};

// Sets the action of every stop signal; false (with the actions set so far left in place) when the
// system refuses one.
bool setStopActions(void (*action)(int)) {
    struct sigaction settings {};
    settings.sa_handler = action;
    sigemptyset(&settings.sa_mask);
    settings.sa_flags = 0;  // no SA_RESTART: a waiting recv() returns at once with EINTR
    for (int signal : stopSignals) {
        if (sigaction(signal, &settings, nullptr) == -1) return false;
    }
    return true;
}

}  // namespace

SigINT::SigINT() {
    installed.store(this);
    if (!setStopActions(&SigINT::handler)) {
        setStopActions(SIG_DFL);
        installed.store(nullptr);
        throw std::runtime_error("Failed to install signal handler");
    }
}

SigINT::~SigINT() {
    setStopActions(SIG_DFL);
    installed.store(nullptr);
}

SigINT& SigINT::instance() {
    static SigINT flag;
    return flag;
}

void SigINT::handler(int signal) {
    if (signal != SIGINT && signal != SIGTERM) return;
    if (SigINT* flag = installed.load()) flag->interrupted = 1;
}

namespace {

// Receive buffer size: the largest value of the IPv4 total-length field, so every UDP payload fits
// and no datagram is ever cut short.
constexpr size_t receiveBufferBytes = 65535;

// Receive time-out: how long a stop request can wait for the loop, which checks it before every
// receive, and how stale the status line can get without datagrams.
constexpr unsigned int receiveTimeoutSeconds = 1;

// Minimum time between two status lines.
constexpr unsigned int statusPeriodMs = 5000;

// Valid UDP ports to listen on; 0 would make the system pick one nobody sends to.
constexpr int lowestPort = 1;
constexpr int highestPort = 65535;

void reportWriteFailure(const CompactCSV& writer) {
    std::cerr << "Failed to write output:" << writer.errorText() << '\n';
}

// The "port" option, refused outside 1..65535 (status 1).
unsigned short checkedPort(const cxxopts::ParseResult& arguments) {
    const int port = arguments["port"].as<int>();
    if (port < lowestPort || port > highestPort) refuse("Port must be between 1 and 65535");
    return static_cast<unsigned short>(port);
}

std::unique_ptr<Socket> openSocket(const cxxopts::ParseResult& arguments) {
    const unsigned short localPort = checkedPort(arguments);
    std::unique_ptr<Socket> socket =
        arguments.count("address") != 0
            ? std::make_unique<Socket>(localPort, arguments["address"].as<std::string>())
            : std::make_unique<Socket>(localPort);
    socket->setTimeout(receiveTimeoutSeconds);  // without it a stop request waits for a datagram
    return socket;
}

// "<count> <name>, ..." for the non-zero counts, in index order; name(i) names index i.
template <size_t N, typename Name>
std::string reasonList(const std::array<uint64_t, N>& counts, Name name) {
    std::string list;
    for (size_t i = 0; i < N; ++i) {
        if (counts[i] == 0) continue;
        if (!list.empty()) list += ", ";
        list += std::to_string(counts[i]) + ' ' + name(i);
    }
    return list;
}

// "<total> <what>", followed by " (<reasons>)" when the total is not 0.
std::string withReasons(uint64_t total, const std::string& what, const std::string& reasons) {
    return std::to_string(total) + ' ' + what + (total == 0 ? "" : " (" + reasons + ")");
}

// Converts the capture named by --pcap; see runReceiver.
int runConversion(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings) {
    const std::string path = arguments["pcap"].as<std::string>();
    compact::UdpFilter filter;
    filter.destinationPort = checkedPort(arguments);
    if (arguments.count("address") != 0) {
        // The same refusal as the socket's for an address it cannot connect to.
        filter.sourceAddress = compact::parseIpv4Address(arguments["address"].as<std::string>());
        if (!filter.sourceAddress) throw std::runtime_error("Invalid IPv4 address");
    }
    // Opened before the output, so that a wrong file name does not truncate an existing CSV.
    std::unique_ptr<compact::PcapReader> reader;
    try {
        reader = std::make_unique<compact::PcapReader>(path, filter);
    } catch (const compact::CaptureError& error) {
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
    // The status object always counts, for the summary; it prints only with an output file.
    const bool toFile = settings.csvFile != "-";
    Status status(settings.csvFile, statusPeriodMs);
    CompactCSV writer(settings);

    const ConversionEnd end = convertCapture(*reader, status, toFile, writer);
    if (end.outputFailed || !writer.finish()) {
        if (end.statusLineShown) std::cout << '\n';
        reportWriteFailure(writer);
        return exitFailure;
    }
    if (!reader->readError().empty()) std::cerr << path << ": " << reader->readError() << '\n';
    // Standard output carries the CSV when there is no output file.
    std::ostream& out = toFile ? std::cout : std::cerr;
    if (end.statusLineShown) out << '\n';
    out << conversionSummary(path, *reader, status, writer.rowsWritten()) << std::endl;
    return EXIT_SUCCESS;
}

}  // namespace

bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer) {
    try {
        const std::string bytes(datagram);
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t frame(&io);
        if (status != nullptr)
            status->telegramReceived(frame.frame()->header()->telegram_counter());
        writer.process(frame.frame());
        return true;
    } catch (const std::exception&) {
        // The decoder's validation errors, its end-of-data error and memory exhaustion alike: one
        // bad datagram must never end a recording.
        if (status != nullptr) status->parseErrorOccured();
        return false;
    }
}

bool receiveUntilStopped(Socket& socket, Status* status, CompactCSV& writer) {
    std::vector<char> buffer(receiveBufferBytes);
    while (!SigINT::instance().isInterrupted()) {
        if (status != nullptr) status->print(false);
        const ssize_t size = socket.receive(buffer.data(), buffer.size());
        if (size < 0) continue;  // time-out, signal or receive error: check the flag again
        handleDatagram(std::string_view(buffer.data(), static_cast<size_t>(size)), status, writer);
        if (writer.failed()) return false;
    }
    return true;
}

ConversionEnd convertCapture(compact::PcapReader& reader, Status& status, bool showStatus,
                             CompactCSV& writer) {
    ConversionEnd end;
    while (!SigINT::instance().isInterrupted()) {
        if (showStatus) {
            const auto wall = std::chrono::floor<std::chrono::seconds>(
                std::chrono::system_clock::now().time_since_epoch());
            end.statusLineShown |= status.print(false, Status::SteadyClock::now(),
                                                static_cast<std::time_t>(wall.count()), std::cout);
        }
        const std::optional<compact::UdpDatagram> datagram = reader.next();
        if (!datagram) break;
        const std::span<const uint8_t> payload = datagram->payload;
        handleDatagram(
            std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()),
            &status, writer);
        if (writer.failed()) {
            end.outputFailed = true;
            break;
        }
    }
    return end;
}

std::string conversionSummary(const std::string& capturePath, const compact::PcapReader& reader,
                              const Status& status, uint64_t rowsWritten) {
    const compact::CaptureStats& capture = reader.stats();
    const compact::ReassemblyStats& reassembly = reader.reassembly();
    const std::string dropped = reasonList(reassembly.dropped, [](size_t i) {
        return compact::dropReasonName(static_cast<compact::DropReason>(i));
    });
    const std::string skipped = reasonList(capture.skipped, [](size_t i) {
        return compact::skipReasonName(static_cast<compact::SkipReason>(i));
    });
    return capturePath + ": " + std::to_string(capture.delivered) + " datagrams read, " +
           std::to_string(capture.filteredOut) + " filtered out, " +
           std::to_string(reassembly.fragmentsReassembled) + " fragments reassembled, " +
           withReasons(reassembly.droppedTotal(), "incomplete datagrams dropped", dropped) + ", " +
           withReasons(capture.skippedTotal(), "records skipped", skipped) + ", " +
           std::to_string(status.parseErrors()) + " parse errors, " +
           std::to_string(status.lostTelegrams()) + " lost telegrams, " +
           std::to_string(rowsWritten) + " rows written";
}

int runReceiver(int argc, const char** argv) {
    // Every decoded frame allocates and frees its whole object tree (some 20,000 small objects for
    // a full frame). With the allocator's default trim threshold (128 KiB) the freed heap went back
    // to the kernel after each frame and was faulted in again for the next one, which cost more
    // than the decoding itself; keeping up to 64 MiB of freed heap removes that churn.
    constexpr int heapTrimThresholdBytes = 64 << 20;
    mallopt(M_TRIM_THRESHOLD, heapTrimThresholdBytes);
    try {
        const cxxopts::ParseResult arguments = parseArguments(argc, argv);
        const CompactCSV::Options settings = processArguments(arguments);
        if (arguments.count("pcap") != 0) return runConversion(arguments, settings);
        const std::unique_ptr<Socket> socket = openSocket(arguments);
        std::shared_ptr<Status> status;
        if (settings.csvFile != "-")
            status = std::make_shared<Status>(settings.csvFile, statusPeriodMs);
        CompactCSV writer(settings);

        // The final flush and close can fail as well (a full disk shows there first). Leaving the
        // scope releases writer, status, socket, settings and arguments, in that order.
        if (!receiveUntilStopped(*socket, status.get(), writer) || !writer.finish()) {
            reportWriteFailure(writer);
            return exitFailure;
        }
        return EXIT_SUCCESS;
    } catch (const std::exception& error) {
        // Set-up errors: an invalid --address, a failed connect, the signal handler refused.
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
}

#ifndef COMPACT_CSV_NO_MAIN
int main(int argc, char** argv) { return runReceiver(argc, const_cast<const char**>(argv)); }
#endif
