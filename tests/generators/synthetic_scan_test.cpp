// Tests of the synthetic scan's limits: a shape is either refused, or every frame of it decodes
// with the shape, version, presence flags and counters asked for. Its geometry, skipped counters
// and malformed datagrams are checked through what the receiver reports of the simulator's frames
// (tests/app/describe_test.cpp, tests/e2e/capture_test.cpp).
#include "generators/synthetic_scan.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <tuple>

#include "format/compact_wire.h"
#include "format/frame_view.h"

namespace {

using compact::ScanSettings;

// `values`: bit 0 distance, 1 rssi, 2 theta, 3 properties.
ScanSettings shape(uint32_t lines, uint32_t beams, uint32_t echoes, uint32_t modules,
                   uint32_t version, unsigned values) {
    ScanSettings s;
    s.lines = lines, s.beams = beams, s.echoes = echoes, s.modulesPerFrame = modules;
    s.telegramVersion = version;
    s.hasDistance = values & 1, s.hasRssi = values & 2, s.hasTheta = values & 4;
    s.hasProperties = values & 8;
    return s;
}

// Objects of a frame: 1 (header) + modules * (4 + beams * (1 + lines * (1 + P + echoes))), with P
// 1 when the property byte is present; the cap is 2^18 = 262144. Bytes: a UDP datagram carries
// at most 65507.
TEST(SyntheticScan, RefusesShapesBeyondTheReceiversLimitsAndDecodesThoseWithin) {
    constexpr unsigned none = 0x0, all = 0xF, rssiProperties = 0xA, thetaProperties = 0xC;
    const struct {
        const char* what;
        ScanSettings settings;
        bool accepted;
    } cases[] = {
        {"the default", ScanSettings{}, true},
        {"small, v3, distance and theta", shape(2, 5, 1, 2, 3, 0x5), true},
        {"no echoes, v4, rssi and properties", shape(3, 7, 0, 1, 4, 0xA), true},
        {"262145 objects in 12160 bytes", shape(302, 4, 215, 1, 4, thetaProperties), false},
        {"260937 objects", shape(302, 4, 214, 1, 4, thetaProperties), true},
        {"262145 objects in 2 modules", shape(258, 4, 126, 2, 4, none), false},
        {"262144 objects in 3 modules", shape(1, 3799, 21, 3, 3, none), true},
        {"65507 bytes", shape(3, 947, 5, 1, 4, all), true},
        {"65507 bytes, v3", shape(1, 21801, 1, 1, 3, rssiProperties), true},
        {"65508 bytes", shape(1, 4360, 3, 1, 4, all), false},
        {"65508 bytes in 3 modules", shape(18, 394, 2, 3, 4, thetaProperties), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScanSettings& s = c.settings;
        std::optional<compact::SyntheticScan> scan;
        try {
            scan.emplace(s);
        } catch (const std::invalid_argument&) {
            EXPECT_FALSE(c.accepted) << "refused, though within the limits";
            continue;
        }
        EXPECT_TRUE(c.accepted) << "accepted, though beyond a limit";
        for (uint32_t frame = 0; frame < 3; ++frame) {
            const auto datagrams = scan->nextSlot();
            ASSERT_EQ(datagrams.size(), 1u);
            const std::string& bytes = datagrams[0].bytes;
            EXPECT_EQ(bytes.size(), compact::SyntheticScan::frameSize(s));
            EXPECT_LE(bytes.size(), compact::wire::maxDatagramBytes);
            compact::FrameView view;
            ASSERT_TRUE(view.parse(bytes.data(), bytes.size())) << view.error().message();
            EXPECT_EQ(view.telegramVersion(), s.telegramVersion);
            EXPECT_EQ(view.moduleCount(), s.modulesPerFrame);
            const compact::ModuleView module = *view.begin();
            // Counters from 1, segments from 0, twelve segments to a frame number.
            EXPECT_EQ(view.telegramCounter(), 1u + frame);
            uint64_t segment = frame * s.modulesPerFrame;
            for (const compact::ModuleView& m : view) {
                EXPECT_EQ(m.segmentCounter(), segment);
                EXPECT_EQ(m.frameNumber(), segment++ / 12);
            }
            EXPECT_EQ(
                std::tuple(module.lines(), module.beams(), module.echoes(), module.hasDistance(),
                           module.hasRssi(), module.hasTheta(), module.hasProperties()),
                std::tuple(s.lines, s.beams, s.echoes, s.hasDistance, s.hasRssi, s.hasTheta,
                           s.hasProperties));
        }
    }
}

}  // namespace
