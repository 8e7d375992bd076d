// Fuzz target: a capture file in memory (pcap or pcapng) through the capture reader, IPv4
// reassembly and UDP parsing, and every datagram it yields through the decoder and CSV writer;
// then the same bytes through the Python module's reader loop (PointReader), whose counts must be
// the same.
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/point_reader.h"
#include "fuzz_support.h"
#include "io/pcap_reader.h"

namespace {

struct Counts {
    uint64_t datagrams = 0;
    uint64_t accepted = 0;
    uint64_t refused = 0;
};

// Reads the capture with the points' reader loop, keeping no more than one datagram's points,
// and checks its counts against those of the CSV path.
void checkPointReader(const uint8_t* data, size_t size, const Counts& csv) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    try {
        PointReader reader(file, {}, {});
        compact::PointColumns points;
        while (reader.next(points)) {
            points.visit([&](const char*, const auto& column) {
                if (column.size() != points.size())
                    fuzzing::finding("point columns differ in length");
            });
            points.clear();
        }
        if (reader.capture().stats().delivered != csv.datagrams ||
            reader.status().telegramsReceived() != csv.accepted ||
            reader.status().parseErrors() != csv.refused) {
            fuzzing::finding("the points' reader counts differently from the CSV path");
        }
    } catch (const compact::CaptureError&) {
        if (csv.datagrams != 0)
            fuzzing::finding("the points' reader refuses a capture the CSV path read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A read-only stream over the input itself: no copy, no temporary file. The reader owns it
    // from here on (it is closed even when opening fails).
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");

    fuzzing::CsvCheckSink check;
    CompactCSV writer(CompactCSV::Options{}, check);
    uint64_t datagrams = 0;
    Counts counts;
    try {
        compact::PcapReader reader(file);
        while (auto datagram = reader.next()) {
            ++datagrams;
            const auto& payload = datagram->payload;
            const bool accepted = fuzzing::decodeAndWrite(
                std::string(reinterpret_cast<const char*>(payload.data()), payload.size()), writer);
            ++(accepted ? counts.accepted : counts.refused);
        }
        const compact::CaptureStats& stats = reader.stats();
        if (stats.delivered != datagrams) fuzzing::finding("delivered count differs");
        if (stats.delivered + stats.filteredOut > stats.udpDatagrams) {
            fuzzing::finding("more datagrams delivered or filtered than seen");
        }
        if (reader.reassembly().fragmentsReassembled > reader.reassembly().fragments) {
            fuzzing::finding("more fragments reassembled than received");
        }
        counts.datagrams = datagrams;
    } catch (const compact::CaptureError&) {
        // Not a capture file, or one libpcap cannot open: refused before any record is read.
    }
    checkPointReader(data, size, counts);
    if (!writer.finish()) fuzzing::finding("writer reports a failed stream that cannot fail");
    check.finish();
    return 0;
}
