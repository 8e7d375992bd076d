// The receiver's IPv4 UDP socket on Linux: bound to one port on every local address, optionally
// restricted to the datagrams of a single sender, with the kernel's receive time, destination
// address and drop count of every datagram, received in batches with recvmmsg. Nothing is ever
// sent through it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// How to open the receiving socket.
struct SocketOptions {
    uint16_t port = 2115;
    // Only datagrams from this IPv4 address (host byte order), from any source port.
    std::optional<uint32_t> source;
    // The receive buffer to ask for; the kernel caps an unprivileged request at net.core.rmem_max.
    // About a second of data at the sensor's full rate of 300 datagrams/s of 60 KB (18 MB/s).
    int receiveBufferBytes = 16 * 1024 * 1024;
    // IPv4 multicast groups to join (host byte order), on `interfaceName` (empty: the system's
    // choice). Only datagrams to the joined groups arrive (besides those to this host and
    // broadcasts), never those of groups other programs joined.
    std::vector<uint32_t> groups;
    std::string interfaceName;
};

class Socket;

// What Socket::open() made of the options.
struct SocketSetup {
    std::unique_ptr<Socket> socket;  // null when it could not be set up
    // Why not: "Failed to create socket:<reason>", "Failed to bind socket:<reason>", "Connect
    // failed", "--interface NAME: no such interface" or "--multicast GROUP: cannot join:<reason>".
    std::string error;
    // What the user should know although the socket works: a reuse option refused, the receive
    // buffer capped, another program receiving on the port.
    std::vector<std::string> warnings;
};

class Socket {
  public:
    // Creates an IPv4 UDP socket, enables address and port reuse (so several instances can listen
    // on the same port), asks for the receive buffer, the kernel's receive time stamps, the
    // datagrams' destination addresses and the drop counter, binds the port on 0.0.0.0 and, with a
    // source, connects to it with port 0 (the kernel then delivers only that host's datagrams).
    static SocketSetup open(const SocketOptions& options);

    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Datagrams the kernel dropped on this socket so far because its buffer was full (read with
    // SO_MEMINFO); nullopt when the system does not tell.
    std::optional<uint64_t> droppedDatagrams() const;

    // True when another socket is bound to UDP `port` on this host such that a socket without
    // the reuse options could not bind it: another program receives there.
    static bool portTaken(uint16_t port);

    // How many other sockets (IPv4 or IPv6, this process's own included) are bound to this
    // socket's port now, as /proc/net/udp and /proc/net/udp6 list them: each may take datagrams
    // meant for this one. nullopt when the lists cannot be read.
    std::optional<int> otherReceivers() const;

    int descriptor() const { return fd; }
    uint16_t port() const { return localPort; }

  private:
    Socket(int descriptor, uint16_t port) : fd(descriptor), localPort(port) {}

    int fd = -1;
    uint16_t localPort = 0;
};

// The datagrams of one receive call (recvmmsg): their bytes, addresses, receive time and the
// kernel's drop count.
class ReceiveBatch {
  public:
    static constexpr size_t capacity = 16;
    // Room for the largest IPv4 UDP payload, so no datagram is ever cut.
    static constexpr size_t slotBytes = 65535;

    struct Datagram {
        std::span<const uint8_t> bytes;  // valid until the next receive()
        uint32_t sourceAddress = 0;      // host byte order
        uint16_t sourcePort = 0;
        uint32_t destinationAddress = 0;  // the address it was sent to (a group, a broadcast)
        uint64_t receiveTimeNs = 0;       // the kernel's receive time, ns since 1970; 0: none
        bool hasKernelDrops = false;      // the kernel attached its drop count (SO_RXQ_OVFL)
        uint32_t kernelDrops = 0;         // datagrams dropped on the socket so far (wraps at 2^32)
    };

    ReceiveBatch();

    // Waits up to `timeoutMs` milliseconds (0: not at all) for a datagram on `socket`, then takes
    // every datagram already queued, up to capacity. Returns how many were received: 0 after a
    // time-out or a signal, -1 on another error (errno tells which). A wait sets the socket's
    // receive time-out to `timeoutMs`.
    int receive(const Socket& socket, int timeoutMs);

    const Datagram& operator[](size_t index) const { return received[index]; }

  private:
    std::vector<uint8_t> slots;  // capacity x slotBytes; pages are touched only where used
    std::array<Datagram, capacity> received{};
    int waitMs = 0;  // the receive time-out last set on the socket
};
