// Receive statistics and the periodic one-line status report.
#include "io/status.h"

#include <cmath>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>

Status::Status(std::string path, unsigned int period)
    : Status(std::move(path), period, SteadyClock::now()) {}

Status::Status(std::string path, unsigned int period, SteadyClock::time_point start)
    : outputPath(std::move(path)), periodMs(period), lastPrintTime(start) {
    if (periodMs == 0) {
        throw std::invalid_argument("Status period must be at least 1 ms");
    }
}

void Status::telegramReceived(uint64_t telegramCounter) {
    if (!firstTelegramSeen) {
        firstTelegramSeen = true;
    } else if (telegramCounter > lastTelegramCounter) {
        lostCount += telegramCounter - lastTelegramCounter - 1;
    }
    lastTelegramCounter = telegramCounter;
    ++receivedCount;
}

void Status::parseErrorOccured() { ++parseErrorCount; }

int64_t Status::elapsedMs(SteadyClock::time_point now) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - lastPrintTime).count();
}

void Status::print(bool newline) {
    // Called before every receive: the common case reads only the steady clock.
    const SteadyClock::time_point now = SteadyClock::now();
    if (elapsedMs(now) < static_cast<int64_t>(periodMs)) {
        return;
    }
    const auto wall = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    print(newline, now, static_cast<std::time_t>(wall.time_since_epoch().count()), std::cout);
}

bool Status::print(bool newline, SteadyClock::time_point now, std::time_t wallSeconds,
                   std::ostream& out) {
    const int64_t elapsed = elapsedMs(now);
    if (elapsed < static_cast<int64_t>(periodMs)) {
        return false;
    }

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

    out << '\r' << timeText << " Receive " << rate << " telegram/s, " << lostCount << " lost, "
        << parseErrorCount << " parse errors, output file ";
    // The file may have been removed or moved away while the run goes on; the line is still
    // printed, with "?" for its size.
    std::error_code error;
    const std::uintmax_t sizeBytes = std::filesystem::file_size(outputPath, error);
    if (error) {
        out << '?';
    } else {
        out << (sizeBytes >> 20);  // whole MiB, truncated
    }
    out << " MiB";
    if (newline) {
        out << '\n';
    }
    out.flush();

    lastPrintTime = now;
    receivedAtLastPrint = receivedCount;
    return true;
}
