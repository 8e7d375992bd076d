// The simulator's run loop: produces the scan's datagrams on a schedule of frame slots until a
// limit or a stop request ends the run, and counts what was delivered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/stop_signal.h"
#include "compact_sim/options.h"
#include "compact_sim/outputs.h"
#include "generators/synthetic_scan.h"

namespace compact::sim {

struct Totals {
    uint32_t senders = 1;
    uint64_t frames = 0;  // of all senders, as the counts below
    uint64_t malformed = 0;
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t failures = 0;
    // Counters skipped before each sender's last frame sent: a receiver sees exactly these as
    // lost (a skipped counter at the very end leaves no gap behind it).
    uint64_t skipped = 0;
};

// Produces slots until the count, the duration (real time when the output is, simulated time
// when writing a capture) or a stop request ends the run. The scans (one per sender) take turns,
// one telegram slot each per round, and the limits end whole rounds: each scan follows them on its
// own. A real-time output with a rate follows a fixed schedule of one round per period, the scans
// evenly spaced within it.
Totals run(const RunLimits& limits, std::vector<SyntheticScan>& scans, Output& output,
           const SigINT& stop);

// The one line written at the end of a run.
std::string summaryLine(const Totals& totals, const Output& output);

}  // namespace compact::sim
