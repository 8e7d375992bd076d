// An output file of the receiver (the CSV, the raw capture): whole records only, cut back after a
// failed write, recreated when removed, never written into when another program put a file at its
// path, and never allowed to hold up a stop.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace compact {

// The rules every output shares:
// - Whole records: the caller hands over text that ends at a record boundary (endsRecord), except
//   for a record longer than its own buffer. After a failed write (a full disk, a file-size limit)
//   a regular file is cut back to the end of the last whole record written, never below the size
//   it had when the run started (standard output appending to an existing file keeps that file).
//   Each regular file is watched by the keeper (tail_keeper.h), which cuts it back to its last
//   whole record if the process is killed in the middle of a write.
// - A file the run creates is created anew (truncated) at start and then written in append mode:
//   when another program empties it (logrotate's copytruncate, `: > file`), the next records land
//   at its new start, with no hole, after the text of restartText() (the CSV header); this is
//   reported once (emptied()).
// - checkPath() compares the path with the open file: a removed file is created again (only when
//   the path is missing: O_EXCL), starting with restartText() as it was at the previous check,
//   followed by everything written to the removed file since that check, so that nothing is lost
//   between the removal and its detection. A file renamed away keeps what it holds. A path that
//   now names another file is never written into or truncated: writing goes on to the open file.
// - Writes to a pipe or a terminal never block the stop of a run: after the first stop request
//   (stopRequests() returns 1) they go on while the reader takes data, but give up after
//   stallLimit without progress; a second request (2 or more) gives up at once. A reader that
//   takes nothing before the stop costs the caller time, not data.
// True when `path` names a regular file that starts with a pcap or pcapng magic number.
bool isCaptureFile(const std::string& path);

class OutputFile {
  public:
    // How long the reader of a pipe may take nothing after a stop request.
    static constexpr std::chrono::milliseconds stallLimit{2000};

    // How create() treats a file that exists.
    enum class Existing {
        Truncate,               // emptied, whatever it is
        TruncateUnlessCapture,  // emptied, unless it starts with a pcap or pcapng magic number
        Refuse,                 // left as it is: create() fails with EEXIST
    };
    // Creates the file at `path`, or truncates it as `existing` says; nullptr when it cannot be
    // opened (errno tells why). An existing capture left untouched sets `isCapture` (the caller
    // names the mistake); errno is then EEXIST.
    static std::unique_ptr<OutputFile> create(const std::string& path, Existing existing,
                                              bool& isCapture);
    // Standard output (not closed at the end). Written in non-blocking mode through a descriptor of
    // its own when it is a pipe or a terminal.
    static std::unique_ptr<OutputFile> standardOutput();

    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The text a file that starts anew begins with (the CSV header in effect, a capture's section
    // header): called when the file was emptied by another program, and at each checkPath().
    void setRestartText(std::function<std::string()> text) { restartText = std::move(text); }
    // The number of stop requests so far (see the class comment); by default never any.
    void setStopRequests(std::function<int()> requests) { stopRequests = std::move(requests); }

    // Writes all of `text`. Returns false once a write failed; errorText() then says why, and every
    // later call fails at once.
    bool write(std::string_view text, bool endsRecord);
    // Closes the file (standard output stays open). False on failure, also of an earlier write.
    bool close();

    std::string errorText() const { return failure; }
    int errorNumber() const { return failureNumber; }
    // True when writing gave up on a reader that took nothing after a stop request.
    bool readerStalled() const { return stalled; }
    // The path given to create(); "" for standard output.
    const std::string& path() const { return filePath; }
    // How many times another program emptied the file so far.
    uint64_t emptied() const { return emptiedCount; }
    // Bytes handed to write() and written so far (restart texts included).
    uint64_t bytesWritten() const { return totalBytes; }

    // What checkPath() found.
    enum class PathState {
        Same,       // the path names the open file
        Recreated,  // the file was removed: a new one was created and the rows since the previous
                    // check were copied into it (recordsLost() grew by those before it)
        Renamed,    // the file was renamed away (it keeps its records): a new one was created
        Replaced,   // the path names another file: writing goes on to the open file
        Unchecked,  // the path could not be looked at (a folder made unreadable): writing goes on
        Failed,     // the file was removed and none can be created: errorText() says why
    };
    // Compares the path with the open file; `records`: the records written so far in the run, for
    // the count of records left behind in a removed file. Standard output is always Same.
    PathState checkPath(uint64_t records);
    // The records the run had written before this file was opened (they are in other files).
    void setRecordsBefore(uint64_t records) { fileStartRecords = checkedRecords = records; }
    // The records that were in files removed while the run went on (not reachable any more).
    uint64_t recordsLost() const { return lostRecords; }
    // Why the last check found the path Unchecked (an errno).
    int checkError() const { return uncheckedError; }

  private:
    OutputFile(int fd, std::string path, bool ownsFd);

    bool fail(int error, std::string text = {});
    // Waits until the descriptor takes data, or gives up (false) per the stop rules.
    bool waitForRoom(std::chrono::steady_clock::time_point& lastProgress);
    bool writeSome(std::string_view& text, std::chrono::steady_clock::time_point& lastProgress);
    // A regular file this run created shrank below what was written: restart it.
    bool restartIfEmptied();
    PathState recreate(bool removed, uint64_t records);
    void checkpoint(uint64_t records);

    int fd;
    int keeperSlot = -1;  // the slot of the file in the keeper's table (-1: not watched)
    const bool owned;
    const std::string filePath;
    bool regular = false;
    bool nonBlocking = false;
    off_t floor = 0;             // never cut back below this: the size at start
    off_t wholeEnd = 0;          // where the last whole record ends
    off_t written = 0;           // where the next write lands (append mode: the end)
    off_t checkedAt = 0;         // wholeEnd at the previous checkPath()
    std::string checkedRestart;  // restartText() at the previous checkPath()
    uint64_t checkedRecords = 0;
    uint64_t fileStartRecords = 0;  // records written before the current file was started
    uint64_t lostRecords = 0;
    uint64_t emptiedCount = 0;
    uint64_t totalBytes = 0;
    int uncheckedError = 0;
    bool stalled = false;
    std::function<std::string()> restartText;
    std::function<int()> stopRequests;
    std::string failure;
    int failureNumber = 0;
};

}  // namespace compact
