// Rotation of long recordings: when a run starts a new segment of its output files (by size, by
// time), what the segments are called, and which old ones a ring removes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// -C, -G and -W, tcpdump's letters and meanings.
struct RotationSettings {
    uint64_t sizeBytes = 0;  // -C: a new segment once a file of the current one passes this; 0: off
    uint64_t periodNs = 0;   // -G: a new segment every period; 0: off
    uint32_t count = 0;  // -W: with -C alone, at most this many segments kept (a ring); with -G,
                         //     the run ends after this many periods; 0: no limit

    bool active() const { return sizeBytes != 0 || periodNs != 0; }
    // A ring: -W with -C and without -G.
    bool ring() const { return count != 0 && sizeBytes != 0 && periodNs == 0; }
};

// One segment of a rotating run.
struct Segment {
    uint64_t index = 0;    // from 0, in the order of the run
    uint64_t number = 1;   // the number its names carry with -C: from 1, again in each -G period
    uint64_t startNs = 0;  // with -G: when its period starts (ns since 1970, UTC)
};

// The name of a segment's file for the path the user gave:
// - without rotation, the path itself;
// - with -G, the path is a strftime pattern, filled in with the period's start in UTC (so that no
//   hour repeats when the clocks change): scan-%Y%m%d-%H%M.csv;
// - with -C, the segment's number, six digits, goes before the extension (after the last '.' of
//   the last path component, or at the end): scan.csv -> scan-000001.csv, scan-000002.csv, ...,
//   which sort in time order; with -G too, the number restarts with each period.
std::string segmentName(const std::string& path, const RotationSettings& settings,
                        const Segment& segment);

// Why a -G pattern would give the same name to two periods of the run (too coarse for the period,
// or no date where the run may last longer than a day): the message, without the option; nullopt
// when names never repeat.
std::optional<std::string> repeatedNames(const std::string& path, const RotationSettings& settings);

// When a run starts its segments: the first at the start (live) or with the first datagram (a
// conversion with -G, whose periods follow the capture's time), each next one before the datagram
// that passes the size limit or starts a new period.
class Rotation {
  public:
    explicit Rotation(const RotationSettings& settings) : config(settings) {}

    // The first segment, its period starting at `startNs`.
    Segment first(uint64_t startNs);
    // Before a datagram received at `timeNs`, with `bytes` in the largest file of the current
    // segment: the next segment when one is due. Periods without a datagram get no segment.
    std::optional<Segment> next(uint64_t timeNs, uint64_t bytes);
    // True once -W periods of -G have passed: the run ends before the datagram that would start
    // the next one.
    bool exhausted() const { return done; }
    const RotationSettings& settings() const { return config; }

  private:
    RotationSettings config;
    Segment current;
    uint64_t originNs = 0;  // the start of period 0
    uint64_t periods = 1;   // -G periods begun so far
    bool done = false;
};
