// Fuzz target: one datagram through the receiver's own path, as a live run takes it: the
// pipeline decodes it once with the frame view and counts it for its sender, and the CSV run
// hands an accepted frame to the writer, here writing into a sink that checks every row. The
// writer's options come from the input's leading bytes (datagram_options.h). For an accepted
// frame the writer's selection of every module must name exactly the rows written, within the
// module's extents. No object tree: fuzz_differential holds the view to it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/pipeline.h"
#include "csv/points.h"
#include "datagram_options.h"
#include "format/frame_view.h"
#include "fuzz_support.h"
#include "io/status.h"
#include "net/udp.h"

namespace {

// An inclusive range that is empty, or lies within 0..count-1.
bool emptyOrWithin(int first, int last, uint32_t count) {
    return first > last || (first >= 0 && static_cast<int64_t>(last) < int64_t{count});
}

// The rows selection() names for the modules of an accepted frame, each checked against its
// module; none for a refused one.
uint64_t selectedRows(const CompactCSV& writer, const compact::FrameView& frame, bool accepted) {
    if (!accepted) return 0;
    uint64_t rows = 0;
    std::vector<CompactCSV::Selection> selected;
    for (const compact::ModuleView& module : frame) {
        const uint32_t echoes = module.beams() > 0 && module.lines() > 0 ? module.echoes() : 0;
        int previousLine = -1;
        writer.selection(module, selected);
        for (const CompactCSV::Selection& s : selected) {
            if (s.line <= previousLine || !emptyOrWithin(s.line, s.line, module.lines()) ||
                !emptyOrWithin(s.beamFirst, s.beamLast, module.beams()) ||
                !emptyOrWithin(s.echoFirst, s.echoLast, echoes)) {
                fuzzing::finding("selection beyond the module or out of order");
            }
            previousLine = s.line;
            ++rows;
        }
    }
    return rows;
}

// The CSV run's work on a datagram, into the checking sink instead of a file.
struct Rows : DatagramHandler {
    explicit Rows(CompactCSV& csv) : writer(csv) {}
    void handle(const Decoded& datagram) override {
        if (datagram.frame != nullptr)
            writer.process(*datagram.frame, datagram.datagram.receiveTimeNs);
    }
    CompactCSV& writer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DatagramOptionBytes optionBytes{};
    const size_t optionSize = std::min(size, fuzzing::datagramOptionBytes);
    std::copy_n(data, optionSize, optionBytes.begin());
    compact::UdpDatagram datagram;
    datagram.sourceAddress = 0xC0A80001;  // 192.168.0.1
    datagram.payload = {data + optionSize, size - optionSize};
    datagram.receiveTimeNs = 1;

    fuzzing::CsvCheckSink check;
    const CompactCSV::Options options = fuzzing::datagramOptions(optionBytes);
    CompactCSV writer(options, check);
    Status status("", 1000);
    Pipeline pipeline(status);
    Rows rows(writer);
    pipeline.add(rows);
    pipeline.handle(datagram);

    compact::FrameView frame;
    const bool accepted = frame.parse(datagram.payload);
    if (status.telegramsReceived() + status.parseErrors() != 1 ||
        status.telegramsReceived() != (accepted ? 1u : 0u)) {
        fuzzing::finding("datagram not counted once, as what it was");
    }
    // Rows are the selection's lines, or with points the selection's echoes with a return.
    uint64_t expected = selectedRows(writer, frame, accepted);
    if (options.points) {
        CompactCSV::Options lines = options;
        lines.points = false;
        compact::PointMaker maker(lines);
        expected = accepted ? maker.count(frame) : 0;
    }
    if (expected != writer.rowsSelected()) fuzzing::finding("selection and written rows differ");
    if (!writer.finish()) fuzzing::finding("writer reports a failed sink that cannot fail");
    check.finish();
    if (check.rows() != writer.rowsWritten() || writer.rowsWritten() != writer.rowsSelected())
        fuzzing::finding("rows selected, written and received differ");
    return 0;
}
