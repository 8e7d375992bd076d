// A main for the Google Benchmark executables whose figures carry their own baselines: after the
// usual console table it prints each figure next to its baseline, as the ratio of their speeds,
// with the target, and absolute time limits. All figures come from the same run of the same
// process, so that a noisy machine slows a figure and its baseline alike.
#pragma once

#include <string>
#include <vector>

namespace bench {

// What a benchmark's speed is read from: its bytes_per_second counter (SetBytesProcessed), or
// the inverse of its CPU time per iteration. Both count the benchmark thread's CPU time, not wall
// time, so that time the thread spends descheduled on a busy machine does not count.
enum class Speed { bytesPerSecond, iterationsPerSecond };

// speed(figure) / speed(baseline), which should reach `atLeast` (0: no target, for reference).
struct Comparison {
    std::string label;
    std::string figure;    // benchmark name
    std::string baseline;  // benchmark name
    Speed speed = Speed::bytesPerSecond;
    double atLeast = 0;
};

// The CPU time per iteration of `figure` should stay at or below `atMostNs`.
struct TimeLimit {
    std::string label;
    std::string figure;
    double atMostNs = 0;
};

// Runs the benchmarks selected on the command line and prints the comparisons and limits whose
// benchmarks ran. Unless the command line says otherwise, each benchmark is repeated 5 times in
// random interleaved order and the comparisons use the medians of the repetitions. Returns the
// exit status for main (0, or 1 for an unknown argument or a benchmark that reported an error).
int runAndCompare(int argc, char** argv, const std::vector<Comparison>& comparisons,
                  const std::vector<TimeLimit>& limits);

}  // namespace bench
