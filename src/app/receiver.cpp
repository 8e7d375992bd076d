// The receiver from command line to exit status: set-up, the run, shutdown.
#include "app/receiver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/command_line.h"
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

// Receive time-out: how long a stop request can wait for the loop, which checks it before every
// receive, and how stale the status line can get without datagrams.
constexpr unsigned int receiveTimeoutSeconds = 1;

// Minimum time between two status lines, and between two checks of the output path.
constexpr unsigned int statusPeriodMs = 5000;

std::unique_ptr<Socket> openSocket(const cxxopts::ParseResult& arguments) {
    const unsigned short localPort = checkedPort(arguments);
    const int bufferBytes = checkedBufferBytes(arguments);
    std::unique_ptr<Socket> socket =
        arguments.count("address") != 0
            ? std::make_unique<Socket>(localPort, arguments["address"].as<std::string>())
            : std::make_unique<Socket>(localPort);
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

// The output file or standard output; ends the process when the file cannot be opened.
std::unique_ptr<compact::FileSink> openOutput(const std::string& path) {
    if (path == "-") return compact::FileSink::standardOutput();
    std::unique_ptr<compact::FileSink> sink = compact::FileSink::open(path);
    if (!sink) {
        std::cerr << "Failed to open file for writing" << std::endl;
        std::exit(exitFailure);
    }
    return sink;
}

// True when `output` names the same file as the capture at `capture` ("-": standard input).
bool isTheCapture(const std::string& output, const std::string& capture) {
    struct stat out {
    }, in{};
    if (output == "-" || ::stat(output.c_str(), &out) != 0) return false;
    const int found = capture == "-" ? ::fstat(STDIN_FILENO, &in) : ::stat(capture.c_str(), &in);
    return found == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

// Ends a run: the writer's last rows, then the message of a failure. Returns the exit status.
int finishRun(const RunEnd& end, CompactCSV& writer, Status* status) {
    const bool written = writer.finish();
    std::string error = end.error;
    if (error.empty() && !written && !end.readerGone) {
        // A reader that goes away while the last rows are written is the same ordinary end.
        error = "Failed to write output:" + writer.errorText();
    }
    if (status != nullptr && status->printError() != 0) {
        std::cerr << "Status line stopped: standard output could not be written ("
                  << std::strerror(status->printError()) << ")" << std::endl;
    }
    if (error.empty()) return EXIT_SUCCESS;
    if (status != nullptr) status->endLine();
    std::cerr << error << std::endl;
    return exitFailure;
}

// Converts the capture named by --pcap; see runReceiver.
int runConversion(const cxxopts::ParseResult& arguments, const CompactCSV::Options& settings) {
    const std::string path = arguments["pcap"].as<std::string>();
    compact::UdpFilter filter;
    filter.destinationPort = checkedPort(arguments);
    if (arguments.count("address") != 0) {
        // The same refusal as the socket's for an address it cannot connect to.
        filter.sourceAddress = parseIpv4Address(arguments["address"].as<std::string>());
        if (!filter.sourceAddress) throw std::runtime_error("Invalid IPv4 address");
    }
    // Opened, and compared with the output, before the output is opened: a wrong file name must
    // not truncate an existing CSV, nor the output the capture itself.
    std::unique_ptr<compact::PcapReader> reader;
    try {
        reader = std::make_unique<compact::PcapReader>(path, filter);
    } catch (const compact::CaptureError& error) {
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
    if (isTheCapture(settings.csvFile, path)) {
        std::cerr << "Output file " << settings.csvFile
                  << " is the capture being read; choose another output file" << std::endl;
        return exitFailure;
    }
    // The status object always counts, for the summary; it prints only with an output file.
    const bool toFile = settings.csvFile != "-";
    Status status(settings.csvFile, statusPeriodMs);
    const std::unique_ptr<compact::FileSink> sink = openOutput(settings.csvFile);
    CompactCSV writer(settings, *sink);

    const RunEnd end = convertCapture(*reader, status, toFile, writer, sink.get());
    const int result = finishRun(end, writer, &status);
    if (result != EXIT_SUCCESS) return result;
    // A read that a stop signal interrupted is the stop, not a fault of the capture.
    const bool stopped = reader->readInterrupted() && SigINT::instance().isInterrupted();
    if (!reader->readError().empty() && !stopped) {
        status.endLine();
        std::cerr << path << ": " << reader->readError() << std::endl;
    }
    // Standard output carries the CSV when there is no output file.
    status.endLine();
    std::ostream& out = toFile ? std::cout : std::cerr;
    out << conversionSummary(path, *reader, status, writer.rowsWritten()) << std::endl;
    // A record libpcap refused in the middle of the file: part of the capture was not converted.
    return reader->readErrorBeforeEnd() ? exitFailure : EXIT_SUCCESS;
}

}  // namespace

int runReceiver(int argc, const char** argv) {
    // Before anything else: a closed standard descriptor must not be taken by the socket or the
    // output (which would then receive what is meant for the terminal), and a closed pipe must
    // be an error to handle, not the end of the process.
    compact::claimStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const cxxopts::ParseResult arguments = parseArguments(argc, argv);
        const CompactCSV::Options settings = processArguments(arguments);
        const size_t queueBytes = checkedQueueBytes(arguments);
        // The stop signals are handled from here on, before any output file is truncated.
        SigINT::instance();
        if (arguments.count("pcap") != 0) return runConversion(arguments, settings);
        const std::unique_ptr<Socket> socket = openSocket(arguments);
        std::shared_ptr<Status> status;
        if (settings.csvFile != "-")
            status = std::make_shared<Status>(settings.csvFile, statusPeriodMs);
        const std::unique_ptr<compact::FileSink> sink = openOutput(settings.csvFile);
        CompactCSV writer(settings, *sink);

        const RunEnd end = receiveUntilStopped(*socket, status.get(), writer,
                                               {queueBytes, sink.get(), statusPeriodMs});
        // Leaving the scope releases writer, sink, status, socket, settings and arguments.
        return finishRun(end, writer, status.get());
    } catch (const std::exception& error) {
        // Set-up errors: an invalid --address, a failed connect, the signal handler refused.
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
}
