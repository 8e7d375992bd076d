// Receive statistics (telegram rate, lost telegrams, parse errors) and the status line that
// reports them, with the output file's size, on a terminal.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>

#include "format/parse_error.h"
#include "io/loss_tracker.h"

class Status {
  public:
    using SteadyClock = std::chrono::steady_clock;

    // `outputPath`: the CSV file whose size the line reports (not opened or checked here); "" when
    // the run writes no CSV file.
    // `periodMs`: minimum time between two lines, in milliseconds; the first line is due one
    // period after construction. Throws std::invalid_argument when `periodMs` is 0 (the rate is
    // divided by the elapsed interval, which must not be 0).
    Status(std::string outputPath, unsigned int periodMs);
    // As above, with the steady-clock time the first period starts from.
    Status(std::string outputPath, unsigned int periodMs, SteadyClock::time_point start);
    ~Status();
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;

    // Records one decoded telegram by its header's 64-bit telegram counter, for the sender with
    // the given source address and sender_id, received at `receivedNs` (0: unknown); see
    // LossTracker for what counts as lost, late, repeated, a restart or a jump. Without a sender
    // and a time, all telegrams count as one sender's with unknown times.
    void telegramReceived(uint64_t telegramCounter);
    void telegramReceived(uint32_t sourceAddress, uint32_t senderId, uint64_t telegramCounter,
                          uint64_t receivedNs);
    // Records a telegram that this host received but had no room for (its header read before it
    // was dropped): it fills its counter's place, as a dropped telegram, not a lost one.
    void telegramDropped(uint32_t sourceAddress, uint32_t senderId, uint64_t telegramCounter,
                         uint64_t receivedNs);

    // The files whose sizes the line reports, as they change with the segments of a rotating run:
    // the CSV ("output file") and the capture ("capture file"); "" for none.
    void setOutputFile(std::string path) { outputPath = std::move(path); }
    void setCaptureFile(std::string path) { capturePath = std::move(path); }

    // Whether another socket receives on the port now: telegrams missing from the counters while
    // it does are counted apart (missedWhileShared()), not as the sensor's loss.
    void setPortShared(bool shared) { portShared = shared; }
    uint64_t missedWhileShared() const { return sharedMissed; }

    // The datagrams this host dropped so far (receive buffer or queue full), for the line that
    // follows the status line whenever the count has grown.
    void setHostDrops(uint64_t dropped) { hostDrops = dropped; }

    // Status lines for a terminal `width` columns wide (0: width unknown): each one overwrites the
    // previous ("\r", no line feed), is cut to the width (so that it never wraps) and clears what
    // a longer previous line left behind. Off (standard output in a file or a pipe), every line
    // ends with a line feed and none starts with "\r". On by default.
    void setTerminal(bool terminal, int width = 0) {
        onTerminal = terminal;
        terminalWidth = width;
    }

    // True when the period has passed since the last line, so that print() would print one.
    bool isDue() const { return elapsedMs(SteadyClock::now()) >= static_cast<int64_t>(periodMs); }

    // Records one datagram dropped because it could not be decoded, of an unknown kind (Other).
    void parseErrorOccurred();
    // The same, of the given kind.
    void parseErrorOccurred(ParseErrorKind kind);

    // Writes the status line to standard output, when at least the period has passed since the
    // last line (or construction); otherwise only reads the steady clock. On a terminal the line
    // starts with "\r" so that it overwrites the previous one, and ends with "\n" only when
    // `newline` is true. When the host's drops have grown since the last line, a second line
    // follows: "Receive buffer overflowed: N telegrams dropped by this host so far (writing
    // cannot keep up)".
    // The lost telegrams show as "?" when not every sender is followed (lossKnown() false).
    // Never waits: a line that standard output cannot take now (a terminal stopped with Ctrl-S, a
    // full pipe) is skipped. Never throws for a missing output file: its size shows as "?". When
    // standard output cannot be written (closed, a pipe without reader), printing stops for the
    // rest of the run and printError() tells why; nothing else is affected.
    void print(bool newline);

    // The same with the clocks and the stream given: `now` the steady-clock time, `wallSeconds`
    // the wall-clock time in whole seconds since the epoch (shown in local time). Returns true
    // when a line was written to `out`.
    bool print(bool newline, SteadyClock::time_point now, std::time_t wallSeconds,
               std::ostream& out);

    // Ends a status line printed without a line feed, so that what follows on the terminal
    // (a message, a summary) starts on a line of its own. Does nothing otherwise. True when it
    // ended a line.
    bool endLine();

    // Writes `text` (the account of the run) where the status line goes, waiting at most `waitMs`
    // for room. False when it could not (the caller puts the text elsewhere).
    bool printText(std::string_view text, int waitMs);

    // The errno that stopped the status line, 0 while it is printed.
    int printError() const { return printFailure; }

    // Totals since construction; printing resets none of them. The lost telegrams are those of
    // the followed senders missing now, less those missed while another program shared the port:
    // with lossKnown() false, a lower bound.
    uint64_t lostTelegrams() const {
        const uint64_t missing = losses.totals().lost;
        return missing > sharedMissed ? missing - sharedMissed : 0;
    }
    const LossTracker& tracker() const { return losses; }
    bool lossKnown() const { return losses.lossKnown(); }
    uint64_t counterResets() const { return losses.totals().restarts; }
    uint64_t parseErrors() const { return parseErrorCount; }
    uint64_t parseErrors(ParseErrorKind kind) const {
        return parseErrorsByKind[static_cast<size_t>(kind)];
    }
    uint64_t telegramsReceived() const { return receivedCount; }

  private:
    void write(std::string_view text);
    int lineDescriptor();
    int64_t elapsedMs(SteadyClock::time_point now) const;
    // The text of the line for `now`; starts the next period.
    std::string line(bool newline, SteadyClock::time_point now, std::time_t wallSeconds);

    std::filesystem::path outputPath;
    std::filesystem::path capturePath;
    uint32_t periodMs;
    SteadyClock::time_point lastPrintTime;
    LossTracker losses;
    uint64_t hostDrops = 0;
    bool portShared = false;
    uint64_t sharedMissed = 0;
    uint64_t hostDropsAtLastPrint = 0;
    bool onTerminal = true;
    int terminalWidth = 0;
    int lineFd = -1;  // standard output, non-blocking where it can be; opened at the first line
    uint64_t parseErrorCount = 0;
    std::array<uint64_t, parseErrorKindCount> parseErrorsByKind{};
    uint64_t receivedCount = 0;
    uint64_t receivedAtLastPrint = 0;
    int printFailure = 0;
    bool lineOpen = false;  // the last line printed has no line feed
};
