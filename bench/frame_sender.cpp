// Sends the simulator's frames at a steady rate without tracing them while sending: one second of
// frames (the simulator's default scan) is made before the clock starts and sent over and over,
// each with the next telegram counter, so that the sending rate is limited by the kernel's copy
// rather than by the scene. For rate_bench.sh, to find a receiver's limit above what the simulator
// can trace on a shared machine.
//
// Usage: frame_sender --port PORT --rate FPS --duration SECONDS
// Sends to 127.0.0.1:PORT. At the end prints the simulator's summary line ("N frames, ...").
// Falls back on its schedule like the simulator: after a stall of more than 50 ms the schedule
// moves instead of catching up in a burst.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "format/compact_wire.h"
#include "generators/synthetic_scan.h"

namespace {

using Clock = std::chrono::steady_clock;

bool option(int argc, char** argv, const char* name, double& value) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            char* end = nullptr;
            value = std::strtod(argv[i + 1], &end);
            return end != argv[i + 1] && *end == '\0';
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    double port = 0, rate = 0, duration = 0;
    if (!option(argc, argv, "--port", port) || !option(argc, argv, "--rate", rate) ||
        !option(argc, argv, "--duration", duration) || port < 1 || port > 65535 || rate <= 0 ||
        duration <= 0) {
        std::fprintf(stderr, "usage: %s --port PORT --rate FPS --duration SECONDS\n", argv[0]);
        return 2;
    }

    compact::SyntheticScan scan{compact::ScanSettings{}};
    std::vector<std::string> frames;
    for (int i = 0; i < 240; ++i) frames.push_back(scan.nextSlot().front().bytes);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1) {
        std::perror("socket");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const auto maxLag = std::chrono::milliseconds(50);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(duration));
    auto slot = start;
    uint64_t sent = 0, bytes = 0, failed = 0;
    while (slot < end) {
        // Sleep while the next slot is far, spin while it is near: sleeps overshoot.
        for (auto now = Clock::now(); now < slot; now = Clock::now()) {
            if (slot - now > std::chrono::microseconds(200)) {
                std::this_thread::sleep_for(slot - now - std::chrono::microseconds(100));
            }
        }
        std::string& frame = frames[sent % frames.size()];
        const uint64_t counter = sent + 1;
        std::memcpy(frame.data() + compact::wire::telegramCounterOffset, &counter, sizeof counter);
        if (sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) == static_cast<ssize_t>(frame.size())) {
            ++sent;
            bytes += frame.size();
        } else {
            ++failed;
        }
        slot += period;
        const auto now = Clock::now();
        if (now - slot > maxLag) slot = now;
    }
    close(fd);
    std::printf(
        "%llu frames, 0 malformed, %llu datagrams, %llu bytes sent; 0 telegram counters "
        "skipped\n",
        static_cast<unsigned long long>(sent), static_cast<unsigned long long>(sent),
        static_cast<unsigned long long>(bytes));
    if (failed != 0) {
        std::printf("%llu datagrams failed to send\n", static_cast<unsigned long long>(failed));
    }
    return failed == 0 ? 0 : 1;
}
