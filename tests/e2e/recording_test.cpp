// End-to-end tests of a recording on a bad day: stop signals at random moments, a reader that
// stalls, a process killed outright, standard output closed or gone, the output file removed, and
// captures that are the output or break off in the middle. Nothing received may be lost and the
// file must only ever hold whole rows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "generators/compact_frame_builder.h"
#include "generators/pcap_writer.h"
#include "support/process.h"
#include "support/udp.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::ExitStatus;
using testing_support::StandardOutput;

constexpr ExitStatus exitedWith0{0, 0};
constexpr ExitStatus exitedWith1{1, 0};
constexpr auto deadline = 30s;

// One row per frame: line 0 of a 2-line module, beams 0..1, the frame number in column 2.
const std::vector<std::string> oneRowPerFrame{"--line", "0", "--beam", "0:1", "--short-headers"};

std::string frame(uint32_t n, uint32_t lines = 2, uint32_t beams = 3, uint32_t echoes = 1) {
    compact::FrameSpec layout;
    layout.telegramCounter = n;
    layout.modules.push_back(compact::makeModule(lines, beams, echoes));
    layout.modules.back().frameNumber = n;
    return compact::encodeFrame(layout);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The rows of a CSV text by frame number. Fails the test when the text does not end with a whole
// row or a row's field count differs from its header's.
std::set<uint64_t> framesIn(const std::string& csv) {
    std::set<uint64_t> frames;
    if (csv.empty()) return frames;
    EXPECT_EQ(csv.back(), '\n') << "the output ends inside a row";
    std::istringstream in(csv);
    std::string line;
    size_t columns = 0;
    while (std::getline(in, line)) {
        const size_t fields = static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
        if (line.rfind("sender_id,", 0) == 0) {
            columns = fields;
            continue;
        }
        EXPECT_EQ(fields, columns) << "a cut or stray row: " << line.substr(0, 80);
        std::istringstream row(line);
        std::string sender, number;
        std::getline(row, sender, ',');
        std::getline(row, number, ',');
        frames.insert(std::stoull(number));
    }
    return frames;
}

class Recording : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("compact_recording_" + std::to_string(getpid()));
        fs::create_directories(dir);
        port = testing_support::freeUdpPort();
    }
    void TearDown() override { fs::remove_all(dir); }

    // The receiver on `port`, once its socket is bound and its stop handlers are in place.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> arguments,
                                        StandardOutput output = StandardOutput::Captured) const {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
        auto receiver = std::make_unique<ChildProcess>(COMPACT_CSV_EXE, arguments, -1, output);
        EXPECT_TRUE(receiver->waitForSignalHandler(SIGHUP, deadline)) << receiver->err();
        EXPECT_TRUE(receiver->waitUntilReceiving(deadline)) << receiver->err();
        return receiver;
    }

    fs::path dir;
    unsigned short port = 0;
};

// Reads a pipe in small pieces with a pause after each, as a slow consumer would, until its end.
class SlowReader {
  public:
    SlowReader(int fd, std::chrono::milliseconds firstPause, std::chrono::microseconds pause)
        : thread([=, this] {
              std::this_thread::sleep_for(firstPause);
              char buffer[2048];
              for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
                  if (n < 0 && errno == EINTR) continue;
                  if (n < 0) break;
                  text.append(buffer, static_cast<size_t>(n));
                  std::this_thread::sleep_for(pause);
              }
          }) {}
    // The whole text, once the writer has closed the pipe.
    std::string finish() {
        thread.join();
        return text;
    }

  private:
    std::string text;
    std::thread thread;
};

// SIGHUP, SIGINT and SIGTERM alike, at random moments of a stream at about the simulator's rate,
// to a file and to a slow pipe reader: exit 0, whole rows, and every frame sent before the signal
// in the output.
TEST_F(Recording, StopSignalsAtRandomMomentsLoseNothing) {
    std::mt19937 random(2026);
    testing_support::UdpSender sender;
    int run = 0;
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) {
        for (int i = 0; i < 20; ++i, ++run) {
            const bool toFile = i % 2 == 0;
            SCOPED_TRACE("run " + std::to_string(run) + ", signal " + std::to_string(signal) +
                         (toFile ? ", file" : ", pipe"));
            const fs::path file = dir / ("run" + std::to_string(run) + ".csv");
            auto arguments = oneRowPerFrame;
            arguments.push_back(toFile ? file.string() : "-");
            const auto receiver =
                start(arguments, toFile ? StandardOutput::Captured : StandardOutput::Pipe);
            std::unique_ptr<SlowReader> reader;
            if (!toFile) reader = std::make_unique<SlowReader>(receiver->outputPipe(), 0ms, 200us);

            std::atomic<uint32_t> sent{0};
            std::atomic<bool> stop{false};
            std::thread stream([&] {
                for (uint32_t n = 0; !stop && n < 400; ++n) {
                    sender.send(port, frame(n));
                    sent = n + 1;
                    std::this_thread::sleep_for(4ms);
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
            const uint32_t sentBeforeSignal = sent;
            ASSERT_TRUE(receiver->sendSignal(signal));
            stop = true;
            stream.join();
            ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
            const std::set<uint64_t> rows = framesIn(toFile ? readFile(file) : reader->finish());
            for (uint32_t n = 0; n < sentBeforeSignal; ++n)
                ASSERT_TRUE(rows.count(n)) << "frame " << n << " of " << sentBeforeSignal;
            // No message but, with the rows on standard output, the account of the run.
            const std::string messages = receiver->err();
            EXPECT_EQ(messages.rfind("Received ", 0), toFile ? std::string::npos : 0u) << messages;
            EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), toFile ? 0 : 1);
        }
    }
}

// SIGKILL gives no chance to finish: the file must still end with a whole row.
TEST_F(Recording, KilledAtRandomMomentsLeavesOnlyWholeRows) {
    std::mt19937 random(7);
    testing_support::UdpSender sender;
    const std::string large = frame(1, 16, 240, 3);  // about 58 KB, rows of every column
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const fs::path file = dir / "killed.csv";
        const auto receiver = start({file.string()});
        const auto killAt =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 1500);
        while (std::chrono::steady_clock::now() < killAt) {
            sender.send(port, large);
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_TRUE(receiver->sendSignal(SIGKILL));
        receiver->wait(deadline);
        framesIn(readFile(file));
    }
}

// A row reaches the file within a second and a half while the run goes on, not at exit.
TEST_F(Recording, RowReachesTheFileWhileTheRunGoesOn) {
    const fs::path file = dir / "live.csv";
    auto arguments = oneRowPerFrame;
    arguments.push_back(file.string());
    const auto receiver = start(arguments);
    testing_support::UdpSender sender;
    sender.send(port, frame(5));
    const auto sentAt = std::chrono::steady_clock::now();
    while (framesIn(readFile(file)).count(5) == 0 &&
           std::chrono::steady_clock::now() - sentAt < 1500ms) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(framesIn(readFile(file)), std::set<uint64_t>{5});
    receiver->sendSignal(SIGINT);
    EXPECT_EQ(receiver->wait(deadline), exitedWith0);
}

// The reader of the CSV pauses for 2 s with a 208 KiB socket buffer (about three frames) while
// the simulator sends 240 frames/s: the queue holds them, none is lost.
TEST_F(Recording, SlowReaderStallsWithoutLoss) {
    const auto receiver = start({"-B", "208", "-"}, StandardOutput::Pipe);
    SlowReader reader(receiver->outputPipe(), 2000ms, 0us);
    const auto simulator = testing_support::runProgram(
        COMPACT_SIM_EXE, {"--port", std::to_string(port), "--rate", "240", "-n", "720"}, 60s);
    ASSERT_EQ(simulator.status, exitedWith0) << simulator.err;
    std::this_thread::sleep_for(500ms);
    receiver->sendSignal(SIGINT);
    const std::string csv = reader.finish();
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    // Every frame of the simulator is one module of 16 lines, one row each.
    const auto rows = std::count(csv.begin(), csv.end(), '\n') - 1;
    EXPECT_EQ(rows, 720 * 16);
    for (const auto& socket : testing_support::udpSocketsOnPort(port)) EXPECT_EQ(socket.drops, 0u);
}

// Frames queued in the kernel while the receiver is stopped are all written after a stop signal.
TEST_F(Recording, StopWritesEveryFrameTheKernelHolds) {
    const fs::path file = dir / "queued.csv";
    auto arguments = oneRowPerFrame;
    arguments.push_back(file.string());
    const auto receiver = start(arguments);
    ASSERT_TRUE(receiver->sendSignal(SIGSTOP));
    testing_support::UdpSender sender;
    for (uint32_t n = 0; n < 300; ++n) sender.send(port, frame(n));
    ASSERT_TRUE(receiver->sendSignal(SIGINT));
    ASSERT_TRUE(receiver->sendSignal(SIGCONT));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(framesIn(readFile(file)).size(), 300u);
}

// With standard output closed, neither the socket nor the output may take descriptor 1: nothing
// goes back to the sender, and the rows still reach the file.
TEST_F(Recording, ClosedStandardOutputNeverReachesTheSender) {
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    sockaddr_in receiverAddress = local;
    receiverAddress.sin_port = htons(port);
    for (const std::string& output : {(dir / "closed.csv").string(), std::string("-")}) {
        SCOPED_TRACE(output);
        auto arguments = oneRowPerFrame;
        arguments.insert(arguments.end(), {"-a", "127.0.0.1", output});
        const auto receiver = start(arguments, StandardOutput::Closed);
        for (uint32_t n = 0; n < 20; ++n) {
            const std::string bytes = frame(n);
            sendto(sender, bytes.data(), bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&receiverAddress), sizeof receiverAddress);
        }
        std::this_thread::sleep_for(300ms);
        receiver->sendSignal(SIGINT);
        ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
        char byte;
        EXPECT_LT(recv(sender, &byte, 1, MSG_DONTWAIT), 0) << "the receiver sent something back";
        if (output != "-") {
            EXPECT_EQ(framesIn(readFile(output)).size(), 20u);
        }
    }
    close(sender);
}

// The status line's reader goes away: the line stops, the recording goes on and ends with 0.
TEST_F(Recording, SlowStatusLineToAClosedPipeDoesNotStopTheRecording) {
    const fs::path file = dir / "status.csv";
    auto arguments = oneRowPerFrame;
    arguments.push_back(file.string());
    const auto receiver = start(arguments, StandardOutput::Pipe);
    receiver->closeOutputPipe();
    testing_support::UdpSender sender;
    for (uint32_t n = 0; n < 140; ++n) {  // 7 s: past the first status line at 5 s
        sender.send(port, frame(n));
        std::this_thread::sleep_for(50ms);
    }
    receiver->sendSignal(SIGINT);
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_EQ(framesIn(readFile(file)).size(), 140u);
    EXPECT_NE(receiver->err().find("Status line stopped"), std::string::npos) << receiver->err();
}

// The output file is removed mid-run: a warning, the file created again, header first, and the
// later rows in it.
TEST_F(Recording, SlowRemovedOutputIsCreatedAgain) {
    const fs::path file = dir / "removed.csv";
    auto arguments = oneRowPerFrame;
    arguments.push_back(file.string());
    const auto receiver = start(arguments);
    testing_support::UdpSender sender;
    sender.send(port, frame(0));
    std::this_thread::sleep_for(1500ms);
    fs::remove(file);
    for (uint32_t n = 1; n < 80; ++n) {  // 8 s: past the check at 5 s
        sender.send(port, frame(n));
        std::this_thread::sleep_for(100ms);
    }
    receiver->sendSignal(SIGINT);
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
    EXPECT_NE(receiver->err().find("was removed or replaced"), std::string::npos)
        << receiver->err();
    const std::string csv = readFile(file);
    EXPECT_EQ(csv.rfind("sender_id,", 0), 0u) << "the new file starts with a header";
    EXPECT_TRUE(framesIn(csv).count(79));
}

// A capture of `count` frames, each in one record.
void writeCapture(const fs::path& path, uint32_t count, unsigned short port) {
    compact::PcapWriter writer(path.string());
    for (uint32_t n = 0; n < count; ++n) {
        const std::string bytes = frame(n);
        compact::UdpDatagram datagram;
        datagram.sourceAddress = 0x7F000001;
        datagram.destinationAddress = 0x7F000001;
        datagram.sourcePort = 50000;
        datagram.destinationPort = port;
        datagram.payload = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
        datagram.captureTimeNs = 1'000'000'000ull * (n + 1);
        writer.write(datagram);
    }
    writer.close();
}

TEST_F(Recording, CaptureThatIsTheOutputIsRefusedAndKept) {
    const fs::path capture = dir / "scan.pcap";
    writeCapture(capture, 5, 2115);
    const std::string before = readFile(capture);
    const auto run =
        testing_support::runProgram(COMPACT_CSV_EXE, {"-r", capture.string(), capture.string()});
    EXPECT_EQ(run.status, exitedWith1);
    EXPECT_NE(run.err.find("is the capture being read"), std::string::npos) << run.err;
    EXPECT_TRUE(readFile(capture) == before);
}

// A record libpcap refuses in the middle of the file: the frames before it are written, then
// libpcap's message and status 1. A capture merely cut off at its end still ends with status 0.
TEST_F(Recording, CaptureBrokenInTheMiddleEndsWithStatus1) {
    const fs::path capture = dir / "broken.pcap";
    writeCapture(capture, 8, 2115);
    std::string bytes = readFile(capture);
    // Classic pcap: a 24-byte file header, then per record 16 header bytes (caplen at offset 8)
    // and the data. Record 4 gets an impossible captured length.
    size_t at = 24;
    for (int record = 0; record < 4; ++record) {
        uint32_t caplen;
        std::memcpy(&caplen, bytes.data() + at + 8, 4);
        at += 16 + caplen;
    }
    const fs::path cut = dir / "cut.pcap";
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, at + 20);
    const uint32_t invalid = 0xFFFFFFFF;
    std::memcpy(bytes.data() + at + 8, &invalid, 4);
    std::ofstream(capture, std::ios::binary) << bytes;

    const fs::path csv = dir / "broken.csv";
    auto broken = testing_support::runProgram(
        COMPACT_CSV_EXE, {"-r", capture.string(), "--line", "0", csv.string()});
    EXPECT_EQ(broken.status, exitedWith1) << broken.err;
    EXPECT_EQ(framesIn(readFile(csv)), (std::set<uint64_t>{0, 1, 2, 3}));
    EXPECT_NE(broken.err.find(capture.string() + ": "), std::string::npos) << broken.err;

    const auto cutShort =
        testing_support::runProgram(COMPACT_CSV_EXE, {"-r", cut.string(), csv.string()});
    EXPECT_EQ(cutShort.status, exitedWith0) << cutShort.err;
}

}  // namespace
