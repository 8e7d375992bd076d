// Runs of the built programs for the end-to-end tests: the receiver started on a port and ready,
// the simulator run to its end, numbered frames and the rows and account they come back as.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/process.h"

namespace testing_support {

// For every wait: generous, as a sanitizer build on a loaded machine is slow. The receiver itself
// reacts to a stop request within its 1 s receive time-out.
inline constexpr std::chrono::seconds deadline{60};

// Starts the receiver with "--port `port`" and `arguments`. It is ready once its receiving thread
// runs, after stop handlers, socket, status line and output are set up. Fails the test when it is
// not ready within the deadline.
std::unique_ptr<ChildProcess> startReceiver(unsigned short port, std::vector<std::string> arguments,
                                            StandardOutput output = StandardOutput::Captured);

// Standard error of a live run without its start line ("Receiving on UDP port ...") and the notice
// about a small receive buffer, which depends on the machine.
std::string messages(const ChildProcess& child);

// Runs the simulator with `arguments` to its end; fails the test unless it exits with 0. Returns
// its standard output.
std::string simulate(const std::vector<std::string>& arguments);

// A frame of one module of `lines` x `beams` x `echoes` from sender `senderId` whose telegram
// counter and frame number are `n`.
std::string numberedFrame(uint64_t n, uint32_t lines = 2, uint32_t beams = 3, uint32_t echoes = 1,
                          uint32_t senderId = 1);

// The frame numbers (second column) of the rows of a CSV text. Fails the test when the text does
// not end with a whole row or a row's field count differs from its header's.
std::set<uint64_t> framesIn(const std::string& csv);

// The number before the last "<number> <label>" in `text`, as in "12 rows written" of a run's
// summary (which follows any status line); -1 when there is none.
int64_t figure(const std::string& text, const std::string& label);
// The text in parentheses after that number and label, as in "3 parse errors (2 wrong magic, 1
// truncated)"; "" when there is none.
std::string reasons(const std::string& text, const std::string& label);

// The simulator's options for a stream to describe: 24 frames of the default scan (two
// rotations) with every 5th telegram counter skipped and a malformed datagram after every 6th
// frame: telegram counters 1..29 without 5, 10, 15, 20 and 25, segments 0..28 without 4, 9, 14, 19
// and 24; malformed: wrong magic, unsupported version, truncated, wrong magic.
extern const std::vector<std::string> describedStream;

// Checks the figures of the --describe report of describedStream from `sender` with the filters
// --phi 0 --theta 10:20: --phi 0 selects line 7 (phi -1 degree); theta 10..20 lies in segment 6 of
// each rotation (0..30 degrees), so segments 6 and 18.
void expectDescribedStream(const std::string& report, const std::string& sender);

}  // namespace testing_support
