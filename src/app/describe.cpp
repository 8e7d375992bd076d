// The description of a stream of telegrams: collecting per sender, shape and line, and the report.
#include "app/describe.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

#include "app/summary.h"
#include "format/compact_wire.h"
#include "format/frame_view.h"
#include "net/udp.h"

namespace {

// Takes the writer's text and drops it: the describing writer only selects.
class DiscardSink : public compact::CsvSink {
  public:
    bool write(std::string_view /*text*/, bool /*endsRow*/) override { return true; }
    std::string errorText() const override { return ""; }
};

}  // namespace

StreamDescription::StreamDescription(const CompactCSV::Options& filters)
    : options(filters),
      discard(std::make_unique<DiscardSink>()),
      selector(std::make_unique<CompactCSV>(filters, *discard)) {}

StreamDescription::~StreamDescription() = default;

void StreamDescription::add(const compact::FrameView& frame, uint32_t sourceAddress,
                            uint64_t receivedNs) {
    ++accepted;
    const auto first = frame.begin();
    const int64_t senderId = first == frame.end() ? noSenderId : int64_t{first->senderId()};
    const std::pair key{sourceAddress, senderId};
    auto found = senders.find(key);
    if (found == senders.end() && senders.size() < maxSenders)
        found = senders.emplace(key, Sender{}).first;
    Sender* sender = found == senders.end() ? nullptr : &found->second;

    if (sender == nullptr) {
        ++telegramsLeftOut;
    } else {
        ++sender->telegrams;
        if (frame.telegramVersion() < 32)
            sender->versions |= uint32_t{1} << frame.telegramVersion();
        sender->received.add(receivedNs);
    }
    for (const compact::ModuleView& module : frame) addModule(module, sender);
}

void StreamDescription::addModule(const compact::ModuleView& module, Sender* sender) {
    const uint32_t lineCount = module.lines();
    const uint64_t segment = module.segmentCounter();

    bool wentBack = false;
    if (sender != nullptr) {
        wentBack = sender->modules != 0 && segment < sender->lastSegment;
        if (wentBack) ++sender->segmentWraps;
        sender->lastSegment = segment;
        sender->segments.add(segment);
        ++sender->modules;
        for (uint32_t l = 0; l < lineCount; ++l) {
            sender->timestampStart.add(module.timestampStart(l));
            sender->timestampStop.add(module.timestampStop(l));
        }
        if (lineCount > 0) {
            const uint64_t start = module.timestampStart(0);
            if (sender->hasLine0Start)
                sender->moduleSpacing.add(static_cast<int64_t>(start - sender->lastLine0Start));
            sender->lastLine0Start = start;
            sender->hasLine0Start = true;
        }
    }

    const float factor = module.distanceScalingFactor();
    const ShapeKey shapeKey{lineCount,
                            module.beams(),
                            module.echoes(),
                            module.dataContentEchos(),
                            module.dataContentBeams(),
                            module.hasScalingFactor() ? 4u : 3u,
                            std::bit_cast<uint32_t>(factor)};
    auto shape = shapes.find(shapeKey);
    if (shape == shapes.end() && shapes.size() < maxShapes)
        shape = shapes.emplace(shapeKey, Shape{}).first;
    if (shape == shapes.end()) {
        ++modulesLeftOut;
    } else {
        ++shape->second.modules;
        shape->second.scalingFactor = factor;
        shape->second.segments.add(segment);
        if (wentBack) ++shape->second.segmentWraps;
    }

    mostLines = std::max<uint64_t>(mostLines, lineCount);
    const uint32_t tracked = static_cast<uint32_t>(std::min<size_t>(lineCount, maxLines));
    if (lines.size() < tracked) lines.resize(tracked);
    auto addAngle = [this](Span<float>& span, float radians) {
        if (std::isfinite(radians))
            span.add(radians);
        else
            ++nonFiniteAngles;
    };
    for (uint32_t l = 0; l < tracked; ++l) {
        Line& line = lines[l];
        ++line.modules;
        addAngle(line.phi, module.phi(l));
        addAngle(line.thetaStart, module.thetaStart(l));
        addAngle(line.thetaStop, module.thetaStop(l));
        addAngle(line.thetaSpan, module.thetaStop(l) - module.thetaStart(l));
        line.afterLine0.add(
            static_cast<int64_t>(module.timestampStart(l) - module.timestampStart(0)));
        line.sweep.add(static_cast<int64_t>(module.timestampStop(l) - module.timestampStart(l)));
    }
    std::vector<CompactCSV::Selection> rows;
    selector->selection(module, rows);
    for (const CompactCSV::Selection& row : rows) {
        if (row.line < 0 || static_cast<size_t>(row.line) >= tracked) continue;
        Line& line = lines[static_cast<size_t>(row.line)];
        ++line.selected;
        if (row.beamFirst > row.beamLast) {
            ++line.noBeams;
        } else {
            line.beamFirst.add(row.beamFirst);
            line.beamLast.add(row.beamLast);
        }
        if (row.echoFirst > row.echoLast) {
            ++line.noEchoes;
        } else {
            line.echoFirst.add(row.echoFirst);
            line.echoLast.add(row.echoLast);
        }
    }
}

void StreamDescription::refused(ParseErrorKind kind, uint32_t sourceAddress) {
    ++refusedTotal;
    const auto index = static_cast<size_t>(kind);
    ++refusedByKind[index < parseErrorKindCount ? index
                                                : static_cast<size_t>(ParseErrorKind::Other)];
    auto found = refusedBySource.find(sourceAddress);
    if (found == refusedBySource.end() && refusedBySource.size() < maxRefusingSources)
        found = refusedBySource.emplace(sourceAddress, 0).first;
    if (found == refusedBySource.end())
        ++refusalsLeftOut;
    else
        ++found->second;
}
