// The record of confirmed files: what survives a cut write, what a damaged
// or foreign record costs (files sent again, never files skipped).
#include "upload/record.h"
#include "upload/state.h"
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

// The state as a run leaves it: what a later run loads.
struct loaded_t {
    state_t s;
    loaded_t(const std::string &folder, const std::string &target) { state_load(s, folder, target, false); }
};

TEST(Journal, CutAnywhereLoadsOnlyWholeEntries)
{
    ScratchDir dir;
    const std::string target = sample().target;
    {
        state_t s;
        state_load(s, dir.path(), target, false);
        state_listed(s, "a.bin", {10, 1700000000});
        state_confirmed(s, "a.bin", {10, 1700000000});
        state_listed(s, "logs/with blank.txt", {20, 1700000001});
        state_confirmed(s, "logs/with blank.txt", {20, 1700000001});
        state_listed(s, "big.bin", {123456789, 1700000002});
        EXPECT_EQ(state_close(s), "");
    }
    const std::string whole = dir.read("journal");
    ASSERT_FALSE(whole.empty()) << "a few confirmations rewrote the record instead of the journal";
    // A power cut may end the journal at any byte, or fill its tail with
    // zeros (blocks allocated, data not yet written).
    for (size_t cut = 0; cut <= whole.size(); cut++) {
        for (std::string tail : {std::string(), std::string(7, '\0')}) {
            dir.write("journal", whole.substr(0, cut) + tail);
            auto only_written = [cut](const state_t &s) {
                for (const auto &[path, entry] : s.record.files) {
                    bool written = (path == "a.bin" && entry.size == 10 && entry.mtime == 1700000000) ||
                                   (path == "logs/with blank.txt" && entry.size == 20 && entry.mtime == 1700000001) ||
                                   (path == "after.bin" && entry.size == 5 && entry.mtime == 5);
                    EXPECT_TRUE(written) << "cut at " << cut << ": " << path << " " << entry.size;
                }
            };
            loaded_t loaded(dir.path(), target);
            only_written(loaded.s);
            // Appending after a cut must neither glue a new line to the torn
            // one nor make the torn one whole.
            state_confirmed(loaded.s, "after.bin", {5, 5});
            state_close(loaded.s);
            loaded_t again(dir.path(), target);
            only_written(again.s);
            EXPECT_TRUE(record_has(again.s.record, "after.bin", 5, 5)) << "cut at " << cut;
        }
    }
    dir.write("journal", whole);
    loaded_t back(dir.path(), target);
    EXPECT_TRUE(record_has(back.s.record, "logs/with blank.txt", 20, 1700000001));
    EXPECT_EQ(back.s.unfinished.files.count("big.bin"), 1u) << "a temporary file on the server would be forgotten";
}

TEST(Journal, NewFilesOnALargeRecordWriteLinesNotTheRecord)
{
    ScratchDir dir;
    record_t big = sample();
    for (int i = 0; i < 60000; i++)
        big.files["samples/day-" + std::to_string(i) + ".csv"] = {uint64_t(i), 1700000000};
    ASSERT_EQ(record_save(dir.path() + "/uploaded", big), 1);
    struct stat before;
    ASSERT_EQ(stat((dir.path() + "/uploaded").c_str(), &before), 0);
    loaded_t loaded(dir.path(), big.target);
    state_t &s = loaded.s;
    for (int i = 0; i < 100; i++) {
        std::string name = "new/" + std::to_string(i) + ".csv";
        state_listed(s, name, {1, 2});
        state_confirmed(s, name, {1, 2});
    }
    EXPECT_EQ(state_close(s), "");
    struct stat after;
    ASSERT_EQ(stat((dir.path() + "/uploaded").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "100 new files rewrote a record of 60000";
    EXPECT_LT(dir.read("journal").size(), 100u * 200) << "more than 200 bytes a confirmed file";
    loaded_t back(dir.path(), big.target);
    EXPECT_EQ(back.s.record.files.size(), 60103u);
    EXPECT_TRUE(back.s.unfinished.files.empty());
}

TEST(Journal, OutgrownJournalIsFoldedIntoTheRecord)
{
    ScratchDir dir;
    const std::string target = sample().target;
    loaded_t loaded(dir.path(), target);
    for (int i = 0; i < 5000; i++)
        state_confirmed(loaded.s, "f/" + std::to_string(i) + ".bin", {uint64_t(i), 1});
    EXPECT_EQ(state_close(loaded.s), "");
    EXPECT_EQ(access((dir.path() + "/journal").c_str(), F_OK), -1) << "the journal would grow for ever";
    EXPECT_EQ(loaded_t(dir.path(), target).s.record.files.size(), 5000u);
}

} // namespace
