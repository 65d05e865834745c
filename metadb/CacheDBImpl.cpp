#include "metadb/CacheDBImpl.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/DebugSimulation.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXFolder.h"
#include "platform/FXPath.h"
#include "platform/SystemClock.h"
#include "platform/Win32Constants.h"
#include "store/LiveBrowseCacheUtility.h"

namespace {
const char* const kLockFileName = "lockfile";
const char* const kDBFilePattern = "*.db";
const char* const kUploadSuffix = ".upload";
// Beside the staged folder: the committed copy written back while the
// database stays open.
const char* const kCommittedCopySuffix = ".committed";
}  // namespace

CacheDBImpl::CacheDBImpl(const std::string& localDbFolder) : localDbFolder(localDbFolder) {}

// The adapter has closed its database by now, so the files are complete.
CacheDBImpl::~CacheDBImpl() {
    // Written back only while the lock is still held: without it another host
    // may be working on the same files.
    if (staged && HoldsLockFile()) {
        const unsigned long long rows = rowsSinceWriteBack.load();
        CZoError err = SyncToRemote();
        if (err.IsError()) {
            LBC_LOG(-1, "%s", err.AsString().c_str());
            LBC_LOG(-1, "Giving up writing back DB [%s]: %llu rows written since its last write-back are lost",
                    syncRemoteLocation.c_str(), rows);
        }
    }
    CZoError err = ReleaseLockFile();
    if (err.IsError()) LBC_LOG(-1, "%s", err.AsString().c_str());
    if (ownsLocalFolder) {
        err = EmptyLocalFolder();
        if (err.IsError())
            LBC_LOG(-1, "Error deleting the db [%s], error=%s", localDbFolder.c_str(), err.AsString().c_str());
    }
}

CZoError CacheDBImpl::BeginTransaction() { return CZoError::Success(); }

CZoError CacheDBImpl::CommitTransaction() { return CZoError::Success(); }

CZoError CacheDBImpl::RollbackTransaction() { return CZoError::Success(); }

bool CacheDBImpl::TransactionLost() { return false; }

CZoError CacheDBImpl::Initialize(bool stage, bool lock) {
    if (lock) {
        CZoError err = AcquireLockFile();
        if (err.IsError()) return err.Push(FXLOC);
    }
    if (!stage || syncRemoteLocation.empty()) return CZoError::Success();

    LBC_LOG(0, "Staging DB from remote [%s] -> [%s]", syncRemoteLocation.c_str(), localDbFolder.c_str());
    CZoError err = StageFromRemote();
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStageFromRemoteFailed, "(error=%s)", err.AsString().c_str());
    staged = true;
    return CZoError::Success();
}

CZoError CacheDBImpl::StageFromRemote() {
    CZoError err = EmptyLocalFolder();
    if (err.IsError()) return err;
    err = CreateLocalFolder(localDbFolder);
    if (err.IsError()) return err;
    err = LiveBrowseCacheUtility::CopyFilesFromFolder(syncRemoteLocation, localDbFolder, kDBFilePattern, 0,
                                                      remoteFileIO, CCacheFileIOPtr());
    if (err.IsError()) return err;
    return CZoError::Success();
}

CZoError CacheDBImpl::CreateLocalFolder(const std::string& path) {
    if (FXFolder::DoesFolderExist(path)) return CZoError::Success();
    CZoError err = FXFile::CreateFoldersIteratively(path, nullptr);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheInitFailed, "(error=%s)", err.AsString().c_str());
    LBC_LOG(0, "Staging Afile DB folder created [%s]", path.c_str());
    return CZoError::Success();
}

CZoError CacheDBImpl::EmptyLocalFolder() {
    if (!FXFolder::DoesFolderExist(localDbFolder)) return CZoError::Success();
    CZoError err = FXFile::RemoveFolder(localDbFolder, 0x71);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

void CacheDBImpl::DiscardStagedCopy() {
    if (!staged) return;
    staged = false;
    CZoError err = EmptyLocalFolder();
    if (err.IsError())
        LBC_LOG(-1, "Error deleting the db [%s], error=%s", localDbFolder.c_str(), err.AsString().c_str());
}

CZoError CacheDBImpl::AcquireLockFile() {
    std::string path;
    {
        std::lock_guard<RankedMutex> guard(lockFileLock);
        if (lockHeld) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost);
        CZoError err = LockFilePath(path);
        if (err.IsError()) return err;
    }
    // Outside lockFileLock: a release or delete of this lock must not wait
    // out the delay. It fires on the first attempt, whether or not the lock
    // is then taken: nothing may look at the lock file before it is taken.
    LBC_SIMULATION_POINT(bInsertDelayBeforeAcquireLock);

    std::lock_guard<RankedMutex> guard(lockFileLock);
    // Another thread may have taken it during the delay.
    if (lockHeld) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost);
    CZoError err = remoteFileIO->CreateAndLockFile(path);
    if (err.IsError()) {
        // The file may have been opened before the lock was refused.
        CZoError closed = remoteFileIO->Close();
        if (closed.IsError()) LBC_LOG(2, "Failed to close path [%s] %s", path.c_str(), closed.AsString().c_str());
        return err.Push(FXLOC);
    }
    lockFilePath = path;
    lockHeld = true;

    LBC_SIMULATION_POINT(bInsertDelayAfterAcquireLock);
    return CZoError::Success();
}

CZoError CacheDBImpl::LockFilePath(std::string& path) const {
    // Without a sync location the path would be relative to the working
    // folder, and without file access there is nothing to lock through.
    if (syncRemoteLocation.empty() || !remoteFileIO) {
        CZoError inner = FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER,
                                                 "No cache location to take the lock file in [%s]",
                                                 syncRemoteLocation.c_str());
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockFilePathFailed, "(error=%s)", inner.AsString().c_str());
    }
    path = syncRemoteLocation;
    CZoError err = FXPath::Append(path, kLockFileName, 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockFilePathFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CacheDBImpl::ReleaseLockFile() {
    std::lock_guard<RankedMutex> guard(lockFileLock);
    if (!lockHeld || lockReleased) return CZoError::Success();
    CZoError err = remoteFileIO->ReleaseLockFile();
    if (err.IsError()) return err;
    lockReleased = true;
    return CZoError::Success();
}

CZoError CacheDBImpl::DeleteLockFile() {
    std::lock_guard<RankedMutex> guard(lockFileLock);
    if (lockFilePath.empty()) return CZoError::Success();
    CZoError err = remoteFileIO->RemoveFile(lockFilePath);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockFileRemoveFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

// ---- write-back of the staged database
//
// "Remote" in these names is the cache location, whatever it is: a local
// folder is served the same way as a data server's.

// The destruction's last try: the staging folder goes also when the
// write-back failed.
CZoError CacheDBImpl::SyncToRemote() {
    CZoError err = WriteBack();
    if (!err.IsError()) return CZoError::Success();
    if (FXFolder::DoesFolderExist(localDbFolder)) RemoveLocalFolder(localDbFolder);
    return err.Push(FXLOC);
}

CZoError CacheDBImpl::WriteBack() {
    if (!staged && !FXFolder::DoesFolderExist(localDbFolder)) return CZoError::Success();
    CZoError err = CheckStagedCopy();
    if (err.IsError()) return err.Push(FXLOC);
    err = UploadFrom(localDbFolder);
    if (err.IsError()) return err.Push(FXLOC);
    staged = false;
    rowsSinceWriteBack = 0;
    RemoveLocalFolder(localDbFolder);
    return CZoError::Success();
}

// A staged database that vanished must not pass for a write-back.
CZoError CacheDBImpl::CheckStagedCopy() {
    if (!staged) return CZoError::Success();
    if (!FXFolder::DoesFolderExist(localDbFolder))
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagedDatabaseMissing,
                                     "Staged DB folder [%s] is missing; [%s] not written back", localDbFolder.c_str(),
                                     syncRemoteLocation.c_str());
    std::list<std::string> files;
    CZoError err = FXFile::GetMatchingFiles(localDbFolder, kDBFilePattern, files, false);
    if (!err.IsError() && !files.empty()) return CZoError::Success();
    RemoveLocalFolder(localDbFolder);
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagedDatabaseMissing,
                                 "Staged DB [%s] is missing; [%s] not written back (error=%s)", localDbFolder.c_str(),
                                 syncRemoteLocation.c_str(),
                                 err.IsError() ? err.AsString().c_str() : "no database file");
}

CZoError CacheDBImpl::WriteBackCommitted() {
    if (!staged) return CZoError::Success();
    if (!HoldsLockFile())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagedDatabaseMissing,
                                     "Lock file of [%s] is not held; its DB is not written back",
                                     syncRemoteLocation.c_str());
    // A copy of its own: the live file may change under a plain copy.
    const std::string copyFolder = localDbFolder + kCommittedCopySuffix;
    CZoError err = MakeCommittedCopy(copyFolder);
    if (err.IsError()) return err.Push(FXLOC);
    err = UploadFrom(copyFolder);
    RemoveLocalFolder(copyFolder);
    if (err.IsError()) return err.Push(FXLOC);
    rowsSinceWriteBack = 0;
    return CZoError::Success();
}

CZoError CacheDBImpl::MakeCommittedCopy(const std::string& copyFolder) {
    if (FXFolder::DoesFolderExist(copyFolder)) RemoveLocalFolder(copyFolder);
    CZoError err = FXFile::CreateFoldersIteratively(copyFolder, nullptr);
    if (!err.IsError()) err = CopyCommittedInto(copyFolder);
    if (!err.IsError()) return CZoError::Success();
    RemoveLocalFolder(copyFolder);
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSyncToRemoteTempFailed, "error=%s", err.AsString().c_str());
}

CZoError CacheDBImpl::CopyCommittedInto(const std::string& folder) {
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoDatabaseImplementation, "No database to copy into [%s]",
                                 folder.c_str());
}

void CacheDBImpl::RemoveLocalFolder(const std::string& folder) {
    CZoError err = FXFile::RemoveFolder(folder, 0x71);
    if (err.IsError()) LBC_LOG(-1, "Error deleting the db [%s], error=%s", folder.c_str(), err.AsString().c_str());
}

CZoError CacheDBImpl::UploadFrom(const std::string& source) {
    const std::string uploadFolder = syncRemoteLocation + kUploadSuffix;

    LBC_SIMULATION_POINT(bInsertDelayBeforeSyncToRemote);

    // A leftover of an interrupted write-back may hold stale files that the
    // move would put in place.
    CZoError err = RemoveUploadFolder(uploadFolder);
    if (err.IsError()) return err.Push(FXLOC);
    CZoError synced = CopyAndMove(source, uploadFolder);
    err = RemoveUploadFolder(uploadFolder);
    if (err.IsError()) return err.Push(FXLOC);
    if (synced.IsError()) return synced.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheDBImpl::RemoveUploadFolder(const std::string& uploadFolder) {
    bool exists = false;
    CZoError err = remoteFileIO->IsExists(uploadFolder, exists);
    if (err.IsError()) return err.Push(FXLOC);
    if (!exists) return CZoError::Success();
    LBC_LOG(0, "Deleting temp folder [%s]", uploadFolder.c_str());
    err = remoteFileIO->RemoveFolder(uploadFolder);
    if (err.IsError())
        LBC_LOG(-1, "Error deleting the db [%s], error=%s", uploadFolder.c_str(), err.AsString().c_str());
    return CZoError::Success();
}

CZoError CacheDBImpl::SyncToRemote(const std::string& uploadFolder) { return CopyAndMove(localDbFolder, uploadFolder); }

CZoError CacheDBImpl::CopyAndMove(const std::string& source, const std::string& uploadFolder) {
    CZoError err = CopyIntoUploadFolder(source, uploadFolder);
    if (err.IsError()) return err.Push(FXLOC);
    LBC_SIMULATION_POINT(bInsertDelayAfterCopyToRemoteTemp);
    err = MoveIntoPlace(uploadFolder);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheDBImpl::CopyIntoUploadFolder(const std::string& source, const std::string& uploadFolder) {
    LBC_LOG(0, "Syncing DB to remote temp: [%s] -> [%s]", source.c_str(), uploadFolder.c_str());
    CZoError err = LiveBrowseCacheUtility::CopyFilesFromFolder(source, uploadFolder, kDBFilePattern, 0,
                                                               CCacheFileIOPtr(), remoteFileIO);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSyncToRemoteTempFailed, "error=%s", err.AsString().c_str());
    SetAgedFileTime(uploadFolder);
    // A copy moved into place before its bytes are on the disk could replace
    // the good database with a torn one at a power loss.
    err = FlushFiles(uploadFolder);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSyncToRemoteTempFailed, "error=%s", err.AsString().c_str());
    return CZoError::Success();
}

// The time serves the days policy alone and carries no data: the written-back
// rows stand without it, so a failure is only logged.
void CacheDBImpl::SetAgedFileTime(const std::string& uploadFolder) {
    const int64_t aged = AgedFileTime();
    if (aged == 0) return;
    CZoError err = LiveBrowseCacheUtility::SetFilesModificationTime(uploadFolder, kDBFilePattern, aged, remoteFileIO);
    if (err.IsError())
        LBC_LOG(-1, "Failed to set the time of the written-back DB in [%s] (error=%s)", uploadFolder.c_str(),
                err.AsString().c_str());
}

CZoError CacheDBImpl::MoveIntoPlace(const std::string& uploadFolder) {
    LBC_LOG(0, "Finalizing remote DB: [%s] -> [%s]", uploadFolder.c_str(), syncRemoteLocation.c_str());
    CZoError err = LiveBrowseCacheUtility::MoveFilesFromFolder(uploadFolder, syncRemoteLocation, kDBFilePattern, 1,
                                                               remoteFileIO, remoteFileIO);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFinalizeRemoteFailed, "error=%s", err.AsString().c_str());
    // The files are in place either way; only their new names may not yet
    // survive a power loss, after which the previous copy is found.
    err = remoteFileIO->Sync(syncRemoteLocation);
    if (err.IsError())
        LBC_LOG(-1, "Failed to flush DB folder [%s] after its write-back, error=%s", syncRemoteLocation.c_str(),
                err.AsString().c_str());
    return CZoError::Success();
}

int64_t CacheDBImpl::AgedFileTime() const {
    const int64_t written = vmReferenceWritten.load();
    if (written == 0 || written > SystemClock::Time() - 86400) return 0;
    return written > 0 ? written : 1;  // a time before 1970 reads as none
}

CZoError CacheDBImpl::FlushFiles(const std::string& folder) {
    std::list<std::string> files;
    CZoError err = remoteFileIO->GetMatchingFiles(folder, kDBFilePattern, files);
    if (err.IsError()) return err.Push(FXLOC);
    for (const std::string& file : files) {
        err = remoteFileIO->Sync(file);
        if (err.IsError()) return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CacheDBImpl::GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize) {
    // Without a limit the page read ignores the offset and would hand out the
    // same rows for ever.
    if (batchSize == 0 && rows.getBatchOffset() != 0) return CZoError::Success();
    return GetExtents(filter, rows, batchSize, rows.getBatchOffset());
}

CZoError CacheDBImpl::GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize) {
    if (batchSize == 0 && rows.getBatchOffset() != 0) return CZoError::Success();
    return GetVMs(filter, rows, batchSize, rows.getBatchOffset());
}
