#include "store/CacheNamespace.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "store/CacheLookup.h"
#include "store/LiveBrowseCacheUtility.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

namespace {

// Arguments go (afile, Tessarel, copy); names print afile, copy, Tessarel.
TEST(CacheNamespace, NamesOfAfile812Copy1Tessarel2) {
    std::string path = "/base";
    ASSERT_FALSE(CacheNamespace::GenerateAfileFolderPath(812, 2, 1, path).IsError());
    EXPECT_EQ("/base/C1/afile_812_1_2", path);

    ASSERT_FALSE(CacheNamespace::GenerateAfileDataFolderPath(812, 2, 1, "/srv/jr/LiveBrowseCache/DATA", path).IsError());
    EXPECT_EQ("/srv/jr/LiveBrowseCache/DATA/C1/afile_812_1_2", path);
    ASSERT_FALSE(CacheNamespace::GenerateAfileDBFolderPath(812, 2, 1, "/mnt/c1/DB", path).IsError());
    EXPECT_EQ("/mnt/c1/DB/C1/afile_812_1_2", path);
    ASSERT_FALSE(CacheNamespace::GenerateFlatFilePath(812, 2, 1, "/mnt/c1/DATA", path).IsError());
    EXPECT_EQ("/mnt/c1/DATA/C1/afile_812_1_2/812_1_2.cache", path);

    std::string md5;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5("afile_812_1_2", md5).IsError());
    EXPECT_EQ("C1FE943ADA5C04562110FC3161DEB088", md5);
}

TEST(CacheNamespace, BucketIsAlwaysTwoUpperCaseHexDigitsOfTheNamesMd5) {
    std::regex twoHex("^[0-9A-F]{2}$");
    for (long long afile = 1; afile < 300; afile += 7) {
        std::string path = "/b";
        ASSERT_FALSE(CacheNamespace::GenerateAfileFolderPath(afile, 3, 4, path).IsError());
        std::string name = "afile_" + std::to_string(afile) + "_4_3";
        std::string md5;
        ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5(name, md5).IsError());
        std::string bucket = path.substr(3, 2);
        EXPECT_TRUE(std::regex_match(bucket, twoHex)) << bucket;
        EXPECT_EQ("/b/" + md5.substr(0, 2) + "/" + name, path);
    }
}

TEST(CacheNamespace, HashGuidBasedFolderPath) {
    struct {
        const char* text;
        const char* bucket;
    } cases[] = {{"", ""}, {"a", ""}, {"-a-", ""}, {"ab-cd", "AB"}, {"5f1e0b2c-0000", "5F"}, {"C1FE94", "C1"}};
    for (const auto& c : cases) EXPECT_EQ(c.bucket, CacheNamespace::GetHashGuidBasedFolderPath(c.text)) << c.text;
}

TEST(CacheNamespace, AfileFolderSearchString) {
    EXPECT_EQ("afile_(.*)_(.*)_(.*)", CacheNamespace::GenerateAfileFolderSearchString(0, 0, 0));
    EXPECT_EQ("afile_812_(.*)_2", CacheNamespace::GenerateAfileFolderSearchString(812, 2, 0));
    EXPECT_EQ("afile_812_1_2", CacheNamespace::GenerateAfileFolderSearchString(812, 2, 1));
    std::regex search(CacheNamespace::GenerateAfileFolderSearchString(812, 2, 0));
    EXPECT_TRUE(std::regex_match("afile_812_7_2", search));
    EXPECT_FALSE(std::regex_match("afile_813_7_2", search));
}

TEST(CacheNamespace, GetFileInfo) {
    struct Case {
        const char* path;
        bool ok;
        long long afile;
        unsigned copy, tessarel;
    } cases[] = {
        {"/srv/DB/C1/afile_812_1_2/afile_cache.db", true, 812, 1, 2},
        {"/srv/DB/C1/afile_812_1_2_9", true, 812, 1, 2},
        {"/srv/DB/C1/AFILE_812_1_2", true, 812, 1, 2},
        {"/srv/DB/C1/afile_12x_1_2", true, 12, 1, 2},
        {"/srv/DB/C1/afile_x_1_0", true, 0, 1, 0},
        {"/srv/DB/C1/afile_812_1", false, 0, 0, 0},
        {"/srv/DB/C1/afile_0_0_0", false, 0, 0, 0},
        {"/a/b/c", false, 0, 0, 0},
        {"/x/afiles/afile_812_1_2", false, 0, 0, 0},  // the first afile component decides
        {"", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        long long afile = 99;
        unsigned tessarel = 99, copy = 99;
        CZoError err = CacheNamespace::GetFileInfo(c.path, afile, tessarel, copy);
        EXPECT_EQ(c.ok, !err.IsError()) << c.path;
        if (!c.ok) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kUnexpectedPath)) << c.path;
            EXPECT_NE(std::string::npos, err.AsString().find(std::string("Unexpected path found [") + c.path + "]"));
        }
        EXPECT_EQ(c.afile, afile) << c.path;
        EXPECT_EQ(c.copy, copy) << c.path;
        EXPECT_EQ(c.tessarel, tessarel) << c.path;
    }
}

TEST(CacheNamespace, EveryIdRoundTripsThroughItsName) {
    struct {
        long long afile;
        unsigned tessarel, copy;
    } ids[] = {{-5, 1, 2}, {9223372036854775807LL, 4294967295u, 4294967295u}, {1, 0, 0}};
    for (const auto& id : ids) {
        std::string path = "/DB";
        ASSERT_FALSE(CacheNamespace::GenerateAfileFolderPath(id.afile, id.tessarel, id.copy, path).IsError());
        long long afile = 0;
        unsigned tessarel = 0, copy = 0;
        ASSERT_FALSE(CacheNamespace::GetFileInfo(path + "/afile_cache.db", afile, tessarel, copy).IsError()) << path;
        EXPECT_EQ(id.afile, afile) << path;
        EXPECT_EQ(id.tessarel, tessarel) << path;
        EXPECT_EQ(id.copy, copy) << path;
    }
}

TEST(CacheNamespace, GetCachePathOfAMountPath) {
    MediaManager::MountPathInfo mountPath;
    mountPath.setPath("/mnt/c1");
    std::string data = "unchanged", db = "unchanged";
    ASSERT_FALSE(CacheNamespace::GetCachePath(mountPath, data, db).IsError());
    EXPECT_EQ("/mnt/c1/DATA", data);
    EXPECT_EQ("/mnt/c1/DB", db);
}

// ---- the forms that ask the service for the afile copy's location

class CacheNamespaceLookup : public testing::Test {
protected:
    void TearDown() override { CacheLookup::Remove(); }

    static void InstallFolders(bool found) {
        CacheLookup::Resolver resolver;
        resolver.cacheDataFolder = [found](long long afile, unsigned long copy, std::string& folder) {
            if (!found || afile != 812 || copy != 1) return false;
            folder = "/srv/jr/LiveBrowseCache/DATA";
            return true;
        };
        resolver.cacheDBFolder = [found](long long afile, unsigned long copy, std::string& folder) {
            if (!found || afile != 812 || copy != 1) return false;
            folder = "/srv/jr/LiveBrowseCache/DB";
            return true;
        };
        CacheLookup::Install(resolver);
    }
};

TEST_F(CacheNamespaceLookup, FormsThatResolveTheLocationNameItsFiles) {
    InstallFolders(true);
    std::string path;
    ASSERT_FALSE(CacheNamespace::GenerateAfileDataFolderPath(812, 2, 1, path).IsError());
    EXPECT_EQ("/srv/jr/LiveBrowseCache/DATA/C1/afile_812_1_2", path);
    ASSERT_FALSE(CacheNamespace::GenerateAfileDBFolderPath(812, 2, 1, path).IsError());
    EXPECT_EQ("/srv/jr/LiveBrowseCache/DB/C1/afile_812_1_2", path);

    const std::string flat = "/srv/jr/LiveBrowseCache/DATA/C1/afile_812_1_2/812_1_2.cache";
    ASSERT_FALSE(CacheNamespace::GenerateFlatFilePath(812, 4096, 77, 2, 1, "guid-a", path).IsError());
    EXPECT_EQ(flat, path);
    ASSERT_FALSE(CacheNamespace::GenerateFlatFilePath(812, 0, 5, 2, 1, "", path).IsError());
    EXPECT_EQ(flat, path);
    ASSERT_FALSE(CacheNamespace::GenerateFlatFilePath(std::string("vm-guid"), 77, 812, 2, 1, "guid-b", path).IsError());
    EXPECT_EQ(flat, path);

    ASSERT_FALSE(CacheNamespace::GenerateExtentFilePath(812, 0, 77, 2, 1, path).IsError());
    EXPECT_EQ("/srv/jr/LiveBrowseCache/DATA/C1/afile_812_1_2/77/812_0.extent", path);
}

TEST_F(CacheNamespaceLookup, NoCacheOrDatabaseFoundFailsWithCode81) {
    for (bool installed : {false, true}) {
        if (installed) InstallFolders(false);
        std::string path;
        CZoError errors[] = {
            CacheNamespace::GenerateAfileDataFolderPath(812, 2, 1, path),
            CacheNamespace::GenerateAfileDBFolderPath(812, 2, 1, path),
            CacheNamespace::GenerateFlatFilePath(812, 0, 77, 2, 1, "g", path),
            CacheNamespace::GenerateFlatFilePath(std::string("vm"), 77, 812, 2, 1, "g", path),
            CacheNamespace::GenerateExtentFilePath(812, 0, 77, 2, 1, path),
        };
        for (const CZoError& err : errors)
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNoDatabase)) << err.AsString();
        EXPECT_FALSE(GetCache(812, 1));
        EXPECT_FALSE(GetDB(812, 1));
    }
}

// The service replaces its resolver while requests name files.
TEST_F(CacheNamespaceLookup, ResolverReplacedWhileOtherThreadsResolve) {
    InstallFolders(true);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&]() {
            while (!stop.load()) {
                std::string path;
                CZoError err = CacheNamespace::GenerateFlatFilePath(812, 0, 77, 2, 1, "g", path);
                if (!err.IsError() && path != "/srv/jr/LiveBrowseCache/DATA/C1/afile_812_1_2/812_1_2.cache") ++wrong;
                if (err.IsError() && !FXErrorUtil::IsInt(err, LBCError::kNoDatabase)) ++wrong;
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        InstallFolders(i % 2 == 0);
        if (i % 50 == 0) CacheLookup::Remove();
    }
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
