// The datagram pipeline: decode one datagram and write its rows; the receive loop; capture
// conversion.
#include "app/pipeline.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/stop_signal.h"
#include "format/frame_view.h"
#include "io/pcap_reader.h"
#include "io/socket_cross_platform.h"
#include "io/status.h"

namespace {

// Receive buffer size: the largest value of the IPv4 total-length field, so every UDP payload fits
// and no datagram is ever cut short.
constexpr size_t receiveBufferBytes = 65535;

}  // namespace

bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer) {
    compact::FrameView frame;
    if (!frame.parse(datagram.data(), datagram.size())) {
        if (status != nullptr) status->parseErrorOccured();
        return false;
    }
    if (status != nullptr) status->telegramReceived(frame.telegramCounter());
    writer.process(frame);
    return true;
}

bool receiveUntilStopped(Socket& socket, Status* status, CompactCSV& writer) {
    std::vector<char> buffer(receiveBufferBytes);
    while (!SigINT::instance().isInterrupted()) {
        if (status != nullptr) status->print(false);
        const ssize_t size = socket.receive(buffer.data(), buffer.size());
        if (size < 0) continue;  // time-out, signal or receive error: check the flag again
        handleDatagram(std::string_view(buffer.data(), static_cast<size_t>(size)), status, writer);
        if (writer.failed()) return false;
    }
    return true;
}

ConversionEnd convertCapture(compact::PcapReader& reader, Status& status, bool showStatus,
                             CompactCSV& writer) {
    ConversionEnd end;
    while (!SigINT::instance().isInterrupted()) {
        if (showStatus) {
            const auto wall = std::chrono::floor<std::chrono::seconds>(
                std::chrono::system_clock::now().time_since_epoch());
            end.statusLineShown |= status.print(false, Status::SteadyClock::now(),
                                                static_cast<std::time_t>(wall.count()), std::cout);
        }
        const std::optional<compact::UdpDatagram> datagram = reader.next();
        if (!datagram) break;
        const std::span<const uint8_t> payload = datagram->payload;
        handleDatagram(
            std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()),
            &status, writer);
        if (writer.failed()) {
            end.outputFailed = true;
            break;
        }
    }
    return end;
}
