// IPv4 UDP receiver socket: bound to one port on every local address, optionally restricted to
// the datagrams of a single sender. Nothing is ever sent through it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class Socket {
  public:
    // Receive buffer requested before bind: about a second of data at the sensor's full rate of
    // 300 datagrams/s of 60 KB (18 MB/s), enough to ride out a disk stall. The kernel caps the
    // request at net.core.rmem_max.
    static constexpr int requestedReceiveBufferBytes = 16 * 1024 * 1024;
    // Below this effective size (as reported back by the kernel) a warning is written: smaller
    // buffers overflow during ordinary write stalls at full sensor rate.
    static constexpr int minimumReceiveBufferBytes = 4 * 1024 * 1024;

    // Creates an IPv4 UDP socket, enables address and port reuse (so several instances can listen
    // on the same port), requests a large receive buffer and binds `port` (host byte order) on
    // 0.0.0.0. Failures of the options are reported on standard error and tolerated; failure to
    // create or bind the socket writes "Failed to create socket:" / "Failed to bind socket:" plus
    // the system error text to standard error and ends the process with exit(1).
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

  private:
    void enlargeReceiveBuffer();

    int fd = -1;
};

// The address of dotted-decimal IPv4 text such as "192.168.0.1", in host byte order; nullopt for
// anything else (host names, parts above 255, surrounding blanks), as the socket refuses it.
std::optional<uint32_t> parseIpv4Address(const std::string& text);
