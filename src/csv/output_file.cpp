// The writer's output target: the file it opens and truncates, or standard output, written with
// write(2); and the writer's constructors and final flush, which need the concrete sinks.
#include "csv/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "csv/compact_csv.h"

namespace compact {

FileSink::FileSink(int descriptor, bool ownsDescriptor) : fd(descriptor), owned(ownsDescriptor) {
    struct stat info {};
    regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular) {
        // Standard output may be a file opened for appending: rows start where it ends now.
        offset = wholeRowsEnd = std::max<off_t>(::lseek(fd, 0, SEEK_CUR), 0);
    }
}

FileSink::~FileSink() {
    if (owned && fd >= 0) ::close(fd);
}

std::unique_ptr<FileSink> FileSink::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    auto sink = std::make_unique<FileSink>(fd, true);
    sink->filePath = path;
    return sink;
}

std::unique_ptr<FileSink> FileSink::standardOutput() {
    return std::make_unique<FileSink>(STDOUT_FILENO, false);
}

bool FileSink::fail(int error) {
    if (failure.empty()) {
        failure = std::strerror(error);
        failureNumber = error;
    }
    return false;
}

bool FileSink::write(std::string_view text, bool endsRow) {
    if (!failure.empty()) return false;
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            // Whatever part of a row reached the file goes again: the file ends with a whole row.
            if (regular && ::ftruncate(fd, wholeRowsEnd) == 0) ::lseek(fd, wholeRowsEnd, SEEK_SET);
            return fail(error);
        }
        text.remove_prefix(static_cast<size_t>(written));
        offset += written;
    }
    if (endsRow) wholeRowsEnd = offset;
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

FileSink::PathState FileSink::checkPath() {
    if (filePath.empty() || fd < 0) return PathState::Same;
    struct stat named {
    }, open{};
    if (::stat(filePath.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
        named.st_dev == open.st_dev && named.st_ino == open.st_ino) {
        return PathState::Same;
    }
    const int replacement =
        ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (replacement < 0) {
        fail(errno);
        return PathState::Failed;
    }
    ::close(fd);
    fd = replacement;
    offset = wholeRowsEnd = 0;
    return PathState::Recreated;
}

}  // namespace compact

CompactCSV::CompactCSV(const Options& settings)
    : options(settings), buffer(std::make_unique<char[]>(bufferBytes)) {
    if (settings.csvFile == "-") {
        ownSink = compact::FileSink::standardOutput();
    } else {
        ownSink = compact::FileSink::open(settings.csvFile);
        if (!ownSink) {
            std::cerr << "Failed to open file for writing: " << settings.csvFile << ": "
                      << std::strerror(errno) << std::endl;
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
