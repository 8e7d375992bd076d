// Entry point that replays inputs through a fuzz target without libFuzzer: in builds without
// clang, ctest runs every committed regression, the committed corpus and the generated seeds
// through this main.
//
// Usage: <target> [-rss_limit_mb=N] [-other_flag=...] PATH...
// Each PATH is a file or a directory of files (files starting with '.' are skipped). Other
// dash flags are libFuzzer's and are ignored, so one command line serves both builds. A crash
// ends the process as the sanitizers or abort() decide; a missing path, or a peak resident size
// above -rss_limit_mb after an input, exits with status 1.
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// Peak resident size of this process so far, in MiB.
long peakResidentMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;  // Linux reports kB
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string rssFlag = "-rss_limit_mb=";
    long rssLimitMb = 0;  // 0: no limit
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(rssFlag, 0) == 0) {
            rssLimitMb = std::stol(arg.substr(rssFlag.size()));
        } else if (arg.rfind('-', 0) == 0) {
            continue;
        } else if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                const std::string name = entry.path().filename().string();
                if (entry.is_regular_file() && name.rfind('.', 0) != 0) {
                    inputs.push_back(entry.path());
                }
            }
        } else if (fs::is_regular_file(arg)) {
            inputs.emplace_back(arg);
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", arg.c_str());
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());  // a stable order makes a failure reproducible

    for (const fs::path& path : inputs) {
        std::fprintf(stderr, "Running: %s\n", path.c_str());
        const std::string bytes = readFile(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        if (rssLimitMb > 0 && peakResidentMb() > rssLimitMb) {
            std::fprintf(stderr, "%s: peak resident size %ld MB exceeds the limit of %ld MB\n",
                         path.c_str(), peakResidentMb(), rssLimitMb);
            return 1;
        }
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
