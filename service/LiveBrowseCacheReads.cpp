// The read admission: whether a cached extent can be served, the VM row
// marked as referenced, and the opened Reader.
//
// Locks, in the order taken: the service lock inside the resolution, then,
// only when the VM row must be written or the region is not yet handed out to
// the flat file's handle under the row's GUID, the VM row lock across the
// row's second read, validity test, the hand-out and the write (the flat file
// is opened before it), then the database locks inside each CacheDB call and
// the handle's lock.

#include "LiveBrowseCache.h"

#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "foundation/PeriodicUtilityThread.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/RecycledBlock.h"
#include "platform/SystemClock.h"
#include "service/LiveBrowseCacheImpl.h"
#include "service/RecordedLocation.h"
#include "service/RequestGuard.h"
#include "service/VMRowLock.h"
#include "store/Cache.h"
#include "store/FlatFileHandle.h"

#include <boost/make_shared.hpp>

namespace {

// The steps of one read admission that work on its records, for one call on
// the host's thread. What must outlive a step (the timed sample, the
// transaction context) the caller holds in its own scope, so that the road's
// lifetimes read there.
class ReadAdmission {
public:
    explicit ReadAdmission(const ExtentRequest& request);
    ReadAdmission(const ReadAdmission&) = delete;
    ReadAdmission& operator=(const ReadAdmission&) = delete;

    // The extent record of the request; logs the request.
    ExtentPtr NewExtentRecord();
    // The location's cache and top-level container; kCacheUnavailable.
    CZoError ResolveLocation(CLiveBrowseCacheImpl& service);
    // Counts a full-extent request.
    void CountRequestKind(const PerJobSets& counters) const;
    // The per-afile container of the request, resolved once: every statement
    // of the admission goes to it directly.
    CZoError ResolveContainer();
    const CacheDBPtr& Container() const { return container; }
    // The afile's flat file kept open from the first request on.
    void KeepFlatFileOpen() const;
    // The extent row into the record; kNoItemLocation when it has none.
    CZoError ReadExtentRow();
    // The read item of the recorded location. The flat file is looked at once
    // per request: the opening, made before the VM row lock, is also what the
    // validity test judges of the file, at the test's place.
    void OpenItem();

    // The VM row, and whether the recorded location is valid for it:
    // kInvalidLocation otherwise.
    CZoError ReadVMRowAndJudgeLocation();
    // The VM row with a reference time of now and the request's job id.
    CZoError MarkReferenced();

    // The opened Reader in the out-parameter.
    CZoError HandOutReader(CLiveBrowseCache::ReaderPtr& reader);

private:
    // ReadVMRowAndJudgeLocation's steps.
    CZoError ReadVMRow();
    CZoError JudgeRecordedLocation();

    // the request and what it resolved to
    const ExtentRequest request;
    CachePtr cache;
    // The top-level container (passed to the Reader's SetCache, which keeps
    // no container), and the afile's own (set by ResolveContainer).
    CacheDBPtr db;
    CacheDBPtr container;

    // the records and the read item's opening
    ExtentPtr extent;
    VM vm;
    // The VM row as read holds this second and the request's job already.
    bool referencedNow = false;
    CacheItemPtr item;
    CZoError opening;
};

ReadAdmission::ReadAdmission(const ExtentRequest& request)
    : request(request),
      vm(request.tessarelId, request.copyId, request.afileId, std::string(), request.jobId, 0, std::string()) {}

ExtentPtr ReadAdmission::NewExtentRecord() {
    extent = boost::allocate_shared<Extent>(RecycledBlock<Extent>(), request.afileId, request.afileOffset,
                                            request.tessarelId, request.copyId, 0);
    extent->JobID = request.jobId;
    LBC_LOG(4, "Read requested for %s", extent->description().c_str());
    return extent;
}

CZoError ReadAdmission::ResolveLocation(CLiveBrowseCacheImpl& service) {
    CZoError err = service.GetConfiguredCache(request.afileId, request.copyId, cache, db);
    if (err.IsError()) return err.Push(FXLOC);
    if (cache->IsUnavailable()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheUnavailable);
    return CZoError::Success();
}

void ReadAdmission::CountRequestKind(const PerJobSets& counters) const {
    if ((request.flags & kPartialExtentFlag) == 0) PerJobCount(counters, LBCPerfCounters::SlotFullExtentReads);
}

CZoError ReadAdmission::ResolveContainer() {
    CZoError err = db->GetCacheDB(*extent, container);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

void ReadAdmission::KeepFlatFileOpen() const { ::KeepFlatFileOpen(*cache, *container, *extent); }

CZoError ReadAdmission::ReadExtentRow() {
    ExtentParam key = ExtentParam::Of(*extent);
    // A full-extent request is served only from a full write.
    key.Flags = (request.flags & kPartialExtentFlag) != 0 ? 0 : kFlagsFullExtent;
    CZoError err = container->GetExtent(key, *extent);
    if (err.IsError()) return err.Push(FXLOC);
    extent->JobID = request.jobId;
    if (extent->CacheLocation.empty())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoItemLocation,
                                     "No item location found for the specified extent %s",
                                     extent->description().c_str());
    return CZoError::Success();
}

void ReadAdmission::OpenItem() {
    // The container's kept flat file serves an item of its path as it is.
    const FlatFileLedgerPtr& ledger = container->FlatFile();
    opening = cache->GetItem(request.jobId, extent->CacheLocation, Cache::INTENDED_OP_READ,
                             ledger ? ledger->Handle() : FlatFileHandlePtr(), item);
}

CZoError ReadAdmission::ReadVMRowAndJudgeLocation() {
    CZoError err = ReadVMRow();
    if (!err.IsError()) err = JudgeRecordedLocation();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// A missing row is no read of a cached extent.
CZoError ReadAdmission::ReadVMRow() {
    CZoError err = container->GetVMJob(vm);
    if (err.IsError()) return err.Push(FXLOC);
    referencedNow =
        vm.JobID == request.jobId && vm.LastReferenceTime == static_cast<long long>(SystemClock::Time());
    vm.JobID = request.jobId;
    return CZoError::Success();
}

CZoError ReadAdmission::JudgeRecordedLocation() {
    bool valid = false;
    Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
    CZoError err = cache->IsOpenedLocationValid(*extent, vm, opening, valid, reason);
    if (err.IsError()) return err.Push(FXLOC);
    if (!valid)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation, "Invalid cache location [%s] for extent [%s]",
                                     extent->CacheLocation.c_str(), extent->description().c_str());
    return CZoError::Success();
}

// Only the reference time and the job id change. A row that holds them
// already is what the write would store: it is left alone, and its lock is
// not taken, when the flat file's handle counts the region under the row's
// GUID already (the hand-out must not race a renewal). Otherwise the row is read again, judged and written back under
// its lock, as one step among this process's requests, so that no renewed
// validity GUID is reverted.
CZoError ReadAdmission::MarkReferenced() {
    if (referencedNow && IsValidatedRegionHandedOut(vm, item)) return CZoError::Success();
    VMRowLock rowLock(vm);
    CZoError err = ReadVMRowAndJudgeLocation();
    if (err.IsError()) return err.Push(FXLOC);
    HandOutValidatedRegion(*cache, *container, vm, item);
    if (referencedNow) return CZoError::Success();
    err = WriteReferencedVMRow(*container, vm);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError ReadAdmission::HandOutReader(CLiveBrowseCache::ReaderPtr& reader) {
    reader = boost::allocate_shared<CLiveBrowseCache::Reader>(RecycledBlock<CLiveBrowseCache::Reader>(), extent, item);
    reader->SetCache(cache, db);
    CZoError err = reader->Open();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

}  // namespace

CZoError CLiveBrowseCacheImpl::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId,
                                               CLiveBrowseCache::ReaderPtr& reader) {
    return GetReaderObject(afileId, afileOffset, tessarelId, copyId, jobId, 0, reader);
}

// The road: count and log, resolve, resolve the afile's container, open the
// transaction, read the extent row, open the item, judge the location against
// the VM row and mark the row referenced, hand out the Reader.
CZoError CLiveBrowseCacheImpl::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId, long long flags,
                                               CLiveBrowseCache::ReaderPtr& reader) {
    // Switched off: refused before anything is counted or logged.
    if (!g_bIsEnableLBCReadDuringValidation.load()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadsDisabled);

    return RunRequest(FXLOC, [&]() -> CZoError {
        const PerJobSets counters(jobId);
        PerJobSpan admissionTime(counters, LBCPerfCounters::SlotReaderRequests);
        ReadAdmission admission(ExtentRequest{afileId, afileOffset, tessarelId, copyId, jobId, flags});
        const ExtentPtr extent = admission.NewExtentRecord();
        CZoError err = admission.ResolveLocation(*this);
        if (err.IsError()) return err.Push(FXLOC);
        admission.CountRequestKind(counters);

        err = admission.ResolveContainer();
        if (err.IsError()) return err.Push(FXLOC);
        // Released when the admission returns: a deferred commit.
        const CacheDB::CTransactionContextPtr transaction = admission.Container()->BeginTransaction(extent);
        if (transaction) admission.KeepFlatFileOpen();

        err = admission.ReadExtentRow();
        if (err.IsError()) return err.Push(FXLOC);
        admission.OpenItem();
        err = admission.ReadVMRowAndJudgeLocation();
        if (err.IsError()) return err.Push(FXLOC);
        err = admission.MarkReferenced();
        if (err.IsError()) return err.Push(FXLOC);

        err = admission.HandOutReader(reader);
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    });
}
