// Tests of the Compact frame decoder and of the frame builder that the other tests rely on: both
// read or write the worked example in tests/data, so that a builder bug cannot hide a decoder bug;
// both telegram versions, every validation error, truncation at every offset, hostile counts, and
// nested objects built without their frame or parent.
#include "format/compact_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <tuple>

#include "format/compact_frame_magic.h"
#include "generators/compact_frame_builder.h"
#include "support/files.h"
#include "support/frames.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace compact;
using ravo::compact_frame_t;
using testing_support::fromHex;
using testing_support::goldenFile;

// A decoded datagram together with the stream it was read from.
struct Decoded {
    explicit Decoded(const std::string& bytes) : io(bytes), top(&io) {}
    compact_frame_t* frame() const { return top.frame(); }
    compact_frame_t::module_t* module() const { return frame()->modules()->at(0).get(); }
    compact_frame_t::measurement_data_t* at(size_t beam, size_t line) const {
        return module()->beams()->at(beam)->measurement_data()->at(line).get();
    }
    kaitai::kstream io;
    ravo::compact_frame_magic_t top;
};

// True when decoding fails with the end-of-data error, false when it succeeds or fails otherwise.
bool endsEarly(const std::string& bytes) {
    try {
        Decoded d(bytes);
    } catch (const std::ios_base::failure&) {
        return true;
    } catch (...) {
    }
    return false;
}

std::string frameWith(ModuleSpec module, uint32_t version = 4) {
    return encodeFrame({.telegramVersion = version, .modules = {std::move(module)}});
}

std::string workedExample() { return fromHex(goldenFile("worked_example.hex")); }

// The values that the CSV rows of the worked example show (tests/csv/compact_csv_test.cpp) are
// not repeated here.
TEST(CompactFrame, WorkedExampleDecodes) {
    const std::string bytes = workedExample();
    ASSERT_EQ(bytes.size(), 115u);
    Decoded d(bytes);
    EXPECT_EQ(d.io.pos(), 115u);
    EXPECT_EQ(d.top.magic(), "\x02\x02\x02\x02");
    const compact_frame_t::header_t* h = d.frame()->header();
    EXPECT_EQ(h->header_word_0(), 1u);
    EXPECT_EQ(h->telegram_counter(), 5u);
    EXPECT_EQ(h->telegram_version(), 4u);
    EXPECT_EQ(h->first_module_size(), 79u);
    EXPECT_EQ(d.frame()->modules()->size(), 1u);
    const compact_frame_t::metadata_t* md = d.module()->metadata();
    EXPECT_EQ(md->num_lines(), 1u);
    EXPECT_EQ(md->num_beams(), 1u);
    EXPECT_EQ(md->num_echos(), 1u);
    EXPECT_EQ(md->distance_scaling_factor(), 0.5f);
    EXPECT_EQ(md->next_module_size(), 0u);
    EXPECT_EQ(d.at(0, 0)->echos()->at(0)->distance(), 125.0);
    EXPECT_EQ(d.at(0, 0)->beam_properties()->upper_bits(), 0u);
    EXPECT_TRUE(d.at(0, 0)->beam_properties()->bit_0());
    EXPECT_EQ(d.at(0, 0)->theta(), 21599);
    EXPECT_EQ(d.at(0, 0)->theta_rad(), 1.0);
}

TEST(CompactFrameBuilder, WritesTheWorkedExample) {
    ModuleSpec module = makeModule(1, 1, 1);
    module.segmentCounter = 7;
    module.frameNumber = 100;
    module.timestampStart = {500};
    module.timestampStop = {600};
    module.thetaStart = {-0.785398f};
    module.thetaStop = {0.785398f};
    module.distanceScalingFactor = 0.5f;
    module.measurements = {{{{250, 120}}, 1, 21599}};
    EXPECT_EQ(encodeFrame({.telegramCounter = 5, .modules = {module}}), workedExample());
}

TEST(CompactFrame, EmptyFrameAndValidationErrors) {
    const std::string empty = fromHex(
        "02 02 02 02  01 00 00 00  2A 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 "
        "04 00 00 00  00 00 00 00  DD CC BB AA");
    FrameSpec frame{.telegramCounter = 42, .trailerWord = 0xAABBCCDD};
    auto version = [&](uint32_t v) {
        frame.telegramVersion = v;
        return encodeFrame(frame);
    };
    EXPECT_EQ(version(4), empty);
    for (const std::string& bytes : {empty, empty + "\x77\x77", version(3)}) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        const Decoded d(bytes);
        EXPECT_EQ(d.frame()->header()->telegram_counter(), 42u);
        EXPECT_TRUE(d.frame()->_is_null_modules());
        EXPECT_EQ(d.frame()->modules(), nullptr);
        EXPECT_EQ(d.frame()->trailer_word(), 0xAABBCCDDu);
    }

    const std::string wrongMagic = "\x02\x02\x02\x03" + empty.substr(4);
    const char* range = "/types/header/seq/3: at pos 28: validation failed: not in range";
    for (const auto& [bytes, text] : std::vector<std::pair<std::string, const char*>>{
             {wrongMagic, "/seq/0: at pos 4: validation failed: not equal"},
             {version(2), range},
             {version(5), range},
             {version(0xFFFFFFFF), range}}) {
        EXPECT_THAT([&] { Decoded d(bytes); },
                    testing::ThrowsMessage<kaitai::kstruct_error>(testing::StrEq(text)));
    }
    EXPECT_THROW(Decoded{wrongMagic}, kaitai::validation_not_equal_error<std::string>);
    EXPECT_THROW(Decoded{version(2)}, kaitai::validation_less_than_error<unsigned int>);
    EXPECT_THROW(Decoded{version(5)}, kaitai::validation_greater_than_error<unsigned int>);
}

// A module is 40 bytes of fixed metadata (44 in version 4, which adds the scaling factor), 28 per
// line and per measurement the fields its flags select; 32 bytes of header and 4 of trailer go
// around it. One line, two beams, one echo and beam flags 0x01 make 78 (82) bytes.
TEST(CompactFrame, LayoutFollowsVersionAndPresenceFlags) {
    using Flags = std::tuple<uint8_t, uint8_t, size_t>;  // echo and beam flags, measurement bytes
    for (const uint32_t v : {3u, 4u}) {
        for (const auto& [ef, bf, measurementBytes] :
             {Flags{0x03, 0x01, 5}, Flags{0x03, 0x03, 7}, Flags{0xFC, 0x00, 0},
              Flags{0x01, 0x02, 4}, Flags{0x02, 0x01, 3}, Flags{0xFE, 0xFD, 3}}) {
            SCOPED_TRACE(testing::Message()
                         << "version " << v << ", flags " << int(ef) << "/" << int(bf));
            const bool dist = ef & 1, rssi = ef & 2, theta = bf & 2, prop = bf & 1;
            ModuleSpec desc = makeModule(1, 2, 1);
            desc.dataContentEchos = ef;
            desc.dataContentBeams = bf;
            const std::string bytes = frameWith(desc, v);
            EXPECT_EQ(bytes.size(), 32 + (v == 3 ? 68u : 72u) + 2 * measurementBytes + 4);
            Decoded d(bytes);
            EXPECT_EQ(d.io.pos(), bytes.size());
            const auto* m = d.at(1, 0);
            const auto& want = desc.measurements[1];
            const auto* echo = m->echos()->at(0).get();  // echo objects exist even without bytes
            EXPECT_EQ(echo->_is_null_distance_raw(), !dist);
            EXPECT_EQ(echo->distance_raw(), dist ? want.echos[0].distance : 0);
            EXPECT_EQ(echo->_is_null_rssi(), !rssi);
            EXPECT_EQ(echo->rssi(), rssi ? want.echos[0].rssi : 0);
            EXPECT_EQ(m->beam_properties() == nullptr, !prop);
            EXPECT_EQ(m->_is_null_beam_properties(), !prop);
            EXPECT_EQ(m->theta(), theta ? want.theta : 0);
            EXPECT_EQ(m->_is_null_theta_v3(), v == 4 || !theta);
            EXPECT_EQ(m->_is_null_theta_v4(), v == 3 || !theta);
        }
        // The 3 measurement bytes AA BB CC of a module without echoes: theta then property byte
        // in version 3, the property byte then theta in version 4.
        const std::string one = frameWith(makeModule(1, 1, 0), v);
        Decoded t(one.substr(0, one.size() - 7) + "\xAA\xBB\xCC" + std::string(4, '\0'));
        EXPECT_EQ(t.at(0, 0)->theta(), v == 3 ? 0xBBAA : 0xCCBB);
        EXPECT_EQ(t.at(0, 0)->beam_properties()->upper_bits(), (v == 3 ? 0xCCu : 0xAAu) >> 1);
    }
}

// Every value of a realistic frame comes back at its beam, line and echo in both versions; cut
// anywhere, it is an end-of-data error.
TEST(CompactFrame, RealisticFrameRoundTripsAndEveryCutEndsEarly) {
    const ModuleSpec desc = makeModule(16, 240, 3);
    std::set<uint32_t> echoes;
    for (const auto& ms : desc.measurements)
        for (const auto& e : ms.echos) echoes.insert(uint32_t{e.distance} << 16 | e.rssi);
    ASSERT_EQ(echoes.size(), 16u * 240u * 3u);  // all distinct: a swapped index shows
    for (const uint32_t v : {3u, 4u}) {
        SCOPED_TRACE(testing::Message() << "version " << v);
        Decoded d(frameWith(desc, v));
        EXPECT_EQ(*d.module()->metadata()->phi(), desc.phi);  // phi differs per line
        ASSERT_EQ(d.module()->beams()->size(), 240u);
        for (size_t i = 0; i < desc.measurements.size(); ++i) {  // beam-major
            const auto& want = desc.measurements[i];
            const auto* got = d.at(i / 16, i % 16);
            const auto* prop = got->beam_properties();
            bool same = got->theta() == want.theta &&
                        (prop->upper_bits() << 1 | prop->bit_0()) == want.properties;
            for (size_t e = 0; e < 3; ++e) {
                same = same && got->echos()->at(e)->distance_raw() == want.echos[e].distance &&
                       got->echos()->at(e)->rssi() == want.echos[e].rssi;
            }
            ASSERT_TRUE(same) << "beam " << i / 16 << ", line " << i % 16;
        }
    }
    size_t wrong = 0, wrongAt = 0;
    for (std::string cut = frameWith(desc); !cut.empty();) {  // shortened in place: copies are slow
        cut.pop_back();
        if (!endsEarly(cut) && wrong++ == 0) wrongAt = cut.size();
    }
    EXPECT_EQ(wrong, 0u) << "e.g. cut after " << wrongAt << " bytes";
}

TEST(CompactFrame, DerivedValues) {
    // Version, raw theta, theta in radians and degrees, distance of raw 1234 scaled by 0.1.
    using Case = std::tuple<uint32_t, uint16_t, double, double, double>;
    for (const auto& [version, theta, rad, deg, distance] :
         {Case{4, 16384, 0.0, 0.0, 123.4000015258789},
          Case{4, 21599, 1.0, 57.29577951309679, 123.4000015258789},
          Case{3, 0, -3.1417066155321187, -180.00652953836584, 1234.0}}) {
        SCOPED_TRACE(testing::Message() << "version " << version << ", theta " << theta);
        ModuleSpec desc = makeModule(1, 1, 1);
        desc.thetaStart = {0.785398f};
        desc.distanceScalingFactor = 0.1f;
        desc.measurements[0] = {{{1234, 1}}, 1, theta};
        Decoded d(frameWith(desc, version));
        EXPECT_DOUBLE_EQ(d.module()->metadata()->theta_start_deg(), 44.99999100696669);
        EXPECT_DOUBLE_EQ(d.at(0, 0)->theta_rad(), rad);
        EXPECT_DOUBLE_EQ(d.at(0, 0)->theta_deg(), deg);
        EXPECT_DOUBLE_EQ(d.at(0, 0)->echos()->at(0)->distance(), distance);
    }
}

TEST(CompactFrame, UnusualCountsAndModuleChains) {
    Decoded d(frameWith(makeModule(0, 3, 1)));  // beams without measurement bytes
    EXPECT_TRUE(d.module()->beams()->at(2)->measurement_data()->empty());
    EXPECT_THROW(d.module()->metadata()->theta_start_deg(), std::out_of_range);
    // Counts of 2^31 and above read as negative: no elements, no bytes.
    Decoded n(frameWith({.numLines = 0x80000000u, .numBeams = 0xFFFFFFFFu}));
    EXPECT_TRUE(n.module()->metadata()->timestamp_start()->empty());
    EXPECT_TRUE(n.module()->beams()->empty());
    EXPECT_EQ(n.io.pos(), 32u + 44u + 4u);
    // Modules follow next_module_size, not the header's first_module_size; a last module that
    // claims a successor reads the trailer as a module and runs out.
    FrameSpec frame{.firstModuleSize = 1, .modules = {makeModule(1, 1, 1), makeModule(2, 1, 1)}};
    EXPECT_EQ(Decoded(encodeFrame(frame)).frame()->modules()->at(1)->metadata()->num_lines(), 2u);
    frame.modules[1].nextModuleSize = 40;
    EXPECT_TRUE(endsEarly(encodeFrame(frame)));
}

// Counts near 2^31 are refused before any element is built: without the bounds these would
// allocate gigabytes (reserve) or build billions of zero-width objects. The peak memory of the
// same datagrams is measured in tests/app/pipeline_test.cpp.
TEST(CompactFrame, HostileCountsEndEarlyAndTheDensestFramesDecode) {
    for (const auto& c : testing_support::hostileDatagrams())
        EXPECT_TRUE(endsEarly(c.bytes)) << c.name;
    for (const auto& c : testing_support::densestDatagrams())
        EXPECT_NO_THROW(Decoded{c.bytes}) << c.name;
}

// Nested objects read the telegram version and object count through their frame, and counts and
// flags through their parent: built without either, they refuse instead of following null.
struct Nested {
    const char* name;
    std::function<void(kaitai::kstream*, const Decoded&)> build;
};
class NestedWithoutFrameOrParent : public testing::TestWithParam<Nested> {};

TEST_P(NestedWithoutFrameOrParent, ThrowsInvalidArgument) {
    const std::string bytes = workedExample();
    const Decoded d(bytes);
    kaitai::kstream io(bytes.substr(32));  // the module's bytes: enough for any nested object
    EXPECT_THROW(GetParam().build(&io, d), std::invalid_argument);
}

using F = compact_frame_t;
INSTANTIATE_TEST_SUITE_P(
    CompactFrame, NestedWithoutFrameOrParent,
    testing::Values(
        Nested{"module", [](auto io, auto&) { F::module_t(io, nullptr, nullptr); }},
        Nested{"moduleOfFrame", [](auto io, auto& d) { F::module_t(io, d.frame(), nullptr); }},
        Nested{"metadataOfModule",
               [](auto io, auto& d) { F::metadata_t(io, d.module(), nullptr); }},
        Nested{"beamInFrame", [](auto io, auto& d) { F::beam_t(io, nullptr, d.frame()); }},
        Nested{"measurementInFrame",
               [](auto io, auto& d) { F::measurement_data_t(io, nullptr, d.frame()); }},
        Nested{"measurementOfBeam",
               [](auto io, auto& d) {
                   F::measurement_data_t(io, d.module()->beams()->at(0).get(), nullptr);
               }},
        Nested{"echoInFrame", [](auto io, auto& d) { F::echo_t(io, nullptr, d.frame()); }},
        Nested{"echoOfMeasurement", [](auto io, auto& d) { F::echo_t(io, d.at(0, 0), nullptr); }}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
