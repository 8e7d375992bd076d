// The writer's output file: a sink that writes whole chunks to a file descriptor.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "csv/csv_sink.h"

namespace compact {

// Writes to a file descriptor with write(2). A write interrupted by a signal (EINTR) or cut short
// is continued until the whole chunk is written, so a stop request never fails or cuts a chunk;
// any other error ends the output and errorText() is the system's text for it.
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

    bool write(std::string_view text, bool endsRow) override;
    bool close() override;
    std::string errorText() const override { return failure; }

  private:
    bool fail(int error);

    int fd;
    bool owned;
    std::string failure;
};

}  // namespace compact
