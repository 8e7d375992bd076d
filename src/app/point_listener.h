// The points of a live stream, datagram by datagram: the receiver's socket, receiving thread and
// queue, its pipeline (decoding and counting) and the points of each frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/datagram_queue.h"
#include "app/pipeline.h"
#include "csv/points.h"
#include "io/linux_udp_socket.h"
#include "io/status.h"

class ReceiveThread;

class PointListener {
  public:
    // Opens the socket and starts receiving. Throws SetupError with the socket's message.
    PointListener(const SocketOptions& socket, const CompactCSV::Options& filters,
                  size_t queueBytes);
    ~PointListener();
    PointListener(const PointListener&) = delete;
    PointListener& operator=(const PointListener&) = delete;

    // Waits up to `timeoutMs` for the next datagram and handles it as the receiver does (decoded,
    // counted); true with the points of a frame appended to `out` (none for a datagram the format
    // refuses or a frame without selected echoes), false after the time-out.
    bool next(compact::PointColumns& out, int timeoutMs);

    const Status& status() const { return counts; }
    // What the socket's set-up warned about (a capped receive buffer, a shared port).
    const std::vector<std::string>& warnings() const { return setupWarnings; }
    // Datagrams this host dropped: the kernel's (buffer full) and the queue's.
    uint64_t hostDrops() const;

  private:
    class Collector : public DatagramHandler {
      public:
        explicit Collector(const CompactCSV::Options& filters) : maker(filters) {}
        void handle(const Decoded& datagram) override;
        compact::PointMaker maker;
        compact::PointColumns* out = nullptr;
    };

    std::unique_ptr<Socket> socket;
    std::vector<std::string> setupWarnings;
    Status counts;
    Collector collector;
    Pipeline pipeline;
    DatagramQueue queue;
    std::unique_ptr<ReceiveThread> thread;  // last: stopped first
};
