// Tests of the datagram path's resources: it allocates nothing once it runs (the global operator
// new of this test binary counts every allocation while realistic datagrams, and refused ones,
// pass from bytes to the output file), and the peak memory of handling datagrams built to exhaust
// it stays bounded, also when they are decoded into the object tree, which callers of the decoder
// still use. Peak memory in the plain build only: under AddressSanitizer the allocator's red zones
// and quarantine would be measured instead.
#include "app/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>

#include "app/outputs.h"
#include "format/compact_frame_magic.h"
#include "generators/synthetic_scan.h"
#include "io/status.h"
#include "oracle/tree_oracle.h"
#include "support/files.h"
#include "support/frames.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// GCC takes the free() below for a mismatch with the operator new it belongs to.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// The datagram's bytes as the socket or a capture hands them over.
compact::UdpDatagram received(const std::string& bytes) {
    return {0x7F000001,
            0x7F000001,
            40000,
            2115,
            {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
            1};
}

// Datagrams of the shapes a sensor sends (the simulator's default and variants of it, and a
// narrow frame of two modules), with the malformed ones the simulator injects.
TEST(DatagramPath, AllocatesNothingInTheSteadyState) {
    std::vector<std::string> datagrams;
    compact::ScanSettings settings;
    settings.badEvery = 1;
    for (uint32_t version : {3u, 4u}) {
        settings.telegramVersion = version;
        compact::SyntheticScan scan(settings);
        for (int i = 0; i < 3; ++i)
            for (compact::Datagram& d : scan.nextSlot()) datagrams.push_back(std::move(d.bytes));
    }
    settings = {};
    std::tie(settings.lines, settings.beams, settings.echoes, settings.modulesPerFrame) =
        std::tuple(4, 1000, 1, 2);
    datagrams.push_back(compact::SyntheticScan(settings).nextSlot().front().bytes);
    for (const CompactCSV::Options& options : std::vector<CompactCSV::Options>{
             {.csvFile = "/dev/null"},
             {.csvFile = "/dev/null", .beam = {0, 9}, .line = {0, 0}},
             {.csvFile = "/dev/null", .shortHeaders = true, .omitAngles = true}}) {
        Status status("", 5000);
        CsvRun run(options, {}, nullptr);
        Pipeline pipeline(status);
        pipeline.add(run);
        pipeline.start(0);
        for (const std::string& bytes : datagrams) pipeline.handle(received(bytes));
        allocations = 0;
        counting = true;
        for (int round = 0; round < 100; ++round)
            for (const std::string& bytes : datagrams) pipeline.handle(received(bytes));
        counting = false;
        EXPECT_EQ(allocations, 0) << options.line.size() << " line filter values";
        EXPECT_GT(run.output().rowsSelected(), 100u);
        EXPECT_GT(status.parseErrors(), 100u);
    }
}

long statusKb(const char* field) {
    return std::stol("0" + testing_support::procStatusField(0, field));
}

TEST(DatagramPath, HostileDatagramsGrowPeakMemoryLessThan64MB) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peak memory is measured in the build without AddressSanitizer";
#endif
    const auto hostile = testing_support::hostileDatagrams();
    const auto densest = testing_support::densestDatagrams();
    const CompactCSV::Options options{.csvFile = "/dev/null"};
    Status status("", 5000);
    CsvRun run(options, {}, nullptr);
    Pipeline pipeline(status);
    pipeline.add(run);
    pipeline.start(0);
    // Writing 5 resets the peak to the current size (Linux 4.0 and later); where that is refused
    // the peak since start-up is used, which only makes the check stricter.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKb("VmRSS");
    ASSERT_GT(before, 0) << "no /proc/self/status";
    for (const auto& [cases, accepted] : {std::pair{&hostile, false}, {&densest, true}}) {
        for (const auto& c : *cases) {
            const uint64_t refused = status.parseErrors();
            pipeline.handle(received(c.bytes));
            EXPECT_EQ(status.parseErrors() == refused, accepted) << c.name;
            EXPECT_EQ(!oracle::treeRefusal(c.bytes), accepted) << c.name;  // the tree as well
        }
    }
    const long growth = statusKb("VmHWM") - before;
    EXPECT_LT(growth, 64 * 1024) << "peak resident memory grew by " << growth << " kB";
}

}  // namespace
