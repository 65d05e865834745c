// Pruning one VM job: its lock file, the short part under the write/prune
// lock (database file removed, flat file renamed "pruned.", VM row without a
// validity GUID), the hand-over of the renamed file to the data pool and the
// completion that releases the lock file and removes the afile's folders.
//
// Locks, in the order taken: the afile's lock file (held from AcquireLock
// until the completion or the failure path has deleted it), then the write/prune
// lock (s_lockWriteSync, across the short part only), then the location's
// CacheDB locks (inside UpdateVM). The completion takes neither of the two
// in-process locks.

#include "pruning/CachePruner.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "pruning/CacheDataPruner.h"
#include "store/CacheSyncObject.h"
#include "store/FlatFileHandle.h"

#include <boost/make_shared.hpp>

#include <cerrno>
#include <list>

CZoError CachePruner::SubmitVMJobForPruning(const VM& vm, long long& bytes) {
    CZoError err = GetCacheSizeForVMJob(vm, bytes);
    if (err.IsError()) LBC_LOG(-1, "Error=%s", err.AsString().c_str());

    err = SubmitVMJobForPruning(vm);
    if (err.IsError()) {
        if (FXErrorUtil::IsInt(err, LBCError::kFlatFileInUse) ||
            FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) {
            LBC_LOG(2, "Cache file corresponding to [%s] is in use. Skipping pruning for it.",
                    vm.description().c_str());
            return CZoError::Success();
        }
        LBC_LOG(-1, "Failed to submit [%s] for pruning (error = %s)", vm.description().c_str(),
                err.AsString().c_str());
        return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CachePruner::SubmitVMJobForPruning(const VM& vm) {
    CZoError err = dataPruner->Start();
    if (err.IsError()) return err.Push(FXLOC);

    err = cacheDB->AcquireLock(vm);
    if (err.IsError()) return err.Push(FXLOC);

    err = PruneVMJob(vm);
    if (err.IsError()) {
        // Deleted while still held: released first, another host could take
        // the file and then lose it to this deletion while a third locked a
        // new one in its place, and both would work on the afile.
        CZoError cleanup = cacheDB->DeleteLock(vm);
        if (cleanup.IsError())
            LBC_LOG(-1, "Failed to release lock for [%s], error=%s", vm.description().c_str(),
                    cleanup.AsString().c_str());
        cleanup = cacheDB->ReleaseLock(vm);
        if (cleanup.IsError())
            LBC_LOG(-1, "Failed to release lock for [%s], error=%s", vm.description().c_str(),
                    cleanup.AsString().c_str());
        ReleaseLockContainer(vm);
        return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CachePruner::GetCacheSizeForVMJob(const VM& vm, long long& size) { return cache->GetCacheSize(vm, size); }

CZoError CachePruner::PruneVMJob(const VM& vm) {
    VMPtr copy = boost::make_shared<VM>(vm);
    std::string dbFilePath;
    std::string flatFilePath;
    std::string prunedPath;
    {
        // The mark covers this location's copy only and goes with the holder.
        // Kept until the completion it would guard nothing here: till then the
        // afile's lock file refuses every request of this process for the copy
        // at this location (LBCError::kLockedByAnotherHost), and a Writer
        // opened before holds that lock, so the pruner could not have taken it.
        CCacheSyncObject holder(copy, cache->GetCacheDataFolderPath());
        holder.MarkVMInPruning();
        CZoError err = PruneVMJobLocked(*copy, dbFilePath, flatFilePath, prunedPath);
        if (err.IsError()) return err.Push(FXLOC);
        TEST_RunPruneWindowHook(*copy, true);
    }
    TEST_RunPruneWindowHook(*copy, false);

    PruningTaskPtr task = boost::make_shared<PruningTask>();
    pruningTasks.push_back(task);
    CachePruner* pruner = this;
    CacheDataPruner::Callback completion = [pruner, copy, task, flatFilePath, dbFilePath](CZoError result) {
        return pruner->CompleteVMJobPruning(result, copy, task, flatFilePath, dbFilePath);
    };
    if (prunedPath.empty()) {
        // No flat file was renamed: there is nothing to delete, and an empty
        // path must never reach a removal.
        completion(CZoError::Success());
        return CZoError::Success();
    }
    CZoError err = dataPruner->DeleteCacheFile(prunedPath, completion);
    if (err.IsError()) {
        // Refused: the completion would never come and the pass would wait for ever.
        completion(err);
        return err.Push(FXLOC);
    }
    return CZoError::Success();
}

// Steps under the write/prune lock; vm is the pruner's own copy.
CZoError CachePruner::PruneVMJobLocked(VM& vm, std::string& dbFilePath, std::string& flatFilePath,
                                       std::string& prunedPath) {
    CZoError err = cacheDB->GetCacheDBFilePath(vm, dbFilePath);
    if (err.IsError()) return err.Push(FXLOC);

    err = fileIO->RemoveFile(dbFilePath);
    if (err.IsError()) {
        // Already gone counts as removed: otherwise such a VM would fail
        // every later pass at the same place.
        bool exists = true;
        CZoError probe = fileIO->IsExists(dbFilePath, exists);
        if (probe.IsError() || exists)
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneDatabaseRemoveFailed, "(error=%s)",
                                         err.AsString().c_str());
        LBC_LOG(2, "Cache DB file [%s] already removed", dbFilePath.c_str());
    }

    err = cache->GetCacheFilePath(vm, flatFilePath);
    if (err.IsError()) return err.Push(FXLOC);

    err = RenameCacheFile(vm, flatFilePath, prunedPath);
    if (err.IsError()) return err.Push(FXLOC);
    // A descriptor kept open would hold the renamed file's space until the
    // deletion and serve nothing: the next user opens the path anew.
    if (!prunedPath.empty()) FlatFileHandle::Forget(flatFilePath);

    vm.ValidityGUID.clear();
    err = cacheDB->UpdateVM(vm);
    if (err.IsError()) {
        // Not a reason to stop: the location's database file is already
        // removed (the row goes with it) and the flat file renamed, so no
        // later pass would list the job and its renamed file would stay for
        // ever. The deletion goes on.
        LBC_LOG(-1, "Failed to clear the validity GUID of [%s], pruning it all the same, error=%s",
                vm.description().c_str(), err.AsString().c_str());
    }
    return CZoError::Success();
}

CZoError CachePruner::RenameCacheFile(const VM&, const std::string& path, std::string& prunedPath) {
    bool exists = false;
    CZoError err = fileIO->IsExists(path, exists);
    if (err.IsError()) return err.Push(FXLOC);
    if (!exists) {
        LBC_LOG(2, "No pruning needed. Cache file [%s] not found.", path.c_str());
        return CZoError::Success();
    }

    std::string parent, name;
    err = FXPath::SplitParentPath(path, parent, name);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileRenamePathFailed, "error=%s", err.AsString().c_str());
    std::string renamed = parent;
    err = FXPath::Append(renamed, FXString::Format("pruned.%s", name.c_str()));
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileRenamePathFailed, "error=%s", err.AsString().c_str());

    err = fileIO->Move(path, renamed, 1);
    if (err.IsError()) {
        if (FXErrorUtil::IsErrNo(err, EACCES) || FXErrorUtil::IsErrNo(err, EPERM))
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileInUse, "error=%s", err.AsString().c_str());
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileRenameFailed, "error=%s", err.AsString().c_str());
    }
    prunedPath = renamed;
    return CZoError::Success();
}

// On a pool thread (or the pruner thread when nothing was handed over). The
// task is marked done on every way out: the pass waits for it.
CZoError CachePruner::CompleteVMJobPruning(const CZoError& deletion, const VMPtr& vm, const PruningTaskPtr& task,
                                           const std::string& flatFilePath, const std::string& dbFilePath) {
    if (deletion.IsError())
        LBC_LOG(-1, "Failed to prune cache file for VM job [%s], error=%s", vm->description().c_str(),
                deletion.AsString().c_str());
    else
        LBC_LOG(2, "Done pruning [%s]", vm->description().c_str());

    CZoError err = CleanUpPrunedVMJob(*vm, flatFilePath, dbFilePath);
    // The lock-only container goes with the clean-up, failed or not: kept in
    // the map without its lock it would answer 14 to the next pass, and a
    // host request could write through it unstaged.
    ReleaseLockContainer(*vm);
    if (err.IsError())
        LBC_LOG(-1, "Failed to clean up after pruning [%s], error=%s", vm->description().c_str(),
                err.AsString().c_str());
    // Last: once the pass's wait is over, the job's outcome is complete, its
    // log line included.
    task->MarkDone();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// Everything the lock file guards is removed while it is still held, and the
// lock goes last: released first, another host could take the afile, cache
// into it and then lose its new flat file, its database folder and the lock
// file it holds to the removal here (its rows would later name regions of a
// flat file made again, and a third host would lock a new file beside it).
// A removal that fails still releases the lock: left to the container's
// destruction, it would keep other hosts out for as long as anything holds
// the container.
CZoError CachePruner::CleanUpPrunedVMJob(const VM& vm, const std::string& flatFilePath,
                                         const std::string& dbFilePath) {
    CZoError err = RemovePrunedVMJobFolders(flatFilePath, dbFilePath);
    CZoError released = cacheDB->ReleaseLock(vm);
    if (err.IsError()) {
        if (released.IsError())
            LBC_LOG(-1, "Failed to release lock for [%s], error=%s", vm.description().c_str(),
                    released.AsString().c_str());
        return err.Push(FXLOC);
    }
    if (released.IsError()) return released.Push(FXLOC);
    return CZoError::Success();
}

// The lock file goes with its folder, in the same removal: deleted on its
// own first, a host could make and lock a new one that the folder's removal
// would then take away from it.
CZoError CachePruner::RemovePrunedVMJobFolders(const std::string& flatFilePath, const std::string& dbFilePath) {
    std::string dataFolder, dbFolder, name;
    CZoError err = FXPath::SplitParentPath(flatFilePath, dataFolder, name);
    if (!err.IsError()) err = FXPath::SplitParentPath(dbFilePath, dbFolder, name);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCachePathFailed, "(error=%s)", err.AsString().c_str());

    LBC_LOG(1, "Removing folder [%s]", dataFolder.c_str());
    err = fileIO->RemoveFolder(dataFolder);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFolderRemoveFailed, "(error=%s)", err.AsString().c_str());

    LBC_LOG(1, "Deleting lock file");
    LBC_LOG(1, "Removing folder [%s]", dbFolder.c_str());
    err = fileIO->RemoveFolder(dbFolder);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFolderRemoveFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

void CachePruner::ReleaseLockContainer(const VM& vm) {
    CZoError err = cacheDB->ReleaseResources(std::list<VM>(1, vm));
    if (err.IsError()) LBC_LOG(-1, "%s", err.AsString().c_str());
}

void CachePruner::TEST_SetPruneWindowHook(PruneWindowHook hook) {
    std::lock_guard<RankedMutex> guard(hookLock);
    pruneWindowHook = hook;
}

void CachePruner::TEST_RunPruneWindowHook(const VM& vm, bool held) {
    PruneWindowHook hook;
    {
        std::lock_guard<RankedMutex> guard(hookLock);
        hook = pruneWindowHook;
    }
    if (hook) hook(vm, held);
}

void CachePruner::WaitForAllPruningTasks() {
    for (const PruningTaskPtr& task : pruningTasks) task->WaitForDone();
    pruningTasks.clear();
}
