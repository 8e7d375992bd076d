// Tests of the CSV writer: header and row text (the worked example's against the golden rows in
// tests/data), line/beam/echo selection, header changes, an output that cannot be opened.
#include "csv/compact_csv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
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

// Floats are widened to double and written as "%g": 6 significant digits.
TEST(CompactCsvText, NumbersUseTheDefaultStreamFormatting) {
    auto input = module(10, 1, 1, UINT64_MAX);
    input.senderId = UINT32_MAX;
    input.phi = {1.5707964f, -0.0872665f, 0.0f,          -0.0f, 1e-05f,
                 123456.7f,  1234567.0f,  3.4028235e38f, NAN,   -NAN};
    std::string phis;
    for (const auto& row : split(csvOf({}, {frameOf({input})}), '\n')) {
        const auto fields = split(row, ',');
        if (fields.size() < 7 || fields[0] == "sender_id") continue;
        EXPECT_EQ(fields[0], "4294967295");
        EXPECT_EQ(fields[2], "18446744073709551615");
        phis += fields[6] + " ";
    }
    EXPECT_EQ(phis, "1.5708 -0.0872665 0 -0 1e-05 123457 1.23457e+06 3.40282e+38 nan -nan ");
}

// Values the frame does not carry are empty fields; the byte as received otherwise.
TEST(CompactCsvText, AbsentValuesAreEmptyFields) {
    using Case = std::tuple<uint8_t, uint8_t, const char*>;  // echo flags, beam flags, row end
    for (const auto& [echoFlags, beamFlags, tail] :
         {Case{0x01, 0x03, ",255,250,\n"}, Case{0x02, 0x01, ",255,,120\n"},
          Case{0x03, 0x02, ",,250,120\n"}, Case{0xFC, 0x00, ",,,\n"}}) {
        auto input = module(1, 1, 1);
        input.measurements[0] = {{{250, 120}}, 0xFF, 16384};
        input.dataContentEchos = echoFlags;
        input.dataContentBeams = beamFlags;
        const auto csv = csvOf({.shortHeaders = true, .omitAngles = true}, {frameOf({input})});
        EXPECT_TRUE(csv.ends_with(tail)) << csv;
        EXPECT_EQ(summary(csv), "b0-0e0-0 0:0");
    }
}

// Every value of a row comes from its own beam, line and echo (beam-major measurements), under
// a header naming those beams and echoes.
TEST(CompactCsvText, RowValuesComeFromTheSelectedBeamLineAndEcho) {
    const auto input = module(3, 4, 2);
    std::string expected =
        "sender_id,frame_number,segment_counter,line,timestamp_start,"
        "timestamp_stop,beam[1]_prop,beam[1]_echo[1]_dist,beam[1]_echo[1]_rssi,beam[2]_prop,"
        "beam[2]_echo[1]_dist,beam[2]_echo[1]_rssi\n1,1,0,1," +
        std::to_string(input.timestampStart[1]) + "," + std::to_string(input.timestampStop[1]);
    for (const auto& m : {input.measurements[1 * 3 + 1], input.measurements[2 * 3 + 1]}) {
        expected += "," + std::to_string(m.properties) + "," + std::to_string(m.echos[1].distance) +
                    "," + std::to_string(m.echos[1].rssi);
    }
    EXPECT_EQ(csvOf({.beam = {1, 2}, .line = {1, 1}, .echo = {1, 1}, .omitAngles = true},
                    {frameOf({input})}),
              expected + "\n");
}

// Every filter alone; two lines of four beams for theta: line 0 spans 0..1 (step 0.25), line 1
// by default 0..2 (step 0.5).
TEST(CompactCsvSelection, WritesTheSelectedLinesBeamsAndEchoes) {
    ModuleSpec phis = module(6, 1, 1);
    phis.phi = {0.0f, 0.3f, 0.9f, 0.0f, 0.35f, NAN};
    auto theta = [](std::vector<float> start, std::vector<float> stop) {
        auto input = module(2, 4, 1);
        std::tie(input.thetaStart, input.thetaStop) = std::tie(start, stop);
        return input;
    };
    using Case = std::tuple<CompactCSV::Options, std::vector<ModuleSpec>, const char*>;
    const Case cases[] = {
        {{}, {module(2, 3, 2), module(1, 1, 1)}, "b0-2e0-1 0:0 0:1 b0-0e0-0 0:0"},
        // The low 32 bits of the segment counter, signed: 6, 5 and -1.
        {{.segment = {-1, 5}},
         {module(1, 1, 1, 6), module(1, 1, 1, 0x100000005), module(1, 1, 1, 0xFFFFFFFF)},
         "b0-0e0-0 4294967301:0 4294967295:0"},
        {{.line = {3, 10}}, {module(5, 1, 1)}, "b0-0e0-0 0:3 0:4"},
        {{.line = {-2, 0}}, {module(5, 1, 1)}, "b0-0e0-0 0:0"},
        {{.line = {7, 9}}, {module(5, 1, 1)}, ""},
        {{.beam = {2, 9}}, {module(1, 4, 1)}, "b2-3e0-0 0:0"},
        {{.beam = {5, 6}}, {module(1, 4, 1), module(1, 5, 2)}, "b-e- 0:0 0:0"},  // one header
        {{.echo = {1, 5}}, {module(1, 2, 3)}, "b0-1e1-2 0:0"},
        {{.echo = {3, 4}}, {module(1, 2, 3)}, "b0-1e- 0:0"},
        {{}, {module(1, 2, 0)}, "b0-1e- 0:0"},
        {{}, {module(2, 0, 1)}, "b-e- 0:0 0:1"},
        {{.phi = {0.45f}, .phiTolerance = 0.3f}, {phis}, "b0-0e0-0 0:1"},  // not the nearest, 4
        {{.phi = {0.9f}}, {phis}, "b0-0e0-0 0:2"},
        {{.phi = {0.9f}, .phiTolerance = -0.1f}, {phis}, ""},
        {{.phi = {0.6f}, .phiTolerance = 0.1f}, {phis}, ""},
        {{.phi = {0.25f, 0.4f}}, {phis}, "b0-0e0-0 0:1 0:2 0:3 0:4"},
        // Line 0: 0.625 / 0.25 = 2.5 rounds to beam 3; line 1: 0.625 / 0.5 = 1.25 to beam 1.
        {{.theta = {0.625f}}, {theta({0, 0}, {1, 2})}, "b3-3e0-0 0:0 b1-1e0-0 0:1"},
        // On line 0, -0.5 rounds to beam -1, and 4 is one beyond the last beam.
        {{.theta = {-0.125f}}, {theta({0, 0}, {1, 2})}, "b0-0e0-0 0:1"},
        {{.theta = {1.0f}}, {theta({0, 0}, {1, 2})}, "b2-2e0-0 0:1"},
        {{.theta = {0.25f, 0.5f}}, {theta({0, 0}, {1, 2})}, "b1-2e0-0 0:0 b1-1e0-0 0:1"},
        {{.theta = {0.25f, 1.0f}}, {theta({0, 0}, {1, 2})}, "b1-3e0-0 0:0 b1-2e0-0 0:1"},
        // A zero and an infinite step on line 0.
        {{.theta = {0.3f}}, {theta({0.3f, 0}, {0.3f, 2})}, "b1-1e0-0 0:1"},
        {{.theta = {0.3f}}, {theta({0, 0}, {INFINITY, 2})}, "b1-1e0-0 0:1"},
        // Theta falling along line 0: the two indices are ordered.
        {{.theta = {0.25f, 0.75f}}, {theta({1, 0}, {0, 2})}, "b1-3e0-0 0:0 b1-2e0-0 0:1"},
    };
    for (auto [options, modules, expected] : cases) {
        options.shortHeaders = options.omitAngles = true;
        EXPECT_EQ(summary(csvOf(options, {frameOf(modules)})), expected);
    }
}

TEST(CompactCsvHeaders, RepeatedOnlyWhenTheColumnsChange) {
    const auto two = frameOf({module(1, 2, 1)});
    EXPECT_EQ(summary(csvOf({.shortHeaders = true, .omitAngles = true},
                            {two, two, frameOf({module(1, 3, 1), module(1, 3, 2)}), two})),
              "b0-1e0-0 0:0 0:0 b0-2e0-0 0:0 b0-2e0-1 0:0 b0-1e0-0 0:0");
}

TEST(CompactCsvOutputDeathTest, UnopenableFileEndsTheProcess) {
    EXPECT_EXIT(CompactCSV({.csvFile = "/"}), testing::ExitedWithCode(1),
                "^Failed to open file for writing: /: Is a directory\n$");
}

}  // namespace
