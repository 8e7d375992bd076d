// The thread that only drains the socket into the datagram queue.
#include "app/receive_thread.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "io/socket_cross_platform.h"

namespace {

// How long one wait for a datagram lasts: how soon a stop request is seen.
constexpr int pollMs = 100;

}  // namespace

ReceiveThread::ReceiveThread(const Socket& source, DatagramQueue& target)
    : socket(source), queue(target), thread([this] { run(); }) {}

ReceiveThread::~ReceiveThread() {
    stop(false);
    if (thread.joinable()) thread.join();
}

void ReceiveThread::stop(bool drain) {
    int expected = 0;
    stopRequest.compare_exchange_strong(expected, drain ? 2 : 1);
}

void ReceiveThread::run() {
    // Stop signals belong to the writing thread, which acts on them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ReceiveBatch batch;
    auto deliver = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const ReceiveBatch::Datagram& d = batch[static_cast<size_t>(i)];
            queue.push(d.bytes, {d.sourceAddress, d.sourcePort, d.hasKernelDrops, d.kernelDrops});
        }
    };
    while (stopRequest.load() == 0) {
        const int count = batch.receive(socket, pollMs);
        if (count < 0) {
            ++errors;
            continue;
        }
        deliver(count);
    }
    if (stopRequest.load() == 2) {
        // What the kernel holds now was received before the stop: take it without waiting.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(drainLimitMs);
        for (int count; (count = batch.receive(socket, 0)) > 0;) {
            deliver(count);
            if (std::chrono::steady_clock::now() > deadline) break;
        }
    }
    queue.close();
}
