// The UDP sender and the capture file behind the simulator's Output interface.
#include "compact_sim/outputs.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace compact::sim {

namespace {

// Source address and port written into a capture when --source is not given: the loopback
// address, and the first port of the dynamic range (RFC 6335), where systems pick senders' ports.
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

// pcap keeps microseconds; starting on a whole one keeps every frame's offset exact.
uint64_t wallClockMicroseconds() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

Sender::Sender(const Destination& destination)
    : address(resolve(destination.host, destination.port, "host")),
      label(destination.host + ":" + std::to_string(destination.port)) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1)
        throw std::runtime_error(std::string("Failed to create socket:") + std::strerror(errno));
    if (!destination.source.empty()) {
        // The destructor does not run for a constructor that throws: close the socket here.
        try {
            const sockaddr_in local = resolve(destination.source, 0, "source");
            if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
                throw std::runtime_error("Failed to bind to source " + destination.source + ":" +
                                         std::strerror(errno));
        } catch (...) {
            close(fd);
            throw;
        }
    }
}

Sender::~Sender() { close(fd); }

bool Sender::write(const std::string& bytes, uint64_t) {
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
                         const Destination& destination, double nominalRate)
    : source(resolve(destination.source.empty() ? defaultCaptureSource : destination.source, 0,
                     "source")),
      target(resolve(destination.host, destination.port, "host")),
      periodNs(1e9 / nominalRate),
      startNs(wallClockMicroseconds() * 1000),
      dropping(options.dropOneIn != 0),
      writer(std::make_unique<PcapWriter>(path, options)) {}

bool CaptureFile::write(const std::string& bytes, uint64_t slot) {
    UdpDatagram datagram;
    datagram.sourceAddress = ntohl(source.sin_addr.s_addr);
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
    if (options.pcapOut.empty()) return std::make_unique<Sender>(options.destination);
    return std::make_unique<CaptureFile>(options.pcapOut, options.capture, options.destination,
                                         options.limits.nominalRate());
}

}  // namespace compact::sim
