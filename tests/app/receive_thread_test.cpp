// Tests of the receiving thread: a receive that keeps failing is counted with its reason and
// retried after a pause, not in a busy loop; the thread runs with the stop signals blocked.
#include "app/receive_thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "io/linux_udp_socket.h"
#include "support/files.h"
#include "support/udp.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace std::chrono_literals;

// The blocked-signal mask of every thread of this process but the calling one.
std::vector<uint64_t> otherThreadsBlocked() {
    std::vector<uint64_t> masks;
    const std::string self = std::to_string(gettid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("SigBlk:"))
                masks.push_back(std::stoull(line.substr(7), nullptr, 16));
    }
    return masks;
}

TEST(ReceiveThread, RetriesAFailingReceiveAfterAPauseWithStopSignalsBlocked) {
    SocketSetup setup =
        Socket::open({.port = testing_support::freeUdpPort(), .receiveBufferBytes = 65536});
    ASSERT_TRUE(setup.socket) << setup.error;
    // The socket's descriptor now names a file: every receive fails with ENOTSOCK.
    const int file = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(file, setup.socket->descriptor()), setup.socket->descriptor());
    close(file);
    DatagramQueue queue(1 << 16);
    {
        ReceiveThread thread(*setup.socket, queue);
        const auto masks = otherThreadsBlocked();
        ASSERT_EQ(masks.size(), 1u);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            EXPECT_TRUE(masks[0] >> (signal - 1) & 1) << "signal " << signal << " not blocked";
        std::this_thread::sleep_for(1s);
        EXPECT_GE(thread.receiveErrors(), 1u);
        // One try per pause of ReceiveThread::errorBackoffMs, with room for a slow machine: a busy
        // loop would have tried millions of times.
        EXPECT_LE(thread.receiveErrors(), 2u * 1000 / ReceiveThread::errorBackoffMs + 2);
        EXPECT_EQ(thread.lastReceiveError(), ENOTSOCK);
    }
}

}  // namespace
