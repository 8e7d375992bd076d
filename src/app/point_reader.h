// Reading the points of a capture file: the capture reader, the frame view, the points and the
// receiver's counters in one loop, shared by the Python module and the command line.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "csv/compact_csv.h"
#include "csv/points.h"
#include "format/frame_view.h"
#include "io/pcap_reader.h"
#include "io/status.h"

// The options of a points read as the command line's texts: each is given to the receiver's
// command line as --NAME=TEXT, unset ones not at all (see PointOptions).
struct PointArguments {
    std::string port = "2115";
    std::optional<std::string> address, segment, beam, theta, line, phi, echo;
    std::string phiTolerance = "1.0";    // degrees
    std::vector<std::string> multicast;  // groups to join, for a live stream
    std::optional<std::string> interfaceName;
};

// What a points read selects: the writer's filters and the capture's port and address filter.
struct PointOptions {
    CompactCSV::Options filters;
    compact::UdpFilter capture;
    std::vector<uint32_t> groups;  // for a live stream: --multicast, host byte order
    std::string interfaceName;     // --interface
};

// The options from their texts, parsed and checked by the receiver's command line itself
// (parseArguments, processArguments, checkedPort, checkedAddress), so that the conversions, the
// refusals and their texts are the command line's. Throws UsageError with its message: "Failed to
// process arguments: --beam 5-9: expected one integer or two integers separated by a colon, e.g.
// 3 or 0:6", "Parameters --line and --phi are mutually exclusive", "Port must be between 1 and
// 65535: --port 0", ...
PointOptions pointOptions(const PointArguments& arguments);

// What a read met, in the counters of the receiver and the capture reader.
struct PointSummary {
    uint64_t points = 0;
    uint64_t telegrams = 0;      // datagrams decoded as frames
    uint64_t lost = 0;           // gaps in the senders' telegram counters
    uint64_t counterResets = 0;  // senders counting anew (see LossTracker)
    uint64_t parseErrors = 0;    // datagrams refused by the decoder
    std::array<uint64_t, parseErrorKindCount> parseErrorsByKind{};  // by ParseErrorKind
    compact::CaptureStats capture{};                                // records, datagrams, filter
    compact::ReassemblyStats reassembly{};
    std::string readError;            // libpcap's text of the error that ended the file, or ""
    bool readErrorBeforeEnd = false;  // that error left records unread (see PcapReader)
};

// The receiver's counters of `status` in a summary of `points` points (the capture's fields
// empty).
PointSummary pointSummary(const Status& status, uint64_t points);

// Reads a capture file datagram by datagram and makes the points of each one that passes the
// capture filter, with the receiver's counters (telegrams, lost, parse errors by kind) in
// `status()`. A datagram the decoder refuses gives no points and counts as a parse error of its
// kind, as in a conversion by the command line.
class PointReader {
  public:
    // Opens the capture at `path` (see PcapReader). Throws compact::CaptureError.
    PointReader(const std::string& path, const CompactCSV::Options& filters,
                const compact::UdpFilter& capture);
    // Reads from an open stream, which it takes in every case (see PcapReader).
    PointReader(FILE* file, const CompactCSV::Options& filters, const compact::UdpFilter& capture);

    // Appends the points of the next datagram that passes the capture filter to `out`; false at
    // the end of the capture (or at a read error, see PcapReader::readError()).
    bool next(compact::PointColumns& out);
    // Reads the next datagram as next() does, but only counts its points: the number, or nullopt
    // at the end of the capture.
    std::optional<size_t> countNext();

    const Status& status() const { return counts; }
    const compact::PcapReader& capture() const { return *reader; }
    PointSummary summary(uint64_t points) const;

  private:
    // The next frame that passes the filter and decodes, counted; nullptr at the end.
    const compact::FrameView* nextFrame();

    std::unique_ptr<compact::PcapReader> reader;
    compact::PointMaker maker;
    Status counts;
    compact::FrameView frame;
};

// The points of a capture file in columns of exactly their size: a regular file is read twice,
// once to count the points and once to fill the columns, so that memory holds the result and
// little more; anything else (a pipe) is read once into growing columns. `summary` receives the
// counts of the (last) reading. Throws compact::CaptureError when the capture cannot be opened.
compact::PointColumns readPoints(const std::string& path, const CompactCSV::Options& filters,
                                 const compact::UdpFilter& capture, PointSummary& summary);
