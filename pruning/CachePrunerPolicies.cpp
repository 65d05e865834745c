// One pruning pass: for each configuration, in policy order, the space
// trigger decides whether it is due, the location's VM jobs are listed, the
// policy picks candidates and hands each to the pruning of one VM job, and
// the pass waits for every deletion of that configuration before the next.
//
// Runs on the pruner thread only and takes no lock of its own.

#include "pruning/CachePruner.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "metadb/CacheDB.h"
#include "platform/ArMgrClientAPI.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "platform/XKTessaRel.h"
#include "store/LiveBrowseCacheUtility.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
const char kConfigKey[] = "VirtualServer";
const char kPruneAfilesName[] = "sTestLiveBrowseCachePruneAfiles";
const int kRetryAfterSeconds = 30;
const unsigned int kSecondsPerDay = 86400;

std::string Units(long long bytes) {
    return LiveBrowseCacheUtility::GetBytesAsUnits(static_cast<unsigned long long>(bytes));
}
}  // namespace

void CachePruner::PruneJobs() {
    unsigned int totalItems = 0;
    long long totalBytes = 0;
    for (const Configuration& configuration : GetConfigurations()) {
        LBC_LOG(4, "Performing pruning for [%s]", description(configuration).c_str());
        unsigned int items = 0;
        long long bytes = 0;
        CZoError err = PruneJobs(configuration, items, bytes);
        if (err.IsError()) LBC_LOG(-1, "Failed to prune, error=%s", err.AsString().c_str());
        totalItems += items;
        totalBytes += bytes;
        // The next configuration's space check and listing see this one's effect.
        WaitForAllPruningTasks();
    }
    if (totalItems != 0 || totalBytes > 0)
        LBC_LOG(0, "Total items pruned [%u] Total bytes pruned [%s]", totalItems, Units(totalBytes).c_str());
}

CZoError CachePruner::PruneJobs(const Configuration& configuration, unsigned int& itemsPruned,
                                long long& bytesPruned) {
    if (!cache || !cacheDB)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoDatabaseImplementation, "Pruner without a cache location");
    PruningParams params;
    bool needed = false;
    CZoError err = CheckIfPruningNeeded(configuration, needed, params);
    if (err.IsError())
        return err.Push(FXLOC, "Failed to check if pruning is needed or not, error=%s", err.AsString().c_str());
    if (!needed) {
        LBC_LOG(4, "Pruning not needed yet. [%s]", description(configuration).c_str());
        return CZoError::Success();
    }
    const bool onSpace = configuration.trigger == TRIGGER_ON_SPACE_THRESHOLD_REACHED;
    if (onSpace)
        LBC_LOG(0, "Policy [%s] Pruning [%s] ...", GetPolicyName(configuration.policy).c_str(),
                Units(params.bytesToPrune).c_str());

    std::list<VM> vms;
    err = cacheDB->GetVMJobs(vms);
    if (err.IsError())
        return err.Push(FXLOC, "Failed during pruning. Will try again after %d seconds, error=%s", kRetryAfterSeconds,
                        err.AsString().c_str());

    CZoError policyResult;
    switch (configuration.policy) {
        case DAYS_BASED_PRUNING:
            policyResult = PruneOldJobs(vms, itemsPruned, bytesPruned);
            break;
        case FILE_INDEXED_JOB_STATUS_BASED_PRUNING:
            policyResult = PruneFileIndexedJobs(vms, itemsPruned, bytesPruned);
            break;
        case LEAST_REFERENCED_AFILEID_BASED_PRUNING:
            policyResult = PruneJobsUsingLRU(vms, params.bytesToPrune, itemsPruned, bytesPruned);
            break;
    }

    if (itemsPruned != 0 || bytesPruned > 0)
        LBC_LOG(0, "Items pruned [%u] Bytes pruned [%s]", itemsPruned, Units(bytesPruned).c_str());
    else if (onSpace)
        LBC_LOG(0, "No pruning candidates found");

    if (policyResult.IsError()) return policyResult.Push(FXLOC);
    return CZoError::Success();
}

CZoError CachePruner::CheckIfPruningNeeded(const Configuration& configuration, bool& needed,
                                           PruningParams& params) {
    needed = false;
    switch (configuration.trigger) {
        case TRIGGER_ALWAYS:
            needed = true;
            break;
        case TRIGGER_ON_SPACE_THRESHOLD_REACHED: {
            CZoError err = GetBytesToPrune(params);
            if (err.IsError()) return err.Push(FXLOC);
            needed = params.bytesToPrune > 0;
            break;
        }
    }
    return CZoError::Success();
}

CZoError CachePruner::GetBytesToPrune(PruningParams& params) {
    Cache::CacheSpaceStats stats;
    CZoError err = cache->GetCacheSpaceUsageStats(stats);
    if (err.IsError()) return err.Push(FXLOC);
    err = GetBytesToPrune(stats, params);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CachePruner::GetBytesToPrune(const Cache::CacheSpaceStats& stats, PruningParams& params) const {
    if (stats.total == 0) {
        // A quotient with no finite value: never read it as 0 % and prune everything.
        LBC_LOG(0, "Total space of cache [%s] is reported as 0; pruning for space is not due",
                cache ? cache->description().c_str() : "");
        return CZoError::Success();
    }
    const float quotient = static_cast<float>(stats.available) / static_cast<float>(stats.total);
    float product = quotient * 100.0f;
    // More available than the total is not a percentage; the cap also keeps
    // the conversion below defined.
    if (product > 100.0f) product = 100.0f;
    const unsigned int percent = static_cast<unsigned int>(static_cast<int64_t>(product));
    LBC_LOG(3, "Total space available [%s] Current Available percentage [%u%%]",
            LiveBrowseCacheUtility::GetBytesAsUnits(stats.total).c_str(), percent);
    if (percent > GetFullThresholdPercent()) return CZoError::Success();

    const unsigned long long target = (100ULL - GetNotFullThresholdPercent()) * stats.total / 100ULL;
    if (target < stats.cacheSize) {
        params.bytesToPrune = static_cast<long long>(stats.cacheSize - target);
        LBC_LOG(0,
                "Target Cache size to meet desired low threshold [%s] Max cache size [%s] Current cache size [%s] "
                "Bytes to prune [%s]",
                LiveBrowseCacheUtility::GetBytesAsUnits(target).c_str(),
                LiveBrowseCacheUtility::GetBytesAsUnits(stats.total).c_str(),
                LiveBrowseCacheUtility::GetBytesAsUnits(stats.cacheSize).c_str(), Units(params.bytesToPrune).c_str());
    } else {
        LBC_LOG(2, "Cache size is within limit threshold. But we will block cache writes since disk space is near full.");
    }
    if (params.bytesToPrune < 0) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneSizeNegative);
    return CZoError::Success();
}

unsigned int CachePruner::ConvertTimeToDays(long time) {
    const long long now = static_cast<long long>(SystemClock::Time());
    if (static_cast<long long>(time) >= now) return 0;
    const uint32_t elapsed = static_cast<uint32_t>(now) - static_cast<uint32_t>(time);
    return elapsed / kSecondsPerDay;
}

void CachePruner::GetAfilesToPruneFromRegistry(std::set<long long>& afiles) {
    XKPlatformInfo store;
    std::vector<std::string> entries;
    store.getStringList(kConfigKey, kPruneAfilesName, entries, nullptr);
    if (entries.empty()) return;
    for (const std::string& entry : entries) {
        afiles.insert(std::strtoll(entry.c_str(), nullptr, 10));
        LBC_LOG(0, "Afile [%s] will be pruned", entry.c_str());
    }
    store.deleteField(kConfigKey, kPruneAfilesName);
}

CZoError CachePruner::PruneOldJobs(const std::list<VM>& vms, unsigned int& itemsPruned, long long& bytesPruned) {
    std::set<long long> listed;
    GetAfilesToPruneFromRegistry(listed);
    const uint32_t retention = GetNoOfDaysRetention();
    for (const VM& vm : vms) {
        if (ConvertTimeToDays(static_cast<long>(vm.LastReferenceTime)) <= retention && listed.count(vm.AfileID) == 0)
            continue;
        LBC_LOG(0, "Pruning [%s] since it has not been referenced since last %d days ...", vm.description().c_str(),
                static_cast<int>(retention));
        CZoError err = SubmitCandidate(vm, itemsPruned, bytesPruned);
        if (err.IsError()) return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CachePruner::PruneFileIndexedJobs(const std::list<VM>& vms, unsigned int& itemsPruned,
                                           long long& bytesPruned) {
    for (const VM& vm : vms) {
        if (vm.ValidityGUID.empty()) continue;
        bool indexed = false;
        CZoError err = IsFileIndexingRun(vm, indexed);
        if (err.IsError()) {
            LBC_LOG(-1, "Failed to check if file indexing is run for [%s], error=%s", vm.description().c_str(),
                    err.AsString().c_str());
            continue;
        }
        if (!indexed) continue;
        LBC_LOG(0, "Pruning [%s] since File Indexing job has been run for it ...", vm.description().c_str());
        err = SubmitCandidate(vm, itemsPruned, bytesPruned);
        if (err.IsError()) return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CachePruner::PruneJobsUsingLRU(const std::list<VM>& vms, long long bytesToPrune, unsigned int& itemsPruned,
                                        long long& bytesPruned) {
    for (const VM& vm : vms) {
        if (vm.ValidityGUID.empty()) continue;
        if (ConvertTimeToDays(static_cast<long>(vm.LastReferenceTime)) == 0) {
            LBC_LOG(2, "Skip pruning for cache items that have been referenced within the last 1 day");
            break;
        }
        LBC_LOG(0, "Pruning [%s] since it is a LRU pruning candidate ...", vm.description().c_str());
        CZoError err = SubmitCandidate(vm, itemsPruned, bytesPruned);
        if (err.IsError()) return err.Push(FXLOC);
        if (bytesToPrune <= bytesPruned) break;
    }
    return CZoError::Success();
}

CZoError CachePruner::IsFileIndexingRun(const VM& vm, bool& indexed) {
    indexed = false;
    GetAfileInfoRetTR_t reply;
    ArMgrClientAPI archiveManager;
    XKTessaRel cell(0);
    cell.setTessaRelNumber(vm.TessarelID);
    uint64_t cellId = 0;
    cell.getTessaRelId(cellId, nullptr);
    GetAfileInfoArgsTR_t request;
    request.afileId = vm.AfileID;
    request.reserved = 0;
    request.tessaRelId = cellId;
    if (archiveManager.getAfileInfo(&request, &reply) == 0) indexed = (reply.flags & 0x40) != 0;
    return CZoError::Success();
}

CZoError CachePruner::SubmitCandidate(const VM& vm, unsigned int& itemsPruned, long long& bytesPruned) {
    long long bytes = 0;
    CZoError err = SubmitVMJobForPruning(vm, bytes);
    if (err.IsError()) return err.Push(FXLOC);
    ++itemsPruned;
    bytesPruned += bytes;
    return CZoError::Success();
}
