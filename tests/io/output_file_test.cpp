// Tests of the output file's rules when other programs act on its path: a removed file comes back
// with the records written since the previous check, a renamed one keeps its records, a file that
// another program put at the path is never written into, a file emptied by another program starts
// again with its restart text, existing captures are never overwritten, and a process killed in
// the middle of a write leaves whole records only.
#include "io/output_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "io/tail_keeper.h"
#include "support/files.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using State = compact::OutputFile::PathState;
using Existing = compact::OutputFile::Existing;

TEST(OutputFile, KeepsEveryRecordWhateverHappensToItsPath) {
    const testing_support::ScratchDir dir;
    const fs::path path = dir / "out.csv", renamed = dir / "old.csv";
    bool isCapture = false;
    auto file =
        compact::OutputFile::create(path.string(), Existing::TruncateUnlessCapture, isCapture);
    ASSERT_TRUE(file);
    int header = 0;
    file->setRestartText([&] { return "h" + std::to_string(header) + "\n"; });
    uint64_t records = 0;
    auto write = [&](const std::string& record) {
        ++records;
        return file->write(record + "\n", true);
    };
    ASSERT_TRUE(write("a") && write("b"));
    EXPECT_EQ(file->checkPath(records), State::Same);
    header = 1;  // the header the new rows of "c" and later follow
    ASSERT_TRUE(write("c"));
    fs::remove(path);
    EXPECT_EQ(file->checkPath(records), State::Recreated);
    EXPECT_EQ(readFile(path), "h0\nc\n") << "the record since the check is kept, under its header";
    EXPECT_EQ(file->recordsLost(), 2u) << "a and b went with the removed file";

    ASSERT_TRUE(write("d"));
    fs::rename(path, renamed);
    EXPECT_EQ(file->checkPath(records), State::Renamed);
    ASSERT_TRUE(write("e"));
    EXPECT_EQ(readFile(renamed), "h0\nc\nd\n");
    EXPECT_EQ(readFile(path), "h1\ne\n");

    fs::rename(path, dir / "e.csv");
    std::ofstream(path) << "someone else's";
    EXPECT_EQ(file->checkPath(records), State::Replaced);
    ASSERT_TRUE(write("f"));
    EXPECT_EQ(readFile(path), "someone else's");
    EXPECT_EQ(readFile(dir / "e.csv"), "h1\ne\nf\n");

    fs::resize_file(dir / "e.csv", 0);  // logrotate's copytruncate
    ASSERT_TRUE(write("g"));
    EXPECT_EQ(readFile(dir / "e.csv"), "h1\ng\n") << "no hole, header first";
    EXPECT_EQ(file->emptied(), 1u);

    // Removed while another file took the path: nothing left to write to that is ours.
    fs::remove(dir / "e.csv");
    EXPECT_EQ(file->checkPath(records), State::Failed);
    EXPECT_FALSE(write("h"));
    EXPECT_EQ(file->recordsLost(), 2u);
}

// An existing capture is never truncated to take CSV; any other file is.
TEST(OutputFile, RefusesToOverwriteACapture) {
    const testing_support::ScratchDir dir;
    bool isCapture = false;
    for (const std::string magic : {"\x0A\x0D\x0D\x0A", "\xD4\xC3\xB2\xA1", "\x4D\x3C\xB2\xA1"}) {
        std::ofstream(dir / "scan") << magic << "records";
        EXPECT_EQ(compact::OutputFile::create((dir / "scan").string(),
                                              Existing::TruncateUnlessCapture, isCapture),
                  nullptr);
        EXPECT_TRUE(isCapture);
        EXPECT_EQ(readFile(dir / "scan"), magic + "records");
    }
    std::ofstream(dir / "text") << "sender_id,frame_number\n";
    EXPECT_NE(compact::OutputFile::create((dir / "text").string(), Existing::TruncateUnlessCapture,
                                          isCapture),
              nullptr);
    EXPECT_FALSE(isCapture);
    EXPECT_EQ(readFile(dir / "text"), "");
}

// A process killed between two pieces of a record: its keeper cuts that record back, and leaves
// alone what other programs did to its files (appended after its last write, emptied a file,
// appended to a file it had closed).
TEST(OutputFile, AKilledProcessLeavesWholeRecordsOnly) {
    const testing_support::ScratchDir dir;
    const fs::path cut = dir / "cut", appended = dir / "appended", emptied = dir / "emptied",
                   closed = dir / "closed";
    // The keeper outlives the process that started it: this one takes it in, to wait for its end.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        compact::tail_keeper::start();
        bool isCapture = false;
        std::unique_ptr<compact::OutputFile> files[4];
        const fs::path* paths[4] = {&cut, &appended, &emptied, &closed};
        for (int i = 0; i < 4; ++i) {
            files[i] =
                compact::OutputFile::create(paths[i]->string(), Existing::Truncate, isCapture);
            files[i]->write("h\nr1\n", true);
        }
        files[0]->write("r2,", false);
        files[1]->write("r2\n", true);
        std::ofstream(appended, std::ios::app) << "other,";
        fs::resize_file(emptied, 0);
        std::ofstream(emptied, std::ios::app) << "x,";
        files[3]->close();
        std::ofstream(closed, std::ios::app) << "y,";
        kill(getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(testing_support::eventually([] { return waitpid(-1, nullptr, WNOHANG) == -1; },
                                            std::chrono::seconds(10)))
        << "the keeper did not end";
    EXPECT_EQ(readFile(cut), "h\nr1\n");
    EXPECT_EQ(readFile(appended), "h\nr1\nr2\nother,");
    EXPECT_EQ(readFile(emptied), "x,");
    EXPECT_EQ(readFile(closed), "h\nr1\ny,");
}

}  // namespace
