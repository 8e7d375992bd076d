// Tests of the pcapng encoder: its bytes against a hand-written file start and packet block, and
// a file of its blocks read back by libpcap (through PcapReader) and by tcpdump.
#include "net/pcapng.h"

#include <gmock/gmock.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "io/pcap_reader.h"
#include "support/files.h"
#include "support/frames.h"
#include "support/process.h"

namespace compact {
namespace {

using testing_support::payload;
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

// A file of datagrams from several senders to a group: an empty payload, lengths that need 3 to 0
// bytes of padding and the largest, a second apart and a few nanoseconds more; read back by
// libpcap, then by tcpdump.
TEST(Pcapng, FileReadsBackThroughLibpcapAndTcpdump) {
    struct Sent {
        Bytes payload;
        uint32_t source;
        uint16_t sourcePort;
        uint64_t timeNs;
        bool operator==(const Sent&) const = default;
    };
    std::vector<Sent> sent;
    for (uint16_t size : {0, 1, 2, 3, 4, 1472, 65507}) {
        sent.push_back({payload(size, static_cast<uint8_t>(size)),
                        0x7F000001u + uint32_t(sent.size()),
                        static_cast<uint16_t>(40000 + size % 1000),
                        sampleTimeNs + sent.size() * 1'000'000'007});
    }
    Bytes file(pcapng::fileHeaderSize("compact_csv", "0.1.2"));
    size_t used = pcapng::writeFileHeader(file, "compact_csv", "0.1.2");
    for (const Sent& s : sent) {
        file.resize(used + pcapng::packetBlockSize(s.payload.size()));
        const UdpDatagram d{s.source, 0xE0000002, s.sourcePort, 2115, s.payload, s.timeNs};
        used += pcapng::writePacketBlock(std::span(file).subspan(used), d, 7);
    }
    const testing_support::ScratchDir dir;
    const std::string path = (dir / "raw.pcapng").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(used));

    PcapReader reader(path);
    std::vector<Sent> read;
    while (auto d = reader.next()) {
        EXPECT_EQ(d->destinationAddress, 0xE0000002);
        EXPECT_EQ(d->destinationPort, 2115);
        read.push_back({Bytes(d->payload.begin(), d->payload.end()), d->sourceAddress,
                        d->sourcePort, d->receiveTimeNs});
    }
    EXPECT_EQ(read, sent);
    EXPECT_EQ(reader.readError(), "");

    const char* tcpdump = "/usr/bin/tcpdump";
    if (access(tcpdump, X_OK) != 0) GTEST_SKIP() << "tcpdump is not installed";
    const auto run = testing_support::runProgram(tcpdump, {"-r", path, "-nn"});
    EXPECT_EQ(run.status, testing_support::exitedWith0);
    // tcpdump names the file it reads on standard error; a warning would follow that line.
    EXPECT_EQ(run.err,
              "reading from file " + path + ", link-type RAW (Raw IP), snapshot length 65535\n");
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), std::ssize(sent)) << run.out;
    EXPECT_THAT(run.out,
                testing::HasSubstr(" 127.0.0.7.40507 > 224.0.0.2.2115: UDP, length 65507"));
}

}  // namespace
}  // namespace compact
