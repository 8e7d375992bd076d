// Tests of the stream description: the figures per sender, shape and line, parse errors by kind
// and source, and the caps under a hostile stream. What the filters select, against the CSV's
// rows: tests/e2e/capture_test.cpp.
#include "app/describe.h"

#include <gmock/gmock.h>

#include <regex>

#include "format/compact_wire.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"
#include "io/loss_tracker.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using compact::FrameSpec;
using compact::ModuleSpec;
using testing::HasSubstr;

constexpr uint32_t senderA = 0xC0A8000A;  // 192.168.0.10
constexpr uint32_t senderB = 0xC0A80014;  // 192.168.0.20
constexpr uint64_t msNs = 1'000'000;

float radians(double degrees) {
    return static_cast<float>(degrees * compact::wire::radiansPerDegree);
}

// A description with the loss account its report takes the telegram counters from, both fed as
// the receiver's pipeline feeds them.
struct Described {
    explicit Described(const CompactCSV::Options& filters) : description(filters) {}
    void refused(ParseErrorKind kind, uint32_t source) { description.refused(kind, source); }
    std::string report(const StreamDescription::HostDrops& drops = {}) const {
        return description.report(losses, drops);
    }
    StreamDescription description;
    LossTracker losses;
};

void add(Described& d, const std::string& datagram, uint32_t source, uint64_t receivedNs) {
    compact::FrameView frame;
    ASSERT_TRUE(frame.parse(datagram.data(), datagram.size())) << frame.error().message();
    d.description.add(frame, source, receivedNs);
    const uint32_t senderId = frame.moduleCount() != 0 ? frame.begin()->senderId() : 0;
    d.losses.record(source, senderId, frame.telegramCounter(), receivedNs);
}

// Refuses a datagram under the kind the receiver gives it; fails the test when it is accepted.
void refuse(Described& d, const std::string& datagram, uint32_t source) {
    compact::FrameView frame;
    ASSERT_FALSE(frame.parse(datagram.data(), datagram.size()));
    d.refused(parseErrorKind(frame.error()), source);
}

// The modules column of row `line` of the line table; "" when the table has no such row.
std::string modulesOfLine(const std::string& report, int line) {
    std::smatch row;
    const std::regex pattern("\n +" + std::to_string(line) + " +([0-9]+) ");
    return std::regex_search(report, row, pattern) ? row[1].str() : "";
}

// A module of `lines` x `beams` x `echoes` whose per-line arrays the test sets: line l starts at
// `start` + 10 l, lasts `sweep`, has phi `phiDeg[l]` and the theta range thetaDeg.
ModuleSpec module(uint32_t lines, uint32_t beams, uint32_t echoes, uint32_t senderId,
                  uint64_t segment, uint64_t start, uint64_t sweep, std::vector<double> phiDeg,
                  double thetaStartDeg, double thetaStopDeg) {
    ModuleSpec m = compact::makeModule(lines, beams, echoes);
    m.senderId = senderId;
    m.segmentCounter = segment;
    for (uint32_t l = 0; l < lines; ++l) {
        m.timestampStart[l] = start + 10 * l;
        m.timestampStop[l] = start + 10 * l + sweep;
        m.phi[l] = radians(phiDeg[l]);
        m.thetaStart[l] = radians(thetaStartDeg);
        m.thetaStop[l] = radians(thetaStopDeg);
    }
    return m;
}

// Sender A (192.168.0.10, sender_id 7): version 4, modules of 2 lines x 3 beams x 2 echoes with
// scaling factor 0.1, counters 100, 101, 103 (102 skipped), segments 0..2, 50 ms apart, line 0
// starting every 500 units, line 1 10 units later, each line 400 long; line 1's phi moves from 3
// to 3.5 degrees. Sender B (192.168.0.20, sender_id 9): version 3, 1 line x 4 beams x 1 echo,
// counters 7 and 8, segments 11 then 0 (back), 500 ms apart, lines 300 long. Refused: wrong magic
// and an unsupported version from A, a cut frame, one beyond the object cap and another kind from
// B.
TEST(StreamDescription, ReportsEveryFigureOfTwoSendersAndTwoShapes) {
    Described description({});
    for (uint64_t i = 0; i < 3; ++i) {
        ModuleSpec m =
            module(2, 3, 2, 7, i, 1000 + 500 * i, 400, {-2.0, i == 2 ? 3.5 : 3.0}, -45, 45);
        m.distanceScalingFactor = 0.1f;
        const uint64_t counter = i == 2 ? 103 : 100 + i;
        add(description,
            compact::encodeFrame(
                {.telegramCounter = counter, .telegramVersion = 4, .modules = {m}}),
            senderA, 1000 * msNs + i * 50 * msNs);
    }
    for (uint64_t i = 0; i < 2; ++i) {
        const ModuleSpec m =
            module(1, 4, 1, 9, i == 0 ? 11 : 0, 9000 + 100 * i, 300, {0.0}, -90, -60);
        add(description,
            compact::encodeFrame({.telegramCounter = 7 + i, .telegramVersion = 3, .modules = {m}}),
            senderB, 5000 * msNs + i * 500 * msNs);
    }
    refuse(description, compact::encodeFrame({.magic = {2, 2, 2, 3}}), senderA);
    refuse(description, compact::encodeFrame({.telegramVersion = 2}), senderA);
    refuse(description, compact::encodeFrame({}).substr(0, 30), senderB);
    refuse(description,
           compact::encodeFrame({.modules = {compact::countsOnlyModule(0, 1u << 24, 0, 0x00)}}),
           senderB);
    description.refused(ParseErrorKind::Other, senderB);
    // What this host dropped is told apart from the senders' loss.
    EXPECT_THAT(description.report({5, 3, 0}),
                HasSubstr("\nDropped by this host: 8 datagrams (3 by the queue, counted with their "
                          "senders below; 5 by the kernel, whose senders are unknown: their "
                          "telegrams show as lost)\n"));
    // Line 0 of both senders: phi -2 (A) and 0 (B), theta from B's -90 to A's 45, spans of 30
    // (B) and 90 (A), sweeps 300 (B) and 400 (A); line 1 only in A's modules, 10 after line 0.
    EXPECT_EQ(description.report(), R"(Telegrams: 5 accepted, 5 refused
Filters: none (every line of every module is written with all its beams and echoes)

Senders (source address, sender_id of the first module): 2
  192.168.0.10 sender_id 7: 3 telegrams, telegram version 4, 20 telegrams/s
    telegram counters 100..103: 1 lost, 0 late, 0 repeats, 0 restarts (counter went back), 0 jumps
    3 modules, segment counters 0..2, counting up (never back)
    time stamps 1000..2410 (first timestamp_start .. last timestamp_stop)
    module spacing 500 (timestamp_start of line 0, from one module to the next)
  192.168.0.20 sender_id 9: 2 telegrams, telegram version 3, 2 telegrams/s
    telegram counters 7..8: 0 lost, 0 late, 0 repeats, 0 restarts (counter went back), 0 jumps
    2 modules, segment counters 0..11, going back to a lower value 1 time
    time stamps 9000..9400 (first timestamp_start .. last timestamp_stop)
    module spacing 100 (timestamp_start of line 0, from one module to the next)

Module shapes: 2
  1 line x 4 beams x 1 echo, values distance rssi theta properties, version 3 (no scaling factor)
    2 modules, segment counters 0..11, going back to a lower value 1 time
  2 lines x 3 beams x 2 echoes, values distance rssi theta properties, version 4 (distance scaling factor 0.1)
    3 modules, segment counters 0..2, counting up (never back)

Lines: 2 (a line is an index within a module, not a layer of the sensor; angles in degrees)
  theta: lowest theta_start .. highest theta_stop; span: theta_stop minus theta_start in one module
  after line 0: timestamp_start minus line 0's in the same module; sweep: timestamp_stop minus timestamp_start
  line  modules  phi     theta    span    after line 0  sweep     selected
     0        5  -2..0   -90..45  30..90  0             300..400  beams first 0 last 2..3; echoes first 0 last 0..1
     1        3  3..3.5  -45..45  90      10            400       beams 0..2; echoes 0..1

Parse errors: 5 (wrong magic 1, unsupported version 1, truncated 1, object cap 1, other 1)
  192.168.0.10: 2
  192.168.0.20: 3
)");
}

TEST(StreamDescription, StaysWithinItsCapsWhateverArrives) {
    Described description({});
    constexpr uint32_t senders = 3000;
    // Every telegram from another address, of another shape (its beam count).
    for (uint32_t i = 0; i < senders; ++i) {
        const ModuleSpec m = compact::countsOnlyModule(1, 1 + i, 0, 0x00);
        add(description, compact::encodeFrame({.telegramCounter = i, .modules = {m}}),
            0x0A000000 + i, i);
    }
    // More from the first sender (tracked) and the last (not tracked), of the first shape.
    const ModuleSpec first = compact::countsOnlyModule(1, 1, 0, 0x00);
    for (uint32_t source : {0x0A000000u, 0x0A000000u + senders - 1})
        add(description, compact::encodeFrame({.modules = {first}}), source, senders);
    // One module of many lines.
    constexpr uint32_t manyLines = 2000;
    ModuleSpec tall = compact::countsOnlyModule(1, 1, 0, 0x00);
    tall.numLines = manyLines;
    for (auto* array : {&tall.timestampStart, &tall.timestampStop}) array->assign(manyLines, 5);
    for (auto* array : {&tall.phi, &tall.thetaStart, &tall.thetaStop}) array->assign(manyLines, 0);
    add(description, compact::encodeFrame({.modules = {tall}}), 0x0A000000, senders + 1);
    for (uint32_t i = 0; i < senders; ++i)
        description.refused(ParseErrorKind::Truncated, 0x0B000000 + i);

    // Left out: the telegrams of the senders beyond the cap and one more of the last; the modules
    // of the shapes beyond the cap (the first shape and its two later modules are tracked, the tall
    // one is not); the line indices beyond the cap; the refusals from further addresses. A cap
    // that lets one more in shows as a count one lower, a cap never applied as no line at all.
    using D = StreamDescription;
    const std::string report = description.report();
    EXPECT_THAT(report, HasSubstr("(" + std::to_string(senders - D::maxSenders + 1) +
                                  " telegrams of further senders left out"));
    EXPECT_THAT(report, HasSubstr("(" + std::to_string(senders - D::maxShapes + 1) +
                                  " modules of further shapes left out"));
    EXPECT_THAT(report,
                HasSubstr("(line indices " + std::to_string(D::maxLines) + "..1999 left out"));
    EXPECT_THAT(report, HasSubstr("(" + std::to_string(senders - D::maxRefusingSources) +
                                  " from further source addresses left out"));
    EXPECT_THAT(report, HasSubstr("Parse errors: " + std::to_string(senders) + " ("));
    // The report grows with the caps, not with the stream.
    const size_t bound =
        5 * D::maxSenders + D::maxShapes + D::maxLines + D::maxRefusingSources + 30;
    EXPECT_LE(static_cast<size_t>(std::count(report.begin(), report.end(), '\n')), bound);
    // Line 0 counts every module, of tracked senders and shapes or not; the table ends at the cap.
    EXPECT_EQ(modulesOfLine(report, 0), std::to_string(senders + 3));
    EXPECT_EQ(modulesOfLine(report, D::maxLines - 1), "1");
    EXPECT_EQ(modulesOfLine(report, D::maxLines), "");
}

}  // namespace
