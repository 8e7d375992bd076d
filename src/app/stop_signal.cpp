// The stop request: SIGINT and SIGTERM set one process-wide flag.
#include "app/stop_signal.h"

#include <stdexcept>

std::atomic<SigINT*> SigINT::installed{nullptr};

namespace {

// The signals that ask the program to stop: Ctrl-C, and the service manager's stop request.
constexpr int stopSignals[] = {SIGINT, SIGTERM};

// Sets the action of every stop signal; false (with the actions set so far left in place) when the
// system refuses one.
bool setStopActions(void (*action)(int)) {
    struct sigaction settings {};
    settings.sa_handler = action;
    sigemptyset(&settings.sa_mask);
    settings.sa_flags = 0;  // no SA_RESTART: a waiting recv() returns at once with EINTR
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
    if (signal != SIGINT && signal != SIGTERM) return;
    if (SigINT* flag = installed.load()) flag->interrupted = 1;
}
