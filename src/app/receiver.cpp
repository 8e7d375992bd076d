// The receiver from command line to exit status: set-up, the run, shutdown.
#include "app/receiver.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/command_line.h"
#include "app/pipeline.h"
#include "app/summary.h"
#include "io/pcap_reader.h"
#include "io/socket_cross_platform.h"
#include "io/status.h"

namespace {

constexpr int exitFailure = 1;

// Receive time-out: how long a stop request can wait for the loop, which checks it before every
// receive, and how stale the status line can get without datagrams.
constexpr unsigned int receiveTimeoutSeconds = 1;

// Minimum time between two status lines.
constexpr unsigned int statusPeriodMs = 5000;

void reportWriteFailure(const CompactCSV& writer) {
    std::cerr << "Failed to write output:" << writer.errorText() << '\n';
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

int runReceiver(int argc, const char** argv) {
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
