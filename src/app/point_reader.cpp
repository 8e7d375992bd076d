// Reading the points of a capture file.
#include "app/point_reader.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "app/command_line.h"
#include "format/frame_view.h"
#include "format/parse_error.h"

namespace {

// The status line is never printed; its period only has to be valid.
constexpr unsigned int unusedStatusPeriodMs = 1000;

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return path != "-" && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

PointOptions pointOptions(const PointArguments& arguments) {
    // "--name=text", so that a text starting with '-' (-5:5) is the option's value.
    std::vector<std::string> words{"compact_csv", "--port=" + arguments.port,
                                   "--phi-tolerance=" + arguments.phiTolerance};
    const std::pair<const char*, const std::optional<std::string>*> given[] = {
        {"address", &arguments.address}, {"segment", &arguments.segment}, {"beam", &arguments.beam},
        {"theta", &arguments.theta},     {"line", &arguments.line},       {"phi", &arguments.phi},
        {"echo", &arguments.echo}};
    for (const auto& [name, text] : given) {
        if (*text) words.push_back(std::string("--") + name + "=" + **text);
    }
    for (const std::string& group : arguments.multicast) words.push_back("--multicast=" + group);
    if (arguments.interfaceName) words.push_back("--interface=" + *arguments.interfaceName);
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    argv.push_back(nullptr);
    // No --help or --version among them: there is always a result.
    const cxxopts::ParseResult result =
        *parseArguments(static_cast<int>(words.size()), argv.data());
    PointOptions options;
    options.filters = processArguments(result);
    options.capture.destinationPort = checkedPort(result);
    options.capture.sourceAddress = checkedAddress(result);
    options.groups = checkedGroups(result);
    if (arguments.interfaceName) options.interfaceName = *arguments.interfaceName;
    return options;
}

PointReader::PointReader(const std::string& path, const CompactCSV::Options& filters,
                         const compact::UdpFilter& capture)
    : reader(std::make_unique<compact::PcapReader>(path, capture)),
      maker(filters),
      counts("", unusedStatusPeriodMs) {}

PointReader::PointReader(FILE* file, const CompactCSV::Options& filters,
                         const compact::UdpFilter& capture)
    : reader(std::make_unique<compact::PcapReader>(file, capture)),
      maker(filters),
      counts("", unusedStatusPeriodMs) {}

const compact::FrameView* PointReader::nextFrame() {
    // Counted as the command line's conversion counts them (handleDatagram).
    while (const std::optional<compact::UdpDatagram> datagram = reader->next()) {
        if (!frame.parse(datagram->payload)) {
            counts.parseErrorOccurred(parseErrorKind(frame.error()));
            continue;
        }
        const uint32_t senderId = frame.moduleCount() != 0 ? frame.begin()->senderId() : 0;
        counts.telegramReceived(datagram->sourceAddress, senderId, frame.telegramCounter(),
                                datagram->receiveTimeNs);
        return &frame;
    }
    return nullptr;
}

bool PointReader::next(compact::PointColumns& out) {
    const compact::FrameView* accepted = nextFrame();
    if (accepted == nullptr) return false;
    maker.add(*accepted, out);
    return true;
}

std::optional<size_t> PointReader::countNext() {
    const compact::FrameView* accepted = nextFrame();
    if (accepted == nullptr) return std::nullopt;
    return maker.count(*accepted);
}

PointSummary pointSummary(const Status& status, uint64_t points) {
    PointSummary out;
    out.points = points;
    out.telegrams = status.telegramsReceived();
    out.lost = status.lostTelegrams();
    out.counterResets = status.counterResets();
    out.parseErrors = status.parseErrors();
    for (size_t kind = 0; kind < parseErrorKindCount; ++kind)
        out.parseErrorsByKind[kind] = status.parseErrors(static_cast<ParseErrorKind>(kind));
    return out;
}

PointSummary PointReader::summary(uint64_t points) const {
    PointSummary out = pointSummary(counts, points);
    out.capture = reader->stats();
    out.reassembly = reader->reassembly();
    out.readError = reader->readError();
    out.readErrorBeforeEnd = reader->readErrorBeforeEnd();
    return out;
}

compact::PointColumns readPoints(const std::string& path, const CompactCSV::Options& filters,
                                 const compact::UdpFilter& capture, PointSummary& summary) {
    // Columns that grow by doubling may hold twice what they need at the end, and more while
    // they move; counting first keeps the peak at the size of the result.
    compact::PointColumns points;
    if (isRegularFile(path)) {
        PointReader counter(path, filters, capture);
        size_t total = 0;
        while (const std::optional<size_t> found = counter.countNext()) total += *found;
        points.reserve(total);
    }
    PointReader reader(path, filters, capture);
    while (reader.next(points)) {
    }
    summary = reader.summary(points.size());
    return points;
}
