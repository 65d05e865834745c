#include "store/LiveBrowseCacheUtility.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheNamespace.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

namespace {

const char* const kKey = "VirtualServer";
const char* const kLocation = "sLiveBrowseCacheLocation";

class LiveBrowseCacheUtilityTest : public testing::Test {
protected:
    void SetUp() override {
        jobResults = dir.sub("jr");
        XKPlatformInfo::TEST_SetJobResultsDirectory(jobResults);
        XKPlatformInfo::TEST_Delete(kKey, kLocation);
    }
    void TearDown() override {
        log.Uninstall();
        XKPlatformInfo::TEST_Delete(kKey, kLocation);
        XKPlatformInfo::TEST_SetJobResultsDirectory("");
        LoopbackFS::TEST_Reset();
    }

    TempDir dir;
    std::string jobResults;
    ScopedLogCapture log;
};

const char* const kMissingLine = "does not exist. Resorting to job results folder";
const char* const kUsingLine = "specified in the registry key sLiveBrowseCacheLocation";

TEST_F(LiveBrowseCacheUtilityTest, WithoutConfigurationTheCacheIsBelowTheJobResultsFolder) {
    std::string folder;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetCacheFolderLocation(folder).IsError());
    EXPECT_EQ(jobResults + "/LiveBrowseCache", folder);
    EXPECT_EQ(0u, log->Size());

    // The worked example: every folder and file of afile 812, copy 1, Tessarel 2.
    std::string data, db, afileData, flat, stage;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetCacheDataLocation(folder, data).IsError());
    ASSERT_FALSE(LiveBrowseCacheUtility::GetCacheDBLocation(folder, db).IsError());
    ASSERT_FALSE(CacheNamespace::GenerateAfileDataFolderPath(812, 2, 1, data, afileData).IsError());
    ASSERT_FALSE(CacheNamespace::GenerateFlatFilePath(812, 2, 1, data, flat).IsError());
    EXPECT_EQ(jobResults + "/LiveBrowseCache/DATA", data);
    EXPECT_EQ(jobResults + "/LiveBrowseCache/DB", db);
    EXPECT_EQ(jobResults + "/LiveBrowseCache/DATA/C1/afile_812_1_2", afileData);
    EXPECT_EQ(jobResults + "/LiveBrowseCache/DATA/C1/afile_812_1_2/812_1_2.cache", flat);
    ASSERT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation("/mnt/c1/DB/C1/afile_812_1_2", "/mnt/c1/DB", stage)
                     .IsError());
    // Below a folder of the location's own, named by the MD5 text of its root.
    std::string tag;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5("/mnt/c1/DB", tag).IsError());
    EXPECT_EQ(jobResults + "/LiveBrowseCache/Temp/DB/" + tag + "/C1/afile_812_1_2", stage);
    std::string other;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation("/mnt/c2/DB/C1/afile_812_1_2", "/mnt/c2/DB", other)
                     .IsError());
    EXPECT_NE(stage, other) << "two locations of one afile copy never share a staging folder";
}

TEST_F(LiveBrowseCacheUtilityTest, AConfiguredLocationIsUsedOnlyWhenItExists) {
    std::string missing = dir.sub("nowhere");
    XKPlatformInfo::TEST_Set(kKey, kLocation, missing);
    std::string folder;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetCacheFolderLocation(folder).IsError());
    EXPECT_EQ(jobResults + "/LiveBrowseCache", folder);
    EXPECT_EQ(1, log->Count(-1, "Live browse cache location [" + missing + "] " + kMissingLine + " [" + jobResults +
                                    "]"));

    std::string elsewhere = dir.sub("elsewhere");
    MakeFolders(elsewhere);
    XKPlatformInfo::TEST_Set(kKey, kLocation, elsewhere);
    ASSERT_FALSE(LiveBrowseCacheUtility::GetCacheFolderLocation(folder).IsError());
    EXPECT_EQ(elsewhere + "/LiveBrowseCache", folder);
    EXPECT_EQ(1, log->Count(0, "Using live browse cache location [" + elsewhere + "] " + kUsingLine));

    // Staging and the local cache folder stay below the job results folder.
    ASSERT_FALSE(LiveBrowseCacheUtility::GetDefaultCacheStageDBLocation(folder).IsError());
    EXPECT_EQ(jobResults + "/LiveBrowseCache/Temp/DB", folder);
    ASSERT_FALSE(LiveBrowseCacheUtility::GetLocalCacheFolderLocation(folder).IsError());
    EXPECT_EQ(jobResults + "/LiveBrowseCache", folder);
}

TEST_F(LiveBrowseCacheUtilityTest, NoUsableJobResultsFolderFailsInsteadOfARelativePath) {
    XKPlatformInfo::TEST_SetJobResultsDirectory("relative/jr");
    std::string folder = "untouched";
    EXPECT_TRUE(
        FXErrorUtil::IsInt(LiveBrowseCacheUtility::GetCacheFolderLocation(folder), LBCError::kNoJobResultsFolder));
    EXPECT_TRUE(
        FXErrorUtil::IsInt(LiveBrowseCacheUtility::GetLocalCacheFolderLocation(folder), LBCError::kNoJobResultsFolder));
    EXPECT_TRUE(FXErrorUtil::IsInt(LiveBrowseCacheUtility::GetDefaultCacheStageDBLocation(folder),
                                   LBCError::kStageFolderFailed));
    EXPECT_TRUE(FXErrorUtil::IsInt(LiveBrowseCacheUtility::GetAfileStageDBLocation("/m/DB/C1/x", "/m/DB", folder),
                                   LBCError::kStageFolderFailed));
    EXPECT_EQ("untouched", folder);
}

TEST_F(LiveBrowseCacheUtilityTest, AfileStageLocationNeedsTheRootAtTheStartOfTheFolder) {
    std::string folder;
    CZoError err = LiveBrowseCacheUtility::GetAfileStageDBLocation("/other/DB/C1/x", "/mnt/c1/DB", folder);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kStagingPathFailed)) << err.AsString();
}

TEST(LiveBrowseCacheUtility, BytesAsUnits) {
    struct {
        unsigned long long n;
        const char* text;
    } cases[] = {{0, "0 bytes"},          {1023, "1023 bytes"}, {1024, "1 KB"},
                 {1048575, "1023 KB"},    {1048576, "1 MB"},    {1073741823, "1023 MB"},
                 {1073741824, "1 GB"},    {5368709121ULL, "5 GB"}};
    for (const auto& c : cases) EXPECT_EQ(c.text, LiveBrowseCacheUtility::GetBytesAsUnits(c.n)) << c.n;
}

TEST(LiveBrowseCacheUtility, Md5CoversEveryByteOfTheText) {
    std::string md5;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5("", md5).IsError());
    EXPECT_EQ("D41D8CD98F00B204E9800998ECF8427E", md5);
    std::string withZero, plain;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5(std::string("a\0b", 3), withZero).IsError());
    ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5("a", plain).IsError());
    EXPECT_EQ(32u, withZero.size());
    EXPECT_NE(plain, withZero);
}

TEST(LiveBrowseCacheUtility, AsStringIsTheMountPathsPath) {
    MediaManager::MountPathInfo mountPath;
    mountPath.setPath("IP|1|2|srv|3|/vol");
    EXPECT_EQ("IP|1|2|srv|3|/vol", LiveBrowseCacheUtility::AsString(mountPath));
}

// ---- copy and move of matching files

TEST_F(LiveBrowseCacheUtilityTest, CopyLandsMatchingFilesFlatInTheDestination) {
    std::string src = dir.sub("src"), dst = dir.sub("dst");
    MakeFolders(src + "/sub");
    WriteWholeFile(src + "/a.db", "A");
    WriteWholeFile(src + "/b.txt", "B");
    WriteWholeFile(src + "/sub/c.db", "C");

    ASSERT_FALSE(LiveBrowseCacheUtility::CopyFilesFromFolder(src, dst, "*.db", 0, CCacheFileIOPtr(), CCacheFileIOPtr())
                     .IsError());
    EXPECT_EQ("A", ReadWholeFile(dst + "/a.db"));
    EXPECT_EQ("C", ReadWholeFile(dst + "/c.db"));
    EXPECT_FALSE(Exists(dst + "/b.txt"));
    EXPECT_FALSE(Exists(dst + "/sub"));
    EXPECT_TRUE(Exists(src + "/a.db"));
    EXPECT_EQ(1, log->Count(2, "Created desitnation folder [" + dst + "]"));
    EXPECT_EQ(1, log->Count(2, "Copying file [" + src + "/a.db] to [" + dst + "/a.db]"));

    // Into an existing folder nothing is created.
    ASSERT_FALSE(LiveBrowseCacheUtility::CopyFilesFromFolder(src, dst, "*.db", 0, CCacheFileIOPtr(), CCacheFileIOPtr())
                     .IsError());
    EXPECT_EQ(1, log->CountAny("Created desitnation"));
}

TEST_F(LiveBrowseCacheUtilityTest, TheFirstFailureEndsTheCopyAndEarlierFilesStay) {
    std::string src = dir.sub("src"), dst = dir.sub("dst");
    MakeFolders(src);
    WriteWholeFile(src + "/a.db", "A");
    WriteWholeFile(src + "/b.db", "B");
    MakeFolders(dst + "/b.db");  // a folder in the way of the second file
    CZoError err = LiveBrowseCacheUtility::CopyFilesFromFolder(src, dst, "*.db", 0, CCacheFileIOPtr(), CCacheFileIOPtr());
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ("A", ReadWholeFile(dst + "/a.db"));
}

TEST_F(LiveBrowseCacheUtilityTest, CopyToADataServerAndMoveWithinEachKind) {
    TestLocation remote = TestLocation::Make(dir, true, "srv");
    std::string src = dir.sub("src");
    MakeFolders(src);
    WriteWholeFile(src + "/afile_cache.db", "database");

    // Staged copies go up to the data server by streaming.
    ASSERT_FALSE(LiveBrowseCacheUtility::CopyFilesFromFolder(src, remote.Path("DB/C1/afile_812_1_2.upload"), "*.db", 0,
                                                             CCacheFileIOPtr(), remote.NewIO())
                     .IsError());
    EXPECT_EQ("database", ReadWholeFile(remote.Local("DB/C1/afile_812_1_2.upload/afile_cache.db")));

    // Moves stay within one kind of location.
    CZoError refused = LiveBrowseCacheUtility::MoveFilesFromFolder(src, remote.Path("DB"), "*.db", 1,
                                                                   CCacheFileIOPtr(), remote.NewIO());
    EXPECT_TRUE(FXErrorUtil::IsInt(refused, LBCError::kMoveAcrossLocationsRefused));
    EXPECT_TRUE(Exists(src + "/afile_cache.db"));
    ASSERT_FALSE(LiveBrowseCacheUtility::MoveFilesFromFolder(remote.Path("DB/C1/afile_812_1_2.upload"),
                                                             remote.Path("DB/C1/afile_812_1_2"), "*.db", 1,
                                                             remote.NewIO(), remote.NewIO())
                     .IsError());
    EXPECT_EQ("database", ReadWholeFile(remote.Local("DB/C1/afile_812_1_2/afile_cache.db")));
    EXPECT_FALSE(Exists(remote.Local("DB/C1/afile_812_1_2.upload/afile_cache.db")));

    std::string moved = dir.sub("moved");
    ASSERT_FALSE(
        LiveBrowseCacheUtility::MoveFilesFromFolder(src, moved, "*.db", 1, CCacheFileIOPtr(), CCacheFileIOPtr())
            .IsError());
    EXPECT_EQ("database", ReadWholeFile(moved + "/afile_cache.db"));
    EXPECT_FALSE(Exists(src + "/afile_cache.db"));
    EXPECT_EQ(1, log->Count(2, "Moving file [" + src + "/afile_cache.db] to [" + moved + "/afile_cache.db]"));
}

}  // namespace
