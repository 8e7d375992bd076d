// compact_sim: sends synthetic Compact frames over UDP at a steady rate, as a sensor would, so
// that a receiver and the pipeline behind it can be tried out without a sensor; or writes them
// into a capture file as a network would carry them, IPv4 fragments included.
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <vector>

#include "app/stop_signal.h"
#include "compact_sim/options.h"
#include "compact_sim/outputs.h"
#include "compact_sim/pacing.h"
#include "generators/synthetic_scan.h"

namespace {

constexpr int exitFailure = 1;

int simulate(int argc, const char* const* argv) {
    const auto options = compact::sim::parseOptions(argc, argv, std::cout);
    if (!options) return EXIT_SUCCESS;  // help or version
    std::vector<compact::SyntheticScan> scans;
    for (uint32_t i = 0; i < options->senders.count; ++i)
        scans.emplace_back(compact::sim::senderScan(*options, i));
    const auto output = compact::sim::openOutput(*options);
    const SigINT& stop = SigINT::instance();

    const compact::sim::Totals totals = compact::sim::run(options->limits, scans, *output, stop);
    const bool finished = output->finish();
    std::cout << compact::sim::summaryLine(totals, *output) << std::endl;
    return totals.failures == 0 && finished ? EXIT_SUCCESS : exitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // A file-size limit (ulimit -f) is a failed write of the capture, reported, not the end of
    // the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return simulate(argc, argv);
    } catch (const std::exception& error) {
        // Set-up errors: invalid options, a refused frame shape, an unusable destination or
        // capture file, the signal handler refused.
        std::cerr << error.what() << '\n';
        return exitFailure;
    }
}
