// Tests of reading capture files through libpcap: every link type the capture writer makes, read
// back from a file and checked against libpcap's own filter compiler. Parsing, filter and skipped
// records: tests/net/capture_decoder_test.cpp; a recording that breaks off: tests/e2e.
#include "io/pcap_reader.h"

#include <gmock/gmock.h>
#include <pcap/pcap.h>

#include "io/pcap_writer.h"
#include "support/files.h"
#include "support/frames.h"

namespace compact {
namespace {

using testing_support::payload;

using Bytes = std::vector<uint8_t>;
constexpr uint32_t sensor = 0x0A000001;                  // 10.0.0.1
constexpr uint64_t startNs = 1'700'000'000'000'000'000;  // whole microseconds, as pcap keeps
const testing_support::ScratchDir scratch;               // removed, with the capture, at the end
const std::string capturePath = (scratch / "test.pcap").string();

// A datagram from port 50000 to 10.0.0.2.
struct Sent {
    Bytes payload;
    uint32_t source = sensor;
    uint16_t port = 2115;
    uint64_t timeNs = startNs;
    UdpDatagram datagram() const { return {source, 0x0A000002, 50000, port, payload, timeNs}; }
    bool operator==(const Sent&) const = default;
};

// Writes the datagrams into the test's capture file.
void write(const std::vector<Sent>& sent, const PcapWriterOptions& options = {}) {
    PcapWriter writer(capturePath, options);
    for (const Sent& s : sent) writer.write(s.datagram());
    writer.close();
}

// Every datagram the reader hands out.
std::vector<Sent> readAll(PcapReader& reader) {
    std::vector<Sent> out;
    while (auto d = reader.next()) {
        Bytes bytes(d->payload.begin(), d->payload.end());
        out.push_back({bytes, d->sourceAddress, d->destinationPort, d->receiveTimeNs});
    }
    return out;
}

// A link type and the libpcap filter words that match its VLAN tags.
class LinkTypes : public testing::TestWithParam<std::pair<LinkType, const char*>> {};

TEST_P(LinkTypes, RoundTripThroughFileAndLibpcapFilter) {
    const auto [linkType, vlanFilter] = GetParam();
    // Around the Ethernet MTU (1472 payload bytes fill 1500 exactly), empty, short enough to
    // need padding, and the largest.
    std::vector<Sent> sent;
    for (size_t size : {0, 10, 1472, 1473, 65507})
        sent.push_back({payload(size, 7), sensor, 2115, startNs + size * 1000});
    write(sent, {.linkType = linkType, .shuffleFragments = true});
    PcapReader reader(capturePath);
    EXPECT_EQ(readAll(reader), sent);
    // 1473 bytes: 2 fragments; 65507: 45 (1480 payload bytes each).
    EXPECT_EQ(reader.stats().records, 3u + 2 + 45);

    // libpcap's filter compiler reads the frame's link, IPv4 and UDP headers independently.
    pcap_t* dead = pcap_open_dead(linkTypeDlt(linkType), 262144);
    bpf_program program{};
    const std::string expression = std::string(vlanFilter) +
                                   "src host 10.0.0.1 and dst host 10.0.0.2 and udp src port "
                                   "50000 and udp dst port 2115";
    ASSERT_EQ(pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0);
    const Bytes frame = frameIpv4(linkType, fragmentUdpDatagram(sent[1].datagram(), 9, 1500)[0]);
    const pcap_pkthdr header{{0, 0}, uint32_t(frame.size()), uint32_t(frame.size())};
    EXPECT_NE(pcap_offline_filter(&program, &header, frame.data()), 0);
    pcap_freecode(&program);
    pcap_close(dead);
}

INSTANTIATE_TEST_SUITE_P(
    PcapReader, LinkTypes,
    testing::Values(std::pair(LinkType::Ethernet, ""),
                    std::pair(LinkType::EthernetVlan, "vlan 100 and "),
                    std::pair(LinkType::EthernetQinq, "vlan 200 and vlan 100 and "),
                    std::pair(LinkType::LinuxCooked, ""), std::pair(LinkType::LinuxCooked2, ""),
                    std::pair(LinkType::RawIpv4, ""), std::pair(LinkType::BsdLoopback, "")));

}  // namespace
}  // namespace compact
