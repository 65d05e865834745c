// Cache location resolution: the media manager's answers, the maps, the
// creation of a location and the free functions GetCache and GetDB.

#include "support/ServiceFixture.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PeriodicUtilityThread.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/LoopbackFS.h"
#include "platform/SystemClock.h"
#include "platform/XKClient.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CachePruner.h"
#include "store/CacheFileIO.h"
#include "store/CacheSyncObject.h"

#include <boost/make_shared.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include <string>
#include <utility>
#include <vector>

namespace {

MediaManager::MountPathInfo MountPath(long long id, const std::string& path) {
    MediaManager::MountPathInfo mountPath;
    mountPath.setMMPathId(id);
    mountPath.setPath(path);
    return mountPath;
}

void Answer(long long afileId, unsigned long copyId, int status, std::vector<MediaManager::MountPathInfo> paths) {
    XKMMmountPath::TEST_Answer answer;
    answer.status = status;
    answer.mountPaths = std::move(paths);
    XKMMmountPath::TEST_SetAnswer(afileId, copyId, answer);
}

class CacheLocationTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        ASSERT_NE(nullptr, StartService());
        ClearLines();
    }
    void TearDown() override {
        ServiceFixture::TearDown();
        LoopbackFS::TEST_Reset();
    }

    std::string LocalData() const { return LocalCacheFolder() + "/DATA"; }

    // Serves a folder "vol" of the TempDir's "served" on the loopback data
    // server as host; the data-server path of "/vol" is the result + "/vol".
    std::string ServeVolume(const std::string& host) const {
        const std::string served = temp.sub("served");
        ::mkdir(served.c_str(), 0755);
        ::mkdir((served + "/vol").c_str(), 0755);
        LoopbackFS::TEST_ServeHost(host, served);
        return "IP|10|20|" + host + "|30|";
    }
};

TEST_F(CacheLocationTest, MediaManagerAnswers) {
    const struct {
        const char* name;
        bool mediaManagerOn;
        int status;
        std::vector<std::pair<long long, const char*>> entries;  // id, folder below the TempDir ("" = empty path)
        bool mountPathUsed;
        int calls;
        int level;  // of the line expected, with its text
        const char* line;
    } cases[] = {
        {"off", false, 0, {{5, "mm"}}, false, 0, 0, nullptr},
        {"status -1", true, -1, {{5, "mm"}}, false, 1, -1, "Failed to get cache path from MM, status=-1"},
        {"empty list", true, 0, {}, false, 1, 3, "Empty MP received from MM. Use default cache path."},
        {"failed and empty", true, -1, {}, false, 1, 3, "Empty MP received from MM. Use default cache path."},
        {"first id 0", true, 0, {{0, "mm0"}, {5, "mm"}}, false, 1, 0, nullptr},
        {"id without path", true, 0, {{5, ""}}, false, 1, 0, nullptr},
        {"low 32 bits 0", true, 0, {{1LL << 32, "mm"}}, false, 1, 0, nullptr},
        {"status 1", true, 1, {{5, "mm"}, {6, "mm6"}}, true, 1, 0, nullptr},
        {"real path", true, 0, {{5, "mm"}}, true, 1, 0, nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StopService();
        XKMMmountPath::TEST_ResetAll();
        XKPlatformInfo::TEST_SetBool(kKey, "bEnableMMCachePath", c.mediaManagerOn);
        ASSERT_NE(nullptr, StartService());
        ClearLines();

        const std::string base = temp.sub("case" + std::to_string(++n));
        ::mkdir(base.c_str(), 0755);
        std::vector<MediaManager::MountPathInfo> paths;
        for (const auto& entry : c.entries)
            paths.push_back(MountPath(entry.first, *entry.second ? base + "/" + entry.second : std::string()));
        Answer(70, 3, c.status, paths);

        CachePtr cache = GetCache(70, 3);
        ASSERT_TRUE(cache);
        EXPECT_EQ(cache, GetCache(70, 3));
        EXPECT_TRUE(GetDB(70, 3));
        EXPECT_EQ(c.calls, XKMMmountPath::TEST_Calls(70, 3));
        if (c.line) {
            EXPECT_EQ(1u, Count(c.level, c.line));
        }

        const std::string root = c.mountPathUsed ? base + "/mm" : LocalCacheFolder();
        EXPECT_EQ(root + "/DATA", cache->GetCacheDataFolderPath());
        EXPECT_EQ(root + "/DB", GetDB(70, 3)->GetCacheDBFolderPath());
        EXPECT_TRUE(IsFolder(root + "/DATA"));
        EXPECT_TRUE(IsFolder(root + "/DB"));
        EXPECT_EQ(1u, Count(0, "Added cache path: [" + root + "/DATA] [" + root + "/DB]"));
        EXPECT_EQ(1u, Count(0, "Added Afile Cache path: [" + root + "] (Request AfileId=70, CopyId=3)"));
        if (c.mountPathUsed) {
            EXPECT_EQ(1u, Count(0, "MM cache mount path: [" + root + "]"));
            EXPECT_FALSE(cache->GetFSIO()->IsRemote());
        } else {
            EXPECT_EQ(1u, Count(0, "Non-MM cache mount path: [" + root + "]"));
            EXPECT_FALSE(Exists(base + "/mm/DATA"));
            EXPECT_FALSE(Exists(base + "/mm0/DATA"));
        }
        if (c.calls > 0) {
            EXPECT_EQ(static_cast<int>(XKClient::kDefaultClientId), XKMMmountPath::TEST_LastClientId());
            EXPECT_EQ(2, XKMMmountPath::TEST_LastClientType());
        }
    }
}

TEST_F(CacheLocationTest, OneRequestPerAfileCopyUntilTheDailyClear) {
    StopService();
    SystemClock::TEST_Freeze(1700000000);
    ASSERT_NE(nullptr, StartService());  // its clocks start now
    const std::string mm = temp.sub("mm");
    ::mkdir(mm.c_str(), 0755);
    Answer(21, 1, 0, {MountPath(5, mm)});

    CachePtr cache = GetCache(21, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache, GetCache(21, 1));
    EXPECT_EQ(cache, GetCache(21, 1));
    EXPECT_EQ(1, XKMMmountPath::TEST_Calls(21, 1));

    boost::shared_ptr<PeriodicUtilityThread> periodic = Impl()->TEST_PeriodicThread();
    SystemClock::TEST_AdvanceSeconds(86399);
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(cache, GetCache(21, 1));
    EXPECT_EQ(1, XKMMmountPath::TEST_Calls(21, 1));
    EXPECT_EQ(0u, CountContaining("Clearing Afile to cache path mappings"));

    SystemClock::TEST_AdvanceSeconds(1);
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(1u, Count(0, "Clearing Afile to cache path mappings"));
    EXPECT_EQ(0u, Impl()->TEST_AfileMappingCount());
    // Asked again, and the location made before is reused.
    EXPECT_EQ(cache, GetCache(21, 1));
    EXPECT_EQ(2, XKMMmountPath::TEST_Calls(21, 1));
    EXPECT_EQ(1u, Impl()->TEST_Pruners().size());

    // The next clear is a whole day after this one.
    SystemClock::TEST_AdvanceSeconds(86399);
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(1u, Count(0, "Clearing Afile to cache path mappings"));
}

TEST_F(CacheLocationTest, AClockSetBackClearsNothing) {
    StopService();
    SystemClock::TEST_Freeze(1700000000);
    ASSERT_NE(nullptr, StartService());
    EXPECT_FALSE(Impl()->IsClearAfileCachePathMappings());
    SystemClock::TEST_Freeze(1700000000 - 100000);
    EXPECT_FALSE(Impl()->IsClearAfileCachePathMappings());
    EXPECT_FALSE(Impl()->IsPrintProcessStats());
    SystemClock::TEST_Freeze(1700000000 + 86400);
    EXPECT_TRUE(Impl()->IsClearAfileCachePathMappings());
    EXPECT_TRUE(Impl()->IsPrintProcessStats());
}

TEST_F(CacheLocationTest, PathsWithOneIdShareTheFirstLocation) {
    const std::string first = temp.sub("first");
    const std::string second = temp.sub("second");
    ::mkdir(first.c_str(), 0755);
    ::mkdir(second.c_str(), 0755);
    Answer(31, 1, 0, {MountPath(9, first)});
    Answer(32, 1, 0, {MountPath(9 + (3LL << 32), second)});

    CachePtr cache = GetCache(31, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache, GetCache(32, 1));
    EXPECT_EQ(GetDB(31, 1), GetDB(32, 1));
    EXPECT_FALSE(Exists(second + "/DATA"));
    EXPECT_EQ(1u, Impl()->TEST_Pruners().size());
    EXPECT_EQ(2u, Impl()->TEST_AfileMappingCount());
}

TEST_F(CacheLocationTest, ALocalAnswerStaysUntilTheDailyClear) {
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableMMCachePath", false);
    CachePtr local = GetCache(50, 1);
    ASSERT_TRUE(local);
    EXPECT_EQ(LocalData(), local->GetCacheDataFolderPath());

    const std::string mm = temp.sub("mm");
    ::mkdir(mm.c_str(), 0755);
    Answer(50, 1, 0, {MountPath(5, mm)});
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableMMCachePath", true);
    EXPECT_EQ(local, GetCache(50, 1));
    EXPECT_EQ(0, XKMMmountPath::TEST_Calls());

    // A new afile copy with no answer shares the one local location.
    EXPECT_EQ(local, GetCache(51, 2));
    EXPECT_EQ(1, XKMMmountPath::TEST_Calls());
}

TEST_F(CacheLocationTest, BaseFolderFollowsTheConfigurationWhileLocationsStay) {
    std::string data;
    std::string db;
    ASSERT_FALSE(Impl()->GetBaseFolderPath(data, db).IsError());
    EXPECT_EQ(LocalData(), data);
    EXPECT_EQ(LocalCacheFolder() + "/DB", db);
    CachePtr local = GetCache(60, 1);
    ASSERT_TRUE(local);

    const std::string moved = temp.sub("moved");
    ::mkdir(moved.c_str(), 0755);
    XKPlatformInfo::TEST_Set(kKey, "sLiveBrowseCacheLocation", moved);
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    ASSERT_FALSE(instance->GetBaseFolderPath(data, db).IsError());
    EXPECT_EQ(moved + "/LiveBrowseCache/DATA", data);
    EXPECT_EQ(moved + "/LiveBrowseCache/DB", db);
    EXPECT_FALSE(Exists(moved + "/LiveBrowseCache"));  // named, not made

    // A new afile copy still gets the local location made for the old folder.
    EXPECT_EQ(local, GetCache(61, 1));
    EXPECT_EQ(LocalData(), GetCache(61, 1)->GetCacheDataFolderPath());
}

// A relative folder is looked for in the working folder of the moment, but
// only once: the local location is made at the first request served locally
// and every later one stays with it, wherever the working folder has gone.
TEST_F(CacheLocationTest, ARelativeFolderIsResolvedOnceAtTheLocationsFirstUse) {
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableMMCachePath", false);
    XKPlatformInfo::TEST_Set(kKey, "sLiveBrowseCacheLocation", "rel");
    for (const char* sub : {"a", "a/rel", "b", "b/rel", "c"}) ::mkdir(temp.sub(sub).c_str(), 0755);
    struct RestoreWorkingFolder {
        char* was = ::getcwd(nullptr, 0);
        ~RestoreWorkingFolder() {
            if (was != nullptr && ::chdir(was) != 0) ADD_FAILURE() << "working folder not restored";
            std::free(was);
        }
    } restore;
    ASSERT_NE(nullptr, restore.was);

    CachePtr served[3];
    const char* const folders[] = {"a", "b", "c"};  // c has no folder "rel"
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, ::chdir(temp.sub(folders[i]).c_str()));
        served[i] = GetCache(90 + i, 1);
        ASSERT_TRUE(served[i]) << folders[i];
    }
    EXPECT_EQ(temp.sub("a/rel/LiveBrowseCache/DATA"), served[0]->GetCacheDataFolderPath());
    EXPECT_EQ(served[0], served[1]);
    EXPECT_EQ(served[0], served[2]);
    EXPECT_FALSE(Exists(temp.sub("b/rel/LiveBrowseCache")));
    EXPECT_EQ(1u, Impl()->TEST_Pruners().size());
}

TEST_F(CacheLocationTest, DataServerPathGetsRemoteFileAccess) {
    const std::string path = ServeVolume("h10-loopback") + "/vol";
    const std::string served = temp.sub("served");
    Answer(80, 1, 0, {MountPath(7, path)});

    CachePtr cache = GetCache(80, 1);
    ASSERT_TRUE(cache);
    EXPECT_TRUE(cache->GetFSIO()->IsRemote());
    CacheDBPtr db = GetDB(80, 1);
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->GetRemoteFileIO()->IsRemote());
    EXPECT_TRUE(IsFolder(served + "/vol/DATA"));
    EXPECT_TRUE(IsFolder(served + "/vol/DB"));
    const std::string machine = XKPlatformInfo().getPhysicalMachine();
    EXPECT_EQ(1u, Count(0, "DataServer MM cache mount path: [Type: [2], Subtype: [4], Host: [h10-loopback], Path: "
                           "[/vol], Vol: [], User: [], LocalClientName: [" +
                               machine + "], MP_Id: [0], CMP_Id: [0], Flags: [0]]"));
    EXPECT_EQ(0u, CountContaining("Non-MM cache mount path"));
}

// A data server's folder is compared as text: doubled slashes and "." parts
// do not make a second location, while its links are the server's own.
TEST_F(CacheLocationTest, DataServerPathsNamingOneFolderShareOneLocation) {
    const std::string fields = ServeVolume("h11-loopback");
    Answer(81, 1, 0, {MountPath(7, fields + "/vol")});
    Answer(82, 1, 0, {MountPath(8, fields + "//vol/./")});

    CachePtr cache = GetCache(81, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache, GetCache(82, 1));
    EXPECT_EQ(GetDB(81, 1), GetDB(82, 1));
    EXPECT_EQ(1u, Impl()->TEST_Pruners().size());
    EXPECT_EQ(fields + "/vol/DB", GetDB(82, 1)->GetCacheDBFolderPath());
    EXPECT_EQ(1u, Count(0, "Cache mount path [" + fields + "//vol/./] (MMPathId=8) shares the cache location at [" +
                               fields + "/vol]"));
}

TEST_F(CacheLocationTest, AFailedCreationRegistersNothingAndIsTriedAgain) {
    // A file where the mount path's folder should be: its data folder cannot be made.
    const std::string mm = temp.sub("blocked");
    WriteWholeFile(mm, "a file in the way");
    Answer(90, 1, 0, {MountPath(11, mm)});
    const size_t pruners = Impl()->TEST_Pruners().size();

    EXPECT_FALSE(GetCache(90, 1));
    EXPECT_FALSE(GetDB(90, 1));
    EXPECT_EQ(2, XKMMmountPath::TEST_Calls(90, 1));
    EXPECT_EQ(pruners, Impl()->TEST_Pruners().size());
    EXPECT_EQ(0u, Impl()->TEST_AfileMappingCount());
    CachePtr cache;
    CacheDBPtr db;
    CZoError err = Impl()->GetConfiguredCache(90, 1, cache, db);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheInitFailed)) << err.AsString();
    EXPECT_EQ(0u, CountContaining("Added cache path"));

    ::unlink(mm.c_str());
    ::mkdir(mm.c_str(), 0755);
    ASSERT_TRUE(GetCache(90, 1));
    EXPECT_EQ(4, XKMMmountPath::TEST_Calls(90, 1));
    EXPECT_EQ(pruners + 1, Impl()->TEST_Pruners().size());
    EXPECT_EQ(1u, Impl()->TEST_AfileMappingCount());
}

TEST_F(CacheLocationTest, NothingResolvesWithoutAPublishedService) {
    ASSERT_TRUE(GetCache(1, 1));
    StopService();
    EXPECT_FALSE(Impl());
    EXPECT_FALSE(GetCache(1, 1));
    EXPECT_FALSE(GetDB(1, 1));
}

TEST_F(CacheLocationTest, PrunePolicies) {
    typedef CachePruner P;
    const struct {
        const char* name;
        std::vector<int> policies;
        std::vector<std::pair<P::TriggerCriteria, P::Policy>> expected;
    } cases[] = {
        {"LRU", {0}, {{P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING},
                      {P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, P::LEAST_REFERENCED_AFILEID_BASED_PRUNING}}},
        {"file indexed", {1}, {{P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING},
                               {P::TRIGGER_ALWAYS, P::FILE_INDEXED_JOB_STATUS_BASED_PRUNING}}},
        {"combined", {2}, {{P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING},
                           {P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, P::FILE_INDEXED_JOB_STATUS_BASED_PRUNING},
                           {P::TRIGGER_ON_SPACE_THRESHOLD_REACHED, P::LEAST_REFERENCED_AFILEID_BASED_PRUNING}}},
        {"file indexed, then combined", {1, 2}, {{P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING},
                                                 {P::TRIGGER_ALWAYS, P::FILE_INDEXED_JOB_STATUS_BASED_PRUNING},
                                                 {P::TRIGGER_ON_SPACE_THRESHOLD_REACHED,
                                                  P::LEAST_REFERENCED_AFILEID_BASED_PRUNING}}},
        {"unknown", {3}, {{P::TRIGGER_ALWAYS, P::DAYS_BASED_PRUNING}}},
    };
    CachePtr cache;
    CacheDBPtr db;
    ASSERT_FALSE(Impl()->GetConfiguredCache(1, 1, cache, db).IsError());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CachePrunerPtr pruner = boost::make_shared<CachePruner>(cache, db);  // never started
        for (int policy : c.policies)
            EXPECT_FALSE(
                Impl()->SetPrunePolicy(static_cast<CLiveBrowseCache::PrunePolicy>(policy), pruner).IsError());
        std::vector<std::pair<P::TriggerCriteria, P::Policy>> actual;
        for (const P::Configuration& configuration : pruner->GetConfigurations())
            actual.emplace_back(configuration.trigger, configuration.policy);
        EXPECT_EQ(c.expected, actual);
    }
}

TEST_F(CacheLocationTest, ANewLocationIsMadeWhileAnotherThreadHoldsTheWritePruneLock) {
    const std::string mm = temp.sub("mm");
    ::mkdir(mm.c_str(), 0755);
    Answer(95, 1, 0, {MountPath(13, mm)});

    std::promise<void> held;
    std::promise<void> release;
    std::thread writer([&] {
        auto_lock guard(&CCacheSyncObject::s_lockWriteSync);
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    // Nothing done under the service lock may wait for the write/prune lock.
    std::future<bool> resolved = std::async(std::launch::async, [] { return static_cast<bool>(GetCache(95, 1)); });
    const bool finished = resolved.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    release.set_value();
    writer.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(resolved.get());

    // The write registration resolves under the write/prune lock: that order is the allowed one.
    ExtentConstPtr extent = boost::make_shared<Extent>(96, 0, 2, 1, 0);
    EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent));
    CCacheSyncObject::ExtentWriteDone(extent);
}

TEST_F(CacheLocationTest, RefreshAndStartReachEveryLocation) {
    ASSERT_TRUE(GetCache(1, 1));
    XKPlatformInfo::TEST_SetNumber(kKey, "nLiveBrowseCacheMaxDaysRetention", 12);
    Impl()->RefreshConfigurationCachePaths();
    ASSERT_EQ(1u, Impl()->TEST_Pruners().size());
    EXPECT_EQ(12u, Impl()->TEST_Pruners()[0]->GetNoOfDaysRetention());

    const int threads = LibraryThreads();
    Impl()->StartCachePathPruners();  // running already: no second thread
    EXPECT_TRUE(WaitFor([] { return CountContaining("Live Browse Cache pruner thread STARTED") == 1; }));
    // A pruner's first pass may run a short-lived walker thread of its own,
    // gone once the pass ends; a second pruner thread would stay.
    EXPECT_TRUE(WaitFor([threads] { return LibraryThreads() <= threads; }));
    Impl()->StopThreads();
    Impl()->StartCachePathPruners();  // a stopped service starts nothing again
    EXPECT_FALSE(Impl()->TEST_Pruners()[0]->IsRunning());
}

}  // namespace
