// Writes the seed corpora of the fuzz targets, built with the frame builder and the capture
// writer: the worked example, realistic frames of both versions, every presence-flag
// combination, truncations, multi-module frames, hostile counts, captures of every link type
// with and without fragments, and fragment sequences for the reassembler.
//
// Usage: fuzz_seeds OUTPUT_DIRECTORY
// Creates OUTPUT_DIRECTORY/<target>/<seed name> for every target, replacing older seeds of the
// same name. Exit status 1 (with the reason on standard error) when a file cannot be written.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "datagram_options.h"
#include "generators/compact_frame_builder.h"
#include "io/pcap_writer.h"
#include "reassembly_input.h"

namespace {

namespace fs = std::filesystem;
using compact::FrameSpec;
using compact::ModuleSpec;

constexpr uint32_t maxCount = 0x7FFFFFFF;  // the largest count that is positive as int32

class SeedWriter {
  public:
    explicit SeedWriter(fs::path directory) : root(std::move(directory)) {}

    fs::path directory(const std::string& target) const {
        fs::path dir = root / target;
        fs::create_directories(dir);
        return dir;
    }

    // The path of a new seed, counted; for seeds that another writer creates.
    fs::path newSeed(const std::string& target, const std::string& name) {
        ++count;
        return directory(target) / name;
    }

    void write(const std::string& target, const std::string& name, const std::string& bytes) {
        const fs::path path = newSeed(target, name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) throw std::runtime_error(path.string() + ": cannot write");
    }

    size_t written() const { return count; }

  private:
    fs::path root;
    size_t count = 0;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- datagrams ------------------------------------------------------------------------------

// The documented 115-byte example frame (one line, one beam, one echo, all values present).
FrameSpec workedExample(uint32_t version) {
    ModuleSpec m;
    m.segmentCounter = 7;
    m.frameNumber = 100;
    m.senderId = 1;
    m.numLines = m.numBeams = m.numEchos = 1;
    m.timestampStart = {500};
    m.timestampStop = {600};
    m.phi = {0.0f};
    m.thetaStart = {std::bit_cast<float>(0xBF490FD8u)};  // -pi/4 as float
    m.thetaStop = {std::bit_cast<float>(0x3F490FD8u)};
    m.distanceScalingFactor = 0.5f;
    m.measurements = {compact::MeasurementSpec{{{250, 120}}, 1, 21599}};
    FrameSpec f;
    f.telegramCounter = 5;
    f.telegramVersion = version;
    f.firstModuleSize = 79;
    f.modules = {m};
    return f;
}

FrameSpec frameOf(std::vector<ModuleSpec> modules, uint32_t version) {
    FrameSpec f;
    f.telegramVersion = version;
    f.modules = std::move(modules);
    for (size_t i = 0; i < f.modules.size(); ++i) f.modules[i].segmentCounter = i;
    return f;
}

// A module of 21 lines whose phi, theta_start and theta_stop take the values where a float's
// text form changes (exponent, rounding, signs of zero and NaN) and the extremes, with counters
// and sender_id at their largest and the reserved bits of both presence-flag bytes set.
std::string numberEdges(uint32_t version) {
    using limits = std::numeric_limits<float>;
    ModuleSpec m = compact::makeModule(21, 2, 1);
    // clang-format off
    m.phi = {0.0f, -0.0f, 1e-4f, 9.99999e-5f, 1e-5f, 123456.0f, 999999.0f, 999999.5f,
        1000000.0f, 1234567.0f, 0.000123456f, 1.5707964f, -0.0872665f, limits::min(),
        limits::denorm_min(), limits::max(), -limits::max(), limits::infinity(),
        -limits::infinity(), limits::quiet_NaN(), -limits::quiet_NaN()};
    // clang-format on
    m.thetaStart = m.thetaStop = std::vector(m.phi.rbegin(), m.phi.rend());
    m.dataContentEchos = 0xFF;
    m.dataContentBeams = 0xAB;
    FrameSpec f = frameOf({m}, version);
    f.telegramCounter = UINT64_MAX;
    f.modules[0].segmentCounter = UINT64_MAX;
    f.modules[0].frameNumber = UINT64_MAX;
    f.modules[0].senderId = UINT32_MAX;
    return compact::encodeFrame(f);
}

void writeDatagramSeeds(SeedWriter& seeds) {
    const auto& presets = fuzzing::optionPresets();
    auto put = [&](const std::string& name, const std::string& frame,
                   const fuzzing::OptionPreset& preset) {
        std::string input(preset.bytes.begin(), preset.bytes.end());
        seeds.write("fuzz_receiver", name + "-" + preset.name, input + frame);
        seeds.write("fuzz_differential", name + "-" + preset.name, input + frame);
    };
    auto putDefault = [&](const std::string& name, const std::string& frame) {
        put(name, frame, presets[0]);
    };

    for (uint32_t version : {3u, 4u}) {
        const std::string v = "v" + std::to_string(version) + "-";
        const std::string example = compact::encodeFrame(workedExample(version));
        putDefault(v + "worked-example", example);
        putDefault(v + "worked-example-trailing-bytes", example + std::string(10, '\x5A'));
        for (size_t cut : {0, 3, 4, 31, 35, 64, 100, 103, 108, 110})
            putDefault(v + "worked-example-cut-" + std::to_string(cut), example.substr(0, cut));

        // Realistic frames, each under every option preset.
        const std::string small =
            compact::encodeFrame(frameOf({compact::makeModule(4, 12, 2)}, version));
        const std::string wide =
            compact::encodeFrame(frameOf({compact::makeModule(8, 40, 3)}, version));
        for (const auto& preset : presets) {
            put(v + "lines-4-beams-12-echoes-2", small, preset);
            put(v + "lines-8-beams-40-echoes-3", wide, preset);
        }
        for (size_t cut : {36, 60, 120, 300, 500}) {
            putDefault(v + "lines-4-beams-12-echoes-2-cut-" + std::to_string(cut),
                       small.substr(0, cut));
        }

        // Every presence-flag combination.
        for (uint8_t echoFlags = 0; echoFlags < 4; ++echoFlags) {
            for (uint8_t beamFlags = 0; beamFlags < 4; ++beamFlags) {
                ModuleSpec m = compact::makeModule(2, 3, 2);
                m.dataContentEchos = echoFlags;
                m.dataContentBeams = beamFlags;
                putDefault(v + "flags-echos-" + std::to_string(echoFlags) + "-beams-" +
                               std::to_string(beamFlags),
                           compact::encodeFrame(frameOf({m}, version)));
            }
        }

        // Several modules; differing shapes make the writer repeat its header.
        ModuleSpec first = compact::makeModule(2, 4, 1);
        ModuleSpec second = compact::makeModule(3, 2, 2);
        ModuleSpec third = compact::makeModule(1, 5, 0);
        const std::string multi = compact::encodeFrame(frameOf({first, second, third}, version));
        for (const auto& preset : presets) put(v + "three-modules", multi, preset);
        // Rows longer than the writer's buffer, which must still go out whole.
        const std::string longRows =
            compact::encodeFrame(frameOf({compact::makeModule(2, 4000, 3)}, version));
        for (const auto& preset : presets) put(v + "rows-beyond-the-buffer", longRows, preset);
        // Counters at their largest, reserved flag bits set, and angles where the text form of
        // a float changes, and beyond.
        for (const auto& preset : presets) put(v + "number-edges", numberEdges(version), preset);
        putDefault(v + "empty-modules", compact::encodeFrame(frameOf(
                                            {ModuleSpec{}, ModuleSpec{}, ModuleSpec{}}, version)));

        // Frames without modules and broken envelopes.
        putDefault(v + "no-modules", compact::encodeFrame(frameOf({}, version)));
        FrameSpec badMagic = workedExample(version);
        badMagic.magic = {2, 2, 2, 3};
        putDefault(v + "wrong-magic", compact::encodeFrame(badMagic));

        // Counts that promise far more than the datagram holds.
        putDefault(v + "lines-max",
                   compact::encodeFrame(
                       frameOf({compact::countsOnlyModule(maxCount, 1, 1, 0x03)}, version)));
        putDefault(v + "beams-max-no-lines",
                   compact::encodeFrame(
                       frameOf({compact::countsOnlyModule(0, maxCount, 1, 0x03)}, version)));
        putDefault(v + "echoes-max-zero-width",
                   compact::encodeFrame(
                       frameOf({compact::countsOnlyModule(1, 1, maxCount, 0x00)}, version)));
        putDefault(v + "counts-negative",
                   compact::encodeFrame(frameOf(
                       {compact::countsOnlyModule(0x80000000u, 0xFFFFFFFFu, 0x80000001u, 0x03)},
                       version)));
    }
    for (uint32_t version : {0u, 2u, 5u, 0xFFFFFFFFu}) {
        FrameSpec f = workedExample(version);
        putDefault("version-" + std::to_string(version), compact::encodeFrame(f));
    }
}

// ---- range texts ----------------------------------------------------------------------------

void writeRangeSeeds(SeedWriter& seeds) {
    const std::vector<std::string> texts = {"3",
                                            "0:6",
                                            "6:0",
                                            "-35:0.5",
                                            " +7",
                                            "26.7",
                                            "1e3:-1e-3",
                                            "2147483647",
                                            "2147483648",
                                            "-2147483649",
                                            "1:",
                                            ":1",
                                            "nan",
                                            "inf:-inf",
                                            "0x1p3:0x10",
                                            "1e400",
                                            "1e-400",
                                            "abc",
                                            "5:6:7",
                                            "",
                                            "  -0:+0",
                                            "12abc:34",
                                            "1.5e308:-1.5e308"};
    for (size_t i = 0; i < texts.size(); ++i) {
        seeds.write("fuzz_ranges", "text-" + std::to_string(i), texts[i]);
    }
}

// ---- captures -------------------------------------------------------------------------------

const char* linkName(compact::LinkType link) {
    using compact::LinkType;
    switch (link) {
        case LinkType::Ethernet:
            return "ethernet";
        case LinkType::EthernetVlan:
            return "ethernet-vlan";
        case LinkType::EthernetQinq:
            return "ethernet-qinq";
        case LinkType::LinuxCooked:
            return "linux-cooked";
        case LinkType::LinuxCooked2:
            return "linux-cooked-2";
        case LinkType::RawIpv4:
            return "raw-ipv4";
        case LinkType::BsdLoopback:
            return "bsd-loopback";
    }
    return "unknown";
}

compact::UdpDatagram udpDatagram(const std::string& payload, uint64_t timeNs) {
    compact::UdpDatagram d;
    d.sourceAddress = 0xC0A80001;       // 192.168.0.1
    d.destinationAddress = 0xC0A80002;  // 192.168.0.2
    d.sourcePort = 2115;
    d.destinationPort = 2115;  // the receiver's default port
    d.payload = {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()};
    d.receiveTimeNs = timeNs;
    return d;
}

// pcapng: section header, one Ethernet interface, one enhanced packet block per packet.
std::string pcapngCapture(const std::vector<std::vector<uint8_t>>& packets) {
    std::string out;
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    constexpr uint32_t sectionHeaderBlock = 0x0A0D0D0A, interfaceBlock = 1, packetBlock = 6;
    constexpr uint32_t byteOrderMagic = 0x1A2B3C4D;
    constexpr uint16_t linkEthernet = 1;
    constexpr uint32_t sectionHeaderBytes = 28, interfaceBytes = 20, packetFixedBytes = 32;
    constexpr uint32_t snapLength = 65535;
    for (uint32_t word : {sectionHeaderBlock, sectionHeaderBytes, byteOrderMagic}) u32(word);
    u16(1);  // version 1.0
    u16(0);
    u32(0xFFFFFFFF);  // section length -1: not given
    u32(0xFFFFFFFF);
    u32(sectionHeaderBytes);
    u32(interfaceBlock);
    u32(interfaceBytes);
    u16(linkEthernet);
    u16(0);
    u32(snapLength);
    u32(interfaceBytes);
    uint32_t time = 1000;
    for (const auto& packet : packets) {
        const auto padded = static_cast<uint32_t>((packet.size() + 3) / 4 * 4);
        const uint32_t length = packetFixedBytes + padded;
        const auto size = static_cast<uint32_t>(packet.size());
        // Block type and length, interface 0, time stamp high and low word, captured and
        // original length.
        for (uint32_t word : {packetBlock, length, 0u, 0u, time++, size, size}) u32(word);
        out.append(packet.begin(), packet.end());
        out.append(padded - packet.size(), '\0');
        u32(length);
    }
    return out;
}

void writeCaptureSeeds(SeedWriter& seeds) {
    using compact::LinkType;
    const std::string small = compact::encodeFrame(frameOf({compact::makeModule(2, 4, 1)}, 4));
    const std::string large = compact::encodeFrame(frameOf({compact::makeModule(8, 30, 2)}, 3));

    for (LinkType link :
         {LinkType::Ethernet, LinkType::EthernetVlan, LinkType::EthernetQinq, LinkType::LinuxCooked,
          LinkType::LinuxCooked2, LinkType::RawIpv4, LinkType::BsdLoopback}) {
        compact::PcapWriterOptions options;
        options.linkType = link;
        options.mtu = 576;  // the smallest MTU every IPv4 host must accept: fragments the large
        options.shuffleFragments = link == LinkType::EthernetVlan;
        const fs::path path = seeds.newSeed("fuzz_capture", std::string(linkName(link)) + ".pcap");
        compact::PcapWriter writer(path.string(), options);
        writer.write(udpDatagram(small, 1'000'000'000));
        writer.write(udpDatagram(large, 1'010'000'000));
        writer.write(udpDatagram(small, 1'020'000'000));
        writer.close();
    }

    compact::PcapWriterOptions lossy;
    lossy.mtu = 576;
    lossy.dropOneIn = 2;
    lossy.shuffleFragments = true;
    {
        compact::PcapWriter writer(
            seeds.newSeed("fuzz_capture", "ethernet-lost-fragments.pcap").string(), lossy);
        for (int i = 0; i < 4; ++i) writer.write(udpDatagram(large, 1'000'000'000 + i * 1000));
        writer.close();
    }
    const std::string whole = readFile(seeds.directory("fuzz_capture") / "ethernet.pcap");
    seeds.write("fuzz_capture", "ethernet-cut-in-record.pcap", whole.substr(0, whole.size() - 7));
    seeds.write("fuzz_capture", "header-only.pcap", whole.substr(0, 24));

    const auto packets = compact::fragmentUdpDatagram(udpDatagram(large, 0), 7, 576);
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& packet : packets)
        frames.push_back(compact::frameIpv4(LinkType::Ethernet, packet));
    seeds.write("fuzz_capture", "ethernet-fragments.pcapng", pcapngCapture(frames));
}

// ---- fragment sequences ---------------------------------------------------------------------

void writeReassemblySeeds(SeedWriter& seeds) {
    using fuzzing::FragmentOp;
    // Fragments of 1480 payload bytes (185 units of 8), as an Ethernet MTU of 1500 cuts them.
    constexpr uint16_t unitsPerFragment = 185;
    constexpr uint16_t fragmentBytes = unitsPerFragment * 8;
    auto fragment = [](unsigned key, unsigned index, bool last, unsigned step = 0) {
        FragmentOp op;
        op.key = key;
        op.offsetUnits = static_cast<uint16_t>(index * unitsPerFragment);
        op.length = last ? 300 : fragmentBytes;
        op.moreFragments = !last;
        op.timeStep = step;
        return op;
    };
    auto inOrder = [&](unsigned key, unsigned count) {
        std::vector<FragmentOp> ops;
        for (unsigned i = 0; i < count; ++i) ops.push_back(fragment(key, i, i + 1 == count));
        return ops;
    };
    // Defaults: 4 in progress, 255 KiB held, 2 s time-out.
    auto put = [&](const std::string& name, const std::vector<FragmentOp>& ops,
                   uint8_t inProgress = 4, uint8_t heldKiB = 255, uint8_t timeout = 199) {
        seeds.write("fuzz_reassembly", name,
                    fuzzing::encodeReassemblyInput(inProgress, heldKiB, timeout, ops));
    };

    put("in-order", inOrder(0, 4));
    std::vector<FragmentOp> reversed = inOrder(1, 5);
    std::reverse(reversed.begin(), reversed.end());
    put("reversed", reversed);

    std::vector<FragmentOp> interleaved;
    for (unsigned i = 0; i < 3; ++i) {
        for (unsigned key = 0; key < fuzzing::reassemblyKeys; ++key) {
            interleaved.push_back(fragment(key, i, i == 2, 4));
        }
    }
    put("interleaved-keys", interleaved);
    put("interleaved-keys-limit-2", interleaved, 2);
    put("interleaved-keys-4-kib", interleaved, 4, 4);

    std::vector<FragmentOp> overlapping = inOrder(2, 3);
    FragmentOp straddle = fragment(2, 0, false);
    straddle.offsetUnits = unitsPerFragment / 2;
    overlapping.insert(overlapping.begin() + 1, straddle);
    overlapping.insert(overlapping.begin() + 1, overlapping.front());  // a duplicate
    put("overlapping-and-duplicate", overlapping);

    std::vector<FragmentOp> conflicting = inOrder(3, 3);
    conflicting[1].inputPayload = true;
    conflicting[1].length = 16;
    conflicting[1].payload = std::string(16, '\x7E');
    conflicting.insert(conflicting.begin() + 1, fragment(3, 1, false));
    put("conflicting-bytes", conflicting);

    std::vector<FragmentOp> slow = inOrder(0, 3);
    slow[2].timeStep = 11;  // 2.5 s: beyond the time-out
    put("time-out", slow);
    std::vector<FragmentOp> back = inOrder(1, 3);
    back[1].timeStep = 15;  // capture time steps back
    put("time-steps-back", back);

    FragmentOp tooLong = fragment(0, 0, true);
    tooLong.offsetUnits = 8000;
    tooLong.length = 2000;
    put("too-long", {fragment(0, 0, false), tooLong});

    FragmentOp endsTwice = fragment(1, 1, true);
    endsTwice.length = 100;
    put("two-different-ends", {fragment(1, 0, false), fragment(1, 2, true), endsTwice});
    put("unfragmented", {fragment(2, 0, true)});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 1;
    }
    try {
        SeedWriter seeds{fs::path(argv[1])};
        writeDatagramSeeds(seeds);
        writeRangeSeeds(seeds);
        writeCaptureSeeds(seeds);
        writeReassemblySeeds(seeds);
        std::printf("%zu seeds written to %s\n", seeds.written(), argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
