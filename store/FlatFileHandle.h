#pragma once
// The flat file of one afile copy kept open between requests, so that a
// request does not open, seek and close it each time. Only for a local cache
// location: on a data server the FS client's file objects stay per request.
//
// Kept by the afile copy's database container (through its ledger) and shared
// by path: while it lives, items of that flat file find it. Every use first
// looks at the path (one stat) and reopens when the path names another file
// than the kept one, or uses no descriptor when the path names no file: a
// flat file deleted, cut, renamed ("pruned.") or replaced from outside is
// noticed where opening the path would notice it, and no byte is ever written
// through a descriptor of a file no longer at the path.
//
// It also names the validity GUID the file's regions belong to, as this
// process last learnt it (from a ledger, or from the rows a read admission
// validated), and counts the changes of that GUID: a Reader holding the
// handle learns that the file was started anew (cut and refilled in the same
// inode, or replaced) without looking at the file.
//
// And it keeps where the regions this process handed out under that GUID end
// (to a row, a Writer or a Reader): a file shorter than that is lost under
// the GUID. Kept here, not with the afile copy's container, because a held
// Reader keeps the handle beyond the container: a region it still serves
// counts after its row was dropped and the container released.
//
// Locks: its own lock and the registry's stripes, taken under the region
// lock and the ledger's (ranked in platform/LockOrder.h).

#include "CZoError.h"
#include "FXCriticalSection.h"
#include "platform/FXOpenFile.h"
#include "platform/LockOrder.h"

#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class FlatFileHandle;
typedef boost::shared_ptr<FlatFileHandle> FlatFileHandlePtr;

class FlatFileHandle {
public:
    // The handle of that flat file, made when none lives.
    static FlatFileHandlePtr ForPath(const std::string& flatFilePath);
    // The living handle of that flat file, or none.
    static FlatFileHandlePtr Find(const std::string& flatFilePath);
    // Closes the kept descriptor of that flat file (the pruner has renamed
    // it); users still holding it finish with it.
    static void Forget(const std::string& flatFilePath);

    explicit FlatFileHandle(const std::string& flatFilePath);
    ~FlatFileHandle();
    FlatFileHandle(const FlatFileHandle&) = delete;
    FlatFileHandle& operator=(const FlatFileHandle&) = delete;

    const std::string& Path() const { return path; }
    // The region lock of the file (FlatFileCacheItem::s_flatFileLock's
    // stripe), chosen once for the handle's life.
    FXCriticalSection& RegionLock() const { return regionLock; }
    // The file now at the path, opened (created when `create`) or kept, and
    // its length. Fails as opening the path fails: the caller then takes the
    // per-request road, which reports it as it always has.
    CZoError Current(bool create, FXOpenFilePtr& file, long long& length);
    void Drop();

    // The file's regions belong to `validityGUID` from now on and reach at
    // least `regionsEnd`; another GUID than the one named starts the count
    // of handed-out regions anew. Gives the number of GUID changes after it.
    uint64_t Adopt(const std::string& validityGUID, long long regionsEnd);
    // A region ending at `regionEnd` was handed out under `validityGUID`;
    // not counted while the handle names another GUID.
    void NoteRegion(const std::string& validityGUID, long long regionEnd);
    // Where the regions handed out under `validityGUID` end; false while
    // the handle names another GUID.
    bool RegionsEnd(const std::string& validityGUID, long long& end) const;
    // The GUID last set (empty while none was) and the number of changes
    // that led to it, read together.
    uint64_t ValidityGUID(std::string& validityGUID) const;
    // A Writer found the file cut below its own reservation under
    // `validityGUID`: every region of that GUID is lost, whatever the file's
    // length says later (the bytes of a later write may grow it again). Held
    // Readers see it as a change of the GUID. Kept until another GUID is adopted.
    void MarkLost(const std::string& validityGUID);
    // Whether the file is marked lost under `validityGUID`; a flag test while
    // it was never marked.
    bool IsLost(const std::string& validityGUID) const;
    // That number alone, without the lock: one load per read.
    uint64_t ValidityGUIDChanges() const { return guidChanges.load(); }

private:
    // constant after construction
    const std::string path;
    FXCriticalSection& regionLock;
    mutable RankedMutex lock{LockRank::KeptFile, "kept flat file"};
    // guarded by lock
    FXOpenFilePtr kept;
    std::string guid;
    long long handedOutEnd = 0;
    // written under lock, read without it first by IsLost
    std::atomic<bool> lost{false};
    // written under lock, read without it by every read of a held Reader
    std::atomic<uint64_t> guidChanges{0};
};
