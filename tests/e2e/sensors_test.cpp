// End-to-end tests of several sensors on one network: a multicast group reaches the receivers that
// joined it, a broadcast every receiver on the port (on a network of the test's own); senders on
// one port get files of their own, live and from a capture, with a cap on the files.
#include <gmock/gmock.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "support/files.h"
#include "support/frames.h"
#include "support/netns.h"
#include "support/runs.h"
#include "support/udp.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// Data rows of a CSV (lines but the header lines).
int64_t rowsOf(const std::string& csv) {
    int64_t rows = 0;
    for (size_t at = 0; at < csv.size(); at = csv.find('\n', at) + 1) {
        if (!csv.compare(at, 10, "sender_id,")) continue;
        ++rows;
        if (csv.find('\n', at) == std::string::npos) break;
    }
    return rows;
}

TEST(Sensors, MulticastReachesTheJoinedAndBroadcastEveryReceiver) {
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
    const ScratchDir dir;
    const std::vector<std::string> common{"--port", "2115", "--line", "0"};
    auto receiver = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), common.begin(), common.end());
        auto child = network->start(COMPACT_CSV_EXE, arguments);
        EXPECT_TRUE(child->waitForSignalHandler(SIGHUP, deadline)) << child->err();
        EXPECT_TRUE(child->waitUntilReceiving(deadline)) << child->err();
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
    for (const auto* child : {joined.get(), other.get()}) {
        ASSERT_TRUE(const_cast<ChildProcess*>(child)->sendSignal(SIGINT));
        ASSERT_EQ(const_cast<ChildProcess*>(child)->wait(deadline), exitedWith0) << child->err();
    }
    EXPECT_EQ(rowsOf(readFile(dir / "joined.csv")), 40) << "every frame, to the group and to all";
    EXPECT_EQ(rowsOf(readFile(dir / "other.csv")), 20) << "the broadcast frames only";
}

// Three senders on one port, interleaved: two on one address told apart by their sender_id, one
// with a gap in its counters. Each gets a file of its own, the rows a single-sender run writes, and
// the account puts the loss with the right one; a capture of the same stream gives the same files.
// Beyond 64 files, senders are counted, not written.
TEST(Sensors, EachSenderGetsAFileOfItsOwnLiveAndFromACapture) {
    const ScratchDir dir;
    const unsigned short port = freeUdpPort();
    const std::vector<std::string> options{"--line", "0", "--short-headers"};
    std::vector<std::string> arguments = options;
    arguments.insert(arguments.end(), {"-w", (dir / "raw.pcapng").string(), "--per-sender",
                                       (dir / "live-{address}-{sender_id}.csv").string()});
    const auto receiver = startReceiver(port, arguments);
    const UdpSender first("127.0.0.1"), second("127.0.0.2");
    struct Sent {
        const UdpSender* from;
        uint32_t senderId;
        std::string file;
        std::vector<std::string> frames;
    } sent[] = {{&first, 1, "127.0.0.1-1", {}},
                {&first, 2, "127.0.0.1-2", {}},
                {&second, 1, "127.0.0.2-1", {}}};
    for (uint64_t n = 1; n <= 30; ++n) {
        for (Sent& s : sent) {
            if (s.senderId == 2 && n == 5) continue;  // the gap: one lost telegram
            s.frames.push_back(numberedFrame(n, 2, 3, 1, s.senderId));
            s.from->send(port, s.frames.back());
        }
    }
    waitUntilReceived(port, deadline);
    ASSERT_TRUE(receiver->sendSignal(SIGINT));
    ASSERT_EQ(receiver->wait(deadline), exitedWith0) << receiver->err();
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
    const auto many = startReceiver(
        port, {"--per-sender", (dir / "many-{sender_id}.csv").string(), "--line", "0"});
    for (uint32_t id = 1; id <= 100; ++id) first.send(port, numberedFrame(1, 1, 1, 1, id));
    waitUntilReceived(port, deadline);
    ASSERT_TRUE(many->sendSignal(SIGINT));
    ASSERT_EQ(many->wait(deadline), exitedWith0) << many->err();
    EXPECT_THAT(many->out(),
                testing::HasSubstr("36 telegrams from 36 senders beyond the 64 files"));
    int64_t files = 0;
    for (const auto& file : fs::directory_iterator(dir.path))
        files += file.path().filename().string().starts_with("many-");
    EXPECT_EQ(files, 64);
}

}  // namespace
