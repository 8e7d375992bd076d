// The UDP sender and the capture file behind the simulator's Output interface.
#include "compact_sim/outputs.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "net/udp.h"

namespace compact::sim {

namespace {

// Source address and port written into a capture when --source is not given: the loopback
// address (also the first sender's with --vary address), and the first port of the dynamic range
// (RFC 6335), where systems pick senders' ports.
constexpr const char* defaultCaptureSource = "127.0.0.1";
constexpr uint16_t captureSourcePort = 49152;

// The IPv4 address of a host name or dotted address; throws std::runtime_error when it cannot
// be resolved. `what` names the option in the message.
sockaddr_in resolve(const std::string& host, int port, const std::string& what) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0)
        throw std::runtime_error("Failed to resolve " + what + " " + host + ":" +
                                 gai_strerror(status));
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    return address;
}

// The senders' source addresses: with Vary::address one per sender, the source (by default the
// loopback address) counting up, each a loopback address so that every sender's socket can bind
// to it; else the one source, or none when there is neither a source nor a `fallback` (the system
// picks then).
std::vector<sockaddr_in> sourceAddresses(const Destination& destination, const Senders& senders,
                                         const char* fallback) {
    std::string first = destination.source;
    if (first.empty() && senders.vary == Vary::address) first = defaultCaptureSource;
    if (first.empty() && fallback != nullptr) first = fallback;
    if (first.empty()) return {};
    const sockaddr_in base = resolve(first, 0, "source");
    if (senders.vary == Vary::id) return {base};
    std::vector<sockaddr_in> sources(senders.count, base);
    for (uint32_t i = 0; i < senders.count; ++i) {
        const uint32_t address = ntohl(base.sin_addr.s_addr) + i;
        // 127.0.0.0/8: the loopback network (RFC 1122).
        if (address >> 24 != 127)
            throw std::runtime_error("--vary address: source " + formatIpv4Address(address) +
                                     " of sender " + std::to_string(i + 1) +
                                     " is not a loopback address (127.0.0.0/8)");
        sources[i].sin_addr.s_addr = htonl(address);
    }
    return sources;
}

// Multicast for one socket: looped back to this host's receivers, a TTL of 1 (the local network
// only), and the outgoing interface when one was named (its index; 0: the routing table's).
void setUpMulticast(int fd, const Destination& destination, unsigned interfaceIndex) {
    const int on = 1, ttl = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
        throw std::runtime_error("Failed to set up multicast to " + destination.host + ":" +
                                 std::strerror(errno));
    if (interfaceIndex == 0) return;
    ip_mreqn request{};
    request.imr_ifindex = static_cast<int>(interfaceIndex);
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) != 0)
        throw std::runtime_error("--interface " + destination.interface + ":" +
                                 std::strerror(errno));
}

// pcap keeps microseconds; starting on a whole one keeps every frame's offset exact.
uint64_t wallClockMicroseconds() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

Sender::Sender(const Destination& destination, const Senders& senders)
    : address(
          resolve(destination.host, destination.port, destination.multicast ? "group" : "host")),
      label(destination.host + ":" + std::to_string(destination.port)) {
    const std::vector<sockaddr_in> sources = sourceAddresses(destination, senders, nullptr);
    unsigned interfaceIndex = 0;
    if (!destination.interface.empty()) {
        interfaceIndex = if_nametoindex(destination.interface.c_str());
        if (interfaceIndex == 0)
            throw std::runtime_error("--interface " + destination.interface +
                                     ": no such interface");
    }
    // The destructor does not run for a constructor that throws: close the sockets here.
    try {
        for (size_t i = 0; i < std::max<size_t>(sources.size(), 1); ++i) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            if (fd == -1)
                throw std::runtime_error(std::string("Failed to create socket:") +
                                         std::strerror(errno));
            fds.push_back(fd);
            // A subnet's broadcast address is a destination like any other.
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
            if (destination.multicast) setUpMulticast(fd, destination, interfaceIndex);
            if (!sources.empty() &&
                bind(fd, reinterpret_cast<const sockaddr*>(&sources[i]), sizeof sources[i]) != 0)
                throw std::runtime_error("Failed to bind to source " +
                                         formatIpv4Address(ntohl(sources[i].sin_addr.s_addr)) +
                                         ":" + std::strerror(errno));
        }
    } catch (...) {
        for (int fd : fds) close(fd);
        throw;
    }
}

Sender::~Sender() {
    for (int fd : fds) close(fd);
}

bool Sender::write(const std::string& bytes, uint64_t, uint32_t sender) {
    const int fd = fds[sender % fds.size()];
    ssize_t sent = 0;
    // The stop signal's handler is installed without SA_RESTART, so a send blocked on a full
    // socket buffer returns EINTR when the signal arrives; the datagram is then sent again, and
    // the run loop stops after it.
    do {
        sent = sendto(fd, bytes.data(), bytes.size(), 0,
                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(bytes.size())) return true;
    const int error = sent < 0 ? errno : EMSGSIZE;
    if (error != lastError)
        std::cerr << "Failed to send to " << label << ":" << std::strerror(error) << '\n';
    lastError = error;
    return false;
}

CaptureFile::CaptureFile(const std::string& path, const PcapWriterOptions& options,
                         const Destination& destination, const Senders& senders, double nominalRate)
    : sources(sourceAddresses(destination, senders, defaultCaptureSource)),
      target(resolve(destination.host, destination.port, destination.multicast ? "group" : "host")),
      periodNs(1e9 / (nominalRate * senders.count)),
      startNs(wallClockMicroseconds() * 1000),
      dropping(options.dropOneIn != 0),
      writer(std::make_unique<PcapWriter>(path, options)) {}

bool CaptureFile::write(const std::string& bytes, uint64_t slot, uint32_t sender) {
    UdpDatagram datagram;
    datagram.sourceAddress = ntohl(sources[sender % sources.size()].sin_addr.s_addr);
    datagram.destinationAddress = ntohl(target.sin_addr.s_addr);
    datagram.sourcePort = captureSourcePort;
    datagram.destinationPort = ntohs(target.sin_port);
    datagram.payload = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    datagram.receiveTimeNs = startNs + static_cast<uint64_t>(std::llround(slot * periodNs));
    writer->write(datagram);  // cannot throw: every frame fits one datagram
    return true;
}

bool CaptureFile::finish() {
    try {
        writer->close();
        return true;
    } catch (const CaptureError& error) {
        std::cerr << "Failed to write capture " << error.what() << '\n';
        return false;
    }
}

std::string CaptureFile::delivered() const {
    return "written in " + std::to_string(writer->recordsWritten()) + " capture records";
}

std::string CaptureFile::notes() const {
    if (!dropping) return {};
    return "; " + std::to_string(writer->fragmentsDropped()) + " datagrams lack a fragment";
}

std::unique_ptr<Output> openOutput(const Options& options) {
    if (options.pcapOut.empty())
        return std::make_unique<Sender>(options.destination, options.senders);
    return std::make_unique<CaptureFile>(options.pcapOut, options.capture, options.destination,
                                         options.senders, options.limits.nominalRate());
}

}  // namespace compact::sim
