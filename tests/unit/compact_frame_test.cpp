// Tests of the Compact frame decoder and of the frame builder that the other tests rely on:
// a hand-written golden frame, both telegram versions, every validation error, truncation at
// every offset and hostile counts.
#include "compact_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <istream>
#include <set>
#include <streambuf>

#include "compact_frame_builder.h"
#include "compact_frame_magic.h"

namespace {

using compact::encodeFrame;
using compact::encodeModule;
using compact::FrameSpec;
using compact::makeModule;
using compact::ModuleSpec;
using ravo::compact_frame_t;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// A decoded datagram together with the stream it was read from.
struct Decoded {
    explicit Decoded(const std::string& bytes) : io(bytes), top(&io) {}
    compact_frame_t* frame() const { return top.frame(); }
    compact_frame_t::module_t* module(size_t i = 0) const {
        return frame()->modules()->at(i).get();
    }
    kaitai::kstream io;
    ravo::compact_frame_magic_t top;
};

void decode(const std::string& bytes) { Decoded d(bytes); }

// Bytes from pairs of hex digits; blanks between them are ignored.
std::string fromHex(std::string digits) {
    std::erase(digits, ' ');
    std::string out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

FrameSpec frameWith(ModuleSpec module, uint32_t version = 4) {
    FrameSpec frame;
    frame.telegramVersion = version;
    frame.modules.push_back(std::move(module));
    return frame;
}

const compact_frame_t::measurement_data_t* measurement(const Decoded& d, size_t beam, size_t line) {
    return d.module()->beams()->at(beam)->measurement_data()->at(line).get();
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

TEST(CompactFrame, DecodesHandWrittenWorkedExample) {
    ASSERT_EQ(workedExample.size(), 115u);
    Decoded d(workedExample);
    EXPECT_EQ(d.top.magic(), std::string(4, '\x02'));
    const compact_frame_t::header_t* h = d.frame()->header();
    EXPECT_EQ(h->header_word_0(), 1u);
    EXPECT_EQ(h->telegram_counter(), 5u);
    EXPECT_EQ(h->header_word_2(), 0u);
    EXPECT_EQ(h->telegram_version(), 4u);
    EXPECT_EQ(h->first_module_size(), 79u);
    ASSERT_FALSE(d.frame()->_is_null_modules());
    ASSERT_EQ(d.frame()->modules()->size(), 1u);
    const compact_frame_t::metadata_t* md = d.module()->metadata();
    EXPECT_EQ(md->segment_counter(), 7u);
    EXPECT_EQ(md->frame_number(), 100u);
    EXPECT_EQ(md->sender_id(), 1u);
    EXPECT_TRUE(md->num_lines() == 1 && md->num_beams() == 1 && md->num_echos() == 1);
    EXPECT_EQ(*md->timestamp_start(), std::vector<uint64_t>{500});
    EXPECT_EQ(*md->timestamp_stop(), std::vector<uint64_t>{600});
    EXPECT_EQ(*md->phi(), std::vector<float>{0.0f});
    EXPECT_EQ(*md->theta_start(), std::vector<float>{-0.785398f});
    EXPECT_EQ(*md->theta_stop(), std::vector<float>{0.785398f});
    EXPECT_FALSE(md->_is_null_distance_scaling_factor());
    EXPECT_EQ(md->distance_scaling_factor(), 0.5f);
    EXPECT_EQ(md->next_module_size(), 0u);
    EXPECT_TRUE(md->data_content_echos()->has_rssi() && md->data_content_echos()->has_distance());
    EXPECT_TRUE(md->data_content_beams()->has_theta() &&
                md->data_content_beams()->has_properties());
    const auto* m = measurement(d, 0, 0);
    ASSERT_EQ(m->echos()->size(), 1u);
    EXPECT_EQ(m->echos()->at(0)->distance_raw(), 250);
    EXPECT_EQ(m->echos()->at(0)->distance(), 125.0);
    EXPECT_EQ(m->echos()->at(0)->rssi(), 120);
    ASSERT_NE(m->beam_properties(), nullptr);
    EXPECT_EQ(m->beam_properties()->upper_bits(), 0u);
    EXPECT_TRUE(m->beam_properties()->bit_0());
    EXPECT_TRUE(m->_is_null_theta_v3());
    EXPECT_EQ(m->theta_v4(), 21599);
    EXPECT_EQ(m->theta(), 21599);
    EXPECT_DOUBLE_EQ(m->theta_rad(), 1.0);
    EXPECT_EQ(d.frame()->trailer_word(), 0u);
    EXPECT_EQ(d.io.pos(), 115u);
    // Links: the frame is the root of its tree, not the magic object.
    EXPECT_TRUE(d.frame()->_root() == d.frame() && d.frame()->_parent() == nullptr);
    EXPECT_TRUE(m->_root() == d.frame() && m->_parent()->_parent() == d.module());
    EXPECT_EQ(m->echos()->at(0)->_parent(), m);

    ModuleSpec module = makeModule(1, 1, 1);
    module.segmentCounter = 7;
    module.frameNumber = 100;
    module.timestampStart = {500};
    module.timestampStop = {600};
    module.thetaStart = {-0.785398f};
    module.thetaStop = {0.785398f};
    module.distanceScalingFactor = 0.5f;
    module.measurements = {{{{250, 120}}, 1, 21599}};
    FrameSpec frame = frameWith(module);
    frame.telegramCounter = 5;
    EXPECT_EQ(encodeFrame(frame), workedExample);
}

struct EnvelopeCase {
    const char* name;
    std::string bytes;
    const char* error;  // nullptr: decodes; "" end-of-data error; else the validation message
};

TEST(CompactFrame, EnvelopeAndValidationErrors) {
    const std::string empty = fromHex(
        "02 02 02 02  01 00 00 00  2A 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 "
        "04 00 00 00  00 00 00 00  DD CC BB AA");
    auto withVersion = [&](uint32_t v) {
        std::string b = empty;
        for (int i = 0; i < 4; ++i) b[24 + i] = static_cast<char>(v >> (8 * i));
        return b;
    };
    const char* range = "/types/header/seq/3: at pos 28: validation failed: not in range";
    const std::vector<EnvelopeCase> cases = {
        {"empty frame", empty, nullptr},
        {"extra bytes ignored", empty + std::string(10, '\x77'), nullptr},
        {"version 3", withVersion(3), nullptr},
        {"no bytes", "", ""},
        {"3 bytes", empty.substr(0, 3), ""},
        {"trailer cut", empty.substr(0, 35), ""},
        {"header cut", empty.substr(0, 27), ""},
        {"wrong magic", "\x02\x02\x02\x03" + empty.substr(4),
         "/seq/0: at pos 4: validation failed: not equal"},
        {"version 2", withVersion(2), range},
        {"version 5", withVersion(5), range},
        {"version max", withVersion(0xFFFFFFFF), range},
    };
    for (const EnvelopeCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error == nullptr) {
            Decoded d(c.bytes);
            EXPECT_EQ(d.frame()->header()->telegram_counter(), 42u);
            EXPECT_TRUE(d.frame()->_is_null_modules());
            EXPECT_EQ(d.frame()->modules(), nullptr);
            EXPECT_EQ(d.frame()->trailer_word(), 0xAABBCCDDu);
        } else if (*c.error == '\0') {
            EXPECT_THROW(decode(c.bytes), std::ios_base::failure);
        } else {
            EXPECT_THAT([&] { decode(c.bytes); },
                        ThrowsMessage<kaitai::kstruct_error>(StrEq(c.error)));
        }
    }
    FrameSpec emptyFrame;
    emptyFrame.telegramCounter = 42;
    emptyFrame.trailerWord = 0xAABBCCDD;
    EXPECT_EQ(encodeFrame(emptyFrame), empty);
    using not_equal = kaitai::validation_not_equal_error<std::string>;
    using less = kaitai::validation_less_than_error<unsigned int>;
    using greater = kaitai::validation_greater_than_error<unsigned int>;
    EXPECT_THROW(decode("\x02\x02\x02\x03" + empty.substr(4)), not_equal);
    EXPECT_THROW(decode(withVersion(2)), less);
    EXPECT_THROW(decode(withVersion(5)), greater);
}

class CompactFrameVersion : public ::testing::TestWithParam<uint32_t> {};

// Every value of a realistic frame comes back at its beam, line and echo.
TEST_P(CompactFrameVersion, RealisticFrameRoundTrips) {
    ModuleSpec desc = makeModule(16, 240, 3);
    desc.distanceScalingFactor = 0.25f;
    Decoded d(encodeFrame(frameWith(desc, GetParam())));
    const auto* md = d.module()->metadata();
    EXPECT_EQ(*md->timestamp_start(), desc.timestampStart);
    EXPECT_EQ(*md->timestamp_stop(), desc.timestampStop);
    EXPECT_EQ(*md->phi(), desc.phi);
    EXPECT_EQ(*md->theta_start(), desc.thetaStart);
    EXPECT_EQ(*md->theta_stop(), desc.thetaStop);
    EXPECT_EQ(md->_is_null_distance_scaling_factor(), GetParam() == 3);
    ASSERT_EQ(d.module()->beams()->size(), 240u);
    int mismatches = 0;
    for (size_t b = 0; b < 240; ++b) {
        ASSERT_EQ(d.module()->beams()->at(b)->measurement_data()->size(), 16u);
        for (size_t l = 0; l < 16; ++l) {
            const auto& want = desc.measurements[b * 16 + l];
            const auto* got = measurement(d, b, l);
            mismatches += got->theta() != want.theta;
            mismatches +=
                got->beam_properties()->upper_bits() * 2 + got->beam_properties()->bit_0() !=
                uint64_t{want.properties};
            for (size_t e = 0; e < 3; ++e) {
                const auto* echo = got->echos()->at(e).get();
                mismatches += echo->distance_raw() != want.echos[e].distance;
                mismatches += echo->rssi() != want.echos[e].rssi;
                const float scale = GetParam() == 4 ? 0.25f : 1.0f;
                mismatches += echo->distance() != want.echos[e].distance * scale;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// L = 1, B = 2, E = 1, echo flags 0x03, beam flags 0x01: 68 bytes of metadata (72 in version
// 4) and two 5-byte measurements.
TEST_P(CompactFrameVersion, LayoutSizes) {
    const uint32_t version = GetParam();
    ModuleSpec desc = makeModule(1, 2, 1);
    desc.dataContentBeams = 0x01;
    EXPECT_EQ(encodeModule(desc, version).size(), version == 3 ? 78u : 82u);
    const std::string bytes = encodeFrame(frameWith(desc, version));
    EXPECT_EQ(bytes.size(), version == 3 ? 114u : 118u);
    Decoded d(bytes);
    EXPECT_EQ(d.io.pos(), bytes.size());
    EXPECT_EQ(measurement(d, 1, 0)->echos()->at(0)->rssi(), desc.measurements[1].echos[0].rssi);
}

// The bytes AA BB CC after the metadata: theta then property byte in version 3, the property
// byte then theta in version 4.
TEST_P(CompactFrameVersion, ThetaPositionDependsOnVersion) {
    const uint32_t version = GetParam();
    ModuleSpec desc;
    desc.numLines = desc.numBeams = 1;
    desc.timestampStart = desc.timestampStop = {0};
    desc.phi = desc.thetaStart = desc.thetaStop = {0.0f};
    FrameSpec frame;
    frame.telegramVersion = version;
    frame.firstModuleSize = 1;
    const std::string bytes = encodeFrame(frame).substr(0, 32) + encodeModule(desc, version) +
                              "\xAA\xBB\xCC" + std::string(4, '\0');
    Decoded d(bytes);
    const auto* m = measurement(d, 0, 0);
    const bool v3 = version == 3;
    EXPECT_EQ(m->theta(), v3 ? 0xBBAA : 0xCCBB);
    EXPECT_EQ(v3 ? m->theta_v3() : m->theta_v4(), m->theta());
    EXPECT_TRUE(m->_is_null_theta_v3() != v3 && m->_is_null_theta_v4() == v3);
    EXPECT_EQ(m->beam_properties()->upper_bits(), (v3 ? 0xCCu : 0xAAu) >> 1);
}

INSTANTIATE_TEST_SUITE_P(BothVersions, CompactFrameVersion, ::testing::Values(3u, 4u));

TEST(CompactFrame, PresenceFlagsSelectFieldsAndSize) {
    struct Flags {
        uint8_t echos, beams;
    };
    for (const Flags f : {Flags{0x03, 0x03}, Flags{0xFC, 0x00}, Flags{0x01, 0x02},
                          Flags{0x02, 0x01}, Flags{0xFE, 0xFD}}) {
        SCOPED_TRACE(testing::Message() << int(f.echos) << "/" << int(f.beams));
        const bool dist = f.echos & 1, rssi = f.echos & 2, theta = f.beams & 2, prop = f.beams & 1;
        ModuleSpec desc = makeModule(2, 3, 2);
        desc.dataContentEchos = f.echos;
        desc.dataContentBeams = f.beams;
        const size_t measurementBytes = 2 * (2 * dist + 2 * rssi) + 2 * theta + prop;
        EXPECT_EQ(encodeModule(desc, 4).size(), 44 + 28 * 2 + 6 * measurementBytes);
        Decoded d(encodeFrame(frameWith(desc)));
        const auto* md = d.module()->metadata();
        EXPECT_EQ(md->data_content_echos()->reserved(), uint64_t{f.echos} >> 2);
        EXPECT_EQ(md->data_content_beams()->reserved(), uint64_t{f.beams} >> 2);
        const auto* m = measurement(d, 2, 1);
        const auto& want = desc.measurements[2 * 2 + 1];
        ASSERT_EQ(m->echos()->size(), 2u);  // echo objects exist even without bytes
        const auto* echo = m->echos()->at(1).get();
        EXPECT_EQ(echo->_is_null_distance_raw(), !dist);
        EXPECT_EQ(echo->distance_raw(), dist ? want.echos[1].distance : 0);
        EXPECT_EQ(echo->_is_null_rssi(), !rssi);
        EXPECT_EQ(echo->rssi(), rssi ? want.echos[1].rssi : 0);
        EXPECT_EQ(m->_is_null_beam_properties(), !prop);
        EXPECT_EQ(m->beam_properties() == nullptr, !prop);
        EXPECT_EQ(m->_is_null_theta_v4(), !theta);
        EXPECT_EQ(m->theta_v4(), theta ? want.theta : 0);
    }
}

TEST(CompactFrame, EmptyAndNegativeCounts) {
    ModuleSpec noLines = makeModule(0, 3, 1);  // beams without measurements occupy no bytes
    EXPECT_EQ(encodeModule(noLines, 4).size(), 44u);
    EXPECT_EQ(encodeModule(noLines, 3).size(), 40u);
    Decoded d(encodeFrame(frameWith(noLines)));
    EXPECT_TRUE(d.module()->metadata()->phi()->empty());
    ASSERT_EQ(d.module()->beams()->size(), 3u);
    EXPECT_TRUE(d.module()->beams()->at(2)->measurement_data()->empty());
    EXPECT_THROW(d.module()->metadata()->theta_start_deg(), std::out_of_range);

    Decoded noBeams(encodeFrame(frameWith(makeModule(4, 0, 1))));
    EXPECT_TRUE(noBeams.module()->beams()->empty());
    EXPECT_EQ(noBeams.module()->metadata()->phi()->size(), 4u);

    // Counts of 2^31 and above read as negative: no elements, no bytes.
    ModuleSpec negative = makeModule(0, 0, 0);
    negative.numLines = 0x80000000u;
    negative.numBeams = 0xFFFFFFFFu;
    Decoded n(encodeFrame(frameWith(negative)));
    EXPECT_EQ(n.module()->metadata()->num_lines(), 0x80000000u);
    EXPECT_TRUE(n.module()->metadata()->timestamp_start()->empty());
    EXPECT_TRUE(n.module()->beams()->empty());
    EXPECT_EQ(n.io.pos(), 32u + 44u + 4u);
}

TEST(CompactFrame, ModuleChainFollowsNextModuleSize) {
    FrameSpec frame = frameWith(makeModule(1, 1, 1));
    frame.modules.push_back(makeModule(2, 1, 1));
    const std::string bytes = encodeFrame(frame);
    const uint32_t firstSize = static_cast<uint32_t>(encodeModule(frame.modules[0], 4).size());
    for (uint32_t declared : {0u, 1u, 65535u}) {  // 0: the builder's computed size
        if (declared != 0) frame.firstModuleSize = declared;
        Decoded d(declared == 0 ? bytes : encodeFrame(frame));
        EXPECT_EQ(d.frame()->header()->first_module_size(), declared == 0 ? firstSize : declared);
        ASSERT_EQ(d.frame()->modules()->size(), 2u);
        EXPECT_EQ(d.module(0)->metadata()->next_module_size(),
                  encodeModule(frame.modules[1], 4).size());
        EXPECT_EQ(d.module(1)->metadata()->num_lines(), 2u);
        EXPECT_EQ(d.io.pos(), bytes.size());
    }
    // A last module that claims a successor reads the trailer as a module and runs out.
    frame.modules[1].nextModuleSize = 40;
    EXPECT_THROW(decode(encodeFrame(frame)), std::ios_base::failure);
}

TEST(CompactFrame, DerivedValues) {
    ModuleSpec desc = makeModule(1, 3, 1);
    desc.thetaStart = {0.785398f};
    desc.distanceScalingFactor = 0.1f;
    const uint16_t raw[] = {16384, 21599, 0};
    for (int b = 0; b < 3; ++b) {
        desc.measurements[b].theta = raw[b];
        desc.measurements[b].echos[0].distance = 1234;
    }
    Decoded v4(encodeFrame(frameWith(desc, 4)));
    Decoded v3(encodeFrame(frameWith(desc, 3)));
    EXPECT_DOUBLE_EQ(v4.module()->metadata()->theta_start_deg(), 44.99999100696669);
    EXPECT_EQ(measurement(v4, 0, 0)->theta_rad(), 0.0);
    EXPECT_EQ(measurement(v4, 0, 0)->theta_deg(), 0.0);
    EXPECT_DOUBLE_EQ(measurement(v4, 1, 0)->theta_rad(), 1.0);
    EXPECT_DOUBLE_EQ(measurement(v4, 1, 0)->theta_deg(), 57.29577951309679);
    EXPECT_DOUBLE_EQ(measurement(v3, 2, 0)->theta_rad(), -3.1417066155321187);
    EXPECT_DOUBLE_EQ(measurement(v4, 0, 0)->echos()->at(0)->distance(), 123.4000015258789);
    EXPECT_EQ(measurement(v3, 0, 0)->echos()->at(0)->distance(), 1234.0);
}

// The first `size` bytes of a buffer as a seekable input stream, without a copy: 58,000 cuts of
// a 58 KB frame copied each time are slow under the address sanitizer.
class PrefixBuffer : public std::streambuf {
  public:
    PrefixBuffer(const std::string& bytes, size_t size) {
        char* begin = const_cast<char*>(bytes.data());  // only ever read
        setg(begin, begin, begin + size);
    }

  protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        char* base = dir == std::ios_base::beg   ? eback()
                     : dir == std::ios_base::cur ? gptr()
                                                 : egptr();
        if (off < eback() - base || off > egptr() - base) return pos_type(off_type(-1));
        setg(eback(), base + off, egptr());
        return pos_type(gptr() - eback());
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode mode) override {
        return seekoff(off_type(pos), std::ios_base::beg, mode);
    }
};

TEST(CompactFrame, TruncationAtEveryOffsetIsEndOfData) {
    const std::string bytes = encodeFrame(frameWith(makeModule(16, 240, 3)));
    ASSERT_GT(bytes.size(), 58000u);
    size_t wrong = 0, firstWrong = 0;
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        PrefixBuffer buffer(bytes, cut);
        std::istream in(&buffer);
        kaitai::kstream io(&in);
        try {
            ravo::compact_frame_magic_t top(&io);
            if (cut == bytes.size() && top.frame()->modules()->size() == 1) continue;
        } catch (const std::ios_base::failure&) {
            if (cut < bytes.size()) continue;
        } catch (...) {
        }
        if (wrong++ == 0) firstWrong = cut;
    }
    EXPECT_EQ(wrong, 0u) << "first wrong outcome at " << firstWrong;
}

struct Hostile {
    const char* name;
    uint32_t lines, beams, echoes;
    uint8_t echoFlags, beamFlags;
};

// Counts near 2^31 are refused before any element is built; without the bounds these would
// allocate gigabytes (reserve) or build billions of zero-width objects.
TEST(CompactFrame, HostileCountsAreRefused) {
    const uint32_t big = 0x7FFFFFFF;
    const std::vector<Hostile> cases = {
        {"lines", big, 1, 1, 0x03, 0x03},
        {"beams with payload", 1, big, 1, 0x03, 0x03},
        {"beams without lines", 0, big, 1, 0x03, 0x03},
        {"beams with empty measurements", 1, big, 0, 0x00, 0x00},
        {"echoes with payload", 1, 1, big, 0x03, 0x00},
        {"echoes without payload", 1, 1, big, 0x00, 0x00},
        {"echoes without payload, measurement bytes", 1, 1, big, 0x00, 0x03},
        {"all", big, big, big, 0x00, 0x00},
    };
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.name);
        ModuleSpec desc;
        desc.numLines = c.lines;
        desc.numBeams = c.beams;
        desc.numEchos = c.echoes;
        desc.dataContentEchos = c.echoFlags;
        desc.dataContentBeams = c.beamFlags;
        if (c.lines == 1) {
            desc.timestampStart = desc.timestampStop = {0};
            desc.phi = desc.thetaStart = desc.thetaStop = {0.0f};
        }
        std::string bytes = encodeFrame(frameWith(desc));
        bytes += std::string(200, '\0');  // a little slack, far from what the counts need
        EXPECT_THROW(decode(bytes), std::ios_base::failure);
    }

    // The object bound covers the whole datagram: two modules that each fit it but not together.
    FrameSpec two = frameWith(makeModule(0, 600000, 0));
    two.modules.push_back(two.modules.front());
    EXPECT_THROW(decode(encodeFrame(two)), std::ios_base::failure);
}

// Tests above detect swapped indices only if the builder's values differ everywhere.
TEST(FrameBuilder, MakeModuleValuesDifferPerBeamLineAndEcho) {
    std::set<uint32_t> echoValues, thetas;
    for (const auto& ms : makeModule(16, 240, 3).measurements) {
        thetas.insert(ms.theta);
        for (const auto& e : ms.echos) echoValues.insert(uint32_t{e.distance} << 16 | e.rssi);
    }
    EXPECT_EQ(echoValues.size(), 16u * 240u * 3u);
    EXPECT_EQ(thetas.size(), 16u * 240u);
}

}  // namespace
