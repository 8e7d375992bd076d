// Tests of the frame view: it accepts and refuses exactly what the tree decoder does, with the
// same error class and text, and reads the same values, for well-formed, cut, lying and mutated
// datagrams of every layout.
#include "format/frame_view.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "generators/compact_frame_builder.h"
#include "oracle/tree_oracle.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::FrameSpec;
using compact::ModuleSpec;

ModuleSpec shaped(uint32_t lines, uint32_t beams, uint32_t echoes, uint8_t echoFlags,
                  uint8_t beamFlags) {
    ModuleSpec m = compact::makeModule(lines, beams, echoes);
    m.dataContentEchos = echoFlags;
    m.dataContentBeams = beamFlags;
    m.segmentCounter = 0x1'0000'0005;
    m.distanceScalingFactor = 0.25f;
    m.metadataByte13 = 13;
    m.metadataByte16 = 16;
    return m;
}

// Frames of every layout: both versions, every flag combination, modules with no lines, no
// beams or no echoes, several modules, reserved flag bits set.
std::vector<std::string> wellFormed() {
    std::vector<std::string> frames;
    for (uint32_t version : {3u, 4u}) {
        for (uint8_t echoFlags = 0; echoFlags < 4; ++echoFlags) {
            for (uint8_t beamFlags = 0; beamFlags < 4; ++beamFlags) {
                FrameSpec frame{.telegramCounter = 77, .telegramVersion = version};
                frame.modules = {shaped(3, 4, 2, echoFlags, beamFlags),
                                 shaped(1, 2, 3, echoFlags | 0xFC, beamFlags | 0xA8)};
                frames.push_back(compact::encodeFrame(frame));
            }
        }
        FrameSpec edges{.telegramVersion = version};
        edges.modules = {shaped(0, 5, 2, 3, 3), shaped(2, 0, 2, 3, 3), shaped(2, 3, 0, 3, 3)};
        frames.push_back(compact::encodeFrame(edges));
        frames.push_back(compact::encodeFrame(FrameSpec{.telegramVersion = version}));
    }
    return frames;
}

TEST(FrameView, AgreesWithTreeOnWellFormedFramesAndEveryCut) {
    for (const std::string& frame : wellFormed()) {
        for (size_t size = 0; size <= frame.size() + 3; ++size) {
            std::string bytes = frame.substr(0, size);
            bytes.resize(size, '\x5A');  // sizes past the end: bytes after the trailer word
            SCOPED_TRACE("frame of " + std::to_string(frame.size()) + " bytes cut to " +
                         std::to_string(size));
            EXPECT_EQ(oracle::viewVersusTree(bytes), "");
        }
    }
}

TEST(FrameView, ReadsTheValuesOfAFrame) {
    FrameSpec layout{.headerWord0 = 9, .telegramCounter = 42, .headerWord2 = 7, .trailerWord = 99};
    layout.modules = {shaped(2, 3, 2, 3, 3)};
    const std::string bytes = compact::encodeFrame(layout);
    compact::FrameView view;
    ASSERT_TRUE(view.parse(bytes.data(), bytes.size()));
    EXPECT_EQ(view.telegramCounter(), 42u);
    EXPECT_EQ(view.trailerWord(), 99u);
    ASSERT_EQ(view.moduleCount(), 1u);
    const compact::ModuleView module = *view.begin();
    const ModuleSpec& m = layout.modules[0];
    EXPECT_EQ(module.segmentCounter(), m.segmentCounter);
    EXPECT_EQ(module.timestampStop(1), m.timestampStop[1]);
    EXPECT_EQ(module.thetaStop(1), m.thetaStop[1]);
    EXPECT_EQ(module.distanceScalingFactor(), 0.25f);
    for (uint32_t b = 0; b < 3; ++b) {
        for (uint32_t l = 0; l < 2; ++l) {
            const compact::MeasurementSpec& cell = m.measurements[b * 2 + l];
            SCOPED_TRACE("beam " + std::to_string(b) + " line " + std::to_string(l));
            EXPECT_EQ(module.properties(b, l), cell.properties);
            EXPECT_EQ(module.thetaRaw(b, l), cell.theta);
            EXPECT_EQ(module.distance(b, l, 1), cell.echos[1].distance);
            EXPECT_EQ(module.rssi(b, l, 1), cell.echos[1].rssi);
        }
    }
}

// Datagrams built to be refused, one per reason and edge, with the tree's text for each.
TEST(FrameView, RefusesWithTheTreesClassAndText) {
    std::vector<std::string> hostile;
    FrameSpec magic;
    magic.magic = {2, 2, 2, 3};
    hostile.push_back(compact::encodeFrame(magic));
    for (uint32_t version : {0u, 2u, 5u, 0xFFFFFFFFu})
        hostile.push_back(compact::encodeFrame(FrameSpec{.telegramVersion = version}));
    for (uint8_t flags : {0x00, 0x03}) {
        for (uint32_t count : {0x7FFFFFFFu, 0x80000000u, 5000u, 262143u, 262144u}) {
            for (const ModuleSpec& module : {compact::countsOnlyModule(count, 1, 1, flags),
                                             compact::countsOnlyModule(1, count, 1, flags),
                                             compact::countsOnlyModule(1, 1, count, flags),
                                             compact::countsOnlyModule(0, count, count, flags)}) {
                hostile.push_back(compact::encodeFrame(FrameSpec{.modules = {module}}));
            }
        }
    }
    // Module chains whose object counts reach the cap across modules.
    FrameSpec chain;
    for (int i = 0; i < 4; ++i) chain.modules.push_back(compact::countsOnlyModule(0, 65536, 0, 0));
    hostile.push_back(compact::encodeFrame(chain));
    chain.modules.back() = compact::countsOnlyModule(0, 65535, 0, 0);
    hostile.push_back(compact::encodeFrame(chain));
    chain.modules.push_back(compact::countsOnlyModule(0, 0, 0, 0));
    hostile.push_back(compact::encodeFrame(chain));
    for (const std::string& bytes : hostile) {
        SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 64)));
        EXPECT_EQ(oracle::viewVersusTree(bytes), "");
    }
}

// Random byte, word and count mutations of well-formed frames.
TEST(FrameView, AgreesWithTreeOnMutatedFrames) {
    std::mt19937 random(12345);
    const std::vector<std::string> frames = wellFormed();
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
