// The object-tree decoder as the oracle of the frame view, and the tree-walking stream writer
// that produced the receiver's CSV before the view existed, kept here to hold the view-based
// writer to the same bytes.
#include "oracle/tree_oracle.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <exception>
#include <ios>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>

#include "format/compact_frame.h"
#include "format/compact_frame_magic.h"
#include "format/frame_view.h"
#include "format/kaitaistream.h"

namespace oracle {

namespace {

using Frame = ravo::compact_frame_t;

// An inclusive index range; empty when first > last.
struct Range {
    int first = 0;
    int last = -1;
    bool empty() const { return first > last; }
    bool operator==(const Range&) const = default;
};

// Clips a {lo, hi} filter to 0 .. count - 1; an empty filter gives the whole extent.
Range clipped(const std::vector<int>& filter, int count) {
    if (filter.size() != 2) return Range{0, count - 1};
    return Range{std::max(filter[0], 0), std::min(filter[1], count - 1)};
}

// The index of the beam nearest to an angle on a line whose beams lie at start + b * step,
// rounded halves away from zero, or -1 or beamCount for an angle before the first or after the
// last beam (the side is kept, the distance is not). Empty when the angle has no place on the line
// (a NaN quotient).
std::optional<int> beamAtAngle(float angle, float start, float step, int beamCount) {
    const float quotient = (angle - start) / step;
    if (std::isnan(quotient)) return std::nullopt;
    // The bounds keep lroundf in range; anything outside them rounds to an index out of range.
    if (quotient <= -2.0f) return -1;
    if (quotient >= static_cast<float>(beamCount) + 1.0f) return beamCount;
    return static_cast<int>(std::clamp(std::lroundf(quotient), -1L, static_cast<long>(beamCount)));
}

}  // namespace

// Walks the tree of a decoded frame, in which every per-line array has an entry for each line
// and every beam a measurement in each.
struct TreeCsv::Writer {
    const CompactCSV::Options options;
    std::ostream& out;
    Range lastBeams{-1, -1}, lastEchoes{-1, -1};

    void processModule(const Frame::module_t& module) {
        const Frame::metadata_t& meta = *module.metadata();
        if (options.segment.size() == 2) {
            // Only the low 32 bits count, read as a signed number like the filter values.
            const auto segment =
                static_cast<int32_t>(static_cast<uint32_t>(meta.segment_counter()));
            if (segment < options.segment[0] || segment > options.segment[1]) return;
        }
        // The echoes per beam are those of the first beam in the first line, none without one.
        const int beamCount = static_cast<int>(module.beams()->size());
        const int lineCount = static_cast<int>(meta.phi()->size());
        const int echoCount =
            beamCount > 0 && lineCount > 0
                ? static_cast<int>(
                      module.beams()->at(0)->measurement_data()->at(0)->echos()->size())
                : 0;
        const Range beams = clipped(options.beam, beamCount);
        const Range echoes = clipped(options.echo, echoCount);

        Range lines;
        if (options.phi.size() == 1) {
            for (int line = 0; line < lineCount; ++line) {
                if (std::fabs(options.phi[0] - meta.phi()->at(line)) <= options.phiTolerance) {
                    lines =
                        Range{line, line};  // the first match wins, even if a later one is nearer
                    break;
                }
            }
        } else if (options.phi.size() == 2) {
            // The contiguous range from the first to the last line inside the interval.
            for (int line = 0; line < lineCount; ++line) {
                const float phi = meta.phi()->at(line);
                if (options.phi[0] <= phi && phi <= options.phi[1]) {
                    if (lines.empty()) lines.first = line;
                    lines.last = line;
                }
            }
        } else {
            lines = clipped(options.line, lineCount);
        }

        for (int line = lines.first; line <= lines.last; ++line) {
            Range rowBeams = beams;
            if (!options.theta.empty()) {
                // Beam b of the line lies at theta_start + b * step with step = (stop - start) / n.
                const float start = meta.theta_start()->at(line);
                const float step = (meta.theta_stop()->at(line) - start) /
                                   static_cast<float>(static_cast<int32_t>(meta.num_beams()));
                if (step == 0.0f || !std::isfinite(step)) continue;
                const auto first = beamAtAngle(options.theta.front(), start, step, beamCount);
                const auto last = beamAtAngle(options.theta.back(), start, step, beamCount);
                if (!first || !last) continue;
                // Theta falling along the line reverses the indices; the beams between stay wanted.
                const auto [low, high] = std::minmax(*first, *last);
                // A range reaching past the ends of a line keeps the line's beams within it; one
                // wholly beyond an end selects nothing of the line.
                if (high < 0 || low > beamCount - 1) continue;
                rowBeams = Range{std::max(low, 0), std::min(high, beamCount - 1)};
            }
            writeRow(module, line, rowBeams, echoes);
        }
    }

    void writeRow(const Frame::module_t& module, int line, Range beams, Range echoes) {
        // Empty ranges all give the same columns; one canonical form keeps equal headers from being
        // repeated.
        if (beams.empty()) beams = Range{};
        if (beams.empty() || echoes.empty()) echoes = Range{};
        if (beams != lastBeams || echoes != lastEchoes) {
            out << "sender_id,frame_number,segment_counter,line,timestamp_start,timestamp_stop";
            if (!options.omitAngles) out << ",phi,theta_start,theta_stop";
            // 64-bit counters: a last index of INT_MAX must not overflow the loop.
            for (int64_t b = beams.first; b <= beams.last; ++b) {
                if (options.shortHeaders)
                    out << ",B" << b << 'P';
                else
                    out << ",beam[" << b << "]_prop";
                for (int64_t e = echoes.first; e <= echoes.last; ++e) {
                    if (options.shortHeaders)
                        out << ",B" << b << 'E' << e << "D,B" << b << 'E' << e << 'R';
                    else
                        out << ",beam[" << b << "]_echo[" << e << "]_dist,beam[" << b << "]_echo["
                            << e << "]_rssi";
                }
            }
            out << '\n';
            lastBeams = beams;
            lastEchoes = echoes;
        }

        const Frame::metadata_t& meta = *module.metadata();
        out << meta.sender_id() << ',' << meta.frame_number() << ',' << meta.segment_counter()
            << ',' << line << ',' << meta.timestamp_start()->at(line) << ','
            << meta.timestamp_stop()->at(line);
        if (!options.omitAngles) {
            out << ',' << static_cast<double>(meta.phi()->at(line)) << ','
                << static_cast<double>(meta.theta_start()->at(line)) << ','
                << static_cast<double>(meta.theta_stop()->at(line));
        }
        // A value the frame does not carry is an empty field: the column stays, no number is made
        // up.
        for (int b = beams.first; b <= beams.last; ++b) {
            const auto& measurement = *module.beams()->at(b)->measurement_data()->at(line);
            const auto* properties = measurement.beam_properties();
            out << ',';
            if (properties != nullptr) out << properties->upper_bits() * 2 + properties->bit_0();
            for (int e = echoes.first; e <= echoes.last; ++e) {
                const Frame::echo_t& echo = *measurement.echos()->at(e);
                out << ',';
                if (!echo._is_null_distance_raw()) out << echo.distance_raw();
                out << ',';
                if (!echo._is_null_rssi()) out << echo.rssi();
            }
        }
        out << '\n';
    }
};

TreeCsv::TreeCsv(const CompactCSV::Options& options, std::ostream& out)
    : writer(new Writer{options, out}) {}

TreeCsv::~TreeCsv() { delete writer; }

bool TreeCsv::process(std::string_view datagram) {
    kaitai::kstream io{std::string(datagram)};
    try {
        const ravo::compact_frame_magic_t frame(&io);
        if (const auto* modules = frame.frame()->modules())
            for (const auto& module : *modules) writer->processModule(*module);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

namespace {

std::string refusalClass(const compact::FrameError& error) {
    using Kind = compact::FrameError::Kind;
    return error.kind == Kind::WrongMagic     ? "not_equal"
           : error.kind == Kind::VersionBelow ? "less_than"
           : error.kind == Kind::VersionAbove ? "greater_than"
                                              : "ios_failure";
}

// Collects the first difference between the tree's value and the view's.
class Differences {
  public:
    template <typename T>
    void check(const std::string& what, const T& tree, const T& view) {
        if (!first.empty() || tree == view) return;
        std::ostringstream text;
        text << what << ": tree " << +tree << ", view " << +view;
        first = text.str();
    }
    // Floats compare by their bits, so NaNs and signed zeros count too.
    void checkFloat(const std::string& what, float tree, float view) {
        check(what, std::bit_cast<uint32_t>(tree), std::bit_cast<uint32_t>(view));
    }
    std::string first;
};

void compareModule(Differences& d, const std::string& at, const Frame::module_t& tree,
                   const compact::ModuleView& view) {
    const Frame::metadata_t& meta = *tree.metadata();
    d.check(at + "segment_counter", meta.segment_counter(), view.segmentCounter());
    d.check(at + "frame_number", meta.frame_number(), view.frameNumber());
    d.check(at + "sender_id", meta.sender_id(), view.senderId());
    d.check(at + "num_lines", meta.num_lines(), view.numLines());
    d.check(at + "num_beams", meta.num_beams(), view.numBeams());
    d.check(at + "num_echos", meta.num_echos(), view.numEchos());
    d.check(at + "lines", meta.phi()->size(), size_t{view.lines()});
    for (uint32_t l = 0; l < view.lines() && d.first.empty(); ++l) {
        const std::string line = at + "line " + std::to_string(l) + " ";
        d.check(line + "timestamp_start", meta.timestamp_start()->at(l), view.timestampStart(l));
        d.check(line + "timestamp_stop", meta.timestamp_stop()->at(l), view.timestampStop(l));
        d.checkFloat(line + "phi", meta.phi()->at(l), view.phi(l));
        d.checkFloat(line + "theta_start", meta.theta_start()->at(l), view.thetaStart(l));
        d.checkFloat(line + "theta_stop", meta.theta_stop()->at(l), view.thetaStop(l));
    }
    d.check(at + "scaling absent", meta._is_null_distance_scaling_factor(),
            !view.hasScalingFactor());
    d.checkFloat(at + "distance_scaling_factor", meta.distance_scaling_factor(),
                 view.distanceScalingFactor());
    d.check(at + "has_distance", meta.data_content_echos()->has_distance(), view.hasDistance());
    d.check(at + "has_rssi", meta.data_content_echos()->has_rssi(), view.hasRssi());
    d.check(at + "has_theta", meta.data_content_beams()->has_theta(), view.hasTheta());
    d.check(at + "has_properties", meta.data_content_beams()->has_properties(),
            view.hasProperties());
    d.check(at + "beams", tree.beams()->size(), size_t{view.beams()});
    for (uint32_t b = 0; b < view.beams() && d.first.empty(); ++b) {
        const auto& lines = *(*tree.beams())[b]->measurement_data();
        d.check(at + "measurements of beam " + std::to_string(b), lines.size(),
                size_t{view.lines()});
        for (uint32_t l = 0; l < lines.size() && d.first.empty(); ++l) {
            const Frame::measurement_data_t& m = *lines[l];
            const std::string cell =
                at + "beam " + std::to_string(b) + " line " + std::to_string(l) + " ";
            if (m.beam_properties() != nullptr) {
                d.check(cell + "properties",
                        static_cast<uint8_t>(m.beam_properties()->upper_bits() * 2 +
                                             m.beam_properties()->bit_0()),
                        view.properties(b, l));
            }
            if (view.hasTheta()) d.check(cell + "theta", m.theta(), view.thetaRaw(b, l));
            d.check(cell + "echoes", m.echos()->size(), size_t{view.echoes()});
            for (uint32_t e = 0; e < m.echos()->size() && d.first.empty(); ++e) {
                const Frame::echo_t& echo = *(*m.echos())[e];
                const std::string which = cell + "echo " + std::to_string(e) + " ";
                if (!echo._is_null_distance_raw())
                    d.check(which + "distance", echo.distance_raw(), view.distance(b, l, e));
                if (!echo._is_null_rssi()) d.check(which + "rssi", echo.rssi(), view.rssi(b, l, e));
            }
        }
    }
}

}  // namespace

std::optional<TreeRefusal> treeRefusal(std::string_view datagram) {
    kaitai::kstream io{std::string(datagram)};
    try {
        ravo::compact_frame_magic_t frame(&io);
        return std::nullopt;
    } catch (const kaitai::validation_not_equal_error<std::string>& e) {
        return TreeRefusal{"not_equal", e.what()};
    } catch (const kaitai::validation_less_than_error<unsigned int>& e) {
        return TreeRefusal{"less_than", e.what()};
    } catch (const kaitai::validation_greater_than_error<unsigned int>& e) {
        return TreeRefusal{"greater_than", e.what()};
    } catch (const std::ios_base::failure& e) {
        return TreeRefusal{"ios_failure", e.what()};
    } catch (const std::exception& e) {
        return TreeRefusal{"other", e.what()};
    }
}

std::string viewVersusTree(std::string_view datagram) {
    compact::FrameView view;
    const bool viewAccepts = view.parse(datagram.data(), datagram.size());
    kaitai::kstream io{std::string(datagram)};
    std::unique_ptr<ravo::compact_frame_magic_t> tree;
    try {
        tree = std::make_unique<ravo::compact_frame_magic_t>(&io);
    } catch (const std::exception&) {
    }
    if (!tree) {
        const std::optional<TreeRefusal> refusal = treeRefusal(datagram);
        if (viewAccepts) return "the tree refuses (" + refusal->message + "), the view accepts";
        const std::string viewClass = refusalClass(view.error());
        if (refusal->errorClass != viewClass || refusal->message != view.error().message()) {
            return "refused as " + refusal->errorClass + " \"" + refusal->message +
                   "\" by the tree, as " + viewClass + " \"" + view.error().message() +
                   "\" by the view";
        }
        return "";
    }
    if (!viewAccepts) return "the tree accepts, the view refuses: " + view.error().message();

    Differences d;
    const Frame& frame = *tree->frame();
    const Frame::header_t& header = *frame.header();
    d.check("telegram_counter", header.telegram_counter(), view.telegramCounter());
    d.check("telegram_version", header.telegram_version(), view.telegramVersion());
    const size_t modules = frame.modules() != nullptr ? frame.modules()->size() : 0;
    d.check("modules", modules, view.moduleCount());
    size_t m = 0;
    for (const compact::ModuleView& module : view) {
        if (m >= modules || !d.first.empty()) break;
        compareModule(d, "module " + std::to_string(m) + " ", *(*frame.modules())[m], module);
        ++m;
    }
    return d.first;
}

}  // namespace oracle
