#include "store/CacheFileIO.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class CacheFileIOWalksTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        SystemClock::TEST_Freeze(1700000000);
        loc = TestLocation::Make(dir, GetParam());
        io = loc.NewIO();
    }
    void TearDown() override {
        LoopbackFS::TEST_Reset();
        SystemClock::TEST_Reset();
    }

    // The path a walk reports for a file: remote walks answer in the data
    // server's own form, without the mount-path prefix.
    std::string Reported(const std::string& relative) const {
        return GetParam() ? CCacheFileIO::ConvertPath(loc.Path(relative)) : loc.Path(relative);
    }
    void MakeEmptyFolders(const std::string& under, int count) {
        for (int i = 0; i < count; ++i) MakeFolders(loc.Local(under + "/e" + std::to_string(100 + i)));
    }
    int CountFolders(const std::string& relative) {
        int n = 0;
        for (int i = 0; i < 100; ++i) n += Exists(loc.Local(relative + "/e" + std::to_string(100 + i))) ? 1 : 0;
        return n;
    }

    TempDir dir;
    TestLocation loc;
    CCacheFileIOPtr io;
};

INSTANTIATE_TEST_SUITE_P(Both, CacheFileIOWalksTest, testing::Bool(), LocationName);

TEST_P(CacheFileIOWalksTest, FolderSizeAddsTheBytesOfEveryFileBelow) {
    MakeFolders(loc.Local("DATA/C1/afile_812_1_2"));
    MakeFolders(loc.Local("DATA/0A/empty"));
    unsigned long long size = 99;
    ASSERT_FALSE(io->FolderSize(loc.Path("DATA"), size).IsError());
    EXPECT_EQ(0u, size);  // folders add nothing

    WriteWholeFile(loc.Local("DATA/top.bin"), std::string(10, 't'));
    WriteWholeFile(loc.Local("DATA/C1/afile_812_1_2/812_1_2.cache"), std::string(70000, 'c'));
    ASSERT_FALSE(io->FolderSize(loc.Path("DATA"), size).IsError());
    EXPECT_EQ(70010u, size);
}

TEST_P(CacheFileIOWalksTest, GetMatchingFilesListsNamesAtEveryDepthAndAppends) {
    WriteWholeFile(loc.Local("a.db"), "1");
    MakeFolders(loc.Local("C1/afile_1_1_1"));
    WriteWholeFile(loc.Local("C1/afile_1_1_1/afile_cache.db"), "2");
    WriteWholeFile(loc.Local("C1/afile_1_1_1/notes.txt"), "3");
    MakeFolders(loc.Local("x.db"));  // a folder is never listed

    std::list<std::string> files = {"earlier"};
    ASSERT_FALSE(io->GetMatchingFiles(loc.root, "*.db", files).IsError());
    std::vector<std::string> got(files.begin(), files.end());
    std::sort(got.begin(), got.end());
    std::vector<std::string> expected = {Reported("C1/afile_1_1_1/afile_cache.db"), Reported("a.db"), "earlier"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, got);

    files.clear();
    ASSERT_FALSE(io->GetMatchingFiles(loc.root, "", files).IsError());
    EXPECT_EQ(3u, files.size());
}

TEST_P(CacheFileIOWalksTest, BudgetZeroRemovesTenEmptyFoldersThenStops) {
    MakeEmptyFolders("DATA", 15);
    WriteWholeFile(loc.Local("DATA/file.bin"), "keep");
    MakeFolders(loc.Local("DATA/full/inner"));
    WriteWholeFile(loc.Local("DATA/full/inner/812_1_2.cache"), "keep");

    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 0).IsError());
    EXPECT_EQ(5, CountFolders("DATA"));
    EXPECT_TRUE(Exists(loc.Local("DATA/file.bin")));
    EXPECT_TRUE(Exists(loc.Local("DATA/full/inner/812_1_2.cache")));

    // With time left, everything empty goes; files, folders holding them and
    // the root stay.
    MakeFolders(loc.Local("DATA/a/b/c"));
    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 60000).IsError());
    EXPECT_EQ(0, CountFolders("DATA"));
    EXPECT_FALSE(Exists(loc.Local("DATA/a")));  // contents are visited before their folder
    EXPECT_TRUE(Exists(loc.Local("DATA/full/inner/812_1_2.cache")));
    EXPECT_TRUE(Exists(loc.Local("DATA")));
}

TEST_P(CacheFileIOWalksTest, FewerThanTenRemovalsNeverStopForTheBudget) {
    MakeEmptyFolders("DATA", 9);
    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 0).IsError());
    EXPECT_EQ(0, CountFolders("DATA"));
    EXPECT_TRUE(Exists(loc.Local("DATA")));
}

TEST_P(CacheFileIOWalksTest, ATreeWithoutEmptyFoldersIsLeftAlone) {
    MakeFolders(loc.Local("DATA/C1/afile_812_1_2"));
    WriteWholeFile(loc.Local("DATA/C1/afile_812_1_2/812_1_2.cache"), "x");
    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 0).IsError());
    EXPECT_TRUE(Exists(loc.Local("DATA/C1/afile_812_1_2/812_1_2.cache")));
}

TEST_P(CacheFileIOWalksTest, AWalkOfAMissingFolder) {
    unsigned long long size = 5;
    CZoError err = io->FolderSize(loc.Path("absent"), size);
    // The local tree iteration ends as success; the data server reports the folder missing.
    EXPECT_EQ(GetParam(), err.IsError());
    if (!GetParam()) {
        EXPECT_EQ(0u, size);
    }
}

// ---- remote budgets, with the clock moved by the data server's walk

class CacheFileIOWalksRemote : public testing::Test {
protected:
    void SetUp() override {
        SystemClock::TEST_Freeze(1700000000);
        loc = TestLocation::Make(dir, true);
        io = loc.NewIO();
    }
    void TearDown() override {
        LoopbackFS::TEST_Reset();
        SystemClock::TEST_Reset();
    }
    void AdvancePerEntry(int seconds) {
        LoopbackFS::TEST_SetWalkHook(TestLocation::kHost,
                                     [seconds](const std::string&, const std::string&) {
                                         SystemClock::TEST_AdvanceSeconds(seconds);
                                     });
    }
    int CountFolders(int upTo) {
        int n = 0;
        for (int i = 0; i < upTo; ++i) n += Exists(loc.Local("DATA/e" + std::to_string(100 + i))) ? 1 : 0;
        return n;
    }
    void MakeEmptyFolders(int count) {
        for (int i = 0; i < count; ++i) MakeFolders(loc.Local("DATA/e" + std::to_string(100 + i)));
    }

    TempDir dir;
    TestLocation loc;
    CCacheFileIOPtr io;
};

TEST_F(CacheFileIOWalksRemote, SizeWalkStillRunningAfterTwoMinutesFailsWith78) {
    MakeFolders(loc.Local("DATA"));
    for (const char* name : {"f1", "f2", "f3"}) WriteWholeFile(loc.Local(std::string("DATA/") + name), "abc");
    AdvancePerEntry(61);
    unsigned long long size = 12345;
    CZoError err = io->FolderSize(loc.Path("DATA"), size);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kSpaceWalkBudgetSpent)) << err.AsString();
    EXPECT_EQ(12345u, size);

    AdvancePerEntry(39);
    ASSERT_FALSE(io->FolderSize(loc.Path("DATA"), size).IsError());
    EXPECT_EQ(9u, size);
}

TEST_F(CacheFileIOWalksRemote, DeletionReadsTheClockOnlyAfterEveryTenthRemoval) {
    MakeEmptyFolders(25);
    AdvancePerEntry(1);
    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 5000).IsError());
    EXPECT_EQ(15, CountFolders(25));  // 10 went, then the spent budget was seen

    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 100000).IsError());
    EXPECT_EQ(0, CountFolders(25));

    MakeEmptyFolders(9);
    AdvancePerEntry(1000);
    ASSERT_FALSE(io->DeleteEmptyFolders(loc.Path("DATA"), 1).IsError());
    EXPECT_EQ(0, CountFolders(9));
}

TEST_F(CacheFileIOWalksRemote, ADisconnectMidWalkEndsItWithAnError) {
    MakeEmptyFolders(3);
    LoopbackFS::TEST_SetWalkHook(TestLocation::kHost, [](const std::string&, const std::string&) {
        LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    });
    EXPECT_TRUE(io->DeleteEmptyFolders(loc.Path("DATA"), 60000).IsError());
    EXPECT_EQ(3, CountFolders(3));
}

}  // namespace
