// Tests of the synthetic scan: its frames decode with the project's decoder and carry the shape,
// counters, flags and geometry asked for, and its injected faults produce exactly the loss and
// parse-error counts a receiver reports.
#include "synthetic_scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ios>
#include <numbers>
#include <stdexcept>

#include "compact_frame.h"
#include "compact_frame_magic.h"
#include "kaitaistream.h"
#include "status.h"

namespace compact {
void PrintTo(const ScanSettings& s, std::ostream* os) {
    *os << s.lines << "x" << s.beams << "x" << s.echoes << " x" << s.modulesPerFrame << " v"
        << s.telegramVersion << " values " << s.hasDistance << s.hasRssi << s.hasTheta
        << s.hasProperties;
}
}  // namespace compact

namespace {

using compact::DatagramKind;
using compact::ScanSettings;
using compact::SyntheticScan;

constexpr double degree = std::numbers::pi / 180;

// Decodes one datagram as the receiver does; the frame tree lives as long as the object.
struct Decoded {
    explicit Decoded(const std::string& bytes) : io(bytes), magic(&io) {}
    ravo::compact_frame_t::module_t& module(size_t i) const { return *frame()->modules()->at(i); }
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

class SyntheticScanShape : public testing::TestWithParam<ScanSettings> {};

TEST_P(SyntheticScanShape, FramesDecodeWithShapeCountersAndFlags) {
    const ScanSettings s = GetParam();
    SyntheticScan scan(s);
    for (uint64_t telegram = 0; telegram < 3; ++telegram) {
        const auto datagrams = scan.nextSlot();
        ASSERT_EQ(datagrams.size(), 1u);
        ASSERT_EQ(datagrams[0].bytes.size(), SyntheticScan::frameSize(s));
        const Decoded d(datagrams[0].bytes);
        EXPECT_EQ(d.frame()->header()->telegram_counter(), 1 + telegram);
        EXPECT_EQ(d.frame()->header()->telegram_version(), s.telegramVersion);
        ASSERT_EQ(d.frame()->modules()->size(), s.modulesPerFrame);
        for (uint32_t m = 0; m < s.modulesPerFrame; ++m) {
            const auto* meta = d.module(m).metadata();
            const uint64_t segment = telegram * s.modulesPerFrame + m;
            EXPECT_EQ(meta->segment_counter(), segment);
            EXPECT_EQ(meta->frame_number(), segment / 12);
            EXPECT_EQ(meta->num_lines(), s.lines);
            EXPECT_EQ(meta->num_beams(), s.beams);
            EXPECT_EQ(meta->num_echos(), s.echoes);
            EXPECT_EQ(meta->data_content_echos()->has_distance(), s.hasDistance);
            EXPECT_EQ(meta->data_content_echos()->has_rssi(), s.hasRssi);
            EXPECT_EQ(meta->data_content_beams()->has_theta(), s.hasTheta);
            EXPECT_EQ(meta->data_content_beams()->has_properties(), s.hasProperties);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SyntheticScanShape,
                         testing::Values(ScanSettings{}, shape(4, 10, 2, 3, 3, 0xF),
                                         shape(2, 5, 1, 2, 4, 0x5), shape(3, 7, 0, 1, 3, 0xA),
                                         shape(1, 1, 4, 1, 4, 0x0)));

TEST(SyntheticScan, GeometryFollowsTheRotationAndTheScene) {
    SyntheticScan scan(ScanSettings{});
    uint64_t lastStart = 0;
    for (int segment = 0; segment < 13; ++segment) {
        const Decoded d(scan.nextSlot().at(0).bytes);
        const auto& module = d.module(0);
        const auto* meta = module.metadata();
        const auto& phi = *meta->phi();
        EXPECT_NEAR(phi.front(), -15 * degree, 1e-6);
        EXPECT_NEAR(phi.back(), 15 * degree, 1e-6);
        // Segments start 1/240 s apart, in microseconds.
        if (segment > 0) {
            EXPECT_NEAR(meta->timestamp_start()->at(0) - lastStart, 1e6 / 240, 1);
        }
        lastStart = meta->timestamp_start()->at(0);
        for (uint32_t l = 0; l < meta->num_lines(); ++l) {
            const float ts = meta->theta_start()->at(l), te = meta->theta_stop()->at(l);
            EXPECT_NEAR(ts, (-180 + (segment % 12) * 30) * degree, 1e-6);
            EXPECT_NEAR(te, (-150 + (segment % 12) * 30) * degree, 1e-6);
            if (l > 0) {
                EXPECT_GT(phi[l], phi[l - 1]);
            }
            // A receiver maps theta back to a beam index as round((theta - ts) / step).
            const float step = (te - ts) / static_cast<float>(meta->num_beams());
            for (uint32_t b = 0; b < meta->num_beams(); ++b) {
                const auto& measurement = *module.beams()->at(b)->measurement_data()->at(l);
                EXPECT_EQ(std::lround((measurement.theta_rad() - ts) / step), long{b});
                const auto expected = compact::traceScene(measurement.theta_rad(), phi[l]);
                const auto& echos = *measurement.echos();
                EXPECT_NEAR(echos[0]->distance(), expected[0].rangeMm, 0.5);
                EXPECT_EQ(echos[0]->rssi(), expected[0].rssi);
                EXPECT_EQ(measurement.beam_properties()->bit_0(), expected[0].onBox);
                EXPECT_EQ(echos[1]->distance_raw() != 0, expected.size() > 1);
                EXPECT_EQ(echos[2]->distance_raw(), 0);
            }
        }
    }
}

TEST(SyntheticScan, SceneReturnsNearestSurfaceThenWallBehindBox) {
    struct Ray {
        double thetaDeg, phiDeg, firstMm;
        bool onBox;
    };
    const Ray rays[] = {
        {0, 0, 2500, true},                               // box front face, then the front wall
        {90, 0, 7000, false},                             // left wall
        {-90, 0, 5000, false},                            // right wall
        {45, 0, 7000 * std::sqrt(2.0), false},            // left wall before the front one
        {0, -30, 2500 / std::cos(30 * degree), true},     // box, low
        {180, -30, 1500 / std::sin(30 * degree), false},  // floor
        {180, 60, 2000 / std::sin(60 * degree), false},   // ceiling
    };
    for (const Ray& ray : rays) {
        SCOPED_TRACE(testing::Message() << "theta " << ray.thetaDeg << ", phi " << ray.phiDeg);
        const auto echoes = compact::traceScene(ray.thetaDeg * degree, ray.phiDeg * degree);
        ASSERT_EQ(echoes.size(), ray.onBox ? 2u : 1u);
        EXPECT_NEAR(echoes[0].rangeMm, ray.firstMm, 1e-6);
        EXPECT_EQ(echoes[0].onBox, ray.onBox);
        EXPECT_GT(echoes[0].rssi, 0);
        if (!ray.onBox) continue;
        EXPECT_GT(echoes[1].rangeMm, echoes[0].rangeMm);
        EXPECT_LT(echoes[1].rssi, echoes[0].rssi);
    }
    EXPECT_NEAR(compact::traceScene(0, 0).at(1).rangeMm, 10000, 1e-6);
}

TEST(SyntheticScan, FaultsGiveExactLossAndParseErrorCounts) {
    ScanSettings s = shape(2, 8, 1, 1, 4, 0xF);
    s.skipEvery = 3;
    s.badEvery = 2;
    SyntheticScan scan(s);
    Status status("unused.csv", 5000);
    std::vector<DatagramKind> malformed;
    while (scan.framesProduced() < 20) {
        for (const auto& datagram : scan.nextSlot()) {
            if (datagram.kind != DatagramKind::frame) malformed.push_back(datagram.kind);
            try {
                const Decoded d(datagram.bytes);
                EXPECT_EQ(datagram.kind, DatagramKind::frame);
                status.telegramReceived(d.frame()->header()->telegram_counter());
            } catch (const kaitai::kstruct_error&) {
                status.parseErrorOccured();
            } catch (const std::ios_base::failure&) {
                EXPECT_EQ(datagram.kind, DatagramKind::truncated);
                status.parseErrorOccured();
            }
        }
    }
    // 20 frames take counters 1..29 without 3, 6, ..., 27; a malformed one after every second.
    EXPECT_EQ(scan.telegramsProduced(), 29u);
    EXPECT_EQ(status.telegramsReceived(), 20u);
    EXPECT_EQ(status.lostTelegrams(), 9u);
    EXPECT_EQ(status.parseErrors(), 10u);
    ASSERT_EQ(malformed.size(), 10u);
    const DatagramKind cycle[] = {DatagramKind::wrongMagic, DatagramKind::unsupportedVersion,
                                  DatagramKind::truncated};
    for (size_t i = 0; i < malformed.size(); ++i) EXPECT_EQ(malformed[i], cycle[i % 3]) << i;
}

TEST(SyntheticScan, RejectsSettingsOutsideTheirRange) {
    const ScanSettings invalid[] = {
        shape(0, 240, 3, 1, 4, 0xF),    shape(16, 240, 256, 1, 4, 0xF),
        shape(16, 240, 3, 1, 2, 0xF),   shape(16, 240, 3, 1, 5, 0xF),
        shape(16, 240, 3, 2, 4, 0xF),    // 116 KB: more than one datagram carries
        shape(1024, 2048, 0, 1, 4, 0x0)  // few bytes, but millions of objects to decode
    };
    for (const ScanSettings& s : invalid) EXPECT_THROW(SyntheticScan{s}, std::invalid_argument);
    ScanSettings skipAll;
    skipAll.skipEvery = 1;
    EXPECT_THROW(SyntheticScan{skipAll}, std::invalid_argument);
}

}  // namespace
