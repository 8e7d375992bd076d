// UDP helpers for the end-to-end tests: free port lookup and a sender with a chosen source.
#include "support/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ":" + std::strerror(errno));
}

// A UDP socket bound to `address` on a port the system picks; the caller owns the descriptor.
int boundSocket(const std::string& address) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) throw systemError("socket");
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const auto error = systemError("bind " + address);
        close(fd);
        throw error;
    }
    return fd;
}

}  // namespace

unsigned short freeUdpPort() {
    const int fd = boundSocket("0.0.0.0");
    sockaddr_in local{};
    socklen_t size = sizeof local;
    const int result = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    close(fd);
    if (result != 0) throw systemError("getsockname");
    return ntohs(local.sin_port);
}

std::vector<UdpSocketState> udpSocketsOnPort(unsigned short port) {
    // Columns: sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
    // inode ref pointer drops; addresses are hexadecimal "ADDR:PORT".
    std::vector<UdpSocketState> sockets;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode,
            references, pointer;
        uint64_t drops = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode >> references >> pointer >> drops;
        const auto portAt = local.find(':');
        const auto queueAt = queues.find(':');
        if (!fields || portAt == std::string::npos || queueAt == std::string::npos) continue;
        if (std::stoul(local.substr(portAt + 1), nullptr, 16) != port) continue;
        sockets.push_back({std::stoull(queues.substr(queueAt + 1), nullptr, 16), drops});
    }
    return sockets;
}

UdpSender::UdpSender(const std::string& sourceAddress) : fd(boundSocket(sourceAddress)) {}

UdpSender::~UdpSender() { close(fd); }

void UdpSender::send(unsigned short port, const std::string& payload) const {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const ssize_t sent = sendto(fd, payload.data(), payload.size(), 0,
                                reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (sent != static_cast<ssize_t>(payload.size())) throw systemError("sendto");
}

}  // namespace testing_support
