#include "service/WriterImpl.h"

#include "LiveBrowseCache.h"
#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "service/RecordedLocation.h"
#include "service/InheritedService.h"
#include "store/CacheSyncObject.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>

// ---- the handle

CLiveBrowseCache::Writer::Writer(ExtentPtr extent, std::function<void()> onDone, CacheItemPtr item)
    : impl(boost::make_shared<WriterImpl>(extent, onDone, item)) {}

CLiveBrowseCache::Writer::~Writer() { AbandonIfInherited(impl); }

CZoError CLiveBrowseCache::Writer::Open() {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->Open();
}

CZoError CLiveBrowseCache::Writer::Close() {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->Close();
}

CZoError CLiveBrowseCache::Writer::Write(const void* data, unsigned long length) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->Write(data, length);
}

void CLiveBrowseCache::Writer::SetValidityGUID(const std::string& validityGUID) {
    if (!ServiceInheritedByFork()) impl->SetValidityGUID(validityGUID);
}

void CLiveBrowseCache::Writer::SetCache(CachePtr cache, CacheDBPtr db) {
    if (!ServiceInheritedByFork()) impl->SetCache(cache, db);
}

// ---- WriterImpl

WriterImpl::WriterImpl(ExtentPtr extent, std::function<void()> onDone, CacheItemPtr item)
    : extent(extent), item(item), onDone(onDone), opened(false), closed(false) {}

WriterImpl::~WriterImpl() {
    if (opened) {
        CloseInternal(false);
        opened = false;
    }
    // Whatever state the Writer is in: it owns the registration.
    if (extent) CCacheSyncObject::ExtentWriteDone(extent);
    containerHold.reset();
}

void WriterImpl::SetValidityGUID(const std::string& guid) { validityGUID = guid; }

void WriterImpl::SetCache(CachePtr newCache, CacheDBPtr newDb) {
    cache = newCache;
    db = newDb;
}

CZoError WriterImpl::NotOpen(const FXCodeLocation& at) const {
    return FXErrorUtil::ErrorInt(at, LBCError::kWriterNotOpen, "Writer for extent [%s] is %s",
                                 extent ? extent->description().c_str() : "", closed ? "closed" : "not open");
}

CZoError WriterImpl::Open() {
    if (closed || !extent) return NotOpen(FXLOC);
    if (!cache || (!db && !containerHold))
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kWriterNotOpen, "Writer for extent [%s] has no cache",
                                     extent->description().c_str());
    CZoError err = OpenInContainer();
    // Dropped whatever the outcome: a Writer the host keeps must not keep
    // the other afile copies of its service once the service is gone.
    db.reset();
    if (err.IsError()) {
        containerHold.reset();
        return err.Push(FXLOC);
    }
    opened = true;
    return CZoError::Success();
}

CZoError WriterImpl::OpenInContainer() {
    if (!containerHold) {
        CZoError err = db->HoldForWriter(ExtentParam::Of(*extent), containerHold);
        if (err.IsError()) return err.Push(FXLOC);
    }
    const CacheDBPtr& container = containerHold->Container();
    if (!item) {
        CZoError err = container ? CreateItemInFlatFile(*container->FlatFile())
                                 : cache->CreateItem(extent, validityGUID, Cache::INTENDED_OP_WRITE, item);
        if (err.IsError()) return err.Push(FXLOC);
    }
    flatItem = dynamic_cast<FlatFileCacheItem*>(item.get());
    if (flatItem && container) flatItem->SetLedger(container->FlatFile());
    return CZoError::Success();
}

CZoError WriterImpl::CreateItemInFlatFile(FlatFileLedger& ledger) {
    std::string flatFilePath;
    CZoError err = ledger.NamedFlatFilePath(
        [this](std::string& path) {
            const VM vm(extent->TessarelID, extent->CopyID, extent->AfileID, std::string(), extent->JobID, 0,
                        std::string());
            return cache->GetCacheFilePath(vm, path);
        },
        flatFilePath);
    if (err.IsError()) return err.Push(FXLOC);
    err = cache->CreateItemAt(extent, flatFilePath, Cache::INTENDED_OP_WRITE, item);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError WriterImpl::Write(const void* buffer, size_t size) {
    PerJobSpan timing(Counters(), LBCPerfCounters::SlotWriteTime);
    // Nothing is touched on a Writer without an open item.
    if (!opened || closed || !item) return NotOpen(FXLOC);
    LBC_LOG(4, "%lu bytes being written for %s", static_cast<unsigned long>(size),
            item->GetExtent()->description().c_str());
    if (buffer == nullptr || size == 0) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoBytes);

    CZoError err = cache->AppendToItem(item, buffer, size);
    if (err.IsError()) {
        CleanupItem();
        return err.Push(FXLOC);
    }
    PerJobBytes(Counters(), LBCPerfCounters::SlotWriteBytes, size);
    return CZoError::Success();
}

CZoError WriterImpl::Close() {
    if (!opened || closed || !item) return NotOpen(FXLOC);
    return CloseInternal(true);
}

CZoError WriterImpl::CloseInternal(bool commit) {
    if (!commit) {
        CleanupItem();
        return CZoError::Success();
    }

    CZoError err = Commit();
    if (err.IsError()) {
        LBC_LOG(-1, "Failed to finalize writes for extent [%s]. Extent entry will be deleted from DB. Error=[%s]",
                extent->description().c_str(), err.AsString().c_str());
        CleanupItem();
    }

    if (onDone) onDone();
    opened = false;
    closed = true;
    LBC_LOG(4, "Write done for %s", item->GetExtent()->description().c_str());
    // The region is closed: the copy's container is let go now. When no
    // service holds it any more, it is written back and unlocked here.
    containerHold.reset();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// Close's road: close the item, test for pruning, re-read the rows, decide,
// record the location. Each return of success before the last step leaves
// the row as admission wrote it.
CZoError WriterImpl::Commit() {
    CZoError err = CloseItem();
    if (err.IsError()) return err.Push(FXLOC);
    if (LIVE_BROWSE_CACHE_TESTABILITY.load() > 0) extent->Reserved1 = item->GetMd5();

    const VMPtr vm =
        boost::make_shared<VM>(extent->TessarelID, extent->CopyID, extent->AfileID, std::string(), 0, 0, std::string());
    if (IsVMBeingPruned(vm)) return CZoError::Success();

    Extent row(0, 0, 0, 0, 0);
    VM current(*vm);
    err = ReReadRows(row, current);
    if (err.IsError()) return err.Push(FXLOC);

    bool record = false;
    err = DecideToRecord(row, current, record);
    if (err.IsError()) return err.Push(FXLOC);
    if (!record) return CZoError::Success();

    err = RecordLocation(current);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError WriterImpl::CloseItem() {
    CZoError err = cache->CloseItem(item);
    if (err.IsError()) return err.Push(FXLOC);
    // The region's bytes are written: the container flushes the flat file
    // before it commits the row that will name them.
    if (flatItem && containerHold && containerHold->Container())
        containerHold->Container()->NoteWrittenRegion(flatItem->GetFlatFilePath());
    return CZoError::Success();
}

bool WriterImpl::IsVMBeingPruned(const VMPtr& vm) const {
    bool pruning = false;
    {
        // Held for the test only: the pruner marks a VM under this lock, at
        // the location whose copy it prunes.
        CCacheSyncObject sync(vm, cache->GetCacheDataFolderPath());
        pruning = sync.IsVMInPruning();
    }
    if (pruning)
        LBC_LOG(4, "Cache item [%s] is either being pruned. Do not commit this write to DB.",
                item->shortDescription().c_str());
    return pruning;
}

CZoError WriterImpl::ReReadRows(Extent& row, VM& vm) const {
    // Keyed by the Writer's Flags as well: only a row of this write's kind matches.
    CZoError err = Rows().GetExtent(ExtentParam::Of(*extent), row);
    if (err.IsError()) return err.Push(FXLOC);
    err = Rows().GetVMJob(vm);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError WriterImpl::DecideToRecord(const Extent& row, const VM& vm, bool& record) const {
    record = false;
    // A VM row without a validity GUID has had its cached data pruned: a
    // location recorded now would name bytes that are about to go.
    if (vm.ValidityGUID.empty()) {
        LBC_LOG(4, "Cache item [%s] is either being pruned. Do not commit this write to DB.",
                item->shortDescription().c_str());
        return CZoError::Success();
    }

    // The region was reserved for an older flat file than the VM's now (it
    // was cut or deleted meanwhile): recorded with the new GUID it could be
    // served from the new file.
    if (flatItem && !flatItem->ReservedForGUID().empty() &&
        !FXString::MatchesNoCase(flatItem->ReservedForGUID(), vm.ValidityGUID)) {
        LBC_LOG(4, "Cache item [%s] was written for a flat file that has since been replaced. Do not commit this "
                "write to DB.",
                item->shortDescription().c_str());
        return CZoError::Success();
    }

    bool valid = false;
    Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
    CZoError err = TestRecordedLocation(*cache, row, vm, valid, reason);
    if (err.IsError()) return err.Push(FXLOC);
    if (valid) {
        LBC_LOG(4,
                "Cache item [%s] was written to with a valid cache location after this write was initiated. Do not "
                "update the cache location.",
                item->shortDescription().c_str());
        return CZoError::Success();
    }
    record = true;
    return CZoError::Success();
}

CZoError WriterImpl::RecordLocation(const VM& vm) {
    // The validity GUID is the VM row's now, not necessarily the one the
    // item was created with.
    extent->CacheLocation = item->GetExtent()->CacheLocation;
    extent->ValidityGUID = vm.ValidityGUID;
    CZoError err = Rows().UpdateExtent(*extent);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

const PerJobSets& WriterImpl::Counters() {
    if (!counters) counters.emplace(JobId());
    return *counters;
}

CacheDB& WriterImpl::Rows() const { return *containerHold->Container(); }

void WriterImpl::CleanupItem() {
    if (!containerHold || !containerHold->Container() || !extent) return;
    CZoError err = Rows().DeleteExtent(*extent);
    if (err.IsError()) {
        LBC_LOG(-1, "Error during extent db cleanup after write failure, error=%s", err.AsString().c_str());
        return;
    }
    if (!cache || !item) return;
    err = cache->DeleteItem(item);
    if (err.IsError() && !FXErrorUtil::IsWin32(err, LBCError::kWin32ItemNotDeleted))
        LBC_LOG(-1, "Error during cache cleanup after write failure, error=%s", err.AsString().c_str());
}
