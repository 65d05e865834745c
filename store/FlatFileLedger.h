#pragma once
// What this library has recorded in one flat file: the validity GUID its
// regions belong to, and where the last region handed out under it ends. A
// write that finds the file shorter than that (cut short or deleted from
// outside) must not place bytes where a row or a held Reader still points;
// the write road then gives the VM a new validity GUID, so those stop being
// valid, before the file gets bytes.
//
// One ledger per afile copy's flat file, kept by the afile's database
// container, which holds the afile's lock file: while it lives, only this
// process reserves regions in the file. The ledger learns the GUID and the
// rows' regions once per container life; where the handed-out regions end is
// kept by the file's handle (FlatFileHandle), which outlives the container
// while a Reader holds it, so a region a held Reader serves still counts
// after its row was dropped and the container released.
//
// Locks: its own lock, taken under the flat file's region lock when a region
// is reserved, then the handle's (platform/LockOrder.h).

#include "CZoError.h"
#include "platform/LockOrder.h"
#include "store/FlatFileHandle.h"

#include <boost/shared_ptr.hpp>
#include <functional>
#include <mutex>
#include <string>

class FlatFileLedger {
public:
    FlatFileLedger() = default;
    FlatFileLedger(const FlatFileLedger&) = delete;
    FlatFileLedger& operator=(const FlatFileLedger&) = delete;

    // Whether the ledger speaks for the regions of this validity GUID (and
    // the file's handle still names it).
    bool Knows(const std::string& validityGUID) const;
    // From now on the ledger speaks for `validityGUID`, whose rows' regions
    // end at `recordedEnd` in the flat file at `flatFilePath`; the file's
    // handle names that GUID too, so that Readers of another GUID stop
    // reading, and keeps the regions it has seen handed out under it.
    void Reset(const std::string& validityGUID, long long recordedEnd, const std::string& flatFilePath);
    // The end of the regions handed out under the ledger's GUID (rows,
    // Writers and Readers of this process), and the flat file's path.
    long long RecordedEnd() const;
    std::string FlatFilePath() const;

    // Both called while the flat file's region lock is held, around the growth of the
    // file. Admits: false when the file's end lies below the recorded
    // regions, or the file's handle names another GUID by now, so no region
    // may be placed there; otherwise `validityGUID` is the GUID a region
    // placed there belongs to (empty while the ledger speaks for none).
    // Record: a region now ends at `regionEnd`.
    bool Admits(long long fileEnd, std::string& validityGUID) const;
    void Record(long long regionEnd);
    // The file was found cut below a region reserved under `validityGUID`
    // (FlatFileHandle::MarkLost); Lost: whether it is, under the ledger's GUID.
    void MarkLost(const std::string& validityGUID);
    bool Lost() const;

    // Keeps the flat file at that path open for the container's life (Reset
    // does the same for its path); the items of the file find it by path.
    void KeepOpen(const std::string& flatFilePath);
    bool KeepsOpen() const;
    // The handle of the flat file kept open, or none.
    FlatFileHandlePtr Handle() const;

    // The afile copy's flat-file path: named by `name` the first time, then
    // the same for the ledger's life (its container is one afile copy at one
    // location), so a write does not hash and format the names again.
    CZoError NamedFlatFilePath(const std::function<CZoError(std::string&)>& name, std::string& flatFilePath);

private:
    mutable RankedMutex lock{LockRank::FlatFileLedger, "flat-file ledger"};
    // guarded by lock
    bool known = false;
    std::string guid;
    std::string path;
    FlatFileHandlePtr handle;
    std::string namedPath;
};

typedef boost::shared_ptr<FlatFileLedger> FlatFileLedgerPtr;
