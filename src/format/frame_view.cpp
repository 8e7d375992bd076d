// Zero-copy, validating view of one Compact datagram.
#include "format/frame_view.h"

#include <ios>
#include <sstream>

namespace compact {

namespace {

// The text of the end-of-data error: what the reader's stream throws when a read runs out.
const std::string& endOfDataText() {
    static const std::string text = [] {
        std::istringstream stream;
        stream.exceptions(std::ios::eofbit | std::ios::failbit | std::ios::badbit);
        try {
            stream.setstate(std::ios::eofbit | std::ios::failbit);
        } catch (const std::ios_base::failure& error) {
            return std::string(error.what());
        }
        return std::string("end of data");
    }();
    return text;
}

}  // namespace

std::string FrameError::message() const {
    switch (kind) {
        case Kind::WrongMagic:
            return "/seq/0: at pos 4: validation failed: not equal";
        case Kind::VersionBelow:
        case Kind::VersionAbove:
            return "/types/header/seq/3: at pos 28: validation failed: not in range";
        case Kind::EndOfData:
            return endOfDataText();
        // The tree decoder raises these as the end-of-data error with its own text.
        case Kind::CountBeyondData:
            return std::ios_base::failure(std::string(block) + ": " + std::to_string(count) +
                                          " of " + std::to_string(elementBytes) +
                                          " bytes each at pos " + std::to_string(pos) + ", " +
                                          std::to_string(left) + " bytes left")
                .what();
        case Kind::TooManyObjects:
            return std::ios_base::failure("datagram declares more than " +
                                          std::to_string(wire::maxObjectsPerDatagram) + " objects")
                .what();
    }
    return endOfDataText();
}

ModuleView::ModuleView(const uint8_t* module, uint32_t telegramVersion)
    : base(module), version(telegramVersion) {
    shape.numLines = loadLe<uint32_t>(base + wire::numLinesOffset);
    shape.numBeams = loadLe<uint32_t>(base + wire::numBeamsOffset);
    shape.numEchos = loadLe<uint32_t>(base + wire::numEchosOffset);
    tail = base + wire::perLineArraysOffset + shape.lines() * wire::perLineMetadataBytes;
    const uint64_t scaling = scalingBytes();
    // After the scaling factor: next_module_size (4 bytes), byte 13, the two flag bytes, byte 16.
    shape.dataContentEchos = tail[scaling + 5];
    shape.dataContentBeams = tail[scaling + 6];
    data = tail + scaling + 8;
    echoBytes = shape.echoBytes();
    measurementBytes = shape.measurementBytes();
    blockBytes = shape.measurementBlockBytes();
    rssiAt = shape.hasDistance() ? 2 : 0;
    // Version 3: theta, then the property byte; version 4: the property byte, then theta.
    const uint64_t echoesEnd = shape.echoes() * echoBytes;
    const bool thetaFirst = !wire::hasScalingFactor(version) && shape.hasTheta();
    propertiesAt = static_cast<uint32_t>(echoesEnd + (thetaFirst ? 2 : 0));
    thetaAt = static_cast<uint32_t>(thetaFirst ? echoesEnd : echoesEnd + shape.hasProperties());
}

bool FrameView::fail(FrameError::Kind kind) {
    failure = FrameError{};
    failure.kind = kind;
    modulesInFrame = 0;
    return false;
}

bool FrameView::failCount(const char* block, uint64_t count, uint64_t elementBytes, uint64_t pos,
                          uint64_t left) {
    fail(FrameError::Kind::CountBeyondData);
    failure.block = block;
    failure.count = count;
    failure.elementBytes = elementBytes;
    failure.pos = pos;
    failure.left = left;
    return false;
}

bool FrameView::parse(std::span<const uint8_t> datagram) {
    using Kind = FrameError::Kind;
    bytes = datagram.data();
    modulesInFrame = 0;
    const uint64_t size = datagram.size();

    // The checks come in the order the tree decoder reads, so that the first failing check is
    // the one it would fail on.
    if (size < wire::magicBytes) return fail(Kind::EndOfData);
    if (std::memcmp(bytes, wire::magic.data(), wire::magicBytes) != 0) {
        return fail(Kind::WrongMagic);
    }
    if (size < wire::telegramVersionOffset + 4) return fail(Kind::EndOfData);
    version = loadLe<uint32_t>(bytes + wire::telegramVersionOffset);
    if (version < wire::minTelegramVersion) return fail(Kind::VersionBelow);
    if (version > wire::maxTelegramVersion) return fail(Kind::VersionAbove);
    if (size < wire::firstModuleOffset) return fail(Kind::EndOfData);

    uint64_t objects = wire::frameObjectsBeforeModules;
    uint64_t pos = wire::firstModuleOffset;
    size_t modules = 0;
    const uint64_t scaling = wire::hasScalingFactor(version) ? wire::scalingFactorBytes : 0;
    bool more = loadLe<uint32_t>(bytes + wire::firstModuleSizeOffset) != 0;
    while (more) {
        if (wire::ModuleShape::objectsBeforeBeams > wire::maxObjectsPerDatagram - objects) {
            return fail(Kind::TooManyObjects);
        }
        objects += wire::ModuleShape::objectsBeforeBeams;
        // Counters, sender and counts.
        if (size - pos < wire::perLineArraysOffset) return fail(Kind::EndOfData);
        wire::ModuleShape shape;
        shape.numLines = loadLe<uint32_t>(bytes + pos + wire::numLinesOffset);
        shape.numBeams = loadLe<uint32_t>(bytes + pos + wire::numBeamsOffset);
        shape.numEchos = loadLe<uint32_t>(bytes + pos + wire::numEchosOffset);
        pos += wire::perLineArraysOffset;
        // The five per-line arrays.
        const uint64_t lines = shape.lines();
        if (lines != 0 && lines > (size - pos) / wire::perLineMetadataBytes) {
            return failCount("per-line metadata", lines, wire::perLineMetadataBytes, pos,
                             size - pos);
        }
        pos += lines * wire::perLineMetadataBytes;
        // Scaling factor (version 4), next module size, byte 13, the flag bytes, byte 16.
        const uint64_t tailBytes = scaling + 8;
        if (size - pos < tailBytes) return fail(Kind::EndOfData);
        more = loadLe<uint32_t>(bytes + pos + scaling) != 0;
        shape.dataContentEchos = bytes[pos + scaling + 5];
        shape.dataContentBeams = bytes[pos + scaling + 6];
        pos += tailBytes;
        // The measurement block: its size and its objects follow from the counts and flags.
        const uint64_t beams = shape.beams();
        if (beams != 0) {
            const uint64_t beamBytes = wire::mulSat(lines, shape.measurementBytes());
            if (beamBytes != 0 && beams > (size - pos) / beamBytes) {
                return failCount("beams", beams, beamBytes, pos, size - pos);
            }
            const uint64_t beamObjects = shape.objects() - wire::ModuleShape::objectsBeforeBeams;
            if (beamObjects > wire::maxObjectsPerDatagram - objects) {
                return fail(Kind::TooManyObjects);
            }
            objects += beamObjects;
            pos += beams * beamBytes;
        }
        ++modules;
    }
    if (size - pos < wire::trailerBytes) return fail(Kind::EndOfData);
    modulesInFrame = modules;
    return true;
}

}  // namespace compact
