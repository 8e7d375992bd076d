// Tests of the frame view: it accepts and refuses exactly what the tree decoder does, with the
// same error class and text, and reads the same values, for well-formed, cut, lying and mutated
// datagrams of every layout. The values themselves: tests/csv/compact_csv_test.cpp.
#include "format/frame_view.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "generators/compact_frame_builder.h"
#include "oracle/tree_oracle.h"
#include "support/frames.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::FrameSpec;

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
