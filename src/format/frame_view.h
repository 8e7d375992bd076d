// Zero-copy, validating view of one Compact datagram: one pass checks the whole frame's extent,
// then values are read on demand from the datagram's bytes.
//
// The view accepts and refuses exactly the datagrams that the object-tree decoder
// (ravo::compact_frame_magic_t) accepts and refuses, for the same reason: a refusal carries the
// class and the text of the exception the tree decoder throws for the same bytes. Nothing here
// allocates or throws, so a narrow filter reads only the values it writes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>

#include "format/compact_wire.h"

namespace compact {

// Why a datagram was refused.
struct FrameError {
    enum class Kind : uint8_t {
        WrongMagic,       // the first four bytes are not 02 02 02 02
        VersionBelow,     // telegram version below 3
        VersionAbove,     // telegram version above 4
        EndOfData,        // the data ends inside a field
        CountBeyondData,  // a count promises more bytes than the datagram has left
        TooManyObjects,   // the decoded tree would pass wire::maxObjectsPerDatagram
    };
    Kind kind = Kind::EndOfData;
    // CountBeyondData: the block ("per-line metadata" or "beams"), its element count, the bytes
    // per element, the position where it starts and the bytes left there.
    const char* block = "";
    uint64_t count = 0;
    uint64_t elementBytes = 0;
    uint64_t pos = 0;
    uint64_t left = 0;

    // The what() text of the exception the tree decoder throws for the same datagram:
    // kaitai::validation_not_equal_error<std::string> (WrongMagic),
    // kaitai::validation_less_than_error<unsigned int> (VersionBelow),
    // kaitai::validation_greater_than_error<unsigned int> (VersionAbove), and
    // std::ios_base::failure for the other kinds.
    std::string message() const;
};

// Reads little-endian values at byte offsets; the caller has checked the bounds.
template <typename T>
inline T loadLe(const uint8_t* p) {
    static_assert(std::endian::native == std::endian::little, "loads assume a little-endian host");
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// One module of a validated frame. Line, beam and echo indices must lie below lines(), beams()
// and echoes(); nothing is checked again here.
class ModuleView {
  public:
    ModuleView() = default;
    ModuleView(const uint8_t* module, uint32_t telegramVersion);

    uint64_t segmentCounter() const { return loadLe<uint64_t>(base + wire::segmentCounterOffset); }
    uint64_t frameNumber() const { return loadLe<uint64_t>(base + wire::frameNumberOffset); }
    uint32_t senderId() const { return loadLe<uint32_t>(base + wire::senderIdOffset); }
    // The counts as on the wire, and as numbers of elements (a count of 2^31 or more is none).
    uint32_t numLines() const { return shape.numLines; }
    uint32_t numBeams() const { return shape.numBeams; }
    uint32_t numEchos() const { return shape.numEchos; }
    uint32_t lines() const { return static_cast<uint32_t>(shape.lines()); }
    uint32_t beams() const { return static_cast<uint32_t>(shape.beams()); }
    uint32_t echoes() const { return static_cast<uint32_t>(shape.echoes()); }

    uint64_t timestampStart(uint32_t line) const { return loadLe<uint64_t>(lineArray(0, 8, line)); }
    uint64_t timestampStop(uint32_t line) const { return loadLe<uint64_t>(lineArray(8, 8, line)); }
    float phi(uint32_t line) const { return loadLe<float>(lineArray(16, 4, line)); }
    float thetaStart(uint32_t line) const { return loadLe<float>(lineArray(20, 4, line)); }
    float thetaStop(uint32_t line) const { return loadLe<float>(lineArray(24, 4, line)); }

    // Version 4 only; 0 in version 3.
    bool hasScalingFactor() const { return wire::hasScalingFactor(version); }
    float distanceScalingFactor() const { return hasScalingFactor() ? loadLe<float>(tail) : 0.0f; }
    uint8_t dataContentEchos() const { return shape.dataContentEchos; }
    uint8_t dataContentBeams() const { return shape.dataContentBeams; }
    bool hasDistance() const { return shape.hasDistance(); }
    bool hasRssi() const { return shape.hasRssi(); }
    bool hasTheta() const { return shape.hasTheta(); }
    bool hasProperties() const { return shape.hasProperties(); }

    // Beam `beam` in line `line`: the property byte and the raw theta (0 when absent), and the
    // raw distance and rssi of echo `echo` (0 when absent).
    uint8_t properties(uint32_t beam, uint32_t line) const {
        return shape.hasProperties() ? measurement(beam, line)[propertiesAt] : 0;
    }
    uint16_t thetaRaw(uint32_t beam, uint32_t line) const {
        return shape.hasTheta() ? loadLe<uint16_t>(measurement(beam, line) + thetaAt) : 0;
    }
    uint16_t distance(uint32_t beam, uint32_t line, uint32_t echo) const {
        return shape.hasDistance() ? loadLe<uint16_t>(echoAt(beam, line, echo)) : 0;
    }
    uint16_t rssi(uint32_t beam, uint32_t line, uint32_t echo) const {
        return shape.hasRssi() ? loadLe<uint16_t>(echoAt(beam, line, echo) + rssiAt) : 0;
    }

    // The first byte of beam `beam` in line `line` (its echoes, then theta and the property byte
    // in the order of the telegram version), and the layout inside it.
    const uint8_t* measurement(uint32_t beam, uint32_t line) const {
        return data + (uint64_t{beam} * shape.lines() + line) * measurementBytes;
    }
    uint64_t measurementSize() const { return measurementBytes; }
    uint64_t echoSize() const { return echoBytes; }
    uint32_t rssiOffset() const { return rssiAt; }
    uint32_t propertiesOffset() const { return propertiesAt; }

    // Wire size of the whole module.
    uint64_t size() const { return static_cast<uint64_t>(data - base) + blockBytes; }

  private:
    const uint8_t* lineArray(uint64_t firstBytesPerLine, uint64_t width, uint32_t line) const {
        return base + wire::perLineArraysOffset + firstBytesPerLine * shape.lines() + width * line;
    }
    const uint8_t* echoAt(uint32_t beam, uint32_t line, uint32_t echo) const {
        return measurement(beam, line) + uint64_t{echo} * echoBytes;
    }
    uint64_t scalingBytes() const { return hasScalingFactor() ? wire::scalingFactorBytes : 0; }

    const uint8_t* base = nullptr;  // segment_counter
    const uint8_t* tail = nullptr;  // after theta_stop: scaling factor (v4), next module size
    const uint8_t* data = nullptr;  // the first measurement
    wire::ModuleShape shape{};
    uint32_t version = 0;
    uint64_t measurementBytes = 0;
    uint64_t echoBytes = 0;
    uint64_t blockBytes = 0;    // all measurements; only meaningful with beams and lines
    uint32_t rssiAt = 0;        // in an echo
    uint32_t propertiesAt = 0;  // in a measurement
    uint32_t thetaAt = 0;       // in a measurement
};

// A view of one datagram. parse() validates it; afterwards the accessors read from the bytes,
// which must stay unchanged while the view is used.
class FrameView {
  public:
    // Checks the datagram as the tree decoder reads it: magic, header, version, every module's
    // metadata and measurement block, the object cap, the trailer word; bytes after the trailer
    // word are ignored. Returns true when the tree decoder would accept it; otherwise false, and
    // error() says why. O(number of modules); never throws or allocates.
    bool parse(std::span<const uint8_t> datagram);
    bool parse(const char* datagram, size_t size) {
        return parse({reinterpret_cast<const uint8_t*>(datagram), size});
    }

    // After a failed parse(): the reason. Meaningless after a successful one.
    const FrameError& error() const { return failure; }

    uint64_t telegramCounter() const {
        return loadLe<uint64_t>(bytes + wire::telegramCounterOffset);
    }
    uint32_t telegramVersion() const { return version; }
    size_t moduleCount() const { return modulesInFrame; }

    // The modules in wire order, for range-for.
    class ModuleIterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = ModuleView;
        using difference_type = std::ptrdiff_t;

        ModuleIterator(const uint8_t* at, uint32_t telegramVersion, size_t remaining)
            : next(at), version(telegramVersion), left(remaining) {
            if (left != 0) current = ModuleView(next, version);
        }
        const ModuleView& operator*() const { return current; }
        const ModuleView* operator->() const { return &current; }
        ModuleIterator& operator++() {
            next += current.size();
            if (--left != 0) current = ModuleView(next, version);
            return *this;
        }
        bool operator==(const ModuleIterator& other) const { return left == other.left; }

      private:
        const uint8_t* next;
        uint32_t version;
        size_t left;
        ModuleView current;
    };
    ModuleIterator begin() const {
        return {bytes + wire::firstModuleOffset, version, modulesInFrame};
    }
    ModuleIterator end() const { return {nullptr, version, 0}; }

  private:
    bool fail(FrameError::Kind kind);
    bool failCount(const char* block, uint64_t count, uint64_t elementBytes, uint64_t pos,
                   uint64_t left);

    const uint8_t* bytes = nullptr;
    uint32_t version = 0;
    size_t modulesInFrame = 0;
    FrameError failure{};
};

}  // namespace compact
