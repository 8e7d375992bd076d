// Tests of the CSV writer: header and row text (the worked example's against the golden rows in
// tests/data), line/beam/echo selection and header changes. Byte-identical text with the
// tree-walking stream writer it replaced, for frames of every layout under every kind of filter,
// numbers at the edges of their text form and rows longer than the writer's buffer:
// fuzz_differential, which ctest runs on the generated seeds.
#include "csv/compact_csv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "generators/compact_frame_builder.h"
#include "support/files.h"
#include "support/frames.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::ModuleSpec;
using testing_support::csvOf;
using testing_support::goldenFile;

std::string frameOf(std::vector<ModuleSpec> modules) {
    return compact::encodeFrame({.modules = std::move(modules)});
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) c == separator ? parts.emplace_back() : parts.back() += c;
    return parts;
}

// Condenses short-style CSV without angle columns into "b<first>-<last>e<first>-<last>" per
// header (its beams and echoes, "-" for none) and "<segment>:<line>" per row. Fails the test when a
// row's field count differs from its header's.
std::string summary(const std::string& csv) {
    auto range = [](const std::vector<int>& v) {
        return v.empty() ? "-" : std::to_string(v.front()) + "-" + std::to_string(v.back());
    };
    std::string result;
    size_t columns = 0;
    for (const auto& text : split(csv, '\n')) {
        const auto fields = split(text, ',');
        if (text.starts_with("sender_id,")) {
            columns = fields.size();
            std::vector<int> beams, echoes;
            for (int b = 0, e = 0; const auto& name : fields) {
                const int found = std::sscanf(name.c_str(), "B%dE%d", &b, &e);  // 1 for "B<b>P"
                if (found == 1) beams.push_back(b);
                if (found == 2) echoes.push_back(e);
            }
            result += " b" + range(beams) + "e" + range(echoes);
        } else if (!text.empty()) {
            EXPECT_EQ(fields.size(), columns) << text;
            result += " " + fields.at(2) + ":" + fields.at(3);
        }
    }
    return result.empty() ? result : result.substr(1);
}

ModuleSpec module(uint32_t lines, uint32_t beams, uint32_t echoes, uint64_t segment = 0) {
    auto input = compact::makeModule(lines, beams, echoes);
    input.segmentCounter = segment;
    return input;
}

TEST(CompactCsvText, WorkedExampleInBothStyles) {
    const std::string frame = testing_support::fromHex(goldenFile("worked_example.hex"));
    EXPECT_EQ(csvOf({}, {frame}), goldenFile("worked_example.csv"));
    EXPECT_EQ(csvOf({.shortHeaders = true, .omitAngles = true}, {frame}),
              goldenFile("worked_example_short.csv"));
}

// One line of eight beams without echoes; beam b lies at start + b * (stop - start) / 8.
ModuleSpec eightBeams(float start, float stop, uint64_t segment = 0) {
    ModuleSpec line = module(1, 8, 0, segment);
    std::tie(line.thetaStart, line.thetaStop) = std::tuple(std::vector{start}, std::vector{stop});
    return line;
}

// Every filter alone. Theta: two lines of four beams, line 0 over 0..1 (step 0.25) and line 1 by
// default over 0..2 (step 0.5); a rising line of eight beams at -1 + 0.25 b and a falling one at
// 1 - 0.25 b; a range keeps the beams of a line it overlaps, one angle picks the nearest beam.
TEST(CompactCsvSelection, WritesTheSelectedLinesBeamsAndEchoes) {
    ModuleSpec phis = module(6, 1, 1);
    phis.phi = {0.0f, 0.3f, 0.9f, 0.0f, 0.35f, NAN};
    auto theta = [](std::vector<float> start, std::vector<float> stop) {
        auto input = module(2, 4, 1);
        std::tie(input.thetaStart, input.thetaStop) = std::tie(start, stop);
        return input;
    };
    const ModuleSpec rising = eightBeams(-1.0f, 1.0f), falling = eightBeams(1.0f, -1.0f);
    using Case = std::tuple<CompactCSV::Options, std::vector<ModuleSpec>, const char*>;
    const Case cases[] = {
        {{}, {module(2, 3, 2), module(1, 1, 1)}, "b0-2e0-1 0:0 0:1 b0-0e0-0 0:0"},
        // The low 32 bits of the segment counter, signed: 6, 5 and -1.
        {{.segment = {-1, 5}},
         {module(1, 1, 1, 6), module(1, 1, 1, 0x100000005), module(1, 1, 1, 0xFFFFFFFF)},
         "b0-0e0-0 4294967301:0 4294967295:0"},
        {{.line = {3, 10}}, {module(5, 1, 1)}, "b0-0e0-0 0:3 0:4"},
        {{.line = {7, 9}}, {module(5, 1, 1)}, ""},
        {{.beam = {2, 9}}, {module(1, 4, 1)}, "b2-3e0-0 0:0"},
        {{.beam = {5, 6}}, {module(1, 4, 1), module(1, 5, 2)}, "b-e- 0:0 0:0"},  // one header
        {{.echo = {1, 5}}, {module(1, 2, 3)}, "b0-1e1-2 0:0"},
        {{}, {module(1, 2, 0)}, "b0-1e- 0:0"},
        {{}, {module(2, 0, 1)}, "b-e- 0:0 0:1"},
        {{.phi = {0.45f}, .phiTolerance = 0.3f}, {phis}, "b0-0e0-0 0:1"},  // not the nearest, 4
        {{.phi = {0.9f}, .phiTolerance = -0.1f}, {phis}, ""},
        {{.phi = {0.6f}, .phiTolerance = 0.1f}, {phis}, ""},
        {{.phi = {0.25f, 0.4f}}, {phis}, "b0-0e0-0 0:1 0:2 0:3 0:4"},
        // Line 0: 0.625 / 0.25 = 2.5 rounds to beam 3; line 1: 0.625 / 0.5 = 1.25 to beam 1.
        {{.theta = {0.625f}}, {theta({0, 0}, {1, 2})}, "b3-3e0-0 0:0 b1-1e0-0 0:1"},
        // On line 0, -0.5 rounds to beam -1, and 4 is one beyond the last beam.
        {{.theta = {-0.125f}}, {theta({0, 0}, {1, 2})}, "b0-0e0-0 0:1"},
        {{.theta = {0.25f, 1.0f}}, {theta({0, 0}, {1, 2})}, "b1-3e0-0 0:0 b1-2e0-0 0:1"},
        // A zero and an infinite step on line 0.
        {{.theta = {0.3f}}, {theta({0.3f, 0}, {0.3f, 2})}, "b1-1e0-0 0:1"},
        {{.theta = {0.3f}}, {theta({0, 0}, {INFINITY, 2})}, "b1-1e0-0 0:1"},
        {{.theta = {-0.5f, 0.25f}}, {rising}, "b2-5e- 0:0"},
        // Rounding first: -0.4 of a step rounds to beam 0, -0.5 (away from zero) to beam -1.
        {{.theta = {-3.0f, -1.1f}}, {rising}, "b0-0e- 0:0"},
        {{.theta = {-3.0f, -1.125f}}, {rising}, ""},
        // Theta falling along the line: the two indices are ordered.
        {{.theta = {-0.5f, 0.25f}}, {falling}, "b3-6e- 0:0"},
        {{.theta = {0.5f}}, {falling}, "b2-2e- 0:0"},
        // Two modules meeting at theta 0: a range around the boundary gives each its part.
        {{.theta = {-0.5f, 0.5f}},
         {eightBeams(-2.0f, 0.0f, 0), eightBeams(0.0f, 2.0f, 1)},
         "b6-7e- 0:0 b0-2e- 1:0"},
    };
    for (const auto& c : cases) {
        auto [options, modules, expected] = c;
        options.shortHeaders = options.omitAngles = true;
        EXPECT_EQ(summary(csvOf(options, {frameOf(modules)})), expected) << "case " << &c - cases;
    }
}

}  // namespace
