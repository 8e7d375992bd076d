// The CSV writer against the tree-walking stream writer it replaced: byte-identical text for
// frames of every layout under every kind of filter, header changes across frames included, and
// the float text of a standard stream for the values where %g changes its form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "csv/compact_csv.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "oracle/tree_oracle.h"

// Frame descriptions and options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::FrameSpec;
using compact::ModuleSpec;

constexpr float degree = 0.017453292519943295f;

// Both writers over the same datagrams; the test fails at the first differing datagram.
void expectSameCsv(const CompactCSV::Options& options, const std::vector<std::string>& datagrams) {
    std::ostringstream treeText, viewText;
    oracle::TreeCsv tree(options, treeText);
    CompactCSV writer(options, viewText);
    for (const std::string& bytes : datagrams) {
        compact::FrameView view;
        ASSERT_EQ(tree.process(bytes), view.parse(bytes.data(), bytes.size()));
        writer.process(view);
    }
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(viewText.str(), treeText.str());
}

ModuleSpec module(uint32_t lines, uint32_t beams, uint32_t echoes, uint64_t segment,
                  uint8_t echoFlags = 3, uint8_t beamFlags = 3) {
    ModuleSpec m = compact::makeModule(lines, beams, echoes);
    m.segmentCounter = segment;
    m.dataContentEchos = echoFlags;
    m.dataContentBeams = beamFlags;
    return m;
}

// A run of frames whose shapes change, so that headers are written again, with modules that
// carry no lines, beams or echoes and every set of presence flags.
std::vector<std::string> changingFrames() {
    std::vector<std::string> frames;
    for (uint32_t version : {3u, 4u}) {
        for (uint8_t flags = 0; flags < 16; ++flags) {
            FrameSpec frame{.telegramVersion = version};
            frame.modules = {module(4, 6, 2, flags, flags & 3, flags >> 2),
                             module(4, 6, 2, flags + 100, flags & 3, flags >> 2),
                             module(2, 3, 1, 7, 3, 3)};
            frames.push_back(compact::encodeFrame(frame));
        }
        FrameSpec edges{.telegramVersion = version};
        edges.modules = {module(0, 3, 1, 1), module(3, 0, 1, 2), module(3, 2, 0, 3)};
        frames.push_back(compact::encodeFrame(edges));
    }
    return frames;
}

struct FilterCase {
    const char* name;
    CompactCSV::Options options;
};

class CsvAgainstTree : public testing::TestWithParam<FilterCase> {};

TEST_P(CsvAgainstTree, WritesTheSameBytes) { expectSameCsv(GetParam().options, changingFrames()); }

const FilterCase filterCases[] = {
    {"Everything", {}},
    {"ShortHeadersWithoutAngles", {.shortHeaders = true, .omitAngles = true}},
    {"Segments", {.segment = {3, 8}}},
    {"BeamsAndEchoesBeyondTheFrame", {.beam = {-3, 4}, .echo = {1, 9}}},
    {"EmptyRanges", {.beam = {9, 12}, .echo = {5, 6}}},
    {"Lines", {.line = {1, 2}}},
    {"LinesBeyondTheFrame", {.line = {-5, 40}}},
    {"SinglePhi", {.phi = {0.75f * degree}, .phiTolerance = 1.0f * degree}},
    {"PhiInterval", {.phi = {-1.0f * degree, 2.0f * degree}}},
    {"ThetaOnOneLine", {.theta = {-20 * degree, 30 * degree}, .line = {1, 1}}},
    {"ThetaOnePhi", {.theta = {10 * degree}, .phi = {0.75f * degree}, .phiTolerance = degree}},
    {"ThetaFallingAlongTheLine", {.theta = {30 * degree, -20 * degree}, .line = {0, 0}}},
};
INSTANTIATE_TEST_SUITE_P(Filters, CsvAgainstTree, testing::ValuesIn(filterCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Rows longer than the writer's buffer leave it in pieces and must still come out whole.
TEST(CsvAgainstTreeLongRows, RowsLongerThanTheBuffer) {
    FrameSpec frame;
    frame.modules = {module(2, 4000, 3, 1)};
    const std::string bytes = compact::encodeFrame(frame);
    expectSameCsv({}, {bytes, bytes});
    expectSameCsv({.shortHeaders = true}, {bytes});
}

// The angle columns: %g at precision 6 of the float widened to double, as printf and a default
// stream write it, at the values where its form changes.
TEST(CsvFloatText, MatchesPrintfAtTheEdgesOfItsForms) {
    const float values[] = {0.0f,
                            -0.0f,
                            1e-4f,
                            9.99999e-5f,
                            1e-5f,
                            123456.0f,
                            999999.0f,
                            999999.5f,
                            1000000.0f,
                            1234567.0f,
                            0.000123456f,
                            1.5707964f,
                            -0.0872665f,
                            std::numeric_limits<float>::min(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN()};
    for (float value : values) {
        ModuleSpec m = module(1, 0, 0, 0);
        m.phi = {value};
        std::ostringstream text;
        CompactCSV writer({.omitAngles = false}, text);
        const std::string bytes = compact::encodeFrame({.modules = {m}});
        compact::FrameView view;
        ASSERT_TRUE(view.parse(bytes.data(), bytes.size()));
        writer.process(view);
        ASSERT_TRUE(writer.finish());
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", static_cast<double>(value));
        // The row's seventh field is phi.
        std::string row = text.str().substr(text.str().find('\n') + 1);
        for (int field = 0; field < 6; ++field) row.erase(0, row.find(',') + 1);
        EXPECT_EQ(row.substr(0, row.find(',')), expected)
            << "float bits " << std::hex << std::bit_cast<uint32_t>(value);
    }
}

}  // namespace
