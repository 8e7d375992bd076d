// The receiver's IPv4 UDP socket on Linux: options, bind, optional sender filter, batch receive.
#include "io/linux_udp_socket.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "net/udp.h"

namespace {

sockaddr_in ipv4Address(uint32_t address, uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = htonl(address);
    return out;
}

// Closes the descriptor unless released: every failed step of open() leaves nothing open.
struct DescriptorGuard {
    int fd;
    ~DescriptorGuard() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

bool enable(int fd, int level, int option) {
    const int on = 1;
    return ::setsockopt(fd, level, option, &on, sizeof on) == 0;
}

}  // namespace

SocketSetup Socket::open(const SocketOptions& options) {
    SocketSetup setup;
    // Asked before binding: once bound, this socket itself would hold the port.
    if (portTaken(options.port)) {
        setup.warnings.push_back("Another program already receives on UDP port " +
                                 std::to_string(options.port) +
                                 "; senders are split between them unless each uses --address");
    }
    DescriptorGuard guard{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (guard.fd == -1) {
        setup.error = std::string("Failed to create socket:") + std::strerror(errno);
        return setup;
    }
    // Both reuse options must be set before bind so that another instance with the same options
    // can bind the same port while this one runs.
    if (!enable(guard.fd, SOL_SOCKET, SO_REUSEPORT))
        setup.warnings.push_back("Failed to enable reuse port on socket");
    if (!enable(guard.fd, SOL_SOCKET, SO_REUSEADDR))
        setup.warnings.push_back("Failed to enable reuse address on socket");

    // SO_RCVBUFFORCE passes the system's cap (net.core.rmem_max) when the process is privileged;
    // SO_RCVBUF is capped by the kernel.
    const int bytes = options.receiveBufferBytes;
    if (::setsockopt(guard.fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(guard.fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int accounted = 0;
    socklen_t size = sizeof accounted;
    // Linux reports twice the size it accepted, its bookkeeping included.
    if (::getsockopt(guard.fd, SOL_SOCKET, SO_RCVBUF, &accounted, &size) == 0 &&
        accounted / 2 < bytes) {
        setup.warnings.push_back("Receive buffer limited to " +
                                 std::to_string(accounted / 2 / 1024) +
                                 " KiB; raise net.core.rmem_max to avoid losing telegrams");
    }
    // What every datagram brings along: the kernel's drop count, its receive time and the address
    // it was sent to. Without them the receiver falls back on its own clock and the port.
    enable(guard.fd, SOL_SOCKET, SO_RXQ_OVFL);
    enable(guard.fd, SOL_SOCKET, SO_TIMESTAMPNS);
    enable(guard.fd, IPPROTO_IP, IP_PKTINFO);

    const sockaddr_in local = ipv4Address(INADDR_ANY, options.port);
    if (::bind(guard.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1) {
        setup.error = std::string("Failed to bind socket:") + std::strerror(errno);
        return setup;
    }
    unsigned int interfaceIndex = 0;
    if (!options.interfaceName.empty()) {
        interfaceIndex = ::if_nametoindex(options.interfaceName.c_str());
        if (interfaceIndex == 0) {
            setup.error = "--interface " + options.interfaceName + ": no such interface";
            return setup;
        }
    }
    for (const uint32_t group : options.groups) {
        ip_mreqn join{};
        join.imr_multiaddr.s_addr = htonl(group);
        join.imr_ifindex = static_cast<int>(interfaceIndex);
        if (::setsockopt(guard.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
            setup.error = "--multicast " + compact::formatIpv4Address(group) +
                          ": cannot join:" + std::strerror(errno);
            return setup;
        }
    }
    // Linux delivers to a socket bound to any address the datagrams of every group any socket of
    // the host joined; only this socket's own groups are wanted (none without --multicast).
    const int off = 0;
    ::setsockopt(guard.fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    if (options.source) {
        // Port 0: the sender's datagrams from any source port.
        const sockaddr_in peer = ipv4Address(*options.source, 0);
        if (::connect(guard.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            setup.error = "Connect failed";
            return setup;
        }
    }
    setup.socket.reset(new Socket(guard.release(), options.port));
    return setup;
}

Socket::~Socket() { ::close(fd); }

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

bool Socket::portTaken(uint16_t port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe == -1) return false;
    const sockaddr_in local = ipv4Address(INADDR_ANY, port);
    // Without the reuse options a bind fails on a port that any other socket holds.
    const bool taken =
        ::bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 &&
        errno == EADDRINUSE;
    ::close(probe);
    return taken;
}

std::optional<int> Socket::otherReceivers() const {
    struct stat own {};
    if (::fstat(fd, &own) != 0) return std::nullopt;
    int others = 0;
    bool read = false;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        if (!in) continue;
        read = true;
        std::string line;
        std::getline(in, line);  // the column names
        while (std::getline(in, line)) {
            // "sl local_address rem_address st tx_queue:rx_queue tr:when retrnsmt uid timeout
            // inode ...", the local address as hexadecimal ADDRESS:PORT.
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            const size_t colon = local.rfind(':');
            if (!fields || colon == std::string::npos) continue;
            const unsigned long port = std::strtoul(local.c_str() + colon + 1, nullptr, 16);
            if (port == localPort && inode != own.st_ino) ++others;
        }
    }
    if (!read) return std::nullopt;
    return others;
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

    // Room for the control messages of each datagram: drop count, receive time, destination.
    constexpr size_t controlBytes = CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(timespec)) +
                                    CMSG_SPACE(sizeof(in_pktinfo));
    std::array<mmsghdr, capacity> headers{};
    std::array<iovec, capacity> vectors{};
    std::array<sockaddr_in, capacity> senders{};
    alignas(cmsghdr) std::array<std::array<char, controlBytes>, capacity> controls{};
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
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
        Datagram& d = received[i];
        d.bytes = {slots.data() + i * slotBytes, headers[i].msg_len};
        d.sourceAddress = ntohl(senders[i].sin_addr.s_addr);
        d.sourcePort = ntohs(senders[i].sin_port);
        d.destinationAddress = 0;
        d.receiveTimeNs = 0;
        d.hasKernelDrops = false;
        msghdr& message = headers[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&d.kernelDrops, CMSG_DATA(c), sizeof d.kernelDrops);
                d.hasKernelDrops = true;
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec time{};
                std::memcpy(&time, CMSG_DATA(c), sizeof time);
                d.receiveTimeNs = static_cast<uint64_t>(time.tv_sec) * 1'000'000'000u +
                                  static_cast<uint64_t>(time.tv_nsec);
            } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                d.destinationAddress = ntohl(info.ipi_addr.s_addr);
            }
        }
    }
    return count;
}
