// The thread that only drains the socket into the datagram queue, so that a slow writer costs
// queue space instead of datagrams lost in the kernel.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "app/datagram_queue.h"

class Socket;

class ReceiveThread {
  public:
    // Starts receiving from `socket` into `queue`; both must outlive the thread. The thread is
    // started with the stop signals blocked, so they are always delivered to the writing thread.
    ReceiveThread(const Socket& socket, DatagramQueue& queue);
    // Stops without draining (if not stopped yet) and joins.
    ~ReceiveThread();
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

    // Asks the thread to end. With `drain`, it first receives every datagram the kernel already
    // holds for the socket (for at most drainLimit), so a stop loses nothing already received;
    // then it closes the queue. Returns at once; the queue's finished() tells when all is in.
    void stop(bool drain);

    // Receive calls that failed with an error other than a time-out or a signal, and the errno of
    // the last of them. After a failure the thread waits errorBackoffMs before it tries again, so
    // a lasting error does not keep a core busy.
    uint64_t receiveErrors() const { return errors.load(); }
    int lastReceiveError() const { return lastError.load(); }

    // Datagrams that came without the kernel's receive time (the host's clock stood in for it).
    uint64_t untimedDatagrams() const { return untimed.load(); }

    // How long draining may take at most, against a sender that never pauses.
    static constexpr int drainLimitMs = 2000;
    static constexpr int errorBackoffMs = 100;

  private:
    void run();

    const Socket& socket;
    DatagramQueue& queue;
    std::atomic<int> stopRequest{0};  // 0: run; 1: stop; 2: drain, then stop
    std::atomic<uint64_t> errors{0};
    std::atomic<int> lastError{0};
    std::atomic<uint64_t> untimed{0};
    std::thread thread;
};
