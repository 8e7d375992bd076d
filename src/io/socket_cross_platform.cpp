// IPv4 UDP receiver socket: creation, options, bind, optional sender filter, receive.
#include "io/socket_cross_platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

Socket::Socket(unsigned short port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);

    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1) {
        const int error = errno;
        std::cerr << "Failed to create socket:" << std::strerror(error) << '\n';
        std::exit(1);
    }

    // Both reuse options must be set before bind so that another instance with the same options
    // can bind the same port while this one runs.
    const int enable = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &enable, sizeof enable) == -1) {
        std::cerr << "Failed to enable reuse port on socket" << std::endl;
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) == -1) {
        std::cerr << "Failed to enable reuse address on socket" << std::endl;
    }
    enlargeReceiveBuffer();

    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1) {
        const int error = errno;
        std::cerr << "Failed to bind socket:" << std::strerror(error) << '\n';
        std::exit(1);
    }
}

Socket::Socket(unsigned short port, const std::string& address) : Socket(port) {
    // The delegated constructor has finished, so from here on a throw runs ~Socket and closes
    // the descriptor.
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = 0;  // port 0: accept the sender's datagrams from any source port
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        throw std::runtime_error("Invalid IPv4 address");
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        throw std::runtime_error("Connect failed");
    }
}

Socket::~Socket() { ::close(fd); }

void Socket::enlargeReceiveBuffer() {
    const int requested = requestedReceiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &requested, sizeof requested) == -1) {
        std::cerr << "Failed to enlarge receive buffer on socket" << std::endl;
    }
    // Linux reports the size it accounts for (twice the accepted request, which is capped at
    // net.core.rmem_max); that reported size is what is compared and shown.
    int effective = 0;
    socklen_t size = sizeof effective;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &size) == 0 &&
        effective < minimumReceiveBufferBytes) {
        std::cerr << "Receive buffer limited to " << effective / 1024
                  << " KiB; raise net.core.rmem_max to avoid losing telegrams" << std::endl;
    }
}

ssize_t Socket::receive(void* buffer, size_t length) { return ::recv(fd, buffer, length, 0); }

bool Socket::setTimeout(unsigned int seconds) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(seconds);
    timeout.tv_usec = 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool Socket::isValid() const { return fd != -1; }

std::optional<uint32_t> parseIpv4Address(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    return ntohl(address.s_addr);
}
