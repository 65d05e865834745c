// The write admission: whether an extent may be written now, the VM row and
// the extent row brought up to date for the write, and the opened Writer.
//
// Locks (ranked in platform/LockOrder.h): the write/prune lock inside
// ExtentWriteBegin, given the cache resolved first; the VM row lock
// across the VM row's read and write; the database locks inside each CacheDB
// call. None is held across the whole admission.

#include "LiveBrowseCache.h"

#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
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

// The steps of one write admission that work on its records, for one call on
// the host's thread. What must outlive a step (the timed sample, the
// registration, the transaction context, the VM row lock, the old copy's
// item) the caller holds in its own scope, so that the road's lifetimes read
// there.
class WriteAdmission {
public:
    WriteAdmission(const ExtentRequest& request, CachePtr cache, CacheDBPtr db);
    WriteAdmission(const WriteAdmission&) = delete;
    WriteAdmission& operator=(const WriteAdmission&) = delete;

    // kCacheFull or kCacheUnavailable, counted as a blocked write.
    CZoError Admit() const;
    // The extent record of the request; logs the request.
    ExtentPtr NewExtentRecord();
    // kWriteInProgress, counted as a blocked write.
    CZoError RefuseWriteInProgress() const;
    // The per-afile container of the request, resolved once: every statement
    // of the admission goes to it directly.
    CZoError ResolveContainer();
    const CacheDBPtr& Container() const { return container; }
    // The extent row, when there is one, into the record; the record takes
    // the request's Flags.
    CZoError ReadExtentRow(const PerJobSets& counters);

    // The VM record; its row lock is held across the next two steps.
    const VM& VMRecord() const { return vm; }
    CZoError ReadVMRow();
    // The VM row with a validity GUID whose flat file may take the new bytes
    // and a reference time of now, stored where every later reader finds it.
    CZoError RenewValidity();

    // The extent row as the Writer starts from: no valid location. A valid
    // cached copy is rewritten through its item, which rewriteItem gets.
    CZoError RecordExtentRow(CacheItemPtr& rewriteItem);
    // The opened Writer in the out-parameter, which from then on owns the
    // registration.
    CZoError HandOutWriter(CacheItemPtr rewriteItem, ExtentWriteRegistration& registration,
                           CLiveBrowseCache::WriterPtr& writer);

private:
    // RenewValidity's steps, in their order.
    CZoError JudgeRecordedLocation(bool& newGUIDNeeded, Cache::INVALIDITY_REASON& reason);
    CZoError TakeNewValidityGUID(bool replaceRowGUID);
    CZoError StoreVMRow();
    CZoError StartNewFlatFile(const std::string& guidAsRead, FlatFileLedger& ledger);
    CZoError WriteBackRenewal(const std::string& guidAsRead);

    // RecordExtentRow's steps.
    CZoError ClearLocationForRewrite(CacheItemPtr& rewriteItem);
    CZoError WriteExtentRow();

    // the request and what it resolved to
    const ExtentRequest request;
    const CachePtr cache;
    // The top-level container, which the Writer gets, and the afile's own
    // (set by ResolveContainer).
    const CacheDBPtr db;
    CacheDBPtr container;

    // the records and what the steps found in the rows
    ExtentPtr extent;
    VM vm;
    bool rowFound = false;
    // The record carries a location, and it is still valid.
    bool hasLocation = false;
};

WriteAdmission::WriteAdmission(const ExtentRequest& request, CachePtr cache, CacheDBPtr db)
    : request(request),
      cache(cache),
      db(db),
      vm(request.tessarelId, request.copyId, request.afileId, std::string(), request.jobId, 0, std::string()) {}

CZoError WriteAdmission::Admit() const {
    if (cache->IsFull()) {
        CountBlockedWrite();
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheFull);
    }
    if (cache->IsUnavailable()) {
        CountBlockedWrite();
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheUnavailable);
    }
    return CZoError::Success();
}

ExtentPtr WriteAdmission::NewExtentRecord() {
    extent = boost::make_shared<Extent>(request.afileId, request.afileOffset, request.tessarelId, request.copyId, 0);
    extent->JobID = request.jobId;
    LBC_LOG(4, "Write requested for %s", extent->description().c_str());
    return extent;
}

CZoError WriteAdmission::RefuseWriteInProgress() const {
    CountBlockedWrite();
    return FXErrorUtil::ErrorInt(
        FXLOC, LBCError::kWriteInProgress,
        "Write in progress for extent [%s] or cache under maintenance. Skipping write to cache for this extent.",
        extent->description().c_str());
}

CZoError WriteAdmission::ResolveContainer() {
    CZoError err = db->GetCacheDB(*extent, container);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError WriteAdmission::ReadExtentRow(const PerJobSets& counters) {
    // Flags 0: a row of any Flags. A row found replaces the record's values,
    // its job id included.
    CZoError err = container->FindExtent(ExtentParam::Of(*extent), *extent, rowFound);
    if (err.IsError()) return err.Push(FXLOC);

    const bool partial = (request.flags & kPartialExtentFlag) != 0;
    if (partial) PerJobCount(counters, LBCPerfCounters::SlotPartialWrites);
    hasLocation = !extent->CacheLocation.empty();
    extent->Flags = partial ? kFlagsPartialExtent : kFlagsFullExtent;
    return CZoError::Success();
}

CZoError WriteAdmission::ReadVMRow() {
    CZoError err = container->GetVMJob(vm);
    if (FXErrorUtil::IsInt(err, LBCError::kNotFound))
        vm.JobID = request.jobId;
    else if (err.IsError())
        return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError WriteAdmission::RenewValidity() {
    bool newGUIDNeeded = vm.ValidityGUID.empty();
    Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
    CZoError err = JudgeRecordedLocation(newGUIDNeeded, reason);
    if (err.IsError()) return err.Push(FXLOC);

    // A flat file cut short or deleted from outside would take new bytes
    // where older rows of this GUID still point: it is lost.
    const FlatFileLedgerPtr& ledger = container->FlatFile();
    bool flatFileLost = false;
    if (!newGUIDNeeded) {
        err = IsFlatFileLost(*cache, *container, *ledger, vm, flatFileLost);
        if (err.IsError()) return err.Push(FXLOC);
        newGUIDNeeded = flatFileLost;
    }

    const std::string guidAsRead = vm.ValidityGUID;
    if (newGUIDNeeded) {
        err = TakeNewValidityGUID(reason == Cache::INVALIDITY_FILE_NOT_OPENED || flatFileLost);
        if (err.IsError()) return err.Push(FXLOC);
    }
    err = StoreVMRow();
    if (err.IsError()) return err.Push(FXLOC);

    if (FXString::MatchesNoCase(vm.ValidityGUID, guidAsRead)) return CZoError::Success();
    err = StartNewFlatFile(guidAsRead, *ledger);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// A stale location stays in the record (the row gets it back) until the
// Writer commits; the record just no longer counts as having one.
CZoError WriteAdmission::JudgeRecordedLocation(bool& newGUIDNeeded, Cache::INVALIDITY_REASON& reason) {
    if (!hasLocation) return CZoError::Success();
    bool valid = false;
    CZoError err = TestRecordedLocation(*cache, *extent, vm, valid, reason);
    if (err.IsError()) return err.Push(FXLOC);
    if (reason == Cache::INVALIDITY_FILE_NOT_OPENED) newGUIDNeeded = true;
    if (valid) return CZoError::Success();
    if (!vm.ValidityGUID.empty())
        LBC_LOG(4, "Invalid or stale cache location [%s] for extent [%s]. Expected GUID=[%s] mismatch",
                extent->CacheLocation.c_str(), extent->description().c_str(), vm.ValidityGUID.c_str());
    hasLocation = false;
    return CZoError::Success();
}

// A row another writer has just given a GUID keeps it; a row without one, or
// whose flat file is gone or cut (replaceRowGUID), takes the new one.
CZoError WriteAdmission::TakeNewValidityGUID(bool replaceRowGUID) {
    const std::string guid = NewValidityGUID();
    vm.ValidityGUID = guid;
    CZoError err = container->InsertVM(vm);
    if (!err.IsError()) {
        LBC_LOG(0, "Creating new cache file for [%s]", vm.description().c_str());
    } else {
        LBC_LOG(2, "Existing entry corresponding to the vmjob/afileid found for [%s]", vm.description().c_str());
        err = container->GetVMJob(vm);
        if (err.IsError()) return err.Push(FXLOC);
    }
    if (vm.ValidityGUID.empty() || replaceRowGUID) {
        LBC_LOG(0, "Creating new cache file for [%s]", vm.description().c_str());
        vm.ValidityGUID = guid;
    }
    return CZoError::Success();
}

CZoError WriteAdmission::StoreVMRow() {
    CZoError err = WriteReferencedVMRow(*container, vm);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// A new flat file is started. The renewal is committed and written back to
// the cache location before the file gets a byte: neither a roll-back of the
// shared transaction nor the location's older database, staged again after a
// lost write-back, may bring the old GUID back over bytes written for the new
// file. Until then the ledger keeps the file shut.
CZoError WriteAdmission::StartNewFlatFile(const std::string& guidAsRead, FlatFileLedger& ledger) {
    if (!guidAsRead.empty()) {
        CZoError err = WriteBackRenewal(guidAsRead);
        if (err.IsError()) return err.Push(FXLOC);
    }
    std::string flatFilePath;
    CZoError err = cache->GetCacheFilePath(vm, flatFilePath);
    if (err.IsError()) return err.Push(FXLOC);
    ledger.Reset(vm.ValidityGUID, 0, flatFilePath);
    return CZoError::Success();
}

// A renewal that is not written back is undone, so that the next write finds
// the file lost again and renews anew.
CZoError WriteAdmission::WriteBackRenewal(const std::string& guidAsRead) {
    CZoError err = container->WriteBackCommitted();
    if (!err.IsError()) return CZoError::Success();
    vm.ValidityGUID = guidAsRead;
    CZoError undone = container->UpdateVM(vm);
    if (!undone.IsError()) undone = container->CommitTransaction(true);
    if (undone.IsError())
        LBC_LOG(-1, "Failed to restore the validity GUID of [%s] after its renewal was not written back (error=%s)",
                vm.description().c_str(), undone.AsString().c_str());
    return err.Push(FXLOC);
}

CZoError WriteAdmission::RecordExtentRow(CacheItemPtr& rewriteItem) {
    if (hasLocation) {
        CZoError err = ClearLocationForRewrite(rewriteItem);
        if (err.IsError()) return err.Push(FXLOC);
    }
    CZoError err = WriteExtentRow();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// A valid cached copy is rewritten: no reader finds it until the Writer
// commits.
CZoError WriteAdmission::ClearLocationForRewrite(CacheItemPtr& rewriteItem) {
    const std::string oldLocation = extent->CacheLocation;
    extent->CacheLocation.clear();
    CZoError err = container->UpdateExtent(*extent);
    if (err.IsError()) return err.Push(FXLOC);
    err = cache->GetItem(request.jobId, oldLocation, Cache::INTENDED_OP_REWRITE, rewriteItem);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// A row found is written whole again (a second time for a rewrite); one that
// cannot be is deleted.
CZoError WriteAdmission::WriteExtentRow() {
    if (!rowFound) {
        CZoError err = container->AddExtent(*extent);
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    }
    CZoError err = container->UpdateExtent(*extent);
    if (!err.IsError()) return CZoError::Success();
    CZoError cleanup = container->DeleteExtent(*extent);
    if (cleanup.IsError())
        LBC_LOG(-1, "Error during extent db cleanup after write failure, error=%s", cleanup.AsString().c_str());
    return err.Push(FXLOC);
}

CZoError WriteAdmission::HandOutWriter(CacheItemPtr rewriteItem, ExtentWriteRegistration& registration,
                                       CLiveBrowseCache::WriterPtr& writer) {
    // Nothing is left to do when a Close is done: no callback, and nothing
    // that keeps the service alive while the host holds on to the Writer.
    CLiveBrowseCache::Writer* made = new CLiveBrowseCache::Writer(extent, std::function<void()>(), rewriteItem);
    // From here the Writer's release ends the registration.
    registration.HandOver();
    writer.reset(made);
    writer->SetValidityGUID(vm.ValidityGUID);
    // The afile copy's own container, resolved once for the whole request:
    // the Writer holds it as it is (a container the idle pass released
    // meanwhile is kept alive by the hold, as it would be by the admission).
    writer->SetCache(cache, container);
    CZoError err = writer->Open();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

}  // namespace

CZoError CLiveBrowseCacheImpl::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId,
                                               CLiveBrowseCache::WriterPtr& writer) {
    return GetWriterObject(afileId, afileOffset, tessarelId, copyId, jobId, 0, writer);
}

// The road: resolve, admit, register, resolve the afile's container, open the
// transaction, read the rows, renew validity, record the row, hand out the
// Writer. From the registration on, every failure ends it on the way out
// (ExtentWriteRegistration) until the Writer takes it over.
CZoError CLiveBrowseCacheImpl::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId, long long flags,
                                               CLiveBrowseCache::WriterPtr& writer) {
    return RunRequest(FXLOC, [&]() -> CZoError {
        CachePtr cache;
        CacheDBPtr db;
        CZoError err = GetConfiguredCache(afileId, copyId, cache, db);
        if (err.IsError()) return err.Push(FXLOC);
        WriteAdmission admission(ExtentRequest{afileId, afileOffset, tessarelId, copyId, jobId, flags}, cache, db);
        err = admission.Admit();
        if (err.IsError()) return err.Push(FXLOC);

        const PerJobSets counters(jobId);
        PerJobSpan admissionTime(counters, LBCPerfCounters::SlotWriterRequests);
        const ExtentPtr extent = admission.NewExtentRecord();
        ExtentWriteRegistration registration(extent, cache);
        if (!registration.Held()) return admission.RefuseWriteInProgress();

        err = admission.ResolveContainer();
        if (err.IsError()) return err.Push(FXLOC);
        // Released when the admission returns: a deferred commit.
        const CacheDB::CTransactionContextPtr transaction = admission.Container()->BeginTransaction(extent);

        err = admission.ReadExtentRow(counters);
        if (err.IsError()) return err.Push(FXLOC);
        {
            // The VM row is read, judged and written back as one step among
            // this process's requests.
            VMRowLock rowLock(admission.VMRecord());
            err = admission.ReadVMRow();
            if (!err.IsError()) err = admission.RenewValidity();
            if (err.IsError()) return err.Push(FXLOC);
        }

        CacheItemPtr rewriteItem;
        err = admission.RecordExtentRow(rewriteItem);
        if (err.IsError()) return err.Push(FXLOC);
        admissionTime.End();

        err = admission.HandOutWriter(rewriteItem, registration, writer);
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    });
}
