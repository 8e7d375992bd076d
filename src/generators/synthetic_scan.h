// Synthetic scans: Compact frames of a multi-layer range scanner turning in a small room, with
// counters and time stamps that advance as a sensor's do and optional injected faults, for the
// frame simulator, tests, fuzz seeds and benchmarks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "generators/compact_frame_builder.h"

namespace compact {

// An axis-aligned box in the sensor's frame of reference: x forward (theta 0), y to the left
// (theta +90 degrees), z up; metres, the sensor at the origin.
struct SceneBox {
    std::array<double, 3> min;
    std::array<double, 3> max;
};

// The scene: a room of 16 m x 12 m x 3.5 m with the sensor 1.5 m above the floor, off centre so
// that the walls lie at different distances, and a box (a cabinet, 1.5 m x 2 m x 1.8 m) standing
// on the floor in front of it.
inline constexpr SceneBox sceneRoom{{-6.0, -5.0, -1.5}, {10.0, 7.0, 2.0}};
inline constexpr SceneBox sceneBox{{2.5, -1.0, -1.5}, {4.0, 1.0, 0.3}};

// One return of a ray traced through the scene.
struct SceneEcho {
    double rangeMm = 0;  // distance from the sensor along the ray, millimetres
    uint16_t rssi = 0;   // signal strength, 1..65535 for every return
    bool onBox = false;  // the surface belongs to the box, not the room
};

// Traces the ray leaving the sensor at azimuth `thetaRad` (0 along +x, growing towards +y) and
// elevation `phiRad` (0 horizontal, positive upwards). Returns the returns nearest first: the
// first surface hit, and when that is the box, the wall behind it as a weaker second return (a
// beam that only partly covers the box). Never returns an empty list: the room is closed.
std::vector<SceneEcho> traceScene(double thetaRad, double phiRad);

// Shape, identity and faults of a synthetic scan. Every module is one segment of a rotation.
struct ScanSettings {
    uint32_t lines = 16;                         // scan lines per module, 1..65535
    uint32_t beams = 240;                        // beams per line, 1..65535
    uint32_t echoes = 3;                         // echoes per beam, 0..255
    uint32_t modulesPerFrame = 1;                // consecutive segments per frame, 1..255
    uint32_t telegramVersion = 4;                // 3 or 4
    bool hasDistance = true, hasRssi = true;     // presence flags of the echo values
    bool hasTheta = true, hasProperties = true;  // presence flags of the per-beam values
    uint32_t segmentsPerRotation = 12;           // each covers 360 degrees / this in theta
    double verticalFovDeg = 30;                  // phi of the lines spans this, centred on 0
    double segmentDurationUs = 1e6 / 240;        // one segment at 12 segments per turn and 20 Hz
    uint64_t startTimeUs = 0;                    // time stamp of the first segment, microseconds
    uint64_t firstTelegramCounter = 1;
    uint32_t senderId = 1;
    float distanceScalingFactor = 1.0f;  // version 4: millimetres per raw distance step
    uint32_t skipEvery = 0;  // 0: never; N >= 2: the Nth, 2Nth, ... telegram is not sent
    uint32_t badEvery = 0;   // 0: never; N >= 1: a malformed datagram after every Nth frame
};

// What a datagram produced by SyntheticScan::nextSlot is.
enum class DatagramKind {
    frame,               // a valid frame
    wrongMagic,          // a frame whose magic is 02 02 02 03
    unsupportedVersion,  // a frame with telegram version 5
    truncated,           // the first half of a valid frame
};

struct Datagram {
    DatagramKind kind = DatagramKind::frame;
    std::string bytes;
};

// Produces the telegrams of a sensor scanning the scene, one telegram counter at a time.
//
// Telegram i (from 0) carries telegram counter firstTelegramCounter + i and the segments
// i * modulesPerFrame ... i * modulesPerFrame + modulesPerFrame - 1, counted from 0 since the
// start. Segment g has segment_counter g, frame_number g / segmentsPerRotation (the rotation),
// covers theta from -pi + k * 2pi / S to -pi + (k + 1) * 2pi / S with k = g mod S, and starts at
// startTimeUs + g * segmentDurationUs. Line l has its own phi, spread evenly over the vertical
// field of view, lowest first. Beam b of a line lies at theta_start + b * (theta_stop -
// theta_start) / beams; its raw theta is that angle in steps of 1/5215 rad around 16384. Echo 0 of
// each beam is the first surface that beam hits in the scene, echo 1 the wall behind the box where
// the beam hits the box; the others are 0 (no return). The property byte is 1 where echo 0 is on
// the box, else 0. Distances are millimetres / distanceScalingFactor (version 4) or millimetres
// (version 3), rounded and limited to 65535.
class SyntheticScan {
  public:
    // Throws std::invalid_argument naming the setting when a value is outside its range above,
    // when a frame would not fit one IPv4 UDP datagram, or would hold more decoded objects than
    // the receiver accepts from one datagram (the same arithmetic as the decoder's). Every frame
    // of accepted settings decodes.
    explicit SyntheticScan(const ScanSettings& settings);

    // The next telegram as a frame description, without fault injection; advances the telegram
    // and segment counters.
    FrameSpec nextFrame();

    // The datagrams of the next telegram counter, in sending order: none when the counter is
    // skipped (skipEvery), else the frame, followed by one malformed datagram after every
    // badEvery-th frame. The malformed datagrams cycle through wrong magic, unsupported version
    // and truncated, in that order, and take no telegram counter of their own, so a receiver counts
    // each skipped counter as one lost telegram and each malformed datagram as one parse error.
    std::vector<Datagram> nextSlot();

    // Wire size in bytes of every frame for these settings (all frames have the same size).
    static size_t frameSize(const ScanSettings& settings);

    uint64_t telegramsProduced() const { return telegramIndex; }  // skipped ones included
    uint64_t framesProduced() const { return frameCount; }        // by nextSlot
    uint64_t telegramsSkipped() const { return skippedCount; }

  private:
    ModuleSpec segmentModule(uint64_t segment) const;
    Datagram malformed(const FrameSpec& frame, const std::string& bytes);

    ScanSettings config;
    std::vector<float> linePhi;  // per line, radians
    uint64_t telegramIndex = 0;
    uint64_t frameCount = 0;
    uint64_t skippedCount = 0;
    uint64_t malformedCount = 0;
};

}  // namespace compact
