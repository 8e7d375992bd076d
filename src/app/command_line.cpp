// The receiver's command line: option table, help, version, range arguments and option checks.
#include "app/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "app/version.h"
#include "format/compact_wire.h"
#include "io/output_file.h"
#include "net/udp.h"

#if !defined(COMPACT_FORMAT_DOC) || !defined(COMPACT_BUILD_DIR)
// The build sets the installed path and the build tree; this fallback only keeps stray builds
// compiling.
#define COMPACT_FORMAT_DOC "docs/compact-format.md"
#define COMPACT_BUILD_DIR ""
#define COMPACT_SOURCE_FORMAT_DOC COMPACT_FORMAT_DOC
#endif

namespace {

using namespace std::string_literals;

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

float toRadians(double degrees) {
    return static_cast<float>(degrees * compact::wire::radiansPerDegree);
}

// The beginnings of the refusals of a command line that cannot be read, and of values that are
// not of their option's form.
constexpr const char* parsingFailed = "Parsing command line arguments failed: ";
constexpr const char* processingFailed = "Failed to process arguments: ";

// The forms of the range arguments, as the help text's footnotes describe them.
constexpr const char* intRangeForm =
    "expected one integer or two integers separated by a colon, e.g. 3 or 0:6";
constexpr const char* angleRangeForm =
    "expected one decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5";

// The whole text as one number of type T: an optional sign, then decimal digits (for double also
// a fraction and an exponent). Nothing else may surround it, no blank either. Empty when the text
// is not such a number, when the value does not fit in T, and for a double that is not finite
// ("inf" and "nan" are spelled like numbers).
template <typename T>
std::optional<T> wholeNumber(std::string_view text) {
    // std::from_chars takes a minus sign but no plus sign.
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) return std::nullopt;
    }
    T value{};
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value)) return std::nullopt;
    }
    return value;
}

// "N" or "N:M" as numbers of type T: the first and, after the one colon, the second. Throws
// RangeFormatError with `form` for any other text.
template <typename T>
std::pair<T, std::optional<T>> splitRange(const std::string& text, const char* form) {
    const std::string_view whole(text);
    const size_t colon = whole.find(':');
    const std::optional<T> first = wholeNumber<T>(whole.substr(0, colon));
    if (!first) throw RangeFormatError(form);
    if (colon == std::string_view::npos) return {*first, std::nullopt};
    // A second colon ends up in the second number, which it spoils.
    const std::optional<T> second = wholeNumber<T>(whole.substr(colon + 1));
    if (!second) throw RangeFormatError(form);
    return {*first, second};
}

// An integer range of indices, which start at 0: beams, lines, echoes.
std::vector<int> indexRange(const std::string& text) {
    std::vector<int> range = intRange(text);
    if (range[0] < 0) throw RangeFormatError("expected indices of 0 or more, e.g. 3 or 0:6");
    return range;
}

// Degrees to radians; an angle beyond the range of a float is refused like an overflow.
float checkedRadians(double degrees) {
    const float radians = toRadians(degrees);
    if (!std::isfinite(radians)) throw RangeFormatError(angleRangeForm);
    return radians;
}

// Converts a filter option when it was given (options without a default hold no value). A text
// that is not in the option's form is refused with the option, the text and the form.
template <typename Convert>
auto convertIfGiven(const cxxopts::ParseResult& result, const char* name, Convert convert)
    -> decltype(convert(std::string())) {
    if (result.count(name) == 0) return {};
    const std::string text = result[name].as<std::string>();
    try {
        return convert(text);
    } catch (const RangeFormatError& error) {
        throw UsageError(processingFailed + ("--"s + name) + " " + text + ": " + error.what());
    }
}

// Valid UDP ports to listen on; 0 would make the system pick one nobody sends to.
constexpr int lowestPort = 1;
constexpr int highestPort = 65535;
// Receive buffer and queue sizes: at least one unit, at most 1 GiB of socket buffer (far beyond
// any system's cap) and 16 GiB of queue.
constexpr int largestBufferKiB = 1 << 20;
constexpr int largestQueueMiB = 1 << 14;
// Rotation sizes, periods and counts beyond any use, whose products still fit 64 bits.
constexpr uint64_t maxRotationValue = 1'000'000'000;

// The numeric options are read from their text here rather than by the option library, so that a
// refusal names the option. Each with the form it takes, as a refusal states it.
struct NumberOption {
    const char* name;
    const char* form;
};
constexpr NumberOption portOption{"port", "expected a whole number from 1 to 65535"};
constexpr NumberOption toleranceOption{"phi-tolerance",
                                       "expected a decimal number of degrees, 0 or more, e.g. 1.0"};
constexpr NumberOption bufferOption{"buffer-size",
                                    "expected a whole number of KiB from 1 to 1048576"};
constexpr NumberOption queueOption{"queue-size", "expected a whole number of MiB from 1 to 16384"};

std::string optionText(const cxxopts::ParseResult& result, const NumberOption& option) {
    return std::string("--") + option.name + " " + result[option.name].as<std::string>();
}

// The value of a numeric option (each has a default): an int, or a float, which may also have a
// fraction and an exponent (see wholeNumber). Throws UsageError for a text that is not such a
// number: the option library's line for a value it cannot read, then the option, the text and
// the form.
template <typename T>
T numberOption(const cxxopts::ParseResult& result, const NumberOption& option) {
    const std::string text = result[option.name].as<std::string>();
    if (const std::optional<T> value = wholeNumber<T>(text)) return *value;
    throw UsageError(parsingFailed + ("Argument " + cxxopts::LQUOTE) + text + cxxopts::RQUOTE +
                     " failed to parse\n" + optionText(result, option) + ": " + option.form);
}

// Every option of the table, group by group.
std::vector<cxxopts::HelpOptionDetails> optionsOf(const cxxopts::Options& options) {
    std::vector<cxxopts::HelpOptionDetails> all;
    for (const std::string& group : options.groups()) {
        const std::vector<cxxopts::HelpOptionDetails>& details = options.group_help(group).options;
        all.insert(all.end(), details.begin(), details.end());
    }
    return all;
}

// Edits (insertions, deletions, substitutions) that turn `a` into `b`.
size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t substituted = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            diagonal = row[j];
            row[j] = std::min({substituted, row[j] + 1, row[j - 1] + 1});
        }
    }
    return row[b.size()];
}

// The long option that an unknown long name was most likely meant to be: the one it begins, when
// it begins only one; else the one nearest to it, when no other is as near and it lies within one
// edit per three letters (one edit at least). Empty when there is none; a single letter is a short
// option, which gets no hint.
std::string nearestOption(const cxxopts::Options& options, const std::string& unknown) {
    if (unknown.size() < 2) return "";
    std::vector<std::string> names;
    for (const cxxopts::HelpOptionDetails& option : optionsOf(options)) {
        names.insert(names.end(), option.l.begin(), option.l.end());
    }
    std::vector<std::string> begun;
    for (const std::string& name : names) {
        if (name.starts_with(unknown)) begun.push_back(name);
    }
    if (begun.size() == 1) return begun.front();
    const size_t allowed = std::max<size_t>(1, unknown.size() / 3);
    size_t fewest = allowed;
    std::vector<std::string> nearest;
    for (const std::string& name : names) {
        const size_t distance = editDistance(unknown, name);
        if (distance > fewest) continue;
        if (distance < fewest) nearest.clear();
        fewest = distance;
        nearest.push_back(name);
    }
    return nearest.size() == 1 ? nearest.front() : "";
}

// The option name in the option library's refusal of an unknown option.
std::string unknownName(const cxxopts::exceptions::no_such_option& error) {
    const std::string_view text = error.what();
    const size_t begin = text.find(cxxopts::LQUOTE);
    const size_t end = text.rfind(cxxopts::RQUOTE);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) return "";
    return std::string(
        text.substr(begin + cxxopts::LQUOTE.size(), end - begin - cxxopts::LQUOTE.size()));
}

// Refuses an option given more than once when it takes one value, naming it and its first two
// values: the last one would silently win. Flags may be repeated, and so may an option declared
// with a list of values (cxxopts::value<std::vector<...>>), which collects every one.
void refuseRepeated(const cxxopts::Options& options, const cxxopts::ParseResult& result) {
    std::set<std::string> once;
    for (const cxxopts::HelpOptionDetails& option : optionsOf(options)) {
        // Keyed as the parse result keys them: by the first long name, else the short one.
        if (option.is_container || option.is_boolean) continue;
        once.insert(option.l.empty() ? option.s : option.l.front());
    }
    std::map<std::string, std::string> first;
    for (const cxxopts::KeyValue& given : result.arguments()) {
        if (!once.contains(given.key())) continue;
        const auto [earlier, isFirst] = first.emplace(given.key(), given.value());
        if (isFirst) continue;
        const std::string name = (given.key().size() == 1 ? "-" : "--") + given.key() + " ";
        throw UsageError(parsingFailed + (name + earlier->second) + " and " + name + given.value() +
                         ": give the option once");
    }
}

// A number outside its option's range: the fixed text, then the option and the text.
UsageError outOfRange(const char* message, const cxxopts::ParseResult& result,
                      const NumberOption& option) {
    return UsageError(message + (": " + optionText(result, option)));
}

}  // namespace

std::string formatDocumentPath() {
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed || std::string_view(COMPACT_BUILD_DIR).empty()) return COMPACT_FORMAT_DOC;
    // The running program's path has its links resolved; so must the build tree's for comparison.
    const std::filesystem::path build =
        std::filesystem::weakly_canonical(COMPACT_BUILD_DIR, failed);
    if (failed) return COMPACT_FORMAT_DOC;
    const bool inBuildTree =
        std::mismatch(build.begin(), build.end(), program.begin(), program.end()).first ==
        build.end();
    return inBuildTree ? COMPACT_SOURCE_FORMAT_DOC : COMPACT_FORMAT_DOC;
}

std::optional<cxxopts::ParseResult> parseArguments(int argc, const char** argv) {
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
        ("port", "Destination UDP port", cxxopts::value<std::string>()->default_value("2115"), "")
        ("short-headers", "Write CSV headers like B100E0D instead of beam[100]_echo[0]_dist",
         cxxopts::value<bool>(), "")
        ("omit-angles", "Omit the columns phi, theta_start and theta_stop",
         cxxopts::value<bool>(), "")
        ("phi-tolerance",
         "Tolerance for comparison of phi angle parameter with the actual value (deg)",
         cxxopts::value<std::string>()->default_value("1.0"), "")
        ("r,pcap", "Read datagrams from a pcap or pcapng capture file instead of the network",
         cxxopts::value<std::string>(), "")
        ("describe", "Describe the telegrams received instead of writing CSV",
         cxxopts::value<bool>(), "")
        ("B,buffer-size", "Socket receive buffer (KiB); the system caps it unless privileged",
         cxxopts::value<std::string>()->default_value("16384"), "")
        ("queue-size", "Room for datagrams waiting to be written (MiB)",
         cxxopts::value<std::string>()->default_value("64"), "")
        ("w,write-capture", "Keep every datagram received in a pcapng capture file",
         cxxopts::value<std::string>(), "")
        ("C", "Start new files when one passes SIZE million bytes (with -w: together)",
         cxxopts::value<std::string>(), "")
        ("G", "Start new files every SECONDS; file names are then strftime patterns (UTC)",
         cxxopts::value<std::string>(), "")
        ("W", "With -C: keep at most COUNT files; with -G: stop after COUNT files",
         cxxopts::value<std::string>(), "")
        ("receive-time", "Add a first column receive_time: when the datagram arrived (ns since "
         "1970, UTC)", cxxopts::value<bool>(), "")
        ("points", "One row per point: x, y, z of each echo (with its distance, angles and "
         "indices) instead of one row per line", cxxopts::value<bool>(), "")
        ("multicast", "Join this IPv4 multicast group on the port (repeatable)",
         cxxopts::value<std::vector<std::string>>(), "")
        ("interface", "The network interface for --multicast (default: the system's choice)",
         cxxopts::value<std::string>(), "")
        ("per-sender", "One CSV file per sender, named by a pattern with {address} and "
         "{sender_id}", cxxopts::value<std::string>(), "")
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
    } catch (const cxxopts::exceptions::no_such_option& error) {
        const std::string meant = nearestOption(options, unknownName(error));
        const std::string hint = meant.empty() ? "" : "; did you mean --" + meant + "?";
        throw UsageError(parsingFailed + (error.what() + hint) + " (see --help)");
    } catch (const cxxopts::exceptions::parsing& error) {
        throw UsageError(parsingFailed + std::string(error.what()));
    }

    // A capture given where the output goes ("-r" forgotten) would be overwritten: that mistake
    // is named before any other.
    const std::string output = result["csv"].as<std::string>();
    const bool readsIt = result.count("pcap") != 0 && result["pcap"].as<std::string>() == output;
    if (output != "-" && !readsIt && compact::isCaptureFile(output)) {
        throw UsageError(output + " is a capture file; to convert it: compact_csv -r " + output +
                         " [CSV]");
    }
    // The output is the one positional argument: a second one is most likely a value whose
    // option was mistyped ("--beam 0 9 out.csv"), and would otherwise be ignored.
    if (!result.unmatched().empty()) {
        throw UsageError(parsingFailed + ("unexpected argument '" + result.unmatched().front()) +
                         "' (see --help)");
    }
    refuseRepeated(options, result);
    // Numbers are read before --help is answered, as they were when the option library read them.
    numberOption<int>(result, portOption);
    numberOption<float>(result, toleranceOption);
    numberOption<int>(result, bufferOption);
    numberOption<int>(result, queueOption);

    if (result["version"].as<bool>()) {
        std::cout << compactVersion << '\n';
        return std::nullopt;
    }
    if (result["help"].as<bool>()) {
        std::cout << options.help() << helpEpilogue() << '\n';
        return std::nullopt;
    }
    return result;
}

std::vector<int> intRange(const std::string& text) {
    const auto [first, second] = splitRange<int>(text, intRangeForm);
    if (!second) return {first, first};
    if (first < *second) return {first, *second};
    return {*second, first};
}

std::vector<float> angleRange(const std::string& text) {
    const auto [first, second] = splitRange<double>(text, angleRangeForm);
    const float firstRadians = checkedRadians(first);
    if (!second) return {firstRadians};
    const float secondRadians = checkedRadians(*second);
    if (secondRadians > firstRadians) return {firstRadians, secondRadians};
    return {secondRadians, firstRadians};
}

CompactCSV::Options processArguments(const cxxopts::ParseResult& result) {
    CompactCSV::Options settings;
    settings.csvFile = result["csv"].as<std::string>();
    settings.shortHeaders = result["short-headers"].as<bool>();
    settings.omitAngles = result["omit-angles"].as<bool>();
    settings.receiveTime = result["receive-time"].as<bool>();
    settings.points = result["points"].as<bool>();
    const float tolerance = numberOption<float>(result, toleranceOption);
    if (tolerance < 0) {
        throw UsageError(processingFailed + optionText(result, toleranceOption) + ": " +
                         toleranceOption.form);
    }
    settings.phiTolerance = toRadians(tolerance);
    settings.segment = convertIfGiven(result, "segment", intRange);
    settings.beam = convertIfGiven(result, "beam", indexRange);
    settings.theta = convertIfGiven(result, "theta", angleRange);
    settings.line = convertIfGiven(result, "line", indexRange);
    settings.phi = convertIfGiven(result, "phi", angleRange);
    settings.echo = convertIfGiven(result, "echo", indexRange);

    // The writer relies on these rules: theta turns into beam indices only within one line,
    // and a beam or line can be selected one way only.
    const bool singleLine = !settings.line.empty() && settings.line[0] == settings.line[1];
    const bool singlePhi = settings.phi.size() == 1;
    if (!settings.theta.empty() && !singleLine && !singlePhi)
        throw UsageError("Parameter --theta works only with a single line or single phi angle");
    if (!settings.beam.empty() && !settings.theta.empty())
        throw UsageError("Parameters --beam and --theta are mutually exclusive");
    if (!settings.line.empty() && !settings.phi.empty())
        throw UsageError("Parameters --line and --phi are mutually exclusive");
    // A description writes no file: an output asked for with it would silently not be written.
    if (result["describe"].as<bool>()) {
        if (result.count("csv") != 0)
            throw UsageError("--describe writes no CSV file; leave out the output file");
        for (const auto& [name, shown] : {std::pair{"write-capture", "-w"},
                                          {"C", "-C"},
                                          {"G", "-G"},
                                          {"W", "-W"},
                                          {"per-sender", "--per-sender"},
                                          {"points", "--points"},
                                          {"receive-time", "--receive-time"}}) {
            if (result.count(name) != 0)
                throw UsageError(std::string("--describe writes no files; leave out ") + shown);
        }
    }
    return settings;
}

unsigned short checkedPort(const cxxopts::ParseResult& arguments) {
    const int port = numberOption<int>(arguments, portOption);
    if (port < lowestPort || port > highestPort) {
        throw outOfRange("Port must be between 1 and 65535", arguments, portOption);
    }
    return static_cast<unsigned short>(port);
}

int checkedBufferBytes(const cxxopts::ParseResult& arguments) {
    const int kib = numberOption<int>(arguments, bufferOption);
    if (kib < 1 || kib > largestBufferKiB) {
        throw outOfRange("Buffer size must be between 1 and 1048576 KiB", arguments, bufferOption);
    }
    return kib * 1024;
}

size_t checkedQueueBytes(const cxxopts::ParseResult& arguments) {
    const int mib = numberOption<int>(arguments, queueOption);
    if (mib < 1 || mib > largestQueueMiB) {
        throw outOfRange("Queue size must be between 1 and 16384 MiB", arguments, queueOption);
    }
    return static_cast<size_t>(mib) << 20;
}

RotationSettings checkedRotation(const cxxopts::ParseResult& arguments) {
    RotationSettings rotation;
    auto positive = [&](const char* option, const char* what) -> uint64_t {
        if (arguments.count(option) == 0) return 0;
        const std::string text = arguments[option].as<std::string>();
        const std::optional<uint64_t> value = wholeNumber<uint64_t>(text);
        if (!value || *value == 0 || *value > maxRotationValue)
            throw UsageError(std::string("-") + option + " " + text + ": expected " + what);
        return *value;
    };
    rotation.sizeBytes = positive("C", "a whole number of million bytes from 1") * 1'000'000;
    rotation.periodNs = positive("G", "a whole number of seconds from 1") * 1'000'000'000;
    rotation.count = static_cast<uint32_t>(positive("W", "a whole number of files from 1"));
    if (rotation.count != 0 && !rotation.active())
        throw UsageError("-W limits the files of -C or -G: give one of them");
    return rotation;
}

std::optional<uint32_t> checkedAddress(const cxxopts::ParseResult& arguments) {
    if (arguments.count("address") == 0) return std::nullopt;
    const std::string text = arguments["address"].as<std::string>();
    if (const std::optional<uint32_t> address = compact::parseIpv4Address(text)) return address;
    throw UsageError("Invalid IPv4 address\n--address " + text +
                     ": expected a dotted IPv4 address such as 192.168.0.1; host names are not "
                     "looked up");
}

std::vector<uint32_t> checkedGroups(const cxxopts::ParseResult& arguments) {
    std::vector<uint32_t> groups;
    if (arguments.count("interface") != 0 && arguments.count("multicast") == 0)
        throw UsageError("--interface chooses where --multicast joins: give a group too");
    if (arguments.count("multicast") == 0) return groups;
    for (const std::string& text : arguments["multicast"].as<std::vector<std::string>>()) {
        const std::optional<uint32_t> group = compact::parseIpv4Address(text);
        if (!group || !compact::isMulticastAddress(*group)) {
            throw UsageError("--multicast " + text +
                             ": expected an IPv4 multicast group, 224.0.0.0 to 239.255.255.255");
        }
        groups.push_back(*group);
    }
    return groups;
}

std::string checkedSenderPattern(const cxxopts::ParseResult& arguments) {
    if (arguments.count("per-sender") == 0) return "";
    const std::string pattern = arguments["per-sender"].as<std::string>();
    const std::string refused = "--per-sender " + pattern + ": ";
    if (pattern.find("{address}") == std::string::npos &&
        pattern.find("{sender_id}") == std::string::npos)
        throw UsageError(refused + "name the files with {address} or {sender_id} or both");
    const size_t slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
    if (folder.find('{') != std::string::npos)
        throw UsageError(refused +
                         "{address} and {sender_id} belong in the file name, not a folder");
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw UsageError(refused + "there is no folder " + folder);
    if (arguments.count("csv") != 0)
        throw UsageError(refused + "the files are the output: leave out the output file");
    return pattern;
}
