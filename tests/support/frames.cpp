// Frames for the tests: the writer's CSV of datagrams and the hostile datagrams.
#include "support/frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <sstream>
#include <tuple>

#include "format/compact_frame.h"
#include "format/compact_frame_magic.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace testing_support {
namespace {

using compact::countsOnlyModule;
using compact::ModuleSpec;

constexpr uint32_t maxCount = 0x7FFFFFFF;   // the largest count that is positive as int32
constexpr size_t maxDatagramBytes = 65507;  // largest UDP payload over IPv4: 65535 - 20 - 8

std::string padded(const std::vector<ModuleSpec>& modules, uint32_t version) {
    compact::FrameSpec frame;
    frame.telegramVersion = version;
    frame.modules = modules;
    std::string bytes = compact::encodeFrame(frame);
    bytes.resize(maxDatagramBytes, '\0');
    return bytes;
}

}  // namespace

std::string csvOf(const CompactCSV::Options& options, const std::vector<std::string>& datagrams) {
    std::ostringstream out;
    CompactCSV csv(options, out);
    for (size_t i = 0; i < datagrams.size(); ++i) {
        compact::FrameView frame;
        if (frame.parse(datagrams[i].data(), datagrams[i].size())) {
            csv.process(frame);
        } else {
            ADD_FAILURE() << "datagram " << i << " does not decode: " << frame.error().message();
        }
    }
    EXPECT_TRUE(csv.finish());
    return out.str();
}

std::set<uint64_t> framesIn(const std::string& csv, int64_t* rows) {
    std::set<uint64_t> frames;
    if (rows != nullptr) *rows = 0;
    if (csv.empty()) return frames;
    EXPECT_EQ(csv.back(), '\n') << "the output ends inside a row";
    std::istringstream in(csv);
    size_t columns = 0;
    for (std::string line; std::getline(in, line);) {
        const auto fields = static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
        if (line.starts_with("sender_id,")) {
            columns = fields;
            continue;
        }
        EXPECT_EQ(fields, columns) << "a cut or stray row: " << line.substr(0, 80);
        frames.insert(std::stoull(line.substr(line.find(',') + 1)));
        if (rows != nullptr) ++*rows;
    }
    return frames;
}

Simulated simulated(compact::ScanSettings settings, double rate, uint32_t frames) {
    settings.segmentDurationUs = 1e6 / (rate * settings.modulesPerFrame);  // as the simulator
    compact::SyntheticScan scan(settings);
    Simulated sent;
    while (scan.framesProduced() < frames) {
        for (const compact::Datagram& d : scan.nextSlot()) {
            if (d.kind == compact::DatagramKind::frame)
                sent.frames.push_back(d.bytes);
            else
                ++sent.malformed;
        }
    }
    sent.skipped = scan.telegramsSkipped();
    return sent;
}

std::vector<uint8_t> payload(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed);
    return bytes;
}

std::vector<std::string> everyLayout() {
    const auto module = [](uint32_t lines, uint32_t beams, uint32_t echoes, uint64_t segment,
                           uint8_t echoFlags, uint8_t beamFlags) {
        ModuleSpec m = compact::makeModule(lines, beams, echoes);
        std::tie(m.segmentCounter, m.dataContentEchos, m.dataContentBeams) =
            std::tuple(segment, echoFlags, beamFlags);
        std::tie(m.distanceScalingFactor, m.metadataByte13, m.metadataByte16) =
            std::tuple(0.25f, 13, 16);
        return m;
    };
    std::vector<std::string> frames;
    for (uint32_t version : {3u, 4u}) {
        for (uint8_t flags = 0; flags < 16; ++flags) {
            const uint8_t echoFlags = flags & 3, beamFlags = flags >> 2;
            compact::FrameSpec frame{.telegramCounter = 77, .telegramVersion = version};
            frame.modules = {
                module(4, 6, 2, flags, echoFlags, beamFlags),
                module(1, 2, 3, 0x1'0000'0064 + flags, echoFlags | 0xFC, beamFlags | 0xA8),
                module(2, 3, 1, 7, 3, 3)};
            frames.push_back(compact::encodeFrame(frame));
        }
        compact::FrameSpec edges{.telegramVersion = version};
        edges.modules = {module(0, 5, 2, 1, 3, 3), module(2, 0, 2, 2, 3, 3),
                         module(2, 3, 0, 3, 3, 3)};
        frames.push_back(compact::encodeFrame(edges));
        frames.push_back(compact::encodeFrame({.telegramVersion = version}));
    }
    return frames;
}

std::vector<NamedDatagram> hostileDatagrams() {
    std::vector<NamedDatagram> cases;
    for (uint32_t version : {3u, 4u}) {
        const std::string v = "v" + std::to_string(version) + " ";
        for (int mask = 1; mask < 8; ++mask) {  // bit 0: lines, 1: beams, 2: echoes at maxCount
            for (uint8_t flags : {0x00, 0x03}) {
                const uint32_t l = mask & 1 ? maxCount : 1, b = mask & 2 ? maxCount : 1,
                               e = mask & 4 ? maxCount : 1;
                cases.push_back(
                    {v + "counts " + std::to_string(mask) + " flags " + std::to_string(flags),
                     padded({countsOnlyModule(l, b, e, flags)}, version)});
            }
        }
        for (uint32_t beams : {maxCount, 1u << 24}) {
            for (uint32_t echoes : {0u, maxCount}) {
                cases.push_back({v + "no lines, beams " + std::to_string(beams) + " echoes " +
                                     std::to_string(echoes),
                                 padded({countsOnlyModule(0, beams, echoes, 0x00)}, version)});
            }
        }
        const auto half = static_cast<uint32_t>(ravo::compact_frame_t::maxObjectsPerDatagram / 2);
        ModuleSpec first = countsOnlyModule(0, half, 0, 0x00);
        first.nextModuleSize = 1;
        cases.push_back({v + "two half-cap modules",
                         padded({first, countsOnlyModule(0, half, 0, 0x00)}, version)});
        ModuleSpec link = countsOnlyModule(0, 0, 0, 0x00);
        link.nextModuleSize = 1;
        const size_t linkBytes = compact::encodeModule(link, version).size();
        cases.push_back(
            {v + "endless module chain",
             padded(std::vector<ModuleSpec>(maxDatagramBytes / linkBytes, link), version)});
    }
    return cases;
}

std::vector<NamedDatagram> densestDatagrams() {
    // One frame, one module (module, metadata, two flag objects): 5 objects before the beams.
    const uint64_t room = ravo::compact_frame_t::maxObjectsPerDatagram - 5;
    return {{"beams with one empty measurement each",
             padded({countsOnlyModule(1, static_cast<uint32_t>(room / 2), 0, 0x00)}, 4)},
            {"beams without lines",
             padded({countsOnlyModule(0, static_cast<uint32_t>(room), 0, 0x00)}, 4)}};
}

}  // namespace testing_support
