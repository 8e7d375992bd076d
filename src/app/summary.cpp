// The one-line accounts of a finished run: live, and of a capture conversion.
#include "app/summary.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "app/outputs.h"
#include "app/pipeline.h"
#include "format/compact_wire.h"
#include "io/linux_udp_socket.h"
#include "io/pcap_reader.h"
#include "io/status.h"

namespace {

// "<count> <name>, ..." for the non-zero counts, in index order; name(i) names index i.
template <size_t N, typename Name>
std::string reasonList(const std::array<uint64_t, N>& counts, Name name) {
    std::string list;
    for (size_t i = 0; i < N; ++i) {
        if (counts[i] == 0) continue;
        if (!list.empty()) list += ", ";
        list += std::to_string(counts[i]) + ' ' + name(i);
    }
    return list;
}

// "<total> <what>", followed by " (<reasons>)" when the total is not 0.
std::string withReasons(uint64_t total, const std::string& what, const std::string& reasons) {
    return std::to_string(total) + ' ' + what + (total == 0 ? "" : " (" + reasons + ")");
}

}  // namespace

std::string parseErrorText(const Status& status) {
    std::array<uint64_t, parseErrorKindCount> kinds{};
    for (size_t i = 0; i < parseErrorKindCount; ++i)
        kinds[i] = status.parseErrors(static_cast<ParseErrorKind>(i));
    return withReasons(status.parseErrors(), "parse errors", reasonList(kinds, [](size_t i) {
                           return std::string(parseErrorKindName(static_cast<ParseErrorKind>(i)));
                       }));
}

namespace {

// What the counters showed besides plain loss, each only when it happened: ", 2 late (reordered),
// 1 counter jump (2147483646 counters), 5 missed while another program received on the port,
// 300 telegrams from 44 senders not followed".
std::string counterNotes(const Status& status) {
    const LossTracker& tracker = status.tracker();
    const LossTracker::Counts& totals = tracker.totals();
    std::string text;
    if (totals.reordered != 0)
        text += ", " + std::to_string(totals.reordered) + " late (reordered)";
    if (totals.jumps != 0) {
        text += ", " + std::to_string(totals.jumps) + " counter jump" +
                (totals.jumps == 1 ? "" : "s") + " (" + std::to_string(totals.jumpedOver) +
                " counters, not counted as lost)";
    }
    if (status.missedWhileShared() != 0) {
        text += ", " + std::to_string(status.missedWhileShared()) +
                " missed while another program received on the port";
    }
    if (!tracker.lossKnown()) {
        text += ", " + std::to_string(tracker.untrackedTelegrams()) + " telegrams from " +
                (tracker.sendersLeftOutCapped() ? "at least " : "") +
                std::to_string(tracker.sendersLeftOut()) + " senders not followed";
    }
    return text;
}

// "3" or, when some senders were not followed, "at least 3".
std::string lostFigure(const Status& status) {
    return (status.lossKnown() ? "" : "at least ") + std::to_string(status.lostTelegrams());
}

}  // namespace

std::string liveSummary(const Status& status, double seconds, uint64_t kernelDrops,
                        uint64_t queueDrops, const std::string& outputs) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f", seconds);
    // A telegram the queue dropped is known by its header and fills its counter. What the kernel
    // dropped is not known: it may have been a telegram, or anything else sent to the port.
    const uint64_t missing = status.lostTelegrams();
    const std::string loss =
        kernelDrops == 0
            ? lostFigure(status) + " lost at the sensor or on the network"
            : lostFigure(status) + " missing from the telegram counters (0 to " +
                  std::to_string(std::min(missing, kernelDrops)) + " may be this host's drops)";
    return "Received " + std::to_string(status.telegramsReceived()) + " telegrams in " + duration +
           " s: " + loss + ", " + std::to_string(kernelDrops + queueDrops) +
           " dropped by this host, " + std::to_string(status.counterResets()) + " counter resets" +
           counterNotes(status) + ", " + parseErrorText(status) +
           (outputs.empty() ? "" : ", " + outputs);
}

std::string conversionSummary(const std::string& capturePath, const compact::PcapReader& reader,
                              const Status& status, const std::string& outputs) {
    const compact::CaptureStats& capture = reader.stats();
    const compact::ReassemblyStats& reassembly = reader.reassembly();
    const std::string dropped = reasonList(reassembly.dropped, [](size_t i) {
        return compact::dropReasonName(static_cast<compact::DropReason>(i));
    });
    const std::string skipped = reasonList(capture.skipped, [](size_t i) {
        return compact::skipReasonName(static_cast<compact::SkipReason>(i));
    });
    std::string ports;
    for (const compact::PortCount& port : capture.topFilteredPorts(3))
        ports += (ports.empty() ? "" : ", ") + std::to_string(port.datagrams) + " to port " +
                 std::to_string(port.port);
    uint64_t named = 0;
    for (const compact::PortCount& port : capture.topFilteredPorts(3)) named += port.datagrams;
    if (!ports.empty() && capture.filteredOut > named) {
        ports += ", " + std::to_string(capture.filteredOut - named) + " other";
    }
    return capturePath + ": " + std::to_string(capture.delivered) + " datagrams read, " +
           std::to_string(capture.filteredOut) + " filtered out" +
           (ports.empty() ? "" : " (" + ports + ")") + ", " +
           std::to_string(reassembly.fragmentsReassembled) + " fragments reassembled, " +
           withReasons(reassembly.droppedTotal(), "incomplete datagrams dropped", dropped) + ", " +
           withReasons(capture.skippedTotal(), "records skipped", skipped) + ", " +
           parseErrorText(status) + ", " + lostFigure(status) + " lost telegrams" +
           counterNotes(status) + (outputs.empty() ? "" : ", " + outputs);
}

std::vector<std::string> runNotes(const RunEnd& end, uint64_t rowsLost, uint64_t ringRows,
                                  uint64_t ringDatagrams) {
    std::vector<std::string> notes;
    if (end.leftInQueue != 0) {
        notes.push_back(std::to_string(end.leftInQueue) +
                        " received datagrams were left in the queue, not written");
    }
    if (end.receiveErrors != 0) {
        notes.push_back(std::to_string(end.receiveErrors) +
                        " receive calls failed (the last:" + std::strerror(end.receiveError) + ")");
    }
    if (end.untimed != 0) {
        notes.push_back(std::to_string(end.untimed) +
                        " datagrams came without the kernel's receive time; this host's clock "
                        "stood in for it");
    }
    if (rowsLost != 0) {
        notes.push_back(std::to_string(rowsLost) +
                        " rows went to an output file that was removed during the run");
    }
    if (ringRows != 0 || ringDatagrams != 0) {
        notes.push_back(std::to_string(ringRows) + " rows and " + std::to_string(ringDatagrams) +
                        " datagrams were in the oldest segments, which -W removed");
    }
    return notes;
}

std::string decimalText(double value, int decimals) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return "?";
    std::string out(text, result.ptr);
    // 2.50 -> 2.5, 3.00 -> 3, -0 -> 0.
    if (out.find('.') != std::string::npos) {
        while (out.back() == '0') out.pop_back();
        if (out.back() == '.') out.pop_back();
    }
    if (out == "-0") out = "0";
    return out;
}

std::string degreesText(float radians) {
    return decimalText(double{radians} / compact::wire::radiansPerDegree, 2);
}

std::string filterText(const CompactCSV::Options& options) {
    std::string out;
    auto add = [&out](const char* option, const std::string& value) {
        out += std::string(out.empty() ? "" : " ") + option + " " + value;
    };
    auto integers = [](const std::vector<int>& filter) {
        return filter[0] == filter[1] ? std::to_string(filter[0])
                                      : std::to_string(filter[0]) + ":" + std::to_string(filter[1]);
    };
    auto angles = [](const std::vector<float>& filter) {
        return filter.size() == 1 ? degreesText(filter[0])
                                  : degreesText(filter.front()) + ":" + degreesText(filter.back());
    };
    if (!options.segment.empty()) add("--segment", integers(options.segment));
    if (!options.line.empty()) add("--line", integers(options.line));
    if (!options.phi.empty()) {
        add("--phi", angles(options.phi));
        if (options.phi.size() == 1) add("--phi-tolerance", degreesText(options.phiTolerance));
    }
    if (!options.beam.empty()) add("--beam", integers(options.beam));
    if (!options.theta.empty()) add("--theta", angles(options.theta));
    if (!options.echo.empty()) add("--echo", integers(options.echo));
    return out;
}

namespace {

std::string sourceText(const SocketOptions& socket) {
    return socket.source ? "from " + compact::formatIpv4Address(*socket.source) + " only"
                         : "from any address";
}

}  // namespace

std::string startLine(const SocketOptions& socket, const std::string& output,
                      const CompactCSV::Options& options, const std::string& capture) {
    const std::string filters = filterText(options);
    std::string where = output.empty()  ? ""
                        : output == "-" ? std::string("rows to standard output")
                                        : "rows to " + output;
    if (!capture.empty()) where += (where.empty() ? "" : ", ") + ("datagrams to " + capture);
    return "Receiving on UDP port " + std::to_string(socket.port) + " " + sourceText(socket) +
           "; " + (where.empty() ? std::string("describing the stream") : where) +
           "; filters: " + (filters.empty() ? "none" : filters);
}

std::string nothingArrived(const SocketOptions& socket) {
    return "Nothing arrived on UDP port " + std::to_string(socket.port) +
           (socket.source ? " from " + compact::formatIpv4Address(*socket.source) : "") +
           ": check the address and port the sensor sends to";
}

std::string senderAccount(const PerSenderRun& run, const Status& status) {
    std::string text;
    for (const PerSenderRun::FileAccount& file : run.accounts()) {
        text += "  " + file.name + ": " + std::to_string(file.rows) + " rows";
        for (const auto& [address, senderId] : file.senders) {
            text += "; " + compact::formatIpv4Address(address) + " sender_id " +
                    std::to_string(senderId);
            if (const LossTracker::Sender* sender = status.tracker().find(address, senderId)) {
                text += ": " + std::to_string(sender->counts.received) + " telegrams, " +
                        std::to_string(sender->counts.lost) + " lost";
            } else {
                text += ": loss unknown (not followed)";
            }
        }
        text += '\n';
    }
    if (run.telegramsBeyond() != 0) {
        text += std::to_string(run.telegramsBeyond()) + " telegrams from " +
                (run.sendersBeyondAtLeast() ? "at least " : "") +
                std::to_string(run.sendersBeyond()) + " senders beyond the " +
                std::to_string(PerSenderRun::maxFiles) + " files were not written\n";
    }
    return text;
}
