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

Totals run(const RunLimits& limits, std::vector<SyntheticScan>& scans, Output& output,
           const SigINT& stop) {
    Totals totals;
    totals.senders = static_cast<uint32_t>(scans.size());
    std::vector<uint64_t> skipped(scans.size());  // per sender, up to its last frame
    const bool paced = output.realTime() && limits.rate > 0;
    const double simulatedSlots = limits.durationS * limits.nominalRate();
    // One round gives each sender one slot, the senders evenly spaced within it.
    const auto roundPeriod = std::chrono::round<SteadyClock::duration>(
        std::chrono::duration<double>(paced ? 1.0 / limits.rate : 0.0));
    const auto turn = roundPeriod / static_cast<int64_t>(scans.size());
    const auto start = SteadyClock::now();
    const auto end = limits.durationS > 0 && output.realTime()
                         ? start + std::chrono::duration_cast<SteadyClock::duration>(
                                       std::chrono::duration<double>(limits.durationS))
                         : SteadyClock::time_point::max();
    auto round = start;
    for (uint64_t slotIndex = 0; !stop.isInterrupted(); ++slotIndex) {
        const auto sender = static_cast<uint32_t>(slotIndex % scans.size());
        SyntheticScan& scan = scans[sender];
        // The limits end whole rounds, so that every sender gets as many slots.
        if (sender == 0) {
            if (limits.count != 0 && scan.framesProduced() >= limits.count) break;
            if ((paced ? round : SteadyClock::now()) >= end) break;
            if (!output.realTime() && limits.durationS > 0 &&
                static_cast<double>(scan.telegramsProduced()) >= simulatedSlots)
                break;
        }
        if (paced && !waitUntil(round + turn * sender, stop)) break;

        for (const Datagram& datagram : scan.nextSlot()) {
            if (!output.write(datagram.bytes, slotIndex, sender)) {
                ++totals.failures;
                continue;
            }
            ++totals.datagrams;
            totals.bytes += datagram.bytes.size();
            if (datagram.kind == DatagramKind::frame) {
                ++totals.frames;
                skipped[sender] = scan.telegramsSkipped();
            } else {
                ++totals.malformed;
            }
        }
        if (paced && sender + 1 == scans.size()) {
            round += roundPeriod;
            const auto now = SteadyClock::now();
            if (now - round > maxLag) round = now;
        }
    }
    for (uint64_t s : skipped) totals.skipped += s;
    return totals;
}

std::string summaryLine(const Totals& totals, const Output& output) {
    std::string line =
        std::to_string(totals.frames) + " frames" +
        (totals.senders > 1 ? " from " + std::to_string(totals.senders) + " senders" : "") + ", " +
        std::to_string(totals.malformed) + " malformed, " + std::to_string(totals.datagrams) +
        " datagrams, " + std::to_string(totals.bytes) + " bytes " + output.delivered() + "; " +
        std::to_string(totals.skipped) + " telegram counters skipped" + output.notes();
    if (totals.failures != 0)
        line += "; " + std::to_string(totals.failures) + " datagrams failed to send";
    return line;
}

}  // namespace compact::sim
