// The write admission: whether an extent may be written now, the VM row and
// the extent row brought up to date for the write, and the opened Writer.
//
// Locks (ranked in platform/LockOrder.h): the write/prune lock inside
// ExtentWriteBegin, which resolves through GetCache under it; the VM row lock
// across the VM row's read and write; the database locks inside each CacheDB
// call. None is held across the whole admission.

#include "LiveBrowseCache.h"

#include "VM.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/SystemClock.h"
#include "service/ExtentWriteRegistration.h"
#include "service/LiveBrowseCacheImpl.h"
#include "service/RecordedLocation.h"
#include "service/RequestGuard.h"
#include "service/VMRowLock.h"
#include "store/Cache.h"

#include <boost/make_shared.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <boost/weak_ptr.hpp>

namespace {

// 36 lower-case hexadecimal characters in groups of 8-4-4-4-12.
std::string NewValidityGUID() {
    boost::uuids::random_generator generator;
    return boost::uuids::to_string(generator());
}

void CountBlockedWrite() {
    boost::shared_ptr<LBCPerfCounters> counters = LoadLBCPerfCounters();
    if (counters) ++counters->blockedWrites;
}

}  // namespace

CZoError CLiveBrowseCacheImpl::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId,
                                               CLiveBrowseCache::WriterPtr& writer) {
    return GetWriterObject(afileId, afileOffset, tessarelId, copyId, jobId, 0, writer);
}

CZoError CLiveBrowseCacheImpl::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId, long long flags,
                                               CLiveBrowseCache::WriterPtr& writer) {
    return RunRequest(FXLOC, [&]() -> CZoError {
        CachePtr cache;
        CacheDBPtr db;
        CZoError err = GetConfiguredCache(afileId, copyId, cache, db);
        if (err.IsError()) return err.Push(FXLOC);
        if (cache->IsFull()) {
            CountBlockedWrite();
            return FXErrorUtil::ErrorInt(FXLOC, 58);
        }
        if (cache->IsUnavailable()) {
            CountBlockedWrite();
            return FXErrorUtil::ErrorInt(FXLOC, 85);
        }

        PerJobSpan admissionTime(jobId, LBCPerfCounters::SlotWriterRequests);
        ExtentPtr extent = boost::make_shared<Extent>(afileId, afileOffset, tessarelId, copyId, 0);
        extent->JobID = jobId;
        LBC_LOG(4, "Write requested for %s", extent->description().c_str());

        ExtentWriteRegistration registration(extent);
        if (!registration.Held()) {
            CountBlockedWrite();
            return FXErrorUtil::ErrorInt(
                FXLOC, 50,
                "Write in progress for extent [%s] or cache under maintenance. Skipping write to cache for this "
                "extent.",
                extent->description().c_str());
        }

        // Released when the admission returns: a deferred commit.
        CacheDB::CTransactionContextPtr transaction = db->BeginTransaction(extent);

        ExtentParam key;
        key.AfileID = afileId;
        key.AfileOffset = afileOffset;
        key.TessarelID = tessarelId;
        key.CopyID = copyId;
        key.JobID = jobId;
        key.Flags = 0;
        err = db->GetExtent(key, *extent);
        const bool rowFound = !FXErrorUtil::IsInt(err, 5);
        if (err.IsError() && rowFound) return err.Push(FXLOC);

        const int flagsValue = (flags & kPartialExtentFlag) != 0 ? kFlagsPartialExtent : kFlagsFullExtent;
        if (flagsValue == kFlagsPartialExtent) PerJobCount(jobId, LBCPerfCounters::SlotPartialWrites);
        bool hasLocation = !extent->CacheLocation.empty();
        extent->Flags = flagsValue;

        VM vm(tessarelId, copyId, afileId, std::string(), jobId, 0, std::string());
        {
            // The VM row is read, judged and written back as one step among
            // this process's requests.
            VMRowLock rowLock(vm);
            err = db->GetVMJob(vm);
            if (FXErrorUtil::IsInt(err, 5))
                vm.JobID = jobId;
            else if (err.IsError())
                return err.Push(FXLOC);

            bool newGUIDNeeded = vm.ValidityGUID.empty();
            Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
            if (hasLocation) {
                bool valid = false;
                err = TestRecordedLocation(*cache, *extent, vm, valid, reason);
                if (err.IsError()) return err.Push(FXLOC);
                if (reason == Cache::INVALIDITY_FILE_NOT_OPENED) newGUIDNeeded = true;
                if (!valid) {
                    if (!vm.ValidityGUID.empty())
                        LBC_LOG(4, "Invalid or stale cache location [%s] for extent [%s]. Expected GUID=[%s] mismatch",
                                extent->CacheLocation.c_str(), extent->description().c_str(),
                                vm.ValidityGUID.c_str());
                    hasLocation = false;
                }
            }

            // A flat file cut short or deleted from outside would take new
            // bytes where older rows of this GUID still point: it is lost.
            CacheDBPtr container;
            err = db->GetCacheDB(*extent, container);
            if (err.IsError()) return err.Push(FXLOC);
            const FlatFileLedgerPtr& ledger = container->FlatFile();
            bool flatFileLost = false;
            if (!newGUIDNeeded) {
                err = IsFlatFileLost(*cache, *db, *ledger, vm, flatFileLost);
                if (err.IsError()) return err.Push(FXLOC);
                newGUIDNeeded = flatFileLost;
            }

            const std::string guidAsRead = vm.ValidityGUID;
            if (newGUIDNeeded) {
                const std::string guid = NewValidityGUID();
                vm.ValidityGUID = guid;
                err = db->InsertVM(vm);
                if (!err.IsError()) {
                    LBC_LOG(0, "Creating new cache file for [%s]", vm.description().c_str());
                } else {
                    LBC_LOG(2, "Existing entry corresponding to the vmjob/afileid found for [%s]",
                            vm.description().c_str());
                    err = db->GetVMJob(vm);
                    if (err.IsError()) return err.Push(FXLOC);
                }
                // A row another writer has just given a GUID keeps it; a row
                // without one, or whose flat file is gone or cut, takes the new one.
                if (vm.ValidityGUID.empty() || reason == Cache::INVALIDITY_FILE_NOT_OPENED || flatFileLost) {
                    LBC_LOG(0, "Creating new cache file for [%s]", vm.description().c_str());
                    vm.ValidityGUID = guid;
                }
            }

            vm.LastReferenceTime = static_cast<long long>(SystemClock::Time());
            err = db->UpdateVM(vm);
            if (err.IsError()) return err.Push(FXLOC);

            if (!FXString::MatchesNoCase(vm.ValidityGUID, guidAsRead)) {
                // A new flat file is started. The renewal is committed and
                // written back to the cache location before the file gets a
                // byte: neither a roll-back of the shared transaction nor the
                // location's older database, staged again after a lost
                // write-back, may bring the old GUID back over bytes written
                // for the new file. Until then the ledger keeps the file shut.
                if (!guidAsRead.empty()) {
                    err = container->WriteBackCommitted();
                    if (err.IsError()) {
                        // Undone, so that the next write finds the file lost
                        // again and renews anew.
                        vm.ValidityGUID = guidAsRead;
                        CZoError undone = db->UpdateVM(vm);
                        if (!undone.IsError()) undone = container->CommitTransaction(true);
                        if (undone.IsError())
                            LBC_LOG(-1, "Failed to restore the validity GUID of [%s] after its renewal was not written "
                                        "back (error=%s)",
                                    vm.description().c_str(), undone.AsString().c_str());
                        return err.Push(FXLOC);
                    }
                }
                std::string flatFilePath;
                err = cache->GetCacheFilePath(vm, flatFilePath);
                if (err.IsError()) return err.Push(FXLOC);
                ledger->Reset(vm.ValidityGUID, 0, flatFilePath);
            }
        }

        CacheItemPtr rewriteItem;
        if (hasLocation) {
            // A valid cached copy is rewritten: no reader finds it until the
            // Writer commits.
            const std::string oldLocation = extent->CacheLocation;
            extent->CacheLocation.clear();
            err = db->UpdateExtent(*extent);
            if (err.IsError()) return err.Push(FXLOC);
            err = cache->GetItem(jobId, oldLocation, Cache::INTENDED_OP_REWRITE, rewriteItem);
            if (err.IsError()) return err.Push(FXLOC);
        }

        if (!rowFound) {
            err = db->AddExtent(*extent);
            if (err.IsError()) return err.Push(FXLOC);
        } else {
            err = db->UpdateExtent(*extent);
            if (err.IsError()) {
                CZoError cleanup = db->DeleteExtent(*extent);
                if (cleanup.IsError())
                    LBC_LOG(-1, "Error during extent db cleanup after write failure, error=%s",
                            cleanup.AsString().c_str());
                return err.Push(FXLOC);
            }
        }
        admissionTime.End();

        // The service is not kept alive by a Writer the host holds on to.
        boost::weak_ptr<CLiveBrowseCacheImpl> service = shared_from_this();
        ExtentPtr written = extent;
        std::function<void()> onDone = [service, written]() {};
        CLiveBrowseCache::Writer* made = new CLiveBrowseCache::Writer(extent, onDone, rewriteItem);
        // From here the Writer's release ends the registration.
        registration.HandOver();
        writer.reset(made);
        writer->SetValidityGUID(vm.ValidityGUID);
        writer->SetCache(cache, db);
        err = writer->Open();
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    });
}
