// Tests of the output file sink: writes that a signal interrupts or the kernel cuts short are
// completed, and a failing write reports the system's reason.
#include "csv/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "csv/compact_csv.h"
#include "format/frame_view.h"
#include "generators/compact_frame_builder.h"

namespace {

extern "C" void ignoreSignal(int) {}

// A pipe whose reader drains slowly while the writer's thread is hit by a signal over and over:
// write(2) returns EINTR or a short count many times, and every byte must still arrive in order.
TEST(FileSink, CompletesInterruptedAndShortWrites) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);  // the smallest pipe: writes block and return short
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // without SA_RESTART, as the receiver installs its own
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    std::string text;
    for (int i = 0; text.size() < (1 << 20); ++i) text += std::to_string(i) + ",row\n";
    std::atomic<bool> done{false};
    bool written = false;
    compact::FileSink sink(fds[1], true);
    std::thread writer([&] {
        written = sink.write(text, true) && sink.close();
        done = true;
    });
    std::string received;
    char chunk[1024];
    int signals = 0;
    while (true) {
        if (!done) pthread_kill(writer.native_handle(), SIGUSR1), ++signals;
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n <= 0) break;
        received.append(chunk, static_cast<size_t>(n));
    }
    writer.join();
    close(fds[0]);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(written) << sink.errorText();
    EXPECT_GT(signals, 100);
    EXPECT_EQ(received.size(), text.size());
    EXPECT_TRUE(received == text);
}

TEST(FileSink, ReportsTheSystemsReason) {
    auto full = compact::FileSink::open("/dev/full");
    ASSERT_TRUE(full);
    EXPECT_FALSE(full->write("1,2,3\n", true));
    EXPECT_EQ(full->errorText(), std::strerror(ENOSPC));
    EXPECT_FALSE(full->write("4\n", true)) << "a failed sink stays failed";
    EXPECT_EQ(compact::FileSink::open("/nonexistent-folder/out.csv"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// After a failed write the writer counts only the rows the sink kept (as a full disk keeps those
// before it), not those it had buffered.
TEST(CompactCsvOutput, CountsOnlyTheRowsTheSinkKept) {
    struct FailingSecondWrite : compact::CsvSink {
        std::string kept;
        int writes = 0;
        bool write(std::string_view text, bool) override {
            if (++writes > 1) return false;
            kept += text;
            return true;
        }
        std::string errorText() const override { return "no room"; }
    } sink;
    CompactCSV writer({}, sink);
    compact::FrameSpec layout;
    layout.modules.push_back(compact::makeModule(16, 240, 3));  // rows of about 8 KB
    const std::string bytes = compact::encodeFrame(layout);
    compact::FrameView frame;
    ASSERT_TRUE(frame.parse(bytes.data(), bytes.size()));
    for (int i = 0; i < 3; ++i) writer.process(frame);
    EXPECT_FALSE(writer.finish());
    EXPECT_EQ(writer.errorText(), "no room");
    const auto keptRows = std::count(sink.kept.begin(), sink.kept.end(), '\n') - 1;  // header
    EXPECT_GT(keptRows, 0);
    EXPECT_EQ(writer.rowsWritten(), static_cast<uint64_t>(keptRows));
    EXPECT_EQ(writer.rowsSelected(), 48u);
}

}  // namespace
