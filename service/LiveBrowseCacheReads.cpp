// The read admission: whether a cached extent can be served, the VM row
// marked as referenced, and the opened Reader.
//
// Locks, in the order taken: the service lock inside the resolution, then the
// VM row lock across the VM row's read, validity test, the region's hand-out
// to the flat file's handle and the row's write (the flat file is opened
// before it), then the database locks inside each CacheDB call and the
// handle's lock.

#include "LiveBrowseCache.h"

#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "foundation/PeriodicUtilityThread.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "service/LiveBrowseCacheImpl.h"
#include "service/RecordedLocation.h"
#include "service/RequestGuard.h"
#include "service/VMRowLock.h"
#include "store/Cache.h"

#include <boost/make_shared.hpp>

CZoError CLiveBrowseCacheImpl::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId,
                                               CLiveBrowseCache::ReaderPtr& reader) {
    return GetReaderObject(afileId, afileOffset, tessarelId, copyId, jobId, 0, reader);
}

CZoError CLiveBrowseCacheImpl::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId, long long flags,
                                               CLiveBrowseCache::ReaderPtr& reader) {
    // Switched off: refused before anything is counted or logged.
    if (!g_bIsEnableLBCReadDuringValidation.load()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadsDisabled);

    return RunRequest(FXLOC, [&]() -> CZoError {
        PerJobSpan admissionTime(jobId, LBCPerfCounters::SlotReaderRequests);
        ExtentPtr extent = boost::make_shared<Extent>(afileId, afileOffset, tessarelId, copyId, 0);
        extent->JobID = jobId;
        LBC_LOG(4, "Read requested for %s", extent->description().c_str());

        CachePtr cache;
        CacheDBPtr db;
        CZoError err = GetConfiguredCache(afileId, copyId, cache, db);
        if (err.IsError()) return err.Push(FXLOC);
        if (cache->IsUnavailable()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheUnavailable);

        const bool partial = (flags & kPartialExtentFlag) != 0;
        if (!partial) PerJobCount(jobId, LBCPerfCounters::SlotFullExtentReads);

        // Resolved once: every statement of the admission goes to the afile's
        // container directly.
        CacheDBPtr container;
        err = db->GetCacheDB(*extent, container);
        if (err.IsError()) return err.Push(FXLOC);
        // Released when the admission returns: a deferred commit.
        CacheDB::CTransactionContextPtr transaction = container->BeginTransaction(extent);
        if (transaction) KeepFlatFileOpen(*cache, *container, *extent);

        ExtentParam key = ExtentParam::Of(*extent);
        // A full-extent request is served only from a full write.
        key.Flags = partial ? 0 : kFlagsFullExtent;
        err = container->GetExtent(key, *extent);
        if (err.IsError()) return err.Push(FXLOC);
        extent->JobID = jobId;
        if (extent->CacheLocation.empty())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoItemLocation,
                                         "No item location found for the specified extent %s",
                                         extent->description().c_str());

        // The flat file is looked at once per request: the read item's
        // opening, outside the row lock, is also what the validity test
        // judges of the file, at the test's place.
        CacheItemPtr item;
        const CZoError opening = cache->GetItem(jobId, extent->CacheLocation, Cache::INTENDED_OP_READ, item);
        {
            // Only the reference time and the job id change: the row is
            // re-read and written back as one step among this process's
            // requests, so no renewed validity GUID is reverted.
            VM vm(tessarelId, copyId, afileId, std::string(), jobId, 0, std::string());
            VMRowLock rowLock(vm);
            err = container->GetVMJob(vm);
            if (err.IsError()) return err.Push(FXLOC);
            vm.JobID = jobId;

            bool valid = false;
            Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
            err = cache->IsOpenedLocationValid(*extent, vm, opening, valid, reason);
            if (err.IsError()) return err.Push(FXLOC);
            if (!valid)
                return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation,
                                             "Invalid cache location [%s] for extent [%s]",
                                             extent->CacheLocation.c_str(), extent->description().c_str());
            HandOutValidatedRegion(*cache, *container, vm, item);

            vm.LastReferenceTime = static_cast<long long>(SystemClock::Time());
            err = container->UpdateVM(vm);
            if (err.IsError()) return err.Push(FXLOC);
        }

        reader.reset(new CLiveBrowseCache::Reader(extent, item));
        reader->SetCache(cache, db);
        err = reader->Open();
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    });
}
