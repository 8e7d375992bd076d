// UDP helpers for the end-to-end tests: a free port to start a receiver on, the state of the
// receiver's socket, and a sender bound to a chosen loopback address, so that tests can tell
// senders apart by their source address.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A UDP port that is free right now: bound on 0.0.0.0 with port 0, read back and released.
// Throws std::runtime_error (with the system error text) when no socket can be bound.
unsigned short freeUdpPort();

// One UDP socket as the system lists it in /proc/net/udp.
struct UdpSocketState {
    uint64_t queuedBytes = 0;  // memory held by datagrams not yet received
    uint64_t drops = 0;        // datagrams dropped because the receive buffer was full
};

// The IPv4 UDP sockets bound to local `port` in this network namespace, in any state, as
// /proc/net/udp lists them.
std::vector<UdpSocketState> udpSocketsOnPort(unsigned short port);

// Waits until no datagram is queued on the sockets bound to `port`, so that the receiver has taken
// every datagram sent so far; it handles each before it looks at its stop flag again. Fails the
// test (fatally) when nothing listens on the port, when the system dropped a datagram for a full
// buffer, or when `timeout` passes.
void waitUntilReceived(unsigned short port, std::chrono::milliseconds timeout);

// An IPv4 UDP socket bound to `sourceAddress` (any 127.0.0.0/8 address works on Linux without
// configuration) on a port the system picks.
class UdpSender {
  public:
    // Throws std::runtime_error when the address is not dotted IPv4 or cannot be bound.
    explicit UdpSender(const std::string& sourceAddress = "127.0.0.1");
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    // Sends `payload` as one datagram to 127.0.0.1:`port`. Throws std::runtime_error when it is
    // not sent whole.
    void send(unsigned short port, const std::string& payload) const;
    // True when a datagram has come back to this socket (without waiting for one).
    bool receivedAny() const;

  private:
    int fd = -1;
};

}  // namespace testing_support
