// Standard descriptors, and writes that never hold up the caller.
#include "io/descriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace compact {

ClosedDescriptors claimStandardDescriptors() {
    bool closed[3] = {false, false, false};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed[fd] = true;
        // The lowest free number is fd itself: the ones below it are open by now.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    return {closed[0], closed[1], closed[2]};
}

int writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

int reopenNonBlocking(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return -1;
    if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode)) return fd;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

WriteNow writeNow(int fd, std::string_view text) {
    pollfd ready{fd, POLLOUT, 0};
    int polled;
    while ((polled = poll(&ready, 1, 0)) < 0 && errno == EINTR) {
    }
    if (polled == 0) return WriteNow::Skipped;
    if (polled < 0) return WriteNow::Failed;
    if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (ready.revents & POLLOUT) == 0) {
        errno = (ready.revents & POLLNVAL) != 0 ? EBADF : EPIPE;
        return WriteNow::Failed;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return done == 0 ? WriteNow::Skipped : WriteNow::Partial;
            return WriteNow::Failed;
        }
        done += static_cast<size_t>(written);
    }
    return WriteNow::Written;
}

bool writeWithin(int fd, std::string_view text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!text.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLOUT, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) return false;
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace compact
