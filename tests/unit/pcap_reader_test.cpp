// Tests of capture reading and writing: every link type round trip, filters, lost fragments,
// snapped and malformed records, files that are not captures.
#include "pcap_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pcap_writer.h"

namespace compact {
namespace {

using testing::HasSubstr;
using testing::StrEq;
using testing::ThrowsMessage;

constexpr uint32_t sensor = 0x0A000001;  // 10.0.0.1
constexpr uint32_t host = 0x0A000002;    // 10.0.0.2
constexpr uint64_t millisecondNs = 1'000'000;
constexpr uint64_t startNs = 1'700'000'000'000'000'000;  // whole microseconds, as pcap keeps

struct Sent {
    std::vector<uint8_t> payload;
    uint32_t source = sensor;
    uint16_t destinationPort = 2115;
    uint64_t timeNs = startNs;

    UdpDatagram datagram() const { return {source, host, 50000, destinationPort, payload, timeNs}; }
};

// Distinct payloads whose first two bytes number them.
std::vector<uint8_t> payload(size_t size, uint16_t index) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + index);
    if (size >= 2) {
        bytes[0] = static_cast<uint8_t>(index >> 8);
        bytes[1] = static_cast<uint8_t>(index);
    }
    return bytes;
}

std::string tempPath(const std::string& name) { return testing::TempDir() + "pcap_" + name; }

// Writes the datagrams into a temporary capture; returns its path.
std::string writeCapture(const std::string& name, const std::vector<Sent>& sent,
                         const PcapWriterOptions& options = {},
                         uint64_t* fragmentsDropped = nullptr) {
    PcapWriter writer(tempPath(name), options);
    for (const Sent& s : sent) writer.write(s.datagram());
    writer.close();
    if (fragmentsDropped) *fragmentsDropped = writer.fragmentsDropped();
    return tempPath(name);
}

// Every datagram the reader hands out, with a copy of its payload.
std::vector<std::pair<UdpDatagram, std::vector<uint8_t>>> readAll(PcapReader& reader) {
    std::vector<std::pair<UdpDatagram, std::vector<uint8_t>>> out;
    while (auto d = reader.next())
        out.emplace_back(*d, std::vector(d->payload.begin(), d->payload.end()));
    return out;
}

struct LinkCase {
    std::string name;
    LinkType linkType;
    std::string vlanFilter;  // libpcap filter words that match the tags
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

class LinkTypes : public testing::TestWithParam<LinkCase> {};

// libpcap's own filter compiler decodes the frames the writer builds: an independent reading
// of every link header, IPv4 and UDP header.
TEST_P(LinkTypes, LibpcapFilterMatchesWrittenFrames) {
    const int dlt = linkTypeDlt(GetParam().linkType);
    pcap_t* dead = pcap_open_dead(dlt, 262144);
    bpf_program program{};
    const std::string expression = GetParam().vlanFilter +
                                   "src host 10.0.0.1 and dst host 10.0.0.2 and udp src port "
                                   "50000 and udp dst port 2115";
    ASSERT_EQ(pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0)
        << pcap_geterr(dead);
    for (size_t size : {10, 3000}) {
        const auto packet = fragmentUdpDatagram(Sent{payload(size, 1)}.datagram(), 9, 1500).at(0);
        const auto frame = frameIpv4(GetParam().linkType, packet);
        pcap_pkthdr header{{0, 0}, uint32_t(frame.size()), uint32_t(frame.size())};
        EXPECT_NE(pcap_offline_filter(&program, &header, frame.data()), 0) << size;
    }
    pcap_freecode(&program);
    pcap_close(dead);
}

// Sizes around the Ethernet MTU (1472 payload bytes fill 1500 exactly), an empty datagram, a
// short one that needs padding and the largest one.
TEST_P(LinkTypes, RoundTripThroughFile) {
    const std::vector<size_t> sizes = {0, 10, 1472, 1473, 30000, 65507};
    std::vector<Sent> sent;
    for (size_t i = 0; i < sizes.size(); ++i) {
        sent.push_back({payload(sizes[i], uint16_t(i)), sensor, 2115, startNs + i * millisecondNs});
    }
    PcapReader reader(writeCapture(
        "link.pcap", sent, {.linkType = GetParam().linkType, .shuffleFragments = true, .seed = 3}));
    EXPECT_EQ(reader.linkType(), linkTypeDlt(GetParam().linkType));
    const auto got = readAll(reader);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        const UdpDatagram& d = got[i].first;
        EXPECT_EQ(got[i].second, sent[i].payload) << i;
        EXPECT_EQ(std::tuple(d.sourceAddress, d.destinationAddress, d.sourcePort, d.destinationPort,
                             d.captureTimeNs),
                  std::tuple(sensor, host, uint16_t{50000}, uint16_t{2115}, sent[i].timeNs));
    }
    // 1473 bytes: 2 fragments; 30000: 21; 65507: 45 (1480 payload bytes each).
    EXPECT_EQ(reader.stats().records, 3u + 2 + 21 + 45);
    EXPECT_EQ(reader.reassembly().datagramsReassembled, 3u);
    EXPECT_EQ(reader.reassembly().fragmentsReassembled, 2u + 21 + 45);
    EXPECT_EQ(reader.stats().skippedTotal() + reader.reassembly().droppedTotal(), 0u);
    EXPECT_EQ(reader.readError(), "");
}

INSTANTIATE_TEST_SUITE_P(
    PcapReader, LinkTypes,
    testing::Values(LinkCase{"Ethernet", LinkType::Ethernet, ""},
                    LinkCase{"EthernetVlan", LinkType::EthernetVlan, "vlan 100 and "},
                    LinkCase{"EthernetQinq", LinkType::EthernetQinq, "vlan 200 and vlan 100 and "},
                    LinkCase{"LinuxCooked", LinkType::LinuxCooked, ""},
                    LinkCase{"LinuxCooked2", LinkType::LinuxCooked2, ""},
                    LinkCase{"RawIpv4", LinkType::RawIpv4, ""},
                    LinkCase{"BsdLoopback", LinkType::BsdLoopback, ""}),
    [](const auto& info) { return info.param.name; });

// The one's complement sum over a header with its checksum is all ones (RFC 1071).
uint16_t onesComplementSum(std::span<const uint8_t> bytes, uint32_t sum = 0) {
    for (size_t i = 0; i < bytes.size(); i += 2) {
        sum += uint32_t{bytes[i]} << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

TEST(PcapWriter, ChecksumsVerify) {
    for (size_t size : {0, 7, 1000}) {
        const auto packet = fragmentUdpDatagram(Sent{payload(size, 5)}.datagram(), 1, 1500).at(0);
        EXPECT_EQ(onesComplementSum(std::span(packet).first(20)), 0xFFFF) << size;
        // UDP: pseudo-header of addresses, protocol 17 and UDP length, then the segment.
        const uint32_t pseudo = 0x0A00 + 0x0001 + 0x0A00 + 0x0002 + 17 + uint32_t(size + 8);
        EXPECT_EQ(onesComplementSum(std::span(packet).subspan(20), pseudo), 0xFFFF) << size;
    }
}

TEST(PcapReader, LostFragmentsDropOnlyTheirDatagrams) {
    std::vector<Sent> sent;
    for (uint16_t i = 0; i < 40; ++i) {
        // 100 ms apart: the reader sees both time-outs and datagrams open at the end.
        sent.push_back({payload(5000, i), sensor, 2115, startNs + i * 100 * millisecondNs});
    }
    uint64_t lost = 0;
    PcapReader reader(writeCapture("lossy.pcap", sent,
                                   {.shuffleFragments = true, .dropOneIn = 4, .seed = 11}, &lost));
    ASSERT_GT(lost, 2u);
    const auto got = readAll(reader);
    EXPECT_EQ(got.size(), sent.size() - lost);
    for (const auto& [d, p] : got) EXPECT_EQ(p, payload(5000, uint16_t(p[0] << 8 | p[1])));
    const ReassemblyStats& r = reader.reassembly();
    EXPECT_EQ(r.droppedTotal(), lost);
    EXPECT_GT(r.dropped[size_t(DropReason::Timeout)], 0u);
}

TEST(PcapReader, FilterOnPortAndSource) {
    const uint32_t stranger = 0x0A000009;
    const std::vector<Sent> sent = {
        {payload(100, 0), sensor, 2115},  {payload(100, 1), stranger, 2115},
        {payload(100, 2), sensor, 2116},  {payload(4000, 3), stranger, 2115},
        {payload(4000, 4), sensor, 2116}, {payload(4000, 5), sensor, 2115},
    };
    PcapReader reader(writeCapture("filter.pcap", sent),
                      {.destinationPort = 2115, .sourceAddress = sensor});
    const auto got = readAll(reader);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second, sent[0].payload);
    EXPECT_EQ(got[1].second, sent[5].payload);
    EXPECT_EQ(reader.stats().udpDatagrams, 6u);
    EXPECT_EQ(reader.stats().filteredOut, 4u);
    // Fragments of the other source never reach reassembly.
    EXPECT_EQ(reader.reassembly().datagramsReassembled, 2u);
}

// One Ethernet frame of a small UDP datagram, changed by `edit`, through the decoder.
struct RecordCase {
    std::string name;
    int linkType;
    std::function<void(std::vector<uint8_t>&)> edit;  // on an Ethernet frame of 32+14 bytes
    std::optional<SkipReason> expected;               // nullopt: delivered
    uint32_t bytesNotCaptured = 0;                    // wire length minus captured length
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class Records : public testing::TestWithParam<RecordCase> {};

TEST_P(Records, SkippedByReason) {
    const Sent s{payload(4, 1)};
    std::vector<uint8_t> frame =
        frameIpv4(LinkType::Ethernet, fragmentUdpDatagram(s.datagram(), 1, 1500).at(0));
    GetParam().edit(frame);
    CaptureDecoder decoder;
    const auto got = decoder.push(GetParam().linkType, frame,
                                  uint32_t(frame.size()) + GetParam().bytesNotCaptured, 0);
    if (!GetParam().expected) {
        ASSERT_TRUE(got);
        EXPECT_EQ(std::vector<uint8_t>(got->payload.begin(), got->payload.end()), s.payload);
    } else {
        EXPECT_FALSE(got);
        EXPECT_EQ(decoder.stats().skipped[size_t(*GetParam().expected)], 1u);
        EXPECT_EQ(decoder.stats().skippedTotal(), 1u);
    }
}

// Offsets in the Ethernet frame: 12 EtherType, 14 IPv4 header (16 total length, 23 protocol),
// 34 UDP header (38 UDP length).
void keep(std::vector<uint8_t>&) {}
auto setByte(size_t pos, uint8_t value) {
    return [=](std::vector<uint8_t>& f) { f[pos] = value; };
}
auto replaceLinkHeader(std::vector<uint8_t> header) {
    return [=](std::vector<uint8_t>& f) {
        f.erase(f.begin(), f.begin() + 14);
        f.insert(f.begin(), header.begin(), header.end());
    };
}

INSTANTIATE_TEST_SUITE_P(
    PcapReader, Records,
    testing::Values(
        RecordCase{"Snapped", DLT_EN10MB, keep, SkipReason::Snapped, 1},
        RecordCase{"LoopbackBigEndian", DLT_NULL, replaceLinkHeader({0, 0, 0, 2}), std::nullopt},
        RecordCase{"LoopbackIpv6", DLT_NULL, replaceLinkHeader({30, 0, 0, 0}), SkipReason::NotIpv4},
        RecordCase{"RawIpv6", DLT_RAW, [](auto& f) { replaceLinkHeader({})(f), f[0] = 0x60; },
                   SkipReason::NotIpv4},
        RecordCase{"EtherTypeIpv6", DLT_EN10MB, setByte(12, 0x86), SkipReason::NotIpv4},
        RecordCase{"UnknownLinkType", 147, keep, SkipReason::NotIpv4},
        RecordCase{"Icmp", DLT_EN10MB, setByte(23, 1), SkipReason::NotUdp},
        RecordCase{"HeaderLengthBelow20", DLT_EN10MB, setByte(14, 0x44), SkipReason::Malformed},
        RecordCase{"TotalLengthBeyondRecord", DLT_EN10MB, setByte(16, 0x10), SkipReason::Malformed},
        RecordCase{"UdpLengthBeyondPacket", DLT_EN10MB, setByte(39, 13), SkipReason::Malformed},
        RecordCase{"CutInEthernetHeader", DLT_EN10MB, [](auto& f) { f.resize(13); },
                   SkipReason::Malformed},
        RecordCase{"CutInVlanTag", DLT_EN10MB,
                   [](auto& f) { f.resize(16), f[12] = 0x81, f[13] = 0; }, SkipReason::Malformed}),
    [](const auto& info) { return info.param.name; });

TEST(PcapReader, NotACaptureGivesLibpcapText) {
    const std::string path = tempPath("not-a-capture.csv");
    std::ofstream(path) << "frame,segment,line\n1,2,3\n";
    EXPECT_THAT([&] { PcapReader r(path); },
                ThrowsMessage<CaptureError>(StrEq("unknown file format")));
    const std::string missing = tempPath("missing.pcap");
    EXPECT_THAT([&] { PcapReader r(missing); },
                ThrowsMessage<CaptureError>(StrEq(missing + ": No such file or directory")));
}

// A recording cut off in the middle of a record (the recorder was killed) read from memory:
// the datagrams before the cut come out, then the read error.
TEST(PcapReader, FileCutInRecordFromStream) {
    std::ifstream in(writeCapture("cut.pcap", {{payload(100, 1)}, {payload(100, 2)}}),
                     std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    bytes.resize(bytes.size() - 10);
    PcapReader reader(fmemopen(bytes.data(), bytes.size(), "rb"));
    const auto got = readAll(reader);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second, payload(100, 1));
    EXPECT_THAT(reader.readError(), HasSubstr("truncated"));
}

}  // namespace
}  // namespace compact
