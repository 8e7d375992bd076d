// Checks that the CSV writer's float text, std::to_chars(double(f), general, 6), equals what
// printf's "%g" (the text of a standard stream's default formatting) makes of the same double,
// for every float bit pattern or a chosen part of them. Run by hand; a full run takes minutes.
//
// Usage: float_text_check [--first BITS] [--last BITS] [--stride N] [--threads N] [--show N]
//   BITS are float bit patterns, decimal or 0x-prefixed hex (default 0 .. 0xffffffff); every
//   stride-th pattern from first to last is checked (default 1) by --threads threads (default:
//   one per core); the first --show differences (default 10) are printed in bit order.
// Prints the patterns checked, the differences and the time; exit status 0 when none differ,
// 1 when some do, 2 for a wrong command line.
#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Settings {
    uint64_t first = 0;
    uint64_t last = 0xffffffff;
    uint64_t stride = 1;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    size_t show = 10;
};

struct Difference {
    uint32_t bits;
    std::string toChars;
    std::string printf;
};

bool number(const char* text, uint64_t& value) {
    const bool hex = std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0;
    const char* start = hex ? text + 2 : text;
    const char* end = start + std::strlen(start);
    const auto [at, error] = std::from_chars(start, end, value, hex ? 16 : 10);
    return error == std::errc() && at == end && end != start;
}

bool parse(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        uint64_t value = 0;
        if (i + 1 >= argc || !number(argv[i + 1], value)) return false;
        if (name == "--first" && value <= 0xffffffff)
            settings.first = value;
        else if (name == "--last" && value <= 0xffffffff)
            settings.last = value;
        else if (name == "--stride" && value >= 1)
            settings.stride = value;
        else if (name == "--threads" && value >= 1 && value <= 1024)
            settings.threads = static_cast<unsigned>(value);
        else if (name == "--show")
            settings.show = static_cast<size_t>(value);
        else
            return false;
    }
    return settings.first <= settings.last;
}

// The two texts of one pattern; true when they are equal.
bool same(uint32_t bits, char (&viaToChars)[64], char (&viaPrintf)[64]) {
    const double value = static_cast<double>(std::bit_cast<float>(bits));
    char* end = std::to_chars(viaToChars, viaToChars + sizeof viaToChars - 1, value,
                              std::chars_format::general, 6)
                    .ptr;
    *end = '\0';
    std::snprintf(viaPrintf, sizeof viaPrintf, "%g", value);
    return std::strcmp(viaToChars, viaPrintf) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!parse(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: %s [--first BITS] [--last BITS] [--stride N] [--threads N] "
                     "[--show N]\n",
                     argv[0]);
        return 2;
    }
    const uint64_t patterns = (settings.last - settings.first) / settings.stride + 1;
    // Work is handed out in blocks, so that both cores stay busy to the end.
    constexpr uint64_t blockPatterns = uint64_t{1} << 20;
    const uint64_t blocks = (patterns + blockPatterns - 1) / blockPatterns;
    std::atomic<uint64_t> nextBlock{0};
    std::atomic<uint64_t> differences{0};
    std::mutex keptMutex;
    std::vector<Difference> kept;

    const auto start = std::chrono::steady_clock::now();
    auto work = [&] {
        char viaToChars[64], viaPrintf[64];
        for (uint64_t block = nextBlock++; block < blocks; block = nextBlock++) {
            const uint64_t begin = block * blockPatterns;
            const uint64_t end = std::min(patterns, begin + blockPatterns);
            for (uint64_t i = begin; i < end; ++i) {
                const auto bits = static_cast<uint32_t>(settings.first + i * settings.stride);
                if (same(bits, viaToChars, viaPrintf)) continue;
                ++differences;
                const std::lock_guard lock(keptMutex);
                kept.push_back({bits, viaToChars, viaPrintf});
                // Keep only the lowest patterns: blocks finish out of order.
                std::sort(kept.begin(), kept.end(),
                          [](const Difference& a, const Difference& b) { return a.bits < b.bits; });
                if (kept.size() > settings.show) kept.resize(settings.show);
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < settings.threads; ++t) threads.emplace_back(work);
    for (std::thread& thread : threads) thread.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf(
        "checked %llu float bit patterns (0x%08llx..0x%08llx, stride %llu) with %u threads "
        "in %.1f s\n",
        static_cast<unsigned long long>(patterns), static_cast<unsigned long long>(settings.first),
        static_cast<unsigned long long>(settings.last),
        static_cast<unsigned long long>(settings.stride), settings.threads, seconds);
    std::printf("differences between to_chars(general, 6) and %%g: %llu\n",
                static_cast<unsigned long long>(differences.load()));
    for (const Difference& d : kept) {
        std::printf("  0x%08x  to_chars \"%s\"  %%g \"%s\"\n", d.bits, d.toChars.c_str(),
                    d.printf.c_str());
    }
    return differences == 0 ? 0 : 1;
}
