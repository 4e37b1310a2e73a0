// The record of confirmed files: what survives a cut write, what a damaged
// or foreign record costs (files sent again, never files skipped).
#include "upload/record.h"
#include "../test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

record_t sample()
{
    record_t r;
    r.target = "192.0.2.1//in dev-7";
    r.files["a.bin"] = {10, 1700000000};
    r.files["logs/with blank %41 #?.txt"] = {20, 1700000001};
    r.files[std::string("odd\tname\x7f")] = {0, -5};
    return r;
}

TEST(Record, SavedRecordLoadsBackWithEveryName)
{
    ScratchDir dir;
    std::string path = dir.path() + "/uploaded";
    ASSERT_EQ(record_save(path, sample()), 1);
    record_t back;
    back.target = sample().target;
    EXPECT_EQ(record_load(path, back), 0);
    ASSERT_EQ(back.files.size(), 3u) << "confirmed files would be sent again every day";
    for (const auto &[file, entry] : sample().files)
        EXPECT_TRUE(record_has(back, file, entry.size, entry.mtime)) << file;
}

TEST(Record, CutOffAndDamagedLinesAreSkippedAndTheRestKept)
{
    ScratchDir dir;
    std::string path = dir.path() + "/uploaded";
    ASSERT_EQ(record_save(path, sample()), 1);
    std::string text = dir.read("uploaded");
    dir.write("uploaded", text + "x y z\n12 abc\n99 1700000000 cut-off-nam");
    record_t back;
    back.target = sample().target;
    EXPECT_EQ(record_load(path, back), 3) << "damaged lines must be counted for the log";
    EXPECT_EQ(back.files.size(), 3u);
    EXPECT_FALSE(record_has(back, "cut-off-nam", 99, 1700000000))
        << "a half-written line would mark a file as sent";
}

TEST(Record, RecordOfAnotherServerIsIgnored)
{
    ScratchDir dir;
    std::string path = dir.path() + "/uploaded";
    ASSERT_EQ(record_save(path, sample()), 1);
    record_t other;
    other.target = "198.51.100.7//in dev-7";
    record_load(path, other);
    EXPECT_TRUE(other.files.empty()) << "a new server would never get the files the old one had";
}

TEST(Record, ChangedFileIsNotTakenForTheRecordedOne)
{
    record_t r = sample();
    EXPECT_FALSE(record_has(r, "a.bin", 11, 1700000000)) << "a grown file would not be sent again";
    EXPECT_FALSE(record_has(r, "a.bin", 10, 1700000002)) << "a rewritten file would not be sent again";
    EXPECT_FALSE(record_has(r, "b.bin", 10, 1700000000));
}

TEST(Record, FailedSaveLeavesTheOldRecordWhole)
{
    ScratchDir dir;
    std::string path = dir.path() + "/uploaded";
    ASSERT_EQ(record_save(path, sample()), 1);
    std::string before = dir.read("uploaded");
    // The temporary file cannot be made: a folder is in its way.
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0755), 0);
    record_t bigger = sample();
    bigger.files["new.bin"] = {1, 1};
    EXPECT_EQ(record_save(path, bigger), 0);
    EXPECT_EQ(dir.read("uploaded"), before) << "a failed save damaged the record";
}

TEST(Record, MissingRecordIsEmpty)
{
    record_t r;
    EXPECT_EQ(record_load("/nonexistent/velmora/uploaded", r), 0);
    EXPECT_TRUE(r.files.empty());
}

} // namespace
