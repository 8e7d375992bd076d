// IPv4 UDP receiver socket: bound to one port on every local address, optionally restricted to
// the datagrams of a single sender. Nothing is ever sent through it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

class Socket {
  public:
    // Default receive buffer: about a second of data at the sensor's full rate of 300 datagrams/s
    // of 60 KB (18 MB/s). The kernel caps an unprivileged request at net.core.rmem_max.
    static constexpr int defaultReceiveBufferBytes = 16 * 1024 * 1024;

    // Creates an IPv4 UDP socket, enables address and port reuse (so several instances can listen
    // on the same port), asks for the default receive buffer (see setReceiveBuffer) and binds
    // `port` (host byte order) on 0.0.0.0. Failures of the options are reported on standard error
    // and tolerated; failure to create or bind the socket writes "Failed to create socket:" /
    // "Failed to bind socket:" plus the system error text to standard error and ends the process
    // with exit(1).
    explicit Socket(unsigned short port);

    // As above, then connects the socket to `address` (dotted-decimal IPv4 text) with port 0, so
    // that only datagrams from that host, from any source port, are received.
    // Throws std::runtime_error "Invalid IPv4 address" when `address` is not dotted-decimal IPv4
    // (host names included) and "Connect failed" when connect fails; the descriptor is closed
    // before the exception leaves.
    Socket(unsigned short port, const std::string& address);

    // Closes the descriptor.
    ~Socket();

    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Receives one datagram into `buffer` (capacity `length` bytes; a longer datagram is cut).
    // Returns the number of bytes received, 0 for an empty datagram, or -1 on time-out,
    // interruption by a signal or any other error (errno is left as the system set it).
    ssize_t receive(void* buffer, size_t length);

    // Sets the receive time-out to `seconds` whole seconds (0 disables it). Returns true when the
    // option was set.
    bool setTimeout(unsigned int seconds);

    // True when the descriptor exists.
    bool isValid() const;

    // Asks for a receive buffer of `bytes`: with SO_RCVBUFFORCE first, which passes the system's
    // cap (net.core.rmem_max) when the process is privileged, else with SO_RCVBUF, which the
    // kernel caps. Returns the bytes the kernel then accounts for the buffer (Linux reports twice
    // the accepted size, its bookkeeping included), 0 when that cannot be read.
    int setReceiveBuffer(int bytes);

    // Asks the kernel to attach to every datagram the count of datagrams it dropped on this socket
    // so far because the buffer was full (SO_RXQ_OVFL). False when the system refuses.
    bool enableDropCounter();

    // Datagrams the kernel dropped on this socket so far because its buffer was full (the count
    // SO_RXQ_OVFL attaches to datagrams, read at any time with SO_MEMINFO); nullopt when the
    // system does not tell.
    std::optional<uint64_t> droppedDatagrams() const;

    // True when another socket is bound to UDP `port` on this host such that a socket without
    // the reuse options could not bind it: another program receives there.
    static bool portTaken(unsigned short port);

    int descriptor() const { return fd; }

  private:
    int fd = -1;
};

// The datagrams of one receive call (recvmmsg): their bytes, sender and the kernel's drop count.
class ReceiveBatch {
  public:
    static constexpr size_t capacity = 16;
    // Room for the largest IPv4 UDP payload, so no datagram is ever cut.
    static constexpr size_t slotBytes = 65535;

    struct Datagram {
        std::span<const uint8_t> bytes;  // valid until the next receive()
        uint32_t sourceAddress = 0;      // host byte order
        uint16_t sourcePort = 0;
        bool hasKernelDrops = false;  // the kernel attached its drop count (SO_RXQ_OVFL)
        uint32_t kernelDrops = 0;     // datagrams dropped on the socket so far (wraps at 2^32)
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

// The address of dotted-decimal IPv4 text such as "192.168.0.1", in host byte order; nullopt for
// anything else (host names, parts above 255, surrounding blanks), as the socket refuses it.
std::optional<uint32_t> parseIpv4Address(const std::string& text);
