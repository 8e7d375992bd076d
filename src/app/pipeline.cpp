// The datagram pipeline: decode once, count, hand to every handler; the receive loop; capture
// conversion.
#include "app/pipeline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>

#include "app/datagram_queue.h"
#include "app/describe.h"
#include "app/receive_thread.h"
#include "app/stop_signal.h"
#include "format/frame_view.h"
#include "io/linux_udp_socket.h"
#include "io/output_file.h"
#include "io/pcap_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long rows may wait in the writer's buffer while the run goes on, and how often the output
// path is compared with the open file.
constexpr auto flushInterval = std::chrono::seconds(1);
// How long the writing thread waits for a datagram before it looks at the clock and the stop flag.
constexpr auto queueWait = std::chrono::milliseconds(200);

}  // namespace

void Pipeline::handle(const compact::UdpDatagram& datagram) {
    compact::FrameView frame;
    if (!frame.parse(datagram.payload)) {
        const ParseErrorKind kind = parseErrorKind(frame.error());
        counts.parseErrorOccurred(kind);
        for (DatagramHandler* handler : handlers) handler->handle({datagram, nullptr, kind});
        return;
    }
    const uint32_t senderId = frame.moduleCount() != 0 ? frame.begin()->senderId() : 0;
    counts.telegramReceived(datagram.sourceAddress, senderId, frame.telegramCounter(),
                            datagram.receiveTimeNs);
    for (DatagramHandler* handler : handlers)
        handler->handle({datagram, &frame, ParseErrorKind::Other});
}

void Pipeline::dropped(const DropNote& note) { (void)note; }

bool Pipeline::keep(RunEnd& end) {
    bool going = true;
    for (DatagramHandler* handler : handlers) going = handler->keep(end) && going;
    return going;
}

bool OutputSink::write(std::string_view text, bool endsRow) { return file.write(text, endsRow); }
bool OutputSink::close() { return file.close(); }
std::string OutputSink::errorText() const { return file.errorText(); }

CsvRun::CsvRun(CompactCSV& csv, compact::OutputFile* file, Status* statusLine)
    : writer(csv), output(file), line(statusLine), lastFlush(Clock::now()) {}

void CsvRun::handle(const Decoded& datagram) {
    if (datagram.frame == nullptr) return;
    const uint64_t rowsBefore = writer.rowsSelected();
    writer.process(*datagram.frame);
    // Only a run that writes nothing needs to say what its frames held.
    if (rowsBefore == 0 && writer.rowsSelected() == 0)
        for (const compact::ModuleView& module : *datagram.frame) frames.add(module);
}

uint64_t CsvRun::rowsLost() const { return output != nullptr ? output->recordsLost() : 0; }
uint64_t CsvRun::rowsKept() const { return writer.rowsWritten() - rowsLost(); }

bool CsvRun::keep(RunEnd& end) {
    const auto now = Clock::now();
    if (now - lastFlush >= flushInterval) {
        lastFlush = now;
        writer.flush();
        if (output != nullptr && !writer.failed()) check(end);
    }
    if (output != nullptr && output->emptied() > emptiedSaid) {
        emptiedSaid = output->emptied();
        if (line != nullptr) line->endLine();
        std::cerr << "Output file " << output->path()
                  << " was emptied by another program; writing on from its start, header first"
                  << std::endl;
    }
    if (!end.error.empty()) return false;
    if (writer.failed()) {
        // A reader that took nothing after the stop: the account says how many rows it missed.
        if (output != nullptr && output->readerStalled()) return false;
        end.readerGone = output != nullptr && output->errorNumber() == EPIPE;
        if (!end.readerGone) end.error = "Failed to write output:" + writer.errorText();
        return false;
    }
    return true;
}

void CsvRun::check(RunEnd& end) {
    using State = compact::OutputFile::PathState;
    const State state = output->checkPath(writer.rowsWritten());
    std::string message;
    switch (state) {
        case State::Same:
            return;
        case State::Recreated:
            message = "Output file " + output->path() +
                      " was removed; writing on in a new file under its name, from the rows of "
                      "the last second";
            break;
        case State::Renamed:
            message = "Output file " + output->path() +
                      " was renamed; writing on in a new file under its name";
            break;
        case State::Replaced:
            if (std::exchange(replacedSaid, true)) return;
            message = "Output file " + output->path() +
                      " was replaced by another file; writing on to the file this run opened";
            break;
        case State::Unchecked:
            if (std::exchange(uncheckedSaid, true)) return;
            message = "Cannot check output file " + output->path() + ":" +
                      std::strerror(output->checkError()) + "; writing on to the open file";
            break;
        case State::Failed:
            end.error =
                "Failed to open file for writing: " + output->path() + ": " + output->errorText();
            return;
    }
    if (line != nullptr) line->endLine();
    std::cerr << message << std::endl;
    if (state == State::Recreated || state == State::Renamed) writer.forgetHeader();
}

void DescribeRun::handle(const Decoded& datagram) {
    if (datagram.frame == nullptr)
        description.refused(datagram.refusal, datagram.datagram.sourceAddress);
    else
        description.add(*datagram.frame, datagram.datagram.sourceAddress,
                        datagram.datagram.receiveTimeNs);
}

RunEnd receiveUntilStopped(Socket& socket, Status* line, Pipeline& pipeline, size_t queueBytes) {
    RunEnd end;
    const auto start = Clock::now();
    DatagramQueue queue(queueBytes);
    ReceiveThread receiver(socket, queue);
    // The kernel's count of datagrams dropped on the socket, as it last showed; it only grows.
    auto hostDrops = [&] {
        if (const auto dropped = socket.droppedDatagrams())
            end.kernelDrops = std::max(end.kernelDrops, *dropped);
        end.queueDrops = queue.dropped();
        return end.hostDrops();
    };
    SigINT& stop = SigINT::instance();
    bool stopping = false;
    while (true) {
        if (!stopping && stop.isInterrupted()) {
            stopping = true;
            receiver.stop(true);
        }
        if (stop.stopRequests() >= 2) break;  // a second stop signal: at once
        if (line != nullptr && line->isDue()) {
            line->setHostDrops(hostDrops());
            line->print(false);
        }
        if (receiver.receiveErrors() != 0 && end.receiveErrors == 0) {
            if (line != nullptr) line->endLine();
            std::cerr << "Receive failed:" << std::strerror(receiver.lastReceiveError())
                      << "; retrying" << std::endl;
            end.receiveErrors = receiver.receiveErrors();
        }
        if (const std::optional<DatagramQueue::Item> item = queue.pop(queueWait)) {
            if (item->dropped) {
                pipeline.dropped(*item->dropped);
            } else {
                if (item->meta.hasKernelDrops)
                    end.kernelDrops = std::max<uint64_t>(end.kernelDrops, item->meta.kernelDrops);
                const DatagramMeta& meta = item->meta;
                pipeline.handle({meta.sourceAddress, meta.destinationAddress, meta.sourcePort,
                                 socket.port(), item->bytes, meta.receiveTimeNs});
            }
        } else if (queue.finished()) {
            break;
        }
        if (!pipeline.keep(end)) break;
    }
    receiver.stop(false);
    // Whatever a second stop signal left in the queue is not written.
    while (const std::optional<DatagramQueue::Item> item = queue.pop(std::chrono::milliseconds(0)))
        if (!item->dropped) ++end.leftInQueue;
    // Drops after the last datagram received count too.
    hostDrops();
    end.receiveErrors = receiver.receiveErrors();
    end.receiveError = receiver.lastReceiveError();
    end.untimed = receiver.untimedDatagrams();
    end.duration = Clock::now() - start;
    return end;
}

RunEnd convertCapture(compact::PcapReader& reader, Status* line, Pipeline& pipeline) {
    RunEnd end;
    const auto start = Clock::now();
    while (!SigINT::instance().isInterrupted()) {
        if (line != nullptr) line->print(false);
        const std::optional<compact::UdpDatagram> datagram = reader.next();
        if (!datagram) break;
        pipeline.handle(*datagram);
        if (!pipeline.keep(end)) break;
    }
    end.duration = Clock::now() - start;
    return end;
}
