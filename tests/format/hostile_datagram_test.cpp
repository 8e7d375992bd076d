// Peak memory while decoding and writing hostile datagrams: counts that promise billions of
// elements, zero-width elements up to the decoder's object cap, module chains that never end.
// Plain build only: under AddressSanitizer the allocator's red zones and quarantine would be
// measured instead of the decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <ios>
#include <streambuf>
#include <string>
#include <vector>

#include "csv/compact_csv.h"
#include "format/compact_frame.h"
#include "format/compact_frame_magic.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"

#if defined(__SANITIZE_ADDRESS__)
#define COMPACT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COMPACT_UNDER_ASAN 1
#endif
#endif

namespace {

using compact::countsOnlyModule;
using compact::ModuleSpec;
using ravo::compact_frame_t;

constexpr uint32_t maxCount = 0x7FFFFFFF;   // the largest count that is positive as int32
constexpr size_t maxDatagramBytes = 65507;  // largest UDP payload over IPv4: 65535 - 20 - 8
constexpr long memoryBudgetKb = 64 * 1024;  // what one receiver may gain from one datagram

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), -1 when absent.
long statusKb(const char* name) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(name) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

// Formats rows like any stream but keeps nothing: the writer's work without the output's memory.
class DiscardBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The frame padded with zeros (or cut) to the largest datagram, so that byte bounds are as loose
// as a hostile sender can make them.
std::string datagram(const std::vector<ModuleSpec>& modules, uint32_t version) {
    compact::FrameSpec frame;
    frame.telegramVersion = version;
    frame.modules = modules;
    std::string bytes = compact::encodeFrame(frame);
    bytes.resize(maxDatagramBytes, '\0');
    return bytes;
}

struct Case {
    std::string name;
    std::string bytes;
};

std::vector<Case> rejectedDatagrams() {
    std::vector<Case> cases;
    for (uint32_t version : {3u, 4u}) {
        const std::string v = "v" + std::to_string(version) + " ";
        // Every combination of counts at 2^31 - 1, the others 1, with and without payload.
        for (int mask = 1; mask < 8; ++mask) {
            for (uint8_t flags : {0x00, 0x03}) {
                const uint32_t l = mask & 1 ? maxCount : 1, b = mask & 2 ? maxCount : 1,
                               e = mask & 4 ? maxCount : 1;
                cases.push_back(
                    {v + "counts " + std::to_string(mask) + " flags " + std::to_string(flags),
                     datagram({countsOnlyModule(l, b, e, flags)}, version)});
            }
        }
        // Modules without lines and with beam counts far beyond the object cap.
        for (uint32_t beams : {maxCount, 1u << 24}) {
            for (uint32_t echoes : {0u, maxCount}) {
                cases.push_back({v + "no lines, beams " + std::to_string(beams),
                                 datagram({countsOnlyModule(0, beams, echoes, 0x00)}, version)});
            }
        }
        // Two modules that each stay under the cap, but not together.
        const auto half = static_cast<uint32_t>(compact_frame_t::maxObjectsPerDatagram / 2);
        ModuleSpec first = countsOnlyModule(0, half, 0, 0x00);
        first.nextModuleSize = 1;
        cases.push_back({v + "two half-cap modules",
                         datagram({first, countsOnlyModule(0, half, 0, 0x00)}, version)});
        // Empty modules, each announcing another, until the datagram ends.
        ModuleSpec link = countsOnlyModule(0, 0, 0, 0x00);
        link.nextModuleSize = 1;
        const size_t linkBytes = compact::encodeModule(link, version).size();
        cases.push_back(
            {v + "endless module chain",
             datagram(std::vector<ModuleSpec>(maxDatagramBytes / linkBytes, link), version)});
    }
    return cases;
}

// The densest frames the decoder accepts: zero-width measurements (the largest objects) and
// zero-width beams, as close to the object cap as the accounting allows.
std::vector<Case> acceptedDatagrams() {
    // One frame, one module (module, metadata, two flag objects): 5 objects before the beams.
    const uint64_t room = compact_frame_t::maxObjectsPerDatagram - 5;
    return {
        {"beams with one empty measurement each",
         datagram({countsOnlyModule(1, static_cast<uint32_t>(room / 2), 0, 0x00)}, 4)},
        {"beams without lines",
         datagram({countsOnlyModule(0, static_cast<uint32_t>(room), 0, 0x00)}, 4)},
    };
}

// Decodes and writes; true when the decoder refused the datagram with one of its two documented
// errors. Anything else escapes and fails the test.
bool refused(const std::string& bytes, CompactCSV& writer) {
    try {
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t frame(&io);
        compact::FrameView view;
        EXPECT_TRUE(view.parse(bytes.data(), bytes.size()))
            << "the view refuses what the tree accepts";
        writer.process(view);
        return false;
    } catch (const kaitai::kstruct_error&) {
        return true;
    } catch (const std::ios_base::failure&) {
        return true;
    }
}

TEST(HostileDatagram, PeakMemoryGrowsLessThan64MB) {
#ifdef COMPACT_UNDER_ASAN
    GTEST_SKIP() << "peak memory is measured in the build without AddressSanitizer";
#endif
    const std::vector<Case> rejected = rejectedDatagrams();
    const std::vector<Case> accepted = acceptedDatagrams();
    DiscardBuffer discard;
    std::ostream out(&discard);
    CompactCSV writer(CompactCSV::Options{}, out);

    // Writing 5 resets the peak to the current size (Linux 4.0 and later); where that is refused
    // the peak since start-up is used, which only makes the check stricter.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKb("VmRSS");
    ASSERT_GT(before, 0) << "no /proc/self/status";

    for (const Case& c : rejected) EXPECT_TRUE(refused(c.bytes, writer)) << c.name;
    for (const Case& c : accepted) EXPECT_FALSE(refused(c.bytes, writer)) << c.name;
    EXPECT_FALSE(writer.failed());

    const long growth = statusKb("VmHWM") - before;
    EXPECT_LT(growth, memoryBudgetKb) << "peak resident memory grew by " << growth << " kB";
}

}  // namespace
