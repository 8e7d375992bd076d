// The points of a live stream.
#include "app/point_listener.h"

#include <algorithm>
#include <chrono>

#include "app/outputs.h"
#include "app/receive_thread.h"

namespace {

// The status line is never printed; its period only has to be valid.
constexpr unsigned int unusedStatusPeriodMs = 1000;

}  // namespace

void PointListener::Collector::handle(const Decoded& datagram) {
    if (datagram.frame != nullptr && out != nullptr) maker.add(*datagram.frame, *out);
}

PointListener::PointListener(const SocketOptions& options, const CompactCSV::Options& filters,
                             size_t queueBytes)
    : counts("", unusedStatusPeriodMs), collector(filters), pipeline(counts), queue(queueBytes) {
    SocketSetup setup = Socket::open(options);
    if (!setup.socket) throw SetupError(setup.error);
    socket = std::move(setup.socket);
    setupWarnings = std::move(setup.warnings);
    pipeline.add(collector);
    pipeline.start(0);
    thread = std::make_unique<ReceiveThread>(*socket, queue);
}

PointListener::~PointListener() { thread.reset(); }

bool PointListener::next(compact::PointColumns& out, int timeoutMs) {
    const std::optional<DatagramQueue::Item> item =
        queue.pop(std::chrono::milliseconds(std::max(timeoutMs, 0)));
    if (!item) return false;
    if (item->dropped) {
        pipeline.dropped(*item->dropped);
        return true;
    }
    const DatagramMeta& meta = item->meta;
    collector.out = &out;
    pipeline.handle({meta.sourceAddress, meta.destinationAddress, meta.sourcePort, socket->port(),
                     item->bytes, meta.receiveTimeNs});
    collector.out = nullptr;
    return true;
}

uint64_t PointListener::hostDrops() const {
    return socket->droppedDatagrams().value_or(0) + queue.dropped();
}
