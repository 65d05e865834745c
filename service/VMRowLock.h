#pragma once
// Serialises the read-modify-write of one VM row among the requests of this
// process. A request that reads the VM row and writes it back holds the lock
// of that VM from the read to the write, so that a row read early is never
// written back over a validity GUID (or a reference time) another request
// stored meanwhile; old extent rows would otherwise count as valid for new
// bytes. Other hosts are kept out by the afile's lock file.
//
// Striped by the VM's identity (TessarelID, CopyID, AfileID); ranked in
// platform/LockOrder.h: the holder calls CacheDB and Cache, and takes neither
// the write/prune lock nor the service lock while it holds a stripe.

#include "CZoError.h"
#include "VM.h"
#include "platform/LockOrder.h"

class CacheDB;


class VMRowLock {
public:
    explicit VMRowLock(const VM& vm);
    ~VMRowLock();
    VMRowLock(const VMRowLock&) = delete;
    VMRowLock& operator=(const VMRowLock&) = delete;

private:
    RankedMutex& stripe;
};

// The VM row's write of a read-modify-write: the record's reference time set
// to now, then the whole row written (insert or replace) through the afile's
// container.
CZoError WriteReferencedVMRow(CacheDB& container, VM& vm);
