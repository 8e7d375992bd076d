// Runs of the built programs for the end-to-end tests: the receiver started on a port and ready,
// and stopped; the simulator run to its end; numbered frames and the rows and account they come
// back as; the fixture every live run shares.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/frames.h"
#include "support/process.h"
#include "support/udp.h"

namespace testing_support {

// For every wait: generous, as a sanitizer build on a loaded machine is slow. The receiver itself
// reacts to a stop request within its 1 s receive time-out.
inline constexpr std::chrono::seconds deadline{60};

// Waits until a receiver just started is ready: its receiving thread runs, after stop handlers,
// socket, status line and output are set up. Fails the test when that takes past the deadline.
void expectReady(ChildProcess& receiver);

// Starts the receiver with "--port `port`" and `arguments`, and waits until it is ready.
std::unique_ptr<ChildProcess> startReceiver(unsigned short port, std::vector<std::string> arguments,
                                            StandardOutput output = StandardOutput::Captured);

// Sends `signal` to a run and expects it to end with `status` within the deadline; returns its
// messages().
std::string stopRun(ChildProcess& run, int signal = SIGINT, ExitStatus status = exitedWith0);

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

// The number before the last "<number> <label>" in `text`, as in "12 rows written" of a run's
// summary (which follows any status line); -1 when there is none.
int64_t figure(const std::string& text, const std::string& label);
// The text in parentheses after that number and label, as in "3 parse errors (2 wrong magic, 1
// truncated)"; "" when there is none.
std::string reasons(const std::string& text, const std::string& label);

// What every live run has at hand: a scratch folder, a free port and a sender on 127.0.0.1.
class LiveRun : public testing::Test {
  protected:
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments,
                                        StandardOutput output = StandardOutput::Captured) const {
        return startReceiver(port, std::move(arguments), output);
    }

    const ScratchDir dir;
    const unsigned short port = freeUdpPort();
    const UdpSender sender;
};

}  // namespace testing_support
