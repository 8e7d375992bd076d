// Tests of the output file's rules when other programs act on its path: a removed file comes back
// with the records written since the previous check, a renamed one keeps its records, a file that
// another program put at the path is never written into, a file emptied by another program starts
// again with its restart text, and existing captures are never overwritten.
#include "io/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/files.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using State = compact::OutputFile::PathState;

TEST(OutputFile, KeepsEveryRecordWhateverHappensToItsPath) {
    const testing_support::ScratchDir dir;
    const fs::path path = dir / "out.csv", renamed = dir / "old.csv";
    bool isCapture = false;
    auto file = compact::OutputFile::create(path.string(), true, isCapture);
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
        EXPECT_EQ(compact::OutputFile::create((dir / "scan").string(), true, isCapture), nullptr);
        EXPECT_TRUE(isCapture);
        EXPECT_EQ(readFile(dir / "scan"), magic + "records");
    }
    std::ofstream(dir / "text") << "sender_id,frame_number\n";
    EXPECT_NE(compact::OutputFile::create((dir / "text").string(), true, isCapture), nullptr);
    EXPECT_FALSE(isCapture);
    EXPECT_EQ(readFile(dir / "text"), "");
}

}  // namespace
