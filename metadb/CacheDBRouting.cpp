// Routed database operations: each reaches the per-afile container of the
// afile copy it names (made on first use) and passes the call on to that
// container's implementation, whose result comes back unchanged. No lock is
// taken around the implementation's operations, except that a row naming a
// region is written under the per-afile transactionLock (WriteLocatedRow),
// and that a row write whose failure ended the shared transaction
// is followed by a forced commit under it (AfterRowWrite).
//
// Locks: as ranked in platform/LockOrder.h.

#include "metadb/CacheDB.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "store/CacheNamespace.h"

namespace {
const char* const kAfileDBFileName = "afile_cache.db";
}  // namespace

CZoError CacheDB::GetExtent(ExtentParam key, Extent& row) {
    return Routed(key, [&](CacheDB& db) { return db.impl->GetExtent(key, row); });
}

CZoError CacheDB::FindExtent(ExtentParam key, Extent& row, bool& found) {
    return Routed(key, [&](CacheDB& db) { return db.impl->FindExtent(key, row, found); });
}

CZoError CacheDB::GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows) {
    return Routed(filter, [&](CacheDB& db) { return db.impl->GetExtents(filter, rows); });
}

CZoError CacheDB::VisitNewestExtents(ExtentsParam filter, size_t count,
                                     const std::function<void(const Extent&)>& visit) {
    return Routed(filter, [&](CacheDB& db) { return db.impl->VisitNewestExtents(filter, count, visit); });
}

CZoError CacheDB::GetExtentsInBatches(ExtentsParam filter, size_t batchSize, DBObjectCollection<Extent>& batch) {
    return Routed(filter, [&](CacheDB& db) { return db.impl->GetExtentsInBatches(filter, batchSize, batch); });
}

CZoError CacheDB::GetExtentCount(ExtentsParam filter, long long& count) {
    return Routed(filter, [&](CacheDB& db) { return db.impl->GetExtentCount(filter, count); });
}

CZoError CacheDB::GetVMJob(VM& vm) {
    return Routed(vm, [&](CacheDB& db) { return db.impl->GetVMJob(vm); });
}

CZoError CacheDB::AddExtent(const Extent& row) {
    return Routed(row, [&](CacheDB& db) { return db.WriteLocatedRow(row, true); });
}

CZoError CacheDB::UpdateExtent(const Extent& row) {
    return Routed(row, [&](CacheDB& db) { return db.WriteLocatedRow(row, false); });
}

CZoError CacheDB::DeleteExtent(const Extent& row) {
    return Routed(row, [&](CacheDB& db) { return db.AfterRowWrite(db.impl->DeleteExtent(row)); });
}

CZoError CacheDB::DeleteExtents(ExtentsParam filter, size_t limit) {
    return Routed(filter, [&](CacheDB& db) { return db.impl->DeleteExtents(filter, limit); });
}

CZoError CacheDB::UpdateVM(const VM& vm) {
    return Routed(vm, [&](CacheDB& db) { return db.AfterRowWrite(db.impl->InsertUpdateVM(vm, false)); });
}

CZoError CacheDB::InsertVM(const VM& vm) {
    return Routed(vm, [&](CacheDB& db) { return db.AfterRowWrite(db.impl->InsertUpdateVM(vm, true)); });
}

CZoError CacheDB::AcquireLock(const VM& vm) {
    CacheDBPtr db;
    CZoError err = GetCacheDB(vm, db, false, false);
    if (err.IsError()) return err.Push(FXLOC);
    if (!db->impl) return db->NoImplementation(FXLOC);
    err = db->impl->AcquireLockFile();
    // Only this thread may now use a lock-only container for data.
    if (!err.IsError()) db->lockOwner = std::this_thread::get_id();
    if (err.IsError() && !isAfileDB) {
        // A lock-only container that holds nothing is of no use in the map:
        // it would answer 14 to every later lock request of the afile copy.
        auto_lock guard(&mapLock);
        auto it = containers.find(vm);
        if (it != containers.end() && it->second == db && db->lockOnly && !db->impl->HoldsLockFile())
            containers.erase(it);
    }
    return err;
}

CZoError CacheDB::ReleaseLock(const VM& vm) {
    return Routed(vm, [](CacheDB& db) { return db.impl->ReleaseLockFile(); }, false, false);
}

// Never makes a staged, locked container only to delete the lock file it
// has just taken (another host could then lock a new file meanwhile).
CZoError CacheDB::DeleteLock(const VM& vm) {
    CacheDBPtr db;
    CZoError err = FindOrMakeContainer(vm, db, false, false, false);
    if (err.IsError()) return err.Push(FXLOC);
    if (!db->impl) return db->NoImplementation(FXLOC);
    return db->impl->DeleteLockFile();
}

CZoError CacheDB::GetCacheDBFilePath(const VM& vm, std::string& path) const {
    CZoError err = CacheNamespace::GenerateAfileDBFolderPath(vm.AfileID, vm.TessarelID, vm.CopyID, dbFolderPath, path);
    if (err.IsError()) return err.Push(FXLOC);
    err = FXPath::Append(path, kAfileDBFileName, 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabasePathFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}
