// The pruner thread's tick: the pruning pass once per pruning interval (with
// the cache's growth logged first), the release of idle database containers
// every release interval, the maintenance window for empty folders after each
// pass, and on every tick an attempt to bring an unavailable cache back.
//
// Runs on the pruner thread only; the schedule's fields are its own.

#include "pruning/CachePruner.h"

#include "foundation/LogWriter.h"
#include "platform/SystemClock.h"
#include "store/LiveBrowseCacheUtility.h"

#include <cstdint>

namespace {
const int kEmptyFolderBudgetMs = 10000;
}  // namespace

void CachePruner::OnTimeout() {
    if (!cache || !cacheDB) return;
    const time_t now = SystemClock::Time();
    // Both decisions, and both stamps, before any duty: each interval runs
    // from the start of one tick's duties to the start of the next.
    const bool passDue = static_cast<int64_t>(now) - static_cast<int64_t>(lastPruneTime) >= pruneIntervalSecs;
    if (passDue) lastPruneTime = now;
    const bool releaseDue =
        static_cast<int64_t>(now) - static_cast<int64_t>(lastReleaseTime) >= releaseIntervalSecs;
    if (releaseDue) lastReleaseTime = now;

    if (passDue) {
        LogCacheGrowth();
        PruneJobs();
    }
    if (releaseDue) ReleaseIdleResources();
    if (passDue && cache->SetCacheInMaintenance(true)) {
        PruneEmptyFolders();
        if (!cache->SetCacheInMaintenance(false)) LBC_LOG(-1, "Failed to mark maintenance complete");
    }
    if (cache->IsUnavailable()) CheckCacheAvailability();
}

void CachePruner::LogCacheGrowth() {
    Cache::CacheSpaceStats stats;
    cache->GetCacheSpaceUsageStats(stats);  // a figure it could not read stays 0
    // Measured against the largest size logged so far, not the last pass's.
    if (stats.cacheSize <= lastSpaceStats.cacheSize) return;
    LBC_LOG_STATS("[LBC - %s] Stats: Cache Size change [%s], Total cache size [%s]", cache->description().c_str(),
                  LiveBrowseCacheUtility::GetBytesAsUnits(stats.cacheSize - lastSpaceStats.cacheSize).c_str(),
                  LiveBrowseCacheUtility::GetBytesAsUnits(stats.cacheSize).c_str());
    lastSpaceStats = stats;
}

void CachePruner::PruneEmptyFolders() {
    CZoError err = cache->DeleteEmptyFolders(kEmptyFolderBudgetMs);
    if (err.IsError()) LBC_LOG(-1, "Error deleting empty folders in cache, error [%s]", err.AsString().c_str());
}

void CachePruner::CheckCacheAvailability() {
    bool available = false;
    CZoError err = cache->CheckAvailibility(available);
    if (err.IsError())
        LBC_LOG(-1, "Failed to check connectivity for cache [%s]", cache->GetCacheDataFolderPath().c_str());
    if (available) {
        LBC_LOG(0, "Marking cache path available [%s]", cache->GetCacheDataFolderPath().c_str());
        cache->MarkAvailable();
    } else {
        LBC_LOG(2, "Cache path continues to be offline [%s]", cache->GetCacheDataFolderPath().c_str());
    }
}
