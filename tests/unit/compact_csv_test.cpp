// Tests of the CSV writer: header and row text, line/beam/echo selection, header changes, output.
#include "compact_csv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "compact_frame_builder.h"
#include "compact_frame_magic.h"

namespace {

using compact::ModuleSpec;
using Options = CompactCSV::Options;
using Modules = std::vector<ModuleSpec>;

std::string frameOf(Modules modules) {
    compact::FrameSpec frame;
    frame.modules = std::move(modules);
    return compact::encodeFrame(frame);
}

void feed(CompactCSV& csv, const std::vector<std::string>& datagrams) {
    for (const auto& bytes : datagrams) {
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t decoded(&io);
        csv.process(decoded.frame());
    }
}

std::string csvOf(const Options& options, const std::vector<std::string>& datagrams) {
    std::ostringstream out;
    CompactCSV csv(options, out);
    feed(csv, datagrams);
    return out.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

// Condenses long-style CSV into "H:b<first>-<last>/e<first>-<last>" per header (its beams and the
// echoes of its first beam, "-" for none) and "<segment>:<line>" per row. Fails the test when a
// row's field count differs from its header's.
std::string summary(const std::string& csv) {
    std::string result;
    size_t columns = 0;
    auto range = [](const std::vector<int>& v) {
        return v.empty() ? std::string("-")
                         : std::to_string(v.front()) + "-" + std::to_string(v.back());
    };
    for (const auto& text : split(csv, '\n')) {
        if (text.empty()) continue;
        const auto fields = split(text, ',');
        if (text.starts_with("sender_id,")) {
            columns = fields.size();
            std::vector<int> beams, echoes;
            int b = 0, e = 0;
            for (const auto& name : fields) {
                if (name.ends_with("_prop") && std::sscanf(name.c_str(), "beam[%d]", &b) == 1)
                    beams.push_back(b);
                if (name.ends_with("_dist") &&
                    std::sscanf(name.c_str(), "beam[%d]_echo[%d]", &b, &e) == 2 &&
                    b == beams.front()) {
                    echoes.push_back(e);
                }
            }
            result += " H:b" + range(beams) + "/e" + range(echoes);
        } else {
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

ModuleSpec withPhi(std::vector<float> phi) {
    auto input = module(static_cast<uint32_t>(phi.size()), 1, 1);
    input.phi = std::move(phi);
    return input;
}

// Four beams over two lines; line 0 spans theta 0..1 (step 0.25), line 1 by default 0..2 (0.5).
ModuleSpec withTheta(std::vector<float> start, std::vector<float> stop) {
    auto input = module(2, 4, 1);
    input.thetaStart = std::move(start);
    input.thetaStop = std::move(stop);
    return input;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Version 4 frame of 115 bytes: one module (sender 1, frame 100, segment 7), one line (time
// stamps 500/600, phi 0, theta -pi/4..pi/4), one beam (property byte 1), one echo (250, 120).
const std::string workedExample = fromHex(
    "02020202010000000500000000000000000000000000000004000000"
    "4F00000007000000000000006400000000000000010000000100000001000000"
    "01000000F401000000000000580200000000000000000000D80F49BFD80F493F0000003F"
    "00000000000303"
    "00FA00780001"
    "5F5400000000");

const char* const workedExampleCsv =
    "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop,phi,theta_start,"
    "theta_stop,beam[0]_prop,beam[0]_echo[0]_dist,beam[0]_echo[0]_rssi\n"
    "1,100,7,0,500,600,0,-0.785398,0.785398,1,250,120\n";

TEST(CompactCsvText, WorkedExampleInBothStyles) {
    ASSERT_EQ(workedExample.size(), 115u);
    EXPECT_EQ(csvOf({}, {workedExample}), workedExampleCsv);
    EXPECT_EQ(csvOf({.shortHeaders = true, .omitAngles = true}, {workedExample}),
              "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop,"
              "B0P,B0E0D,B0E0R\n1,100,7,0,500,600,1,250,120\n");
}

// Short names, beam by beam, each beam's echoes in order.
TEST(CompactCsvText, ShortHeaderForSeveralBeamsAndEchoes) {
    std::ostringstream out;
    CompactCSV({.shortHeaders = true, .omitAngles = true}, out).writeHeader(2, 3, 0, 1);
    EXPECT_EQ(out.str(),
              "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop,"
              "B2P,B2E0D,B2E0R,B2E1D,B2E1R,B3P,B3E0D,B3E0R,B3E1D,B3E1R\n");
}

// Floats are widened to double and written as "%g": 6 significant digits.
TEST(CompactCsvText, NumbersUseTheDefaultStreamFormatting) {
    const std::vector<std::pair<float, const char*>> angles = {
        {1.5707964f, "1.5708"},
        {-0.0872665f, "-0.0872665"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {1e-05f, "1e-05"},
        {0.0001f, "0.0001"},
        {123456.7f, "123457"},
        {1234567.0f, "1.23457e+06"},
        {3.4028235e38f, "3.40282e+38"},
        {std::numeric_limits<float>::quiet_NaN(), "nan"},
        {-std::numeric_limits<float>::quiet_NaN(), "-nan"}};
    auto input = module(static_cast<uint32_t>(angles.size()), 1, 1, UINT64_MAX);
    input.senderId = UINT32_MAX;
    for (size_t i = 0; i < angles.size(); ++i) input.phi[i] = angles[i].first;
    const auto rows = split(csvOf({}, {frameOf({input})}), '\n');
    ASSERT_EQ(rows.size(), angles.size() + 2);  // header, rows, the empty rest after the last '\n'
    for (size_t i = 0; i < angles.size(); ++i) {
        const auto fields = split(rows[i + 1], ',');
        EXPECT_EQ(fields[6], angles[i].second) << "line " << i;
        EXPECT_EQ(fields[0], "4294967295");
        EXPECT_EQ(fields[2], "18446744073709551615");
    }
}

// Values the frame does not carry are empty fields; the byte as received otherwise.
TEST(CompactCsvText, AbsentValuesAreEmptyFields) {
    struct Case {
        uint8_t echoFlags, beamFlags;
        const char* tail;
    };
    for (const Case& c :
         {Case{0x03, 0x03, ",255,250,120"}, Case{0x01, 0x03, ",255,250,"},
          Case{0x02, 0x01, ",255,,120"}, Case{0x03, 0x02, ",,250,120"}, Case{0xFC, 0x00, ",,,"}}) {
        auto input = module(1, 1, 1);
        input.measurements[0] = {{{250, 120}}, 0xFF, 16384};
        input.dataContentEchos = c.echoFlags;
        input.dataContentBeams = c.beamFlags;
        const std::string csv = csvOf({}, {frameOf({input})});
        EXPECT_THAT(csv, testing::EndsWith(std::string(c.tail) + "\n")) << int(c.echoFlags);
        EXPECT_EQ(summary(csv), "H:b0-0/e0-0 0:0");
    }
}

// Every value of a row comes from its own beam, line and echo (beam-major measurements).
TEST(CompactCsvText, RowValuesComeFromTheSelectedBeamLineAndEcho) {
    const auto input = module(3, 4, 2);
    const auto rows =
        split(csvOf({.beam = {1, 2}, .line = {1, 2}, .echo = {1, 1}}, {frameOf({input})}), '\n');
    ASSERT_EQ(rows.size(), 4u);
    for (int line = 1; line <= 2; ++line) {
        const auto fields = split(rows[line], ',');
        ASSERT_EQ(fields.size(), 15u);
        EXPECT_EQ(fields[3], std::to_string(line));
        EXPECT_EQ(fields[4], std::to_string(input.timestampStart[line]));
        EXPECT_EQ(fields[5], std::to_string(input.timestampStop[line]));
        for (int b = 1; b <= 2; ++b) {
            const auto& m = input.measurements[b * 3 + line];
            const size_t at = 9 + (b - 1) * 3;
            EXPECT_EQ(fields[at], std::to_string(m.properties));
            EXPECT_EQ(fields[at + 1], std::to_string(m.echos[1].distance));
            EXPECT_EQ(fields[at + 2], std::to_string(m.echos[1].rssi));
        }
    }
}

struct SelectionCase {
    const char* name;
    Options options;
    Modules modules;
    const char* expected;  // summary()
};

void PrintTo(const SelectionCase& c, std::ostream* os) { *os << c.name; }

class CompactCsvSelection : public testing::TestWithParam<SelectionCase> {};

TEST_P(CompactCsvSelection, WritesTheSelectedLinesBeamsAndEchoes) {
    EXPECT_EQ(summary(csvOf(GetParam().options, {frameOf(GetParam().modules)})),
              GetParam().expected);
}

const ModuleSpec phiModule = withPhi({0.1f, 0.2f, 0.2f, 0.5f});
const ModuleSpec thetaModule = withTheta({0, 0}, {1, 2});

INSTANTIATE_TEST_SUITE_P(
    Filters, CompactCsvSelection,
    testing::Values(
        SelectionCase{"NoFilter",
                      {},
                      {module(2, 3, 2), module(1, 1, 1)},
                      "H:b0-2/e0-1 0:0 0:1 H:b0-0/e0-0 0:0"},
        SelectionCase{"SegmentLow32BitsOnly",
                      {.segment = {5, 5}},
                      {module(1, 1, 1, 5), module(1, 1, 1, 6), module(1, 1, 1, (1ull << 32) + 5)},
                      "H:b0-0/e0-0 5:0 4294967301:0"},
        SelectionCase{"SegmentSigned",
                      {.segment = {-1, 0}},
                      {module(1, 1, 1, 0xFFFFFFFF), module(1, 1, 1, 1)},
                      "H:b0-0/e0-0 4294967295:0"},
        SelectionCase{"LineClipped", {.line = {3, 10}}, {module(5, 1, 1)}, "H:b0-0/e0-0 0:3 0:4"},
        SelectionCase{"BeamClipped", {.beam = {2, 9}}, {module(1, 4, 1)}, "H:b2-3/e0-0 0:0"},
        SelectionCase{"EchoClipped", {.echo = {1, 5}}, {module(1, 2, 3)}, "H:b0-1/e1-2 0:0"},
        SelectionCase{"LineClippedBelow", {.line = {-2, 0}}, {module(5, 1, 1)}, "H:b0-0/e0-0 0:0"},
        SelectionCase{"LineBeyond", {.line = {7, 9}}, {module(5, 1, 1)}, ""},
        SelectionCase{"BeamBeyond", {.beam = {5, 6}}, {module(1, 4, 1)}, "H:b-/e- 0:0"},
        SelectionCase{"EchoBeyond", {.echo = {3, 4}}, {module(1, 2, 3)}, "H:b0-1/e- 0:0"},
        SelectionCase{"NoEchoes", {}, {module(1, 2, 0)}, "H:b0-1/e- 0:0"},
        SelectionCase{"NoBeams", {}, {module(2, 0, 1)}, "H:b-/e- 0:0 0:1"},
        SelectionCase{"PhiFirstWithinTolerance",
                      {.phi = {0.45f}, .phiTolerance = 0.3f},
                      {phiModule},
                      "H:b0-0/e0-0 0:1"},
        SelectionCase{"PhiExactWithZeroTolerance", {.phi = {0.2f}}, {phiModule}, "H:b0-0/e0-0 0:1"},
        SelectionCase{
            "PhiNegativeTolerance", {.phi = {0.2f}, .phiTolerance = -0.1f}, {phiModule}, ""},
        SelectionCase{"PhiNoMatch", {.phi = {0.9f}, .phiTolerance = 0.1f}, {phiModule}, ""},
        SelectionCase{"PhiIntervalIsContiguous",
                      {.phi = {0.25f, 0.4f}},
                      {withPhi({0.0f, 0.3f, 0.9f, 0.0f, 0.35f, NAN})},
                      "H:b0-0/e0-0 0:1 0:2 0:3 0:4"},
        // Line 0: 0.625 / 0.25 = 2.5 rounds to beam 3; line 1: 0.625 / 0.5 = 1.25 to beam 1.
        SelectionCase{
            "ThetaPerLine", {.theta = {0.625f}}, {thetaModule}, "H:b3-3/e0-0 0:0 H:b1-1/e0-0 0:1"},
        SelectionCase{
            "ThetaHalfBelowZeroSkipsLine", {.theta = {-0.125f}}, {thetaModule}, "H:b0-0/e0-0 0:1"},
        SelectionCase{
            "ThetaAtBeamCountSkipsLine", {.theta = {1.0f}}, {thetaModule}, "H:b2-2/e0-0 0:1"},
        SelectionCase{"ThetaInterval",
                      {.theta = {0.25f, 0.5f}},
                      {thetaModule},
                      "H:b1-2/e0-0 0:0 H:b1-1/e0-0 0:1"},
        SelectionCase{"ThetaIntervalPartlyOutside",
                      {.theta = {0.25f, 1.0f}},
                      {thetaModule},
                      "H:b1-2/e0-0 0:1"},
        SelectionCase{"ThetaZeroStepSkipsLine",
                      {.theta = {0.3f}},
                      {withTheta({0.3f, 0}, {0.3f, 2})},
                      "H:b1-1/e0-0 0:1"},
        SelectionCase{"ThetaInfiniteStepSkipsLine",
                      {.theta = {0.3f}},
                      {withTheta({0, 0}, {INFINITY, 2})},
                      "H:b1-1/e0-0 0:1"},
        SelectionCase{"ThetaFallingIsOrdered",
                      {.theta = {0.25f, 0.75f}},
                      {withTheta({1, 0}, {0, 2})},
                      "H:b1-3/e0-0 0:0 H:b1-2/e0-0 0:1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CompactCsvHeaders, RepeatedOnlyWhenTheColumnsChange) {
    const auto twoBeams = frameOf({module(1, 2, 1)});
    EXPECT_EQ(summary(csvOf(
                  {}, {twoBeams, twoBeams, frameOf({module(1, 3, 1), module(1, 3, 2)}), twoBeams})),
              "H:b0-1/e0-0 0:0 0:0 H:b0-2/e0-0 0:0 H:b0-2/e0-1 0:0 H:b0-1/e0-0 0:0");
    // Empty ranges of different extents give the same columns, hence one header.
    EXPECT_EQ(summary(csvOf({.beam = {5, 6}}, {frameOf({module(1, 4, 1), module(1, 5, 2)})})),
              "H:b-/e- 0:0 0:0");
}

// A file in the temporary directory, removed at the end of the test.
struct TempPath {
    std::string path =
        std::filesystem::temp_directory_path() / ("compact_csv_test_" + std::to_string(::getpid()));
    ~TempPath() { std::filesystem::remove(path); }
};

std::string contents(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CompactCsvOutput, TruncatesTheFileAtOnceAndFlushesAtTheEnd) {
    TempPath file;
    std::ofstream(file.path) << "old contents";
    {
        CompactCSV csv({.csvFile = file.path});
        EXPECT_EQ(std::filesystem::file_size(file.path), 0u);
        feed(csv, {workedExample});
    }
    EXPECT_EQ(contents(file.path), workedExampleCsv);
}

TEST(CompactCsvOutput, DashWritesToStandardOutputAndLeavesItOpen) {
    std::ostringstream captured;
    auto* saved = std::cout.rdbuf(captured.rdbuf());
    {
        CompactCSV csv({.csvFile = "-"});
        feed(csv, {workedExample});
    }
    const bool open = (std::cout << "after").good();
    std::cout.rdbuf(saved);
    EXPECT_TRUE(open);
    EXPECT_EQ(captured.str(), std::string(workedExampleCsv) + "after");
}

TEST(CompactCsvOutputDeathTest, OpenFailureEndsTheRun) {
    for (const std::string path : {"", "/nonexistent-directory/out.csv", "/"}) {
        EXPECT_EXIT(CompactCSV({.csvFile = path}), testing::ExitedWithCode(1),
                    "^Failed to open file for writing\n$")
            << path;
    }
}

TEST(CompactCsvOutput, WriteFailureIsReportedWithTheSystemText) {
    // Small output stays in the stream buffer: the failure shows when finish() flushes.
    CompactCSV small({.csvFile = "/dev/full"});
    feed(small, {workedExample});
    EXPECT_FALSE(small.failed());
    EXPECT_FALSE(small.finish());
    EXPECT_EQ(small.errorText(), "No space left on device");

    // Once the buffer overflows, the check after process() sees it.
    CompactCSV large({.csvFile = "/dev/full"});
    const auto frame = frameOf({module(8, 32, 2)});
    for (int i = 0; i < 100 && !large.failed(); ++i) feed(large, {frame});
    EXPECT_TRUE(large.failed());
    EXPECT_EQ(large.errorText(), "No space left on device");
}

}  // namespace
