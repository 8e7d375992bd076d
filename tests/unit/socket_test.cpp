// Tests of the UDP receiver socket over loopback: delivery, the sender filter, time-out, port
// sharing, set-up failures and the receive buffer.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "socket_cross_platform.h"

namespace {

// A plain UDP socket without reuse options, bound to `address` on a port the system picks.
class RawSocket {
  public:
    explicit RawSocket(const char* address = "0.0.0.0") : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{AF_INET, 0, {}, {}};
        ::inet_pton(AF_INET, address, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            const std::string error = std::strerror(errno);
            ::close(fd);
            throw std::runtime_error("test socket: " + error);
        }
        socklen_t size = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
        port = ntohs(local.sin_port);
    }
    ~RawSocket() { ::close(fd); }
    // Sends one datagram to 127.0.0.1:`to`.
    void send(unsigned short to, const std::string& payload) const {
        sockaddr_in peer{AF_INET, htons(to), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(::sendto(fd, payload.data(), payload.size(), 0,
                           reinterpret_cast<sockaddr*>(&peer), sizeof peer),
                  static_cast<ssize_t>(payload.size()));
    }
    int fd;
    unsigned short port = 0;
};

unsigned short freePort() { return RawSocket().port; }

// One datagram as text, "<-1>" for a time-out or error.
std::string receiveText(Socket& socket) {
    std::string buffer(65535, '\0');
    const ssize_t size = socket.receive(buffer.data(), buffer.size());
    return size < 0 ? "<-1>" : buffer.substr(0, static_cast<size_t>(size));
}

TEST(Socket, ConnectedSocketReceivesOnlyFromItsSenderAndTimesOut) {
    const unsigned short port = freePort();
    Socket socket(port, "127.0.0.1");
    ASSERT_TRUE(socket.setTimeout(1));
    RawSocket stranger("127.0.0.2"), first("127.0.0.1"), second("127.0.0.1");
    stranger.send(port, "stranger");  // sent first: had it been queued, it would come first
    first.send(port, "first");
    second.send(port, "");  // another source port of the same host, and an empty datagram
    EXPECT_EQ(receiveText(socket), "first");
    EXPECT_EQ(receiveText(socket), "");  // 0, not -1
    errno = 0;
    EXPECT_EQ(receiveText(socket), "<-1>");
    EXPECT_EQ(errno, EAGAIN) << "time-out expected: " << std::strerror(errno);
}

class SocketBadAddress : public testing::TestWithParam<const char*> {};

TEST_P(SocketBadAddress, ThrowsAndLeavesNoDescriptorOpen) {
    const unsigned short port = freePort();
    auto openDescriptors = [] {
        auto entries = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(begin(entries), end(entries));
    };
    const auto before = openDescriptors();
    EXPECT_THAT([&] { Socket socket(port, GetParam()); },
                testing::ThrowsMessage<std::runtime_error>(testing::StrEq("Invalid IPv4 address")));
    EXPECT_EQ(openDescriptors(), before);
}
INSTANTIATE_TEST_SUITE_P(Addresses, SocketBadAddress,
                         testing::Values("256.0.0.1", "localhost", " 127.0.0.1", "127.0.0", ""));

TEST(SocketDeathTest, TwoSocketsShareOnePort) {
    const unsigned short port = freePort();
    EXPECT_EXIT(
        {
            Socket first(port);
            Socket second(port);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SocketDeathTest, BindFailureOnHeldPortExitsWithOne) {
    RawSocket holder;  // without reuse options: nobody else may bind its port
    EXPECT_EXIT(Socket socket(holder.port), testing::ExitedWithCode(1),
                testing::HasSubstr(std::string("Failed to bind socket:") +
                                   std::strerror(EADDRINUSE) + "\n"));
}

TEST(Socket, LargeReceiveBufferHoldsBurstOrWarns) {
    // The kernel caps the request at net.core.rmem_max and reports twice the accepted size.
    long rmemMax = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmemMax;
    const long effective = 2 * std::min<long>(Socket::requestedReceiveBufferBytes, rmemMax);
    const unsigned short port = freePort();
    testing::internal::CaptureStderr();
    Socket socket(port);
    const std::string messages = testing::internal::GetCapturedStderr();
    if (effective < Socket::minimumReceiveBufferBytes) {
        EXPECT_EQ(messages, "Receive buffer limited to " + std::to_string(effective / 1024) +
                                " KiB; raise net.core.rmem_max to avoid losing telegrams\n");
        GTEST_SKIP() << "net.core.rmem_max too small for the burst";
    }
    EXPECT_EQ(messages, "");
    // 32 datagrams of 60 KB wait before the first receive; the default buffer holds 3.
    ASSERT_TRUE(socket.setTimeout(1));
    RawSocket sender("127.0.0.1");
    for (int i = 0; i < 32; ++i) sender.send(port, std::to_string(i) + std::string(60000, 'x'));
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(receiveText(socket), std::to_string(i) + std::string(60000, 'x'));
}

}  // namespace
