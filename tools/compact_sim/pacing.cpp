// The simulator's run loop: schedule, lag and limits.
#include "compact_sim/pacing.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace compact::sim {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Longest single sleep while waiting for the next frame, so that Ctrl-C ends even a slow run
// promptly (the standard sleep resumes after a signal).
constexpr auto maxSleep = std::chrono::milliseconds(100);

// How far sending may fall behind its schedule before the schedule is moved instead of catching
// up: a short hiccup is made good, a real stall (a suspended process, an overloaded machine) does
// not turn into a burst of frames that overflows the receiver's socket buffer.
constexpr auto maxLag = std::chrono::milliseconds(50);

// Waits until `deadline` or a stop request; returns false on a stop request.
bool waitUntil(SteadyClock::time_point deadline, const SigINT& stop) {
    while (!stop.isInterrupted()) {
        const auto now = SteadyClock::now();
        if (now >= deadline) return true;
        std::this_thread::sleep_until(std::min(deadline, now + maxSleep));
    }
    return false;
}

}  // namespace

Totals run(const RunLimits& limits, SyntheticScan& scan, Output& output, const SigINT& stop) {
    Totals totals;
    const bool paced = output.realTime() && limits.rate > 0;
    const double simulatedSlots = limits.durationS * limits.nominalRate();
    const auto period = std::chrono::round<SteadyClock::duration>(
        std::chrono::duration<double>(paced ? 1.0 / limits.rate : 0.0));
    const auto start = SteadyClock::now();
    const auto end = limits.durationS > 0 && output.realTime()
                         ? start + std::chrono::duration_cast<SteadyClock::duration>(
                                       std::chrono::duration<double>(limits.durationS))
                         : SteadyClock::time_point::max();
    auto slot = start;
    while (!stop.isInterrupted()) {
        if (limits.count != 0 && scan.framesProduced() >= limits.count) break;
        if ((paced ? slot : SteadyClock::now()) >= end) break;
        if (!output.realTime() && limits.durationS > 0 &&
            static_cast<double>(scan.telegramsProduced()) >= simulatedSlots)
            break;
        if (paced && !waitUntil(slot, stop)) break;

        const uint64_t slotIndex = scan.telegramsProduced();
        for (const Datagram& datagram : scan.nextSlot()) {
            if (!output.write(datagram.bytes, slotIndex)) {
                ++totals.failures;
                continue;
            }
            ++totals.datagrams;
            totals.bytes += datagram.bytes.size();
            if (datagram.kind == DatagramKind::frame) {
                ++totals.frames;
                totals.skipped = scan.telegramsSkipped();
            } else {
                ++totals.malformed;
            }
        }
        if (paced) {
            slot += period;
            const auto now = SteadyClock::now();
            if (now - slot > maxLag) slot = now;
        }
    }
    return totals;
}

std::string summaryLine(const Totals& totals, const Output& output) {
    std::string line =
        std::to_string(totals.frames) + " frames, " + std::to_string(totals.malformed) +
        " malformed, " + std::to_string(totals.datagrams) + " datagrams, " +
        std::to_string(totals.bytes) + " bytes " + output.delivered() + "; " +
        std::to_string(totals.skipped) + " telegram counters skipped" + output.notes();
    if (totals.failures != 0)
        line += "; " + std::to_string(totals.failures) + " datagrams failed to send";
    return line;
}

}  // namespace compact::sim
