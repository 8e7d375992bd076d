// The stop request of a long-running program: one process-wide flag set by SIGINT, SIGTERM and
// SIGHUP.
#pragma once

#include <atomic>
#include <csignal>

// The stop request of the receiver's and the simulator's loops: one process-wide flag set by
// SIGINT (Ctrl-C), SIGTERM (a service manager) and SIGHUP (the terminal or SSH session went away),
// all alike.
//
// The first call of instance() builds the object and installs handler() for the three, without
// SA_RESTART, so that a receive waiting for a datagram returns early when one arrives (and so a
// send blocked on a full socket buffer returns EINTR, which the sender retries). The handler
// stays installed until the object is destroyed at process exit, which restores the default
// actions. A second signal only sets the flag again.
class SigINT {
  public:
    // The one object, built on the first call. Throws std::runtime_error "Failed to install signal
    // handler" when a handler cannot be installed (no handler is left installed then, and a later
    // call tries again).
    static SigINT& instance();

    // True once a stop signal has arrived since the object was built. Reads the flag afresh on
    // every call.
    bool isInterrupted() const { return interrupted != 0; }

    // The installed handler: sets the flag for the stop signals, ignores other signal numbers.
    // Async-signal-safe: it only stores into a lock-free flag.
    static void handler(int signal);

    ~SigINT();
    SigINT(const SigINT&) = delete;
    SigINT& operator=(const SigINT&) = delete;

  private:
    SigINT();

    volatile std::sig_atomic_t interrupted = 0;
    // The object whose flag the handler sets; null while none is installed. A pointer rather than a
    // call of instance() in the handler, which could run while instance() is still building it.
    static std::atomic<SigINT*> installed;
    static_assert(std::atomic<SigINT*>::is_always_lock_free,
                  "the handler needs a lock-free pointer");
};
