// Points in space from the echoes of Compact frames.
#include "csv/points.h"

#include <cmath>
#include <string>
#include <string_view>

#include "csv/csv_sink.h"
#include "format/compact_wire.h"
#include "format/frame_view.h"

namespace compact {

namespace {

// Takes the selector's text and drops it: the selector never writes a row.
class DiscardSink : public CsvSink {
  public:
    bool write(std::string_view /*text*/, bool /*endsRow*/) override { return true; }
    std::string errorText() const override { return ""; }
};

// The scaled distance as the tree decoder's echo_t::distance() computes it: version 4 multiplies
// in single precision, as the sender does; version 3 carries no factor.
double scaledDistance(uint16_t raw, bool scaled, float factor) {
    const float value = static_cast<float>(raw);
    return static_cast<double>(scaled ? value * factor : value);
}

}  // namespace

PointMaker::PointMaker(const CompactCSV::Options& filters)
    : discard(std::make_unique<DiscardSink>()), selector(filters, *discard) {}

PointMaker::~PointMaker() = default;

void PointMaker::add(const FrameView& frame, PointColumns& out) {
    for (const ModuleView& module : frame) {
        if (!module.hasDistance()) continue;  // without distances no echo is a return
        selector.selection(module, rows);
        const bool scaled = module.hasScalingFactor();
        const float factor = module.distanceScalingFactor();
        const bool hasTheta = module.hasTheta();
        const bool hasRssi = module.hasRssi();
        const bool hasProperties = module.hasProperties();
        const auto beamCount = static_cast<double>(module.beams());
        for (const CompactCSV::Selection& row : rows) {
            const auto line = static_cast<uint32_t>(row.line);
            const double phi = module.phi(line);
            const double cosPhi = std::cos(phi);
            const double sinPhi = std::sin(phi);
            const double thetaStart = module.thetaStart(line);
            const double thetaStop = module.thetaStop(line);
            const uint64_t timestamp = module.timestampStart(line);
            for (int b = row.beamFirst; b <= row.beamLast; ++b) {
                const auto beam = static_cast<uint32_t>(b);
                const double theta = hasTheta
                                         ? (module.thetaRaw(beam, line) - wire::thetaRawZero) /
                                               wire::thetaRawPerRadian
                                         : thetaStart + b * (thetaStop - thetaStart) / beamCount;
                const double cosTheta = std::cos(theta);
                const double sinTheta = std::sin(theta);
                const int16_t properties =
                    hasProperties ? module.properties(beam, line) : PointColumns::absentProperties;
                for (int e = row.echoFirst; e <= row.echoLast; ++e) {
                    const auto echo = static_cast<uint32_t>(e);
                    const uint16_t raw = module.distance(beam, line, echo);
                    if (raw == 0) continue;  // no return
                    const double distance = scaledDistance(raw, scaled, factor);
                    const double horizontal = distance * cosPhi;
                    out.senderId.push_back(module.senderId());
                    out.frameNumber.push_back(module.frameNumber());
                    out.segmentCounter.push_back(module.segmentCounter());
                    out.line.push_back(row.line);
                    out.beam.push_back(b);
                    out.echo.push_back(e);
                    out.timestampStart.push_back(timestamp);
                    out.phi.push_back(phi);
                    out.theta.push_back(theta);
                    out.distance.push_back(distance);
                    out.rssi.push_back(hasRssi ? module.rssi(beam, line, echo)
                                               : PointColumns::absentRssi);
                    out.properties.push_back(properties);
                    out.x.push_back(horizontal * cosTheta);
                    out.y.push_back(horizontal * sinTheta);
                    out.z.push_back(distance * sinPhi);
                }
            }
        }
    }
}

size_t PointMaker::count(const FrameView& frame) {
    size_t points = 0;
    for (const ModuleView& module : frame) {
        if (!module.hasDistance()) continue;
        selector.selection(module, rows);
        for (const CompactCSV::Selection& row : rows) {
            const auto line = static_cast<uint32_t>(row.line);
            for (int b = row.beamFirst; b <= row.beamLast; ++b) {
                for (int e = row.echoFirst; e <= row.echoLast; ++e) {
                    const auto beam = static_cast<uint32_t>(b);
                    points += module.distance(beam, line, static_cast<uint32_t>(e)) != 0;
                }
            }
        }
    }
    return points;
}

}  // namespace compact
