// An output file of the receiver: whole records, cut back after a failure, recreated when removed,
// never blocking a stop.
#include "io/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "io/descriptor.h"
#include "io/tail_keeper.h"

namespace compact {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for room lasts before the stop requests are looked at again.
constexpr int pollMs = 100;

// The first four bytes of pcap files (both byte orders; microsecond, nanosecond and the modified
// format's magic numbers) and of pcapng files (the section header block's type, a palindrome).
constexpr std::array<uint32_t, 7> captureMagics = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1,
                                                   0xA1B2CD34, 0x34CDB2A1, 0x0A0D0D0A};

}  // namespace

bool isCaptureFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    uint32_t magic = 0;
    const bool capture =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        ::read(fd, &magic, sizeof magic) == sizeof magic &&
        std::find(captureMagics.begin(), captureMagics.end(), magic) != captureMagics.end();
    ::close(fd);
    return capture;
}

namespace {

// Opens for appending, readable where permitted (so that a removed file's last records can be
// copied into its successor).
int openForAppend(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | flags, 0666);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | flags, 0666);
    return fd;
}

}  // namespace

OutputFile::OutputFile(int descriptor, std::string path, bool ownsFd)
    : fd(descriptor), owned(ownsFd), filePath(std::move(path)) {
    struct stat info {};
    regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    nonBlocking = (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
    if (regular) {
        // Standard output may be a file opened for appending, whose offset says nothing before the
        // first write: records start at its end.
        const bool appending = (::fcntl(fd, F_GETFL) & O_APPEND) != 0;
        floor = appending ? info.st_size : std::max<off_t>(::lseek(fd, 0, SEEK_CUR), 0);
        written = wholeEnd = checkedAt = floor;
        keeperSlot = tail_keeper::watch(fd);
        tail_keeper::expect(keeperSlot, floor, floor, true);
    }
}

OutputFile::~OutputFile() {
    tail_keeper::release(keeperSlot);
    if (owned && fd >= 0) ::close(fd);
}

std::unique_ptr<OutputFile> OutputFile::create(const std::string& path, Existing existing,
                                               bool& isCapture) {
    isCapture = existing == Existing::TruncateUnlessCapture && isCaptureFile(path);
    if (isCapture) {
        errno = EEXIST;
        return nullptr;
    }
    const int fd =
        openForAppend(path, existing == Existing::Refuse ? O_CREAT | O_EXCL : O_CREAT | O_TRUNC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<OutputFile>(new OutputFile(fd, path, true));
}

std::unique_ptr<OutputFile> OutputFile::standardOutput() {
    const int own = reopenNonBlocking(STDOUT_FILENO);
    if (own >= 0 && own != STDOUT_FILENO)
        return std::unique_ptr<OutputFile>(new OutputFile(own, "", true));
    return std::unique_ptr<OutputFile>(new OutputFile(STDOUT_FILENO, "", false));
}

bool OutputFile::fail(int error, std::string text) {
    if (failure.empty()) {
        failureNumber = error;
        failure = text.empty() ? std::strerror(error) : std::move(text);
    }
    return false;
}

bool OutputFile::waitForRoom(Clock::time_point& lastProgress) {
    bool stopSeen = false;
    while (true) {
        const int requests = stopRequests ? stopRequests() : 0;
        if (requests >= 1 && !stopSeen) {
            // The time without progress counts from the stop request on.
            stopSeen = true;
            lastProgress = std::max(lastProgress, Clock::now());
        }
        if (requests >= 2 || (requests >= 1 && Clock::now() - lastProgress >= stallLimit)) {
            stalled = true;
            return fail(ETIMEDOUT, "the reader took nothing after the stop request");
        }
        pollfd ready{fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, pollMs);
        if (polled > 0) return true;
        if (polled < 0 && errno != EINTR) return true;  // the write reports the error
    }
}

bool OutputFile::writeSome(std::string_view& text, Clock::time_point& lastProgress) {
    // A pipe or terminal is waited for with poll(), where the stop requests are looked at; a
    // regular file takes data without a reader.
    if (!regular && (nonBlocking || (stopRequests && stopRequests() >= 1))) {
        if (!waitForRoom(lastProgress)) return false;
    }
    const ssize_t count = ::write(fd, text.data(), text.size());
    if (count < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return true;
        const int error = errno;
        if (regular) {
            // Whatever part of a record reached the file goes again: it ends with a whole record,
            // and never shorter than it was at start.
            struct stat info {};
            off_t to = std::max(floor, wholeEnd);
            if (::fstat(fd, &info) == 0) to = std::min(to, info.st_size);
            if (::ftruncate(fd, to) == 0) {
                ::lseek(fd, to, SEEK_SET);
                written = to;
                tail_keeper::expect(keeperSlot, to, to, true);
            }
        }
        return fail(error);
    }
    text.remove_prefix(static_cast<size_t>(count));
    written += count;
    totalBytes += static_cast<uint64_t>(count);
    lastProgress = Clock::now();
    return true;
}

bool OutputFile::restartIfEmptied() {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size >= written) return true;
    // Another program cut the file short: append mode puts the next records at its new end.
    ++emptiedCount;
    written = wholeEnd = checkedAt = info.st_size;
    if (!restartText) return true;
    const std::string text = restartText();
    tail_keeper::expect(keeperSlot, written, written + static_cast<off_t>(text.size()), true);
    std::string_view start = text;
    auto lastProgress = Clock::now();
    while (!start.empty())
        if (!writeSome(start, lastProgress)) return false;
    wholeEnd = written;
    tail_keeper::expect(keeperSlot, wholeEnd, written, true);
    return true;
}

bool OutputFile::write(std::string_view text, bool endsRecord) {
    if (!failure.empty()) return false;
    if (regular && owned && !filePath.empty() && !restartIfEmptied()) return false;
    tail_keeper::expect(keeperSlot, wholeEnd, written + static_cast<off_t>(text.size()),
                        endsRecord);
    auto lastProgress = Clock::now();
    while (!text.empty())
        if (!writeSome(text, lastProgress)) return false;
    if (endsRecord) wholeEnd = written;
    // Done: until the next write only the piece of an unfinished record may be cut.
    tail_keeper::expect(keeperSlot, wholeEnd, written, endsRecord);
    return true;
}

bool OutputFile::close() {
    if (!owned || fd < 0) return failure.empty();
    tail_keeper::release(keeperSlot);
    keeperSlot = -1;
    const int result = ::close(fd);
    fd = -1;
    // close() may report the error of a write the kernel had deferred (network file systems).
    if (result != 0 && errno != EINTR) return fail(errno);
    return failure.empty();
}

void OutputFile::checkpoint(uint64_t records) {
    checkedAt = wholeEnd;
    checkedRecords = records;
    if (restartText) checkedRestart = restartText();
}

OutputFile::PathState OutputFile::checkPath(uint64_t records) {
    if (filePath.empty() || fd < 0 || !failure.empty()) return PathState::Same;
    struct stat open {};
    if (::fstat(fd, &open) != 0) {
        uncheckedError = errno;
        return PathState::Unchecked;
    }
    struct stat named {};
    if (::stat(filePath.c_str(), &named) == 0) {
        if (named.st_dev == open.st_dev && named.st_ino == open.st_ino) {
            checkpoint(records);
            return PathState::Same;
        }
        if (open.st_nlink == 0) {
            fail(EEXIST, "the file was removed and another file took its name");
            return PathState::Failed;
        }
        return PathState::Replaced;
    }
    if (errno != ENOENT) {
        uncheckedError = errno;
        return PathState::Unchecked;
    }
    return recreate(open.st_nlink == 0, records);
}

OutputFile::PathState OutputFile::recreate(bool removed, uint64_t records) {
    const int next = openForAppend(filePath, O_CREAT | O_EXCL);
    if (next < 0) {
        const int error = errno;
        if (!removed) {
            uncheckedError = error;
            return error == EEXIST ? PathState::Replaced : PathState::Unchecked;
        }
        fail(error, error == EEXIST ? "the file was removed and another file took its name" : "");
        return PathState::Failed;
    }
    // The new file starts as the old one did at the previous check (a renamed file keeps its
    // records, so the new one starts with what is in effect now), followed, after a removal, by
    // what was written since.
    std::string start = removed ? checkedRestart : (restartText ? restartText() : "");
    bool copied = true;
    if (removed && wholeEnd > checkedAt) {
        std::vector<char> tail(static_cast<size_t>(wholeEnd - checkedAt));
        size_t done = 0;
        while (done < tail.size()) {
            const ssize_t n = ::pread(fd, tail.data() + done, tail.size() - done,
                                      checkedAt + static_cast<off_t>(done));
            if (n <= 0 && !(n < 0 && errno == EINTR)) break;
            if (n > 0) done += static_cast<size_t>(n);
        }
        copied = done == tail.size();
        if (copied) start.append(tail.data(), tail.size());
    }
    const int nextSlot = tail_keeper::watch(next);
    tail_keeper::expect(nextSlot, 0, static_cast<off_t>(start.size()), true);
    const int error = writeAll(next, start);
    if (error != 0) {
        ::ftruncate(next, 0);
        tail_keeper::release(nextSlot);
        ::close(next);
        fail(error);
        return PathState::Failed;
    }
    tail_keeper::release(keeperSlot);
    keeperSlot = nextSlot;
    ::close(fd);
    fd = next;
    regular = true;
    nonBlocking = false;
    floor = 0;
    written = wholeEnd = static_cast<off_t>(start.size());
    if (removed) {
        // The records before the previous check went with the removed file; those after it are in
        // the new one (unless the removed file could not be read back).
        lostRecords += (copied ? checkedRecords : records) - fileStartRecords;
        fileStartRecords = copied ? checkedRecords : records;
    } else {
        fileStartRecords = records;
    }
    checkpoint(records);
    return removed ? PathState::Recreated : PathState::Renamed;
}

}  // namespace compact
