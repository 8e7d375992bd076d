// Program entry of the receiver: the command line (option table, help, version, range arguments
// and their consistency checks) that turns argv into the writer's settings, the stop flag set by
// SIGINT and SIGTERM, and the receive loop that joins socket, decoder, status line and writer.
#pragma once

#include <atomic>
#include <csignal>
#include <cxxopts.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "compact_csv.h"

class Socket;
class Status;
namespace compact {
class PcapReader;
}

// Version printed by --version, as major.minor.patch.
constexpr int versionMajor = 0;
constexpr int versionMinor = 1;
constexpr int versionPatch = 2;

// Parses the command line against the receiver's option table. argv[0] is the program name shown
// in the usage line; argc and argv are the entry point's, unchanged.
// Returns the parse result only when parsing succeeded and neither --version nor --help was given.
// Otherwise it ends the process itself:
//   --version           "0.1.2" on standard output, exit status 0 (checked before --help);
//   --help              the option help, the epilogue and a newline on standard output, status 0;
//   a parse error       "Parsing command line arguments failed: <reason>" on standard output,
//                       exit status 1 (unknown option, missing value, non-numeric port, ...).
// Filter values are not examined here; processArguments does that.
cxxopts::ParseResult parseArguments(int argc, const char** argv);

// Builds the writer's settings from a parse result of parseArguments: output path, header flags,
// phi tolerance (degrees on the command line, radians in the record) and the six filters.
// Integer filters go through intRange, angle filters through angleRange, in the order segment,
// beam, theta, line, phi, echo. Ends the process with exit status 1 and one line on standard error
// when a filter text cannot be converted ("Failed to process arguments: stoi" or "... stod") or
// when the filters contradict each other (theta without a single line or single phi, beam with
// theta, line with phi, checked in that order). Values themselves are not limited.
CompactCSV::Options processArguments(const cxxopts::ParseResult& result);

// Parses "N" or "N:M" (decimal integers, std::stoi grammar: leading blanks and a sign accepted,
// conversion stops at the first character that cannot continue the number).
// Returns two values, lowest first; one number N gives {N, N}. Text after the second number is
// ignored. Throws std::invalid_argument ("stoi") when no number starts the text or the text after
// the first colon, std::out_of_range ("stoi") when a number does not fit in an int.
std::vector<int> intRange(const std::string& text);

// Parses "A" or "A:B" in degrees (std::stod grammar, exponents included) and returns radians as
// float: one value for "A", two values lowest first for "A:B" (equal values stay two values).
// Each angle is multiplied by pi/180 in double precision before rounding to float.
// Throws std::invalid_argument ("stod") when no number can be read, std::out_of_range ("stod")
// when the value overflows or underflows a double.
std::vector<float> angleRange(const std::string& text);

// Installed location of the Compact format description that the help text refers to.
const char* formatDocumentPath();

// The stop request of the receive loop: one process-wide flag set by SIGINT and SIGTERM.
//
// The first call of instance() builds the object and installs handler() for both signals, without
// SA_RESTART, so that a receive waiting for a datagram returns early when one arrives. The handler
// stays installed until the object is destroyed at process exit, which restores the default
// actions. A second signal only sets the flag again.
class SigINT {
  public:
    // The one object, built on the first call. Throws std::runtime_error "Failed to install signal
    // handler" when a handler cannot be installed (no handler is left installed then, and a later
    // call tries again).
    static SigINT& instance();

    // True once SIGINT or SIGTERM has arrived since the object was built. Reads the flag afresh on
    // every call.
    bool isInterrupted() const { return interrupted != 0; }

    // The installed handler: sets the flag for SIGINT and SIGTERM, ignores other signal numbers.
    // Async-signal-safe: it only stores into a lock-free flag.
    static void handler(int signal);

    ~SigINT();
    SigINT(const SigINT&) = delete;
    SigINT& operator=(const SigINT&) = delete;

  private:
    SigINT();

    volatile std::sig_atomic_t interrupted = 0;
    // The object whose flag the handler sets; null while none is installed. A pointer rather than a
    // call of instance() in the handler, which could run while instance() is still building it.
    static std::atomic<SigINT*> installed;
    static_assert(std::atomic<SigINT*>::is_always_lock_free,
                  "the handler needs a lock-free pointer");
};

// Handles one datagram: copies `datagram` into a byte string, decodes it as a Compact frame,
// reports its telegram counter to `status` (when not null) and hands the frame to `writer`. Any
// std::exception raised meanwhile (a validation error of the decoder, data ending before the frame
// does, an absurd count, memory exhaustion, an error thrown while writing) drops the datagram:
// `status` counts a parse error, nothing is rethrown. A frame that fails while the writer writes
// its rows may leave those rows partly written and still counts as a telegram. Returns true when
// the frame was decoded and written. Does not look at writer.failed(). The source of the bytes
// (socket, capture file) is the caller's business.
bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer);

// Receives datagrams from `socket` and hands each to handleDatagram until SigINT reports a stop
// request, checked before every receive. Before every receive, `status` (when not null) may print
// its line. Receive time-outs and errors are retried silently; the socket's time-out bounds how
// long a stop request waits. Returns false as soon as the writer reports a failed output (checked
// once per datagram), true when stopped by a signal. Throws what SigINT::instance() throws.
bool receiveUntilStopped(Socket& socket, Status* status, CompactCSV& writer);

// How a conversion of a capture file ended.
struct ConversionEnd {
    bool outputFailed = false;     // the writer reported a failed output; the conversion stopped
    bool statusLineShown = false;  // a status line was printed (it ends without a line feed)
};

// Hands every UDP datagram that `reader` delivers (those passing its filter, in file order) to
// handleDatagram, with `status` counting telegrams and parse errors, until the end of the capture
// or a stop request from SigINT, checked before every datagram. With `showStatus`, the status line
// is printed on standard output whenever its period has passed, as in the receive loop (the rate
// is then telegrams per second of conversion). Stops as soon as the writer reports a failed
// output (checked once per datagram). Throws what SigINT::instance() throws.
ConversionEnd convertCapture(compact::PcapReader& reader, Status& status, bool showStatus,
                             CompactCSV& writer);

// The account of a finished conversion in one line without line feed, from the reader's counters,
// the status object's and the rows written:
// "<capture>: 120 datagrams read, 0 filtered out, 4800 fragments reassembled, 2 incomplete
// datagrams dropped (1 time-out, 1 end of capture), 3 records skipped (3 not IPv4), 1 parse
// errors, 2 lost telegrams, 960 rows written". The parentheses list the reasons with a non-zero
// count, in a fixed order, and are left out when the count before them is 0.
std::string conversionSummary(const std::string& capturePath, const compact::PcapReader& reader,
                              const Status& status, uint64_t rowsWritten);

// The receiver from command line to exit status: parses the arguments (which may end the process,
// see parseArguments and processArguments), refuses a port outside 1..65535 ("Port must be between
// 1 and 65535", status 1), binds the socket (connected to --address when given) with a 1 s receive
// time-out, creates the status line when writing to a file, opens the writer, and receives until
// SIGINT or SIGTERM. Then releases writer, status and socket in that order.
// Returns 0 after a stop by signal with all output written; 1 after a failed write
// ("Failed to write output:" + system error text on standard error) or a set-up error thrown by the
// socket or the signal handler (its message on standard error). Socket creation, bind and output
// file failures end the process with status 1 inside those classes.
//
// With --pcap FILE it converts the capture instead and opens no socket: datagrams to "port" (from
// "address", when given) go through handleDatagram until the end of the file or SIGINT/SIGTERM,
// then the summary line of conversionSummary follows on standard output (on standard error when
// the CSV goes to standard output), after a line feed that ends a status line shown. Returns 0
// then. A file that cannot be opened or is not a capture: libpcap's error text on standard error,
// status 1, before the output is opened. A read error in the middle of the file (a record cut off)
// ends the conversion like the end of the file, with "<capture>: <libpcap's text>" on standard
// error.
int runReceiver(int argc, const char** argv);
