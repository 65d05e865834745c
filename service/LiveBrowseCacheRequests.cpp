// The extent query, the batched iterators and the ageing of cached jobs.
//
// Locks: the service lock inside the resolution (and inside GetDB at each
// iterator refill), the VM row lock across an aged row's read and write, the
// database locks inside each CacheDB call.

#include "LiveBrowseCache.h"

#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "pruning/CachePruner.h"
#include "service/IteratorSupport.h"
#include "service/LiveBrowseCacheImpl.h"
#include "service/RequestGuard.h"
#include "service/VMRowLock.h"

#include <cstdint>

namespace {

const long long kSecondsPerDay = 86400;
const unsigned long kAgeingBatchSize = 100;

}  // namespace

CZoError CLiveBrowseCacheImpl::IsExtentInCache(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, bool& cached, bool& recorded) {
    return RunRequest(FXLOC, [&]() -> CZoError {
        CachePtr cache;
        CacheDBPtr db;
        CZoError err = GetConfiguredCache(afileId, copyId, cache, db);
        if (err.IsError()) return err.Push(FXLOC);

        // Of any job and flags.
        const ExtentParam key = ExtentParam::Of(Extent(afileId, afileOffset, tessarelId, copyId, 0));
        Extent row(0, 0, 0, 0, 0);
        err = db->GetExtent(key, row);
        if (FXErrorUtil::IsInt(err, LBCError::kNotFound)) {
            cached = false;
            recorded = false;
            return CZoError::Success();
        }
        if (err.IsError()) return err.Push(FXLOC);
        recorded = true;
        cached = !row.CacheLocation.empty();
        return CZoError::Success();
    });
}

CZoError CLiveBrowseCacheImpl::GetExtentIterator(long long jobId, long long afileId, unsigned int tessarelId,
                                                 unsigned int copyId, unsigned long batchSize,
                                                 boost::shared_ptr<CLiveBrowseCache::ExtentIterator>& iterator) {
    return RunRequest(FXLOC, [&]() -> CZoError {
        iterator.reset(
            new CLiveBrowseCache::ExtentIterator(std::string(), jobId, afileId, tessarelId, copyId, batchSize));
        return CZoError::Success();
    });
}

CZoError CLiveBrowseCacheImpl::GetCachedJobIterator(long long jobId, long long afileId, unsigned int tessarelId,
                                                    unsigned int copyId, unsigned long batchSize,
                                                    boost::shared_ptr<CLiveBrowseCache::JobIterator>& iterator) {
    return RunRequest(FXLOC, [&]() -> CZoError {
        iterator.reset(new CLiveBrowseCache::JobIterator(std::string(), jobId, afileId, tessarelId, copyId, batchSize));
        return CZoError::Success();
    });
}

CZoError CLiveBrowseCacheImpl::AgeCachedJob(long long jobId, long long afileId, unsigned int tessarelId,
                                            unsigned int copyId, unsigned int days) {
    return RunRequest(FXLOC, [&]() -> CZoError {
        CachePtr cache;
        CacheDBPtr db;
        CachePrunerPtr pruner;
        CZoError err = GetConfiguredCache(afileId, copyId, cache, db, pruner);
        if (err.IsError()) return err.Push(FXLOC);

        boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
        err = GetCachedJobIterator(jobId, afileId, tessarelId, copyId, kAgeingBatchSize, jobs);
        if (err.IsError()) return err.Push(FXLOC);

        for (;;) {
            long long listedAfileId = 0;
            long long listedJobId = 0;
            unsigned int listedCopyId = 0;
            unsigned int listedTessarelId = 0;
            std::string listedGUID;
            time_t listedTime = 0;
            err = jobs->GetNextVMInfo(listedAfileId, listedJobId, listedCopyId, listedTessarelId, listedGUID,
                                      listedTime);
            if (FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) return CZoError::Success();
            if (err.IsError()) return err.Push(FXLOC);

            VM vm(listedTessarelId, listedCopyId, listedAfileId, std::string(), listedJobId,
                  static_cast<long long>(listedTime), listedGUID);
            // Only the reference time changes: the row is re-read and
            // written back as one step among this process's requests.
            VMRowLock rowLock(vm);
            err = db->GetVMJob(vm);
            if (err.IsError()) return err.Push(FXLOC);

            uint64_t ageDays = days;
            if (ageDays == 0) {
                if (!pruner)
                    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoDatabase,
                                                 "No pruner found for afileID [%lld] copyID [%u]", afileId, copyId);
                ageDays = static_cast<uint64_t>(pruner->GetNoOfDaysRetention()) + 1;
            }
            // In 64 bits: a 32-bit product would wrap past 49710 days.
            const long long ageingTime =
                static_cast<long long>(SystemClock::Time()) - static_cast<long long>(ageDays) * kSecondsPerDay;
            if (ageingTime > vm.LastReferenceTime) continue;
            vm.LastReferenceTime = ageingTime;
            err = db->UpdateVM(vm);
            if (err.IsError()) return err.Push(FXLOC);
        }
    });
}
