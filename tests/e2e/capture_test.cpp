// End-to-end tests of capture conversion through the built programs: the simulator's frames give
// the same CSV whether received over loopback or converted from the simulator's capture, and from a
// capture that tcpdump recorded between two network namespaces; filters, lost fragments, files
// that are not captures and Ctrl-C during a conversion.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/udp.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing_support::ChildProcess;
using testing_support::ExitStatus;
using testing_support::ProgramRun;
using testing_support::runProgram;

constexpr ExitStatus exitedWith0{0, 0};
constexpr ExitStatus exitedWith1{1, 0};
// Generous for every wait: a sanitizer build on a loaded machine is slow.
constexpr auto deadline = 60s;

// Frames of 8 lines, 120 beams and 2 echoes (10,864 bytes): 8 IPv4 fragments at an MTU of 1500, and
// quick to decode in a sanitizer build. The rate sets the time stamps inside the frames, so both
// runs of a comparison use the same.
const std::vector<std::string> frameShape{"--lines",  "8", "--beams", "120",
                                          "--echoes", "2", "--rate",  "200"};
constexpr uint64_t rowsPerFrame = 8;  // one per line, without filters
constexpr uint64_t fragmentsPerFrame = 8;

// The system program `name` from the usual directories; empty when it is not installed.
std::string systemProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        const fs::path path = fs::path(dir) / name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The counts of the receiver's summary line after a conversion.
struct Summary {
    uint64_t read = 0, filteredOut = 0, reassembled = 0, dropped = 0, skipped = 0;
    uint64_t parseErrors = 0, lost = 0, rows = 0;
    std::string dropReasons;  // the text in parentheses after the dropped count, if any
};

// The summary line of `text` for `capture`; nullopt when there is none.
std::optional<Summary> findSummary(const std::string& text, const fs::path& capture) {
    const std::regex line(
        "(^|\n)" +
        std::regex_replace(capture.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
        R"(: (\d+) datagrams read, (\d+) filtered out, (\d+) fragments )"
        R"(reassembled, (\d+) incomplete datagrams dropped(?: \(([^)]+)\))?, )"
        R"((\d+) records skipped(?: \([^)]+\))?, (\d+) parse errors, (\d+) lost )"
        R"(telegrams, (\d+) rows written\n)");
    std::smatch m;
    if (!std::regex_search(text, m, line)) return std::nullopt;
    const auto number = [&](int i) { return std::stoull(m[i].str()); };
    return Summary{number(2), number(3), number(4),  number(5), number(7),
                   number(8), number(9), number(10), m[6].str()};
}

class Capture : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("compact_capture_" + std::to_string(getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the simulator with the frame shape and `arguments`; returns its summary line.
    static std::string simulate(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), frameShape.begin(), frameShape.end());
        const ProgramRun run = runProgram(COMPACT_SIM_EXE, arguments, deadline);
        EXPECT_EQ(run.status, exitedWith0) << run.err;
        return run.out;
    }

    static ProgramRun convert(const std::vector<std::string>& arguments) {
        return runProgram(COMPACT_CSV_EXE, arguments, deadline);
    }

    fs::path dir;
};

// The queued bytes and drops of the UDP socket on local `port` in the network namespace of `pid`
// (its /proc/<pid>/net/udp, columns as in /proc/net/udp); nullopt when there is none.
std::optional<testing_support::UdpSocketState> udpSocket(pid_t pid, unsigned short port) {
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, skip;
        uint64_t drops = 0;
        fields >> slot >> local >> remote >> state >> queues;
        for (int i = 0; i < 7; ++i) fields >> skip;  // timer ... pointer
        fields >> drops;
        const auto portAt = local.find(':'), queueAt = queues.find(':');
        if (!fields || portAt == std::string::npos || queueAt == std::string::npos) continue;
        if (std::stoul(local.substr(portAt + 1), nullptr, 16) != port) continue;
        return testing_support::UdpSocketState{std::stoull(queues.substr(queueAt + 1), nullptr, 16),
                                               drops};
    }
    return std::nullopt;
}

// Waits until the UDP socket on `port` in the network namespace of `pid` has no datagram queued.
// The receiver handles a datagram taken from the socket before it looks at its stop flag again.
void waitUntilReceived(pid_t pid, unsigned short port) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const auto socket = udpSocket(pid, port);
        ASSERT_TRUE(socket) << "nothing listens on port " << port;
        ASSERT_EQ(socket->drops, 0u) << "datagrams were lost before the receiver got them";
        if (socket->queuedBytes == 0) return;
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "datagrams left unreceived";
        std::this_thread::sleep_for(5ms);
    }
}

TEST_F(Capture, LoopbackAndSimulatorCaptureGiveTheSameCsv) {
    const std::string port = std::to_string(testing_support::freeUdpPort());
    const fs::path live = dir / "live.csv", converted = dir / "converted.csv";
    const fs::path capture = dir / "scan.pcap";
    // 60 frames and, after every 9th, a malformed datagram (wrong magic, version, truncated).
    const std::vector<std::string> frames{"--port", port, "-n", "60", "--bad-every", "9"};

    ChildProcess receiver(COMPACT_CSV_EXE, {"--port", port, live.string()});
    ASSERT_TRUE(receiver.waitForSignalHandler(SIGINT, deadline)) << receiver.err();
    simulate(frames);
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived(receiver.pid(), std::stoi(port)));
    ASSERT_TRUE(receiver.sendSignal(SIGINT));
    ASSERT_EQ(receiver.wait(deadline), exitedWith0) << receiver.err();

    auto written = frames;
    written.insert(written.end(), {"--pcap-out", capture.string(), "--shuffle-fragments"});
    simulate(written);
    const ProgramRun run = convert({"-r", capture.string(), "--port", port, converted.string()});
    ASSERT_EQ(run.status, exitedWith0) << run.err;
    const auto summary = findSummary(run.out, capture);
    ASSERT_TRUE(summary) << run.out;
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << "no status line in a short run";
    EXPECT_EQ(summary->read, 66u);  // 60 frames, 6 malformed
    EXPECT_EQ(summary->parseErrors, 6u);
    EXPECT_EQ(summary->lost, 0u);
    EXPECT_EQ(summary->dropped, 0u);
    EXPECT_GE(summary->reassembled, 60 * fragmentsPerFrame);
    EXPECT_EQ(summary->rows, 60u * rowsPerFrame);

    const std::string expected = readFile(live);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 60 * rowsPerFrame + 1);
    EXPECT_TRUE(readFile(converted) == expected) << "CSV of the capture differs from the live one";
}

// One capture with lost fragments from 10.1.2.3 to port 2115, converted with different filters
// and to standard output.
TEST_F(Capture, FiltersAndLostFragmentsAreCounted) {
    const fs::path capture = dir / "lossy.pcap";
    const std::string sim =
        simulate({"--pcap-out", capture.string(), "--source", "10.1.2.3", "--host", "10.1.2.4",
                  "-n", "40", "--drop-fragment", "4", "--seed", "3"});
    uint64_t incomplete = 0;
    ASSERT_EQ(std::sscanf(sim.c_str(),
                          "%*u frames, %*u malformed, %*u datagrams, %*u bytes written "
                          "in %*u capture records; %*u telegram counters skipped; "
                          "%" SCNu64 " datagrams lack a fragment",
                          &incomplete),
              1)
        << sim;
    ASSERT_GT(incomplete, 0u);
    const uint64_t whole = 40 - incomplete;

    struct Case {
        std::vector<std::string> arguments;
        uint64_t read, dropped;
    };
    const std::vector<Case> cases{
        {{}, whole, incomplete},
        {{"--address", "10.1.2.3"}, whole, incomplete},
        // Other sources are filtered before reassembly: their fragments are never held.
        {{"--address", "10.1.2.5"}, 0, 0},
        {{"--port", "2116"}, 0, incomplete},
    };
    std::string firstCsv;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const fs::path output = dir / "rows.csv";
        auto arguments = c.arguments;
        arguments.insert(arguments.end(), {"-r", capture.string(), output.string()});
        const ProgramRun run = convert(arguments);
        ASSERT_EQ(run.status, exitedWith0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto summary = findSummary(run.out, capture);
        ASSERT_TRUE(summary) << run.out;
        EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "only the summary line";
        EXPECT_EQ(summary->read, c.read);
        EXPECT_EQ(summary->dropped, c.dropped);
        if (c.dropped != 0) {  // 40 frames span 0.17 s: none is older than the time-out
            EXPECT_EQ(summary->dropReasons, std::to_string(c.dropped) + " end of capture");
        }
        EXPECT_EQ(summary->rows, c.read * rowsPerFrame);
        EXPECT_EQ(summary->parseErrors, 0u);
        // A lost last frame leaves no gap behind it.
        EXPECT_LE(summary->lost, c.read == 0 ? 0 : c.dropped);
        EXPECT_GE(summary->lost + 1, c.read == 0 ? 0 : c.dropped);
        const std::string csv = readFile(output);
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'),
                  c.read == 0 ? 0 : c.read * rowsPerFrame + 1);
        if (firstCsv.empty()) firstCsv = csv;
    }

    // To standard output: the same CSV there, the summary on standard error.
    const ProgramRun run = convert({"-r", capture.string(), "-"});
    ASSERT_EQ(run.status, exitedWith0) << run.err;
    EXPECT_TRUE(run.out == firstCsv);
    const auto summary = findSummary(run.err, capture);
    ASSERT_TRUE(summary) << run.err;
    EXPECT_EQ(summary->rows, whole * rowsPerFrame);
}

TEST_F(Capture, UnreadableFileIsOneLineAndStatusOne) {
    const fs::path text = dir / "notes.txt";
    std::ofstream(text) << "not a capture\n";
    const fs::path output = dir / "rows.csv";
    for (const fs::path& input : {dir / "missing.pcap", text}) {
        SCOPED_TRACE(input);
        const ProgramRun run = convert({"-r", input.string(), output.string()});
        EXPECT_EQ(run.status, exitedWith1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        // libpcap's text: "<path>: No such file or directory", "unknown file format".
        EXPECT_THAT(run.err, input == text ? HasSubstr("unknown file format")
                                           : HasSubstr(input.string() + ": No such file"));
        EXPECT_FALSE(fs::exists(output)) << "the output is created only for a readable capture";
    }
}

// Ctrl-C ends a conversion like the end of the file: status 0, the rows so far complete and
// counted by the summary. (Whether it comes before the end of the file depends on the machine.)
TEST_F(Capture, InterruptEndsConversionCleanly) {
    const fs::path capture = dir / "long.pcap", output = dir / "rows.csv";
    simulate({"--pcap-out", capture.string(), "-n", "2000"});
    ChildProcess converter(COMPACT_CSV_EXE, {"-r", capture.string(), output.string()});
    ASSERT_TRUE(converter.waitForSignalHandler(SIGINT, deadline)) << converter.err();
    converter.sendSignal(SIGINT);
    ASSERT_EQ(converter.wait(deadline), exitedWith0) << converter.err();
    const auto summary = findSummary(converter.out(), capture);
    ASSERT_TRUE(summary) << converter.out();
    EXPECT_EQ(summary->rows, summary->read * rowsPerFrame);
    // A header before the first row; nothing at all when the signal came before the first frame.
    const std::string csv = readFile(output);
    const auto lines = static_cast<uint64_t>(std::count(csv.begin(), csv.end(), '\n'));
    EXPECT_EQ(lines, summary->rows == 0 ? 0 : summary->rows + 1);
    EXPECT_TRUE(csv.empty() || csv.back() == '\n');
}

// Two network namespaces, tx with 10.213.0.1 and rx with 10.213.0.2 on interface rxLink, joined by
// a veth pair with an MTU of 1500 once the test has run its steps. The destructor deletes the
// namespaces, which removes the pair too.
class VethNamespaces {
  public:
    explicit VethNamespaces(std::string ipProgram) : ip(std::move(ipProgram)) {}
    ~VethNamespaces() {
        for (const std::string& ns : {tx, rx}) runProgram(ip, {"netns", "del", ns}, deadline);
    }
    VethNamespaces(const VethNamespaces&) = delete;
    VethNamespaces& operator=(const VethNamespaces&) = delete;

    // Runs ip with `arguments`; "" on success, else what failed.
    std::string run(const std::vector<std::string>& arguments) const {
        const ProgramRun result = runProgram(ip, arguments, deadline);
        if (result.status == exitedWith0) return "";
        return "ip " + testing::PrintToString(arguments) + ": " + result.err;
    }
    // The arguments of ip that run `program` in namespace `ns`. ip execs the program in its own
    // process, so a ChildProcess of it signals and waits for the program itself.
    static std::vector<std::string> in(const std::string& ns, const std::string& program,
                                       std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"netns", "exec", ns, program});
        return arguments;
    }

    const std::string ip, id = std::to_string(getpid());
    const std::string tx = "ccsv_tx_" + id, rx = "ccsv_rx_" + id;
    const std::string txLink = "cctx" + id, rxLink = "ccrx" + id;  // at most 15 characters
};

// A capture written by a program we did not write: tcpdump records the receiving end of a veth
// pair while the simulator sends across it and the receiver runs live; the kernel fragments the
// frames at the MTU of 1500.
TEST_F(Capture, TcpdumpCaptureBetweenNamespacesGivesTheLiveCsv) {
    const std::string ip = systemProgram("ip"), tcpdump = systemProgram("tcpdump");
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces and capture";
    if (ip.empty() || tcpdump.empty()) GTEST_SKIP() << "needs ip (iproute2) and tcpdump";
    // Declared before the programs run in it, so that they are killed before it is removed.
    const VethNamespaces net(ip);
    // Without the capabilities (a container without CAP_SYS_ADMIN) the first step fails.
    if (const std::string error = net.run({"netns", "add", net.tx}); !error.empty())
        GTEST_SKIP() << "cannot create network namespaces: " << error;
    for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
             {"netns", "add", net.rx},
             {"-n", net.tx, "link", "add", net.txLink, "mtu", "1500", "type", "veth", "peer",
              "name", net.rxLink, "mtu", "1500", "netns", net.rx},
             {"-n", net.tx, "addr", "add", "10.213.0.1/24", "dev", net.txLink},
             {"-n", net.rx, "addr", "add", "10.213.0.2/24", "dev", net.rxLink},
             {"-n", net.tx, "link", "set", net.txLink, "up"},
             {"-n", net.rx, "link", "set", net.rxLink, "up"}})
        ASSERT_EQ(net.run(step), "");

    const fs::path live = dir / "live.csv", converted = dir / "converted.csv";
    const fs::path capture = dir / "tcpdump.pcap";
    const std::string port = "2115";
    constexpr uint64_t frames = 40;
    // tcpdump ends by itself after the packets of all frames (-c), each written at once (-U);
    // -Z root keeps its permission to write into `dir`.
    ChildProcess recorder(ip, net.in(net.rx, tcpdump,
                                     {"-i", net.rxLink, "-n", "-U", "-Z", "root", "-c",
                                      std::to_string(frames * fragmentsPerFrame), "-w",
                                      capture.string(), "ip src 10.213.0.1"}));
    const auto recorderEnd = std::chrono::steady_clock::now() + deadline;
    while (recorder.err().find("listening on") == std::string::npos) {
        ASSERT_FALSE(recorder.wait(0ms)) << recorder.err();
        ASSERT_LT(std::chrono::steady_clock::now(), recorderEnd) << recorder.err();
        std::this_thread::sleep_for(10ms);
    }
    ChildProcess receiver(ip, net.in(net.rx, COMPACT_CSV_EXE, {"--port", port, live.string()}));
    ASSERT_TRUE(receiver.waitForSignalHandler(SIGINT, deadline)) << receiver.err();

    auto arguments = net.in(net.tx, COMPACT_SIM_EXE,
                            {"--host", "10.213.0.2", "--port", port, "-n", std::to_string(frames)});
    arguments.insert(arguments.end(), frameShape.begin(), frameShape.end());
    const ProgramRun sim = runProgram(ip, arguments, deadline);
    ASSERT_EQ(sim.status, exitedWith0) << sim.err;
    ASSERT_NO_FATAL_FAILURE(waitUntilReceived(receiver.pid(), std::stoi(port)));
    ASSERT_TRUE(receiver.sendSignal(SIGINT));
    ASSERT_EQ(receiver.wait(deadline), exitedWith0) << receiver.err();
    ASSERT_EQ(recorder.wait(deadline), exitedWith0) << recorder.err();

    const ProgramRun run = convert(
        {"-r", capture.string(), "--port", port, "--address", "10.213.0.1", converted.string()});
    ASSERT_EQ(run.status, exitedWith0) << run.err;
    const auto summary = findSummary(run.out, capture);
    ASSERT_TRUE(summary) << run.out;
    EXPECT_EQ(summary->read, frames);
    EXPECT_EQ(summary->reassembled, frames * fragmentsPerFrame) << "fragmented by the kernel";
    const std::string expected = readFile(live);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), frames * rowsPerFrame + 1);
    EXPECT_TRUE(readFile(converted) == expected) << "the capture's CSV differs from the live one";
}

}  // namespace
