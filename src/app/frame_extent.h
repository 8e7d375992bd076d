// What the frames of a run held: the shape of their modules and the angles their lines cover,
// for a hint when a run writes no rows although frames arrived.
#pragma once

#include <cstdint>
#include <string>

#include "csv/compact_csv.h"

namespace compact {
class ModuleView;
}

// Gathers, over every module added, the least and the most lines, beams and echoes per module
// (the element counts of the module), and the least and the most phi and theta (theta_start and
// theta_stop) of all their lines, NaN left out. Fixed size, no allocation.
class FrameExtent {
  public:
    // The least and the most value; meaningless while seen is false.
    template <typename T>
    struct Range {
        T low{};
        T high{};
        bool seen = false;
    };

    void add(const compact::ModuleView& module);

    uint64_t modules() const { return moduleCount; }
    Range<uint32_t> lines() const { return lineCounts; }
    Range<uint32_t> beams() const { return beamCounts; }
    Range<uint32_t> echoes() const { return echoCounts; }
    // In degrees.
    Range<double> phiDegrees() const { return degrees(phi); }
    Range<double> thetaDegrees() const { return degrees(theta); }

    // One line without line feed, for example
    // "frames held 16 lines, 240 beams, 3 echoes; phi -15..15 deg, theta -180..180 deg".
    // A count that varied between modules shows as "12..16 lines"; angles are rounded to one
    // decimal, ".0" left out, and a range whose ends round alike shows as one angle. An angle of
    // which no line had a value shows as "phi none". Without modules: "frames held no modules".
    std::string text() const;

  private:
    static Range<double> degrees(const Range<float>& radians);

    uint64_t moduleCount = 0;
    Range<uint32_t> lineCounts;
    Range<uint32_t> beamCounts;
    Range<uint32_t> echoCounts;
    Range<float> phi;    // radians
    Range<float> theta;  // radians
};

// For a module whose rows lose every beam or every echo column to a filter that selects none of
// what the module has: "--echo 3 selects no echo: frames have echoes 0..2" (and the same for
// --beam, one line each, beam first). "" when the filters select something of both, or were not
// given.
std::string emptyFilterHint(const CompactCSV::Options& options, const compact::ModuleView& module);
