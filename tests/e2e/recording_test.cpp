// End-to-end tests of a recording on a bad day: stop signals at random moments, a reader that
// stalls, a process killed outright, standard output closed or gone, the output file removed.
// Nothing received may be lost and the file must only ever hold whole rows.
#include <gmock/gmock.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "io/pcap_reader.h"
#include "support/frames.h"
#include "support/runs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing_support;

class Recording : public LiveRun {
  protected:
    // The receiver writing one row per frame (line 0 of a 2-line module, beams 0..1, the frame
    // number in column 2) to `output`.
    std::unique_ptr<ChildProcess> record(const std::string& output,
                                         StandardOutput to = StandardOutput::Captured,
                                         std::vector<std::string> more = {}) const {
        more.insert(more.end(), {"--line", "0", "--beam", "0:1", "--short-headers", output});
        return start(more, to);
    }
    // Sends frames first..last-1, `pause` apart, then stops the receiver with SIGINT.
    void sendThenStop(ChildProcess& receiver, uint32_t first, uint32_t last,
                      std::chrono::milliseconds pause = 0ms) const {
        for (uint32_t n = first; n < last; ++n) {
            sender.send(port, numberedFrame(n));
            std::this_thread::sleep_for(pause);
        }
        if (pause == 0ms) waitUntilReceived(port, deadline);
        stopRun(receiver);
    }
};

// Reads a pipe to its end in pieces of 2 KiB, after `firstPause` and with `pause` after each, as a
// slow consumer would.
std::future<std::string> slowReader(int fd, std::chrono::milliseconds firstPause,
                                    std::chrono::microseconds pause) {
    return std::async(std::launch::async, [=] {
        std::this_thread::sleep_for(firstPause);
        std::string text;
        char buffer[2048];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno != EINTR) break;
            if (n > 0) text.append(buffer, static_cast<size_t>(n));
            std::this_thread::sleep_for(pause);
        }
        return text;
    });
}

// SIGHUP, SIGINT and SIGTERM alike, at random moments of a stream at about the simulator's rate,
// to a file and to a slow pipe reader, twice each: exit 0, whole rows, and every frame sent before
// the signal in the output.
TEST_F(Recording, StopSignalsAtRandomMomentsLoseNothing) {
    std::mt19937 random(2026);
    int run = 0;
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) {
        for (int i = 0; i < 4; ++i, ++run) {
            const bool toFile = i % 2 == 0;
            SCOPED_TRACE("run " + std::to_string(run) + ", signal " + std::to_string(signal) +
                         (toFile ? ", file" : ", pipe"));
            const fs::path file = dir / ("run" + std::to_string(run) + ".csv");
            const auto receiver = record(toFile ? file.string() : "-",
                                         toFile ? StandardOutput::Captured : StandardOutput::Pipe);
            std::future<std::string> piped;
            if (!toFile) piped = slowReader(receiver->outputPipe(), 0ms, 200us);
            std::atomic<uint32_t> sent{0};
            std::atomic<bool> stop{false};
            std::thread stream([&] {
                for (uint32_t n = 0; !stop && n < 400; ++n) {
                    sender.send(port, numberedFrame(n));
                    sent = n + 1;
                    std::this_thread::sleep_for(4ms);
                }
            });
            std::this_thread::sleep_for(1ms * (random() % 300));
            const uint32_t sentBeforeSignal = sent;
            ASSERT_TRUE(receiver->sendSignal(signal));
            stop = true;
            stream.join();
            ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
            const std::set<uint64_t> rows = framesIn(toFile ? readFile(file) : piped.get());
            for (uint32_t n = 0; n < sentBeforeSignal; ++n)
                ASSERT_TRUE(rows.count(n)) << "frame " << n << " of " << sentBeforeSignal;
            // No message but, with the rows on standard output, the summary of the run.
            const std::string said = messages(*receiver);
            EXPECT_EQ(said.starts_with("Received "), !toFile) << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), toFile ? 0 : 1);
        }
    }
}

// SIGKILL gives no chance to finish, and cuts a write() to a file short: within moments the CSV
// ends with a whole row, and the capture of -w with a whole block that libpcap reads. A conversion,
// which spends much of its time in write(), is killed too, writing to a file or to a standard
// output that is a regular file.
TEST_F(Recording, KilledAtRandomMomentsLeavesOnlyWholeRowsAndBlocks) {
    std::mt19937 random(7);
    const auto endsWhole = [](const std::string& text) {
        return text.empty() || text.back() == '\n';
    };
    const fs::path source = dir / "source.pcap", converted = dir / "converted.csv";
    simulate({"--pcap-out", source.string(), "-n", "600"});  // 9,600 rows of 5 KB
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("conversion " + std::to_string(run));
        const bool toFile = run % 2 == 0;
        ChildProcess conversion(COMPACT_CSV_EXE,
                                {"-r", source.string(), toFile ? converted.string() : "-"});
        std::this_thread::sleep_for(1ms * (5 + random() % 150));
        conversion.sendSignal(SIGKILL);
        conversion.wait(deadline);
        std::string csv;
        EXPECT_TRUE(eventually(
            [&] { return endsWhole(csv = toFile ? readFile(converted) : conversion.out()); }, 10s))
            << csv.size() << " bytes end inside a row";
    }

    const std::string large = numberedFrame(1, 16, 240, 3);  // about 58 KB, rows of every column
    const fs::path capture = dir / "killed.pcapng", csv = dir / "killed.csv";
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const auto receiver = start({"-w", capture.string(), csv.string()});
        const auto killAt = std::chrono::steady_clock::now() + 1ms * (random() % 1500);
        while (std::chrono::steady_clock::now() < killAt) {
            sender.send(port, large);
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_TRUE(receiver->sendSignal(SIGKILL));
        receiver->wait(deadline);
        const auto captureReads = [&] {
            compact::PcapReader reader(capture.string());
            while (reader.next()) {
            }
            return reader.readError();
        };
        eventually([&] { return endsWhole(readFile(csv)) && captureReads().empty(); }, 10s);
        framesIn(readFile(csv));
        EXPECT_EQ(captureReads(), "");
    }
}

// With standard output closed, neither the socket nor the output may take descriptor 1: nothing
// goes back to the sender. A row reaches the file within a second and a half while the run goes
// on, not at exit; frames queued in the kernel while the receiver is stopped are all written after
// a stop signal.
TEST_F(Recording, RowsReachTheFileLiveAndAtStopWithStandardOutputClosed) {
    const fs::path file = dir / "live.csv";
    const auto receiver = record(file.string(), StandardOutput::Closed, {"-a", "127.0.0.1"});
    sender.send(port, numberedFrame(1000));
    eventually([&] { return framesIn(readFile(file)).count(1000) != 0; }, 1500ms);
    EXPECT_EQ(framesIn(readFile(file)), std::set<uint64_t>{1000});
    ASSERT_TRUE(receiver->sendSignal(SIGSTOP));
    for (uint32_t n = 0; n < 300; ++n) sender.send(port, numberedFrame(n));
    ASSERT_TRUE(receiver->sendSignal(SIGINT));
    ASSERT_TRUE(receiver->sendSignal(SIGCONT));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(framesIn(readFile(file)).size(), 301u);
    EXPECT_FALSE(sender.receivedAny()) << "the receiver sent something back";

    // Rows for a standard output that is closed would go nowhere: refused before anything runs.
    const ProgramRun closed = runProgram("/bin/sh", {"-c", "exec \"$0\" - >&-", COMPACT_CSV_EXE});
    EXPECT_EQ(closed.status, exitedWith1);
    EXPECT_EQ(closed.err, "standard output is closed: name an output file\n");
}

// The reader of the CSV pauses for 2 s with a 208 KiB socket buffer (about three frames) while
// the simulator sends 240 frames/s: the queue holds them, none is lost.
TEST_F(Recording, SlowReaderStallsWithoutLoss) {
    const auto receiver = start({"-B", "208", "-"}, StandardOutput::Pipe);
    auto piped = slowReader(receiver->outputPipe(), 2000ms, 0us);
    simulate({"--port", std::to_string(port), "--rate", "240", "-n", "720"});
    std::this_thread::sleep_for(500ms);
    receiver->sendSignal(SIGINT);
    int64_t rows = 0;
    framesIn(piped.get(), &rows);
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(rows, 720 * 16);  // every frame of the simulator: one module of 16 lines
    for (const auto& socket : udpSocketsOnPort(port)) EXPECT_EQ(socket.drops, 0u);
}

// Every datagram received, malformed ones included, is kept in the capture of -w: converting it
// with the same options gives the live CSV byte for byte (receive times included) and the same
// counts, and tcpdump reads it without a warning. On standard output, the capture is all there is.
TEST_F(Recording, RawCaptureConvertsToTheSameCsv) {
    const fs::path capture = dir / "raw.pcapng", live = dir / "live.csv";
    const std::vector<std::string> options{"--receive-time", "--line", "0:1", "--beam", "0:2"};
    std::vector<std::string> arguments = options;
    arguments.insert(arguments.end(), {"-w", capture.string(), live.string()});
    const auto receiver = start(arguments);
    simulate({"--port", std::to_string(port), "-n", "60", "--bad-every", "7", "--lines", "4"});
    for (const auto& hostile : hostileDatagrams()) sender.send(port, hostile.bytes);
    waitUntilReceived(port, deadline);
    stopRun(*receiver);

    arguments = options;
    arguments.insert(arguments.end(), {"--port", std::to_string(port), "-r", capture.string(),
                                       (dir / "converted.csv").string()});
    const ProgramRun converted = runProgram(COMPACT_CSV_EXE, arguments, deadline);
    ASSERT_EQ(converted.status, exitedWith0) << converted.err;
    EXPECT_TRUE(readFile(dir / "converted.csv") == readFile(live));
    const int64_t datagrams = figure(receiver->out(), "datagrams captured");
    EXPECT_EQ(datagrams, 60 + 8 + static_cast<int64_t>(hostileDatagrams().size()));
    EXPECT_EQ(figure(converted.out, "datagrams read"), datagrams);
    EXPECT_EQ(reasons(converted.out, "parse errors"), reasons(receiver->out(), "parse errors"));
    if (access("/usr/bin/tcpdump", X_OK) == 0) {
        const ProgramRun dump = runProgram("/usr/bin/tcpdump", {"-r", capture.string(), "-nn"});
        EXPECT_EQ(dump.status, exitedWith0);
        EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), datagrams);
        EXPECT_EQ(std::count(dump.err.begin(), dump.err.end(), '\n'), 1) << dump.err;
    }

    // -w -: the capture on standard output, and nothing else there.
    const auto piped = start({"-w", "-", (dir / "piped.csv").string()});
    sendThenStop(*piped, 0, 20);
    std::ofstream(dir / "piped.pcapng", std::ios::binary) << piped->out();
    compact::PcapReader reader((dir / "piped.pcapng").string());
    int64_t frames = 0;
    while (reader.next()) ++frames;
    EXPECT_EQ(frames, 20);
    EXPECT_EQ(reader.readError(), "");
}

// Rotation by size (a ring of -W 3) and by time: every CSV segment is a CSV of its own, header
// first; the segments' rows add up to the rows of the run (those the ring removed counted apart);
// and each capture segment converts to the CSV segment of the same name.
TEST_F(Recording, RotatedSegmentsStandAloneAndMatchTheirCaptures) {
    const struct {
        std::vector<std::string> rotation;
        std::string csv, capture;
        std::chrono::milliseconds pause;  // between frames
        size_t segmentsKept;              // 0: at least 3
    } runs[] = {
        {{"-C", "2", "-W", "3"}, "rows.csv", "raw.pcapng", 0ms, 3},
        {{"-G", "1"}, "rows-%Y%m%d-%H%M%S.csv", "raw-%Y%m%d-%H%M%S.pcapng", 10ms, 0},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.rotation.front());
        const ScratchDir out;
        std::vector<std::string> arguments = r.rotation;
        arguments.insert(arguments.end(),
                         {"--line", "0", "-w", (out / r.capture).string(), (out / r.csv).string()});
        const auto receiver = start(arguments);
        for (uint32_t n = 0; n < 350; ++n) {
            sender.send(port, numberedFrame(n, 16, 240, 3));  // 58 KB
            std::this_thread::sleep_for(r.pause);
            if (r.pause == 0ms && n % 20 == 0) waitUntilReceived(port, deadline);
        }
        sendThenStop(*receiver, 350, 351);
        std::vector<fs::path> csvs, captures;
        for (const auto& file : fs::directory_iterator(out.path))
            (file.path().extension() == ".csv" ? csvs : captures).push_back(file.path());
        std::sort(csvs.begin(), csvs.end());
        std::sort(captures.begin(), captures.end());
        ASSERT_EQ(csvs.size(), captures.size());
        if (r.segmentsKept != 0)
            EXPECT_EQ(csvs.size(), r.segmentsKept);
        else
            EXPECT_GE(csvs.size(), 3u);
        int64_t rows = 0;
        for (size_t k = 0; k < csvs.size(); ++k) {
            const std::string csv = readFile(csvs[k]);
            EXPECT_TRUE(csv.starts_with("sender_id,")) << csvs[k];
            rows += static_cast<int64_t>(framesIn(csv).size());
            const fs::path converted = out / ("converted" + std::to_string(k));
            const ProgramRun run =
                runProgram(COMPACT_CSV_EXE, {"--port", std::to_string(port), "--line", "0", "-r",
                                             captures[k].string(), converted.string()});
            ASSERT_EQ(run.status, exitedWith0) << run.err;
            EXPECT_TRUE(readFile(converted) == csv) << captures[k] << " and " << csvs[k];
            fs::remove(converted);
        }
        const std::string account = receiver->out();
        EXPECT_EQ(figure(account, "rows written"), rows) << account;
        const int64_t removed = r.segmentsKept != 0 ? figure(account, "rows and") : 0;
        EXPECT_EQ(rows + std::max<int64_t>(removed, 0), 351) << account;
    }
}

// Another receiver that starts on the port (here --describe, as a user would to look at the stream)
// takes telegrams meant for the recording: the second is warned that the kernel splits the senders
// between the two, the recording says so at once, and its account counts the telegrams it missed
// meanwhile apart from the sensor's loss.
TEST_F(Recording, ASecondReceiverOnThePortIsSaidAndWhatItTookToldApart) {
    const auto receiver = record((dir / "shared.csv").string());
    sender.send(port, numberedFrame(1));
    waitUntilReceived(port, deadline);
    const auto describing = start({"--describe"});
    ASSERT_TRUE(eventually(
        [&] {
            return receiver->err().find("Another program started receiving on UDP port") !=
                   std::string::npos;
        },
        deadline))
        << receiver->err();
    // Senders on several source ports, so that the kernel hands some of them to each receiver.
    std::vector<std::unique_ptr<UdpSender>> senders;
    for (int i = 0; i < 8; ++i) senders.push_back(std::make_unique<UdpSender>());
    for (uint32_t n = 2; n <= 200; ++n) senders[n % senders.size()]->send(port, numberedFrame(n));
    waitUntilReceived(port, deadline);
    sendThenStop(*receiver, 201, 202);
    EXPECT_THAT(
        stopRun(*describing),
        testing::HasSubstr("Another program already receives on UDP port " + std::to_string(port) +
                           "; senders are split between them unless each uses "
                           "--address\n"));
    EXPECT_EQ(receiver->err().find("already receives"), std::string::npos);
    const std::string account = receiver->out();
    EXPECT_GT(figure(account, "missed while another program received on the port"), 0) << account;
    EXPECT_EQ(figure(account, "lost at the sensor or on the network"), 0) << account;
}

// What other programs do to the output path while the run goes on, checked every second: the
// file emptied (logrotate's copytruncate: the rows go on at its new start, header first, no hole);
// the file removed (a new one is created under its name, header first, with the rows since the
// previous check, so that none is lost); the file renamed and another put at the path (that file
// is never written into: the rows go on into the renamed one); the folder moved away and a file put
// in its place (the path cannot be checked: a warning, and the rows go on into the open file).
// Meanwhile the status line's reader has gone away. The account counts only the rows in files
// that still exist, and says how many went with the removed file.
TEST_F(Recording, SlowOutputPathEventsLoseNoRowAndTouchNoOtherFile) {
    const fs::path folder = dir / "out", moved = dir / "moved";
    fs::create_directory(folder);
    const fs::path file = folder / "rec.csv";
    const auto receiver = record(file.string(), StandardOutput::Pipe);
    receiver->closeOutputPipe();
    uint32_t n = 0;
    auto sendFor = [&](std::chrono::milliseconds span) {
        for (const auto end = std::chrono::steady_clock::now() + span;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms))
            sender.send(port, numberedFrame(n++));
    };
    sendFor(1500ms);  // the rows of the first second are in the file
    fs::resize_file(file, 0);
    sendFor(1500ms);
    EXPECT_EQ(readFile(file).find('\0'), std::string::npos) << "a hole where the rows were";
    EXPECT_TRUE(readFile(file).starts_with("sender_id,"))
        << "the emptied file restarts with a header";
    fs::remove(file);
    const uint32_t removedAt = n;
    sendFor(2500ms);
    fs::rename(file, folder / "rec.old");
    const std::string other(16000, 'o');
    std::ofstream(file) << other;
    sendFor(2000ms);
    fs::rename(folder, moved);
    std::ofstream(folder) << "not a folder";
    sendFor(1500ms);
    sendThenStop(*receiver, n, n + 1);
    ++n;

    const std::string err = receiver->err();
    for (const char* said : {"Status line stopped", " was emptied by another program",
                             " was removed; writing on in a new file",
                             " was replaced by another file; writing on to the file this run "
                             "opened",
                             "Cannot check output file "})
        EXPECT_TRUE(err.find(said) != std::string::npos && err.find(said) == err.rfind(said))
            << "not once: " << said << " in:\n"
            << err;
    EXPECT_EQ(readFile(moved / "rec.csv"), other) << "another program's file was written into";
    const std::string kept = readFile(moved / "rec.old");
    EXPECT_TRUE(kept.starts_with("sender_id,")) << "the new file starts with a header";
    const std::set<uint64_t> rows = framesIn(kept);
    ASSERT_FALSE(rows.empty());
    EXPECT_LE(*rows.begin(), removedAt) << "rows written after the removal were lost";
    EXPECT_EQ(rows.size(), n - *rows.begin()) << "a row is missing after frame " << *rows.begin();
    // The rows emptied away count as written (a rotation may have kept them); those that went with
    // the removed file do not.
    const int64_t written = figure(receiver->err(), "rows written");
    const int64_t lost =
        figure(receiver->err(), "rows went to an output file that was removed during the run");
    EXPECT_GT(lost, 0);
    EXPECT_GE(written, static_cast<int64_t>(rows.size()));
    EXPECT_EQ(written + lost, n);
}

// Readers that take nothing: a status line on a full pipe (a terminal stopped with Ctrl-S) never
// holds up the recording or its stop; rows for a reader of standard output that takes nothing
// more are given up about 2 s after a stop signal, at once after a second one, and counted.
TEST_F(Recording, SlowStalledReadersHoldUpNeitherTheRecordingNorItsStop) {
    const fs::path file = dir / "stalled.csv";
    const auto recording = record(file.string(), StandardOutput::FullPipe);
    sendThenStop(*recording, 0, 600, 10ms);  // 6 s: past the first status line
    EXPECT_EQ(framesIn(readFile(file)).size(), 600u);

    for (int signals : {1, 2}) {
        SCOPED_TRACE(std::to_string(signals) + " stop signals");
        const auto piped = record("-", StandardOutput::FullPipe);
        for (uint32_t k = 0; k < 200; ++k) sender.send(port, numberedFrame(k, 16, 240, 1));
        waitUntilReceived(port, deadline);
        if (signals == 2) {
            ASSERT_TRUE(piped->sendSignal(SIGINT));
        }
        stopRun(*piped, SIGINT, exitedWith1);
        EXPECT_GT(figure(piped->err(), "rows not delivered"), 0) << piped->err();
    }
}

}  // namespace
