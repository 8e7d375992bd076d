// Receive statistics and the periodic one-line status report.
#include "io/status.h"

#include <unistd.h>

#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "io/descriptor.h"

Status::Status(std::string path, unsigned int period)
    : Status(std::move(path), period, SteadyClock::now()) {}

Status::Status(std::string path, unsigned int period, SteadyClock::time_point start)
    : outputPath(std::move(path)), periodMs(period), lastPrintTime(start) {
    if (periodMs == 0) {
        throw std::invalid_argument("Status period must be at least 1 ms");
    }
}

void Status::telegramReceived(uint64_t telegramCounter) {
    telegramReceived(0, 0, telegramCounter, 0);
}

void Status::telegramReceived(uint32_t sourceAddress, uint32_t senderId, uint64_t telegramCounter,
                              uint64_t receivedNs) {
    const LossTracker::Outcome outcome =
        losses.record(sourceAddress, senderId, telegramCounter, receivedNs);
    if (portShared && outcome.seen == LossTracker::Seen::Next) sharedMissed += outcome.counters;
    ++receivedCount;
}

void Status::telegramDropped(uint32_t sourceAddress, uint32_t senderId, uint64_t telegramCounter,
                             uint64_t receivedNs) {
    losses.recordDropped(sourceAddress, senderId, telegramCounter, receivedNs);
}

void Status::parseErrorOccurred() { parseErrorOccurred(ParseErrorKind::Other); }

void Status::parseErrorOccurred(ParseErrorKind kind) {
    ++parseErrorCount;
    ++parseErrorsByKind[static_cast<size_t>(kind)];
}

int64_t Status::elapsedMs(SteadyClock::time_point now) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - lastPrintTime).count();
}

Status::~Status() {
    if (lineFd >= 0 && lineFd != STDOUT_FILENO) ::close(lineFd);
}

int Status::lineDescriptor() {
    if (lineFd < 0) {
        lineFd = compact::reopenNonBlocking(STDOUT_FILENO);
        if (lineFd < 0) lineFd = STDOUT_FILENO;
    }
    return lineFd;
}

bool Status::printText(std::string_view text, int waitMs) {
    return printFailure == 0 && compact::writeWithin(lineDescriptor(), text, waitMs);
}

void Status::write(std::string_view text) {
    lineDescriptor();
    // A terminal that went away or a closed pipe must not end a recording: the line stops. A
    // terminal that cannot take the line now must not hold up the recording: the line is skipped.
    if (compact::writeNow(lineFd, text) == compact::WriteNow::Failed) printFailure = errno;
}

void Status::print(bool newline) {
    if (printFailure != 0) return;
    // Called for every datagram: the common case reads only the steady clock.
    const SteadyClock::time_point now = SteadyClock::now();
    if (elapsedMs(now) < static_cast<int64_t>(periodMs)) {
        return;
    }
    const auto wall = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    write(line(newline, now, static_cast<std::time_t>(wall.time_since_epoch().count())));
}

bool Status::endLine() {
    if (!lineOpen || printFailure != 0) return false;
    lineOpen = false;
    write("\n");
    return true;
}

bool Status::print(bool newline, SteadyClock::time_point now, std::time_t wallSeconds,
                   std::ostream& out) {
    if (elapsedMs(now) < static_cast<int64_t>(periodMs)) {
        return false;
    }
    out << line(newline, now, wallSeconds);
    out.flush();
    return true;
}

std::string Status::line(bool newline, SteadyClock::time_point now, std::time_t wallSeconds) {
    const int64_t elapsed = elapsedMs(now);
    std::tm local{};
    localtime_r(&wallSeconds, &local);
    char timeText[32];  // "YYYY-MM-DDTHH:MM:SS" is 19 characters for four-digit years
    if (std::strftime(timeText, sizeof timeText, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        timeText[0] = '\0';
    }

    // Single precision throughout: the rate is the average over the real elapsed interval,
    // rounded half away from zero.
    const float delta = static_cast<float>(receivedCount - receivedAtLastPrint);
    const long rate = std::lroundf(delta / (static_cast<float>(elapsed) * 0.001f));

    std::string text = std::string(timeText) + " Receive " + std::to_string(rate) +
                       " telegram/s, " + (lossKnown() ? std::to_string(lostTelegrams()) : "?") +
                       " lost, " + std::to_string(parseErrorCount) + " parse errors";
    // A file may have been removed or moved away while the run goes on; the line is still
    // printed, with "?" for its size.
    auto size = [&text](const char* label, const std::filesystem::path& path) {
        if (path.empty()) return;
        std::error_code error;
        const std::uintmax_t bytes = std::filesystem::file_size(path, error);
        text += std::string(", ") + label + " " + (error ? "?" : std::to_string(bytes >> 20)) +
                " MiB";  // whole MiB, truncated
    };
    size("output file", outputPath);
    size("capture file", capturePath);
    std::string out;
    if (onTerminal) {
        // One column short of the width: a line that fills it would wrap on many terminals.
        if (terminalWidth > 1 && text.size() > static_cast<size_t>(terminalWidth - 1))
            text.resize(static_cast<size_t>(terminalWidth - 1));
        out = "\r" + text + "\x1b[K";  // clears what a longer previous line left
    } else {
        out = text;
    }
    newline = newline || !onTerminal;
    if (hostDrops > hostDropsAtLastPrint) {
        out += "\nReceive buffer overflowed: " + std::to_string(hostDrops) +
               " telegrams dropped by this host so far (writing cannot keep up)";
        newline = true;
        hostDropsAtLastPrint = hostDrops;
    }
    if (newline) out += '\n';

    lastPrintTime = now;
    receivedAtLastPrint = receivedCount;
    lineOpen = !newline;
    return out;
}
