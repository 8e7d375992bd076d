// Tests of the pcapng encoder: its bytes against a hand-written file start and packet block. Files
// of its blocks read back by libpcap and tcpdump: tests/e2e/recording_test.cpp.
#include "net/pcapng.h"

#include <gmock/gmock.h>

#include "support/files.h"

namespace compact {
namespace {

using Bytes = std::vector<uint8_t>;

// The start of a file from "sim 1.0", then the block of 3 payload bytes from 10.0.0.1:50000 to
// 10.0.0.2:2115, IPv4 identification 0x1234, received 1,700,000,000.123456789 s after 1970.
constexpr const char* goldenHex = R"(
0a 0d 0d 0a  2c 00 00 00  4d 3c 2b 1a  01 00 00 00   # section header of 44 bytes, version 1.0
ff ff ff ff  ff ff ff ff                             # section length -1: not measured
04 00 07 00  73 69 6d 20  31 2e 30 00                # shb_userappl "sim 1.0", padded
00 00 00 00  2c 00 00 00                             # end of options, length again
01 00 00 00  20 00 00 00  65 00 00 00  ff ff 00 00   # interface: raw IP, snap length 65535
09 00 01 00  09 00 00 00  00 00 00 00  20 00 00 00   # if_tsresol 9, end of options, length
06 00 00 00  40 00 00 00  00 00 00 00                # packet block of 64 bytes, interface 0
fe 9c 97 17  15 cd 85 3d  1f 00 00 00  1f 00 00 00   # time high, low; 31 bytes captured, sent
45 00 00 1f  12 34 00 00  40 11 54 98                # IPv4: total 31, TTL 64, UDP, checksum
0a 00 00 01  0a 00 00 02
c3 50 08 43  00 0b 00 00  01 02 03 00                # UDP: length 11, no checksum; payload, pad
40 00 00 00
)";

constexpr uint64_t sampleTimeNs = 1'700'000'000'123'456'789;

TEST(Pcapng, WritesTheHandWrittenBytesAndRefusesWhatDoesNotFit) {
    const Bytes three{1, 2, 3};
    const UdpDatagram datagram{0x0A000001, 0x0A000002, 50000, 2115, three, sampleTimeNs};
    Bytes out(pcapng::fileHeaderSize("sim", "1.0") + pcapng::packetBlockSize(3));
    const size_t header = pcapng::writeFileHeader(out, "sim", "1.0");
    ASSERT_EQ(header, 76u);
    EXPECT_EQ(pcapng::writePacketBlock(std::span(out).subspan(header), datagram, 0x1234), 64u);
    const std::string golden = testing_support::fromHex(goldenHex);
    EXPECT_EQ(out, Bytes(golden.begin(), golden.end()));

    // Nothing is written into a buffer one byte short, nor for a payload beyond IPv4's maximum.
    Bytes small(63, 0xEE);
    EXPECT_EQ(pcapng::writePacketBlock(small, datagram, 1), 0u);
    EXPECT_EQ(pcapng::writeFileHeader(small, "sim", "1.0"), 0u);
    EXPECT_EQ(small, Bytes(63, 0xEE));
    Bytes large(70'000);
    EXPECT_EQ(pcapng::packetBlockSize(65508), 0u);
    EXPECT_EQ(pcapng::writePacketBlock(large, {.payload = std::span(large).first(65508)}, 1), 0u);
}

}  // namespace
}  // namespace compact
