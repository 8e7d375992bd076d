// Synthetic scans: geometry, scene, counters and fault injection of simulated Compact frames.
#include "generators/synthetic_scan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "format/compact_wire.h"

namespace compact {
namespace {

using wire::thetaRawPerRadian;
using wire::thetaRawZero;

// Second return from the wall behind the box: a quarter of that wall's full return.
constexpr int partialReturnDivisor = 4;

// Return strength: full scale times reflectivity times the cosine of the incidence angle, falling
// off with the square of range; the 4 m knee keeps near returns below saturation.
constexpr double rssiFullScale = 60000.0;
constexpr double rssiKneeM = 4.0;
constexpr double reflectivityBox = 0.9;
constexpr double reflectivityWall = 0.6;
constexpr double reflectivityCeiling = 0.5;
constexpr double reflectivityFloor = 0.3;

constexpr double mmPerM = 1000.0;

struct Hit {
    double rangeM = std::numeric_limits<double>::infinity();
    int axis = 0;  // the axis the surface is normal to
};

uint16_t returnStrength(double rangeM, double reflectivity, double cosIncidence) {
    const double knee = rangeM / rssiKneeM;
    const double value = rssiFullScale * reflectivity * cosIncidence / (1.0 + knee * knee);
    return static_cast<uint16_t>(std::clamp(std::lround(value), 1L, 65535L));
}

// Where a ray from the origin leaves the room (the origin lies inside it).
Hit roomExit(const std::array<double, 3>& dir) {
    Hit hit;
    for (int a = 0; a < 3; ++a) {
        if (dir[a] == 0.0) continue;
        const double bound = dir[a] > 0 ? sceneRoom.max[a] : sceneRoom.min[a];
        const double t = bound / dir[a];
        if (t < hit.rangeM) hit = {t, a};
    }
    return hit;
}

// Where a ray from the origin enters the box (slab method); rangeM is infinite on a miss.
Hit boxEntry(const std::array<double, 3>& dir) {
    Hit entry{-std::numeric_limits<double>::infinity(), 0};
    double exit = std::numeric_limits<double>::infinity();
    for (int a = 0; a < 3; ++a) {
        if (dir[a] == 0.0) {
            if (sceneBox.min[a] > 0.0 || sceneBox.max[a] < 0.0) return {};
            continue;
        }
        double near = sceneBox.min[a] / dir[a];
        double far = sceneBox.max[a] / dir[a];
        if (near > far) std::swap(near, far);
        if (near > entry.rangeM) entry = {near, a};
        exit = std::min(exit, far);
    }
    if (entry.rangeM > exit || entry.rangeM <= 0.0) return {};
    return entry;
}

double roomReflectivity(const Hit& hit, const std::array<double, 3>& dir) {
    if (hit.axis != 2) return reflectivityWall;
    return dir[2] > 0 ? reflectivityCeiling : reflectivityFloor;
}

uint16_t rawDistance(double rangeMm, double mmPerStep) {
    return static_cast<uint16_t>(std::clamp(std::llround(rangeMm / mmPerStep), 0LL, 65535LL));
}

// The counts and flags of every module of a scan.
wire::ModuleShape moduleShape(const ScanSettings& s) {
    return {s.lines, s.beams, s.echoes,
            static_cast<uint8_t>((s.hasRssi ? wire::echoHasRssi : 0) |
                                 (s.hasDistance ? wire::echoHasDistance : 0)),
            static_cast<uint8_t>((s.hasTheta ? wire::beamHasTheta : 0) |
                                 (s.hasProperties ? wire::beamHasProperties : 0))};
}

void require(bool condition, const std::string& message) {
    if (!condition) throw std::invalid_argument(message);
}

void requireRange(uint64_t value, uint64_t lo, uint64_t hi, const char* name) {
    require(value >= lo && value <= hi, std::string(name) + " must be " + std::to_string(lo) +
                                            ".." + std::to_string(hi) + ", not " +
                                            std::to_string(value));
}

}  // namespace

std::vector<SceneEcho> traceScene(double thetaRad, double phiRad) {
    const std::array<double, 3> dir{std::cos(phiRad) * std::cos(thetaRad),
                                    std::cos(phiRad) * std::sin(thetaRad), std::sin(phiRad)};
    const Hit wall = roomExit(dir);
    const SceneEcho wallEcho{
        wall.rangeM * mmPerM,
        returnStrength(wall.rangeM, roomReflectivity(wall, dir), std::abs(dir[wall.axis])), false};
    const Hit box = boxEntry(dir);
    if (!std::isfinite(box.rangeM)) return {wallEcho};

    const SceneEcho boxEcho{box.rangeM * mmPerM,
                            returnStrength(box.rangeM, reflectivityBox, std::abs(dir[box.axis])),
                            true};
    const auto behind = static_cast<uint16_t>(std::max(1, wallEcho.rssi / partialReturnDivisor));
    return {boxEcho, {wallEcho.rangeMm, behind, false}};
}

SyntheticScan::SyntheticScan(const ScanSettings& settings) : config(settings) {
    requireRange(config.lines, 1, 65535, "lines");
    requireRange(config.beams, 1, 65535, "beams");
    requireRange(config.echoes, 0, 255, "echoes");
    requireRange(config.modulesPerFrame, 1, 255, "modules per frame");
    requireRange(config.telegramVersion, wire::minTelegramVersion, wire::maxTelegramVersion,
                 "telegram version");
    requireRange(config.segmentsPerRotation, 1, 65535, "segments per rotation");
    require(config.verticalFovDeg >= 0 && config.verticalFovDeg <= 180,
            "vertical field of view must be 0..180 degrees");
    require(std::isfinite(config.segmentDurationUs) && config.segmentDurationUs > 0,
            "segment duration must be positive");
    require(std::isfinite(config.distanceScalingFactor) && config.distanceScalingFactor > 0,
            "distance scaling factor must be positive");
    require(config.skipEvery != 1, "skip-every must be 0 (never) or at least 2");

    const uint64_t objects =
        wire::addSat(wire::frameObjectsBeforeModules,
                     wire::mulSat(config.modulesPerFrame, moduleShape(config).objects()));
    require(objects <= wire::maxObjectsPerDatagram,
            "a frame of this shape holds " + std::to_string(objects) +
                " objects, more than a receiver decodes from one datagram (" +
                std::to_string(wire::maxObjectsPerDatagram) + ")");
    const size_t size = frameSize(config);
    require(size <= wire::maxDatagramBytes, "a frame of this shape is " + std::to_string(size) +
                                                " bytes, more than one UDP datagram carries (" +
                                                std::to_string(wire::maxDatagramBytes) +
                                                "); use fewer lines, beams, echoes or modules");

    const double fovRad = config.verticalFovDeg * wire::radiansPerDegree;
    linePhi.resize(config.lines, 0.0f);
    if (config.lines > 1) {
        for (uint32_t l = 0; l < config.lines; ++l)
            linePhi[l] = static_cast<float>(-fovRad / 2 + l * fovRad / (config.lines - 1));
    }
}

size_t SyntheticScan::frameSize(const ScanSettings& s) {
    return wire::envelopeBytes + s.modulesPerFrame * moduleShape(s).moduleBytes(s.telegramVersion);
}

ModuleSpec SyntheticScan::segmentModule(uint64_t segment) const {
    const uint32_t lines = config.lines, beams = config.beams;
    const double segmentRad = 2 * std::numbers::pi / config.segmentsPerRotation;
    const uint64_t inRotation = segment % config.segmentsPerRotation;
    const auto thetaStart = static_cast<float>(-std::numbers::pi + inRotation * segmentRad);
    const auto thetaStop = static_cast<float>(-std::numbers::pi + (inRotation + 1) * segmentRad);

    ModuleSpec m;
    m.segmentCounter = segment;
    m.frameNumber = segment / config.segmentsPerRotation;
    m.senderId = config.senderId;
    m.numLines = lines;
    m.numBeams = beams;
    m.numEchos = config.echoes;
    m.phi = linePhi;
    m.thetaStart.assign(lines, thetaStart);
    m.thetaStop.assign(lines, thetaStop);
    m.distanceScalingFactor = config.distanceScalingFactor;
    const wire::ModuleShape shape = moduleShape(config);
    m.dataContentEchos = shape.dataContentEchos;
    m.dataContentBeams = shape.dataContentBeams;

    // The lines fire in turn within each beam period, so their time stamps are staggered.
    const double durationUs = config.segmentDurationUs;
    const uint64_t segmentStart = config.startTimeUs + std::llround(segment * durationUs);
    const auto lineSpanUs = std::llround(durationUs * (beams - 1) / beams);
    for (uint32_t l = 0; l < lines; ++l) {
        const uint64_t start = segmentStart + std::llround(l * durationUs / beams / lines);
        m.timestampStart.push_back(start);
        m.timestampStop.push_back(start + lineSpanUs);
    }

    // Version 3 carries no scaling factor: its raw distances are millimetres.
    const double mmPerStep =
        wire::hasScalingFactor(config.telegramVersion) ? config.distanceScalingFactor : 1.0;
    const double thetaStep = (double{thetaStop} - double{thetaStart}) / beams;
    m.measurements.resize(size_t{beams} * lines);
    for (uint32_t b = 0; b < beams; ++b) {
        const double theta = thetaStart + b * thetaStep;
        const auto raw = static_cast<uint16_t>(
            std::clamp(std::lround(theta * thetaRawPerRadian + thetaRawZero), 0L, 65535L));
        // Trace along the angle a receiver decodes, so distances and raw theta agree exactly.
        const double decodedTheta = (raw - thetaRawZero) / thetaRawPerRadian;
        for (uint32_t l = 0; l < lines; ++l) {
            MeasurementSpec& measurement = m.measurements[size_t{b} * lines + l];
            measurement.theta = raw;
            measurement.echos.resize(config.echoes);
            const std::vector<SceneEcho> echoes = traceScene(decodedTheta, linePhi[l]);
            for (size_t e = 0; e < echoes.size() && e < config.echoes; ++e)
                measurement.echos[e] = {rawDistance(echoes[e].rangeMm, mmPerStep), echoes[e].rssi};
            measurement.properties = echoes.front().onBox ? 1 : 0;
        }
    }
    return m;
}

FrameSpec SyntheticScan::nextFrame() {
    FrameSpec frame;
    frame.telegramCounter = config.firstTelegramCounter + telegramIndex;
    frame.telegramVersion = config.telegramVersion;
    for (uint32_t i = 0; i < config.modulesPerFrame; ++i)
        frame.modules.push_back(segmentModule(telegramIndex * config.modulesPerFrame + i));
    ++telegramIndex;
    return frame;
}

std::vector<Datagram> SyntheticScan::nextSlot() {
    if (config.skipEvery != 0 && (telegramIndex + 1) % config.skipEvery == 0) {
        ++telegramIndex;
        ++skippedCount;
        return {};
    }
    const FrameSpec frame = nextFrame();
    std::vector<Datagram> out;
    out.push_back({DatagramKind::frame, encodeFrame(frame)});
    ++frameCount;
    if (config.badEvery != 0 && frameCount % config.badEvery == 0)
        out.push_back(malformed(frame, out.front().bytes));
    return out;
}

Datagram SyntheticScan::malformed(const FrameSpec& frame, const std::string& bytes) {
    // The next version up from those a receiver decodes.
    constexpr uint32_t unsupportedVersion = wire::maxTelegramVersion + 1;
    switch (malformedCount++ % 3) {
        case 0: {
            FrameSpec bad = frame;
            bad.magic = {2, 2, 2, 3};
            return {DatagramKind::wrongMagic, encodeFrame(bad)};
        }
        case 1: {
            FrameSpec bad = frame;
            bad.telegramVersion = unsupportedVersion;
            return {DatagramKind::unsupportedVersion, encodeFrame(bad)};
        }
        default:
            // Any cut of a complete frame loses at least its trailer word.
            return {DatagramKind::truncated, bytes.substr(0, bytes.size() / 2)};
    }
}

}  // namespace compact
