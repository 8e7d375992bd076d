// The receiver's command line: the option table with its help and version, the range arguments
// of the filters and their consistency checks, turning argv into the writer's settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cxxopts.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/rotation.h"
#include "csv/compact_csv.h"

// A command line the program refuses. what() is the whole message, one or more lines without the
// final newline; the program's top level prints it on standard error and ends with status 1.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses the command line against the receiver's option table. argv[0] is the program name shown
// in the usage line; argc and argv are the entry point's, unchanged.
// Returns the parse result when parsing succeeded and neither --version nor --help was given.
// Returns nothing after printing, on standard output, "0.1.2" for --version (checked before
// --help) or the option help, the epilogue and a newline for --help: the program then ends with
// status 0. Throws UsageError "Parsing command line arguments failed: <reason>" for a command line
// it cannot parse (unknown option, missing value, a second positional argument: "unexpected
// argument 'ARG'", an option that takes one value given twice: "--line 0 and --line 3: give the
// option once", ...); for an unknown option and an unexpected argument the message ends with
// " (see --help)", after "; did you mean --line?" when an unknown long name is close to a long
// option (it begins only that one, or lies within one edit per three letters of only that one). A
// numeric option (port, phi-tolerance, buffer-size, queue-size) whose text is not a number of its
// type gets the reason "Argument 'TEXT' failed to parse" (in the option library's quotes) and a
// second line: "--port abc: expected a whole number from 1 to 65535". Such errors win over --help
// and --version. Filter values are not examined here; processArguments does that.
std::optional<cxxopts::ParseResult> parseArguments(int argc, const char** argv);

// Builds the writer's settings from a parse result of parseArguments: output path, header flags,
// phi tolerance (degrees on the command line, radians in the record) and the six filters.
// Integer filters go through intRange, angle filters through angleRange, in the order segment,
// beam, theta, line, phi, echo. Throws UsageError when a filter text is not in its option's form,
// naming the option by its long name, the text and the form: "Failed to process arguments: --beam
// 5-9: expected one integer or two integers separated by a colon, e.g. 3 or 0:6"; or when the
// filters contradict each other (theta without a single line or single phi, beam with theta, line
// with phi, checked in that order). Beam, line and echo indices start at 0: a negative one is
// refused with the form "expected indices of 0 or more, e.g. 3 or 0:6" (segment counters may be
// negative: their low 32 bits are compared as a signed number). A negative phi tolerance is
// refused too, before the filters: "Failed to process arguments: --phi-tolerance -1: expected a
// decimal number of degrees, 0 or more, e.g. 1.0".
CompactCSV::Options processArguments(const cxxopts::ParseResult& result);

// A range argument that is not in the form its option takes. what() is the form, without the
// option: "expected one integer or two integers separated by a colon, e.g. 3 or 0:6" or "expected
// one decimal or two decimals separated by a colon, e.g. 26.7 or -35:0.5".
class RangeFormatError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// Parses "N" or "N:M": each side is a whole decimal integer with an optional sign that fits in an
// int; no blanks, nothing before or after, no empty side, no second colon.
// Returns two values, lowest first; one number N gives {N, N}. Throws RangeFormatError for any
// other text.
std::vector<int> intRange(const std::string& text);

// Parses "A" or "A:B" in degrees, each side a whole finite decimal with an optional sign,
// fraction and exponent (no blanks, no "inf" or "nan", nothing before or after, no empty side, no
// second colon), and returns radians as float: one value for "A", two values lowest first for
// "A:B" (equal values stay two values). Each angle is multiplied by pi/180 in double precision
// before rounding to float. Throws RangeFormatError for any other text, and for a value that
// overflows or underflows a double or whose radians overflow a float.
std::vector<float> angleRange(const std::string& text);

// The Compact format description that the help text names: the source tree's
// docs/compact-format.md when the running program (/proc/self/exe) lies inside the build directory
// it was built in, which need not have been installed; the installed path otherwise (the installed
// program, and a package's program unpacked anywhere).
std::string formatDocumentPath();

// The checked numbers below throw UsageError as parseArguments does for a text that is not a
// number, and for a number outside the range the fixed text, then the option and the text:
// "Port must be between 1 and 65535: --port 0".

// The "port" option as a port number, 1..65535 ("Port must be between 1 and 65535").
unsigned short checkedPort(const cxxopts::ParseResult& arguments);

// The "buffer-size" option in bytes ("Buffer size must be between 1 and 1048576 KiB").
int checkedBufferBytes(const cxxopts::ParseResult& arguments);

// The "queue-size" option in bytes ("Queue size must be between 1 and 16384 MiB").
size_t checkedQueueBytes(const cxxopts::ParseResult& arguments);

// The rotation options -C SIZE (million bytes), -G SECONDS and -W COUNT. Throws UsageError with
// the option, its value and what it takes for a value that is not a whole number from 1, and for
// -W without -C or -G.
RotationSettings checkedRotation(const cxxopts::ParseResult& arguments);

// The "address" option in host byte order, nothing when it was not given; the one check of the
// address for the socket and the capture filter alike. Throws UsageError "Invalid IPv4 address"
// and a second line with the option, the text and the form when it is not dotted-decimal IPv4
// (see parseIpv4Address): "--address localhost: expected a dotted IPv4 address such as
// 192.168.0.1; host names are not looked up".
std::optional<uint32_t> checkedAddress(const cxxopts::ParseResult& arguments);

// The groups of --multicast, in host byte order. Throws UsageError for a group that is not an IPv4
// multicast address, and for --interface without a group.
std::vector<uint32_t> checkedGroups(const cxxopts::ParseResult& arguments);

// The pattern of --per-sender, "" without it. Throws UsageError when it holds neither {address}
// nor {sender_id}, holds one in its folder, names a folder that does not exist, or comes with an
// output file.
std::string checkedSenderPattern(const cxxopts::ParseResult& arguments);
