// Runs the benchmarks, then prints each figure beside its baseline.
#include "compare.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

namespace bench {

namespace {

// Speeds seen per benchmark name: one per repetition, and the median aggregate when the library
// reported one (with --benchmark_display_aggregates_only the repetitions are not shown).
struct Samples {
    std::vector<double> bytesPerSecond;
    std::vector<double> nsPerIteration;
    std::optional<double> medianBytesPerSecond;
    std::optional<double> medianNsPerIteration;
};

// CPU time per iteration, as the library's rate counters use it.
double nanoseconds(const benchmark::BenchmarkReporter::Run& run) {
    double perUnit = 1;
    switch (run.time_unit) {
        case benchmark::kSecond:
            perUnit = 1e9;
            break;
        case benchmark::kMillisecond:
            perUnit = 1e6;
            break;
        case benchmark::kMicrosecond:
            perUnit = 1e3;
            break;
        case benchmark::kNanosecond:
            break;
    }
    return run.GetAdjustedCPUTime() * perUnit;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The console table as usual, with the speeds kept for the comparisons.
class ComparingReporter : public benchmark::ConsoleReporter {
  public:
    explicit ComparingReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            Samples& samples = seen[run.run_name.str()];
            const auto bytes = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration) {
                if (bytes != run.counters.end()) samples.bytesPerSecond.push_back(bytes->second);
                samples.nsPerIteration.push_back(nanoseconds(run));
            } else if (run.aggregate_name == "median") {
                if (bytes != run.counters.end()) samples.medianBytesPerSecond = bytes->second;
                samples.medianNsPerIteration = nanoseconds(run);
            }
        }
    }

    // Median speed of a benchmark, or nothing when it did not run (or has no such figure).
    std::optional<double> speed(const std::string& name, Speed kind) const {
        const auto found = seen.find(name);
        if (found == seen.end()) return std::nullopt;
        const Samples& s = found->second;
        if (kind == Speed::bytesPerSecond) {
            if (s.medianBytesPerSecond) return s.medianBytesPerSecond;
            if (s.bytesPerSecond.empty()) return std::nullopt;
            return median(s.bytesPerSecond);
        }
        const std::optional<double> ns = nsPerIteration(name);
        if (!ns || *ns <= 0) return std::nullopt;
        return 1e9 / *ns;
    }

    std::optional<double> nsPerIteration(const std::string& name) const {
        const auto found = seen.find(name);
        if (found == seen.end()) return std::nullopt;
        const Samples& s = found->second;
        if (s.medianNsPerIteration) return s.medianNsPerIteration;
        if (s.nsPerIteration.empty()) return std::nullopt;
        return median(s.nsPerIteration);
    }

    bool failed = false;

  private:
    std::map<std::string, Samples> seen;
};

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// The console options the library's own main would choose: colour on a terminal unless
// --benchmark_color says otherwise, tables of counters with --benchmark_counters_tabular=true.
benchmark::ConsoleReporter::OutputOptions consoleOptions(const std::vector<char*>& arguments) {
    bool color = isatty(STDOUT_FILENO) != 0;
    bool tabular = false;
    for (const char* argument : arguments) {
        if (argument == nullptr) continue;
        const std::string text = argument;
        const auto value = [&text](const std::string& flag) -> std::optional<bool> {
            if (text.rfind(flag + "=", 0) != 0) return std::nullopt;
            const std::string v = text.substr(flag.size() + 1);
            return v == "true" || v == "yes" || v == "1" || (v == "auto" && isatty(STDOUT_FILENO));
        };
        if (const auto on = value("--benchmark_color")) color = *on;
        if (const auto on = value("--benchmark_counters_tabular")) tabular = *on;
    }
    int options = benchmark::ConsoleReporter::OO_None;
    if (color) options |= benchmark::ConsoleReporter::OO_Color;
    if (tabular) options |= benchmark::ConsoleReporter::OO_Tabular;
    return static_cast<benchmark::ConsoleReporter::OutputOptions>(options);
}

}  // namespace

int runAndCompare(int argc, char** argv, const std::vector<Comparison>& comparisons,
                  const std::vector<TimeLimit>& limits) {
    // Defaults first, so that the same flags given on the command line win.
    std::vector<char*> arguments{argv[0]};
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    arguments.push_back(repetitions.data());
    arguments.push_back(interleaving.data());
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    const benchmark::ConsoleReporter::OutputOptions options = consoleOptions(arguments);

    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    ComparingReporter reporter(options);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    bool header = false;
    auto printHeader = [&header] {
        if (!header) std::printf("\nFigure beside its baseline (medians of the repetitions):\n");
        header = true;
    };
    for (const Comparison& c : comparisons) {
        const std::optional<double> figure = reporter.speed(c.figure, c.speed);
        const std::optional<double> baseline = reporter.speed(c.baseline, c.speed);
        if (!figure || !baseline) continue;
        printHeader();
        const double ratio = *figure / *baseline;
        std::printf("  %-52s %8.3f x", c.label.c_str(), ratio);
        if (c.atLeast > 0) {
            std::printf("   target >= %.2f: %s", c.atLeast, verdict(ratio >= c.atLeast));
        }
        std::printf("\n      %s / %s\n", c.figure.c_str(), c.baseline.c_str());
    }
    for (const TimeLimit& limit : limits) {
        const std::optional<double> ns = reporter.nsPerIteration(limit.figure);
        if (!ns) continue;
        printHeader();
        std::printf("  %-52s %8.3f us   target <= %.2f us: %s\n      %s\n", limit.label.c_str(),
                    *ns / 1e3, limit.atMostNs / 1e3, verdict(*ns <= limit.atMostNs),
                    limit.figure.c_str());
    }
    return reporter.failed ? 1 : 0;
}

}  // namespace bench
