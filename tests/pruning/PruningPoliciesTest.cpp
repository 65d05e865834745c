// The pruning pass: retention days, the afile list, the file-indexed and
// least-recently-used policies and the space trigger.

#include "pruning/PruningTestSupport.h"

#include "platform/XKPlatformInfo.h"

#include <list>
#include <string>
#include <vector>

using namespace pruning_test;

namespace {

TEST(PruningPoliciesTest, RetentionBoundaries) {
    struct Case {
        const char* name;
        long long retentionSetting;  // -1: not set
        long long age;                        // seconds before now
        bool pruned;
    };
    const Case cases[] = {
        {"seven days and 86399 s stay", -1, 7 * kDay + 86399, false},
        {"eight days go", -1, 8 * kDay, true},
        {"a time in the future stays", -1, -3 * kDay, false},
        {"referenced now stays", -1, 0, false},
        {"a setting of 0 means seven days", 0, 8 * kDay - 1, false},
        {"a setting of 0 prunes at eight days", 0, 8 * kDay, true},
        {"three days configured, four days go", 3, 4 * kDay, true},
        {"three days configured, three days stay", 3, 3 * kDay + 100, false},
        // Out of the 32-bit range the setting counts as absent, never as its low bits.
        {"2^32 days means seven days: two days stay", 1LL << 32, 2 * kDay, false},
        {"2^32 + 3 days means seven days: five days stay", (1LL << 32) + 3, 5 * kDay, false},
        {"2^32 days means seven days: eight days go", 1LL << 32, 8 * kDay, true},
        {"2^32 - 1 days is in range: eight days stay", (1LL << 32) - 1, 8 * kDay, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PruningLocation location;
        if (c.retentionSetting >= 0)
            XKPlatformInfo::TEST_SetNumber(kKey, "nLiveBrowseCacheMaxDaysRetention",
                                           static_cast<unsigned long long>(c.retentionSetting));
        location.AddJob(812, c.age);
        CachePrunerPtr pruner = location.MakePruner();

        pruner->PruneJobs();

        if (c.pruned) {
            location.ExpectPruned(812);
            EXPECT_EQ(1u, location.db.log->Count(0, "Total items pruned [1] Total bytes pruned [4 KB]"));
        } else {
            location.ExpectUntouched(812);
            EXPECT_EQ(0u, location.db.log->Count(0, "Total items pruned"));
        }
    }
}

// Folders above the location whose names start with "afile" change nothing:
// the old job goes and only it, the young one of another afile stays.
TEST(PruningPoliciesTest, ALocationBelowAfileLikeFoldersIsPrunedByItsOwnAfileFolders) {
    for (const char* base : {"afiles/cache", "afile_2024_01_05"}) {
        SCOPED_TRACE(base);
        PruningLocation location(false, base);
        location.AddJob(812, 8 * kDay);
        location.AddJob(2024, 0);
        CachePrunerPtr pruner = location.MakePruner();

        pruner->PruneJobs();

        location.ExpectPruned(812);
        location.ExpectUntouched(2024);
        EXPECT_EQ(0u, location.db.log->Count(-1, "Failed to prune"));
    }
}

TEST(PruningPoliciesTest, DaysSinceAReference) {
    PruningLocation location;
    const long long now = location.now;
    EXPECT_EQ(0u, CachePruner::ConvertTimeToDays(static_cast<long>(now)));
    EXPECT_EQ(0u, CachePruner::ConvertTimeToDays(static_cast<long>(now + 5 * kDay)));
    EXPECT_EQ(0u, CachePruner::ConvertTimeToDays(static_cast<long>(now - kDay + 1)));
    EXPECT_EQ(1u, CachePruner::ConvertTimeToDays(static_cast<long>(now - kDay)));
    EXPECT_EQ(7u, CachePruner::ConvertTimeToDays(static_cast<long>(now - 8 * kDay + 1)));
}

TEST(PruningPoliciesTest, AListedAfileIsPrunedOnceAndTheValueIsDeleted) {
    PruningLocation location;
    location.AddJob(812, 0);
    location.AddJob(813, 0);
    XKPlatformInfo::TEST_SetList(kKey, "sTestLiveBrowseCachePruneAfiles", {"812", "99"});
    CachePrunerPtr pruner = location.MakePruner();

    pruner->PruneJobs();

    location.ExpectPruned(812);
    location.ExpectUntouched(813);
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kKey, "sTestLiveBrowseCachePruneAfiles"));
    EXPECT_EQ(1u, location.db.log->Count(0, "Afile [812] will be pruned"));
    EXPECT_EQ(1u, location.db.log->Count(0, "Afile [99] will be pruned"));
}

TEST(PruningPoliciesTest, AfileListEntriesAreReadByTheirLeadingNumber) {
    PruningLocation location;
    XKPlatformInfo::TEST_SetList(kKey, "sTestLiveBrowseCachePruneAfiles", {"letters", "  +812abc", "-5", "77 88"});
    std::set<long long> afiles;
    CachePruner::GetAfilesToPruneFromRegistry(afiles);
    EXPECT_EQ((std::set<long long>{-5, 0, 77, 812}), afiles);
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kKey, "sTestLiveBrowseCachePruneAfiles"));

    afiles.clear();
    CachePruner::GetAfilesToPruneFromRegistry(afiles);  // absent: nothing, nothing deleted
    EXPECT_TRUE(afiles.empty());
}

TEST(PruningPoliciesTest, FileIndexedJobsArePrunedWhenTheArchiveManagerSaysSo) {
    PruningLocation location;
    location.AddJob(812, 0);
    location.AddJob(813, 0);
    location.AddJob(814, 0);
    GetAfileInfoRetTR_t indexed;
    indexed.flags = 0x40 | 0x1;
    ArMgrClientAPI::TEST_SetAfileInfo(812, indexed);
    GetAfileInfoRetTR_t notIndexed;
    notIndexed.flags = 0x1;
    ArMgrClientAPI::TEST_SetAfileInfo(813, notIndexed);
    XKTessaRel::TEST_SetCellId(kCell, 4242);
    CachePrunerPtr pruner = location.MakePruner();

    std::list<VM> vms;
    for (long long afile : {812LL, 813LL, 814LL})
        vms.push_back(VM(kCell, kCopy, afile, "vm-guid", 0, location.now, "validity"));
    vms.push_back(VM(kCell, kCopy, 815, "vm-guid", 0, location.now, ""));  // no GUID: passed over
    unsigned int items = 0;
    long long bytes = 0;
    ASSERT_FALSE(pruner->PruneFileIndexedJobs(vms, items, bytes).IsError());
    pruner->WaitForAllPruningTasks();

    EXPECT_EQ(1u, items);
    EXPECT_EQ(4096, bytes);
    location.ExpectPruned(812);
    location.ExpectUntouched(813);
    location.ExpectUntouched(814);
    EXPECT_EQ(3, ArMgrClientAPI::TEST_Calls());
    EXPECT_EQ(4242u, ArMgrClientAPI::TEST_LastArgs().tessaRelId);

    // An unreachable archive manager: nothing counts as indexed, nothing is logged.
    ArMgrClientAPI::TEST_SetFailure(5);
    items = 0;
    ASSERT_FALSE(pruner->PruneFileIndexedJobs(vms, items, bytes).IsError());
    EXPECT_EQ(0u, items);
    EXPECT_EQ(0u, location.db.log->Count(-1, "Failed to check if file indexing"));
}

TEST(PruningPoliciesTest, LeastReferencedWalkStopsAtTheGoalOrARecentJob) {
    PruningLocation location;
    for (long long afile : {812LL, 813LL, 814LL}) location.AddJob(afile, 0);
    CachePrunerPtr pruner = location.MakePruner();
    const long long old = location.now - 10 * kDay;
    std::list<VM> vms = {VM(kCell, kCopy, 812, "g", 0, old, "v"), VM(kCell, kCopy, 813, "g", 0, old, "v"),
                         VM(kCell, kCopy, 814, "g", 0, old, "v")};

    // Goal 0 (TRIGGER_ALWAYS): one job at most.
    unsigned int items = 0;
    long long bytes = 0;
    ASSERT_FALSE(pruner->PruneJobsUsingLRU(vms, 0, items, bytes).IsError());
    pruner->WaitForAllPruningTasks();
    EXPECT_EQ(1u, items);
    location.ExpectPruned(812);
    location.ExpectUntouched(813);

    // A job referenced within the last day ends the walk, older ones after it included.
    std::list<VM> recentFirst = {VM(kCell, kCopy, 813, "g", 0, location.now - 100, "v"),
                                 VM(kCell, kCopy, 814, "g", 0, old, "v")};
    items = 0;
    bytes = 0;
    ASSERT_FALSE(pruner->PruneJobsUsingLRU(recentFirst, 1 << 30, items, bytes).IsError());
    EXPECT_EQ(0u, items);
    EXPECT_EQ(1u, location.db.log->Count(2, "Skip pruning for cache items that have been referenced within the last 1 day"));

    // A goal beyond one file's size takes the next as well.
    items = 0;
    bytes = 0;
    std::list<VM> rest = {VM(kCell, kCopy, 813, "g", 0, old, "v"), VM(kCell, kCopy, 814, "g", 0, old, "v")};
    ASSERT_FALSE(pruner->PruneJobsUsingLRU(rest, 4097, items, bytes).IsError());
    pruner->WaitForAllPruningTasks();
    EXPECT_EQ(2u, items);
    EXPECT_EQ(8192, bytes);
    location.ExpectPruned(813);
    location.ExpectPruned(814);
}

TEST(PruningPoliciesTest, SpaceTargetFromGivenStatistics) {
    struct Case {
        const char* name;
        unsigned long long available, total, cacheSize;
        long long bytesToPrune;
    };
    const Case cases[] = {
        {"20 % available is due: down to 70 % of the total", 200, 1000, 900, 200},
        {"21 % available is not due", 210, 1000, 900, 0},
        {"a cache size at the target prunes nothing", 100, 1000, 700, 0},
        {"over its limit: 0 % available, down to 70 % of the limit", 0, 1000, 1200, 500},
        {"a total of 0 is not due", 0, 0, 5000, 0},
        {"more available than the total is not due", 2000, 1000, 900, 0},
        {"large volumes", 1ULL << 40, 10ULL << 40, 9ULL << 40, (9LL << 40) - 7 * (1LL << 40)},
    };
    PruningLocation location;
    CachePrunerPtr pruner = location.MakePruner();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cache::CacheSpaceStats stats;
        stats.available = c.available;
        stats.total = c.total;
        stats.cacheSize = c.cacheSize;
        CachePruner::PruningParams params;
        ASSERT_FALSE(pruner->GetBytesToPrune(stats, params).IsError());
        EXPECT_EQ(c.bytesToPrune, params.bytesToPrune);
    }
    EXPECT_EQ(1u, location.db.log->Count(
                      2, "Cache size is within limit threshold. But we will block cache writes since disk space is near full."));
    EXPECT_EQ(1u, location.db.log->Count(0, "is reported as 0"));
}

TEST(PruningPoliciesTest, TheSpaceTriggerRunsItsConfigurationOnlyWhenTheCacheIsNearFull) {
    PruningLocation location;
    location.AddJob(812, 0, Payload(9000, 1));
    CachePrunerPtr pruner = location.MakePruner();
    pruner->AddConfiguration(CachePruner::TRIGGER_ON_SPACE_THRESHOLD_REACHED,
                             CachePruner::LEAST_REFERENCED_AFILEID_BASED_PRUNING);

    location.cache->SetMaxCacheSize(100000);  // 91 % available
    pruner->PruneJobs();
    EXPECT_EQ(1u, location.db.log->Count(4, "Pruning not needed yet. [Policy [LEAST_REFERENCED_AFILEID_BASED_PRUNING]"));

    location.cache->SetMaxCacheSize(10000);  // 10 % available: 9000 - 7000 to prune
    pruner->PruneJobs();
    EXPECT_EQ(1u, location.db.log->Count(0, "Policy [LEAST_REFERENCED_AFILEID_BASED_PRUNING] Pruning [1 KB] ..."));
    // The location-wide listing carries no validity GUIDs: nothing to choose.
    EXPECT_EQ(1u, location.db.log->Count(0, "No pruning candidates found"));
    location.ExpectUntouched(812, Payload(9000, 1));
}

}  // namespace
