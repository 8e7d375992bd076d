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
#include "io/pcap_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the writing thread waits for a datagram before it looks at the clock and the stop flag.
constexpr auto queueWait = std::chrono::milliseconds(200);
// How often the list of sockets on the port is read for another receiver.
constexpr auto shareCheckInterval = std::chrono::seconds(1);

}  // namespace

void Pipeline::start(uint64_t startNs) {
    started = true;
    const Segment first = rotating != nullptr ? rotating->first(startNs) : Segment{};
    for (DatagramHandler* handler : handlers) handler->startSegment(first, rotationEnd);
}

void Pipeline::handle(const compact::UdpDatagram& datagram) {
    if (done) return;
    if (!started) {
        start(datagram.receiveTimeNs);
    } else if (rotating != nullptr && rotationEnd.error.empty()) {
        uint64_t largest = 0;
        for (const DatagramHandler* handler : handlers)
            largest = std::max(largest, handler->segmentBytes());
        if (const std::optional<Segment> next = rotating->next(datagram.receiveTimeNs, largest)) {
            for (DatagramHandler* handler : handlers)
                if (!handler->startSegment(*next, rotationEnd)) break;
        } else if (rotating->exhausted()) {
            done = true;
            return;
        }
    }
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

void Pipeline::dropped(const DropNote& note) {
    if (note.telegram)
        counts.telegramDropped(note.sourceAddress, note.senderId, note.telegramCounter,
                               note.receiveTimeNs);
}

bool Pipeline::keep(RunEnd& end) {
    if (!rotationEnd.error.empty()) {
        if (end.error.empty()) end.error = rotationEnd.error;
        return false;
    }
    bool going = true;
    for (DatagramHandler* handler : handlers) going = handler->keep(end) && going;
    return going && !done;
}

bool Pipeline::finish(RunEnd& end) {
    bool finished = true;
    for (DatagramHandler* handler : handlers) finished = handler->finish(end) && finished;
    return finished;
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
    // Other receivers on the port take datagrams meant for this one: one appearing during the run
    // is said at once, and the telegrams missed meanwhile are told apart from the sensor's loss.
    const int othersAtStart = socket.otherReceivers().value_or(0);
    int othersSeen = othersAtStart;
    auto lastShareCheck = Clock::now();
    pipeline.status().setPortShared(othersAtStart > 0);
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
        if (Clock::now() - lastShareCheck >= shareCheckInterval) {
            lastShareCheck = Clock::now();
            const int others = socket.otherReceivers().value_or(othersSeen);
            if (others > othersSeen) {
                if (line != nullptr) line->endLine();
                std::cerr << "Another program started receiving on UDP port " << socket.port()
                          << ": the telegrams it takes are missing here from now on" << std::endl;
                end.portShared = true;
            }
            othersSeen = others;
            pipeline.status().setPortShared(others > 0);
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
