// The stop request: SIGINT, SIGTERM and SIGHUP are counted in one process-wide atomic.
#include "app/stop_signal.h"

#include <pthread.h>

#include <stdexcept>

std::atomic<SigINT*> SigINT::installed{nullptr};

namespace {

// The signals that ask the program to stop: Ctrl-C, the service manager's stop request, and the
// terminal or remote session going away.
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Further signals change nothing once the count says "stop at once"; it must not overflow.
constexpr int countLimit = 1000;

// Sets the action of every stop signal; false (with the actions set so far left in place) when the
// system refuses one.
bool setStopActions(void (*action)(int)) {
    struct sigaction settings {};
    settings.sa_handler = action;
    sigemptyset(&settings.sa_mask);
    // No SA_RESTART: a waiting call returns at once with EINTR; every write retries it.
    settings.sa_flags = 0;
    for (int signal : stopSignals) {
        if (sigaction(signal, &settings, nullptr) == -1) return false;
    }
    return true;
}

}  // namespace

SigINT::SigINT() {
    installed.store(this);
    if (!setStopActions(&SigINT::handler)) {
        setStopActions(SIG_DFL);
        installed.store(nullptr);
        throw std::runtime_error("Failed to install signal handler");
    }
}

SigINT::~SigINT() {
    setStopActions(SIG_DFL);
    installed.store(nullptr);
}

SigINT& SigINT::instance() {
    static SigINT flag;
    return flag;
}

void SigINT::handler(int signal) {
    if (signal != SIGINT && signal != SIGTERM && signal != SIGHUP) return;
    SigINT* flag = installed.load();
    if (flag == nullptr) return;
    int none = 0;
    flag->first.compare_exchange_strong(none, signal, std::memory_order_relaxed);
    if (flag->requests.load(std::memory_order_relaxed) < countLimit)
        flag->requests.fetch_add(1, std::memory_order_relaxed);
}

StopSignalsBlocked::StopSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : stopSignals) sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
