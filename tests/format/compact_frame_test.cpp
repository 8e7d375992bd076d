// Tests of the Compact frame decoder and of the frame builder that the other tests rely on:
// a hand-written golden frame, both telegram versions, every validation error, truncation at
// every offset and hostile counts.
#include "format/compact_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <tuple>

#include "format/compact_frame_magic.h"
#include "generators/compact_frame_builder.h"

// Frame descriptions below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace compact;
using ravo::compact_frame_t;

// A decoded datagram together with the stream it was read from.
struct Decoded {
    explicit Decoded(const std::string& bytes) : io(bytes), top(&io) {}
    compact_frame_t* frame() const { return top.frame(); }
    compact_frame_t::module_t* module() const { return frame()->modules()->at(0).get(); }
    const compact_frame_t::measurement_data_t* at(size_t beam, size_t line) const {
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

// Bytes from hexadecimal numbers separated by blanks.
std::string fromHex(const std::string& hex) {
    std::istringstream in(hex);
    std::string out;
    for (unsigned byte = 0; in >> std::hex >> byte;) out.push_back(static_cast<char>(byte));
    return out;
}

std::string frameWith(ModuleSpec module, uint32_t version = 4) {
    return encodeFrame({.telegramVersion = version, .modules = {std::move(module)}});
}

// One module of one line, beam and echo, version 4, all values present: 115 bytes.
const std::string workedExample = fromHex(
    "02 02 02 02  01 00 00 00  05 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 "
    "04 00 00 00  4F 00 00 00 "
    "07 00 00 00 00 00 00 00  64 00 00 00 00 00 00 00  01 00 00 00 "
    "01 00 00 00  01 00 00 00  01 00 00 00 "
    "F4 01 00 00 00 00 00 00  58 02 00 00 00 00 00 00 "
    "00 00 00 00  D8 0F 49 BF  D8 0F 49 3F  00 00 00 3F  00 00 00 00 "
    "00 03 03 00  FA 00 78 00  01  5F 54  00 00 00 00");

TEST(CompactFrame, WorkedExampleDecodesAndIsWhatTheBuilderWrites) {
    Decoded d(workedExample);
    const compact_frame_t::header_t* h = d.frame()->header();
    EXPECT_EQ(std::tuple(d.top.magic(), h->header_word_0(), h->telegram_counter(),
                         h->header_word_2(), h->telegram_version(), h->first_module_size(),
                         d.frame()->modules()->size(), d.frame()->trailer_word(), d.io.pos()),
              std::tuple("\x02\x02\x02\x02", 1u, 5u, 0u, 4u, 79u, 1u, 0u, 115u));
    const compact_frame_t::metadata_t* md = d.module()->metadata();
    EXPECT_EQ(
        std::tuple(md->segment_counter(), md->frame_number(), md->sender_id(), md->num_lines(),
                   md->num_beams(), md->num_echos(), md->distance_scaling_factor(),
                   md->next_module_size(), md->data_content_echos()->has_rssi(),
                   md->data_content_echos()->has_distance(), md->data_content_beams()->has_theta(),
                   md->data_content_beams()->has_properties()),
        std::tuple(7u, 100u, 1u, 1u, 1u, 1u, 0.5f, 0u, true, true, true, true));
    EXPECT_EQ(std::tuple(*md->timestamp_start(), *md->timestamp_stop(), *md->phi(),
                         *md->theta_start(), *md->theta_stop()),
              std::tuple(std::vector<uint64_t>{500}, std::vector<uint64_t>{600}, std::vector{0.0f},
                         std::vector{-0.785398f}, std::vector{0.785398f}));
    const auto* m = d.at(0, 0);
    const auto* echo = m->echos()->at(0).get();
    EXPECT_EQ(std::tuple(echo->distance_raw(), echo->distance(), echo->rssi(),
                         m->beam_properties()->upper_bits(), m->beam_properties()->bit_0(),
                         m->_is_null_theta_v3(), m->theta(), m->theta_rad()),
              std::tuple(250, 125.0, 120, 0u, true, true, 21599, 1.0));

    ModuleSpec module = makeModule(1, 1, 1);
    module.segmentCounter = 7;
    module.frameNumber = 100;
    module.timestampStart = {500};
    module.timestampStop = {600};
    module.thetaStart = {-0.785398f};
    module.thetaStop = {0.785398f};
    module.distanceScalingFactor = 0.5f;
    module.measurements = {{{{250, 120}}, 1, 21599}};
    EXPECT_EQ(encodeFrame({.telegramCounter = 5, .modules = {module}}), workedExample);
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
        const Decoded d(bytes);
        EXPECT_TRUE(d.frame()->header()->telegram_counter() == 42 &&
                    d.frame()->_is_null_modules() && d.frame()->modules() == nullptr &&
                    d.frame()->trailer_word() == 0xAABBCCDD);
    }
    for (size_t cut : {0, 3, 27, 35}) EXPECT_TRUE(endsEarly(empty.substr(0, cut))) << cut;

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
            SCOPED_TRACE(testing::Message() << v << ": " << int(ef) << "/" << int(bf));
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
            EXPECT_EQ(std::tuple(echo->_is_null_distance_raw(), echo->distance_raw(),
                                 echo->_is_null_rssi(), echo->rssi(),
                                 m->beam_properties() == nullptr, m->_is_null_beam_properties(),
                                 m->theta(), m->_is_null_theta_v3(), m->_is_null_theta_v4()),
                      std::tuple(!dist, dist ? want.echos[0].distance : 0, !rssi,
                                 rssi ? want.echos[0].rssi : 0, !prop, !prop,
                                 theta ? want.theta : 0, v == 4 || !theta, v == 3 || !theta));
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
        Decoded d(frameWith(desc, v));
        EXPECT_EQ(*d.module()->metadata()->phi(), desc.phi);  // phi differs per line
        int mismatches = d.module()->beams()->size() != 240;
        for (size_t i = 0; i < desc.measurements.size(); ++i) {  // beam-major
            const auto& want = desc.measurements[i];
            const auto* got = d.at(i / 16, i % 16);
            const auto* prop = got->beam_properties();
            mismatches += got->theta() != want.theta ||
                          (prop->upper_bits() << 1 | prop->bit_0()) != want.properties;
            for (size_t e = 0; e < 3; ++e) {
                mismatches += got->echos()->at(e)->distance_raw() != want.echos[e].distance ||
                              got->echos()->at(e)->rssi() != want.echos[e].rssi;
            }
        }
        EXPECT_EQ(mismatches, 0);
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
        ModuleSpec desc = makeModule(1, 1, 1);
        desc.thetaStart = {0.785398f};
        desc.distanceScalingFactor = 0.1f;
        desc.measurements[0] = {{{1234, 1}}, 1, theta};
        Decoded d(frameWith(desc, version));
        EXPECT_DOUBLE_EQ(d.module()->metadata()->theta_start_deg(), 44.99999100696669);
        EXPECT_DOUBLE_EQ(d.at(0, 0)->theta_rad(), rad) << theta;
        EXPECT_DOUBLE_EQ(d.at(0, 0)->theta_deg(), deg) << theta;
        EXPECT_DOUBLE_EQ(d.at(0, 0)->echos()->at(0)->distance(), distance) << theta;
    }
}

TEST(CompactFrame, UnusualCountsAndModuleChains) {
    Decoded d(frameWith(makeModule(0, 3, 1)));  // beams without measurement bytes
    EXPECT_TRUE(d.module()->beams()->at(2)->measurement_data()->empty());
    EXPECT_THROW(d.module()->metadata()->theta_start_deg(), std::out_of_range);
    // Counts of 2^31 and above read as negative: no elements, no bytes.
    Decoded n(frameWith({.numLines = 0x80000000u, .numBeams = 0xFFFFFFFFu}));
    EXPECT_TRUE(n.module()->metadata()->timestamp_start()->empty() && n.module()->beams()->empty());
    EXPECT_EQ(n.io.pos(), 32u + 44u + 4u);
    // Modules follow next_module_size, not the header's first_module_size; a last module that
    // claims a successor reads the trailer as a module and runs out.
    FrameSpec frame{.firstModuleSize = 1, .modules = {makeModule(1, 1, 1), makeModule(2, 1, 1)}};
    EXPECT_EQ(Decoded(encodeFrame(frame)).frame()->modules()->at(1)->metadata()->num_lines(), 2u);
    frame.modules[1].nextModuleSize = 40;
    EXPECT_TRUE(endsEarly(encodeFrame(frame)));
    // Counts near 2^31 are refused before any element is built; without the bounds these would
    // allocate gigabytes (reserve) or build billions of zero-width objects.
    const uint32_t big = 0x7FFFFFFF;
    using Case = std::tuple<uint32_t, uint32_t, uint32_t, uint8_t, uint8_t>;  // counts, flags
    for (const auto& [lines, beams, echoes, echoFlags, beamFlags] :
         {Case{big, 1, 1, 3, 3}, Case{1, big, 1, 3, 3}, Case{0, big, 1, 3, 3},
          Case{1, big, 0, 0, 0}, Case{1, 1, big, 3, 0}, Case{1, 1, big, 0, 0},
          Case{1, 1, big, 0, 3}, Case{big, big, big, 0, 0}}) {
        ModuleSpec desc = makeModule(lines == 1, 0, 0);  // the per-line arrays of one line
        std::tie(desc.numLines, desc.numBeams, desc.numEchos) = std::tie(lines, beams, echoes);
        std::tie(desc.dataContentEchos, desc.dataContentBeams) = std::tie(echoFlags, beamFlags);
        // A little slack after the module, far from what the counts need.
        EXPECT_TRUE(endsEarly(frameWith(desc) + std::string(200, '\0'))) << lines << "/" << beams;
    }
    // The object bound covers the whole datagram: two modules that each fit it but not together.
    const ModuleSpec wide = makeModule(0, compact_frame_t::maxObjectsPerDatagram / 2, 0);
    EXPECT_FALSE(endsEarly(encodeFrame({.modules = {wide}})));
    EXPECT_TRUE(endsEarly(encodeFrame({.modules = {wide, wide}})));
}

}  // namespace
