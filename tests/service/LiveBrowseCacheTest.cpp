// The facade: the configuration gate, the singleton and the start-up.

#include "support/ServiceFixture.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFolder.h"
#include "platform/XKClient.h"
#include "platform/XKPlatformInfo.h"
#include "store/FlatFileCacheItem.h"
#include "store/LiveBrowseCacheUtility.h"
#include "support/LockProbes.h"

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

class LiveBrowseCacheTest : public ServiceFixture {};

TEST_F(LiveBrowseCacheTest, GateNeedsBothSwitches) {
    // null: the value is absent
    const struct {
        const char* optimization;
        const char* enabled;
        bool instance;
    } cases[] = {
        {nullptr, nullptr, false}, {nullptr, "true", false}, {"false", "true", false}, {"false", nullptr, false},
        {"true", nullptr, true},   {"true", "true", true},   {"true", "false", false}, {"1", "1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.optimization ? c.optimization : "absent") + " / " +
                     (c.enabled ? c.enabled : "absent"));
        XKPlatformInfo::TEST_Delete(kKey, "bEnableMetadataRestoreOptimization");
        XKPlatformInfo::TEST_Delete(kKey, "bEnableLiveBrowseCache");
        if (c.optimization) XKPlatformInfo::TEST_Set(kKey, "bEnableMetadataRestoreOptimization", c.optimization);
        if (c.enabled) XKPlatformInfo::TEST_Set(kKey, "bEnableLiveBrowseCache", c.enabled);

        CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
        EXPECT_EQ(c.instance, instance != nullptr);
        // A closed gate builds nothing at all.
        EXPECT_EQ(c.instance, Impl() != nullptr);
        EXPECT_EQ(c.instance ? 1 : 0, CLiveBrowseCacheImpl::TEST_LiveImplementations());
        StopService();
    }
}

TEST_F(LiveBrowseCacheTest, OneInstanceUntilDestroyedThenANewOneWithANewService) {
    CLiveBrowseCache::DestroyInstance();  // nothing to destroy: no effect

    CLiveBrowseCache* first = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, first);
    CLiveBrowseCacheImplPtr firstImpl = Impl();
    EXPECT_EQ(first, CLiveBrowseCache::GetInstance());
    EXPECT_EQ(firstImpl, Impl());

    CLiveBrowseCache::DestroyInstance();
    // The service outlives its facade until a new one replaces it.
    EXPECT_EQ(firstImpl, Impl());
    EXPECT_TRUE(firstImpl->IsInitialized());

    CLiveBrowseCache* second = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, second);
    EXPECT_NE(firstImpl, Impl());
    EXPECT_EQ(2, CLiveBrowseCacheImpl::TEST_LiveImplementations());
    firstImpl.reset();  // this test's own reference was the last one
    EXPECT_EQ(1, CLiveBrowseCacheImpl::TEST_LiveImplementations());
}

TEST_F(LiveBrowseCacheTest, StartUpLinesAndTheLocalCacheFolder) {
    ASSERT_FALSE(IsFolder(LocalCacheFolder()));
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    EXPECT_TRUE(IsFolder(LocalCacheFolder()));

    const std::string address = [&] {
        char text[64];
        std::snprintf(text, sizeof(text), "0x%p", static_cast<void*>(instance));
        return std::string(text);
    }();
    EXPECT_EQ(1u, Count(0, "Initializing live browse cache (" + address + ") ..."));
    EXPECT_EQ(1u, Count(0, "Cleaning up Temp folder [" + StagingFolder() + "]"));
    EXPECT_EQ(1u, Count(0, "Created Live Browse Cache folder [" + LocalCacheFolder() + "]"));
    EXPECT_EQ(1u, Count(0, "Successfully initialized live browse cache (" + address + ")"));

    // Again in test mode: the folder exists, so it is not logged as created.
    ClearLines();
    ASSERT_FALSE(instance->InitializeInTestMode(std::string()).IsError());
    EXPECT_EQ(1u, Count(0, "Successfully initialized live browse cache (" + address + ") in test mode"));
    EXPECT_EQ(0u, CountContaining("Created Live Browse Cache folder"));
}

// Every location stages below a folder of its own, and a container made only
// for the pruner's lock keeps its database in a folder of its own: a start-up
// that is the area's only user clears them all.
TEST_F(LiveBrowseCacheTest, StartUpClearsTheStagingFoldersOfEveryLocation) {
    std::vector<std::string> leftovers;
    for (const char* root : {"/mnt/c1/DB", "/mnt/c2/DB"}) {
        std::string staged;
        ASSERT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation(std::string(root) + "/C1/afile_812_1_2", root,
                                                                     staged)
                         .IsError());
        for (const std::string& folder : {staged, staged + ".pruner-1"}) {
            ASSERT_FALSE(FXFolder::CreateFoldersIteratively(folder, nullptr).IsError());
            WriteWholeFile(folder + "/afile_cache.db", "staged");
            leftovers.push_back(folder + "/afile_cache.db");
        }
    }
    ASSERT_NE(nullptr, CLiveBrowseCache::GetInstance());
    for (const std::string& file : leftovers) EXPECT_FALSE(Exists(file)) << file;
    EXPECT_FALSE(Exists(StagingFolder()));
}

TEST_F(LiveBrowseCacheTest, ClientIdFailureStopsTheStartUpBeforeAnyFolder) {
    ::mkdir(LocalCacheFolder().c_str(), 0755);
    ::mkdir((LocalCacheFolder() + "/Temp").c_str(), 0755);
    ::mkdir(StagingFolder().c_str(), 0755);
    WriteWholeFile(StagingFolder() + "/afile_cache.db", "staged");
    XKClient::TEST_SetReturnCode(7);

    EXPECT_EQ(nullptr, CLiveBrowseCache::GetInstance());
    EXPECT_EQ(1u, Count(-1, "Failed to get client ID, retCode=7"));
    EXPECT_EQ(1u, CountContaining("Failed to initialize Live browse cache object, error="));
    EXPECT_EQ("staged", ReadWholeFile(StagingFolder() + "/afile_cache.db"));
    EXPECT_EQ(0u, CountContaining("Cleaning up Temp folder"));
    // The service stays published, not initialised: nothing resolves through it.
    ASSERT_NE(nullptr, Impl());
    EXPECT_FALSE(Impl()->IsInitialized());
    EXPECT_FALSE(GetCache(12, 1));
    EXPECT_FALSE(GetDB(12, 1));

    // The next request tries the whole start-up again.
    XKClient::TEST_SetReturnCode(0);
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    EXPECT_FALSE(Exists(StagingFolder()));
    EXPECT_EQ(1, CLiveBrowseCacheImpl::TEST_LiveImplementations());

    XKClient::TEST_SetReturnCode(3);
    CZoError err = instance->InitializeInTestMode(std::string());
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNoClientId)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("Failed to get client ID, retCode=3")) << err.AsString();
}

// Another browsing process of this host with databases staged in the shared
// staging folder keeps them when this process starts.
TEST_F(LiveBrowseCacheTest, StartUpLeavesAStagingFolderThatAnotherProcessUses) {
    ::mkdir(JobResultsFolder().c_str(), 0755);
    ::mkdir(LocalCacheFolder().c_str(), 0755);
    ::mkdir((LocalCacheFolder() + "/Temp").c_str(), 0755);
    ::mkdir(StagingFolder().c_str(), 0755);
    WriteWholeFile(StagingFolder() + "/afile_cache.db", "staged");
    ForkedUseHolder other(LocalCacheFolder() + ".staging.inuse");
    ASSERT_TRUE(other.Using());

    ASSERT_NE(nullptr, CLiveBrowseCache::GetInstance());
    EXPECT_EQ("staged", ReadWholeFile(StagingFolder() + "/afile_cache.db"));
    EXPECT_EQ(0u, CountContaining("Cleaning up Temp folder"));
    EXPECT_EQ(1u, Count(0, "Temp folder [" + StagingFolder() + "] is in use by another process; not cleaned"));
}

TEST_F(LiveBrowseCacheTest, RepeatedStartKeepsTheStagingFolderAndTheOnePeriodicThread) {
    const int before = LibraryThreads();
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    boost::shared_ptr<PeriodicUtilityThread> periodic = Impl()->TEST_PeriodicThread();
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(before + 1, LibraryThreads());

    // Staged copies of open containers live here from now on.
    ::mkdir((LocalCacheFolder() + "/Temp").c_str(), 0755);
    ::mkdir(StagingFolder().c_str(), 0755);
    WriteWholeFile(StagingFolder() + "/afile_cache.db", "staged");

    ASSERT_FALSE(instance->Initialize(std::string()).IsError());
    ASSERT_FALSE(instance->InitializeInTestMode(JobResultsFolder()).IsError());
    EXPECT_EQ("staged", ReadWholeFile(StagingFolder() + "/afile_cache.db"));
    EXPECT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(before + 1, LibraryThreads());
    EXPECT_EQ(1u, CountContaining("Live Browse Cache periodic thread STARTED"));
}

TEST_F(LiveBrowseCacheTest, TestModeStartsNoPeriodicThread) {
    // A failed start leaves a published service that was never started.
    XKClient::TEST_SetReturnCode(5);
    ASSERT_EQ(nullptr, CLiveBrowseCache::GetInstance());
    XKClient::TEST_SetReturnCode(0);
    CLiveBrowseCacheImplPtr impl = Impl();
    ASSERT_NE(nullptr, impl);

    ASSERT_FALSE(impl->Initialize(JobResultsFolder(), true).IsError());
    EXPECT_TRUE(impl->IsInitialized());
    EXPECT_FALSE(impl->TEST_PeriodicThread()->IsRunning());
    EXPECT_EQ(0u, CountContaining("Live Browse Cache periodic thread STARTED"));
}

TEST_F(LiveBrowseCacheTest, PathArgumentOnlyPicksTheFolderOfTheStartUp) {
    CLiveBrowseCache* instance = StartService();
    ASSERT_NE(nullptr, instance);
    const std::string other = temp.sub("OtherBase");
    ::mkdir(other.c_str(), 0755);
    ASSERT_FALSE(instance->InitializeInTestMode(other).IsError());
    EXPECT_TRUE(IsFolder(other + "/LiveBrowseCache"));

    // Locations still use the configured local cache folder.
    CachePtr cache = GetCache(40, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(LocalCacheFolder() + "/DATA", cache->GetCacheDataFolderPath());
    EXPECT_FALSE(Exists(other + "/LiveBrowseCache/DATA"));
}

TEST_F(LiveBrowseCacheTest, OnlyTheLibrarysOwnCode34IsAlreadyCached) {
    const struct {
        CZoError error;
        bool cached;
    } cases[] = {
        {CZoError::Success(), false},
        {FXErrorUtil::ErrorWin32(FXLOC, 34), false},
        {FXErrorUtil::ErrorInt(FXLOC, LBCError::kExtentAlreadyCached - 1), false},
        {FXErrorUtil::ErrorInt(FXLOC, LBCError::kExtentAlreadyCached), true},
    };
    for (auto c : cases) {
        EXPECT_EQ(c.cached, CLiveBrowseCache::IsErrorExtentAlreadyCached(c.error)) << c.error.AsString();
    }
}

TEST_F(LiveBrowseCacheTest, SetTestabilityTurnsOnTheMd5Record) {
    EXPECT_EQ(0, LIVE_BROWSE_CACHE_TESTABILITY.load());
    CLiveBrowseCache::SetTestability();  // also before any instance
    EXPECT_EQ(1, LIVE_BROWSE_CACHE_TESTABILITY.load());
}

}  // namespace
