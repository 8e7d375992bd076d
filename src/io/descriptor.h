// Standard descriptors, and writes to a descriptor that must never hold up the caller.
#pragma once

#include <string_view>

namespace compact {

// Which of the standard descriptors were closed when the program started.
struct ClosedDescriptors {
    bool input = false;
    bool output = false;
    bool error = false;
};

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no socket or file
// opened later can take its number (and receive what is meant for standard output). Call it first.
// Returns which ones were closed.
ClosedDescriptors claimStandardDescriptors();

// Writes all of `text` to `fd`, continuing after EINTR and short writes. Returns 0, or the errno
// of the write that failed.
int writeAll(int fd, std::string_view text);

// A descriptor of its own for writing to what `fd` refers to, in non-blocking mode. A terminal, a
// pipe or a FIFO is opened anew through /proc/self/fd, so that the non-blocking mode applies to
// this process's writes only and not to the shell or another process sharing `fd`; anything else
// (a regular file, whose writes do not wait for a reader; a socket, which cannot be opened anew)
// is `fd` itself, left as it is. Returns -1 when the descriptor cannot be opened anew.
int reopenNonBlocking(int fd);

// What writeNow() did.
enum class WriteNow {
    Written,  // all of the text
    Skipped,  // nothing: the descriptor cannot take the text now (a stopped terminal, a full pipe)
    Partial,  // only a part: the rest was dropped
    Failed,   // an error; errno tells which
};
// Writes `text` to `fd` without waiting for room: poll() tells whether the descriptor can take
// data now; if not, nothing is written. On a non-blocking descriptor a write that finds less room
// than the text needs writes what fits.
WriteNow writeNow(int fd, std::string_view text);

// Writes `text` to a non-blocking `fd`, waiting at most `timeoutMs` in all for room. True when all
// of it was written.
bool writeWithin(int fd, std::string_view text, int timeoutMs);

}  // namespace compact
