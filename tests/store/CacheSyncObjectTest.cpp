// The write/prune registry: admission of extent writes, the VMs being pruned,
// and its exclusion of writes and maintenance windows.

#include "store/CacheSyncObject.h"

#include "CacheTestSupport.h"
#include "foundation/PerfCounters.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "store/Cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class CacheSyncObjectTest : public testing::Test {
protected:
    void SetUp() override {
        XKPlatformInfo::TEST_Clear();
        TestLocation loc = TestLocation::Make(dir, false);
        cache = MakeCache(loc);
        lookup.reset(new ScopedCacheLookup(cache));
        previousCounters = LoadLBCPerfCounters();
        counters = boost::make_shared<LBCPerfCounters>();
        StoreLBCPerfCounters(counters);
    }
    void TearDown() override {
        log.Uninstall();
        StoreLBCPerfCounters(previousCounters);
        lookup.reset();
        SystemClock::TEST_Reset();
        XKPlatformInfo::TEST_Clear();
    }

    TempDir dir;
    CachePtr cache;
    std::unique_ptr<ScopedCacheLookup> lookup;
    boost::shared_ptr<LBCPerfCounters> previousCounters;
    boost::shared_ptr<LBCPerfCounters> counters;
    ScopedLogCapture log;
};

TEST_F(CacheSyncObjectTest, OneWriteOfAnExtentAtATime) {
    ExtentPtr extent = MakeExtent(812, 4096);
    const std::string key = extent->AsUniqueKey();
    EXPECT_EQ("812_4096_1_2", key);

    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
    EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent));
    EXPECT_EQ(1, log->Count(5, "Extent write begin for " + key));
    EXPECT_TRUE(CCacheSyncObject::IsExtentWriteInProgress());
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(extent));
    EXPECT_EQ(1, log->Count(0, "Extent write is in progress for " + key));

    CCacheSyncObject::ExtentWriteDone(extent);
    EXPECT_EQ(1, log->Count(5, "Extent write done for " + key));
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
    EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent));
    CCacheSyncObject::ExtentWriteDone(extent);
}

TEST_F(CacheSyncObjectTest, TheKeyIgnoresJobAndFlags) {
    ExtentPtr first = MakeExtent(812, 4096, 2, 1, 900);
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(first));

    ExtentPtr otherJob = MakeExtent(812, 4096, 2, 1, 901);
    ExtentPtr partial = MakeExtent(812, 4096, 2, 1, 900);
    partial->Flags = 2;
    partial->CacheLocation = "loc:x:0:1";
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(otherJob));
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(partial));

    const ExtentPtr independent[] = {MakeExtent(812, 8192), MakeExtent(812, 4096, 2, 3), MakeExtent(813, 4096),
                                     MakeExtent(812, 4096, 5, 1)};
    for (const ExtentPtr& extent : independent) {
        EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent)) << extent->AsUniqueKey();
        CCacheSyncObject::ExtentWriteDone(extent);
    }
    // Done for another job of the same extent ends the registration too.
    CCacheSyncObject::ExtentWriteDone(otherJob);
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
}

TEST_F(CacheSyncObjectTest, SimultaneousWritesIsAHighWaterMark) {
    ExtentPtr a = MakeExtent(1, 0), b = MakeExtent(1, 1), c = MakeExtent(1, 2), d = MakeExtent(1, 3);
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(a));
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(b));
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(c));
    CCacheSyncObject::ExtentWriteDone(a);
    CCacheSyncObject::ExtentWriteDone(b);
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(d));
    EXPECT_EQ(3u, counters->simultaneousWrites.load());
    CCacheSyncObject::ExtentWriteDone(c);
    CCacheSyncObject::ExtentWriteDone(d);
    EXPECT_EQ(3u, counters->simultaneousWrites.load());
}

TEST_F(CacheSyncObjectTest, DoneOfAnUnregisteredExtentOnlyTimesTheLock) {
    const long long job = 424242;
    const long long before = GetPerJobPerfCounters(job)->lockWrite->GetTimer().GetTotalSamples();
    CCacheSyncObject::ExtentWriteDone(MakeExtent(5, 5, 2, 1, job));
    EXPECT_EQ(before + 1, GetPerJobPerfCounters(job)->lockWrite->GetTimer().GetTotalSamples());
    EXPECT_EQ(0, log->CountAny("Extent write done"));
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
}

TEST_F(CacheSyncObjectTest, MaintenanceRefusesWritesSilently) {
    SystemClock::TEST_Freeze(1700000000);
    ASSERT_TRUE(cache->SetCacheInMaintenance(true));
    const size_t lines = log->Size();
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(MakeExtent(812, 0)));
    EXPECT_EQ(lines, log->Size());
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
    EXPECT_EQ(0u, counters->simultaneousWrites.load());
    cache->SetCacheInMaintenance(false);
    EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(MakeExtent(812, 0)));
    CCacheSyncObject::ExtentWriteDone(MakeExtent(812, 0));
}

TEST_F(CacheSyncObjectTest, NoCacheNoWrite) {
    ScopedCacheLookup none((CachePtr()));
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(MakeExtent(812, 0)));
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(ExtentConstPtr()));
}

// Given the cache it writes to, the admission judges that cache and resolves
// nothing: no lookup answers here.
TEST_F(CacheSyncObjectTest, AGivenCacheIsTheOneJudged) {
    ScopedCacheLookup none((CachePtr()));
    ExtentPtr extent = MakeExtent(812, 0);
    EXPECT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent, cache));
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(extent, cache));
    CCacheSyncObject::ExtentWriteDone(extent);

    SystemClock::TEST_Freeze(1700000000);
    ASSERT_TRUE(cache->SetCacheInMaintenance(true));
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(extent, cache));
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
    cache->SetCacheInMaintenance(false);
    EXPECT_FALSE(CCacheSyncObject::ExtentWriteBegin(extent, CachePtr()));
}

TEST_F(CacheSyncObjectTest, ExecuteRunsUnderTheRecursiveLock) {
    EXPECT_TRUE(CCacheSyncObject::Execute([] { return true; }));
    EXPECT_FALSE(CCacheSyncObject::Execute([] { return false; }));
    EXPECT_FALSE(CCacheSyncObject::Execute(std::function<bool()>()));

    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(MakeExtent(7, 0)));
    // Recursive: the same thread takes it again inside.
    EXPECT_TRUE(CCacheSyncObject::Execute([] { return CCacheSyncObject::IsExtentWriteInProgress(); }));
    CCacheSyncObject::ExtentWriteDone(MakeExtent(7, 0));

    // Another thread waits while the lock is held.
    std::atomic<bool> ran{false};
    std::thread other;
    CCacheSyncObject::Execute([&] {
        other = std::thread([&] { CCacheSyncObject::Execute([&] { return ran = true; }); });
        // Held for a moment: the other thread cannot have run yet.
        for (int i = 0; i < 1000; ++i) std::this_thread::yield();
        EXPECT_FALSE(ran.load());
        return true;
    });
    other.join();
    EXPECT_TRUE(ran.load());
}

TEST_F(CacheSyncObjectTest, VMMarksLastAsLongAsTheirHolder) {
    VMPtr vm = boost::make_shared<VM>(2, 1, 812, "vm-a", 900, 10, "g");
    VMPtr sameIds = boost::make_shared<VM>(2, 1, 812, "vm-b", 77, 99, "other");
    VMPtr otherVm = boost::make_shared<VM>(2, 1, 813, "vm-a", 900, 10, "g");
    {
        CCacheSyncObject pruning(vm);
        EXPECT_FALSE(pruning.IsVMInPruning());
        pruning.MarkVMInPruning();
        EXPECT_TRUE(pruning.IsVMInPruning());
        {
            // A second holder on the same thread: the lock is recursive.
            CCacheSyncObject writer(sameIds);
            EXPECT_TRUE(writer.IsVMInPruning());
            CCacheSyncObject unrelated(otherVm);
            EXPECT_FALSE(unrelated.IsVMInPruning());
        }
        // Holders that marked nothing leave the mark alone.
        EXPECT_TRUE(pruning.IsVMInPruning());

        // An extent holder's VM is the extent's identity.
        CCacheSyncObject extentHolder(MakeExtent(812, 4096, 2, 1, 5), false);
        EXPECT_TRUE(extentHolder.IsVMInPruning());
    }
    CCacheSyncObject after(sameIds);
    EXPECT_FALSE(after.IsVMInPruning());

    after.MarkVMInPruning();
    after.DoneVMPruningProcessing();
    EXPECT_FALSE(after.IsVMInPruning());
}

TEST_F(CacheSyncObjectTest, AMarkCoversOnlyTheLocationItNames) {
    VMPtr vm = boost::make_shared<VM>(2, 1, 812, "vm-a", 900, 10, "g");
    VMPtr sameIds = boost::make_shared<VM>(2, 1, 812, "vm-b", 77, 99, "other");
    {
        CCacheSyncObject pruning(vm, "/mnt/P/DATA");
        pruning.MarkVMInPruning();
        CCacheSyncObject samePlace(sameIds, "/mnt/P/DATA");
        EXPECT_TRUE(samePlace.IsVMInPruning());
        // The same afile copy cached at another location after a remap.
        CCacheSyncObject elsewhere(sameIds, "/mnt/Q/DATA");
        EXPECT_FALSE(elsewhere.IsVMInPruning());
        EXPECT_FALSE(CCacheSyncObject::IsVMInPruning(sameIds, std::string()));

        // Two pruners of the copy, one per location: each mark goes with its own holder.
        {
            CCacheSyncObject other(sameIds, "/mnt/Q/DATA");
            other.MarkVMInPruning();
            EXPECT_TRUE(elsewhere.IsVMInPruning());
        }
        EXPECT_FALSE(elsewhere.IsVMInPruning());
        EXPECT_TRUE(samePlace.IsVMInPruning());
    }
    EXPECT_FALSE(CCacheSyncObject::Execute([&] { return CCacheSyncObject::IsVMInPruning(vm, "/mnt/P/DATA"); }));
}

TEST_F(CacheSyncObjectTest, VMHolderWaitsForAWriteAdmissionOnAnotherThread) {
    VMPtr vm = boost::make_shared<VM>(2, 1, 812, "vm", 900, 0, "g");
    std::mutex m;
    std::condition_variable cv;
    bool marked = false, release = false;
    std::thread pruner([&] {
        CCacheSyncObject holder(vm);
        holder.MarkVMInPruning();
        std::unique_lock<std::mutex> guard(m);
        marked = true;
        cv.notify_all();
        cv.wait(guard, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> guard(m);
        cv.wait(guard, [&] { return marked; });
    }
    std::atomic<bool> sawMark{true};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        // Waits for the pruner's holder; sees the mark gone once it has it.
        CCacheSyncObject holder(MakeExtent(812, 0, 2, 1, 900), false);
        sawMark = holder.IsVMInPruning();
        done = true;
    });
    EXPECT_FALSE(done.load());
    {
        std::lock_guard<std::mutex> guard(m);
        release = true;
    }
    cv.notify_all();
    pruner.join();
    writer.join();
    EXPECT_FALSE(sawMark.load());
}

TEST_F(CacheSyncObjectTest, SixteenThreadsRacingOnOneKeyAdmitExactlyOne) {
    const int kThreads = 16;
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::atomic<int> admitted{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                ExtentPtr extent = MakeExtent(812, 65536, 2, 1, 900 + t);
                extent->Flags = 1 + t % 2;
                ++ready;
                while (!go.load()) std::this_thread::yield();
                if (CCacheSyncObject::ExtentWriteBegin(extent)) ++admitted;
            });
        while (ready.load() != kThreads) std::this_thread::yield();
        go = true;
        for (std::thread& t : threads) t.join();
        ASSERT_EQ(1, admitted.load()) << "round " << round;
        EXPECT_EQ(kThreads - 1, log->Count(0, "Extent write is in progress for 812_65536_1_2") - round * (kThreads - 1));
        CCacheSyncObject::ExtentWriteDone(MakeExtent(812, 65536));
    }
}

TEST_F(CacheSyncObjectTest, WritesAndMaintenanceWindowsNeverOverlap) {
    XKPlatformInfo::TEST_SetNumber("VirtualServer", "nLiveBrowseCacheMinMaintenanceInSecs", 0);
    cache->RefreshConfiguration();
    log.Uninstall();  // keep thousands of lines out of memory

    std::atomic<bool> stop{false};
    std::atomic<int> overlaps{0};
    std::atomic<int> windows{0};
    std::atomic<int> writes{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                ExtentPtr extent = MakeExtent(812, t * 1000000 + i);
                if (!CCacheSyncObject::ExtentWriteBegin(extent)) continue;
                ++writes;
                if (cache->IsInMaintenance()) ++overlaps;
                CCacheSyncObject::ExtentWriteDone(extent);
                std::this_thread::yield();
            }
        });
    std::thread pruner([&] {
        while (windows.load() < 200 || writes.load() < 200) {
            if (!cache->SetCacheInMaintenance(true)) continue;
            ++windows;
            if (!CCacheSyncObject::Execute([] { return !CCacheSyncObject::IsExtentWriteInProgress(); })) ++overlaps;
            cache->SetCacheInMaintenance(false);
        }
        stop = true;
    });
    pruner.join();
    for (std::thread& t : writers) t.join();
    EXPECT_EQ(0, overlaps.load());
    EXPECT_FALSE(CCacheSyncObject::IsExtentWriteInProgress());
}

}  // namespace
