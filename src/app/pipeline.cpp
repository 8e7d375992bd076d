// The datagram pipeline: decode one datagram and write its rows; the receive loop; capture
// conversion.
#include "app/pipeline.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/datagram_queue.h"
#include "app/describe.h"
#include "app/receive_thread.h"
#include "app/stop_signal.h"
#include "csv/output_file.h"
#include "format/frame_view.h"
#include "io/pcap_reader.h"
#include "io/socket_cross_platform.h"
#include "io/status.h"

ParseErrorKind parseErrorKind(const compact::FrameError& error) {
    using Kind = compact::FrameError::Kind;
    switch (error.kind) {
        case Kind::WrongMagic:
            return ParseErrorKind::WrongMagic;
        case Kind::VersionBelow:
        case Kind::VersionAbove:
            return ParseErrorKind::UnsupportedVersion;
        case Kind::EndOfData:
        case Kind::CountBeyondData:
            return ParseErrorKind::Truncated;
        case Kind::TooManyObjects:
            return ParseErrorKind::ObjectCap;
    }
    return ParseErrorKind::Other;
}

bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer,
                    uint32_t sourceAddress) {
    compact::FrameView frame;
    if (!frame.parse(datagram.data(), datagram.size())) {
        if (status != nullptr) status->parseErrorOccurred(parseErrorKind(frame.error()));
        return false;
    }
    if (status != nullptr) {
        const uint32_t senderId = frame.moduleCount() != 0 ? frame.begin()->senderId() : 0;
        status->telegramReceived(sourceAddress, senderId, frame.telegramCounter());
    }
    writer.process(frame);
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long rows may wait in the writer's buffer while the run goes on.
constexpr auto flushInterval = std::chrono::seconds(1);
// How long the writing thread waits for a datagram before it looks at the clock and the stop flag.
constexpr auto queueWait = std::chrono::milliseconds(200);

std::string_view text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

uint64_t steadyNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

}  // namespace

CsvRun::CsvRun(CompactCSV& csv, Status& counts, compact::FileSink* sink, Status* statusLine,
               unsigned int checkPeriodMs)
    : writer(csv),
      status(counts),
      output(sink),
      line(statusLine),
      checkPeriod(std::chrono::milliseconds(checkPeriodMs)),
      lastFlush(Clock::now()),
      lastCheck(Clock::now()) {}

void CsvRun::handle(std::span<const uint8_t> bytes, uint32_t sourceAddress, uint64_t) {
    const uint64_t rowsBefore = writer.rowsSelected();
    if (!handleDatagram(text(bytes), &status, writer, sourceAddress)) return;
    // Only a run that writes nothing needs to say what its frames held.
    if (rowsBefore == 0 && writer.rowsSelected() == 0) {
        compact::FrameView frame;
        frame.parse(bytes);
        for (const compact::ModuleView& module : frame) frames.add(module);
    }
}

bool CsvRun::keep(RunEnd& end) {
    const auto now = Clock::now();
    if (writer.hasBufferedRows() && now - lastFlush >= flushInterval) {
        writer.flush();
        lastFlush = now;
    }
    if (output != nullptr && now - lastCheck >= checkPeriod) {
        lastCheck = now;
        check(end);
    }
    if (!end.error.empty()) return false;
    if (writer.failed()) {
        end.readerGone = output != nullptr && output->errorNumber() == EPIPE;
        if (!end.readerGone) end.error = "Failed to write output:" + writer.errorText();
        return false;
    }
    return true;
}

void CsvRun::check(RunEnd& end) {
    // The rows buffered so far belong to the file they were meant for, if it still exists.
    writer.flush();
    switch (output->checkPath()) {
        case compact::FileSink::PathState::Same:
            return;
        case compact::FileSink::PathState::Recreated:
            ++end.outputRecreated;
            writer.forgetHeader();
            if (line != nullptr) line->endLine();
            std::cerr << "Output file " << output->path() << " was removed or replaced; "
                      << "writing on in a new file under its name" << std::endl;
            return;
        case compact::FileSink::PathState::Failed:
            end.error =
                "Failed to open file for writing: " + output->path() + ": " + output->errorText();
            return;
    }
}

DescribeRun::DescribeRun(StreamDescription& stream, Status& counts)
    : description(stream), status(counts) {}

void DescribeRun::handle(std::span<const uint8_t> bytes, uint32_t sourceAddress,
                         uint64_t receivedNs) {
    compact::FrameView frame;
    if (!frame.parse(bytes)) {
        const ParseErrorKind kind = parseErrorKind(frame.error());
        status.parseErrorOccurred(kind);
        description.refused(kind, sourceAddress);
        return;
    }
    const uint32_t senderId = frame.moduleCount() != 0 ? frame.begin()->senderId() : 0;
    status.telegramReceived(sourceAddress, senderId, frame.telegramCounter());
    description.add(frame, sourceAddress, receivedNs);
}

RunEnd receiveUntilStopped(Socket& socket, Status* line, DatagramHandler& handler,
                           size_t queueBytes) {
    RunEnd end;
    const auto start = Clock::now();
    DatagramQueue queue(queueBytes);
    ReceiveThread receiver(socket, queue);
    uint64_t kernelDrops = 0;
    // The kernel's count of datagrams dropped on the socket, as it last showed; it only grows.
    auto hostDrops = [&] {
        if (const auto dropped = socket.droppedDatagrams())
            kernelDrops = std::max(kernelDrops, *dropped);
        return kernelDrops + queue.dropped();
    };
    bool stopping = false;
    while (true) {
        if (!stopping && SigINT::instance().isInterrupted()) {
            stopping = true;
            receiver.stop(true);
        }
        if (line != nullptr && line->isDue()) {
            line->setHostDrops(hostDrops());
            line->print(false);
        }
        if (const std::optional<DatagramQueue::Item> item = queue.pop(queueWait)) {
            if (item->meta.hasKernelDrops)
                kernelDrops = std::max<uint64_t>(kernelDrops, item->meta.kernelDrops);
            handler.handle(item->bytes, item->meta.sourceAddress, steadyNs());
        } else if (queue.finished()) {
            break;
        }
        if (!handler.keep(end)) break;
    }
    receiver.stop(false);
    // Drops after the last datagram received count too.
    end.hostDrops = hostDrops();
    end.duration = Clock::now() - start;
    return end;
}

RunEnd convertCapture(compact::PcapReader& reader, Status* line, DatagramHandler& handler) {
    RunEnd end;
    const auto start = Clock::now();
    while (!SigINT::instance().isInterrupted()) {
        if (line != nullptr) line->print(false);
        const std::optional<compact::UdpDatagram> datagram = reader.next();
        if (!datagram) break;
        handler.handle(datagram->payload, datagram->sourceAddress, datagram->receiveTimeNs);
        if (!handler.keep(end)) break;
    }
    end.duration = Clock::now() - start;
    return end;
}
