// Database containers: the making of per-afile containers under the lock
// file, their sharing, their write-back at release, and the routed
// operations, on a local location and behind the loopback data server.

#include "CacheDBTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const long long kAfile = 812;

class CacheDBTest : public ::testing::TestWithParam<bool> {
protected:
    CacheDBTest() : f(GetParam()) { f.Open(); }

    CacheDBPtr Container(long long afile, bool stage = true, bool lock = true) {
        CacheDBPtr container;
        CZoError err = f.top->GetCacheDB(TestVM(afile), container, stage, lock);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return container;
    }
    void Add(const Extent& e) {
        CZoError err = f.top->AddExtent(e);
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }
    CZoError Get(long long afile, long long offset) {
        Extent row(0, 0, 2, 1, 0);
        return f.top->GetExtent(KeyOf(TestExtent(afile, offset)), row);
    }
    size_t Stagings() { return f.log->Count(0, "Staging DB from remote"); }

    CacheDBFixture f;
};

TEST_P(CacheDBTest, FirstRoutedCallMakesTheContainerAndLaterCallsFindIt) {
    EXPECT_EQ("DB", f.top->description());
    Add(TestExtent(kAfile, 0));
    Add(TestExtent(kAfile, 4096));
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    EXPECT_EQ(1u, Stagings());
    EXPECT_EQ(1u, f.log->Count(0, "Remote Afile DB folder created [" + f.AfileFolder(kAfile) + "]"));
    EXPECT_EQ(1u, f.log->Count(0, "Staging Afile DB folder created [" + f.StageFolder(kAfile) + "]"));
    EXPECT_TRUE(Exists(f.StageFolder(kAfile) + "/afile_cache.db"));
    EXPECT_FALSE(f.OthersCanLock(kAfile));

    // Keys differing in everything but the identity find the same container.
    CacheDBPtr a = Container(kAfile);
    CacheDBPtr b;
    ASSERT_FALSE(f.top->GetCacheDB(VM(2, 1, kAfile, "other", 99, 12345, "x"), b, false, false).IsError());
    EXPECT_EQ(a, b);
    EXPECT_EQ(f.AfileFolder(kAfile).substr(f.AfileFolder(kAfile).rfind('/') + 1), a->description());
    long long count = -1;
    ExtentsParam filter;
    filter.AfileID = kAfile;
    filter.TessarelID = 2;
    filter.CopyID = 1;
    ASSERT_FALSE(f.top->GetExtentCount(filter, count).IsError());
    EXPECT_EQ(2, count);
    EXPECT_EQ(1u, Stagings());
}

TEST_P(CacheDBTest, DescriptionIsEmptyBeforeInitialize) {
    CacheDB db(CacheDB::DB_TYPE_SQLITE, f.location.Path("DB"), f.location.Path("DB"), false, true);
    EXPECT_EQ("", db.description());
}

TEST_P(CacheDBTest, EightThreadsOnANewAfileGiveOneLockOneStagingOneContainer) {
    const int kThreads = 8;
    std::vector<CacheDBPtr> got(kThreads);
    std::vector<std::thread> threads;
    std::mutex m;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> guard(m);
                ++ready;
                cv.notify_all();
                cv.wait(guard, [&] { return go; });
            }
            Extent e = TestExtent(kAfile, i * 4096);
            EXPECT_FALSE(f.top->AddExtent(e).IsError());
            EXPECT_FALSE(f.top->GetCacheDB(e, got[i]).IsError());
        });
    }
    {
        std::unique_lock<std::mutex> guard(m);
        cv.wait(guard, [&] { return ready == kThreads; });
        go = true;
        cv.notify_all();
    }
    for (std::thread& t : threads) t.join();
    for (const CacheDBPtr& c : got) EXPECT_EQ(got[0], c);
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    EXPECT_EQ(1u, Stagings());
    if (!GetParam()) {
        EXPECT_EQ(1u, f.log->Count(0, "Acquiring lock file [" + f.AfileFolder(kAfile) + "/lockfile]"));
    }
    got.clear();
    f.top.reset();
    EXPECT_EQ(kThreads, CountRows(f.LocalDBFile(kAfile), "Extents"));
}

TEST_P(CacheDBTest, LockHeldByAnotherHostFailsWith14AndRegistersNothing) {
    OtherHostLock other(f, kAfile);
    ASSERT_TRUE(other.Locked());
    CZoError err = Get(kAfile, 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
    EXPECT_FALSE(f.top->BeginTransaction(boost::make_shared<Extent>(TestExtent(kAfile, 0))));
    EXPECT_TRUE(FXErrorUtil::IsInt(f.top->AddExtent(TestExtent(kAfile, 0)), LBCError::kLockedByAnotherHost));
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    EXPECT_EQ(0u, Stagings());
    EXPECT_FALSE(Exists(f.StageFolder(kAfile) + "/afile_cache.db"));
    EXPECT_FALSE(Exists(f.LocalDBFile(kAfile)));

    other.Release();
    Add(TestExtent(kAfile, 0));
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
}

// The afile's staging folder is made only once its lock file is held: until
// then another process of the host may be writing back from it and removing
// it, and a folder made under its feet would fail the request.
TEST_P(CacheDBTest, StagingFolderIsMadeOnlyOnceTheLockFileIsHeld) {
    {
        OtherHostLock other(f, kAfile);
        ASSERT_TRUE(other.Locked());
        CZoError err = Get(kAfile, 0);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
        EXPECT_FALSE(Exists(f.StageFolder(kAfile))) << "made while the lock was refused";
    }

    // The delay point before the lock is taken stands between the two steps.
    XKPlatformInfo::TEST_SetNumber("VirtualServer\\LiveBrowseCache\\Debug", "bInsertDelayBeforeAcquireLock", 1);
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());
    int delays = 0;
    bool madeBeforeTheLock = false;
    DebugSimulation::TEST_SetSleepFunction([&](uint32_t) {
        ++delays;
        madeBeforeTheLock = Exists(f.StageFolder(kAfile));
    });
    Add(TestExtent(kAfile, 0));
    EXPECT_EQ(1, delays);
    EXPECT_FALSE(madeBeforeTheLock);
    EXPECT_TRUE(Exists(f.StageFolder(kAfile) + "/afile_cache.db"));
}

TEST_P(CacheDBTest, IdleReleaseWritesRowsBackAndFreesTheLock) {
    SystemClock::TEST_Freeze(1700000000);
    {
        CacheDB::CTransactionContextPtr context =
            f.top->BeginTransaction(boost::make_shared<Extent>(TestExtent(kAfile, 0)));
        ASSERT_TRUE(context);
        Add(TestExtent(kAfile, 0));
        Add(TestExtent(kAfile, 8192));
        ASSERT_FALSE(f.top->UpdateVM(TestVM(kAfile)).IsError());
    }
    EXPECT_FALSE(f.OthersCanLock(kAfile));
    SystemClock::TEST_AdvanceSeconds(29);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());

    SystemClock::TEST_AdvanceSeconds(1);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    EXPECT_EQ(1u, f.log->Count(0, "Releasing cache container [afile_812_1_2]"));
    EXPECT_EQ(2, CountRows(f.LocalDBFile(kAfile), "Extents"));
    EXPECT_EQ(1, CountRows(f.LocalDBFile(kAfile), "VMs"));
    EXPECT_FALSE(Exists(f.StageFolder(kAfile)));
    EXPECT_TRUE(f.OthersCanLock(kAfile));

    // The next request stages the written-back copy again.
    EXPECT_FALSE(Get(kAfile, 8192).IsError());
    EXPECT_EQ(2u, Stagings());
}

TEST_P(CacheDBTest, ContainerReleasedWhileHeldIsBroughtBackNotMadeTwice) {
    SystemClock::TEST_Freeze(1700000000);
    CacheDB::CTransactionContextPtr context =
        f.top->BeginTransaction(boost::make_shared<Extent>(TestExtent(kAfile, 0)));
    ASSERT_TRUE(context);
    Add(TestExtent(kAfile, 0));
    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    EXPECT_FALSE(f.OthersCanLock(kAfile)) << "the held container keeps its lock";

    // Another thread's request neither waits on itself nor stages again.
    std::future<CZoError> other = std::async(std::launch::async, [&] { return Get(kAfile, 0); });
    ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(60)));
    CZoError err = other.get();
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(1u, Stagings());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    EXPECT_EQ(context->container, Container(kAfile));

    context.reset();
    f.top.reset();
    EXPECT_EQ(1, CountRows(f.LocalDBFile(kAfile), "Extents"));
}

TEST_P(CacheDBTest, MakingWaitsForTheWriteBackOfAContainerBeingDestroyed) {
    SystemClock::TEST_Freeze(1700000000);
    XKPlatformInfo::TEST_SetNumber("VirtualServer\\LiveBrowseCache\\Debug", "bInsertDelayBeforeSyncToRemote", 1);
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());
    std::promise<void> inWriteBack, proceed;
    std::shared_future<void> proceedSignal = proceed.get_future().share();
    DebugSimulation::TEST_SetSleepFunction([&](uint32_t) {
        inWriteBack.set_value();
        proceedSignal.wait();
    });

    CacheDB::CTransactionContextPtr context =
        f.top->BeginTransaction(boost::make_shared<Extent>(TestExtent(kAfile, 0)));
    ASSERT_TRUE(context);
    Add(TestExtent(kAfile, 4096));
    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());

    // The last holder lets go on its own thread: the write-back stops at the
    // delay point while another request arrives for the same afile.
    std::thread releaser([&] { context.reset(); });
    inWriteBack.get_future().wait();
    std::future<CZoError> request = std::async(std::launch::async, [&] { return Get(kAfile, 4096); });
    while (f.top->TEST_RetiringWaiters() == 0) std::this_thread::yield();
    proceed.set_value();
    releaser.join();
    CZoError err = request.get();
    // Staged only after the write-back: the row added before is there.
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(2u, Stagings());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
}

TEST_P(CacheDBTest, CorruptDatabaseIsNeitherServedNorWrittenBack) {
    const std::string garbage(4096, '\x5a');
    MakeFolders(f.LocalAfileFolder(kAfile));
    WriteWholeFile(f.LocalDBFile(kAfile), garbage);
    struct stat before;
    ASSERT_EQ(0, ::stat(f.LocalDBFile(kAfile).c_str(), &before));

    CZoError err = Get(kAfile, 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kAdapterInitFailed)) << err.AsString();
    EXPECT_EQ(1u, f.log->Count(1, "Error="));
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    EXPECT_EQ(garbage, ReadWholeFile(f.LocalDBFile(kAfile)));
    struct stat after;
    ASSERT_EQ(0, ::stat(f.LocalDBFile(kAfile).c_str(), &after));
    EXPECT_EQ(before.st_mtime, after.st_mtime);
    EXPECT_EQ(0u, f.log->Count(0, "Syncing DB to remote temp"));
    EXPECT_FALSE(Exists(f.StageFolder(kAfile)));
    EXPECT_TRUE(f.OthersCanLock(kAfile));

    // Nor does the pruner's lock request trip over the copy.
    EXPECT_FALSE(f.top->AcquireLock(TestVM(kAfile)).IsError());
    EXPECT_FALSE(f.top->ReleaseLock(TestVM(kAfile)).IsError());
}

TEST_P(CacheDBTest, LockOnlyContainerServesDataOnlyWhileItHoldsTheLock) {
    const VM vm = TestVM(kAfile);
    ASSERT_FALSE(f.top->AcquireLock(vm).IsError());
    EXPECT_EQ(0u, Stagings());
    EXPECT_FALSE(f.OthersCanLock(kAfile));
    CacheDBPtr lockOnly = Container(kAfile);
    // Holding the lock, it stays as it is: nothing is staged.
    EXPECT_EQ(0u, Stagings());
    EXPECT_TRUE(FXErrorUtil::IsInt(f.top->AcquireLock(vm), LBCError::kLockedByAnotherHost));
    EXPECT_EQ(1u, f.top->TEST_ContainerCount()) << "a container holding the lock stays";

    ASSERT_FALSE(f.top->ReleaseLock(vm).IsError());
    EXPECT_TRUE(f.OthersCanLock(kAfile));
    // Held elsewhere without the lock: refused rather than served.
    CZoError err = Get(kAfile, 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();

    lockOnly.reset();
    // Replaced by a staged and locked one.
    err = Get(kAfile, 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
    EXPECT_EQ(1u, Stagings());
    EXPECT_FALSE(f.OthersCanLock(kAfile));
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    // The pruner cannot take it now.
    EXPECT_TRUE(FXErrorUtil::IsInt(f.top->AcquireLock(vm), LBCError::kLockedByAnotherHost));
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
}

TEST_P(CacheDBTest, PrunerLockSequenceTakesReleasesAndDeletesTheLockFile) {
    const VM vm = TestVM(kAfile);
    ASSERT_FALSE(f.top->AcquireLock(vm).IsError());
    EXPECT_TRUE(Exists(f.LocalLockFile(kAfile)));
    ASSERT_FALSE(f.top->ReleaseLock(vm).IsError());
    ASSERT_FALSE(f.top->DeleteLock(vm).IsError());
    EXPECT_FALSE(Exists(f.LocalLockFile(kAfile)));
    std::string path;
    ASSERT_FALSE(f.top->GetCacheDBFilePath(vm, path).IsError());
    EXPECT_EQ(f.AfileFolder(kAfile) + "/afile_cache.db", path);
    EXPECT_EQ(0u, Stagings());
}

TEST_P(CacheDBTest, LockRequestsWithoutAContainer) {
    OtherHostLock other(f, kAfile);
    ASSERT_TRUE(other.Locked());
    // A failed lock attempt leaves no container behind.
    EXPECT_TRUE(FXErrorUtil::IsInt(f.top->AcquireLock(TestVM(kAfile)), LBCError::kLockedByAnotherHost));
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    other.Release();

    // Release without a container: one is made, nothing is released.
    EXPECT_FALSE(f.top->ReleaseLock(TestVM(kAfile)).IsError());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    ASSERT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());

    // Delete without a container takes no lock and deletes nothing.
    WriteWholeFile(f.LocalLockFile(kAfile), "");
    EXPECT_FALSE(f.top->DeleteLock(TestVM(kAfile)).IsError());
    EXPECT_TRUE(Exists(f.LocalLockFile(kAfile)));
    EXPECT_TRUE(f.OthersCanLock(kAfile));
    EXPECT_EQ(0u, Stagings());
}

TEST_P(CacheDBTest, DestroyingTheTopLevelContainerWritesEveryAfileBack) {
    for (long long afile : {11, 12, 13}) Add(TestExtent(afile, 0));
    EXPECT_EQ(3u, f.top->TEST_ContainerCount());
    f.top.reset();
    for (long long afile : {11, 12, 13}) {
        EXPECT_EQ(1, CountRows(f.LocalDBFile(afile), "Extents")) << afile;
        EXPECT_TRUE(f.OthersCanLock(afile)) << afile;
    }
}

TEST_P(CacheDBTest, RoutedRequestsReachTheirAfileAndReturnTheImplementationsResult) {
    Extent e = TestExtent(kAfile, 512);
    Add(e);
    EXPECT_TRUE(f.top->AddExtent(e).IsError()) << "the duplicate insert's error comes back";
    e.CacheLocation = "loc:C1/f.cache:512:99";
    ASSERT_FALSE(f.top->UpdateExtent(e).IsError());
    Extent row(0, 0, 2, 1, 0);
    ASSERT_FALSE(f.top->GetExtent(KeyOf(e), row).IsError());
    EXPECT_EQ("loc:C1/f.cache:512:99", row.CacheLocation);
    ASSERT_FALSE(f.top->DeleteExtent(e).IsError());
    EXPECT_TRUE(FXErrorUtil::IsInt(f.top->GetExtent(KeyOf(e), row), LBCError::kNotFound));

    VM vm = TestVM(kAfile);
    VM read = TestVM(kAfile);
    EXPECT_TRUE(FXErrorUtil::IsInt(f.top->GetVMJob(read), LBCError::kNotFound));
    ASSERT_FALSE(f.top->InsertVM(vm).IsError());
    EXPECT_TRUE(f.top->InsertVM(vm).IsError());
    vm.ValidityGUID = "renewed";
    ASSERT_FALSE(f.top->UpdateVM(vm).IsError());
    ASSERT_FALSE(f.top->GetVMJob(read).IsError());
    EXPECT_EQ("renewed", read.ValidityGUID);

    // Afile 0 is an afile of its own, not "any afile".
    Extent zero = TestExtent(0, 0);
    Add(zero);
    EXPECT_TRUE(Exists(f.StageFolder(0) + "/afile_cache.db"));
    EXPECT_NE(std::string::npos, f.StageFolder(0).find("afile_0_1_2"));

    // Called on a per-afile container, a routed request acts on it.
    CacheDBPtr own = Container(kAfile);
    ASSERT_FALSE(own->AddExtent(TestExtent(999, 1)).IsError());
    ExtentsParam filter;
    long long count = 0;
    ASSERT_FALSE(own->GetExtentCount(filter, count).IsError());
    EXPECT_EQ(1, count);
    EXPECT_EQ(2u, f.top->TEST_ContainerCount());
}

TEST_P(CacheDBTest, ExtentBatchesComeFromTheAfilesDatabase) {
    for (int i = 0; i < 5; ++i) Add(TestExtent(kAfile, i * 100));
    ExtentsParam filter;
    filter.AfileID = kAfile;
    filter.TessarelID = 2;
    filter.CopyID = 1;
    DBObjectCollection<Extent> batch;
    std::vector<size_t> sizes;
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(f.top->GetExtentsInBatches(filter, 2, batch).IsError());
        sizes.push_back(batch.count());
    }
    EXPECT_EQ((std::vector<size_t>{2, 2, 1, 0}), sizes);
}

TEST_P(CacheDBTest, TopLevelFolderThatCannotBeCreatedFailsInitialize) {
    WriteWholeFile(f.location.Local("blocked"), "a file");
    CacheDB db(CacheDB::DB_TYPE_SQLITE, f.location.Path("blocked/DB"), f.location.Path("blocked/DB"), false, true);
    db.SetRemoteFileIO(f.location.NewIO());
    CZoError err = db.Initialize();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheInitFailed)) << err.AsString();
}

INSTANTIATE_TEST_SUITE_P(Locations, CacheDBTest, ::testing::Bool(), LocationName);

}  // namespace
