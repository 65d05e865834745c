#pragma once
// What this library has recorded in one flat file: the validity GUID its
// regions belong to and where the last of them ends. A write that finds the
// file shorter than that (cut short or deleted from outside) must not place
// bytes where older rows still point; the write road then gives the VM a new
// validity GUID, so those rows stop being valid, before the file gets bytes.
//
// One ledger per afile copy's flat file, kept by the afile's database
// container, which holds the afile's lock file: while it lives, only this
// process reserves regions in the file.
//
// Locks: its own lock, taken under the flat file's region lock when a region
// is reserved (platform/LockOrder.h).

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

    // Whether the ledger speaks for the regions of this validity GUID.
    bool Knows(const std::string& validityGUID) const;
    // From now on the ledger speaks for `validityGUID`, whose regions end at
    // `recordedEnd` in the flat file at `flatFilePath`; the file's handle
    // names that GUID too, so that Readers of another GUID stop reading.
    void Reset(const std::string& validityGUID, long long recordedEnd, const std::string& flatFilePath);
    // The end of the recorded regions and the flat file's path.
    long long RecordedEnd() const;
    std::string FlatFilePath() const;

    // Both called while the flat file's region lock is held, around the growth of the
    // file. Admits: false when the file's end lies below the recorded
    // regions, so no region may be placed there; otherwise `validityGUID` is
    // the GUID a region placed there belongs to (empty while the ledger
    // speaks for none). Record: a region now ends at `regionEnd`.
    bool Admits(long long fileEnd, std::string& validityGUID) const;
    void Record(long long regionEnd);

    // Keeps the flat file at that path open for the container's life (Reset
    // does the same for its path); the items of the file find it by path.
    void KeepOpen(const std::string& flatFilePath);
    bool KeepsOpen() const;

    // The afile copy's flat-file path: named by `name` the first time, then
    // the same for the ledger's life (its container is one afile copy at one
    // location), so a write does not hash and format the names again.
    CZoError NamedFlatFilePath(const std::function<CZoError(std::string&)>& name, std::string& flatFilePath);

private:
    mutable RankedMutex lock{LockRank::FlatFileLedger, "flat-file ledger"};
    // guarded by lock
    bool known = false;
    std::string guid;
    long long end = 0;
    std::string path;
    FlatFileHandlePtr handle;
    std::string namedPath;
};

typedef boost::shared_ptr<FlatFileLedger> FlatFileLedgerPtr;
