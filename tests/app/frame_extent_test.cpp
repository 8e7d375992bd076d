// Tests of the extent of the frames of a run, through its text: counts per module, angles over
// all lines.
#include "app/frame_extent.h"

#include <gtest/gtest.h>

#include <cmath>

#include "format/compact_wire.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"

// Frame descriptions name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::ModuleSpec;

// A module of the given shape whose lines have the given angles in degrees (NaN allowed).
ModuleSpec module(uint32_t lines, uint32_t beams, uint32_t echoes, std::vector<double> phi,
                  std::vector<double> thetaStart, std::vector<double> thetaStop) {
    ModuleSpec m = compact::makeModule(lines, beams, echoes);
    for (auto [to, from] :
         {std::pair{&m.phi, &phi}, {&m.thetaStart, &thetaStart}, {&m.thetaStop, &thetaStop}}) {
        to->clear();
        for (double d : *from)
            to->push_back(static_cast<float>(d * compact::wire::radiansPerDegree));
    }
    return m;
}

TEST(FrameExtent, TextNamesTheCountsAndTheAnglesWithoutNaN) {
    const double nan = NAN;
    const std::pair<std::vector<std::vector<ModuleSpec>>, std::string> cases[] = {
        {{}, "frames held no modules"},
        {{{}, {}}, "frames held no modules"},
        {{{module(1, 8, 1, {0.27}, {-30}, {0}),
           module(3, 4, 0, {1, 2, 3}, {0, 0, 0}, {30, 30, 30})}},
         "frames held 1..3 lines, 4..8 beams, 0..1 echoes; phi 0.3..3 deg, theta -30..30 deg"},
        {{{module(1, 1, 1, {-0.04}, {1.26}, {1.34})}},
         "frames held 1 line, 1 beam, 1 echo; phi 0 deg, theta 1.3 deg"},
        // NaN first: a NaN taken in would stick, as no comparison replaces it.
        {{{module(3, 2, 3, {nan, 10, -20}, {nan, -90, 0}, {nan, nan, 100}),
           module(1, 6, 2, {nan}, {nan}, {nan})},
          {module(2, 4, 1, {-1.5, 1.5}, {-45, -45}, {45, 45})}},
         "frames held 1..3 lines, 2..6 beams, 1..3 echoes; phi -20..10 deg, theta -90..100 deg"},
        {{{module(0, 2, 1, {}, {}, {}), module(1, 2, 1, {nan}, {nan}, {nan})}},
         "frames held 0..1 lines, 2 beams, 1 echo; phi none, theta none"},
    };
    for (const auto& [frames, text] : cases) {
        FrameExtent extent;
        for (const auto& modules : frames) {
            const std::string datagram = compact::encodeFrame({.modules = modules});
            compact::FrameView view;
            ASSERT_TRUE(view.parse(datagram.data(), datagram.size())) << view.error().message();
            for (const compact::ModuleView& m : view) extent.add(m);
        }
        EXPECT_EQ(extent.text(), text);
    }
}

}  // namespace
