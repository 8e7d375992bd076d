// Wire constants of the Compact format and the size and object arithmetic that follows from a
// module's counts and presence flags. The decoder, the frame builder and the simulator all take
// their numbers from here, so a frame one of them accepts is a frame the others agree on.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

namespace compact::wire {

// ---- envelope ------------------------------------------------------------------------------

// Every datagram starts with these four bytes.
inline constexpr std::array<uint8_t, 4> magic{0x02, 0x02, 0x02, 0x02};
inline constexpr uint64_t magicBytes = 4;
// header_word_0 (u4), telegram_counter (u8), header_word_2 (u8), telegram_version (u4),
// first_module_size (u4).
inline constexpr uint64_t headerBytes = 28;
inline constexpr uint64_t trailerBytes = 4;
// Magic, header and trailer word: the shortest complete frame.
inline constexpr uint64_t envelopeBytes = magicBytes + headerBytes + trailerBytes;
// Offsets from the start of the datagram.
inline constexpr uint64_t telegramCounterOffset = 8;
inline constexpr uint64_t telegramVersionOffset = 24;
inline constexpr uint64_t firstModuleSizeOffset = 28;
inline constexpr uint64_t firstModuleOffset = magicBytes + headerBytes;

// Accepted telegram versions. From version 4 on the metadata carries distance_scaling_factor and
// a measurement's theta follows its property byte instead of preceding it.
inline constexpr uint32_t minTelegramVersion = 3;
inline constexpr uint32_t maxTelegramVersion = 4;
inline constexpr uint32_t firstVersionWithScaling = 4;
constexpr bool hasScalingFactor(uint32_t telegramVersion) {
    return telegramVersion >= firstVersionWithScaling;
}

// ---- module --------------------------------------------------------------------------------

// segment_counter (u8), frame_number (u8), sender_id, num_lines, num_beams, num_echos (u4 each),
// next_module_size (u4) and four single bytes (byte 13, the two flag bytes, byte 16).
inline constexpr uint64_t metadataFixedBytes = 40;
// Offsets inside the metadata, from the module's first byte.
inline constexpr uint64_t segmentCounterOffset = 0;
inline constexpr uint64_t frameNumberOffset = 8;
inline constexpr uint64_t senderIdOffset = 16;
inline constexpr uint64_t numLinesOffset = 20;
inline constexpr uint64_t numBeamsOffset = 24;
inline constexpr uint64_t numEchosOffset = 28;
inline constexpr uint64_t perLineArraysOffset = 32;
// Per line: timestamp_start and timestamp_stop (u8 each), phi, theta_start, theta_stop (f4 each).
inline constexpr uint64_t perLineMetadataBytes = 8 + 8 + 4 + 4 + 4;
inline constexpr uint64_t scalingFactorBytes = 4;

// Presence flag bits. data_content_echos: rssi, distance; data_content_beams: theta, property
// byte. The upper six bits of both bytes are reserved.
inline constexpr uint8_t echoHasRssi = 0x02;
inline constexpr uint8_t echoHasDistance = 0x01;
inline constexpr uint8_t beamHasTheta = 0x02;
inline constexpr uint8_t beamHasProperties = 0x01;

// Raw theta: 16384 is 0 rad, one raw step is 1/5215 rad.
inline constexpr double thetaRawZero = 16384.0;
inline constexpr double thetaRawPerRadian = 5215.0;
// Pi to twelve decimals: the format's derived degrees are defined with this value, not with the
// full double-precision pi.
inline constexpr double senderPi = 3.141592653589;
// pi/180 in double precision: degrees given by a user become radians with this factor.
inline constexpr double radiansPerDegree = 0.017453292519943295;

// Largest UDP payload in one IPv4 datagram: 65535 minus the 20-byte IPv4 and 8-byte UDP headers.
inline constexpr uint64_t maxDatagramBytes = 65535 - 20 - 8;

// ---- arithmetic on counts from the wire ----------------------------------------------------

inline constexpr uint64_t saturated = std::numeric_limits<uint64_t>::max();

// Bound arithmetic on hostile counts must not wrap: results saturate at 2^64 - 1.
constexpr uint64_t mulSat(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? saturated : product;
}
constexpr uint64_t addSat(uint64_t a, uint64_t b) {
    uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? saturated : sum;
}

// Number of elements of a wire count: the count is taken as signed 32-bit, and a negative count
// (2^31 and above) gives no elements.
constexpr uint64_t elementCount(uint32_t count) {
    const auto n = static_cast<int32_t>(count);
    return n > 0 ? static_cast<uint64_t>(n) : 0;
}

// The counts and flags that fix a module's layout, as read from the wire.
struct ModuleShape {
    uint32_t numLines = 0;
    uint32_t numBeams = 0;
    uint32_t numEchos = 0;
    uint8_t dataContentEchos = 0;
    uint8_t dataContentBeams = 0;

    uint64_t lines() const { return elementCount(numLines); }
    uint64_t beams() const { return elementCount(numBeams); }
    uint64_t echoes() const { return elementCount(numEchos); }
    bool hasDistance() const { return (dataContentEchos & echoHasDistance) != 0; }
    bool hasRssi() const { return (dataContentEchos & echoHasRssi) != 0; }
    bool hasTheta() const { return (dataContentBeams & beamHasTheta) != 0; }
    bool hasProperties() const { return (dataContentBeams & beamHasProperties) != 0; }

    // Bytes of one echo: a u2 distance and a u2 rssi, each when present.
    uint64_t echoBytes() const { return 2u * hasDistance() + 2u * hasRssi(); }
    // Bytes of one measurement (one beam in one line): its echoes, then theta (u2) and the
    // property byte when present.
    uint64_t measurementBytes() const {
        return addSat(mulSat(echoes(), echoBytes()), 2u * hasTheta() + 1u * hasProperties());
    }
    // Bytes of the metadata, from segment_counter to metadata_byte_16.
    uint64_t metadataBytes(uint32_t telegramVersion) const {
        return metadataFixedBytes + lines() * perLineMetadataBytes +
               (hasScalingFactor(telegramVersion) ? scalingFactorBytes : 0);
    }
    // Bytes of all measurements of the module, saturated.
    uint64_t measurementBlockBytes() const {
        return mulSat(beams(), mulSat(lines(), measurementBytes()));
    }
    // Bytes of the whole module, saturated.
    uint64_t moduleBytes(uint32_t telegramVersion) const {
        return addSat(metadataBytes(telegramVersion), measurementBlockBytes());
    }
    // Objects of the decoded tree for the module: the module, its metadata and the two flag
    // objects, then per beam one object and per measurement one object, one per echo and one
    // for the property byte when present. Saturated.
    uint64_t objects() const {
        const uint64_t perMeasurement = addSat(1u + hasProperties(), echoes());
        const uint64_t perBeam = addSat(1, mulSat(lines(), perMeasurement));
        return addSat(objectsBeforeBeams, mulSat(beams(), perBeam));
    }

    static constexpr uint64_t objectsBeforeBeams = 4;
};

// Decoded objects of a frame before its first module: the header.
inline constexpr uint64_t frameObjectsBeforeModules = 1;

// Upper bound on decoded objects per datagram. Elements without wire bytes (beams of a module
// without lines, echoes without distance and rssi) cannot be bounded by the datagram's length,
// so this cap keeps one hostile datagram from exhausting memory: an object with its allocations
// takes up to about 140 bytes, so 2^18 objects stay near 35 MB, within the receiver's 64 MB
// budget per datagram (2^20 reached 150 MB). A frame whose elements all carry wire bytes needs
// at least one byte per two objects, so 65535 bytes hold at most about 131,000 objects.
inline constexpr uint64_t maxObjectsPerDatagram = 262144;

}  // namespace compact::wire
