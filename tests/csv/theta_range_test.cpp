// Tests of the theta filter on lines of known beams: a range keeps the beams of a line it
// overlaps, one angle picks the nearest beam, and a line wholly outside gets no row.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "csv/compact_csv.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"

// Frame and option descriptions name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::ModuleSpec;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) c == separator ? parts.emplace_back() : parts.back() += c;
    return parts;
}

// One line of eight beams without echoes; beam b lies at start + b * (stop - start) / 8. The
// segment counter tells the modules of a frame apart in the rows.
ModuleSpec line(float start, float stop, uint64_t segment = 0) {
    ModuleSpec module = compact::makeModule(1, 8, 0);
    module.thetaStart = {start};
    module.thetaStop = {stop};
    module.segmentCounter = segment;
    return module;
}

// The beams of each row the writer makes of one frame, "first..last" per row, separated by
// blanks; "" without rows. Each row's property columns are checked against the beams the header
// names, so that a row cannot show other beams than its header says.
std::string selectedBeams(const std::vector<ModuleSpec>& modules, std::vector<float> theta) {
    const std::string datagram = compact::encodeFrame({.modules = modules});
    compact::FrameView frame;
    EXPECT_TRUE(frame.parse(datagram.data(), datagram.size())) << frame.error().message();
    std::ostringstream out;
    CompactCSV csv({.theta = std::move(theta), .shortHeaders = true, .omitAngles = true}, out);
    csv.process(frame);
    EXPECT_TRUE(csv.finish());

    // Columns: sender_id, frame_number, segment_counter, line, timestamp_start, timestamp_stop,
    // then one property column B<b>P per beam.
    constexpr size_t fixedColumns = 6;
    std::string result;
    std::vector<int> beams;
    for (const std::string& text : split(out.str(), '\n')) {
        if (text.empty()) continue;
        const auto fields = split(text, ',');
        if (text.starts_with("sender_id,")) {
            beams.clear();
            for (size_t i = fixedColumns; i < fields.size(); ++i)
                beams.push_back(std::stoi(fields[i].substr(1)));
            continue;
        }
        if (fields.size() != fixedColumns + beams.size() || beams.empty()) {
            ADD_FAILURE() << "row without its beams: " << text;
            continue;
        }
        const ModuleSpec& module = modules.at(std::stoul(fields[2]));
        for (size_t i = 0; i < beams.size(); ++i) {
            EXPECT_EQ(fields[fixedColumns + i],
                      std::to_string(module.measurements.at(beams[i]).properties))
                << "beam " << beams[i];
        }
        result += (result.empty() ? "" : " ") + std::to_string(beams.front()) + ".." +
                  std::to_string(beams.back());
    }
    return result;
}

// Rising line: beam b at -1 + 0.25 b radians (-1 .. 0.75), so angles map to exact quotients.
// Falling line: beam b at 1 - 0.25 b.
TEST(ThetaRange, KeepsTheBeamsOfALineItOverlaps) {
    const ModuleSpec rising = line(-1.0f, 1.0f);
    const ModuleSpec falling = line(1.0f, -1.0f);
    struct Case {
        const char* name;
        ModuleSpec module;
        std::vector<float> theta;
        std::string beams;  // "" : no row
    };
    const Case cases[] = {
        {"inside", rising, {-0.5f, 0.25f}, "2..5"},
        {"across the lower edge", rising, {-3.0f, -0.5f}, "0..2"},
        {"across the upper edge", rising, {0.5f, 5.0f}, "6..7"},
        {"across both edges", rising, {-3.0f, 3.0f}, "0..7"},
        // Rounding first: -0.4 of a step rounds to beam 0, -0.5 (away from zero) to beam -1.
        {"lower edge rounded in", rising, {-3.0f, -1.1f}, "0..0"},
        {"wholly below, by half a step", rising, {-3.0f, -1.125f}, ""},
        {"wholly below", rising, {-5.0f, -2.0f}, ""},
        {"upper edge rounded in", rising, {0.85f, 2.0f}, "7..7"},
        {"wholly above", rising, {0.9f, 2.0f}, ""},
        {"one value inside", rising, {0.0f}, "4..4"},
        {"one value rounded in", rising, {-1.1f}, "0..0"},
        {"one value below", rising, {-1.2f}, ""},
        {"one value above", rising, {0.9f}, ""},
        {"falling, inside", falling, {-0.5f, 0.25f}, "3..6"},
        {"falling, across the upper index", falling, {-3.0f, 0.5f}, "2..7"},
        {"falling, across both", falling, {-3.0f, 3.0f}, "0..7"},
        {"falling, wholly outside", falling, {1.2f, 3.0f}, ""},
        {"falling, one value", falling, {0.5f}, "2..2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(selectedBeams({c.module}, c.theta), c.beams);
    }
}

// Two modules meeting at theta 0, each over eight beams of 0.25: a range around the boundary
// gives each module's part of it.
TEST(ThetaRange, ModulesMeetingAtABoundaryEachGiveTheirPart) {
    EXPECT_EQ(selectedBeams({line(-2.0f, 0.0f, 0), line(0.0f, 2.0f, 1)}, {-0.5f, 0.5f}),
              "6..7 0..2");
    EXPECT_EQ(selectedBeams({line(-2.0f, 0.0f, 0), line(0.0f, 2.0f, 1)}, {-0.5f, -0.25f}), "6..7");
}

}  // namespace
