// Encoder of Compact frames from a plain description: the decoder's counterpart.
#include "generators/compact_frame_builder.h"

#include <bit>
#include <cmath>
#include <utility>

#include "format/compact_wire.h"

namespace compact {

namespace {

using wire::beamHasProperties;
using wire::beamHasTheta;
using wire::echoHasDistance;
using wire::echoHasRssi;

// Appends little-endian values to a byte string.
class LittleEndianWriter {
  public:
    explicit LittleEndianWriter(std::string& out) : m_out(out) {}

    void u1(uint8_t v) { m_out.push_back(static_cast<char>(v)); }
    void u2(uint16_t v) { put(v, 2); }
    void u4(uint32_t v) { put(v, 4); }
    void u8(uint64_t v) { put(v, 8); }
    void f4(float v) { put(std::bit_cast<uint32_t>(v), 4); }

  private:
    void put(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            m_out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    }

    std::string& m_out;
};

}  // namespace

std::string encodeModule(const ModuleSpec& module, uint32_t telegramVersion,
                         uint32_t nextModuleSize) {
    const bool version4Layout = wire::hasScalingFactor(telegramVersion);
    std::string out;
    LittleEndianWriter w(out);
    w.u8(module.segmentCounter);
    w.u8(module.frameNumber);
    w.u4(module.senderId);
    w.u4(module.numLines);
    w.u4(module.numBeams);
    w.u4(module.numEchos);
    for (uint64_t v : module.timestampStart) w.u8(v);
    for (uint64_t v : module.timestampStop) w.u8(v);
    for (float v : module.phi) w.f4(v);
    for (float v : module.thetaStart) w.f4(v);
    for (float v : module.thetaStop) w.f4(v);
    if (version4Layout) {
        w.f4(module.distanceScalingFactor);
    }
    w.u4(module.nextModuleSize.value_or(nextModuleSize));
    w.u1(module.metadataByte13);
    w.u1(module.dataContentEchos);
    w.u1(module.dataContentBeams);
    w.u1(module.metadataByte16);

    const bool distance = (module.dataContentEchos & echoHasDistance) != 0;
    const bool rssi = (module.dataContentEchos & echoHasRssi) != 0;
    const bool theta = (module.dataContentBeams & beamHasTheta) != 0;
    const bool properties = (module.dataContentBeams & beamHasProperties) != 0;
    for (const MeasurementSpec& m : module.measurements) {
        for (const EchoSpec& e : m.echos) {
            if (distance) w.u2(e.distance);
            if (rssi) w.u2(e.rssi);
        }
        if (theta && !version4Layout) w.u2(m.theta);
        if (properties) w.u1(m.properties);
        if (theta && version4Layout) w.u2(m.theta);
    }
    return out;
}

std::string encodeFrame(const FrameSpec& frame) {
    // A module's size does not depend on the value of its next_module_size field, so the sizes
    // are known before the modules are encoded with their links.
    std::vector<uint32_t> sizes;
    sizes.reserve(frame.modules.size());
    for (const ModuleSpec& module : frame.modules) {
        sizes.push_back(static_cast<uint32_t>(encodeModule(module, frame.telegramVersion).size()));
    }

    std::string out;
    LittleEndianWriter w(out);
    for (uint8_t b : frame.magic) w.u1(b);
    w.u4(frame.headerWord0);
    w.u8(frame.telegramCounter);
    w.u8(frame.headerWord2);
    w.u4(frame.telegramVersion);
    w.u4(frame.firstModuleSize.value_or(sizes.empty() ? 0 : sizes.front()));
    for (size_t i = 0; i < frame.modules.size(); ++i) {
        const uint32_t next = i + 1 < sizes.size() ? sizes[i + 1] : 0;
        out += encodeModule(frame.modules[i], frame.telegramVersion, next);
    }
    w.u4(frame.trailerWord);
    return out;
}

ModuleSpec makeModule(uint32_t lines, uint32_t beams, uint32_t echoes) {
    // Plausible geometry: lines 1.5 degrees apart in phi around 0, every line's beams spread
    // over -45..+45 degrees of theta; time stamps in microseconds, one line every 100.
    constexpr double degree = wire::radiansPerDegree;
    constexpr double lineSpacing = 1.5 * degree;
    constexpr float thetaStart = static_cast<float>(-45.0 * degree);
    constexpr float thetaStop = static_cast<float>(45.0 * degree);
    constexpr uint64_t firstTimestamp = 1'000'000;
    constexpr uint64_t lineDuration = 100;
    constexpr uint64_t lineActive = 80;
    // Echo values: offsets keep them non-zero and apart from each other; 65535 is the range of
    // the 16-bit fields (the sequences repeat only after that many echoes).
    constexpr uint64_t distanceBase = 1000;
    constexpr uint64_t rssiBase = 300;
    constexpr uint64_t rssiStride = 7;  // coprime with 65535
    constexpr uint64_t range16 = 65535;

    ModuleSpec m;
    m.frameNumber = 1;
    m.senderId = 1;
    m.numLines = lines;
    m.numBeams = beams;
    m.numEchos = echoes;
    for (uint32_t l = 0; l < lines; ++l) {
        const double centred = static_cast<double>(l) - (static_cast<double>(lines) - 1.0) / 2.0;
        m.timestampStart.push_back(firstTimestamp + l * lineDuration);
        m.timestampStop.push_back(firstTimestamp + l * lineDuration + lineActive);
        m.phi.push_back(static_cast<float>(centred * lineSpacing));
        m.thetaStart.push_back(thetaStart);
        m.thetaStop.push_back(thetaStop);
    }
    const double thetaStep = beams == 0 ? 0.0 : (double{thetaStop} - thetaStart) / beams;
    m.measurements.reserve(static_cast<size_t>(lines) * beams);
    for (uint32_t b = 0; b < beams; ++b) {
        const double beamTheta = thetaStart + b * thetaStep;
        const long beamRaw = std::lround(wire::thetaRawZero + beamTheta * wire::thetaRawPerRadian);
        for (uint32_t l = 0; l < lines; ++l) {
            const uint64_t index = static_cast<uint64_t>(b) * lines + l;
            MeasurementSpec ms;
            ms.properties = static_cast<uint8_t>(1 + index % 255);
            // A small per-line offset keeps the lines of one beam apart.
            ms.theta = static_cast<uint16_t>(beamRaw + l);
            for (uint32_t e = 0; e < echoes; ++e) {
                const uint64_t k = index * echoes + e;
                ms.echos.push_back(
                    EchoSpec{static_cast<uint16_t>(1 + (distanceBase + k) % range16),
                             static_cast<uint16_t>(1 + (rssiBase + rssiStride * k) % range16)});
            }
            m.measurements.push_back(std::move(ms));
        }
    }
    return m;
}

ModuleSpec countsOnlyModule(uint32_t lines, uint32_t beams, uint32_t echoes, uint8_t flags) {
    ModuleSpec m;
    m.numLines = lines;
    m.numBeams = beams;
    m.numEchos = echoes;
    m.dataContentEchos = m.dataContentBeams = flags;
    if (lines == 1) {
        m.timestampStart = m.timestampStop = {1};
        m.phi = m.thetaStart = m.thetaStop = {0.0f};
    }
    return m;
}

}  // namespace compact
