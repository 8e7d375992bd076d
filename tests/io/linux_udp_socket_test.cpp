// Tests of the receiving socket over loopback: delivery in batches with the sender, destination and
// kernel receive time of each datagram, the sender filter, port sharing, the receive buffer, and
// set-up failures returned as errors.
#include "io/linux_udp_socket.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "support/udp.h"

// Options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace testing;
using namespace testing_support;

uint64_t nowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

TEST(Socket, SharesPortHoldsBurstReceivesOnlyFromItsSenderWithTimeAndAddresses) {
    const unsigned short port = freeUdpPort();
    SocketSetup setup = Socket::open({.port = port, .source = 0x7F000001});
    ASSERT_TRUE(setup.socket) << setup.error;
    // Unless it warns, the receive buffer holds a burst: 32 datagrams of 60 KB wait before the
    // first receive (the system's default buffer holds 3).
    const int burst = setup.warnings.empty() ? 32 : 1;
    SocketSetup sharer = Socket::open({.port = port, .receiveBufferBytes = 65536});
    EXPECT_TRUE(sharer.socket) << "another receiver may bind the port too: " << sharer.error;
    EXPECT_THAT(sharer.warnings,
                Contains(HasSubstr("Another program already receives on UDP port")));
    UdpSender stranger("127.0.0.2"), first("127.0.0.1"), second("127.0.0.1");
    const uint64_t before = nowNs();
    stranger.send(port, "stranger");  // sent first: had it been queued, it would come first
    for (int i = 0; i < burst; ++i) first.send(port, std::string(60000, char('a' + i)));
    second.send(port, "");  // another source port of the same host, and an empty datagram
    ReceiveBatch batch;
    std::vector<std::string> received;
    while (received.size() < static_cast<size_t>(burst) + 1) {
        const int count = batch.receive(*setup.socket, 1000);
        ASSERT_GT(count, 0) << "after " << received.size() << " datagrams";
        for (int i = 0; i < count; ++i) {
            const ReceiveBatch::Datagram& d = batch[static_cast<size_t>(i)];
            received.emplace_back(d.bytes.begin(), d.bytes.end());
            EXPECT_EQ(d.sourceAddress, 0x7F000001u);
            EXPECT_EQ(d.destinationAddress, 0x7F000001u);
            EXPECT_GE(d.receiveTimeNs, before);
            EXPECT_LE(d.receiveTimeNs, nowNs());
        }
    }
    for (int i = 0; i < burst; ++i)
        EXPECT_EQ(received[static_cast<size_t>(i)], std::string(60000, char('a' + i)));
    EXPECT_EQ(received.back(), "");
    EXPECT_EQ(batch.receive(*setup.socket, 100), 0) << "a time-out, and the stranger never came";
}

TEST(Socket, SetUpFailuresAreReturned) {
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);  // no reuse options: nobody may share
    sockaddr_in local{AF_INET, htons(freeUdpPort()), {htonl(INADDR_ANY)}, {}};
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    const SocketSetup setup =
        Socket::open({.port = ntohs(local.sin_port), .receiveBufferBytes = 65536});
    EXPECT_FALSE(setup.socket);
    EXPECT_EQ(setup.error, std::string("Failed to bind socket:") + std::strerror(EADDRINUSE));
    ::close(holder);
}

}  // namespace
