// Fuzz target: a capture file in memory (pcap or pcapng) through the capture reader, IPv4
// reassembly and UDP parsing, and every datagram it yields through the decoder and CSV writer.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "io/pcap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A read-only stream over the input itself: no copy, no temporary file. The reader owns it
    // from here on (it is closed even when opening fails).
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");

    fuzzing::CsvCheckSink check;
    CompactCSV writer(CompactCSV::Options{}, check);
    uint64_t datagrams = 0;
    try {
        compact::PcapReader reader(file);
        while (auto datagram = reader.next()) {
            ++datagrams;
            const auto& payload = datagram->payload;
            fuzzing::decodeAndWrite(
                std::string(reinterpret_cast<const char*>(payload.data()), payload.size()), writer);
        }
        const compact::CaptureStats& stats = reader.stats();
        if (stats.delivered != datagrams) fuzzing::finding("delivered count differs");
        if (stats.delivered + stats.filteredOut > stats.udpDatagrams) {
            fuzzing::finding("more datagrams delivered or filtered than seen");
        }
        if (reader.reassembly().fragmentsReassembled > reader.reassembly().fragments) {
            fuzzing::finding("more fragments reassembled than received");
        }
    } catch (const compact::CaptureError&) {
        // Not a capture file, or one libpcap cannot open: refused before any record is read.
    }
    if (!writer.finish()) fuzzing::finding("writer reports a failed stream that cannot fail");
    check.finish();
    return 0;
}
