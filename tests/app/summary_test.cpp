// Tests of the texts a run says besides its rows: the start line, the hint for a filter that
// selects nothing the frames have, and the line for a run in which nothing arrived.
#include "app/summary.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/frame_extent.h"
#include "format/compact_wire.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "io/linux_udp_socket.h"
#include "io/status.h"

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
    for (const auto& c : cases) EXPECT_EQ(startLine(c.socket, c.output, c.options, ""), c.expected);
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

// The loss part of a live run's account: a netted figure is never printed where the kernel dropped
// datagrams that may not have been telegrams; what the queue dropped is counted against its
// sender; late telegrams, jumps and senders not followed are said.
TEST(RunTexts, LossIsToldAsTheCountersShowIt) {
    const struct {
        std::vector<uint64_t> counters;  // of sender 1; 0 stands for a telegram the queue dropped
        uint64_t kernelDrops, queueDrops;
        size_t otherSenders;  // one telegram each, after the counters
        std::string expected;
    } cases[] = {
        {{1, 2, 4, 6, 8, 9},
         2000,
         0,
         0,
         "3 missing from the telegram counters (0 to 3 may be this host's drops), 2000 dropped by "
         "this host, 0 counter resets"},
        {{1, 2, 4, 6, 8, 9},
         0,
         0,
         0,
         "3 lost at the sensor or on the network, 0 dropped by this host, 0 counter resets"},
        {{1, 2, 0, 4},
         0,
         1,
         0,
         "0 lost at the sensor or on the network, 1 dropped by this host, 0 counter resets"},
        {{1, 3, 2, 4},
         0,
         0,
         0,
         "0 lost at the sensor or on the network, 0 dropped by this host, 0 counter resets, 1 "
         "late (reordered)"},
        {{1, 2, (uint64_t{1} << 31) + 1},
         0,
         0,
         0,
         "0 lost at the sensor or on the network, 0 dropped by this host, 0 counter resets, 1 "
         "counter jump (2147483646 counters, not counted as lost)"},
        {{1, 3},
         0,
         0,
         LossTracker::maxSenders,
         "at least 1 lost at the sensor or on the network, 0 dropped by this host, 0 counter "
         "resets, 1 telegrams from 1 senders not followed"},
    };
    for (const auto& c : cases) {
        Status status("", 5000);
        uint64_t last = 0;
        for (uint64_t counter : c.counters) {
            if (counter == 0)
                status.telegramDropped(1, 1, last + 1, 0);
            else
                status.telegramReceived(1, 1, last = counter, 0);
        }
        for (size_t i = 0; i < c.otherSenders; ++i) status.telegramReceived(2, uint32_t(i), 1, 0);
        const std::string account = liveSummary(status, 1.0, c.kernelDrops, c.queueDrops, "");
        EXPECT_EQ(account.substr(account.find(": ") + 2, c.expected.size()), c.expected);
    }
}

// A module of the given shape whose lines have the given angles in degrees (NaN allowed).
compact::ModuleSpec module(uint32_t lines, uint32_t beams, uint32_t echoes, std::vector<double> phi,
                           std::vector<double> thetaStart, std::vector<double> thetaStop) {
    compact::ModuleSpec m = compact::makeModule(lines, beams, echoes);
    for (auto [to, from] :
         {std::pair{&m.phi, &phi}, {&m.thetaStart, &thetaStart}, {&m.thetaStop, &thetaStop}}) {
        to->clear();
        for (double d : *from)
            to->push_back(static_cast<float>(d * compact::wire::radiansPerDegree));
    }
    return m;
}

// The extent of the frames that "No rows were written" names: counts per module, angles over all
// lines, NaN left out.
TEST(RunTexts, FrameExtentNamesTheCountsAndTheAnglesWithoutNaN) {
    const double nan = NAN;
    const std::pair<std::vector<std::vector<compact::ModuleSpec>>, std::string> cases[] = {
        {{}, "frames held no modules"},
        {{{}, {}}, "frames held no modules"},
        {{{module(1, 8, 1, {0.27}, {-30}, {0}),
           module(3, 4, 0, {1, 2, 3}, {0, 0, 0}, {30, 30, 30})}},
         "frames held 1..3 lines, 4..8 beams, 0..1 echoes; phi 0.3..3 deg, theta -30..30 deg"},
        {{{module(1, 1, 1, {-0.04}, {1.26}, {1.34})}},
         "frames held 1 line, 1 beam, 1 echo; phi 0 deg, theta 1.3 deg"},
        // NaN first: a NaN taken in would stick, as no comparison replaces it.
        {{{module(3, 2, 3, {nan, 10, -20}, {nan, -90, 0}, {nan, nan, 100}),
           module(1, 6, 2, {nan}, {nan}, {nan})},
          {module(2, 4, 1, {-1.5, 1.5}, {-45, -45}, {45, 45})}},
         "frames held 1..3 lines, 2..6 beams, 1..3 echoes; phi -20..10 deg, theta -90..100 deg"},
        {{{module(0, 2, 1, {}, {}, {}), module(1, 2, 1, {nan}, {nan}, {nan})}},
         "frames held 0..1 lines, 2 beams, 1 echo; phi none, theta none"},
    };
    for (const auto& [frames, text] : cases) {
        FrameExtent extent;
        for (const auto& modules : frames) {
            const std::string datagram = compact::encodeFrame({.modules = modules});
            compact::FrameView view;
            ASSERT_TRUE(view.parse(datagram.data(), datagram.size())) << view.error().message();
            for (const compact::ModuleView& m : view) extent.add(m);
        }
        EXPECT_EQ(extent.text(), text);
    }
}

}  // namespace
