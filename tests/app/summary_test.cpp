// Tests of the texts a run says besides its rows: the start line, the hint for a filter that
// selects nothing the frames have, and the line for a run in which nothing arrived.
#include "app/summary.h"

#include <gtest/gtest.h>

#include "app/frame_extent.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "io/linux_udp_socket.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

constexpr float degree = 0.017453292519943295f;

TEST(RunTexts, StartLinesAndNothingArrived) {
    const SocketOptions any{.port = 2116};
    const SocketOptions one{.port = 2115, .source = 0xC0A80001};
    const struct {
        SocketOptions socket;
        std::string output;
        CompactCSV::Options options;
        std::string expected;
    } cases[] = {
        {any,
         "out.csv",
         {},
         "Receiving on UDP port 2116 from any address; rows to out.csv; filters: none"},
        {one,
         "-",
         {.beam = {0, 9}, .line = {0, 0}},
         "Receiving on UDP port 2115 from 192.168.0.1 only; rows to standard output; filters: "
         "--line 0 --beam 0:9"},
        {any,
         "",
         {.theta = {10 * degree, 20 * degree}, .phi = {0}, .echo = {1, 1}, .phiTolerance = degree},
         "Receiving on UDP port 2116 from any address; describing the stream; filters: --phi 0 "
         "--phi-tolerance 1 --theta 10:20 --echo 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(startLine(c.socket, c.output, c.options), c.expected);
    EXPECT_EQ(nothingArrived(any),
              "Nothing arrived on UDP port 2116: check the address and port the sensor sends to");
    EXPECT_EQ(nothingArrived(one),
              "Nothing arrived on UDP port 2115 from 192.168.0.1: check the "
              "address and port the sensor sends to");
}

TEST(RunTexts, HintsForFiltersThatSelectNothingTheFramesHave) {
    const struct {
        uint32_t beams, echoes;
        CompactCSV::Options options;
        std::string expected;
    } cases[] = {
        {240, 3, {.echo = {3, 3}}, "--echo 3 selects no echo: frames have echoes 0..2"},
        {240, 3, {.beam = {240, 300}}, "--beam 240:300 selects no beam: frames have beams 0..239"},
        {240, 0, {.echo = {0, 0}}, "--echo 0 selects no echo: frames have no echoes"},
        {10,
         1,
         {.beam = {20, 20}, .echo = {2, 2}},
         "--beam 20 selects no beam: frames have beams 0..9\n--echo 2 selects no echo: frames "
         "have echoes 0..0"},
        {240, 3, {.beam = {230, 300}, .echo = {2, 5}}, ""},  // clipped, but something is left
        {240, 3, {}, ""},
    };
    for (const auto& c : cases) {
        compact::FrameSpec frame;
        frame.modules.push_back(compact::makeModule(2, c.beams, c.echoes));
        const std::string bytes = compact::encodeFrame(frame);
        compact::FrameView view;
        ASSERT_TRUE(view.parse(bytes.data(), bytes.size()));
        EXPECT_EQ(emptyFilterHint(c.options, *view.begin()), c.expected);
    }
}

}  // namespace
