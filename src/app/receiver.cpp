// The receiver from command line to exit status: set-up, the run, its account, shutdown.
#include "app/receiver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/command_line.h"
#include "app/describe.h"
#include "app/pipeline.h"
#include "app/stop_signal.h"
#include "app/summary.h"
#include "csv/output_file.h"
#include "io/descriptor.h"
#include "io/pcap_reader.h"
#include "io/socket_cross_platform.h"
#include "io/status.h"

namespace {

constexpr int exitFailure = 1;

// Receive time-out of the socket (the receiving thread waits with its own, shorter, poll).
constexpr unsigned int receiveTimeoutSeconds = 1;

// Minimum time between two status lines, and between two checks of the output path.
constexpr unsigned int statusPeriodMs = 5000;

std::unique_ptr<Socket> openSocket(const cxxopts::ParseResult& arguments) {
    const unsigned short localPort = checkedPort(arguments);
    const int bufferBytes = checkedBufferBytes(arguments);
    // Checked before the socket exists, which reads the same text again.
    const std::optional<uint32_t> peer = checkedAddress(arguments);
    // Asked before binding: once bound, this socket itself would hold the port.
    const bool shared = Socket::portTaken(localPort);
    std::unique_ptr<Socket> socket =
        peer ? std::make_unique<Socket>(localPort, arguments["address"].as<std::string>())
             : std::make_unique<Socket>(localPort);
    if (shared) {
        std::cerr << "Another program already receives on UDP port " << localPort
                  << "; senders are split between them unless each uses --address" << std::endl;
    }
    socket->setTimeout(receiveTimeoutSeconds);
    // Linux reports twice the size it accepted.
    const int accepted = socket->setReceiveBuffer(bufferBytes) / 2;
    if (accepted < bufferBytes) {
        std::cerr << "Receive buffer limited to " << accepted / 1024
                  << " KiB; raise net.core.rmem_max to avoid losing telegrams" << std::endl;
    }
    socket->enableDropCounter();
    return socket;
}

compact::UdpFilter captureFilter(const cxxopts::ParseResult& arguments) {
    compact::UdpFilter filter;
    filter.destinationPort = checkedPort(arguments);
    filter.sourceAddress = checkedAddress(arguments);
    return filter;
}

// The capture of --pcap, or nullptr after its error was reported.
std::unique_ptr<compact::PcapReader> openCapture(const cxxopts::ParseResult& arguments) {
    try {
        return std::make_unique<compact::PcapReader>(arguments["pcap"].as<std::string>(),
                                                     captureFilter(arguments));
    } catch (const compact::CaptureError& error) {
        std::cerr << error.what() << '\n';
        return nullptr;
    }
}

// The output file or standard output; ends the process when the file cannot be opened.
std::unique_ptr<compact::FileSink> openOutput(const std::string& path) {
    if (path == "-") return compact::FileSink::standardOutput();
    std::unique_ptr<compact::FileSink> sink = compact::FileSink::open(path);
    if (!sink) {
        std::cerr << "Failed to open file for writing: " << path << ": " << std::strerror(errno)
                  << std::endl;
        std::exit(exitFailure);
    }
    return sink;
}

// True when `output` names the same file as the capture at `capture` ("-": standard input).
bool isTheCapture(const std::string& output, const std::string& capture) {
    struct stat out {};
    struct stat in {};
    if (output == "-" || ::stat(output.c_str(), &out) != 0) return false;
    const int found = capture == "-" ? ::fstat(STDIN_FILENO, &in) : ::stat(capture.c_str(), &in);
    return found == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

// The end of a capture's reading: libpcap's message for a read error (a read that a stop signal
// interrupted is the stop, not a fault of the capture). True when the error left part of the
// capture unread.
bool reportReadError(const compact::PcapReader& reader, const std::string& path, Status& line) {
    if (reader.readError().empty()) return false;
    if (reader.readInterrupted() && SigINT::instance().isInterrupted()) return false;
    line.endLine();
    std::cerr << path << ": " << reader.readError() << std::endl;
    return reader.readErrorBeforeEnd();
}

// Everything a run that writes CSV works with: the counts and the status line (printed only with
// an output file), the output and the writer, and the handler of its datagrams.
class CsvOutput {
  public:
    explicit CsvOutput(const CompactCSV::Options& settings)
        : toFile(settings.csvFile != "-"),
          status(settings.csvFile, statusPeriodMs),
          sink(openOutput(settings.csvFile)),
          writer(settings, *sink),
          run(writer, status, sink.get(), line(), statusPeriodMs) {
        status.setTerminal(::isatty(STDOUT_FILENO) == 1);
    }

    Status* line() { return toFile ? &status : nullptr; }

    // Ends the run: the last rows, the status line's newline, the account (summary()), then the
    // message of a failure. Returns the exit status.
    int finish(const RunEnd& end, const std::function<std::string()>& summary) {
        const bool written = writer.finish();
        // A reader of standard output that went away ends the run quietly, as `| head` expects.
        if (end.readerGone || (!written && !toFile && sink->errorNumber() == EPIPE)) {
            return EXIT_SUCCESS;
        }
        std::string error = end.error;
        if (error.empty() && !written) error = "Failed to write output:" + writer.errorText();
        status.endLine();
        // The account goes where the CSV does not: standard output with a file, unless it can no
        // longer be written.
        std::ostream& out = toFile && status.printError() == 0 ? std::cout : std::cerr;
        out << summary() << std::endl;
        if (status.printError() != 0) {
            std::cerr << "Status line stopped: standard output could not be written ("
                      << std::strerror(status.printError()) << ")" << std::endl;
        }
        if (writer.rowsSelected() == 0 && run.extent().modules() != 0) {
            out << "No rows were written: " << run.extent().text()
                << "; --describe shows what the filters select" << std::endl;
        }
        if (error.empty()) return EXIT_SUCCESS;
        std::cerr << error << std::endl;
        return exitFailure;
    }

    const bool toFile;
    Status status;
    const std::unique_ptr<compact::FileSink> sink;
    CompactCSV writer;
    CsvRun run;
};

double seconds(const RunEnd& end) { return std::chrono::duration<double>(end.duration).count(); }

// Writes the CSV of the capture named by --pcap; see runReceiver.
int runConversion(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings) {
    const std::string path = arguments["pcap"].as<std::string>();
    // Opened, and compared with the output, before the output is opened: a wrong file name must
    // not truncate an existing CSV, nor the output the capture itself.
    const std::unique_ptr<compact::PcapReader> reader = openCapture(arguments);
    if (!reader) return exitFailure;
    if (isTheCapture(settings.csvFile, path)) {
        std::cerr << "Output file " << settings.csvFile
                  << " is the capture being read; choose another output file" << std::endl;
        return exitFailure;
    }
    CsvOutput csv(settings);
    const RunEnd end = convertCapture(*reader, csv.line(), csv.run);
    const bool unread = reportReadError(*reader, path, csv.status);
    const int result = csv.finish(end, [&] {
        return conversionSummary(path, *reader, csv.status, csv.writer.rowsWritten());
    });
    // A record libpcap refused in the middle of the file: part of the capture was not converted.
    return result == EXIT_SUCCESS && unread ? exitFailure : result;
}

// --describe: receives (or reads the capture) as usual and prints the stream's description
// instead of writing CSV.
int runDescription(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
                   size_t queueBytes) {
    if (arguments.count("csv") != 0) {
        std::cerr << "--describe writes no CSV file; leave out the output file" << std::endl;
        return exitFailure;
    }
    StreamDescription description(settings);
    Status status("", statusPeriodMs);
    DescribeRun run(description, status);
    bool unread = false;
    if (arguments.count("pcap") != 0) {
        const std::unique_ptr<compact::PcapReader> reader = openCapture(arguments);
        if (!reader) return exitFailure;
        convertCapture(*reader, nullptr, run);
        unread = reportReadError(*reader, arguments["pcap"].as<std::string>(), status);
    } else {
        const std::unique_ptr<Socket> socket = openSocket(arguments);
        receiveUntilStopped(*socket, nullptr, run, queueBytes);
    }
    std::cout << description.report() << std::flush;
    return unread ? exitFailure : EXIT_SUCCESS;
}

}  // namespace

int runReceiver(int argc, const char** argv) {
    // Before anything else: a closed standard descriptor must not be taken by the socket or the
    // output (which would then receive what is meant for the terminal), and a closed pipe must
    // be an error to handle, not the end of the process.
    compact::claimStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const std::optional<cxxopts::ParseResult> parsed = parseArguments(argc, argv);
        if (!parsed) return EXIT_SUCCESS;  // --help or --version was answered
        const cxxopts::ParseResult& arguments = *parsed;
        const CompactCSV::Options settings = processArguments(arguments);
        const size_t queueBytes = checkedQueueBytes(arguments);
        // The stop signals are handled from here on, before any output file is truncated.
        SigINT::instance();
        if (arguments["describe"].as<bool>()) {
            return runDescription(arguments, settings, queueBytes);
        }
        if (arguments.count("pcap") != 0) return runConversion(arguments, settings);

        const std::unique_ptr<Socket> socket = openSocket(arguments);
        CsvOutput csv(settings);
        const RunEnd end = receiveUntilStopped(*socket, csv.line(), csv.run, queueBytes);
        // Leaving the scope releases the writer, its output, the socket and the settings.
        return csv.finish(end, [&] {
            return liveSummary(csv.status, seconds(end), end.hostDrops, csv.writer.rowsWritten(),
                               csv.writer.bytesWritten());
        });
    } catch (const std::exception& error) {
        // A command line refused (UsageError), and set-up errors: an invalid --address, a failed
        // connect, the signal handler refused.
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
}
