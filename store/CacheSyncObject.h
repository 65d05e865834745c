#pragma once
// The process-wide write/prune registry: one recursive lock
// (s_lockWriteSync), the extents being written and the VMs being pruned. It
// keeps one extent from being written twice at once, keeps writes out of a
// cache in its maintenance window and lets a Writer's Close test whether its
// VM is being pruned. Close holds the lock for that test only, not across the
// row update that follows it.
//
// An object is a scoped holder of the lock: it takes it when constructed and
// releases it when destroyed, and must be destroyed on the thread that made
// it (a recursive mutex is released by its owner only).
//
// A pruning mark names a VM and the cache location (its data folder) whose
// copy is pruned: after a remap the same afile copy is cached at another
// location too, and its Writers there must go on recording. A mark lasts as
// long as the holder that set it, so only that holder's thread ever sees it:
// a Close on another thread waits for the lock until the mark is gone.
//
// Locks: s_lockWriteSync ranks before the service lock and every database
// lock (platform/LockOrder.h): an admission not given its cache resolves the
// location under it, and the pruner updates rows while it holds a VM holder.

#include "Extent.h"
#include "FXCriticalSection.h"
#include "VM.h"

#include <boost/shared_ptr.hpp>
#include <functional>
#include <set>
#include <string>
#include <utility>

class Cache;
typedef boost::shared_ptr<Cache> CachePtr;

class CCacheSyncObject {
public:
    // The VM order (TessarelID, CopyID, AfileID): VMs equal under it are one.
    struct VMCompare {
        bool operator()(const VMPtr& a, const VMPtr& b) const;
    };
    // TessarelID, CopyID, AfileID, AfileOffset.
    struct ExtentCompare {
        bool operator()(const ExtentConstPtr& a, const ExtentConstPtr& b) const;
    };

    // An extent holder; with forWrite it also runs the write admission, whose
    // outcome IsWriteAdmitted() tells. A null extent is never admitted.
    CCacheSyncObject(ExtentConstPtr extent, bool forWrite);
    // A VM holder for the VM's copy at the location; an extent holder's
    // location is empty.
    explicit CCacheSyncObject(VMPtr vm, const std::string& location = std::string());
    // Undoes this holder's VM mark, then releases the lock.
    ~CCacheSyncObject();
    CCacheSyncObject(const CCacheSyncObject&) = delete;
    CCacheSyncObject& operator=(const CCacheSyncObject&) = delete;

    // True when the extent is now registered as being written; refused while
    // the same extent (AsUniqueKey: job and flags take no part) is being
    // written, while the cache of its afile copy is in its maintenance window,
    // and when that afile copy has no cache.
    static bool ExtentWriteBegin(ExtentConstPtr extent);
    // The same for a caller that has resolved the extent's cache already:
    // the maintenance flag tested is that cache's, the cache the write goes
    // to, and the location is not resolved a second time.
    static bool ExtentWriteBegin(ExtentConstPtr extent, const CachePtr& cache);
    static void ExtentWriteDone(ExtentConstPtr extent);
    // Runs the function under the lock; its answer, false for an empty function.
    static bool Execute(std::function<bool()> function);
    static bool IsExtentWriteInProgress();

    // The caller holds the lock.
    static bool IsVMInPruning(VMPtr vm, const std::string& location);
    static void MarkVMInPruning(VMPtr vm, const std::string& location);
    static void UnmarkVMInPruning(VMPtr vm, const std::string& location);

    // On the holder's VM at its location.
    void MarkVMInPruning();
    bool IsVMInPruning();
    void DoneVMPruningProcessing();

    bool IsWriteAdmitted() const { return writeAdmitted; }

    static FXCriticalSection s_lockWriteSync;

private:
    // An extent as its AsUniqueKey text names it (AfileID, AfileOffset,
    // CopyID, TessarelID): two extents with the same four values are one
    // write. The text itself is made only for a log line.
    struct WriteKey {
        explicit WriteKey(const Extent& extent)
            : afileId(extent.AfileID),
              afileOffset(extent.AfileOffset),
              copyId(extent.CopyID),
              tessarelId(extent.TessarelID) {}
        bool operator<(const WriteKey& other) const {
            if (afileId != other.afileId) return afileId < other.afileId;
            if (afileOffset != other.afileOffset) return afileOffset < other.afileOffset;
            if (copyId != other.copyId) return copyId < other.copyId;
            return tessarelId < other.tessarelId;
        }
        long long afileId;
        long long afileOffset;
        unsigned int copyId;
        unsigned int tessarelId;
    };
    // The location, then the VM order.
    typedef std::pair<std::string, VMPtr> PruningMark;
    struct PruningMarkCompare {
        bool operator()(const PruningMark& a, const PruningMark& b) const;
    };

    void AdmitWrite(const CachePtr& cache);
    // The holder's VM; an extent holder's is made from the extent's identity
    // on first use, as only a pruning test needs it.
    const VMPtr& HolderVM();

    // guarded by s_lockWriteSync
    static std::set<WriteKey> c_setOngoingWrites;
    static std::set<PruningMark, PruningMarkCompare> c_setVMsInPruning;

    // The holder's own state, used on its thread only.
    ExtentConstPtr extent;
    VMPtr vm;
    std::string location;
    bool pruningDone;
    bool writeAdmitted;
};
