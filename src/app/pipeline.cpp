// The datagram pipeline: decode one datagram and write its rows; the receive loop; capture
// conversion.
#include "app/pipeline.h"

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

bool handleDatagram(std::string_view datagram, Status* status, CompactCSV& writer) {
    compact::FrameView frame;
    if (!frame.parse(datagram.data(), datagram.size())) {
        if (status != nullptr) status->parseErrorOccured(parseErrorKind(frame.error()));
        return false;
    }
    if (status != nullptr) status->telegramReceived(frame.telegramCounter());
    writer.process(frame);
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long rows may wait in the writer's buffer while the run goes on.
constexpr auto flushInterval = std::chrono::seconds(1);
// How long the writing thread waits for a datagram before it looks at the clock and the stop flag.
constexpr auto queueWait = std::chrono::milliseconds(200);

// Keeps the output in step with the run: buffered rows reach the file at least once a second,
// and the output path is checked every check period.
class OutputKeeper {
  public:
    OutputKeeper(CompactCSV& csv, compact::FileSink* sink, Status* line, unsigned int checkMs)
        : writer(csv),
          output(sink),
          status(line),
          checkPeriod(std::chrono::milliseconds(checkMs)) {}

    // False, with end.error set, when the output failed.
    bool keep(RunEnd& end) {
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

  private:
    void check(RunEnd& end) {
        // The rows buffered so far belong to the file they were meant for, if it still exists.
        writer.flush();
        switch (output->checkPath()) {
            case compact::FileSink::PathState::Same:
                return;
            case compact::FileSink::PathState::Recreated:
                ++end.outputRecreated;
                writer.forgetHeader();
                if (status != nullptr) status->endLine();
                std::cerr << "Output file " << output->path() << " was removed or replaced; "
                          << "writing on in a new file under its name" << std::endl;
                return;
            case compact::FileSink::PathState::Failed:
                end.error = "Failed to open file for writing: " + output->path() + ": " +
                            output->errorText();
                return;
        }
    }

    CompactCSV& writer;
    compact::FileSink* output;
    Status* status;
    const Clock::duration checkPeriod;
    Clock::time_point lastFlush = Clock::now();
    Clock::time_point lastCheck = Clock::now();
};

}  // namespace

RunEnd receiveUntilStopped(Socket& socket, Status* status, CompactCSV& writer,
                           const LiveSettings& settings) {
    RunEnd end;
    OutputKeeper keeper(writer, settings.output, status, settings.checkPeriodMs);
    DatagramQueue queue(settings.queueBytes);
    ReceiveThread receiver(socket, queue);
    bool stopping = false;
    while (true) {
        if (!stopping && SigINT::instance().isInterrupted()) {
            stopping = true;
            receiver.stop(true);
        }
        if (status != nullptr) status->print(false);
        if (const std::optional<DatagramQueue::Item> item = queue.pop(queueWait)) {
            handleDatagram(std::string_view(reinterpret_cast<const char*>(item->bytes.data()),
                                            item->bytes.size()),
                           status, writer);
        } else if (queue.finished()) {
            break;
        }
        if (!keeper.keep(end)) break;
    }
    receiver.stop(false);
    end.queueDrops = queue.dropped();
    end.receiveErrors = receiver.receiveErrors();
    return end;
}

RunEnd convertCapture(compact::PcapReader& reader, Status& status, bool showStatus,
                      CompactCSV& writer, compact::FileSink* output) {
    RunEnd end;
    OutputKeeper keeper(writer, output, showStatus ? &status : nullptr, 5000);
    while (!SigINT::instance().isInterrupted()) {
        if (showStatus) status.print(false);
        const std::optional<compact::UdpDatagram> datagram = reader.next();
        if (!datagram) break;
        const std::span<const uint8_t> payload = datagram->payload;
        handleDatagram(
            std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()),
            &status, writer);
        if (!keeper.keep(end)) break;
    }
    return end;
}
