// Tests of the decoders. The object tree and the frame builder that the other tests rely on both
// read or write the worked example in tests/data, so that a builder bug cannot hide a decoder bug;
// the tree's refusals by class and text, hostile counts, and nested objects built without their
// frame or parent. The frame view accepts and refuses exactly what the tree does, with the same
// error class and text, and reads the same values, for well-formed, cut, lying and mutated
// datagrams of every layout (the values themselves: tests/csv/compact_csv_test.cpp).
#include "format/compact_frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>

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
    EXPECT_EQ(d.top.frame()->modules()->size(), 1u);
    const F::metadata_t* md = d.module()->metadata();
    EXPECT_EQ(std::to_string(md->num_lines()) + " x " + std::to_string(md->num_beams()) + " x " +
                  std::to_string(md->num_echos()),
              "1 x 1 x 1");
    EXPECT_EQ(md->distance_scaling_factor(), 0.5f);
    EXPECT_EQ(md->next_module_size(), 0u);
    EXPECT_DOUBLE_EQ(md->theta_start_deg(), -44.99999100696669);
    EXPECT_EQ(d.at(0, 0)->echos()->at(0)->distance(), 125.0);
    EXPECT_EQ(d.at(0, 0)->beam_properties()->upper_bits(), 0u);
    EXPECT_TRUE(d.at(0, 0)->beam_properties()->bit_0());
    EXPECT_EQ(d.at(0, 0)->theta(), 21599);
    EXPECT_EQ(d.at(0, 0)->theta_rad(), 1.0);
    EXPECT_DOUBLE_EQ(d.at(0, 0)->theta_deg(), 57.29577951309679);

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
// carries no scaling factor: distances are raw. Without lines there is no first theta; counts of
// 2^31 and more are negative.
TEST(CompactFrame, LayoutScalingAndCountsOfUnusualModules) {
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
    const Decoded empty(encodeFrame({.modules = {makeModule(0, 3, 1)}}));
    EXPECT_THROW(empty.module()->metadata()->theta_start_deg(), std::out_of_range);
    // Counts of 2^31 and above read as negative: no elements, no bytes.
    const Decoded negative(encodeFrame({.modules = {{.numLines = 1u << 31, .numBeams = ~0u}}}));
    EXPECT_EQ(negative.io.pos(), 32u + 44u + 4u);
}

TEST(CompactFrame, RefusesWithTheClassAndTextOfEachCheck) {
    const std::string range = "/types/header/seq/3: at pos 28: validation failed: not in range";
    const struct {
        FrameSpec frame;
        const char* errorClass;
        std::string text;
    } cases[] = {
        {{.magic = {2, 2, 2, 3}}, "not_equal", "/seq/0: at pos 4: validation failed: not equal"},
        {{.telegramVersion = 2}, "less_than", range},
        {{.telegramVersion = 5}, "greater_than", range},
        {{.telegramVersion = 0xFFFFFFFF}, "greater_than", range},
    };
    for (const auto& c : cases) {
        const auto refusal = oracle::treeRefusal(encodeFrame(c.frame));
        ASSERT_TRUE(refusal) << c.text;
        EXPECT_EQ(refusal->errorClass, c.errorClass) << c.text;
        EXPECT_EQ(refusal->message, c.text);
    }
}

// Counts near 2^31 are refused before any element is built: without the bounds these would
// allocate gigabytes (reserve) or build billions of zero-width objects. The peak memory of the
// same datagrams is measured in tests/app/pipeline_test.cpp.
TEST(CompactFrame, HostileCountsEndEarlyAndTheDensestFramesDecode) {
    for (const auto& c : testing_support::hostileDatagrams()) {
        const auto refusal = oracle::treeRefusal(c.bytes);
        EXPECT_EQ(refusal ? refusal->errorClass : "accepted", "ios_failure") << c.name;
    }
    for (const auto& c : testing_support::densestDatagrams())
        EXPECT_FALSE(oracle::treeRefusal(c.bytes)) << c.name;
}

// Nested objects read the telegram version and object count through their frame, and counts and
// flags through their parent: built without either, they refuse instead of following null.
TEST(CompactFrame, NestedObjectsWithoutFrameOrParentThrowInvalidArgument) {
    const Decoded d(workedExample());
    auto* beam = d.module()->beams()->at(0).get();
    const std::pair<const char*, std::function<void(kaitai::kstream*)>> cases[] = {
        {"module", [](auto io) { F::module_t(io, nullptr, nullptr); }},
        {"module of frame", [&](auto io) { F::module_t(io, d.top.frame(), nullptr); }},
        {"metadata of module", [&](auto io) { F::metadata_t(io, d.module(), nullptr); }},
        {"beam in frame", [&](auto io) { F::beam_t(io, nullptr, d.top.frame()); }},
        {"measurement in frame",
         [&](auto io) { F::measurement_data_t(io, nullptr, d.top.frame()); }},
        {"measurement of beam", [&](auto io) { F::measurement_data_t(io, beam, nullptr); }},
        {"echo in frame", [&](auto io) { F::echo_t(io, nullptr, d.top.frame()); }},
        {"echo of measurement", [&](auto io) { F::echo_t(io, d.at(0, 0), nullptr); }},
    };
    for (const auto& [name, build] : cases) {
        kaitai::kstream io(workedExample().substr(32));  // the module: enough for any object
        EXPECT_THROW(build(&io), std::invalid_argument) << name;
    }
}

TEST(FrameView, AgreesWithTreeOnWellFormedFramesAndEveryCut) {
    for (const std::string& frame : testing_support::everyLayout()) {
        for (size_t size = 0; size <= frame.size() + 3; ++size) {
            std::string bytes = frame.substr(0, size);
            bytes.resize(size, '\x5A');  // sizes past the end: bytes after the trailer word
            SCOPED_TRACE("frame of " + std::to_string(frame.size()) + " bytes cut to " +
                         std::to_string(size));
            EXPECT_EQ(oracle::viewVersusTree(bytes), "");
        }
    }
}

// Datagrams built to be refused, one per reason and edge, with the tree's text for each.
TEST(FrameView, RefusesWithTheTreesClassAndText) {
    const auto agrees = [](const FrameSpec& frame) {
        const std::string bytes = compact::encodeFrame(frame);
        EXPECT_EQ(oracle::viewVersusTree(bytes), "") << testing::PrintToString(bytes.substr(0, 64));
    };
    agrees({.magic = {2, 2, 2, 3}});
    for (uint32_t version : {0u, 2u, 5u, 0xFFFFFFFFu}) agrees({.telegramVersion = version});
    for (uint8_t flags : {0x00, 0x03}) {
        for (uint32_t n : {0x7FFFFFFFu, 0x80000000u, 5000u, 262143u, 262144u}) {
            for (const auto& [l, b, e] :
                 {std::tuple{n, 1u, 1u}, {1u, n, 1u}, {1u, 1u, n}, {0u, n, n}})
                agrees({.modules = {compact::countsOnlyModule(l, b, e, flags)}});
        }
    }
    // Module chains whose object counts reach the cap across modules.
    FrameSpec chain{.modules = std::vector(4, compact::countsOnlyModule(0, 65536, 0, 0))};
    agrees(chain);
    chain.modules.back() = compact::countsOnlyModule(0, 65535, 0, 0);
    agrees(chain);
    chain.modules.push_back(compact::countsOnlyModule(0, 0, 0, 0));
    agrees(chain);
}

// Random byte, word and count mutations of well-formed frames.
TEST(FrameView, AgreesWithTreeOnMutatedFrames) {
    std::mt19937 random(12345);
    const std::vector<std::string> frames = testing_support::everyLayout();
    for (int round = 0; round < 4000; ++round) {
        std::string bytes = frames[random() % frames.size()];
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const size_t at = random() % bytes.size();
            switch (random() % 3) {
                case 0:
                    bytes[at] = static_cast<char>(random());
                    break;
                case 1:  // a count-sized word: small, huge or negative
                    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
                        bytes[at + i] = static_cast<char>(random() % 4 == 0 ? 0xFF : random() % 8);
                    break;
                default:
                    bytes.resize(at);
            }
        }
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(oracle::viewVersusTree(bytes), "");
    }
}

}  // namespace
