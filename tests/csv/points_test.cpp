// Tests of the points: every column against the tree decoder's values under the CSV writer's
// selection, for both telegram versions, with and without per-beam theta, rssi and property
// byte, with filters and echoes without return; and the simulator's scan, whose points must lie
// on the surfaces of its scene.
#include "csv/points.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>
#include <tuple>
#include <vector>

#include "format/compact_frame_magic.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "generators/synthetic_scan.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::PointColumns;
using F = ravo::compact_frame_t;

struct Layout {
    const char* name;
    uint32_t version;
    uint8_t echoFlags;
    uint8_t beamFlags;
    CompactCSV::Options filters;
};

// Two modules of 3 lines x 4 beams x 2 echoes, the second of segment 8; every third echo has no
// return; raw theta far from where theta_start and theta_stop put the beam.
std::string frameOf(const Layout& layout) {
    compact::FrameSpec frame{.telegramVersion = layout.version};
    for (uint64_t segment : {7, 8}) {
        compact::ModuleSpec module = compact::makeModule(3, 4, 2);
        module.segmentCounter = segment;
        module.distanceScalingFactor = 0.1f;
        module.dataContentEchos = layout.echoFlags;
        module.dataContentBeams = layout.beamFlags;
        for (size_t m = 0; m < module.measurements.size(); ++m) {
            module.measurements[m].theta = static_cast<uint16_t>(20000 + 37 * m);
            for (size_t e = 0; e < 2; ++e) {
                if ((m * 2 + e) % 3 == 0) module.measurements[m].echos[e].distance = 0;
            }
        }
        frame.modules.push_back(module);
    }
    return compact::encodeFrame(frame);
}

// One point: segment, line, beam, echo, timestamp_start, phi, theta, distance, rssi, properties.
using Point = std::tuple<uint64_t, int, int, int, uint64_t, double, double, double, int, int>;

std::vector<Point> pointsOf(const PointColumns& p) {
    std::vector<Point> out;
    for (size_t i = 0; i < p.size(); ++i) {
        out.emplace_back(p.segmentCounter[i], p.line[i], p.beam[i], p.echo[i], p.timestampStart[i],
                         p.phi[i], p.theta[i], p.distance[i], p.rssi[i], p.properties[i]);
    }
    return out;
}

// The points as the tree decoder sees the frame: its values, in the CSV writer's selection.
std::vector<Point> treePoints(const std::string& bytes, const CompactCSV::Options& filters) {
    compact::FrameView view;
    EXPECT_TRUE(view.parse(bytes.data(), bytes.size()));
    kaitai::kstream io(bytes);
    const ravo::compact_frame_magic_t tree(&io);
    std::ostringstream discard;
    const CompactCSV selector(filters, discard);
    std::vector<CompactCSV::Selection> rows;
    std::vector<Point> out;
    auto module = view.begin();
    for (const auto& decoded : *tree.frame()->modules()) {
        const F::metadata_t* meta = decoded->metadata();
        selector.selection(*module, rows);
        ++module;
        if (!meta->data_content_echos()->has_distance()) continue;
        for (const CompactCSV::Selection& row : rows) {
            const auto l = static_cast<size_t>(row.line);
            const double start = meta->theta_start()->at(l);
            const double stop = meta->theta_stop()->at(l);
            for (int b = row.beamFirst; b <= row.beamLast; ++b) {
                const F::measurement_data_t* m =
                    decoded->beams()->at(static_cast<size_t>(b))->measurement_data()->at(l).get();
                const int properties =
                    meta->data_content_beams()->has_properties()
                        ? m->beam_properties()->upper_bits() * 2 + m->beam_properties()->bit_0()
                        : PointColumns::absentProperties;
                for (int e = row.echoFirst; e <= row.echoLast; ++e) {
                    const F::echo_t* echo = m->echos()->at(static_cast<size_t>(e)).get();
                    if (echo->distance_raw() == 0) continue;
                    out.emplace_back(meta->segment_counter(), row.line, b, e,
                                     meta->timestamp_start()->at(l), meta->phi()->at(l),
                                     meta->data_content_beams()->has_theta()
                                         ? m->theta_rad()
                                         : start + b * (stop - start) / meta->num_beams(),
                                     echo->distance(),
                                     meta->data_content_echos()->has_rssi()
                                         ? echo->rssi()
                                         : PointColumns::absentRssi,
                                     properties);
                }
            }
        }
    }
    return out;
}

class PointsOfLayout : public testing::TestWithParam<Layout> {};

// x, y, z: the scene test below.
TEST_P(PointsOfLayout, AreTheTreeDecodersValuesOfTheSelectedEchoes) {
    const std::string bytes = frameOf(GetParam());
    compact::FrameView frame;
    ASSERT_TRUE(frame.parse(bytes.data(), bytes.size()));
    compact::PointMaker maker(GetParam().filters);
    PointColumns points;
    maker.add(frame, points);
    EXPECT_EQ(pointsOf(points), treePoints(bytes, GetParam().filters));
    EXPECT_EQ(maker.count(frame), points.size());
}

const Layout layouts[] = {
    {"Version4AllValues", 4, 0x03, 0x03, {}},
    {"Version3AllValues", 3, 0x03, 0x03, {}},
    {"Version4DistanceOnly", 4, 0x01, 0x00, {}},
    {"Version4RssiWithoutDistance", 4, 0x02, 0x03, {}},
    {"Version3FilteredByPhiAndTheta",
     3,
     0x01,
     0x00,
     {.theta = {0.1f}, .phi = {0.0f}, .echo = {1, 1}}},
};
INSTANTIATE_TEST_SUITE_P(Points, PointsOfLayout, testing::ValuesIn(layouts),
                         [](const auto& test) { return std::string(test.param.name); });

// Distance from a point to the surface of an axis-aligned box, inside or outside it.
double surfaceDistance(const compact::SceneBox& box, const std::array<double, 3>& p) {
    double outside = 0;
    double inside = INFINITY;
    for (size_t a = 0; a < 3; ++a) {
        const double beyond = std::max({box.min[a] - p[a], 0.0, p[a] - box.max[a]});
        outside += beyond * beyond;
        inside = std::min({inside, p[a] - box.min[a], box.max[a] - p[a]});
    }
    return outside > 0 ? std::sqrt(outside) : inside;
}

struct Scan {
    const char* name;
    compact::ScanSettings settings;
};

class PointsOfScene : public testing::TestWithParam<Scan> {};

// The simulator traces its beams through the room and the cabinet in metres and sends
// millimetres: first returns placed by the points must lie on one of their surfaces.
TEST_P(PointsOfScene, FirstReturnsLieOnTheRoomOrTheCabinet) {
    constexpr double metresPerMm = 0.001;
    constexpr double toleranceM = 0.01;
    const compact::ScanSettings& settings = GetParam().settings;
    compact::SyntheticScan scan(settings);
    compact::PointMaker maker({.echo = {0, 0}});
    PointColumns points;
    const uint32_t segments = settings.segmentsPerRotation;
    for (uint32_t i = 0; i < segments; ++i) {
        const std::string bytes = compact::encodeFrame(scan.nextFrame());
        compact::FrameView frame;
        ASSERT_TRUE(frame.parse(bytes.data(), bytes.size()));
        maker.add(frame, points);
    }
    ASSERT_EQ(points.size(), size_t{segments} * settings.lines * settings.beams);
    size_t onSurface = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const std::array<double, 3> p{points.x[i] * metresPerMm, points.y[i] * metresPerMm,
                                      points.z[i] * metresPerMm};
        onSurface += std::min(surfaceDistance(compact::sceneRoom, p),
                              surfaceDistance(compact::sceneBox, p)) <= toleranceM;
    }
    EXPECT_GE(onSurface * 100, points.size() * 99) << onSurface << " of " << points.size();
}

const Scan scans[] = {
    {"Version4", {}},
    {"Version3WithoutTheta", {.telegramVersion = 3, .hasTheta = false}},
};
INSTANTIATE_TEST_SUITE_P(Points, PointsOfScene, testing::ValuesIn(scans),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
