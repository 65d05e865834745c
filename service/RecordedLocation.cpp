#include "service/RecordedLocation.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/Win32Constants.h"
#include "store/FlatFileCacheItem.h"

#include <algorithm>
#include <cerrno>

CZoError TestRecordedLocation(Cache& cache, const Extent& row, const VM& vm, bool& valid,
                              Cache::INVALIDITY_REASON& reason) {
    CZoError err = cache.IsCacheLocationValid(row, vm, valid, reason);
    if (FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) {
        LBC_LOG(2, "Unusable cache location [%s] for extent [%s] is replaced (error=%s)", row.CacheLocation.c_str(),
                row.description().c_str(), err.AsString().c_str());
        valid = false;
        return CZoError::Success();
    }
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

namespace {

// How many of the copy's newest extent rows are looked at for where the
// regions recorded under the VM's validity GUID end; the rows before them
// are not read, however many the copy holds.
//
// What must stay true: the region that ends last under a GUID is recorded in
// one of the copy's kNewestRows newest rows. Every region is appended at the
// flat file's end, a rewrite's too (no region is written over), by the Close
// that then records it with INSERT OR REPLACE, which gives its row a rowid
// above every other. So each row written after the row of the last region
// records an earlier region or none under the GUID, and is one of: the row of
// a Close that was still running when the last region was reserved; an
// admission's row that its Close has not replaced yet; a row that a failed
// write left since. Together these stay far below kNewestRows. A region
// written over an older one, or rows renumbered by a VACUUM (which nothing
// here runs), would break it.
const size_t kNewestRows = 4096;

// Where the regions recorded under the VM's validity GUID end.
CZoError RecordedEnd(CacheDB& db, const VM& vm, long long& end) {
    ExtentsParam filter;
    filter.AfileID = vm.AfileID;
    filter.TessarelID = vm.TessarelID;
    filter.CopyID = vm.CopyID;
    end = 0;
    CZoError err = db.VisitNewestExtents(filter, kNewestRows, [&vm, &end](const Extent& row) {
        if (row.CacheLocation.empty() || !FXString::MatchesNoCase(row.ValidityGUID, vm.ValidityGUID)) return;
        long long rowEnd = 0;
        // An unusable location records no region.
        if (!FlatFileCacheItem::RegionEnd(row.CacheLocation, rowEnd).IsError()) end = std::max(end, rowEnd);
    });
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

bool IsMissing(const CZoError& err) {
    return FXErrorUtil::IsWin32(err, ERROR_FILE_NOT_FOUND) || FXErrorUtil::IsWin32(err, ERROR_PATH_NOT_FOUND) ||
           FXErrorUtil::IsErrNo(err, ENOENT);
}

}  // namespace

CZoError IsFlatFileLost(Cache& cache, CacheDB& db, FlatFileLedger& ledger, const VM& vm, bool& lost) {
    lost = false;
    if (!ledger.Knows(vm.ValidityGUID)) {
        long long end = 0;
        CZoError err = RecordedEnd(db, vm, end);
        if (err.IsError()) return err.Push(FXLOC);
        std::string path;
        err = cache.GetCacheFilePath(vm, path);
        if (err.IsError()) return err.Push(FXLOC);
        ledger.Reset(vm.ValidityGUID, end, path);
    }
    if (ledger.Lost()) {
        LBC_LOG(0, "Flat file [%s] was cut below a region reserved in it: it is treated as lost",
                ledger.FlatFilePath().c_str());
        lost = true;
        return CZoError::Success();
    }
    const long long end = ledger.RecordedEnd();
    if (end <= 0) return CZoError::Success();
    CCacheFileIOPtr io = cache.GetFSIO();
    if (!io) return CZoError::Success();
    long long length = 0;
    CZoError err = io->Size(ledger.FlatFilePath(), length);
    if (err.IsError() && !IsMissing(err)) {
        // Not known to be lost (the location may be unreachable, which the
        // item reports as such); the region's reservation checks again.
        LBC_LOG(2, "Length of flat file [%s] unknown (error=%s)", ledger.FlatFilePath().c_str(),
                err.AsString().c_str());
        return CZoError::Success();
    }
    lost = err.IsError() || length < end;
    if (lost)
        LBC_LOG(0, "Flat file [%s] is %s, but regions up to %lld are recorded in it: it is treated as lost",
                ledger.FlatFilePath().c_str(), err.IsError() ? "gone" : FXString::Format("%lld bytes long", length).c_str(),
                end);
    return CZoError::Success();
}

void KeepFlatFileOpen(Cache& cache, CacheDB& container, const Extent& extent) {
    const FlatFileLedgerPtr& ledger = container.FlatFile();
    if (!ledger || ledger->KeepsOpen()) return;
    CCacheFileIOPtr io = cache.GetFSIO();
    if (!io || io->IsRemote()) return;
    VM vm(extent.TessarelID, extent.CopyID, extent.AfileID, std::string(), extent.JobID, 0, std::string());
    std::string path;
    if (!cache.GetCacheFilePath(vm, path).IsError()) ledger->KeepOpen(path);
}

bool IsValidatedRegionHandedOut(const VM& vm, const CacheItemPtr& item) {
    boost::shared_ptr<FlatFileCacheItem> flatItem = boost::dynamic_pointer_cast<FlatFileCacheItem>(item);
    // Not a flat-file item: nothing to hand out.
    return !flatItem || flatItem->IsHandedOutUnder(vm.ValidityGUID);
}

void HandOutValidatedRegion(Cache& cache, CacheDB& container, const VM& vm, const CacheItemPtr& item) {
    boost::shared_ptr<FlatFileCacheItem> flatItem = boost::dynamic_pointer_cast<FlatFileCacheItem>(item);
    const FlatFileLedgerPtr& ledger = container.FlatFile();
    if (!flatItem || !ledger) return;
    std::string path;
    CZoError err =
        ledger->NamedFlatFilePath([&cache, &vm](std::string& named) { return cache.GetCacheFilePath(vm, named); }, path);
    if (err.IsError()) {
        // Not known to be the copy's file: the handle is left as it was, and
        // the Reader is served only when the handle names its GUID already.
        LBC_LOG(2, "Flat file of [%s] not named (error=%s)", vm.description().c_str(), err.AsString().c_str());
        return;
    }
    if (flatItem->GetFlatFilePath() == path) flatItem->HandOutUnder(vm.ValidityGUID);
}
