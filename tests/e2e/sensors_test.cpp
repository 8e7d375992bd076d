// End-to-end tests of several sensors on one network: a multicast group reaches the receivers that
// joined it, a broadcast every receiver on the port (on a network of the test's own); senders on
// one port get files of their own, live and from a capture, with a cap on the files; the
// simulator's several senders each count their own telegrams.
#include <gmock/gmock.h>

#include <filesystem>

#include "support/frames.h"
#include "support/netns.h"
#include "support/runs.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

class Sensors : public LiveRun {
  protected:
    // The data rows of a CSV file.
    int64_t rowsOf(const std::string& name) const {
        int64_t rows = 0;
        framesIn(readFile(dir / name), &rows);
        return rows;
    }
};

TEST_F(Sensors, MulticastReachesTheJoinedAndBroadcastEveryReceiver) {
    std::unique_ptr<NetworkNamespace> network;
    try {
        network = std::make_unique<NetworkNamespace>();
        // A subnet with a broadcast address: one end of a pair of virtual interfaces.
        network->configure({"link", "add", "v0", "type", "veth", "peer", "name", "v1"});
        network->configure({"address", "add", "10.9.0.1/24", "broadcast", "+", "dev", "v0"});
        network->configure({"link", "set", "v0", "up"});
        network->configure({"link", "set", "v1", "up"});
    } catch (const std::exception& error) {
        GTEST_SKIP() << "no network of the test's own: " << error.what();
    }
    const std::vector<std::string> common{"--port", "2115", "--line", "0"};
    auto receiver = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), common.begin(), common.end());
        auto child = network->start(COMPACT_CSV_EXE, arguments);
        expectReady(*child);
        return child;
    };
    const auto joined = receiver({"--multicast", "239.1.2.3", (dir / "joined.csv").string()});
    const auto other = receiver({(dir / "other.csv").string()});
    for (const auto& [option, to] :
         {std::pair{"--multicast", "239.1.2.3"}, {"--host", "10.9.0.255"}}) {
        const auto sim = network->start(COMPACT_SIM_EXE,
                                        {"--port", "2115", "-n", "20", "--lines", "2", option, to});
        ASSERT_EQ(sim->wait(deadline), exitedWith0) << sim->err();
    }
    for (ChildProcess* child : {joined.get(), other.get()}) stopRun(*child);
    EXPECT_EQ(rowsOf("joined.csv"), 40) << "every frame, to the group and to all";
    EXPECT_EQ(rowsOf("other.csv"), 20) << "the broadcast frames only";
}

// Three senders on one port, interleaved: two on one address told apart by their sender_id, one
// with a gap in its counters. Each gets a file of its own, the rows a single-sender run writes, and
// the account puts the loss with the right one; a capture of the same stream gives the same files.
// Beyond 64 files, senders are counted, not written.
TEST_F(Sensors, EachSenderGetsAFileOfItsOwnLiveAndFromACapture) {
    const std::vector<std::string> options{"--line", "0", "--short-headers"};
    std::vector<std::string> arguments = options;
    arguments.insert(arguments.end(), {"-w", (dir / "raw.pcapng").string(), "--per-sender",
                                       (dir / "live-{address}-{sender_id}.csv").string()});
    const auto receiver = start(arguments);
    const UdpSender second("127.0.0.2");
    struct Sent {
        const UdpSender* from;
        uint32_t senderId;
        std::string file;
        std::vector<std::string> frames;
    } sent[] = {{&sender, 1, "127.0.0.1-1", {}},
                {&sender, 2, "127.0.0.1-2", {}},
                {&second, 1, "127.0.0.2-1", {}}};
    for (uint64_t n = 1; n <= 30; ++n) {
        for (Sent& s : sent) {
            if (s.senderId == 2 && n == 5) continue;  // the gap: one lost telegram
            s.frames.push_back(numberedFrame(n, 2, 3, 1, s.senderId));
            s.from->send(port, s.frames.back());
        }
    }
    waitUntilReceived(port, deadline);
    stopRun(*receiver);
    const std::string account = receiver->out();
    EXPECT_EQ(figure(account, "rows written to 3 files"), 89) << account;
    // The one loss, in the right sender only.
    EXPECT_THAT(account, testing::HasSubstr("127.0.0.1-1.csv: 30 rows; 127.0.0.1 sender_id 1: 30 "
                                            "telegrams, 0 lost\n"));
    EXPECT_THAT(account, testing::HasSubstr("127.0.0.1-2.csv: 29 rows; 127.0.0.1 sender_id 2: 29 "
                                            "telegrams, 1 lost\n"));
    EXPECT_THAT(account, testing::HasSubstr("127.0.0.2-1.csv: 30 rows; 127.0.0.2 sender_id 1: 30 "
                                            "telegrams, 0 lost\n"));

    arguments = options;
    arguments.insert(arguments.end(),
                     {"--port", std::to_string(port), "-r", (dir / "raw.pcapng").string(),
                      "--per-sender", (dir / "converted-{address}-{sender_id}.csv").string()});
    const ProgramRun converted = runProgram(COMPACT_CSV_EXE, arguments, deadline);
    ASSERT_EQ(converted.status, exitedWith0) << converted.err;
    for (const Sent& s : sent) {
        SCOPED_TRACE(s.file);
        const std::string live = readFile(dir / ("live-" + s.file + ".csv"));
        EXPECT_EQ(live, csvOf({.line = {0, 0}, .shortHeaders = true}, s.frames));
        EXPECT_TRUE(readFile(dir / ("converted-" + s.file + ".csv")) == live);
    }

    // 100 sender_ids: 64 files, and the rest counted.
    const auto many =
        start({"--per-sender", (dir / "many-{sender_id}.csv").string(), "--line", "0"});
    for (uint32_t id = 1; id <= 100; ++id) sender.send(port, numberedFrame(1, 1, 1, 1, id));
    waitUntilReceived(port, deadline);
    stopRun(*many);
    EXPECT_THAT(many->out(),
                testing::HasSubstr("36 telegrams from 36 senders beyond the 64 files"));
    int64_t files = 0;
    for (const auto& file : fs::directory_iterator(dir.path))
        files += file.path().filename().string().starts_with("many-");
    EXPECT_EQ(files, 64);
}

// The simulator's senders, told apart by sender_id or by source address, sent and captured: each
// counts its own telegrams, so that with every second counter skipped each of the three lost one.
TEST_F(Sensors, SimulatedSendersCountTheirOwnTelegrams) {
    for (const std::string vary : {"id", "address"}) {
        SCOPED_TRACE(vary);
        const std::vector<std::string> frames{
            "-n",      "2", "--senders", "3", "--vary", vary,   "--sender-id",  "7",
            "--lines", "2", "--beams",   "3", "--rate", "1000", "--skip-every", "2"};
        const std::string capture = (dir / (vary + ".pcap")).string();
        const auto receiver =
            start({"--per-sender", (dir / (vary + "-{address}-{sender_id}.csv")).string()});
        for (const std::string& to : {"--port=" + std::to_string(port), "--pcap-out=" + capture}) {
            std::vector<std::string> arguments = frames;
            arguments.push_back(to);
            simulate(arguments);
        }
        waitUntilReceived(port, deadline);
        stopRun(*receiver);
        const ProgramRun converted = runProgram(
            COMPACT_CSV_EXE,
            {"-r", capture, "--per-sender", (dir / (vary + "-r-{sender_id}.csv")).string()},
            deadline);
        for (const std::string& account : {receiver->out(), converted.out}) {
            for (uint32_t i = 0; i < 3; ++i) {
                EXPECT_THAT(
                    account,
                    testing::HasSubstr("127.0.0." + std::to_string(vary == "address" ? i + 1 : 1) +
                                       " sender_id " + std::to_string(vary == "id" ? 7 + i : 7) +
                                       ": 2 telegrams, 1 lost"));
            }
        }
    }
}

}  // namespace
