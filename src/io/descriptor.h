// Standard descriptors and whole writes to a descriptor.
#pragma once

#include <string_view>

namespace compact {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no socket or file
// opened later can take its number (and receive what is meant for standard output). Call it first.
void claimStandardDescriptors();

// Writes all of `text` to `fd`, continuing after EINTR and short writes. Returns 0, or the errno
// of the write that failed.
int writeAll(int fd, std::string_view text);

}  // namespace compact
