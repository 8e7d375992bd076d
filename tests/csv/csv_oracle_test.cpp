// The CSV writer against the tree-walking stream writer it replaced: byte-identical text for
// frames of every layout under every kind of filter, header changes across frames included, and
// rows longer than the writer's buffer.
#include <gtest/gtest.h>

#include <sstream>

#include "csv/compact_csv.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "oracle/tree_oracle.h"
#include "support/frames.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

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

TEST(CsvAgainstTree, WritesTheSameBytesUnderEveryFilter) {
    const std::pair<const char*, CompactCSV::Options> filters[] = {
        {"everything", {}},
        {"short headers without angles", {.shortHeaders = true, .omitAngles = true}},
        {"segments", {.segment = {3, 8}}},
        {"beams and echoes beyond the frame", {.beam = {-3, 4}, .echo = {1, 9}}},
        {"empty ranges", {.beam = {9, 12}, .echo = {5, 6}}},
        {"lines", {.line = {1, 2}}},
        {"lines beyond the frame", {.line = {-5, 40}}},
        {"single phi", {.phi = {0.75f * degree}, .phiTolerance = 1.0f * degree}},
        {"phi interval", {.phi = {-1.0f * degree, 2.0f * degree}}},
        {"theta on one line", {.theta = {-20 * degree, 30 * degree}, .line = {1, 1}}},
        {"theta, one phi",
         {.theta = {10 * degree}, .phi = {0.75f * degree}, .phiTolerance = degree}},
        {"theta falling along the line", {.theta = {30 * degree, -20 * degree}, .line = {0, 0}}},
    };
    const std::vector<std::string> frames = testing_support::everyLayout();
    for (const auto& [name, options] : filters) {
        SCOPED_TRACE(name);
        expectSameCsv(options, frames);
    }
}

// Rows longer than the writer's buffer leave it in pieces and must still come out whole.
TEST(CsvAgainstTree, RowsLongerThanTheBuffer) {
    const std::string bytes = compact::encodeFrame({.modules = {compact::makeModule(2, 4000, 3)}});
    expectSameCsv({}, {bytes, bytes});
    expectSameCsv({.shortHeaders = true}, {bytes});
}

}  // namespace
