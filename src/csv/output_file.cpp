// The writer's output target: the file it opens and truncates, or standard output, written with
// write(2); and the writer's constructors and final flush, which need the concrete sinks.
#include "csv/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "csv/compact_csv.h"

namespace compact {

FileSink::FileSink(int descriptor, bool ownsDescriptor) : fd(descriptor), owned(ownsDescriptor) {}

FileSink::~FileSink() {
    if (owned && fd >= 0) ::close(fd);
}

std::unique_ptr<FileSink> FileSink::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<FileSink>(fd, true);
}

bool FileSink::fail(int error) {
    if (failure.empty()) failure = std::strerror(error);
    return false;
}

bool FileSink::write(std::string_view text, bool /*endsRow*/) {
    if (!failure.empty()) return false;
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

bool FileSink::close() {
    if (!owned || fd < 0) return failure.empty();
    const int result = ::close(fd);
    fd = -1;
    // close() may report the error of a write the kernel had deferred (network file systems).
    if (result != 0 && errno != EINTR) return fail(errno);
    return failure.empty();
}

}  // namespace compact

CompactCSV::CompactCSV(const Options& settings)
    : options(settings), buffer(std::make_unique<char[]>(bufferBytes)) {
    if (settings.csvFile == "-") {
        ownSink = std::make_unique<compact::FileSink>(STDOUT_FILENO, false);
    } else {
        ownSink = compact::FileSink::open(settings.csvFile);
        if (!ownSink) {
            std::cerr << "Failed to open file for writing" << std::endl;
            std::exit(1);
        }
    }
    sink = ownSink.get();
}

CompactCSV::CompactCSV(const Options& settings, compact::CsvSink& target)
    : options(settings), sink(&target), buffer(std::make_unique<char[]>(bufferBytes)) {}

CompactCSV::CompactCSV(const Options& settings, std::ostream& out)
    : options(settings),
      ownSink(std::make_unique<compact::StreamSink>(out)),
      sink(ownSink.get()),
      buffer(std::make_unique<char[]>(bufferBytes)) {}

CompactCSV::~CompactCSV() { finish(); }

bool CompactCSV::finish() {
    if (sink == nullptr) return !outputFailed;
    flush();
    if (!sink->close() && !outputFailed) {
        outputFailed = true;
        failureText = sink->errorText();
    }
    sink = nullptr;
    ownSink.reset();
    return !outputFailed;
}
