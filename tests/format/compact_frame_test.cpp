// Tests of the decoders. The object tree and the frame builder that the other tests rely on both
// read or write the worked example in tests/data, so that a builder bug cannot hide a decoder bug.
// The frame view accepts and refuses exactly what the tree does, with the same error class and
// text, and reads the same values, for well-formed, cut and lying datagrams of every layout (the
// values themselves: tests/csv/compact_csv_test.cpp; random mutations: fuzz_differential). The
// peak memory of hostile counts: tests/app/pipeline_test.cpp.
#include "format/compact_frame.h"

#include <gtest/gtest.h>

#include "format/compact_frame_magic.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "oracle/tree_oracle.h"
#include "support/files.h"
#include "support/frames.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace compact;
using F = ravo::compact_frame_t;

// A decoded datagram together with the stream it was read from.
struct Decoded {
    explicit Decoded(const std::string& bytes) : io(bytes), top(&io) {}
    F::module_t* module() const { return top.frame()->modules()->at(0).get(); }
    F::measurement_data_t* at(size_t beam, size_t line) const {
        return module()->beams()->at(beam)->measurement_data()->at(line).get();
    }
    kaitai::kstream io;
    ravo::compact_frame_magic_t top;
};

std::string workedExample() {
    return testing_support::fromHex(testing_support::goldenFile("worked_example.hex"));
}

// The values that the CSV rows of the worked example show (tests/csv/compact_csv_test.cpp) are
// not repeated here.
TEST(CompactFrame, WorkedExampleDecodesAndIsWhatTheBuilderWrites) {
    const std::string bytes = workedExample();
    const Decoded d(bytes);
    EXPECT_EQ(d.io.pos(), 115u);
    const F::header_t* h = d.top.frame()->header();
    EXPECT_EQ(h->header_word_0(), 1u);
    EXPECT_EQ(h->telegram_counter(), 5u);
    EXPECT_EQ(h->telegram_version(), 4u);
    EXPECT_EQ(h->first_module_size(), 79u);
    const F::metadata_t* md = d.module()->metadata();
    EXPECT_EQ(md->distance_scaling_factor(), 0.5f);
    EXPECT_EQ(md->next_module_size(), 0u);
    EXPECT_EQ(d.at(0, 0)->echos()->at(0)->distance(), 125.0);
    EXPECT_EQ(d.at(0, 0)->theta(), 21599);
    EXPECT_EQ(d.at(0, 0)->theta_rad(), 1.0);

    const ModuleSpec module{.segmentCounter = 7,
                            .frameNumber = 100,
                            .senderId = 1,
                            .numLines = 1,
                            .numBeams = 1,
                            .numEchos = 1,
                            .timestampStart = {500},
                            .timestampStop = {600},
                            .phi = {0},
                            .thetaStart = {-0.785398f},
                            .thetaStop = {0.785398f},
                            .distanceScalingFactor = 0.5f,
                            .measurements = {{{{250, 120}}, 1, 21599}}};
    EXPECT_EQ(encodeFrame({.telegramCounter = 5, .modules = {module}}), bytes);
}

// Independent of the builder: the 3 measurement bytes AA BB CC of a module without echoes are
// theta then property byte in version 3, the property byte then theta in version 4. Version 3
// carries no scaling factor: distances are raw.
TEST(CompactFrame, LayoutAndScalingOfBothVersions) {
    for (const uint32_t v : {3u, 4u}) {
        SCOPED_TRACE(v);
        const std::string one =
            encodeFrame({.telegramVersion = v, .modules = {makeModule(1, 1, 0)}});
        const Decoded t(one.substr(0, one.size() - 7) + "\xAA\xBB\xCC" + std::string(4, '\0'));
        EXPECT_EQ(t.at(0, 0)->theta(), v == 3 ? 0xBBAA : 0xCCBB);
        EXPECT_EQ(t.at(0, 0)->beam_properties()->upper_bits(), (v == 3 ? 0xCCu : 0xAAu) >> 1);
        ModuleSpec scaled = makeModule(1, 1, 1);
        scaled.distanceScalingFactor = 0.1f;
        scaled.measurements[0].echos[0].distance = 1234;
        const Decoded s(encodeFrame({.telegramVersion = v, .modules = {scaled}}));
        EXPECT_DOUBLE_EQ(s.at(0, 0)->echos()->at(0)->distance(),
                         v == 3 ? 1234.0 : 123.4000015258789);
    }
}

// The view decides and reads as the tree does: datagrams built to be refused, one per check and
// edge (the tree's own class and text for each check), and every cut of every layout.
TEST(FrameView, AgreesWithTreeOnEveryRefusalAndCut) {
    const std::string range = "/types/header/seq/3: at pos 28: validation failed: not in range";
    const struct {
        FrameSpec frame;
        std::string refusal;  // class: text
    } checks[] = {
        {{.magic = {2, 2, 2, 3}}, "not_equal: /seq/0: at pos 4: validation failed: not equal"},
        {{.telegramVersion = 2}, "less_than: " + range},
        {{.telegramVersion = 5}, "greater_than: " + range},
        {{.telegramVersion = 0xFFFFFFFF}, "greater_than: " + range},
    };
    std::vector<std::string> datagrams;
    for (const auto& c : checks) {
        datagrams.push_back(encodeFrame(c.frame));
        const auto refusal = oracle::treeRefusal(datagrams.back());
        ASSERT_TRUE(refusal) << c.refusal;
        EXPECT_EQ(refusal->errorClass + ": " + refusal->message, c.refusal);
    }
    datagrams.push_back(encodeFrame({.telegramVersion = 0}));
    // Counts of 2^31 - 1 in every combination: tests/app/pipeline_test.cpp, with the tree.
    for (uint32_t n : {0x80000000u, 5000u, 262143u, 262144u})
        datagrams.push_back(encodeFrame({.modules = {countsOnlyModule(1, n, 1, 0x03)}}));
    // Module chains whose object counts reach the cap across modules.
    FrameSpec chain{.modules = std::vector(4, countsOnlyModule(0, 65536, 0, 0))};
    datagrams.push_back(encodeFrame(chain));
    chain.modules.back() = countsOnlyModule(0, 65535, 0, 0);
    datagrams.push_back(encodeFrame(chain));
    chain.modules.push_back(countsOnlyModule(0, 0, 0, 0));
    datagrams.push_back(encodeFrame(chain));
    for (const std::string& frame : testing_support::everyLayout()) {
        for (size_t size = 0; size <= frame.size() + 3; ++size) {
            datagrams.push_back(frame.substr(0, size));
            datagrams.back().resize(size, '\x5A');  // sizes past the end: bytes after the trailer
        }
    }
    for (const std::string& bytes : datagrams) {
        EXPECT_EQ(oracle::viewVersusTree(bytes), "")
            << bytes.size() << " bytes: " << testing::PrintToString(bytes.substr(0, 64));
    }
}

}  // namespace
