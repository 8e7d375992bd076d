// Tests of the datagram pipeline: the peak memory of handling datagrams built to exhaust it, and
// of decoding them into the object tree, which callers of the decoder still use. Plain build only:
// under AddressSanitizer the allocator's red zones and quarantine would be measured instead.
#include "app/pipeline.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <streambuf>

#include "format/compact_frame_magic.h"
#include "support/files.h"
#include "support/frames.h"

#if defined(__SANITIZE_ADDRESS__)
#define COMPACT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COMPACT_UNDER_ASAN 1
#endif
#endif

namespace {

// Formats rows like any stream but keeps nothing: the writer's work without the output's memory.
class DiscardBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Decodes the datagram into the object tree; false when it is refused with one of the decoder's
// two documented errors (anything else escapes and fails the test).
bool treeDecodes(const std::string& bytes) {
    try {
        kaitai::kstream io(bytes);
        ravo::compact_frame_magic_t frame(&io);
        return true;
    } catch (const kaitai::kstruct_error&) {
        return false;
    } catch (const std::ios_base::failure&) {
        return false;
    }
}

long statusKb(const char* field) {
    return std::stol("0" + testing_support::procStatusField(0, field));
}

TEST(HandleDatagram, HostileDatagramsGrowPeakMemoryLessThan64MB) {
#ifdef COMPACT_UNDER_ASAN
    GTEST_SKIP() << "peak memory is measured in the build without AddressSanitizer";
#endif
    const auto hostile = testing_support::hostileDatagrams();
    const auto densest = testing_support::densestDatagrams();
    DiscardBuffer discard;
    std::ostream out(&discard);
    CompactCSV writer(CompactCSV::Options{}, out);

    // Writing 5 resets the peak to the current size (Linux 4.0 and later); where that is refused
    // the peak since start-up is used, which only makes the check stricter.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKb("VmRSS");
    ASSERT_GT(before, 0) << "no /proc/self/status";

    for (const auto& c : hostile) {
        EXPECT_FALSE(handleDatagram(c.bytes, nullptr, writer)) << c.name;
        EXPECT_FALSE(treeDecodes(c.bytes)) << c.name;
    }
    for (const auto& c : densest) {
        EXPECT_TRUE(handleDatagram(c.bytes, nullptr, writer)) << c.name;
        EXPECT_TRUE(treeDecodes(c.bytes)) << c.name;
    }
    EXPECT_FALSE(writer.failed());

    const long growth = statusKb("VmHWM") - before;
    EXPECT_LT(growth, 64 * 1024) << "peak resident memory grew by " << growth << " kB";
}

}  // namespace
