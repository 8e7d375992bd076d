// Tests of the synthetic scan: its frames decode with the project's decoder and carry the shape,
// counters, flags and geometry asked for, and its injected faults produce exactly the loss and
// parse-error counts a receiver reports.
#include "generators/synthetic_scan.h"

#include <gtest/gtest.h>

#include <ios>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "format/compact_frame.h"
#include "format/compact_frame_magic.h"
#include "format/compact_wire.h"
#include "format/kaitaistream.h"
#include "io/status.h"

namespace {

using compact::DatagramKind;
using compact::ScanSettings;
using compact::SyntheticScan;
constexpr double degree = std::numbers::pi / 180;

// Decodes one datagram as the receiver does; the frame tree lives as long as the object.
struct Decoded {
    explicit Decoded(const std::string& bytes) : io(bytes), magic(&io) {}
    ravo::compact_frame_t* frame() const { return magic.frame(); }
    kaitai::kstream io;
    ravo::compact_frame_magic_t magic;
};

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

TEST(SyntheticScan, FramesDecodeWithShapeCountersFlagsAndGeometry) {
    const ScanSettings shapes[] = {ScanSettings{}, shape(4, 10, 2, 3, 3, 0xF),
                                   shape(2, 5, 1, 2, 4, 0x5), shape(3, 7, 0, 1, 3, 0xA),
                                   shape(1, 1, 4, 1, 4, 0x0)};
    for (const ScanSettings& s : shapes) {
        SCOPED_TRACE("shape " + std::to_string(&s - shapes));
        SyntheticScan scan(s);
        for (uint64_t telegram = 0; telegram < 5; ++telegram) {
            const auto datagrams = scan.nextSlot();
            ASSERT_EQ(datagrams.size(), 1u);
            ASSERT_EQ(datagrams[0].bytes.size(), SyntheticScan::frameSize(s));
            const Decoded d(datagrams[0].bytes);
            EXPECT_EQ(d.frame()->header()->telegram_counter(), 1 + telegram);
            EXPECT_EQ(d.frame()->header()->telegram_version(), s.telegramVersion);
            ASSERT_EQ(d.frame()->modules()->size(), s.modulesPerFrame);
            for (uint32_t m = 0; m < s.modulesPerFrame; ++m) {
                const auto* meta = d.frame()->modules()->at(m)->metadata();
                const uint64_t segment = telegram * s.modulesPerFrame + m;
                EXPECT_EQ(std::tuple(meta->segment_counter(), meta->frame_number(),
                                     meta->num_lines(), meta->num_beams(), meta->num_echos()),
                          std::tuple(segment, segment / 12, s.lines, s.beams, s.echoes));
                EXPECT_EQ(std::tuple(meta->data_content_echos()->has_distance(),
                                     meta->data_content_echos()->has_rssi(),
                                     meta->data_content_beams()->has_theta(),
                                     meta->data_content_beams()->has_properties()),
                          std::tuple(s.hasDistance, s.hasRssi, s.hasTheta, s.hasProperties));
                // Segment k of 12 spans theta -180 + 30 k to -150 + 30 k degrees.
                const double thetaStart = (-180.0 + 30.0 * double(segment % 12)) * degree;
                EXPECT_NEAR(meta->theta_start()->at(0), thetaStart, 1e-6);
                EXPECT_NEAR(meta->theta_stop()->at(0), thetaStart + 30 * degree, 1e-6);
            }
        }
    }
}

// A shape is either refused, or every frame of it decodes: the scan's limits are the receiver's.
// Objects of a frame: 1 (header) + modules * (4 + beams * (1 + lines * (1 + P + echoes))), with P
// 1 when the property byte is present; the cap is 2^18 = 262144. Bytes: a UDP datagram carries
// at most 65507.
TEST(SyntheticScan, RefusesShapesBeyondTheReceiversLimitsAndAcceptsThoseAtThem) {
    constexpr unsigned none = 0x0, all = 0xF, distanceRssi = 0x3, rssiProperties = 0xA,
                       thetaProperties = 0xC;
    const struct {
        const char* what;
        ScanSettings settings;
        bool accepted;
    } cases[] = {
        {"262145 objects in 12160 bytes", shape(302, 4, 215, 1, 4, thetaProperties), false},
        {"260937 objects", shape(302, 4, 214, 1, 4, thetaProperties), true},
        {"262145 objects in 2 modules", shape(258, 4, 126, 2, 4, none), false},
        {"260081 objects in 2 modules", shape(258, 4, 125, 2, 3, none), true},
        {"262144 objects in 3 modules", shape(1, 3799, 21, 3, 3, none), true},
        {"262144 objects in 3 modules, v4", shape(1, 3799, 21, 3, 4, none), true},
        {"65507 bytes", shape(3, 947, 5, 1, 4, all), true},
        {"65507 bytes, v3", shape(1, 21801, 1, 1, 3, rssiProperties), true},
        {"65508 bytes", shape(1, 4360, 3, 1, 4, all), false},
        {"65508 bytes in 2 modules, v3", shape(1, 8167, 1, 2, 3, distanceRssi), false},
        {"65508 bytes in 3 modules", shape(18, 394, 2, 3, 4, thetaProperties), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<SyntheticScan> scan;
        try {
            scan.emplace(c.settings);
        } catch (const std::invalid_argument&) {
            EXPECT_FALSE(c.accepted) << "refused, though within the limits";
            continue;
        }
        EXPECT_TRUE(c.accepted) << "accepted, though beyond a limit";
        for (int frame = 0; frame < 2; ++frame) {
            const std::string bytes = scan->nextSlot().at(0).bytes;
            EXPECT_LE(bytes.size(), compact::wire::maxDatagramBytes);
            EXPECT_NO_THROW(Decoded{bytes});
        }
    }
}

TEST(SyntheticScan, FaultsGiveExactLossAndParseErrorCounts) {
    ScanSettings s = shape(2, 8, 1, 1, 4, 0xF);
    s.skipEvery = 3;
    s.badEvery = 3;
    SyntheticScan scan(s);
    Status status("unused.csv", 5000);
    const DatagramKind cycle[] = {DatagramKind::wrongMagic, DatagramKind::unsupportedVersion,
                                  DatagramKind::truncated};
    size_t malformed = 0;
    while (scan.framesProduced() < 20) {
        for (const auto& datagram : scan.nextSlot()) {
            try {
                const Decoded d(datagram.bytes);
                EXPECT_EQ(datagram.kind, DatagramKind::frame);
                status.telegramReceived(d.frame()->header()->telegram_counter());
            } catch (const kaitai::kstruct_error&) {
                EXPECT_EQ(datagram.kind, cycle[malformed++ % 3]);
                status.parseErrorOccured();
            } catch (const std::ios_base::failure&) {
                EXPECT_EQ(datagram.kind, cycle[malformed++ % 3]);
                status.parseErrorOccured();
            }
        }
    }
    // 20 frames take counters 1..29 without 3, 6, ..., 27; a malformed one after every third.
    EXPECT_EQ(scan.telegramsProduced(), 29u);
    EXPECT_EQ(status.telegramsReceived(), 20u);
    EXPECT_EQ(status.lostTelegrams(), 9u);
    EXPECT_EQ(status.parseErrors(), 6u);
}

}  // namespace
