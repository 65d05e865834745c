#pragma once
// The abstract database interface of one database container, and everything
// that happens to the database's files around the engine: the afile's host
// lock file in its folder of the cache location, the staging of its "*.db"
// files into a local folder before the database is opened there, and their
// write-back through an upload folder when the container is released.
//
// Order of a data container's life: SetSyncRemoteLocation/SetRemoteFileIO,
// Initialize (lock, then stage), Open, database operations, write-back,
// destruction (the adapter's destructor closes the database, this base's
// unlocks).
//
// The write-back of a staged database, from the release of its container to
// the files in place:
//   CacheDB::~CacheDB -> CacheDB::WriteBack: commit (forced), Close, then
//     WriteBack below; on failure the closed copy and its lock file are kept
//     by the location's retiring registry.
//   WriteBack: check the staged copy, UploadFrom(local folder), remove the
//     local folder.
//   UploadFrom: remove a leftover upload folder; CopyIntoUploadFolder (copy
//     the "*.db" files, set the aged time, flush them); MoveIntoPlace (move
//     them over the afile's database folder, flush the folder); remove the
//     upload folder.
//   A kept copy is taken up by the afile copy's next container, or retried
//   (WriteBack again) at the next idle release. When the registry drops it,
//   or for a container made without a registry, the destruction of this
//   object is the last try (SyncToRemote); then the lock file is released.
// WriteBackCommitted takes the same UploadFrom road with a committed copy of
// the open database.
//
// Temporary copies a crash leaves behind go with the local folder (emptied
// before staging) and the upload folder (removed around a write-back); the
// afile's database folder is shared with other hosts and no temporary copy
// is ever written there, so none is looked for there.
//
// Locks: lockFileLock is held around the lock-file requests only (ranked in
// platform/LockOrder.h).

#include "CZoError.h"
#include "DBObjectCollection.h"
#include "Extent.h"
#include "LiveBrowseCacheCodes.h"
#include "QueryParams.h"
#include "VM.h"
#include "platform/LockOrder.h"
#include "store/CacheFileIO.h"

#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstddef>
#include <list>
#include <mutex>
#include <functional>
#include <string>

class CacheDBImpl {
public:
    // A commit found no transaction: the database rolled it back by itself
    // (a statement in it failed with a full disk, an I/O error or no memory).
    static const int kErrorTransactionLost = LBCError::kTransactionLost;

    // Keeps the folder that holds the database files; touches no disk.
    explicit CacheDBImpl(const std::string& localDbFolder);
    // Writes the staged files back when they are still staged and the lock
    // file is still held (the last try), releases the lock file and removes
    // a local folder of its own; failures are logged.
    virtual ~CacheDBImpl();
    CacheDBImpl(const CacheDBImpl&) = delete;
    CacheDBImpl& operator=(const CacheDBImpl&) = delete;

    // The one extent row of the key; ErrorInt 5 when there is none.
    virtual CZoError GetExtent(ExtentParam key, Extent& row) = 0;
    // The same for a caller to whom a missing row is an answer: found false
    // and success, with no error made for it.
    virtual CZoError FindExtent(ExtentParam key, Extent& row, bool& found) = 0;
    // Every matching extent row.
    virtual CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows) = 0;
    // Of the `count` extent rows last written (inserted or replaced), the
    // matching ones, one at a time; the rows written before them are not read.
    virtual CZoError VisitNewestExtents(ExtentsParam filter, size_t count,
                                        const std::function<void(const Extent&)>& visit) = 0;
    // The next batch of matching extent rows; an empty batch ends the listing.
    virtual CZoError GetExtentsInBatches(ExtentsParam filter, size_t batchSize, DBObjectCollection<Extent>& batch) = 0;
    virtual CZoError GetVMsInBatches(VMJobParam filter, size_t batchSize, DBObjectCollection<VM>& batch) = 0;
    virtual CZoError GetExtentCount(ExtentsParam filter, long long& count) = 0;
    virtual CZoError GetVMCount(VMJobParam filter, long long& count) = 0;
    // Every VM row, least recently referenced first, appended to the list.
    virtual CZoError GetVMJobs(std::list<VM>& vms) = 0;
    // Replaces the VM with its row; ErrorInt 5 when there is none.
    virtual CZoError GetVMJob(VM& vm) = 0;
    virtual CZoError AddExtent(const Extent& row) = 0;
    virtual CZoError UpdateExtent(const Extent& row) = 0;
    virtual CZoError DeleteExtent(const Extent& row) = 0;
    virtual CZoError DeleteExtents(ExtentsParam filter, size_t limit) = 0;
    virtual CZoError InsertUpdateVM(const VM& vm, bool insertOnly) = 0;
    // The base does nothing and succeeds.
    virtual CZoError BeginTransaction();
    virtual CZoError CommitTransaction();
    // Takes "lockfile" in the sync location with an exclusive non-blocking
    // lock. ErrorInt 14 (no message) when this object took it before, even
    // if it has released it since; 24 when the path cannot be formed; the
    // file access's error (14 on a local location) when it is held elsewhere.
    virtual CZoError AcquireLockFile();
    // Unlocks and closes the lock file, which stays on disk; success when
    // this object holds nothing.
    virtual CZoError ReleaseLockFile();
    // Removes the lock file this object took (without releasing it first);
    // success when it never took one. ErrorInt 65 "(error=%s)" on failure.
    virtual CZoError DeleteLockFile();
    // One page of matching rows: at most batchSize rows after the first
    // offset rows; batchSize 0 means every row from the start.
    virtual CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize,
                                size_t offset) = 0;
    virtual CZoError GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize, size_t offset) = 0;

    // Opens (creating when absent) and prepares the database in the folder;
    // a second call on an open database succeeds at once. A failure is
    // ErrorInt 9 "error=%s" and leaves the database closed.
    virtual CZoError Open() = 0;
    // Closes the database, checked: once it succeeds the file is complete and
    // closed, ready to be copied. Closing a closed database succeeds.
    virtual CZoError Close() = 0;
    // Discards the open transaction; the base does nothing and succeeds.
    virtual CZoError RollbackTransaction();
    // Writes the committed state of the open database into the folder, as
    // the "*.db" file it is kept in; the base has no database and refuses.
    virtual CZoError CopyCommittedInto(const std::string& folder);
    // Whether a transaction this object began is gone from the database
    // without a commit or rollback of its own: the database rolled it back
    // by itself after a statement in it failed. The base begins none: false.
    virtual bool TransactionLost();

    // Creates a missing local folder with its parents, logging it; ErrorInt
    // 17 "(error=%s)" on failure.
    static CZoError CreateLocalFolder(const std::string& path);

    // Both are called once, before Initialize.
    void SetRemoteFileIO(CCacheFileIOPtr io) { remoteFileIO = io; }
    void SetSyncRemoteLocation(const std::string& path) { syncRemoteLocation = path; }

    // Takes the lock file when `lock`, then stages the "*.db" files of the
    // sync location into the emptied (or made) local folder when `stage`. A staging
    // failure is ErrorInt 32 "(error=%s)"; a lock taken stays taken until
    // destruction. Called once, before the database is opened.
    CZoError Initialize(bool stage, bool lock);
    // The staged copy must never reach the cache location (it could not be
    // opened, e.g. a corrupt file): it is removed and the destruction only
    // releases the lock. Only a copy this object staged itself is removed:
    // an unstaged object may be looking at files that are not its own.
    // Called before the object is shared.
    void DiscardStagedCopy();
    // The local folder belongs to this object alone (nobody stages into it
    // or reads it): it is removed at destruction and never written back.
    // Called before Initialize.
    void OwnLocalFolder() { ownsLocalFolder = true; }

    // "Remote" is the cache location, a local folder as well as a data
    // server's. SyncToRemote() is the write-back of the destruction: WriteBack,
    // and the local folder goes also when it failed: the last try, whose rows
    // are lost on failure.
    CZoError SyncToRemote();
    // Copies the staged files into the upload folder and moves them from
    // there over the afile's database folder.
    CZoError SyncToRemote(const std::string& uploadFolder);
    // Copies the staged files into the upload folder beside the sync location,
    // moves them over it, then removes the upload and the local folders. The
    // database is closed; a failure keeps the local folder (and the lock
    // file) for the next try. Once the files are in the cache location
    // nothing is left to write back.
    CZoError WriteBack();
    // The committed state of the open database goes to the cache location
    // now, while the database stays open and in use; the caller keeps any
    // transaction from being opened meanwhile. Success when nothing is staged.
    CZoError WriteBackCommitted();
    // Whether the destruction would write the staged files back.
    bool NeedsWriteBack() const { return staged && HoldsLockFile(); }
    // A row write reached the staged database: rows that are lost when its
    // write-back fails for good.
    void NoteRowWritten() { ++rowsSinceWriteBack; }

    bool IsStaged() const { return staged; }
    // The last-reference time of the VM row last written. One at least a day
    // in the past (only an ageing writes such a time) is what the database
    // file's time in the cache location is set to at the write-back: the days
    // policy reads that time, and the write-back would otherwise make an aged
    // job the youngest of all.
    void NoteVMReferenceWritten(int64_t lastReferenceTime) { vmReferenceWritten.store(lastReferenceTime); }
    // Whether the lock file is held right now: taken and not released since.
    bool HoldsLockFile() const { return lockHeld.load() && !lockReleased.load(); }
    const std::string& GetSyncRemoteLocation() const { return syncRemoteLocation; }

    // The batch helpers of the adapter's batched listings: the page at the
    // collection's batch offset. With batchSize 0 the first page already held
    // every row, so a later call hands out an empty batch and the listing ends.
    CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize);
    CZoError GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize);
    template <typename Collection>
    void prepareForNextBatch(Collection& collection) {
        collection.prepareForNextBatch();
    }

protected:
    const std::string& GetLocalDbFolder() const { return localDbFolder; }

private:
    // Empties the local folder so that no stale file (an old copy, a hot
    // journal) is opened together with the fresh copy.
    CZoError EmptyLocalFolder();
    // "lockfile" in the sync location; ErrorInt 24 "(error=%s)" when there is
    // no sync location or file access, or the path cannot be formed.
    CZoError LockFilePath(std::string& path) const;
    // The staging steps after the emptying of the local folder: create it,
    // copy the "*.db" files of the sync location into it.
    CZoError StageFromRemote();
    // ErrorInt 33 when the staged copy is gone or holds no "*.db" file (the
    // local folder is then removed); success when nothing was staged.
    CZoError CheckStagedCopy();
    // The committed state of the open database into a fresh folder of its
    // own; ErrorInt 18 "error=%s" on failure, the folder removed.
    CZoError MakeCommittedCopy(const std::string& copyFolder);
    // Flushes every "*.db" file of a folder of the cache location.
    CZoError FlushFiles(const std::string& folder);
    // The "*.db" files of a local folder replace those of the sync location,
    // through the upload folder, which is removed before and after.
    CZoError UploadFrom(const std::string& source);
    // Removes the upload folder when it exists; a failed removal is logged,
    // a failed existence test returned.
    CZoError RemoveUploadFolder(const std::string& uploadFolder);
    // The copy into the upload folder and the moves out of it.
    CZoError CopyAndMove(const std::string& source, const std::string& uploadFolder);
    // ErrorInt 18 "error=%s" when the files are not copied or not flushed.
    CZoError CopyIntoUploadFolder(const std::string& source, const std::string& uploadFolder);
    // The aged time (AgedFileTime) on the copies, when there is one.
    void SetAgedFileTime(const std::string& uploadFolder);
    // ErrorInt 19 "error=%s" when the files are not moved; a failed flush of
    // the folder is logged only.
    CZoError MoveIntoPlace(const std::string& uploadFolder);
    // Removes a local folder with its files; a failure is logged.
    static void RemoveLocalFolder(const std::string& folder);

    // constant after construction
    const std::string localDbFolder;
    // written by Initialize / DiscardStagedCopy before the object is shared,
    // and cleared by WriteBack, which runs when nobody else uses the object
    bool staged = false;
    // set before Initialize
    bool ownsLocalFolder = false;
    // constant once set, before Initialize
    std::string syncRemoteLocation;
    CCacheFileIOPtr remoteFileIO;

    // Serialises the lock-file requests, which come from several threads
    // (the pruner, its deletion pool, the destructor).
    RankedMutex lockFileLock{LockRank::LockFile, "lock file"};
    // guarded by lockFileLock; never cleared once set
    std::string lockFilePath;
    // written under lockFileLock; atomic because data requests test them
    // without it. lockHeld is never cleared: a second acquire answers 14.
    std::atomic<bool> lockHeld{false};
    std::atomic<bool> lockReleased{false};
    // written by every VM row write; 0 until the first
    std::atomic<int64_t> vmReferenceWritten{0};
    // row writes since the staged copy was made or last written back
    std::atomic<unsigned long long> rowsSinceWriteBack{0};
    // The time the written-back files must carry, 0 for the time of writing.
    int64_t AgedFileTime() const;
};

typedef boost::shared_ptr<CacheDBImpl> CacheDBImplPtr;
