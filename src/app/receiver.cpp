// The receiver from command line to exit status: set-up, the run, its account, shutdown.
#include "app/receiver.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/command_line.h"
#include "app/describe.h"
#include "app/outputs.h"
#include "app/pipeline.h"
#include "app/rotation.h"
#include "app/stop_signal.h"
#include "app/summary.h"
#include "io/descriptor.h"
#include "io/linux_udp_socket.h"
#include "io/pcap_reader.h"
#include "io/status.h"
#include "io/tail_keeper.h"

namespace {

constexpr int exitFailure = 1;

// Minimum time between two status lines.
constexpr unsigned int statusPeriodMs = 5000;
// How long the account of a run may wait for a standard output that takes nothing (a terminal
// stopped with Ctrl-S) before it goes to standard error instead.
constexpr int accountWaitMs = 2000;

SocketOptions socketOptions(const cxxopts::ParseResult& arguments) {
    SocketOptions options;
    options.port = checkedPort(arguments);
    options.receiveBufferBytes = checkedBufferBytes(arguments);
    options.source = checkedAddress(arguments);
    options.groups = checkedGroups(arguments);
    if (arguments.count("interface") != 0)
        options.interfaceName = arguments["interface"].as<std::string>();
    return options;
}

std::unique_ptr<Socket> openSocket(const SocketOptions& options) {
    SocketSetup setup = Socket::open(options);
    for (const std::string& warning : setup.warnings) std::cerr << warning << '\n';
    if (!setup.socket) throw SetupError(setup.error);
    return std::move(setup.socket);
}

// The capture of --pcap, its datagrams to the port (and from the address); its error names the
// file.
std::unique_ptr<compact::PcapReader> openCapture(const std::string& path,
                                                 const SocketOptions& socket) {
    compact::UdpFilter filter;
    filter.destinationPort = socket.port;
    filter.sourceAddress = socket.source;
    try {
        return std::make_unique<compact::PcapReader>(path, filter);
    } catch (const compact::CaptureError& error) {
        const std::string text = error.what();
        // libpcap names the file for some errors ("x: No such file or directory"), not others.
        throw SetupError(text.starts_with(path + ":") ? text : path + ": " + text);
    }
}

// True when the two paths ("-": standard input or output, as `descriptor` says) name one file:
// the same device and inode, or the same path where neither exists yet.
bool sameFile(const std::string& a, int descriptorA, const std::string& b, int descriptorB) {
    auto identity = [](const std::string& path,
                       int descriptor) -> std::optional<std::pair<dev_t, ino_t>> {
        struct stat info {};
        const int found = path == "-" ? ::fstat(descriptor, &info) : ::stat(path.c_str(), &info);
        if (found != 0) return std::nullopt;
        return std::pair{info.st_dev, info.st_ino};
    };
    const auto first = identity(a, descriptorA), second = identity(b, descriptorB);
    if (first || second) return first == second;
    return a != "-" && b != "-" &&
           std::filesystem::weakly_canonical(a) == std::filesystem::weakly_canonical(b);
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

double seconds(const RunEnd& end) { return std::chrono::duration<double>(end.duration).count(); }

uint64_t wallClockNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// A run that writes files: CSV rows (to a file or standard output), the raw capture (-w), or both,
// rotating together; live or from a capture.
class Recording {
  public:
    // True when the run writes CSV rows to one output, the CSV argument or standard output: not
    // with --per-sender, nor with -w alone.
    static bool writesCsvRows(const cxxopts::ParseResult& arguments) {
        return arguments.count("per-sender") == 0 &&
               (arguments.count("write-capture") == 0 || arguments.count("csv") != 0);
    }
    // Rows for a standard output that was closed at start would go nowhere. Refused before
    // anything is opened, so that nothing else is said first.
    static void refuseClosedOutput(const cxxopts::ParseResult& arguments,
                                   const CompactCSV::Options& settings,
                                   const compact::ClosedDescriptors& closed) {
        if (writesCsvRows(arguments) && settings.csvFile == "-" && closed.output)
            throw SetupError("standard output is closed: name an output file");
    }

    Recording(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
              const compact::ClosedDescriptors& closed)
        : rotationSettings(checkedRotation(arguments)),
          capturePath(arguments.count("write-capture") != 0
                          ? arguments["write-capture"].as<std::string>()
                          : ""),
          senderPattern(checkedSenderPattern(arguments)),
          writesCsv(writesCsvRows(arguments)),
          csvPath(writesCsv ? settings.csvFile : ""),
          // A capture on standard output (-w -) leaves it no room for a status line either.
          toFile((!writesCsv || settings.csvFile != "-") && capturePath != "-"),
          status(writesCsv && settings.csvFile != "-" ? settings.csvFile : "", statusPeriodMs),
          rotation(rotationSettings),
          pipeline(status, rotationSettings.active() ? &rotation : nullptr) {
        refuseClosedOutput(arguments, settings, closed);
        if (!capturePath.empty() && writesCsv &&
            sameFile(capturePath, STDOUT_FILENO, settings.csvFile, STDOUT_FILENO)) {
            throw SetupError("-w " + capturePath +
                             " is the CSV output too; choose another file for one of them");
        }
        for (const std::string& path : {writesCsv ? settings.csvFile : "", capturePath}) {
            if (path.empty() || path == "-") continue;
            if (const auto problem = repeatedNames(path, rotationSettings))
                throw SetupError("-G " + std::to_string(rotationSettings.periodNs / 1'000'000'000) +
                                 " with " + path + ": the pattern " + *problem);
        }
        status.setTerminal(::isatty(STDOUT_FILENO) == 1, terminalWidth(STDOUT_FILENO));
        if (writesCsv) {
            csv = std::make_unique<CsvRun>(settings, rotationSettings, line());
            pipeline.add(*csv);
        }
        if (!senderPattern.empty()) {
            perSender =
                std::make_unique<PerSenderRun>(settings, senderPattern, rotationSettings, line());
            pipeline.add(*perSender);
        }
        if (!capturePath.empty()) {
            capture = std::make_unique<CaptureRun>(capturePath, rotationSettings, line());
            pipeline.add(*capture);
        }
    }

    Status* line() { return toFile ? &status : nullptr; }

    // Refuses an output that is the capture being read.
    void refuseInput(const std::string& input) const {
        if (writesCsv && sameFile(csvPath, STDOUT_FILENO, input, STDIN_FILENO)) {
            throw SetupError("Output file " + csvPath +
                             " is the capture being read; choose another output file");
        }
        if (!capturePath.empty() && sameFile(capturePath, STDOUT_FILENO, input, STDIN_FILENO))
            throw SetupError("-w " + capturePath +
                             " is the capture being read; choose another file");
    }

    // "230400 rows written (12.4 MiB), 14400 datagrams captured (820.1 MiB)", for the account.
    std::string outputsText() const {
        std::string text;
        auto mib = [](uint64_t bytes) {
            char digits[32];
            std::snprintf(digits, sizeof digits, "%.1f", double(bytes) / (1 << 20));
            return std::string(digits);
        };
        if (csv) {
            text = std::to_string(csv->output().rowsKept()) + " rows written (" +
                   mib(csv->output().bytesWritten()) + " MiB)";
        }
        if (perSender) {
            text = std::to_string(perSender->rowsKept()) + " rows written to " +
                   std::to_string(perSender->accounts().size()) + " files";
        }
        if (capture) {
            text += (text.empty() ? "" : ", ") + std::to_string(capture->datagrams()) +
                    " datagrams captured (" + mib(capture->bytesWritten()) + " MiB)";
        }
        return text;
    }

    // Ends the run: the last records, the files closed, the status line's newline, the account
    // (summary()), then the message of a failure. Returns the exit status.
    int finish(RunEnd& end, const std::function<std::string()>& summary) {
        pipeline.finish(end);
        // A reader of standard output that went away ends the run quietly, as `| head` expects.
        if (csv && csv->output().readerGone()) return EXIT_SUCCESS;
        if (end.error.empty() && csv && csv->output().readerStalled()) {
            end.error = "Stopped waiting for the reader of standard output: " +
                        std::to_string(csv->output().rowsSelected() - csv->output().rowsKept()) +
                        " rows not delivered";
        }
        std::string account = summary() + '\n';
        if (perSender) account += senderAccount(*perSender, status);
        for (const std::string& note : runNotes(
                 end,
                 (csv ? csv->output().rowsLost() : 0) + (perSender ? perSender->rowsLost() : 0),
                 csv ? csv->output().file().recordsInRemovedSegments() : 0,
                 capture ? capture->file().recordsInRemovedSegments() : 0))
            account += note + '\n';
        if (csv && !csv->hint().empty()) account += csv->hint() + '\n';
        if (csv && csv->output().rowsSelected() == 0 && csv->extent().modules() != 0) {
            account += "No rows were written: " + csv->extent().text() +
                       "; --describe shows what the filters select\n";
        }
        // A Ctrl-C typed on the terminal echoes "^C" where the cursor is: the account starts on a
        // line of its own.
        const bool lineEnded = status.endLine();
        // The account goes where the CSV does not: standard output with files, unless it cannot
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
        if (end.error.empty()) return EXIT_SUCCESS;
        std::cerr << end.error << std::endl;
        return exitFailure;
    }

    const RotationSettings rotationSettings;
    const std::string capturePath;
    const std::string senderPattern;  // --per-sender, or ""
    const bool writesCsv;
    const std::string csvPath;  // "" without CSV
    const bool toFile;          // the outputs are files: the status line goes to standard output
    Status status;
    Rotation rotation;
    Pipeline pipeline;
    std::unique_ptr<CsvRun> csv;
    std::unique_ptr<PerSenderRun> perSender;
    std::unique_ptr<CaptureRun> capture;
};

// Writes the CSV (and the capture) of the capture named by --pcap; see runReceiver.
int runConversion(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
                  const compact::ClosedDescriptors& closed) {
    const std::string path = arguments["pcap"].as<std::string>();
    // Opened, and compared with the outputs, before an output is opened: a wrong file name must
    // not truncate an existing CSV, nor an output the capture itself.
    const std::unique_ptr<compact::PcapReader> reader = openCapture(path, socketOptions(arguments));
    Recording run(arguments, settings, closed);
    run.refuseInput(path);
    // With -G the periods follow the capture's time: its first datagram starts the first.
    if (run.rotationSettings.periodNs == 0) run.pipeline.start(0);
    RunEnd end = convertCapture(*reader, run.line(), run.pipeline);
    const bool unread = reportReadError(*reader, path, run.status);
    const int result = run.finish(
        end, [&] { return conversionSummary(path, *reader, run.status, run.outputsText()); });
    // A record libpcap refused in the middle of the file: part of the capture was not converted.
    return result == EXIT_SUCCESS && unread ? exitFailure : result;
}

// A live run: receives until a stop signal, writing the CSV and/or the capture.
int runLive(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
            const compact::ClosedDescriptors& closed, size_t queueBytes) {
    const SocketOptions options = socketOptions(arguments);
    Recording::refuseClosedOutput(arguments, settings, closed);
    const std::unique_ptr<Socket> socket = openSocket(options);
    Recording run(arguments, settings, closed);
    run.pipeline.start(wallClockNs());
    std::cerr << startLine(options, run.writesCsv ? run.csvPath : run.senderPattern, settings,
                           run.capturePath)
              << std::endl;
    RunEnd end = receiveUntilStopped(*socket, run.line(), run.pipeline, queueBytes);
    // Leaving the scope releases the outputs, the socket and the settings.
    return run.finish(end, [&] {
        std::string text = liveSummary(run.status, seconds(end), end.kernelDrops, end.queueDrops,
                                       run.outputsText());
        if (run.status.telegramsReceived() == 0 && run.status.parseErrors() == 0)
            text += "\n" + nothingArrived(options);
        return text;
    });
}

// --describe: receives (or reads the capture) as usual and prints the stream's description
// instead of writing CSV.
int runDescription(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings,
                   size_t queueBytes) {
    StreamDescription description(settings);
    Status status("", statusPeriodMs);
    Pipeline pipeline(status);
    DescribeRun run(description);
    pipeline.add(run);
    bool unread = false;
    StreamDescription::HostDrops drops;
    const SocketOptions options = socketOptions(arguments);
    if (arguments.count("pcap") != 0) {
        const std::string path = arguments["pcap"].as<std::string>();
        const std::unique_ptr<compact::PcapReader> reader = openCapture(path, options);
        pipeline.start(0);
        convertCapture(*reader, nullptr, pipeline);
        unread = reportReadError(*reader, path, status);
        drops.incomplete = reader->reassembly().droppedTotal();
    } else {
        const std::unique_ptr<Socket> socket = openSocket(options);
        pipeline.start(0);
        std::cerr << startLine(options, "", settings, "") << std::endl;
        const RunEnd end = receiveUntilStopped(*socket, nullptr, pipeline, queueBytes);
        drops.kernel = end.kernelDrops;
        drops.queue = end.queueDrops;
    }
    std::cout << description.report(status.tracker(), drops) << std::flush;
    return unread ? exitFailure : EXIT_SUCCESS;
}

// Lets the keeper go when the run ends, by any return or exception.
struct KeeperFinish {
    KeeperFinish() = default;
    KeeperFinish(const KeeperFinish&) = delete;
    KeeperFinish& operator=(const KeeperFinish&) = delete;
    ~KeeperFinish() { compact::tail_keeper::finish(); }
};

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
        const bool describe = arguments["describe"].as<bool>();
        // A run killed in the middle of a write leaves its files with whole records only: the
        // keeper, started before any other thread, cuts them back. A run that ends normally lets
        // it go. A description writes no file.
        if (!describe) compact::tail_keeper::start();
        const KeeperFinish finishKeeper;
        // The stop signals are handled from here on, before any output file is truncated.
        SigINT::instance();
        if (describe) return runDescription(arguments, settings, queueBytes);
        if (arguments.count("pcap") != 0) return runConversion(arguments, settings, closed);
        return runLive(arguments, settings, closed, queueBytes);
    } catch (const std::exception& error) {
        // A command line refused (UsageError), and set-up errors: a socket or output that cannot
        // be opened, a failed connect, the signal handler refused.
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
}
