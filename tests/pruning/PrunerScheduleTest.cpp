// The pruner thread's schedule: ticks made through the thread's test hook,
// time moved through the clock seam.

#include "pruning/PruningTestSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/LoopbackFS.h"
#include "platform/XKPlatformInfo.h"

#include <string>

using namespace pruning_test;

namespace {

const char kPassLine[] = "Performing pruning for [Policy [DAYS_BASED_PRUNING], Trigger Criteria [TRIGGER_ALWAYS]]";

class PrunerScheduleTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (location.pruner) location.pruner->Stop(true);
    }

    // Moves the clock on, then one tick on the pruner thread.
    void TickAfter(long long seconds) {
        SystemClock::TEST_AdvanceSeconds(seconds);
        ASSERT_TRUE(location.pruner->TEST_TickNow(true));
    }
    size_t Passes() { return location.db.log->Count(4, kPassLine); }
    size_t StatsLines(const std::string& text) { return location.db.log->Count(0, text); }

    PruningLocation location;
};

TEST_F(PrunerScheduleTest, ReleasesEveryTickAndPassesOnceTheIntervalIsReached) {
    location.AddJob(812, 0);
    VM row = PruningLocation::Job(812);
    ASSERT_FALSE(location.db.top->GetVMJob(row).IsError());  // a container in use
    ASSERT_EQ(1u, location.db.top->TEST_ContainerCount());
    location.MakePruner();
    ASSERT_TRUE(location.pruner->Start());

    TickAfter(30);
    EXPECT_EQ(0u, location.db.top->TEST_ContainerCount());
    EXPECT_EQ(1u, location.db.log->Count(0, "Releasing cache container ["));
    EXPECT_EQ(0u, Passes());

    TickAfter(269);
    EXPECT_EQ(0u, Passes());
    TickAfter(1);
    EXPECT_EQ(1u, Passes());
    // The first pass logs the whole cache as its growth.
    const std::string prefix = "[LBC - " + location.cache->description() + "] Stats: ";
    EXPECT_EQ(1u, StatsLines(prefix + "Cache Size change [4 KB], Total cache size [4 KB]"));

    // A shrink writes nothing; growth is measured from the largest size logged.
    WriteWholeFile(location.FlatFile(812), Payload(1024, 3));
    TickAfter(300);
    EXPECT_EQ(2u, Passes());
    EXPECT_EQ(1u, location.db.log->Count(0, "Stats: Cache Size change"));
    WriteWholeFile(location.FlatFile(812), Payload(6144, 3));
    TickAfter(300);
    EXPECT_EQ(1u, StatsLines(prefix + "Cache Size change [2 KB], Total cache size [6 KB]"));
}

TEST(PrunerIntervalTest, PruningIntervals) {
    struct Case {
        long long setting;  // -1: not set
        int ticks;          // of 30 seconds each
        size_t passes;
    };
    const Case cases[] = {{-1, 10, 1}, {-1, 9, 0}, {0, 5, 5}, {100, 8, 2}, {600, 20, 1}, {600, 19, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "interval " << c.setting << ", " << c.ticks << " ticks");
        PruningLocation fresh;
        if (c.setting >= 0)
            XKPlatformInfo::TEST_SetNumber(kKey, "nLBCPruningInterval", static_cast<unsigned long long>(c.setting));
        CachePrunerPtr pruner = fresh.MakePruner();
        ASSERT_TRUE(pruner->Start());
        for (int i = 0; i < c.ticks; ++i) {
            SystemClock::TEST_AdvanceSeconds(30);
            ASSERT_TRUE(pruner->TEST_TickNow(true));
        }
        pruner->Stop(true);
        EXPECT_EQ(c.passes, fresh.db.log->Count(4, kPassLine));
    }
}

TEST_F(PrunerScheduleTest, TheMaintenanceWindowAfterAPassRemovesEmptyBuckets) {
    location.AddJob(812, 8 * kDay);
    location.MakePruner();
    ASSERT_TRUE(location.pruner->Start());

    TickAfter(300);
    EXPECT_FALSE(Exists(location.DataFolder(812)));
    EXPECT_FALSE(Exists(location.DataBucket(812)));  // emptied by the pass, removed in the window
    EXPECT_TRUE(IsFolder(location.DataRoot()));
    EXPECT_TRUE(IsFolder(location.DBBucket(812)));  // the window covers the data folder only
    EXPECT_FALSE(location.cache->IsInMaintenance());

    // Not due again for 28800 s: the next pass leaves its empty bucket.
    location.AddJob(813, 8 * kDay);
    TickAfter(300);
    location.ExpectPruned(813);
}

TEST(PrunerAvailabilityTest, AnUnavailableCacheIsCheckedOnEveryTick) {
    PruningLocation location(true);
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    CacheItemPtr item;
    EXPECT_TRUE(
        FXErrorUtil::IsInt(location.cache->CreateItem(MakeExtent(812, 0), "validity", Cache::INTENDED_OP_WRITE, item),
                           LBCError::kCacheUnavailable));
    ASSERT_TRUE(location.cache->IsUnavailable());
    location.MakePruner();
    ASSERT_TRUE(location.pruner->Start());

    SystemClock::TEST_AdvanceSeconds(1);
    ASSERT_TRUE(location.pruner->TEST_TickNow(true));
    EXPECT_EQ(1u, location.db.log->Count(2, "Cache path continues to be offline [" + location.cache->GetCacheDataFolderPath() + "]"));
    EXPECT_TRUE(location.cache->IsUnavailable());

    LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);
    ASSERT_TRUE(location.pruner->TEST_TickNow(true));
    EXPECT_EQ(1u, location.db.log->Count(0, "Marking cache path available [" + location.cache->GetCacheDataFolderPath() + "]"));
    EXPECT_FALSE(location.cache->IsUnavailable());
    location.pruner->Stop(true);
}

}  // namespace
