// The cache object of a location: initialisation, size limit, space
// statistics and full state, the maintenance window and availability.

#include "store/Cache.h"

#include "CacheTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheItem.h"
#include "store/CacheSyncObject.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <algorithm>
#include <map>
#include <unistd.h>

namespace {

const unsigned long long kGiB = 1ULL << 30;

class CacheTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        XKPlatformInfo::TEST_Clear();
        loc = TestLocation::Make(dir, GetParam());
    }
    void TearDown() override {
        XKPlatformInfo::TEST_Clear();
        SystemClock::TEST_Reset();
        LoopbackFS::TEST_Reset();
    }

    // A file of that apparent size in the data folder (sparse: no real space).
    void SetDataBytes(const std::string& name, unsigned long long bytes) {
        const std::string path = loc.Local("DATA/" + name);
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ::ftruncate(fd, static_cast<off_t>(bytes)));
        ::close(fd);
    }

    TempDir dir;
    TestLocation loc;
};

INSTANTIATE_TEST_SUITE_P(Both, CacheTest, testing::Bool(), LocationName);

TEST_P(CacheTest, InitializeCreatesTheDataFolderOnce) {
    ScopedLogCapture log;
    CachePtr cache = MakeCache(loc);
    EXPECT_EQ(loc.root + "/DATA", cache->GetCacheDataFolderPath());
    EXPECT_TRUE(Exists(loc.Local("DATA")));
    EXPECT_EQ(1, log->Count(0, "Created Live Browse Cache Data folder [" + loc.root + "/DATA]"));
    MakeCache(loc);
    EXPECT_EQ(1, log->Count(0, "Created Live Browse Cache Data folder"));
    log.Uninstall();

    EXPECT_FALSE(cache->IsFull());
    EXPECT_FALSE(cache->IsInMaintenance());
    EXPECT_TRUE(cache->IsDueCacheMaintenance());
    EXPECT_TRUE(cache->IsAvailable());
    EXPECT_FALSE(cache->IsUnavailable());
    EXPECT_EQ(GetParam(), cache->GetFSIO()->IsRemote());
}

TEST_P(CacheTest, CacheTypesOtherThanFlatFileFailInitialize) {
    for (int type : {1, 2, -1}) {
        Cache cache(static_cast<Cache::Type>(type), loc.root, true);
        cache.SetMountPathInfo(loc.info);
        CZoError err = cache.Initialize();
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheTypeNotSupported)) << type;
        if (type == 1) {
            EXPECT_NE(std::string::npos, err.AsString().find("Per extent hosting file cache is not supprted"));
        }
        // No back end: item requests fail instead of crashing.
        CacheItemPtr item;
        EXPECT_TRUE(cache.CreateItem(MakeExtent(1, 0), "", Cache::INTENDED_OP_WRITE, item).IsError());
        EXPECT_TRUE(cache.IsUnavailable());
    }
}

TEST_P(CacheTest, ItemsGoThroughTheCache) {
    CachePtr cache = MakeCache(loc);
    ExtentPtr extent = MakeExtent(812, 0);
    CacheItemPtr item;
    ASSERT_FALSE(cache->CreateItem(extent, "g", Cache::INTENDED_OP_WRITE, item).IsError());
    const std::string bytes = Payload(77, 1);
    ASSERT_FALSE(cache->AppendToItem(item, bytes.data(), bytes.size()).IsError());
    ASSERT_FALSE(cache->CloseItem(item).IsError());

    CAutoMemory<char> buffer;
    ASSERT_FALSE(cache->ReadItem(900, extent->CacheLocation, buffer).IsError());
    EXPECT_EQ(bytes, std::string(buffer.Ptr(), buffer.Size()));

    VM vm(2, 1, 812, "vm", 900, 0, "g");
    long long size = 0;
    ASSERT_FALSE(cache->GetCacheSize(vm, size).IsError());
    EXPECT_EQ(77, size);
    std::string path;
    ASSERT_FALSE(cache->GetCacheFilePath(vm, path).IsError());
    EXPECT_EQ(FlatFileOf(cache->GetCacheDataFolderPath(), 812), path);
    EXPECT_TRUE(FXErrorUtil::IsWin32(cache->DeleteItem(item), 50));

    CZoError err = cache->GetItem(900, "nowhere:0:1", Cache::INTENDED_OP_READ, item);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation));
}

TEST_P(CacheTest, FullStateHysteresisLogsOnlyChanges) {
    CachePtr cache = MakeCache(loc);
    // A little over each percentage, so that single-precision rounding
    // cannot take the figure below it.
    const unsigned long long limit = 1000000;
    auto availableAt = [&](unsigned percent) { return std::min(limit, percent * 10000ULL + 50); };
    cache->SetMaxCacheSize(limit);
    ScopedLogCapture log;

    struct Step {
        unsigned percentAvailable;
        bool full;
        const char* logged;  // null: no change
    };
    std::map<unsigned, int> percentLines;
    const Step steps[] = {
        {25, false, "Cache full state: NOT FULL"},  // from none
        {15, true, "Cache full state: FULL"},
        {25, true, nullptr},
        {29, true, nullptr},
        {30, false, "Cache full state: NOT FULL"},
        {21, false, nullptr},
        {20, true, "Cache full state: FULL"},  // the threshold itself is full
        {100, false, "Cache full state: NOT FULL"},
    };
    for (const Step& step : steps) {
        SetDataBytes("filler", limit - availableAt(step.percentAvailable));
        const int before = log->Count(2, "Cache full state: ");
        const int beforeThis = step.logged ? log->Count(2, step.logged) : 0;
        Cache::CacheSpaceStats stats;
        CZoError err = cache->GetCacheSpaceUsageStats(stats);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(limit, stats.total);
        EXPECT_EQ(availableAt(step.percentAvailable), stats.available);
        EXPECT_EQ(step.full, cache->IsFull()) << step.percentAvailable;
        EXPECT_EQ(step.logged ? 1 : 0, log->Count(2, "Cache full state: ") - before) << step.percentAvailable;
        if (step.logged) {
            EXPECT_EQ(1, log->Count(2, step.logged) - beforeThis) << step.percentAvailable;
        }
        EXPECT_EQ(1, log->Count(3, FXString::Format(", %u percent disk is available", step.percentAvailable)) -
                         percentLines[step.percentAvailable]++);
    }
    log.Uninstall();
}

TEST_P(CacheTest, SizeLimitBoundsTotalAndAvailable) {
    CachePtr cache = MakeCache(loc);
    cache->SetMaxCacheSize(10 * kGiB);

    SetDataBytes("big", 12 * kGiB);
    Cache::CacheSpaceStats stats;
    ASSERT_FALSE(cache->GetCacheSpaceUsageStats(stats).IsError());
    EXPECT_EQ(10 * kGiB, stats.total);
    EXPECT_EQ(0u, stats.available);
    EXPECT_EQ(12 * kGiB, stats.cacheSize);
    EXPECT_TRUE(cache->IsFull());

    SetDataBytes("big", 0);
    SetDataBytes("four", 4 * kGiB);
    ASSERT_FALSE(cache->GetCacheSpaceUsageStats(stats).IsError());
    unsigned long long volumeTotal = 0;
    unsigned long long volumeAvailable = 0;
    ASSERT_FALSE(cache->GetFSIO()->GetSpaceUsage(cache->GetCacheDataFolderPath(), volumeTotal, volumeAvailable).IsError());
    EXPECT_EQ(10 * kGiB, stats.total);
    // The smaller of what the limit leaves and what the volume has (sampled
    // moments apart, so allow what other processes wrote meanwhile).
    const unsigned long long expected = std::min(6 * kGiB, volumeAvailable);
    EXPECT_LE(stats.available, 6 * kGiB);
    EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(stats.available), 64.0 * 1024 * 1024);
}

TEST_P(CacheTest, NoLimitUsesTheVolume) {
    CachePtr cache = MakeCache(loc);
    Cache::CacheSpaceStats stats;
    ASSERT_FALSE(cache->GetCacheSpaceUsageStats(stats).IsError());
    EXPECT_GT(stats.total, 0u);
    EXPECT_LE(stats.available, stats.total);
}

TEST_P(CacheTest, ZeroTotalCountsAsFull) {
    CachePtr cache = MakeCache(loc);
    ScopedLogCapture log;
    Cache::CacheSpaceStats stats;
    stats.total = 0;
    stats.available = 5;
    cache->TEST_SetSpaceStats(stats);
    cache->UpdateCacheFullState();
    EXPECT_TRUE(cache->IsFull());
    EXPECT_EQ(1, log->Count(0, "total space of 0"));
    EXPECT_EQ(1, log->Count(3, "0 percent disk is available"));
    log.Uninstall();
}

TEST_P(CacheTest, StatisticsFailureLeavesTheState) {
    if (!GetParam()) return;  // only a data server can vanish
    CachePtr cache = MakeCache(loc);
    Cache::CacheSpaceStats stats;
    ASSERT_FALSE(cache->GetCacheSpaceUsageStats(stats).IsError());
    const bool full = cache->IsFull();
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    Cache::CacheSpaceStats after;
    CZoError err = cache->GetCacheSpaceUsageStats(after);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kSpaceUsageFailed)) << err.AsString();
    EXPECT_EQ(0u, after.total);
    EXPECT_EQ(full, cache->IsFull());

    bool available = true;
    ASSERT_FALSE(cache->CheckAvailibility(available).IsError());
    EXPECT_FALSE(available);
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);
    ASSERT_FALSE(cache->CheckAvailibility(available).IsError());
    EXPECT_TRUE(available);
}

TEST_P(CacheTest, UnavailableUntilMarkedAvailable) {
    if (!GetParam()) return;
    CachePtr cache = MakeCache(loc);
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    CacheItemPtr item;
    CZoError err = cache->CreateItem(MakeExtent(812, 0), "", Cache::INTENDED_OP_WRITE, item);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable));
    EXPECT_TRUE(cache->IsUnavailable());
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);
    EXPECT_TRUE(cache->IsUnavailable());
    cache->MarkAvailable();
    EXPECT_TRUE(cache->IsAvailable());
}

TEST_P(CacheTest, SizeLimitFromTheConfiguration) {
    ScopedLogCapture log;
    CachePtr cache = MakeCache(loc);
    EXPECT_EQ(0u, cache->GetMaxCacheSize());
    EXPECT_EQ(0, log->CountAny("cache size"));

    XKPlatformInfo::TEST_SetNumber("VirtualServer", "nLiveBrowseCacheMaxSizeInGB", 5);
    cache->RefreshConfiguration();
    EXPECT_EQ(5368709120ULL, cache->GetMaxCacheSize());
    EXPECT_EQ(1, log->Count(0, "Setting Max cache size to 5 GB"));
    cache->RefreshConfiguration();
    EXPECT_EQ(1, log->Count(0, "Setting Max cache size to"));

    XKPlatformInfo::TEST_SetNumber("VirtualServer", "nLiveBrowseCacheMaxSizeInGB", 0);
    cache->RefreshConfiguration();
    EXPECT_EQ(0u, cache->GetMaxCacheSize());
    EXPECT_EQ(1, log->Count(0, "Removing max cache size limit"));

    cache->SetMaxCacheSizeInGB(3);
    XKPlatformInfo::TEST_Delete("VirtualServer", "nLiveBrowseCacheMaxSizeInGB");
    cache->RefreshConfiguration();
    EXPECT_EQ(0u, cache->GetMaxCacheSize());
    EXPECT_EQ(2, log->Count(0, "Removing max cache size limit"));
    log.Uninstall();
}

TEST_P(CacheTest, SpaceThresholdsChangeOnlyWhenOrdered) {
    CachePtr cache = MakeCache(loc);
    struct Case {
        unsigned full, notFull, expectFull, expectNotFull;
    };
    const Case cases[] = {{40, 10, 20, 30}, {30, 30, 20, 30}, {10, 40, 10, 40}, {50, 20, 10, 40}};
    for (const Case& c : cases) {
        cache->SetSpaceThresholds(c.full, c.notFull);
        unsigned full = 0, notFull = 0;
        cache->GetSpaceThresholds(full, notFull);
        EXPECT_EQ(c.expectFull, full);
        EXPECT_EQ(c.expectNotFull, notFull);
    }
}

TEST_P(CacheTest, MaintenanceWindowIsEnteredOnlyWhenDueAndNoWriteIsRegistered) {
    SystemClock::TEST_Freeze(1700000000);
    XKPlatformInfo::TEST_SetNumber("VirtualServer", "nLiveBrowseCacheMinMaintenanceInSecs", 100);
    CachePtr cache = MakeCache(loc);
    ScopedCacheLookup lookup(cache);

    ExtentPtr extent = MakeExtent(812, 0);
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent));
    EXPECT_FALSE(cache->SetCacheInMaintenance(true));  // a write is registered
    EXPECT_FALSE(cache->IsInMaintenance());
    CCacheSyncObject::ExtentWriteDone(extent);

    // The failed attempt restarted the interval.
    EXPECT_FALSE(cache->IsDueCacheMaintenance());
    SystemClock::TEST_AdvanceSeconds(99);
    EXPECT_FALSE(cache->SetCacheInMaintenance(true));
    SystemClock::TEST_AdvanceSeconds(1);
    EXPECT_TRUE(cache->SetCacheInMaintenance(true));
    EXPECT_TRUE(cache->IsInMaintenance());
    EXPECT_FALSE(cache->IsDueCacheMaintenance());
    EXPECT_FALSE(cache->SetCacheInMaintenance(true));  // already in it

    // No write is admitted inside the window.
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(MakeExtent(812, 4096)));
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());

    EXPECT_TRUE(cache->SetCacheInMaintenance(false));
    EXPECT_TRUE(cache->SetCacheInMaintenance(false));  // also when not in it
    EXPECT_FALSE(cache->IsInMaintenance());
    EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(MakeExtent(812, 4096)));
    CCacheSyncObject::ExtentWriteDone(MakeExtent(812, 4096));
}

TEST_P(CacheTest, ZeroIntervalMakesAWindowDueWheneverOutOfOne) {
    SystemClock::TEST_Freeze(1700000000);
    XKPlatformInfo::TEST_SetNumber("VirtualServer", "nLiveBrowseCacheMinMaintenanceInSecs", 0);
    CachePtr cache = MakeCache(loc);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(cache->IsDueCacheMaintenance());
        EXPECT_TRUE(cache->SetCacheInMaintenance(true));
        EXPECT_FALSE(cache->IsDueCacheMaintenance());
        EXPECT_TRUE(cache->SetCacheInMaintenance(false));
    }
}

TEST_P(CacheTest, DefaultIntervalIsEightHours) {
    SystemClock::TEST_Freeze(1700000000);
    CachePtr cache = MakeCache(loc);
    ASSERT_TRUE(cache->SetCacheInMaintenance(true));
    ASSERT_TRUE(cache->SetCacheInMaintenance(false));
    SystemClock::TEST_AdvanceSeconds(28799);
    EXPECT_FALSE(cache->IsDueCacheMaintenance());
    SystemClock::TEST_AdvanceSeconds(1);
    EXPECT_TRUE(cache->IsDueCacheMaintenance());
}

TEST(CacheShortNameTest, LongRootsAreShortened) {
    struct Case {
        const char* root;
        const char* name;
    };
    const Case cases[] = {
        {"/a/b", "/a/b"},
        {"/a/b/c", "/a/b/c"},
        {"/opt/results/LiveBrowseCache/x", "opt/results.../x"},
        {"/a/b/c/d/e", "a/b.../e"},
        {"IP|10|20|host|30|/vol", "IP|10|20|host|30|/vol"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.name, Cache(Cache::FLAT_FILE_CACHE, c.root, true).description());
}

TEST(CacheFileAccessTest, NoFileAccessForTheLocationFailsInitialize) {
    TempDir dir;
    TestLocation loc = TestLocation::Make(dir, true);
    LoopbackFS::TEST_SetFactoriesReturnNothing(true, false);
    Cache cache(Cache::FLAT_FILE_CACHE, loc.root, true);
    cache.SetMountPathInfo(loc.info);
    CZoError err = cache.Initialize();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNoFileSystemObject)) << err.AsString();
    EXPECT_FALSE(Exists(loc.Local("DATA")));
    // Nor does it fall back to a local folder of the remote path's name.
    EXPECT_FALSE(cache.GetFSIO());
    LoopbackFS::TEST_Reset();
}

}  // namespace
