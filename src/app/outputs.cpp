// The outputs of a run: kept files with their segments, the CSV rows and the raw capture.
#include "app/outputs.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

#include "app/stop_signal.h"
#include "app/version.h"
#include "format/frame_view.h"
#include "io/status.h"
#include "net/pcapng.h"
#include "net/udp.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long written records may wait in a buffer while the run goes on; also how often the output
// paths are compared with the open files.
constexpr auto flushInterval = std::chrono::seconds(1);

// The capture's buffer: room for many blocks (a block holds at most 65,507 bytes of payload and 60
// of headers and block fields), written to the file in one call.
constexpr size_t captureBufferBytes = size_t{1} << 20;

}  // namespace

KeptFile::KeptFile(std::string path, std::string name, const RotationSettings& settings,
                   Status* statusLine)
    : pattern(std::move(path)), label(std::move(name)), rotation(settings), line(statusLine) {}

void KeptFile::say(std::string message) {
    if (line != nullptr) line->endLine();
    message[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
    std::cerr << message << std::endl;
}

void KeptFile::open(const Segment& segment, compact::OutputFile::Existing existing,
                    uint64_t records) {
    if (current) {
        // The segment before, closed: what it holds stays, unless a ring removes it later.
        earlierLost += current->recordsLost();
        earlierBytes += current->bytesWritten();
        kept.push_back({currentPath, records - segmentStartRecords - current->recordsLost(),
                        current->bytesWritten()});
        current.reset();
    }
    if (toStandardOutput()) {
        current = compact::OutputFile::standardOutput();
        currentPath.clear();
        return;
    }
    const std::string name = segmentName(pattern, rotation, segment);
    bool isCapture = false;
    current = compact::OutputFile::create(
        name, rotation.active() ? compact::OutputFile::Existing::Refuse : existing, isCapture);
    if (isCapture) {
        throw SetupError(name + " is a capture file; to convert it: compact_csv -r " + name +
                         " [CSV]");
    }
    if (!current) {
        const int error = errno;
        if (error == EEXIST && rotation.active()) {
            throw SetupError(name +
                             " exists: rotation never writes over a file; move the old segments "
                             "away or choose another name");
        }
        throw SetupError("Failed to open file for writing: " + name + ": " + std::strerror(error));
    }
    currentPath = name;
    segmentStartRecords = records;
    current->setRecordsBefore(records);
    // A ring keeps the newest segments only, the one just opened included.
    while (rotation.ring() && kept.size() + 1 > rotation.count) {
        if (::unlink(kept.front().path.c_str()) == 0) {
            ringRemoved += kept.front().records;
            ringRemovedBytes += kept.front().bytes;
        }
        kept.pop_front();
    }
}

bool KeptFile::close(RunEnd& end) {
    if (!current) return true;
    const bool closed = current->close();
    if (!closed && end.error.empty() && !current->readerStalled() &&
        current->errorNumber() != EPIPE)
        end.error = failure();
    return closed;
}

std::string KeptFile::failure() const {
    if (!current) return "";
    return toStandardOutput()
               ? "Failed to write output:" + current->errorText()
               : "Failed to write output " + currentPath + ":" + current->errorText();
}

uint64_t KeptFile::recordsLost() const {
    return earlierLost + (current ? current->recordsLost() : 0);
}

bool KeptFile::check(RunEnd& end, uint64_t records) {
    if (!current || toStandardOutput()) return true;
    using State = compact::OutputFile::PathState;
    const State state = current->checkPath(records);
    switch (state) {
        case State::Same:
            return true;
        case State::Recreated:
            say(label + " " + currentPath +
                " was removed; writing on in a new file under its name, from the records of the "
                "last second");
            return true;
        case State::Renamed:
            say(label + " " + currentPath +
                " was renamed; writing on in a new file under its name");
            return true;
        case State::Replaced:
            if (!std::exchange(replacedSaid, true)) {
                say(label + " " + currentPath +
                    " was replaced by another file; writing on to the file this run opened");
            }
            return true;
        case State::Unchecked:
            if (!std::exchange(uncheckedSaid, true)) {
                say("Cannot check " + label + " " + currentPath + ":" +
                    std::strerror(current->checkError()) + "; writing on to the open file");
            }
            return true;
        case State::Failed:
            end.error =
                "Failed to open file for writing: " + currentPath + ": " + current->errorText();
            return false;
    }
    return true;
}

void KeptFile::sayEmptied() {
    if (!current || current->emptied() <= emptiedSaid) return;
    emptiedSaid = current->emptied();
    say(label + " " + currentPath +
        " was emptied by another program; writing on from its start, header first");
}

bool OutputSink::write(std::string_view text, bool endsRow) {
    return kept.file().write(text, endsRow);
}
bool OutputSink::close() { return true; }  // the segment's file is closed by its KeptFile
std::string OutputSink::errorText() const { return kept.file().errorText(); }

CsvFile::CsvFile(const CompactCSV::Options& options, std::string path,
                 const RotationSettings& rotation, Status* line)
    : output(std::move(path), "output file", rotation, line), sink(output), writer(options, sink) {}

bool CsvFile::readerGone() const {
    return output.toStandardOutput() && isOpen() && writer.failed() &&
           output.file().errorNumber() == EPIPE;
}

bool CsvFile::start(const Segment& segment, RunEnd& end) {
    if (isOpen() && output.toStandardOutput()) return true;  // never rotates
    if (isOpen()) {
        writer.flush();
        if (!output.close(end) || writer.failed()) {
            if (end.error.empty()) end.error = output.failure();
            return false;
        }
    }
    try {
        output.open(segment, compact::OutputFile::Existing::TruncateUnlessCapture,
                    writer.rowsWritten());
    } catch (const SetupError& error) {
        if (segment.index == 0) throw;
        end.error = error.what();
        return false;
    }
    output.file().setRestartText([this] { return writer.restartText(); });
    output.file().setStopRequests([] { return SigINT::instance().stopRequests(); });
    // Every segment is a complete CSV: its first row gets a header.
    writer.forgetHeader();
    return true;
}

bool CsvFile::keep(RunEnd& end) {
    if (!isOpen()) return true;
    writer.flush();
    if (!writer.failed() && !output.check(end, writer.rowsWritten())) return false;
    output.sayEmptied();
    if (!end.error.empty()) return false;
    if (writer.failed()) {
        // A reader that went away is an ordinary end; one that took nothing after the stop is
        // counted in the account.
        if (readerGone() || readerStalled()) return false;
        end.error = output.failure();
        return false;
    }
    return true;
}

bool CsvFile::finish(RunEnd& end) {
    if (!isOpen()) return true;
    const bool flushed = writer.finish();
    const bool closed = output.close(end);
    if (!flushed && end.error.empty() && !readerGone() && !readerStalled())
        end.error = output.failure();
    return flushed && closed;
}

CsvRun::CsvRun(const CompactCSV::Options& settings, const RotationSettings& rotation,
               Status* statusLine)
    : options(settings),
      line(statusLine),
      csv(settings, settings.csvFile, rotation, statusLine),
      lastFlush(Clock::now()) {}

void CsvRun::handle(const Decoded& datagram) {
    if (datagram.frame == nullptr || !csv.isOpen()) return;
    const uint64_t rowsBefore = csv.rowsSelected();
    csv.process(*datagram.frame, datagram.datagram.receiveTimeNs);
    if (filterHint.empty() && (!options.beam.empty() || !options.echo.empty())) {
        for (const compact::ModuleView& module : *datagram.frame) {
            filterHint = emptyFilterHint(options, module);
            if (filterHint.empty()) continue;
            if (line != nullptr) line->endLine();
            std::cerr << filterHint << std::endl;
            break;
        }
    }
    // Only a run that writes nothing needs to say what its frames held.
    if (rowsBefore == 0 && csv.rowsSelected() == 0)
        for (const compact::ModuleView& module : *datagram.frame) frames.add(module);
}

bool CsvRun::keep(RunEnd& end) {
    const auto now = Clock::now();
    if (now - lastFlush < flushInterval) return end.error.empty();
    lastFlush = now;
    if (line != nullptr && csv.isOpen()) line->setOutputFile(csv.file().path());
    return csv.keep(end);
}

CaptureRun::CaptureRun(const std::string& path, const RotationSettings& rotation,
                       Status* statusLine)
    : line(statusLine),
      output(path, "capture file", rotation, statusLine),
      buffer(captureBufferBytes),
      lastFlush(Clock::now()) {
    fileStart.resize(compact::pcapng::fileHeaderSize("compact_csv", compactVersion));
    compact::pcapng::writeFileHeader(
        {reinterpret_cast<uint8_t*>(fileStart.data()), fileStart.size()}, "compact_csv",
        compactVersion);
}

void CaptureRun::handle(const Decoded& datagram) {
    if (!output.isOpen()) return;
    const size_t size = compact::pcapng::packetBlockSize(datagram.datagram.payload.size());
    if (size == 0) return;  // longer than an IPv4 datagram: never received
    if (buffer.size() - used < size && !flush(nullptr)) return;
    used += compact::pcapng::writePacketBlock({buffer.data() + used, buffer.size() - used},
                                              datagram.datagram, identification++);
    ++buffered;
}

bool CaptureRun::flush(RunEnd* end) {
    if (used != 0 && output.file().errorText().empty()) {
        if (output.file().write({reinterpret_cast<const char*>(buffer.data()), used}, true))
            written += buffered;
    }
    used = 0;
    buffered = 0;
    if (output.file().errorText().empty()) return true;
    if (end != nullptr && end->error.empty()) end->error = output.failure();
    return false;
}

uint64_t CaptureRun::segmentBytes() const {
    return (output.isOpen() ? output.file().bytesWritten() : 0) + used;
}

bool CaptureRun::startSegment(const Segment& segment, RunEnd& end) {
    if (output.isOpen() && output.toStandardOutput()) return true;  // never rotates
    if (output.isOpen() && (!flush(&end) || !output.close(end))) return false;
    try {
        output.open(segment, compact::OutputFile::Existing::Truncate, written);
    } catch (const SetupError& error) {
        if (segment.index == 0) throw;
        end.error = error.what();
        return false;
    }
    if (line != nullptr) line->setCaptureFile(output.path());
    output.file().setRestartText([this] { return fileStart; });
    output.file().setStopRequests([] { return SigINT::instance().stopRequests(); });
    if (!output.file().write(fileStart, true)) {
        end.error = output.failure();
        return false;
    }
    return true;
}

bool CaptureRun::keep(RunEnd& end) {
    if (!output.isOpen()) return true;
    const auto now = Clock::now();
    if (now - lastFlush >= flushInterval) {
        lastFlush = now;
        if (!flush(&end)) return false;
        if (!output.check(end, written)) return false;
    }
    output.sayEmptied();
    if (!output.file().errorText().empty()) {
        if (end.error.empty()) end.error = output.failure();
        return false;
    }
    return end.error.empty();
}

bool CaptureRun::finish(RunEnd& end) {
    if (!output.isOpen()) return true;
    const bool flushed = flush(&end);
    return output.close(end) && flushed;
}

PerSenderRun::PerSenderRun(const CompactCSV::Options& settings, std::string filePattern,
                           const RotationSettings& rotationSettings, Status* statusLine)
    : options(settings),
      pattern(std::move(filePattern)),
      rotation(rotationSettings),
      line(statusLine),
      lastFlush(Clock::now()) {
    files.reserve(maxFiles);
}

std::string PerSenderRun::fileName(const std::string& pattern, uint32_t address,
                                   uint32_t senderId) {
    std::string name = pattern;
    for (const auto& [placeholder, value] :
         {std::pair<std::string, std::string>{"{address}", compact::formatIpv4Address(address)},
          {"{sender_id}", std::to_string(senderId)}}) {
        for (size_t at = name.find(placeholder); at != std::string::npos;
             at = name.find(placeholder, at + value.size()))
            name.replace(at, placeholder.size(), value);
    }
    return name;
}

PerSenderRun::File* PerSenderRun::fileFor(uint32_t address, uint32_t senderId) {
    auto matches = [&](const Sender& s) { return s.address == address && s.senderId == senderId; };
    if (lastHit < senders.size() && matches(senders[lastHit])) {
        const size_t index = senders[lastHit].file;
        return index < files.size() ? &files[index] : nullptr;
    }
    for (size_t i = 0; i < senders.size(); ++i) {
        if (!matches(senders[i])) continue;
        lastHit = i;
        return senders[i].file < files.size() ? &files[senders[i].file] : nullptr;
    }
    if (senders.size() == maxSenders) {
        // No room to tell it apart: counted with the senders beyond the files, at least once.
        beyondSendersCapped = true;
        return nullptr;
    }
    // A new sender: its file by name, shared with the senders of the same name.
    const std::string name = fileName(pattern, address, senderId);
    size_t index = 0;
    while (index < files.size() && files[index].name != name) ++index;
    if (index == files.size() && files.size() < maxFiles) {
        File file{name, std::make_unique<CsvFile>(options, name, rotation, line), {}};
        if (!file.csv->start(segment, opening)) return nullptr;
        files.push_back(std::move(file));
    }
    if (index < files.size())
        files[index].senders.emplace_back(address, senderId);
    else
        ++beyondSenders;
    senders.push_back({address, senderId, index < files.size() ? index : maxFiles});
    lastHit = senders.size() - 1;
    return index < files.size() ? &files[index] : nullptr;
}

void PerSenderRun::handle(const Decoded& datagram) {
    if (datagram.frame == nullptr || datagram.frame->moduleCount() == 0 || !opening.error.empty())
        return;
    File* file = fileFor(datagram.datagram.sourceAddress, datagram.frame->begin()->senderId());
    if (file == nullptr) {
        ++beyondTelegrams;
        return;
    }
    file->csv->process(*datagram.frame, datagram.datagram.receiveTimeNs);
}

bool PerSenderRun::keep(RunEnd& end) {
    if (!opening.error.empty()) {
        if (end.error.empty()) end.error = opening.error;
        return false;
    }
    const auto now = Clock::now();
    if (now - lastFlush < flushInterval) return end.error.empty();
    lastFlush = now;
    bool going = true;
    for (File& file : files) going = file.csv->keep(end) && going;
    return going;
}

uint64_t PerSenderRun::segmentBytes() const {
    uint64_t largest = 0;
    for (const File& file : files) largest = std::max(largest, file.csv->segmentBytes());
    return largest;
}

bool PerSenderRun::startSegment(const Segment& next, RunEnd& end) {
    segment = next;
    // Each sender's file starts its next segment; senders that come later open theirs in it.
    for (File& file : files)
        if (!file.csv->start(next, end)) return false;
    return true;
}

bool PerSenderRun::finish(RunEnd& end) {
    bool finished = true;
    for (File& file : files) finished = file.csv->finish(end) && finished;
    return finished;
}

std::vector<PerSenderRun::FileAccount> PerSenderRun::accounts() const {
    std::vector<FileAccount> out;
    for (const File& file : files) out.push_back({file.name, file.csv->rowsKept(), file.senders});
    return out;
}

uint64_t PerSenderRun::rowsKept() const {
    uint64_t rows = 0;
    for (const File& file : files) rows += file.csv->rowsKept();
    return rows;
}

uint64_t PerSenderRun::rowsLost() const {
    uint64_t rows = 0;
    for (const File& file : files) rows += file.csv->rowsLost();
    return rows;
}
