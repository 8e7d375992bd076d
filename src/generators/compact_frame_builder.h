// Encoder of Compact frames from a plain description: the decoder's counterpart, used by tests,
// fuzz seeds, benchmarks and the simulator. It writes every value as given, so it can also
// produce inconsistent frames (lying counts, any version, wrong magic); truncate the result with
// std::string::substr for a short datagram.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace compact {

struct EchoSpec {
    uint16_t distance = 0;  // raw, unscaled
    uint16_t rssi = 0;
};

// One beam in one line.
struct MeasurementSpec {
    std::vector<EchoSpec> echos;
    uint8_t properties = 0;  // the property byte as on the wire
    uint16_t theta = 16384;  // raw; 16384 is 0 rad, one step is 1/5215 rad
};

struct ModuleSpec {
    uint64_t segmentCounter = 0;
    uint64_t frameNumber = 0;
    uint32_t senderId = 0;
    uint32_t numLines = 0, numBeams = 0, numEchos = 0;  // written as given (may lie)
    std::vector<uint64_t> timestampStart,
        timestampStop;                              // written as given, normally numLines each
    std::vector<float> phi, thetaStart, thetaStop;  // radians, normally numLines each
    float distanceScalingFactor = 1.0f;             // written only when the version is > 3
    std::optional<uint32_t> nextModuleSize;  // unset: 0 for the last module, else the byte size
                                             //   of the following module
    uint8_t metadataByte13 = 0, metadataByte16 = 0;
    // Presence flag bytes as on the wire: echos bit 1 rssi, bit 0 distance; beams bit 1 theta,
    // bit 0 property byte.
    uint8_t dataContentEchos = 0x03, dataContentBeams = 0x03;
    // Beam-major: [beam * numLines + line]. Written as given, each with all of its echos; the
    // fields of each follow the flag bytes and the frame's version.
    std::vector<MeasurementSpec> measurements;
};

struct FrameSpec {
    std::array<uint8_t, 4> magic{2, 2, 2, 2};
    uint32_t headerWord0 = 1;
    uint64_t telegramCounter = 0;
    uint64_t headerWord2 = 0;
    uint32_t telegramVersion = 4;             // layout: version 4 for any value > 3, else 3
    std::optional<uint32_t> firstModuleSize;  // unset: 0 without modules, else the first module's
                                              //   byte size
    std::vector<ModuleSpec> modules;
    uint32_t trailerWord = 0;
};

// The datagram bytes, little-endian throughout. Never throws for any description (bad_alloc
// aside).
std::string encodeFrame(const FrameSpec& frame);

// The bytes of one module in the layout of `telegramVersion`, with `nextModuleSize` written in
// place of module.nextModuleSize when the latter is unset.
std::string encodeModule(const ModuleSpec& module, uint32_t telegramVersion,
                         uint32_t nextModuleSize = 0);

// A consistent module: counts, the five per-line arrays and lines*beams measurements whose echoes
// carry deterministic, non-zero values that differ per beam, line and echo (distance, rssi,
// property byte, theta), so that a swapped index shows in a test. theta_start/theta_stop span
// -45..+45 degrees and beam b's theta lies at theta_start + b * (span / beams); phi differs per
// line. All flags set.
ModuleSpec makeModule(uint32_t lines, uint32_t beams, uint32_t echoes);

// A module that declares the given counts and presence flag byte (written to both flag bytes) but
// carries no measurements: the per-line arrays get one entry when lines is 1, none otherwise. Its
// counts claim more bytes or objects than follow, as in hostile datagrams.
ModuleSpec countsOnlyModule(uint32_t lines, uint32_t beams, uint32_t echoes, uint8_t flags);

}  // namespace compact
