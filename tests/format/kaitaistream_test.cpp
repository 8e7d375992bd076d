// Tests of the binary stream reader: byte order, bit fields, short data and byte strings.
#include "format/kaitaistream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

namespace {

using kaitai::kstream;

// Each read takes exactly its bytes, leaves the next one alone and refuses one byte less.
TEST(KStream, WholeByteReadsHonourByteOrderAndRefuseShortData) {
    const std::string seq = "\x01\x02\x03\x04\x05\x06\x07\x08", ones(7, '\xFF');
    const std::vector<std::pair<std::string, std::function<bool(kstream&)>>> cases = {
        {"\xFE", [](kstream& io) { return io.read_s1() == -2; }},
        {seq.substr(0, 2), [](kstream& io) { return io.read_u2le() == 0x0201; }},
        {seq.substr(0, 4), [](kstream& io) { return io.read_u4le() == 0x04030201u; }},
        {seq.substr(0, 4), [](kstream& io) { return io.read_u4be() == 0x01020304u; }},
        {seq, [](kstream& io) { return io.read_u8le() == 0x0807060504030201ull; }},
        {seq, [](kstream& io) { return io.read_u8be() == 0x0102030405060708ull; }},
        {ones + "\xFE", [](kstream& io) { return io.read_s8be() == -2; }},
        {std::string{0, 0, '\x80', '\x3F'}, [](kstream& io) { return io.read_f4le() == 1.0f; }},
        {std::string{'\x3F', '\x80', 0, 0}, [](kstream& io) { return io.read_f4be() == 1.0f; }},
        {std::string(6, 0) + "\xF0\x3F", [](kstream& io) { return io.read_f8le() == 1.0; }},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [data, readsExpected] = cases[i];
        kstream io(data + "\x55");
        EXPECT_TRUE(readsExpected(io));
        EXPECT_EQ(io.pos(), data.size());
        EXPECT_EQ(io.read_u1(), 0x55);
        kstream shortIo(data.substr(0, data.size() - 1));
        EXPECT_THROW(readsExpected(shortIo), std::ios_base::failure);
    }
}

TEST(KStream, BitReadsTakeBitsInOrderAcrossBytes) {
    // Data, little-endian bit order, then (width, value) of each read.
    using Case = std::tuple<std::string, bool, std::vector<std::pair<int, uint64_t>>>;
    for (const auto& [data, le, reads] : std::vector<Case>{
             {"\x83", false, {{6, 32}, {1, 1}, {1, 1}}},
             {"\xFF", false, {{6, 63}, {1, 1}, {1, 1}}},
             {"\x02", false, {{6, 0}, {1, 1}, {1, 0}}},
             {"\xAB", false, {{7, 85}, {1, 1}}},
             {"\xFF\x01\x02\x03\x04\x05\x06\x07\x08", false, {{1, 1}, {64, 0xFE020406080A0C0Eull}}},
             {"\x83", true, {{6, 3}, {1, 0}, {1, 1}}},
             {"\xAB\xCD", true, {{4, 0xB}, {12, 0xCDA}}}}) {
        SCOPED_TRACE(testing::PrintToString(data) + (le ? " le" : " be"));
        kstream io(data + "\x5A");
        for (const auto& [n, value] : reads) {
            EXPECT_EQ(le ? io.read_bits_int_le(n) : io.read_bits_int_be(n), value);
        }
        EXPECT_EQ(io.read_u1(), 0x5A);  // whole bytes consumed, next byte intact
    }
    kstream io("\xF0");
    EXPECT_EQ(io.read_bits_int(2), 3u);  // older name, same operation
    EXPECT_FALSE(io.is_eof());           // six bits are still buffered at the end of the data
    EXPECT_THROW(io.read_bits_int_be(7), std::ios_base::failure);
}

TEST(KStream, EndOfDataAndByteStrings) {
    kstream empty{std::string()};
    EXPECT_EQ(empty.size(), 0);
    EXPECT_TRUE(empty.is_eof());
    EXPECT_THROW(empty.read_u1(), std::ios_base::failure);

    kstream io(std::string{'a', 'b', 0, 'c', 'd'});
    EXPECT_EQ(io.read_bytes(2), "ab");
    EXPECT_EQ(io.read_u1(), 0);
    EXPECT_FALSE(io.is_eof());
    EXPECT_EQ(io.read_bytes_full(), "cd");
    EXPECT_TRUE(io.is_eof());
    // A length far beyond the data fails as a short read, without trying to allocate it.
    EXPECT_THROW(kstream("abc").read_bytes(std::streamsize{1} << 40), std::ios_base::failure);
}

}  // namespace
