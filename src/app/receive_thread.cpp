// The thread that only drains the socket into the datagram queue.
#include "app/receive_thread.h"

#include <chrono>
#include <ctime>

#include "app/stop_signal.h"
#include "format/frame_view.h"
#include "io/linux_udp_socket.h"

namespace {

// How long one wait for a datagram lasts: how soon a stop request is seen.
constexpr int pollMs = 100;

// The host's clock for a datagram the kernel gave no time stamp, in ns since 1970.
uint64_t hostTimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

ReceiveThread::ReceiveThread(const Socket& source, DatagramQueue& target)
    : socket(source), queue(target) {
    // The new thread inherits the blocked mask from its first instruction on.
    const StopSignalsBlocked blocked;
    thread = std::thread([this] { run(); });
}

ReceiveThread::~ReceiveThread() {
    stop(false);
    if (thread.joinable()) thread.join();
}

void ReceiveThread::stop(bool drain) {
    int expected = 0;
    stopRequest.compare_exchange_strong(expected, drain ? 2 : 1);
}

void ReceiveThread::run() {
    ReceiveBatch batch;
    auto deliver = [&](int count) {
        for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
            const ReceiveBatch::Datagram& d = batch[i];
            if (d.receiveTimeNs == 0) ++untimed;
            const DatagramMeta meta{
                d.sourceAddress,      d.sourcePort,
                d.hasKernelDrops,     d.kernelDrops,
                d.destinationAddress, d.receiveTimeNs != 0 ? d.receiveTimeNs : hostTimeNs()};
            if (queue.push(d.bytes, meta)) continue;
            // No room: the datagram is in hand, so its sender and counter can still be told.
            DropNote note{d.sourceAddress, meta.receiveTimeNs, false, 0, 0};
            compact::FrameView frame;
            if (frame.parse(d.bytes)) {
                note.telegram = true;
                note.senderId = frame.moduleCount() != 0 ? frame.begin()->senderId() : 0;
                note.telegramCounter = frame.telegramCounter();
            }
            queue.noteDrop(note);
        }
    };
    while (stopRequest.load() == 0) {
        const int count = batch.receive(socket, pollMs);
        if (count < 0) {
            lastError = errno;
            ++errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(errorBackoffMs));
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
