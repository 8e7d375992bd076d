// The receiver from command line to exit status: set-up, the run, its account, shutdown.
#include "app/receiver.h"

#include <sys/ioctl.h>
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
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/command_line.h"
#include "app/describe.h"
#include "app/pipeline.h"
#include "app/stop_signal.h"
#include "app/summary.h"
#include "io/descriptor.h"
#include "io/linux_udp_socket.h"
#include "io/output_file.h"
#include "io/pcap_reader.h"
#include "io/status.h"

namespace {

constexpr int exitFailure = 1;

// Minimum time between two status lines.
constexpr unsigned int statusPeriodMs = 5000;
// How long the account of a run may wait for a standard output that takes nothing (a terminal
// stopped with Ctrl-S) before it goes to standard error instead.
constexpr int accountWaitMs = 2000;

// A set-up failure: its message is printed as it stands, and the run ends with status 1.
class SetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

SocketOptions socketOptions(const cxxopts::ParseResult& arguments) {
    SocketOptions options;
    options.port = checkedPort(arguments);
    options.receiveBufferBytes = checkedBufferBytes(arguments);
    options.source = checkedAddress(arguments);
    return options;
}

std::unique_ptr<Socket> openSocket(const SocketOptions& options) {
    SocketSetup setup = Socket::open(options);
    for (const std::string& warning : setup.warnings) std::cerr << warning << '\n';
    if (!setup.socket) throw SetupError(setup.error);
    return std::move(setup.socket);
}

compact::UdpFilter captureFilter(const cxxopts::ParseResult& arguments) {
    const SocketOptions socket = socketOptions(arguments);
    compact::UdpFilter filter;
    filter.destinationPort = socket.port;
    filter.sourceAddress = socket.source;
    return filter;
}

// The capture of --pcap; its error names the file.
std::unique_ptr<compact::PcapReader> openCapture(const cxxopts::ParseResult& arguments) {
    const std::string path = arguments["pcap"].as<std::string>();
    try {
        return std::make_unique<compact::PcapReader>(path, captureFilter(arguments));
    } catch (const compact::CaptureError& error) {
        const std::string text = error.what();
        // libpcap names the file for some errors ("x: No such file or directory"), not others.
        throw SetupError(text.starts_with(path + ":") ? text : path + ": " + text);
    }
}

// Device and inode of the file at `path` ("-": standard input), or of standard output.
std::optional<std::pair<dev_t, ino_t>> fileIdentity(const std::string& path, int descriptor) {
    struct stat info {};
    const int found =
        path.empty() || path == "-" ? ::fstat(descriptor, &info) : ::stat(path.c_str(), &info);
    if (found != 0) return std::nullopt;
    return std::pair{info.st_dev, info.st_ino};
}

// True when the output (a path, or "-" for standard output) is the capture being read.
bool isTheCapture(const std::string& output, const std::string& capture) {
    const auto out = fileIdentity(output, STDOUT_FILENO);
    const auto in = fileIdentity(capture, STDIN_FILENO);
    return out && in && *out == *in;
}

// The output file or standard output; a CSV output may not overwrite a capture.
std::unique_ptr<compact::OutputFile> openOutput(const std::string& path,
                                                const compact::ClosedDescriptors& closed) {
    if (path == "-") {
        if (closed.output) throw SetupError("standard output is closed: name an output file");
        return compact::OutputFile::standardOutput();
    }
    bool isCapture = false;
    std::unique_ptr<compact::OutputFile> file = compact::OutputFile::create(path, true, isCapture);
    if (isCapture) {
        throw SetupError(path + " is a capture file; to convert it: compact_csv -r " + path +
                         " [CSV]");
    }
    if (!file) {
        throw SetupError("Failed to open file for writing: " + path + ": " + std::strerror(errno));
    }
    return file;
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

int terminalWidth(int fd) {
    winsize size{};
    return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// Everything a run that writes CSV works with: the counts and the status line (printed only with
// an output file), the output and the writer, and the handler of its datagrams.
class CsvOutput {
  public:
    CsvOutput(const CompactCSV::Options& settings, const compact::ClosedDescriptors& closed)
        : toFile(settings.csvFile != "-"),
          status(settings.csvFile, statusPeriodMs),
          file(openOutput(settings.csvFile, closed)),
          sink(*file),
          writer(settings, sink),
          run(writer, settings, file.get(), line()),
          pipeline(status) {
        status.setTerminal(::isatty(STDOUT_FILENO) == 1, terminalWidth(STDOUT_FILENO));
        file->setRestartText([this] { return writer.restartText(); });
        file->setStopRequests([] { return SigINT::instance().stopRequests(); });
        pipeline.add(run);
    }

    Status* line() { return toFile ? &status : nullptr; }

    // Ends the run: the last rows, the status line's newline, the account (summary()), then the
    // message of a failure. Returns the exit status.
    int finish(const RunEnd& end, const std::function<std::string()>& summary) {
        const bool written = writer.finish();
        // A reader of standard output that went away ends the run quietly, as `| head` expects.
        if (end.readerGone || (!written && !toFile && file->errorNumber() == EPIPE)) {
            return EXIT_SUCCESS;
        }
        std::string error = end.error;
        if (error.empty() && !written) {
            error = file->readerStalled()
                        ? "Stopped waiting for the reader of standard output: " +
                              std::to_string(writer.rowsSelected() - writer.rowsWritten()) +
                              " rows not delivered"
                        : "Failed to write output:" + writer.errorText();
        }
        std::string account = summary() + '\n';
        for (const std::string& note : runNotes(end, run.rowsLost())) account += note + '\n';
        if (!run.hint().empty()) account += run.hint() + '\n';
        if (writer.rowsSelected() == 0 && run.extent().modules() != 0) {
            account += "No rows were written: " + run.extent().text() +
                       "; --describe shows what the filters select\n";
        }
        // A Ctrl-C typed on the terminal echoes "^C" where the cursor is: the account starts on a
        // line of its own.
        const bool lineEnded = status.endLine();
        // The account goes where the CSV does not: standard output with a file, unless it cannot
        // be written there (a reader gone, or one that takes nothing for a while).
        const bool onStdout = toFile && status.printError() == 0;
        if (!lineEnded && SigINT::instance().firstSignal() == SIGINT &&
            ::isatty(onStdout ? STDOUT_FILENO : STDERR_FILENO) == 1)
            account.insert(0, "\n");
        if (!onStdout || !status.printText(account, accountWaitMs)) std::cerr << account;
        if (status.printError() != 0) {
            std::cerr << "Status line stopped: standard output could not be written ("
                      << std::strerror(status.printError()) << ")" << std::endl;
        }
        if (error.empty()) return EXIT_SUCCESS;
        std::cerr << error << std::endl;
        return exitFailure;
    }

    const bool toFile;
    Status status;
    const std::unique_ptr<compact::OutputFile> file;
    OutputSink sink;
    CompactCSV writer;
    CsvRun run;
    Pipeline pipeline;
};

double seconds(const RunEnd& end) { return std::chrono::duration<double>(end.duration).count(); }

// Writes the CSV of the capture named by --pcap; see runReceiver.
int runConversion(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
                  const compact::ClosedDescriptors& closed) {
    const std::string path = arguments["pcap"].as<std::string>();
    // Opened, and compared with the output, before the output is opened: a wrong file name must
    // not truncate an existing CSV, nor the output the capture itself.
    const std::unique_ptr<compact::PcapReader> reader = openCapture(arguments);
    if (isTheCapture(settings.csvFile, path)) {
        throw SetupError("Output file " + settings.csvFile +
                         " is the capture being read; choose another output file");
    }
    CsvOutput csv(settings, closed);
    const RunEnd end = convertCapture(*reader, csv.line(), csv.pipeline);
    const bool unread = reportReadError(*reader, path, csv.status);
    const int result = csv.finish(
        end, [&] { return conversionSummary(path, *reader, csv.status, csv.run.rowsKept()); });
    // A record libpcap refused in the middle of the file: part of the capture was not converted.
    return result == EXIT_SUCCESS && unread ? exitFailure : result;
}

// --describe: receives (or reads the capture) as usual and prints the stream's description
// instead of writing CSV.
int runDescription(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
                   size_t queueBytes) {
    if (arguments.count("csv") != 0)
        throw SetupError("--describe writes no CSV file; leave out the output file");
    StreamDescription description(settings);
    Status status("", statusPeriodMs);
    Pipeline pipeline(status);
    DescribeRun run(description);
    pipeline.add(run);
    bool unread = false;
    if (arguments.count("pcap") != 0) {
        const std::unique_ptr<compact::PcapReader> reader = openCapture(arguments);
        convertCapture(*reader, nullptr, pipeline);
        unread = reportReadError(*reader, arguments["pcap"].as<std::string>(), status);
    } else {
        const SocketOptions options = socketOptions(arguments);
        const std::unique_ptr<Socket> socket = openSocket(options);
        std::cerr << startLine(options, "", settings) << std::endl;
        receiveUntilStopped(*socket, nullptr, pipeline, queueBytes);
    }
    std::cout << description.report() << std::flush;
    return unread ? exitFailure : EXIT_SUCCESS;
}

}  // namespace

int runReceiver(int argc, const char** argv) {
    // Before anything else: a closed standard descriptor must not be taken by the socket or the
    // output (which would then receive what is meant for the terminal); a closed pipe and a
    // file-size limit must be errors to handle, not the end of the process.
    const compact::ClosedDescriptors closed = compact::claimStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
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
        if (arguments.count("pcap") != 0) return runConversion(arguments, settings, closed);

        const SocketOptions options = socketOptions(arguments);
        const std::unique_ptr<Socket> socket = openSocket(options);
        CsvOutput csv(settings, closed);
        std::cerr << startLine(options, settings.csvFile, settings) << std::endl;
        const RunEnd end = receiveUntilStopped(*socket, csv.line(), csv.pipeline, queueBytes);
        // Leaving the scope releases the writer, its output, the socket and the settings.
        return csv.finish(end, [&] {
            std::string text = liveSummary(csv.status, seconds(end), end.hostDrops(),
                                           csv.run.rowsKept(), csv.writer.bytesWritten());
            if (csv.status.telegramsReceived() == 0 && csv.status.parseErrors() == 0)
                text += "\n" + nothingArrived(options);
            return text;
        });
    } catch (const std::exception& error) {
        // A command line refused (UsageError), and set-up errors: a socket or output that cannot
        // be opened, a failed connect, the signal handler refused.
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
}
