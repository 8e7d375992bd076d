// Tests of the binary stream reader: byte order, bit fields, short data, byte strings, utilities
// and the exact texts of the validation errors.
#include "kaitaistream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace {

using kaitai::kstream;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

struct WholeRead {
    const char* name;
    std::string data;  // exactly the bytes the read needs
    std::function<bool(kstream&)> readsExpected;
};

TEST(KStream, WholeByteReadsHonourByteOrderAndRefuseShortData) {
    const std::vector<WholeRead> cases = {
        {"u1", bytes({0xFE}), [](kstream& io) { return io.read_u1() == 0xFE; }},
        {"s1", bytes({0xFE}), [](kstream& io) { return io.read_s1() == -2; }},
        {"u2le", bytes({1, 2}), [](kstream& io) { return io.read_u2le() == 0x0201; }},
        {"u2be", bytes({1, 2}), [](kstream& io) { return io.read_u2be() == 0x0102; }},
        {"s2le", bytes({0xFE, 0xFF}), [](kstream& io) { return io.read_s2le() == -2; }},
        {"u4le", bytes({1, 2, 3, 4}), [](kstream& io) { return io.read_u4le() == 0x04030201u; }},
        {"u4be", bytes({1, 2, 3, 4}), [](kstream& io) { return io.read_u4be() == 0x01020304u; }},
        {"s4le", bytes({0xFE, 0xFF, 0xFF, 0xFF}), [](kstream& io) { return io.read_s4le() == -2; }},
        {"u8le", bytes({1, 2, 3, 4, 5, 6, 7, 8}),
         [](kstream& io) { return io.read_u8le() == 0x0807060504030201ull; }},
        {"u8be", bytes({1, 2, 3, 4, 5, 6, 7, 8}),
         [](kstream& io) { return io.read_u8be() == 0x0102030405060708ull; }},
        {"s8le", bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         [](kstream& io) { return io.read_s8le() == -2; }},
        {"s8be", bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
         [](kstream& io) { return io.read_s8be() == -2; }},
        {"f4le", bytes({0, 0, 0x80, 0x3F}), [](kstream& io) { return io.read_f4le() == 1.0f; }},
        {"f4be", bytes({0x3F, 0x80, 0, 0}), [](kstream& io) { return io.read_f4be() == 1.0f; }},
        {"f8le", bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}),
         [](kstream& io) { return io.read_f8le() == 1.0; }},
        {"f8be", bytes({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}),
         [](kstream& io) { return io.read_f8be() == 1.0; }},
    };
    for (const WholeRead& c : cases) {
        SCOPED_TRACE(c.name);
        kstream io(c.data + "\x55");  // a following byte must stay unread
        EXPECT_TRUE(c.readsExpected(io));
        EXPECT_EQ(io.pos(), c.data.size());
        EXPECT_EQ(io.read_u1(), 0x55);
        kstream shortIo(c.data.substr(0, c.data.size() - 1));
        EXPECT_THROW(c.readsExpected(shortIo), std::ios_base::failure);
    }
}

struct BitRead {
    std::string data;
    bool littleEndian;
    std::vector<int> widths;
    std::vector<uint64_t> expected;
};

TEST(KStream, BitReadsTakeBitsInOrderAcrossBytes) {
    const std::vector<BitRead> cases = {
        {bytes({0x83}), false, {6, 1, 1}, {32, 1, 1}},
        {bytes({0xFF}), false, {6, 1, 1}, {63, 1, 1}},
        {bytes({0x02}), false, {6, 1, 1}, {0, 1, 0}},
        {bytes({0xAB}), false, {7, 1}, {85, 1}},
        {bytes({0xAB, 0xCD}), false, {4, 12}, {0xA, 0xBCD}},
        {bytes({0xFF, 1, 2, 3, 4, 5, 6, 7, 8}), false, {1, 64}, {1, 0xFE020406080A0C0Eull}},
        {bytes({0x83}), true, {6, 1, 1}, {3, 0, 1}},
        {bytes({0xAB, 0xCD}), true, {4, 12}, {0xB, 0xCDA}},
    };
    for (const BitRead& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.widths) + (c.littleEndian ? " le" : " be"));
        kstream io(c.data + "\x5A");
        for (size_t i = 0; i < c.widths.size(); ++i) {
            const int n = c.widths[i];
            EXPECT_EQ(c.littleEndian ? io.read_bits_int_le(n) : io.read_bits_int_be(n),
                      c.expected[i]);
        }
        EXPECT_EQ(io.read_u1(), 0x5A);  // whole bytes consumed, next byte intact
    }
    kstream io(bytes({0xF0}));
    EXPECT_EQ(io.read_bits_int(2), 3u);  // older name, same operation
    EXPECT_FALSE(io.is_eof());           // six bits are still buffered at the end of the data
    EXPECT_THROW(io.read_bits_int_be(7), std::ios_base::failure);
}

TEST(KStream, EmptyDataAndByteStrings) {
    kstream empty{std::string()};
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(empty.is_eof());
    EXPECT_THROW(empty.read_u1(), std::ios_base::failure);

    kstream io(bytes({'a', 'b', 0, 'c', 'd'}));
    EXPECT_THAT([&] { io.read_bytes(-1); }, ThrowsMessage<std::runtime_error>(
                                                StrEq("read_bytes: requested a negative amount")));
    EXPECT_EQ(io.read_bytes(0), "");
    EXPECT_FALSE(io.is_eof());
    EXPECT_EQ(io.read_bytes_term(0, true, false, true), bytes({'a', 'b', 0}));
    EXPECT_EQ(io.read_u1(), 0);  // the terminator was not consumed
    EXPECT_EQ(io.read_bytes_full(), "cd");
    EXPECT_TRUE(io.is_eof());

    kstream noTerm("abc");
    EXPECT_EQ(noTerm.read_bytes_term(0, false, true, false), "abc");
    kstream noTermError("abc");
    EXPECT_THAT([&] { noTermError.read_bytes_term(0, false, true, true); },
                ThrowsMessage<std::runtime_error>(StrEq("read_bytes_term: encountered EOF")));

    // A length far beyond the data fails as a short read, without trying to allocate it.
    kstream huge("abc");
    EXPECT_THROW(huge.read_bytes(std::streamsize{1} << 40), std::ios_base::failure);

    kstream fixed("MAGIC");
    EXPECT_EQ(fixed.ensure_fixed_contents("MA"), "MA");
    EXPECT_THAT([&] { fixed.ensure_fixed_contents("XY"); },
                ThrowsMessage<std::runtime_error>(
                    StrEq("ensure_fixed_contents: actual data does not match expected data")));
    fixed.seek(1);
    EXPECT_EQ(fixed.read_bytes(4), "AGIC");
}

TEST(KStream, Utilities) {
    EXPECT_EQ(kstream::bytes_strip_right(bytes({'a', 0, 'b', 0, 0}), 0), bytes({'a', 0, 'b'}));
    EXPECT_EQ(kstream::bytes_terminate(bytes({'a', 0, 'b'}), 0, false), "a");
    EXPECT_EQ(kstream::bytes_terminate(bytes({'a', 0, 'b'}), 0, true), bytes({'a', 0}));
    EXPECT_EQ(kstream::process_xor_one(bytes({0x0F, 0xF0}), 0xFF), bytes({0xF0, 0x0F}));
    EXPECT_EQ(kstream::process_xor_many(bytes({1, 2, 3}), bytes({1, 2})), bytes({0, 0, 2}));
    EXPECT_EQ(kstream::process_rotate_left(bytes({0x81, 0x01}), 1), bytes({0x03, 0x02}));
    EXPECT_EQ(kstream::mod(-1, 5), 4);
    EXPECT_EQ(kstream::mod(std::numeric_limits<int>::min(), 3), 1);
    EXPECT_THAT([] { kstream::mod(7, 0); },
                ThrowsMessage<std::invalid_argument>(StrEq("mod: divisor b <= 0")));
    char digits[21];
    EXPECT_STREQ(kstream::unsigned_to_decimal(0, digits), "0");
    EXPECT_STREQ(kstream::unsigned_to_decimal(UINT64_MAX, digits), "18446744073709551615");
    EXPECT_EQ(kstream::reverse("abc"), "cba");
    EXPECT_EQ(kstream::byte_array_min(""), 255);
    EXPECT_EQ(kstream::byte_array_max(""), 0);
    EXPECT_EQ(kstream::byte_array_max(bytes({0x80, 0x05})), 0x80);
}

TEST(KStructError, MessagesCarryPathPositionAndDetail) {
    kstream io(std::string(40, '\0'));
    io.read_bytes(28);
    const kaitai::validation_less_than_error<unsigned int> less(3, 2, &io, "/types/header/seq/3");
    EXPECT_STREQ(less.what(), "/types/header/seq/3: at pos 28: validation failed: not in range");
    EXPECT_EQ(less.src_path(), "/types/header/seq/3");
    EXPECT_EQ(less.io(), &io);
    EXPECT_EQ(less.min(), 3u);
    EXPECT_EQ(less.actual(), 2u);

    const kaitai::kstruct_error& base = less;  // caught as the family root
    EXPECT_STREQ(base.what(), "/types/header/seq/3: at pos 28: validation failed: not in range");
    EXPECT_STREQ(kaitai::kstruct_error("bad", "/seq/1").what(), "/seq/1: bad");
}

}  // namespace
