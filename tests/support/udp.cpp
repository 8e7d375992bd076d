// UDP helpers for the end-to-end tests: free ports, the socket table, and a sender.
#include "support/udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/files.h"
#include "support/process.h"

namespace testing_support {
namespace {

// A UDP socket bound to `address` on a port the system picks; the caller owns the descriptor.
int boundSocket(const std::string& address) {
    sockaddr_in local{AF_INET, 0, {}, {}};
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("bind " + address + ":" + std::strerror(errno));
    return fd;
}

}  // namespace

unsigned short freeUdpPort() {
    const int fd = boundSocket("0.0.0.0");
    sockaddr_in local{};
    socklen_t size = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    close(fd);
    return ntohs(local.sin_port);
}

std::vector<UdpSocketState> udpSocketsOnPort(unsigned short port) {
    // Columns: sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
    // inode ref pointer drops; addresses are hexadecimal "ADDR:PORT".
    std::vector<UdpSocketState> sockets;
    std::istringstream table(readFile("/proc/net/udp"));
    for (std::string line; std::getline(table, line);) {
        unsigned localPort = 0;
        unsigned long long queued = 0, drops = 0;
        if (std::sscanf(line.c_str(),
                        "%*u: %*x:%x %*x:%*x %*x %*x:%llx %*x:%*x %*x %*u %*u %*u %*u %*x %llu",
                        &localPort, &queued, &drops) == 3 &&
            localPort == port)
            sockets.push_back({queued, drops});
    }
    return sockets;
}

void waitUntilReceived(unsigned short port, std::chrono::milliseconds timeout) {
    std::vector<UdpSocketState> sockets;
    const bool drained = eventually(
        [&] {
            sockets = udpSocketsOnPort(port);
            for (const auto& socket : sockets)
                if (socket.queuedBytes != 0 && socket.drops == 0) return false;
            return true;
        },
        timeout);
    ASSERT_FALSE(sockets.empty()) << "nothing listens on port " << port;
    for (const auto& socket : sockets)
        ASSERT_EQ(socket.drops, 0u) << "datagrams were lost before the receiver got them";
    ASSERT_TRUE(drained) << "datagrams left unreceived";
}

UdpSender::UdpSender(const std::string& sourceAddress) : fd(boundSocket(sourceAddress)) {}

UdpSender::~UdpSender() { close(fd); }

void UdpSender::send(unsigned short port, const std::string& payload) const {
    const sockaddr_in peer{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
               sizeof peer) != static_cast<ssize_t>(payload.size()))
        throw std::runtime_error(std::string("sendto:") + std::strerror(errno));
}

bool UdpSender::receivedAny() const {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) >= 0;
}

}  // namespace testing_support
