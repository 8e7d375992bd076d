// Tests of the binary stream reader's operations that the decoder uses: little-endian numbers, bit
// fields, byte strings and the end of the data.
#include "format/kaitaistream.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace {

using kaitai::kstream;

// Each read takes exactly its bytes, leaves the next one alone and refuses one byte less.
TEST(KStream, LittleEndianReadsTakeTheirBytesAndRefuseShortData) {
    const std::string seq = "\x01\x02\x03\x04\x05\x06\x07\x08";
    const std::vector<std::pair<std::string, std::function<bool(kstream&)>>> cases = {
        {"\xFE", [](kstream& io) { return io.read_u1() == 0xFE; }},
        {seq.substr(0, 2), [](kstream& io) { return io.read_u2le() == 0x0201; }},
        {seq.substr(0, 4), [](kstream& io) { return io.read_u4le() == 0x04030201u; }},
        {seq, [](kstream& io) { return io.read_u8le() == 0x0807060504030201ull; }},
        {std::string{0, 0, '\x80', '\x3F'}, [](kstream& io) { return io.read_f4le() == 1.0f; }},
        {"ab", [](kstream& io) { return io.read_bytes(2) == "ab"; }},
    };
    for (const auto& [data, readsExpected] : cases) {
        SCOPED_TRACE(testing::PrintToString(data));
        kstream io(data + "\x55");
        EXPECT_TRUE(readsExpected(io));
        EXPECT_EQ(io.pos(), data.size());
        EXPECT_EQ(io.read_u1(), 0x55);
        kstream shortIo(data.substr(0, data.size() - 1));
        EXPECT_THROW(readsExpected(shortIo), std::ios_base::failure);
    }
    // A length far beyond the data fails as a short read, without trying to allocate it.
    EXPECT_THROW(kstream("abc").read_bytes(std::streamsize{1} << 40), std::ios_base::failure);
}

TEST(KStream, BitReadsTakeBitsInOrderAcrossBytes) {
    // Data, then (width, value) of each read.
    using Case = std::pair<std::string, std::vector<std::pair<int, uint64_t>>>;
    for (const auto& [data, reads] : std::vector<Case>{
             {"\x83", {{6, 32}, {1, 1}, {1, 1}}},
             {"\x02", {{6, 0}, {1, 1}, {1, 0}}},
             {"\xAB", {{7, 85}, {1, 1}}},
             {"\xFF\x01\x02\x03\x04\x05\x06\x07\x08", {{1, 1}, {64, 0xFE020406080A0C0Eull}}}}) {
        SCOPED_TRACE(testing::PrintToString(data));
        kstream io(data + "\x5A");
        for (const auto& [n, value] : reads) EXPECT_EQ(io.read_bits_int_be(n), value);
        EXPECT_EQ(io.read_u1(), 0x5A);  // whole bytes consumed, next byte intact
    }
    kstream io("\xF0");
    EXPECT_EQ(io.read_bits_int_be(2), 3u);
    EXPECT_THROW(io.read_bits_int_be(7), std::ios_base::failure);
    kstream empty{std::string()};
    EXPECT_THROW(empty.read_u1(), std::ios_base::failure);
}

}  // namespace
