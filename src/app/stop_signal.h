// The stop request of a long-running program: one process-wide count of SIGINT, SIGTERM and
// SIGHUP.
#pragma once

#include <atomic>
#include <csignal>

// The stop request of the receiver's and the simulator's loops: one process-wide count of the
// stop signals SIGINT (Ctrl-C), SIGTERM (a service manager) and SIGHUP (the terminal or SSH
// session went away), all alike.
//
// The first call of instance() builds the object and installs handler() for the three, without
// SA_RESTART, so that a receive waiting for a datagram returns early when one arrives (and so a
// send blocked on a full socket buffer returns EINTR, which the sender retries). The handler
// stays installed until the object is destroyed at process exit, which restores the default
// actions. A first signal asks the program to finish its work and stop; a second one asks it to
// stop at once (stopRequests() counts them).
class SigINT {
  public:
    // The one object, built on the first call. Throws std::runtime_error "Failed to install signal
    // handler" when a handler cannot be installed (no handler is left installed then, and a later
    // call tries again).
    static SigINT& instance();

    // True once a stop signal has arrived since the object was built. Reads the flag afresh on
    // every call.
    bool isInterrupted() const { return stopRequests() != 0; }
    // How many stop signals have arrived (stops counting at a large number).
    int stopRequests() const { return requests.load(std::memory_order_relaxed); }
    // The first stop signal that arrived (SIGINT, SIGTERM or SIGHUP), 0 before one.
    int firstSignal() const { return first.load(std::memory_order_relaxed); }

    // The installed handler: counts the stop signals, ignores other signal numbers.
    // Async-signal-safe: it only updates a lock-free atomic.
    static void handler(int signal);

    ~SigINT();
    SigINT(const SigINT&) = delete;
    SigINT& operator=(const SigINT&) = delete;

  private:
    SigINT();

    std::atomic<int> requests{0};
    std::atomic<int> first{0};
    static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free count");
    // The object whose count the handler updates; null while none is installed. A pointer rather
    // than a call of instance() in the handler, which could run while instance() is still building
    // it.
    static std::atomic<SigINT*> installed;
    static_assert(std::atomic<SigINT*>::is_always_lock_free,
                  "the handler needs a lock-free pointer");
};

// Blocks the stop signals in the calling thread while it lives, and restores the previous mask
// afterwards. A thread started meanwhile inherits the blocked mask, so that the signals are
// always delivered to a thread that acts on them, never to a helper thread, also in the moment
// between the helper's start and its own first instruction.
class StopSignalsBlocked {
  public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

  private:
    sigset_t previous{};
};
