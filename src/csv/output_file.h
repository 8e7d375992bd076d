// The writer's output file: a sink that writes whole rows to a file descriptor.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "csv/csv_sink.h"

namespace compact {

// Writes to a file descriptor with write(2). A write interrupted by a signal (EINTR) or cut short
// is continued until the whole chunk is written, so a stop request never fails or cuts a chunk;
// any other error ends the output and errorText() is the system's text for it.
//
// On a regular file the sink keeps the file ending with a complete row: after a failed write (a
// full disk) it truncates the file back to the end of the last row written whole.
class FileSink : public CsvSink {
  public:
    // Takes `fd`; closes it at close() or destruction when `owned`.
    FileSink(int fd, bool owned);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Creates or truncates the file at `path` for writing; nullptr when it cannot be opened
    // (errno tells why).
    static std::unique_ptr<FileSink> open(const std::string& path);
    // Standard output, not closed at the end.
    static std::unique_ptr<FileSink> standardOutput();

    bool write(std::string_view text, bool endsRow) override;
    bool close() override;
    std::string errorText() const override { return failure; }
    // The errno of the failure, 0 before one.
    int errorNumber() const { return failureNumber; }
    // The path the sink was opened with, "" for a descriptor given by the caller.
    const std::string& path() const { return filePath; }

    // What checkPath() found.
    enum class PathState {
        Same,       // the path still names the file being written
        Recreated,  // it did not (removed, or replaced by another file): a new file was created
        Failed,     // it did not, and no file could be created there (errorText() says why)
    };
    // For a sink opened by path: whether the path still names the open file. If it does not, the
    // file is created again under its name and writing goes on there (the caller writes a header
    // first). Standard output always stays.
    PathState checkPath();

  private:
    bool fail(int error);

    int fd;
    bool owned;
    std::string filePath;    // empty for a descriptor given by the caller
    bool regular = false;    // a regular file: it can be truncated back
    off_t wholeRowsEnd = 0;  // where the last complete row ends in it
    off_t offset = 0;        // where the next write lands
    std::string failure;
    int failureNumber = 0;
};

}  // namespace compact
