// Points in space from the echoes of Compact frames: the echoes that the CSV writer's filters
// select, placed by their distance and the angles of their beam and line, in columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "csv/compact_csv.h"

namespace compact {

class FrameView;

// Points in columns of equal length, one entry per point, in the order the columns are declared
// (also the order of `visit`, of the Python module's arrays and of a points CSV).
//
// Units: distance in the sensor's unit (the raw distance times distance_scaling_factor in telegram
// version 4, the raw distance in version 3); angles in radians; x, y, z in the unit of distance,
// right-handed with x at theta 0, y at theta +90 degrees and z up (phi positive upwards):
// x = d cos(phi) cos(theta), y = d cos(phi) sin(theta), z = d sin(phi).
struct PointColumns {
    // rssi and properties of a frame that does not carry them (presence flag clear).
    static constexpr int32_t absentRssi = -1;
    static constexpr int16_t absentProperties = -1;

    std::vector<uint32_t> senderId;
    std::vector<uint64_t> frameNumber;
    std::vector<uint64_t> segmentCounter;
    std::vector<int32_t> line;             // index within the module
    std::vector<int32_t> beam;             // index within the line
    std::vector<int32_t> echo;             // index within the beam
    std::vector<uint64_t> timestampStart;  // of the line, as received
    std::vector<double> phi;               // the line's phi, radians
    std::vector<double> theta;             // the beam's theta, radians
    std::vector<double> distance;          // scaled, in the sensor's unit
    std::vector<int32_t> rssi;             // as received, or absentRssi
    std::vector<int16_t> properties;       // the beam's property byte, or absentProperties
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;

    // Calls visit(name, column) for every column in declaration order; the names are the column
    // names of the point tables ("sender_id", "frame_number", ..., "z").
    template <typename Visit>
    void visit(Visit&& visit) {
        visitColumns(*this, visit);
    }
    template <typename Visit>
    void visit(Visit&& visit) const {
        visitColumns(*this, visit);
    }

    size_t size() const { return x.size(); }
    // Empties every column; their capacity is kept.
    void clear() {
        visit([](const char*, auto& column) { column.clear(); });
    }
    // Makes room for `points` points in every column.
    void reserve(size_t points) {
        visit([points](const char*, auto& column) { column.reserve(points); });
    }

  private:
    template <typename Self, typename Visit>
    static void visitColumns(Self& self, Visit& visit) {
        visit("sender_id", self.senderId);
        visit("frame_number", self.frameNumber);
        visit("segment_counter", self.segmentCounter);
        visit("line", self.line);
        visit("beam", self.beam);
        visit("echo", self.echo);
        visit("timestamp_start", self.timestampStart);
        visit("phi", self.phi);
        visit("theta", self.theta);
        visit("distance", self.distance);
        visit("rssi", self.rssi);
        visit("properties", self.properties);
        visit("x", self.x);
        visit("y", self.y);
        visit("z", self.z);
    }
};

// Turns validated frames into points. A point is made for every echo of every beam and line that
// the CSV writer with the same filters writes (CompactCSV::selection), except an echo whose raw
// distance is 0: that is no return. A frame without distances gives no points.
//
// Beam b of line l has the theta of its raw value, (raw - 16384) / 5215, when the frame carries
// per-beam theta; otherwise theta_start + b * (theta_stop - theta_start) / beams, in double.
class PointMaker {
  public:
    // `filters`: the settings of the run (csvFile and the header options are not used).
    explicit PointMaker(const CompactCSV::Options& filters);
    ~PointMaker();
    PointMaker(const PointMaker&) = delete;
    PointMaker& operator=(const PointMaker&) = delete;

    // Appends the frame's points to `out`, module by module, in the order of the selected lines,
    // then beams, then echoes. Allocates nothing beyond growing `out` once the selection's
    // buffer has grown to the frame's lines. Never throws but std::bad_alloc.
    void add(const FrameView& frame, PointColumns& out);

    // The number of points add() appends for the frame, without computing them.
    size_t count(const FrameView& frame);

  private:
    std::unique_ptr<CsvSink> discard;
    CompactCSV selector;  // for selection() only; writes nothing
    std::vector<CompactCSV::Selection> rows;
};

}  // namespace compact
