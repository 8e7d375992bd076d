// What a stream of telegrams holds, for --describe: who sends, which module shapes arrive, the
// angles and time stamps of every line index, what the filters of the run select, and the parse
// errors. Collected in bounded memory, reported as text for a terminal that can be compared with
// diff.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "csv/compact_csv.h"
#include "io/status.h"

namespace compact {
class FrameView;
class ModuleView;
}  // namespace compact

// Collects what the accepted and refused datagrams of one run hold and reports it.
//
// A sender is a source address with the sender_id of the first module of its telegrams (a
// telegram without modules has none). Rates and segment-counter runs are followed per sender (the
// telegram counters are the run's loss account's, given to the report); shapes and line indices are
// counted over all senders. At most maxSenders senders, maxShapes shapes, maxLines line indices (0
// .. maxLines - 1) and maxRefusingSources source addresses of refused datagrams are tracked,
// whatever arrives; what falls beyond them is counted and the report says how much was left out.
// The filters' selection comes from CompactCSV::selection(), so the report says what a CSV run with
// the same filters writes.
class StreamDescription {
  public:
    static constexpr size_t maxSenders = 32;
    static constexpr size_t maxShapes = 32;
    static constexpr size_t maxLines = 512;
    static constexpr size_t maxRefusingSources = 32;

    // `filters`: the settings of the run (csvFile and the header options are not used).
    explicit StreamDescription(const CompactCSV::Options& filters);
    ~StreamDescription();
    StreamDescription(const StreamDescription&) = delete;
    StreamDescription& operator=(const StreamDescription&) = delete;

    // One accepted datagram: `frame` parsed successfully from it, `sourceAddress` in host byte
    // order, `receivedNs` the time it arrived in nanoseconds on any clock that does not go back
    // within the run (the steady clock live, the capture time in a capture).
    void add(const compact::FrameView& frame, uint32_t sourceAddress, uint64_t receivedNs);

    // One datagram that could not be decoded.
    void refused(ParseErrorKind kind, uint32_t sourceAddress);

    // What this host dropped, told apart from the senders' loss: live, by the kernel (senders
    // unknown) and by the queue (counted with their senders); in a capture, datagrams whose
    // fragments did not all arrive.
    struct HostDrops {
        uint64_t kernel = 0;
        uint64_t queue = 0;
        uint64_t incomplete = 0;
    };
    // The report, lines ending with '\n'. The senders' telegram counters come from `losses`, the
    // run's loss account; the rest depends only on what was added, in its order.
    std::string report(const LossTracker& losses, const HostDrops& drops) const;

    // Smallest and largest of the values added; empty until the first.
    template <typename T>
    struct Span {
        T lo = std::numeric_limits<T>::max();
        T hi = std::numeric_limits<T>::lowest();
        bool empty() const { return lo > hi; }
        void add(T value) {
            if (value < lo) lo = value;
            if (value > hi) hi = value;
        }
    };

  private:
    // No sender_id: a telegram without modules.
    static constexpr int64_t noSenderId = -1;

    struct Sender {
        uint64_t telegrams = 0;
        uint64_t modules = 0;
        uint32_t versions = 0;  // bit v set: telegram version v seen
        Span<uint64_t> received;
        Span<uint64_t> timestampStart;
        Span<uint64_t> timestampStop;
        Span<int64_t> moduleSpacing;  // timestamp_start of line 0, module to module
        uint64_t lastLine0Start = 0;
        bool hasLine0Start = false;
        Span<uint64_t> segments;
        uint64_t lastSegment = 0;
        uint64_t segmentWraps = 0;  // segment counters lower than the sender's previous one
    };
    // lines, beams, echoes, presence flag bytes (echoes, beams), version, scaling factor bits.
    using ShapeKey = std::tuple<uint32_t, uint32_t, uint32_t, uint8_t, uint8_t, uint32_t, uint32_t>;
    struct Shape {
        uint64_t modules = 0;
        float scalingFactor = 0;
        Span<uint64_t> segments;
        uint64_t segmentWraps = 0;
    };
    struct Line {
        uint64_t modules = 0;
        Span<float> phi;         // radians
        Span<float> thetaStart;  // radians
        Span<float> thetaStop;   // radians
        Span<float> thetaSpan;   // radians, theta_stop - theta_start in one module
        Span<int64_t> afterLine0;
        Span<int64_t> sweep;
        uint64_t selected = 0;  // modules in which the filters select the line
        uint64_t noBeams = 0;   // of those, modules whose row has no beam columns
        uint64_t noEchoes = 0;  // of those, modules whose row has no echo columns
        Span<int> beamFirst, beamLast, echoFirst, echoLast;
    };

    void addModule(const compact::ModuleView& module, Sender* sender);
    std::string filterText() const;
    std::string senderSection(const LossTracker& losses) const;
    std::string shapeSection() const;
    std::string lineSection() const;
    std::string refusalSection() const;

    CompactCSV::Options options;
    std::unique_ptr<compact::CsvSink> discard;
    std::unique_ptr<CompactCSV> selector;  // for selection() only; writes nothing
    std::map<std::pair<uint32_t, int64_t>, Sender> senders;
    std::map<ShapeKey, Shape> shapes;
    std::vector<Line> lines;
    std::map<uint32_t, uint64_t> refusedBySource;
    uint64_t accepted = 0;
    uint64_t refusedTotal = 0;
    uint64_t refusedByKind[parseErrorKindCount] = {};
    uint64_t telegramsLeftOut = 0;
    uint64_t modulesLeftOut = 0;
    uint64_t mostLines = 0;
    uint64_t nonFiniteAngles = 0;
    uint64_t refusalsLeftOut = 0;
};
