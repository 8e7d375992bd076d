// Keeps the output files whole when the process dies without closing them.
//
// A write() to a regular file that SIGKILL interrupts stops at a page boundary: the file ends
// inside a row or a capture block, and nothing in the killed process runs again to cut it back.
// start() forks a small process, the keeper, that holds a descriptor of every output file (sent
// over a socket when the file is opened) and reads a table, shared with this process, of where each
// file's last whole record ends. When the socket closes without finish() (the process was killed
// or crashed), the keeper cuts every file that ends past its last whole record back to it, then
// exits. It ignores the signals a terminal sends to the whole process group and holds no other
// descriptor of the run: a pipe reader sees the end of the output when the run ends.
#pragma once

#include <sys/types.h>

namespace compact::tail_keeper {

// Starts the keeper, once, before any other thread runs. False when it cannot be started: the run
// goes on without it.
bool start();
// Watches a regular file from now on. Returns the slot to pass below, or -1 when there is no
// keeper or no free slot (the file is then not watched).
int watch(int fd);
// Before a write: the file's last whole record ends at `wholeEnd`, and the write will end the file
// at `writeEnd`, at the end of a record or not (`endsRecord`). After a kill, a file that ends past
// `wholeEnd` and short of `writeEnd`, or at `writeEnd` inside a record, is cut back to `wholeEnd`;
// any other end is left alone (what another program appended after the write included).
void expect(int slot, off_t wholeEnd, off_t writeEnd, bool endsRecord);
// The file is closed or given up: the keeper lets go of it. -1 is ignored.
void release(int slot);
// The run ends normally: the keeper exits without touching any file, and is waited for briefly.
void finish();

}  // namespace compact::tail_keeper
