// The datagram path allocates nothing once it runs: the global operator new of this test binary
// counts every allocation while realistic datagrams (and refused ones) pass from bytes to the
// output file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "app/pipeline.h"
#include "generators/compact_frame_builder.h"
#include "generators/synthetic_scan.h"
#include "io/status.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

// GCC takes the free() below for a mismatch with the operator new it belongs to.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Datagrams of the shapes a sensor sends (the simulator's default and variants of it), and the
// malformed ones the simulator injects.
std::vector<std::string> realisticDatagrams() {
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
    settings.lines = 4;
    settings.beams = 1000;
    settings.echoes = 1;
    settings.modulesPerFrame = 2;
    compact::SyntheticScan narrow(settings);
    datagrams.push_back(narrow.nextSlot().front().bytes);
    return datagrams;
}

TEST(DatagramPath, AllocatesNothingInTheSteadyState) {
    const std::vector<std::string> datagrams = realisticDatagrams();
    const std::vector<CompactCSV::Options> runs{
        {.csvFile = "/dev/null"},
        {.csvFile = "/dev/null", .beam = {0, 9}, .line = {0, 0}},
        {.csvFile = "/dev/null", .shortHeaders = true, .omitAngles = true},
    };
    for (const CompactCSV::Options& options : runs) {
        Status status(options.csvFile, 5000);
        CompactCSV writer(options);
        for (const std::string& bytes : datagrams) handleDatagram(bytes, &status, writer);
        allocations = 0;
        counting = true;
        for (int round = 0; round < 100; ++round)
            for (const std::string& bytes : datagrams) handleDatagram(bytes, &status, writer);
        counting = false;
        EXPECT_EQ(allocations, 0) << options.line.size() << " line filter values";
        EXPECT_GT(writer.rowsWritten(), 100u);
        EXPECT_FALSE(writer.failed());
        EXPECT_GT(status.parseErrors(), 100u);
    }
}

}  // namespace
