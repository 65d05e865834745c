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
// Locks: its own lock and the registry's stripes are leaves.

#include "CZoError.h"
#include "platform/FXOpenFile.h"
#include "platform/LockOrder.h"

#include <boost/shared_ptr.hpp>
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
    // The file now at the path, opened (created when `create`) or kept, and
    // its length. Fails as opening the path fails: the caller then takes the
    // per-request road, which reports it as it always has.
    CZoError Current(bool create, FXOpenFilePtr& file, long long& length);
    void Drop();

private:
    // constant after construction
    const std::string path;
    RankedMutex lock{LockRank::KeptFile, "kept flat file"};
    // guarded by lock
    FXOpenFilePtr kept;
};
