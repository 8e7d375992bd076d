// IPv4 UDP receiver socket: creation, options, bind, optional sender filter, receive.
#include "io/socket_cross_platform.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
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
    setReceiveBuffer(defaultReceiveBufferBytes);

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

int Socket::setReceiveBuffer(int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    int effective = 0;
    socklen_t size = sizeof effective;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &size) != 0) return 0;
    return effective;
}

std::optional<uint64_t> Socket::droppedDatagrams() const {
    // The kernel fills as many counters as fit; the drop counter is the last it knows.
    std::array<uint32_t, SK_MEMINFO_VARS> counters{};
    socklen_t size = sizeof counters;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, counters.data(), &size) != 0 ||
        size < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
        return std::nullopt;
    }
    return counters[SK_MEMINFO_DROPS];
}

bool Socket::portTaken(unsigned short port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe == -1) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    // Without the reuse options a bind fails on a port that any other socket holds.
    const bool taken =
        ::bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 &&
        errno == EADDRINUSE;
    ::close(probe);
    return taken;
}

bool Socket::enableDropCounter() {
    const int enable = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &enable, sizeof enable) == 0;
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

ReceiveBatch::ReceiveBatch() : slots(capacity * slotBytes) {}

int ReceiveBatch::receive(const Socket& socket, int timeoutMs) {
    // Waiting: the first datagram within the time-out, then those already queued, in one call.
    int flags = MSG_DONTWAIT;
    if (timeoutMs > 0) {
        if (timeoutMs != waitMs) {
            const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            ::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            waitMs = timeoutMs;
        }
        flags = MSG_WAITFORONE;
    }

    std::array<mmsghdr, capacity> headers{};
    std::array<iovec, capacity> vectors{};
    std::array<sockaddr_in, capacity> senders{};
    // Room for the drop counter's control message of each datagram.
    alignas(cmsghdr) std::array<std::array<char, CMSG_SPACE(sizeof(uint32_t))>, capacity>
        controls{};
    for (size_t i = 0; i < capacity; ++i) {
        vectors[i] = {slots.data() + i * slotBytes, slotBytes};
        msghdr& message = headers[i].msg_hdr;
        message.msg_iov = &vectors[i];
        message.msg_iovlen = 1;
        message.msg_name = &senders[i];
        message.msg_namelen = sizeof senders[i];
        message.msg_control = controls[i].data();
        message.msg_controllen = controls[i].size();
    }
    const int count = ::recvmmsg(socket.descriptor(), headers.data(), capacity, flags, nullptr);
    if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    for (int i = 0; i < count; ++i) {
        Datagram& d = received[static_cast<size_t>(i)];
        d.bytes = {slots.data() + static_cast<size_t>(i) * slotBytes,
                   headers[static_cast<size_t>(i)].msg_len};
        d.sourceAddress = ntohl(senders[static_cast<size_t>(i)].sin_addr.s_addr);
        d.sourcePort = ntohs(senders[static_cast<size_t>(i)].sin_port);
        d.hasKernelDrops = false;
        msghdr& message = headers[static_cast<size_t>(i)].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&d.kernelDrops, CMSG_DATA(c), sizeof d.kernelDrops);
                d.hasKernelDrops = true;
            }
        }
    }
    return count;
}
