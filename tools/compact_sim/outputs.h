// Where the simulator's datagrams go: a UDP socket, in real time, or a capture file, in simulated
// time.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compact_sim/options.h"
#include "io/pcap_writer.h"

namespace compact::sim {

class Output {
  public:
    virtual ~Output() = default;
    // True when datagrams leave at once and the run is paced by the clock.
    virtual bool realTime() const = 0;
    // Delivers one datagram of sender `sender` (from 0) in time slot `slot` (from 0; the senders
    // take turns, so slot = telegram index * senders + sender). A failure is reported on standard
    // error unless it repeats the previous one; returns false then.
    virtual bool write(const std::string& bytes, uint64_t slot, uint32_t sender) = 0;
    // Ends the output; false (with a message) when data could not be written.
    virtual bool finish() { return true; }
    // How the summary line says where the datagrams went ("sent", ...), and what it adds at its
    // end (empty, or "; ..." starting with the separator).
    virtual std::string delivered() const = 0;
    virtual std::string notes() const { return {}; }
};

// IPv4 UDP sockets with the destination address they send to: one, or one per sender bound to
// its own source address (Vary::address).
class Sender : public Output {
  public:
    // Throws std::runtime_error when the host or a source cannot be resolved, a source is not a
    // loopback address with Vary::address, the interface does not exist, or a socket cannot be
    // created, set up or bound.
    Sender(const Destination& destination, const Senders& senders);
    ~Sender() override;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool realTime() const override { return true; }
    bool write(const std::string& bytes, uint64_t slot, uint32_t sender) override;
    std::string delivered() const override { return "sent"; }

  private:
    std::vector<int> fds;
    sockaddr_in address{};
    std::string label;
    int lastError = 0;
};

// A pcap file receiving the datagrams as IPv4 packets in Ethernet frames, time-stamped one slot
// (the nominal frame period divided by the number of senders) apart from the wall-clock time at
// the start.
class CaptureFile : public Output {
  public:
    // Throws std::runtime_error when an address cannot be resolved or a source is not a loopback
    // address with Vary::address, compact::CaptureError when the file cannot be created.
    CaptureFile(const std::string& path, const PcapWriterOptions& options,
                const Destination& destination, const Senders& senders, double nominalRate);

    bool realTime() const override { return false; }
    bool write(const std::string& bytes, uint64_t slot, uint32_t sender) override;
    bool finish() override;
    std::string delivered() const override;
    std::string notes() const override;

  private:
    std::vector<sockaddr_in> sources;  // one, or one per sender
    sockaddr_in target;
    double periodNs;
    uint64_t startNs;
    bool dropping;  // --drop-fragment is on: the summary counts the datagrams left incomplete
    std::unique_ptr<PcapWriter> writer;
};

// The output the options ask for: a capture file with --pcap-out, else a UDP sender.
std::unique_ptr<Output> openOutput(const Options& options);

}  // namespace compact::sim
