// The report of a stream's description (--describe): senders with their telegram counters as the
// run's loss account counted them, module shapes, lines and what the filters select, parse errors.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

#include "app/describe.h"
#include "app/summary.h"
#include "format/compact_wire.h"
#include "net/udp.h"

namespace {

// A float to its seven significant digits, as printf's %.7g writes it.
std::string factorText(float value) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, double{value}, std::chars_format::general, 7);
    return result.ec == std::errc() ? std::string(text, result.ptr) : "?";
}

std::string number(double value, int decimals) { return decimalText(value, decimals); }
std::string degrees(float radians) { return degreesText(radians); }

template <typename T>
std::string text(T value) {
    return std::to_string(value);
}

// "lo" when both are equal, else "lo..hi".
template <typename T>
std::string range(const T& lo, const T& hi) {
    const std::string low = text(lo), high = text(hi);
    return low == high ? low : low + ".." + high;
}
std::string angleRange(float lo, float hi) {
    const std::string low = degrees(lo), high = degrees(hi);
    return low == high ? low : low + ".." + high;
}
template <typename T>
std::string range(const StreamDescription::Span<T>& span) {
    return span.empty() ? "-" : range(span.lo, span.hi);
}

std::string plural(uint64_t count, const char* one, const char* many) {
    return text(count) + " " + (count == 1 ? one : many);
}

// Left-aligned columns (right-aligned where `rightAligned` says so), two spaces apart, the last
// one unpadded.
std::string table(const std::vector<std::vector<std::string>>& rows,
                  const std::vector<bool>& rightAligned, const std::string& indent) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c) {
            const std::string pad(widths[c] - row[c].size(), ' ');
            const bool last = c + 1 == row.size();
            if (c < rightAligned.size() && rightAligned[c])
                line += pad + row[c];
            else
                line += last ? row[c] : row[c] + pad;
            if (!last) line += "  ";
        }
        out += line + '\n';
    }
    return out;
}

std::string values(uint8_t echoFlags, uint8_t beamFlags) {
    std::string out;
    if (echoFlags & compact::wire::echoHasDistance) out += " distance";
    if (echoFlags & compact::wire::echoHasRssi) out += " rssi";
    if (beamFlags & compact::wire::beamHasTheta) out += " theta";
    if (beamFlags & compact::wire::beamHasProperties) out += " properties";
    return out.empty() ? "no values" : "values" + out;
}

// A sender's telegram counters as the run's loss account has them.
std::string counterText(const LossTracker::Sender* sender) {
    if (sender == nullptr)
        return "telegram counters not followed (more senders than the loss account holds)";
    const LossTracker::Counts& c = sender->counts;
    std::string out = "telegram counters " + range(sender->lowestCounter, sender->highestCounter) +
                      ": " + text(c.lost) + " lost, " + text(c.reordered) + " late, " +
                      plural(c.repeats, "repeat", "repeats") + ", " +
                      plural(c.restarts, "restart", "restarts") + " (counter went back), " +
                      plural(c.jumps, "jump", "jumps");
    if (c.jumps != 0) out += " (" + text(c.jumpedOver) + " counters)";
    if (c.dropped != 0) out += ", " + text(c.dropped) + " dropped by this host";
    return out;
}

std::string segmentRun(const StreamDescription::Span<uint64_t>& segments, uint64_t wraps) {
    return "segment counters " + range(segments) +
           (wraps == 0 ? ", counting up (never back)"
                       : ", going back to a lower value " + plural(wraps, "time", "times"));
}

}  // namespace

std::string StreamDescription::filterText() const {
    const std::string given = ::filterText(options);
    return given.empty() ? "none (every line of every module is written with all its beams and "
                           "echoes)"
                         : given;
}

std::string StreamDescription::report(const LossTracker& losses, const HostDrops& drops) const {
    std::string out;
    out += "Telegrams: " + text(accepted) + " accepted, " + text(refusedTotal) + " refused\n";
    if (drops.kernel + drops.queue != 0) {
        out += "Dropped by this host: " + text(drops.kernel + drops.queue) + " datagrams (" +
               text(drops.queue) + " by the queue, counted with their senders below; " +
               text(drops.kernel) +
               " by the kernel, whose senders are unknown: their telegrams show as lost)\n";
    }
    if (drops.incomplete != 0) {
        out += "Incomplete datagrams dropped from the capture: " + text(drops.incomplete) +
               " (their telegrams show as lost)\n";
    }
    out += "Filters: " + filterText() + "\n";
    out += senderSection(losses);
    out += shapeSection();
    out += lineSection();
    out += refusalSection();
    return out;
}

std::string StreamDescription::senderSection(const LossTracker& losses) const {
    std::string out =
        "\nSenders (source address, sender_id of the first module): " + text(senders.size()) + "\n";
    for (const auto& [key, s] : senders) {
        std::string versionList;
        for (uint32_t v = 0; v < 32; ++v)
            if (s.versions & (uint32_t{1} << v))
                versionList += (versionList.empty() ? "" : ", ") + text(v);
        const uint64_t spanNs = s.received.hi - s.received.lo;
        const std::string rate =
            s.telegrams < 2 || spanNs == 0
                ? "rate unknown"
                : number(double(s.telegrams - 1) * 1e9 / double(spanNs), 1) + " telegrams/s";
        out += "  " + compact::formatIpv4Address(key.first) +
               (key.second == noSenderId ? " (no modules)" : " sender_id " + text(key.second)) +
               ": " + plural(s.telegrams, "telegram", "telegrams") + ", telegram version" +
               (std::popcount(s.versions) == 1 ? " " : "s ") + versionList + ", " + rate + "\n";
        out += "    " +
               counterText(losses.find(
                   key.first, key.second == noSenderId ? 0 : static_cast<uint32_t>(key.second))) +
               "\n";
        if (s.modules == 0) continue;
        out += "    " + plural(s.modules, "module", "modules") + ", " +
               segmentRun(s.segments, s.segmentWraps) + "\n";
        if (!s.timestampStart.empty()) {
            out += "    time stamps " + text(s.timestampStart.lo) + ".." +
                   text(s.timestampStop.hi) + " (first timestamp_start .. last timestamp_stop)\n";
        }
        if (!s.moduleSpacing.empty()) {
            out += "    module spacing " + range(s.moduleSpacing) +
                   " (timestamp_start of line 0, from one module to the next)\n";
        }
    }
    if (telegramsLeftOut != 0) {
        out += "  (" + plural(telegramsLeftOut, "telegram", "telegrams") +
               " of further senders left out: more than " + text(maxSenders) + " senders)\n";
    }
    return out;
}

std::string StreamDescription::shapeSection() const {
    std::string out = "\nModule shapes: " + text(shapes.size()) + "\n";
    for (const auto& [key, shape] : shapes) {
        const auto& [lineCount, beams, echoes, echoFlags, beamFlags, version, factorBits] = key;
        out += "  " + plural(lineCount, "line", "lines") + " x " + plural(beams, "beam", "beams") +
               " x " + plural(echoes, "echo", "echoes") + ", " + values(echoFlags, beamFlags) +
               ", version " + text(version) +
               (version >= compact::wire::firstVersionWithScaling
                    ? " (distance scaling factor " + factorText(shape.scalingFactor) + ")"
                    : " (no scaling factor)") +
               "\n    " + plural(shape.modules, "module", "modules") + ", " +
               segmentRun(shape.segments, shape.segmentWraps) + "\n";
    }
    if (modulesLeftOut != 0) {
        out += "  (" + plural(modulesLeftOut, "module", "modules") +
               " of further shapes left out: more than " + text(maxShapes) + " shapes)\n";
    }
    return out;
}

std::string StreamDescription::lineSection() const {
    std::string out;

    out += "\nLines: " + text(mostLines) +
           " (a line is an index within a module, not a layer of the sensor; angles in "
           "degrees)\n";
    out +=
        "  theta: lowest theta_start .. highest theta_stop; span: theta_stop minus theta_start "
        "in one module\n";
    out +=
        "  after line 0: timestamp_start minus line 0's in the same module; sweep: "
        "timestamp_stop minus timestamp_start\n";
    std::vector<std::vector<std::string>> rows{
        {"line", "modules", "phi", "theta", "span", "after line 0", "sweep", "selected"}};
    for (size_t l = 0; l < lines.size(); ++l) {
        const Line& line = lines[l];
        std::string selected;
        if (line.selected == 0) {
            selected = "not selected";
        } else {
            if (line.selected != line.modules)
                selected = "in " + text(line.selected) + " of " + text(line.modules) + " modules: ";
            auto part = [&selected, &line](const char* name, const Span<int>& firsts,
                                           const Span<int>& lasts, uint64_t none) {
                if (none == line.selected) {
                    selected += std::string("no ") + name;
                    return;
                }
                if (firsts.lo == firsts.hi && lasts.lo == lasts.hi)
                    selected += std::string(name) + " " + range(firsts.lo, lasts.lo);
                else
                    selected +=
                        std::string(name) + " first " + range(firsts) + " last " + range(lasts);
                if (none != 0) selected += " (none in " + text(none) + ")";
            };
            part("beams", line.beamFirst, line.beamLast, line.noBeams);
            selected += "; ";
            part("echoes", line.echoFirst, line.echoLast, line.noEchoes);
        }
        rows.push_back(
            {text(l), text(line.modules),
             line.phi.empty() ? "-" : angleRange(line.phi.lo, line.phi.hi),
             line.thetaStart.empty() || line.thetaStop.empty()
                 ? "-"
                 : degrees(line.thetaStart.lo) + ".." + degrees(line.thetaStop.hi),
             line.thetaSpan.empty() ? "-" : angleRange(line.thetaSpan.lo, line.thetaSpan.hi),
             range(line.afterLine0), range(line.sweep), selected});
    }
    out += table(rows, {true, true}, "  ");
    if (mostLines > maxLines) {
        out += "  (line indices " + text(maxLines) + ".." + text(mostLines - 1) +
               " left out: only the first " + text(maxLines) + " are tracked)\n";
    }
    if (nonFiniteAngles != 0) {
        out += "  (" + plural(nonFiniteAngles, "angle", "angles") +
               " that are not finite numbers left out of the ranges)\n";
    }
    return out;
}

std::string StreamDescription::refusalSection() const {
    std::string out = "\nParse errors: " + text(refusedTotal);
    for (size_t k = 0; k < parseErrorKindCount; ++k) {
        out += (k == 0 ? " (" : ", ") +
               std::string(parseErrorKindName(static_cast<ParseErrorKind>(k))) + " " +
               text(refusedByKind[k]);
    }
    out += ")\n";
    for (const auto& [address, count] : refusedBySource)
        out += "  " + compact::formatIpv4Address(address) + ": " + text(count) + "\n";
    if (refusalsLeftOut != 0) {
        out += "  (" + text(refusalsLeftOut) +
               " from further source addresses left out: more than " + text(maxRefusingSources) +
               " addresses)\n";
    }
    return out;
}
