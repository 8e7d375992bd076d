// Tests of the UDP receiver socket over loopback: delivery, the sender filter, time-out, port
// sharing, the receive buffer and set-up failures.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "io/socket_cross_platform.h"
#include "support/udp.h"

namespace {

using namespace testing;
using namespace testing_support;

// One datagram as text, "<-1>" for a time-out or error.
std::string receiveText(Socket& socket) {
    std::string buffer(65535, '\0');
    const ssize_t size = socket.receive(buffer.data(), buffer.size());
    return size < 0 ? "<-1>" : buffer.substr(0, static_cast<size_t>(size));
}

TEST(Socket, SharesPortHoldsBurstReceivesOnlyFromItsSenderAndTimesOut) {
    const unsigned short port = freeUdpPort();
    internal::CaptureStderr();
    Socket socket(port, "127.0.0.1");
    // Unless it warns, the receive buffer holds a burst: 32 datagrams of 60 KB wait before the
    // first receive (the system's default buffer holds 3).
    const int burst = internal::GetCapturedStderr().empty() ? 32 : 1;
    { Socket sharer(port); }  // another receiver may bind the port too (the process exits if not)
    ASSERT_TRUE(socket.setTimeout(1));
    UdpSender stranger("127.0.0.2"), first("127.0.0.1"), second("127.0.0.1");
    stranger.send(port, "stranger");  // sent first: had it been queued, it would come first
    for (int i = 0; i < burst; ++i) first.send(port, std::string(60000, char('a' + i)));
    second.send(port, "");  // another source port of the same host, and an empty datagram
    for (int i = 0; i < burst; ++i)
        ASSERT_EQ(receiveText(socket), std::string(60000, char('a' + i))) << i;
    EXPECT_EQ(receiveText(socket), "");  // 0, not -1
    EXPECT_EQ(receiveText(socket), "<-1>");
    EXPECT_EQ(errno, EAGAIN) << "time-out expected: " << std::strerror(errno);
}

TEST(Socket, BadAddressThrowsAndLeavesNoDescriptorOpen) {
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openDescriptors();
    for (const char* address : {"256.0.0.1", "localhost", " 127.0.0.1", "127.0.0", ""}) {
        EXPECT_THAT([&] { Socket socket(freeUdpPort(), address); },
                    ThrowsMessage<std::runtime_error>(StrEq("Invalid IPv4 address")))
            << address;
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(SocketDeathTest, BindFailureOnHeldPortExitsWithOne) {
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);  // no reuse options: nobody may share
    sockaddr_in local{AF_INET, htons(freeUdpPort()), {htonl(INADDR_ANY)}, {}};
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    EXPECT_EXIT(
        Socket{ntohs(local.sin_port)}, ExitedWithCode(1),
        HasSubstr(std::string("Failed to bind socket:") + std::strerror(EADDRINUSE) + "\n"));
    ::close(holder);
}

}  // namespace
