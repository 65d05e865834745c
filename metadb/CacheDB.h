#pragma once
// The container of the metadata database of a cache location. A top-level
// container (one per location in use) has no database of its own: it holds
// the map of per-afile containers, routes every data operation that names an
// afile to that afile's container (making it on first use), lists the VMs of
// the location from its database folder and releases idle containers. A
// per-afile container (one per afile copy and cache location in the process)
// owns the database implementation over "afile_cache.db", staged locally
// (in a staging folder of its location's own) under the afile's lock file and
// written back when the container is destroyed. One made only to hold the
// pruner's lock stages nothing and keeps a scratch database of its own.
//
// An afile copy never has two containers in the process, counting one that
// has left the map but is still held: two would share one staging copy and
// one lock file. Released containers stay known to their top-level container
// until their destruction has finished, so a still-held one is brought back
// instead of a second one being made. Two locations whose folders are one
// are kept apart by the lock file itself, which has one holder in the
// process (platform/HeldLockFile.h): the second container is refused with 14.
//
// Locks: the container's locks and the retiring registry's are ranked in
// platform/LockOrder.h.

#include "CZoError.h"
#include "DBObjectCollection.h"
#include "Extent.h"
#include "FXCriticalSection.h"
#include "LiveBrowseCacheCodes.h"
#include "QueryParams.h"
#include "VM.h"
#include "metadb/CacheDBImpl.h"
#include "platform/LockOrder.h"
#include "platform/XkEvent.h"
#include "platform/XkThread.h"
#include "store/CacheFileIO.h"
#include "store/FlatFileLedger.h"

#include <boost/any.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

class CacheDB;
typedef boost::shared_ptr<CacheDB> CacheDBPtr;

class CacheDB : public boost::enable_shared_from_this<CacheDB> {
public:
    enum DB_TYPE : int32_t { DB_TYPE_SQLITE = 0 };
    // A flat file could not be flushed: the rows naming its new regions are
    // not committed.
    static const int kErrorRegionsNotFlushed = LBCError::kRegionsNotFlushed;

    // The VM order over the identity alone (TessarelID, CopyID, AfileID), so
    // an afile copy's entry is found whatever else the looked-up VM holds.
    struct VMCompare {
        bool operator()(const VM& a, const VM& b) const { return a < b; }
    };

    // One request's share of a per-afile container's SQL transaction. Keeps
    // the container alive; its release asks for an unforced commit.
    class CTransactionContext {
    public:
        explicit CTransactionContext(CacheDBPtr container);
        ~CTransactionContext();
        CTransactionContext(const CTransactionContext&) = delete;
        CTransactionContext& operator=(const CTransactionContext&) = delete;

        CacheDBPtr container;
    };
    typedef boost::shared_ptr<CTransactionContext> CTransactionContextPtr;

    // Held by an open Writer: while any hold of a per-afile container lives,
    // the idle pass leaves the container (and so the afile's lock file) in
    // place, because the Writer's region of the flat file is not yet closed.
    // A hold may outlive its top-level container (its service was destroyed):
    // the container then stays known to the location's retiring registry, so
    // a new top-level container over the location takes it up, and is written
    // back and unlocked when its last holder lets it go.
    class CWriterHold {
    public:
        explicit CWriterHold(CacheDBPtr perAfileContainer);
        ~CWriterHold();
        CWriterHold(const CWriterHold&) = delete;
        CWriterHold& operator=(const CWriterHold&) = delete;

        const CacheDBPtr& Container() const { return container; }

    private:
        const CacheDBPtr container;
    };
    typedef boost::shared_ptr<CWriterHold> CWriterHoldPtr;

    // The state of one batched VM listing, shared by the consumer (through
    // the boost::any context of its collection) and the walker thread. The
    // walker holds no reference: the state's destruction stops and joins it,
    // so an abandoned listing leaves no thread behind.
    struct BatchContext {
        BatchContext();
        ~BatchContext();
        BatchContext(const BatchContext&) = delete;
        BatchContext& operator=(const BatchContext&) = delete;

        XkThread walkerThread;
        XkEvent requestEvent;
        XkEvent batchReadyEvent;
        // Written by the consumer before it sets requestEvent; vms,
        // walkResult and walkDone by the walker before it sets batchReadyEvent.
        unsigned long long batchSize = 0;
        std::string folderPath;
        std::list<VM> vms;
        VMJobParam filter;
        CCacheFileIOPtr fileIO;
        CZoError walkResult;
        bool walkDone = false;
        // Set by the destructor before it wakes the walker for the last time.
        std::atomic<bool> stopRequested{false};
    };

    // folder is the container's own folder, rootFolder the location's
    // database folder. Touches no disk.
    CacheDB(DB_TYPE type, const std::string& folder, const std::string& rootFolder, bool isAfileDB,
            bool stageLocally);
    // WriteBack, then releases the implementation, which unlocks the lock
    // file (or is kept, still locked, when the write-back failed).
    virtual ~CacheDB();
    CacheDB(const CacheDB&) = delete;
    CacheDB& operator=(const CacheDB&) = delete;

    // ---- construction and set-up

    void SetRemoteFileIO(CCacheFileIOPtr io) { fileIO = io; }
    CCacheFileIOPtr GetRemoteFileIO() { return fileIO; }
    // Reads the idle time, creates the container's folder, names the
    // container and makes its implementation (which throws its failures as
    // CZoError; they pass through). Called once, after SetRemoteFileIO.
    CZoError Initialize();
    std::string GetCacheDBFolderPath() const { return dbFolderPath; }
    std::string description() const { return folderName; }
    CacheDBPtr getPtr() { return shared_from_this(); }
    void SetConsumerJobID(long long jobId) { consumerJobId = jobId; }

    static CacheDBImplPtr GetDBImplementation(CacheDB* owner, DB_TYPE type, const std::string& folder,
                                              const std::string& rootFolder, bool stageLocally, bool isAfileDB);
    CZoError CreateCacheDBFolder();
    CZoError CreateRemoteCacheDBFolder(const std::string& path);
    static CZoError CreateLocalCacheDBFolder(const std::string& path);

    // The per-afile container of the key's afile copy, made on first use with
    // the given stage and lock choices (which then stick). A container made
    // only to hold the lock is never handed to a (true, true) request while it
    // does not hold the lock: it is replaced when nobody else holds it, and the
    // request answers LBCError::kLockedByAnotherHost otherwise.
    //
    // While it holds the lock (the pruner's, from AcquireLock until
    // ReleaseLock) it serves data only to the thread that took the lock: the
    // pruner, clearing the VM row of the copy it prunes, in a database of the
    // container's own that is dropped with it. Every other (true, true) request
    // fails at once with LBCError::kLockedByAnotherHost, as when another host
    // holds the lock: the host reads from the backup media instead, and nothing
    // it is told was cached can be lost when the pruner gives up on the VM.
    // Waiting instead would hold the request for as long as the deletion of the
    // VM's flat file takes.
    CZoError GetCacheDB(const VM& key, CacheDBPtr& container, bool stage, bool lock);
    // T = ExtentParam, ExtentsParam or Extent: the key is the parameter's
    // identity and JobID; staged and locked.
    template <typename T>
    CZoError GetCacheDB(const T& param, CacheDBPtr& container) {
        return GetCacheDB(RouteKey(param), container, true, true);
    }

    // ---- shared deferred transactions and idle release

    // A context sharing the transaction of the extent's per-afile container;
    // empty on failure (nothing returned or thrown).
    CTransactionContextPtr BeginTransaction(ExtentPtr extent);
    // Commits the open transaction of a per-afile container when forced or
    // more than 29 s after the last commit. A failed COMMIT leaves the
    // transaction open, as SQLite does, so the next commit retries it; one
    // that finds the transaction rolled back by the database is
    // CacheDBImpl::kErrorTransactionLost, logged with the number of requests
    // whose rows went, and the transaction counts as closed.
    CZoError CommitTransaction(bool force);
    // On a top-level container: writes back the staged copies kept after a
    // failed write-back, then releases every idle per-afile container under
    // the map lock. A released container whose write-back fails keeps its
    // staged copy and lock file until a later pass writes it back or its
    // afile copy's next container takes it up. Always success.
    CZoError ReleaseIdleResources();
    std::list<std::pair<VM, CacheDBPtr>> GetIdleAfiles();
    bool IsConsumerJobDone();
    // Releases the per-afile containers of the VMs from the map, after the
    // kept copies' write-back as above; always success.
    CZoError ReleaseResources(const std::list<VM>& vms);
    // Of a top-level container whose service lets go: the kept copies'
    // write-back as above, then every per-afile container leaves the map;
    // each that nobody else holds is destroyed here (committed, written back
    // and unlocked). Always success.
    CZoError ReleaseAllResources();
    // On a per-afile container: commits, then writes the committed database
    // back to the cache location while it stays in use. A new validity GUID
    // must be there before its flat file gets a byte.
    CZoError WriteBackCommitted();
    // A Writer's hold on the extent's per-afile container (made on first
    // use); asked of a per-afile container, on that container itself.
    CZoError HoldForWriter(const ExtentParam& key, CWriterHoldPtr& hold);
    // On a per-afile container: a Writer has written a region of this flat
    // file. It is flushed once before the next commit, so that no committed
    // row names bytes that a power loss could take back.
    void NoteWrittenRegion(const std::string& flatFilePath);
    // Of a per-afile container: what the library has recorded in the afile
    // copy's flat file during this container's life.
    const FlatFileLedgerPtr& FlatFile() const { return flatFileLedger; }

    // ---- routed data operations: each reaches the per-afile container of
    // the afile it names and returns the implementation's result unchanged.

    CZoError GetExtent(ExtentParam key, Extent& row);
    // A missing row is found false, not an error.
    CZoError FindExtent(ExtentParam key, Extent& row, bool& found);
    CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows);
    CZoError VisitNewestExtents(ExtentsParam filter, size_t count, const std::function<void(const Extent&)>& visit);
    CZoError GetExtentsInBatches(ExtentsParam filter, size_t batchSize, DBObjectCollection<Extent>& batch);
    CZoError GetExtentCount(ExtentsParam filter, long long& count);
    CZoError GetVMJob(VM& vm);
    CZoError AddExtent(const Extent& row);
    CZoError UpdateExtent(const Extent& row);
    CZoError DeleteExtent(const Extent& row);
    CZoError DeleteExtents(ExtentsParam filter, size_t limit);
    CZoError UpdateVM(const VM& vm);
    CZoError InsertVM(const VM& vm);
    // The pruner's lock-file requests. AcquireLock and ReleaseLock make a
    // missing container without staging or locking; so does DeleteLock,
    // which must never make a locked container only to delete its lock file.
    CZoError AcquireLock(const VM& vm);
    CZoError ReleaseLock(const VM& vm);
    CZoError DeleteLock(const VM& vm);

    // ---- VM listing: a top-level container lists from its folder, a
    // per-afile container asks its implementation.

    CZoError GetVMsInBatches(VMJobParam filter, size_t batchSize, DBObjectCollection<VM>& batch);
    CZoError GetVMCount(VMJobParam filter, long long& count);
    CZoError GetVMJobs(std::list<VM>& vms);
    // The afile copy's "afile_cache.db" in this container's folder.
    CZoError GetCacheDBFilePath(const VM& vm, std::string& path) const;

    static CZoError GetVMInfo(const std::string& dbFilePath, VM& vm, CCacheFileIOPtr io);
    CZoError GetVMInfoFromCacheContent(std::list<VM>& out);
    CZoError GetVMInfoFromCacheContent(std::list<VM>& out, size_t batchSize, VMJobParam filter,
                                       boost::any& context);
    static void* WalkDirectoryForVMsStatic(void* context);
    static CZoError WalkFunction(const char* parentPath, const char* name, bool flag, void* callback);

    // ---- for tests
    CacheDBImplPtr TEST_Implementation() const { return impl; }
    size_t TEST_ContainerCount();
    long long TEST_LastCommitTime() const { return lastCommitTime.load(); }
    bool TEST_TransactionOpen();
    int TEST_OpenWriters() const { return openWriters.load(); }
    // Makings now waiting for a released container's destruction to end.
    size_t TEST_RetiringWaiters();

private:
    class RetiringRegistry;

    CZoError FindOrMakeContainer(const VM& key, CacheDBPtr& container, bool stage, bool lock, bool forData);
    CacheDBPtr LookUp(const VM& key);
    CacheDBPtr BringBackRetired(const VM& key);
    bool RetireUnfit(const VM& key, CacheDBPtr& unfit);
    // The steps of making a per-afile container; a failure to make or open
    // one is logged here.
    CZoError MakeContainer(const VM& key, CacheDBPtr& container, bool stage, bool lock);
    CZoError NewContainer(const VM& key, bool stage, bool lock, CacheDBPtr& made);
    CZoError OpenDatabase();
    CZoError TakeUpKept(const VM& key, const CacheDBImplPtr& kept);
    CZoError MakingFailed(const VM& key, CZoError& err);
    void EnterContainer(const VM& key, const CacheDBPtr& made);
    // Whether the container may serve data to the calling thread: in the
    // staged mode only while it holds the afile's lock file, and a lock-only
    // one only to the thread that took that lock.
    bool IsFitForData() const;
    // A lock-only container holding the pruner's lock: never replaced.
    bool HoldsPrunerLock() const;
    CZoError NoImplementation(const FXCodeLocation& at) const;
    // The container key of a routed operation's parameter: its identity and
    // JobID.
    static const VM& RouteKey(const VM& vm) { return vm; }
    template <typename T>
    static VM RouteKey(const T& param) {
        return VM(param.TessarelID, param.CopyID, param.AfileID, std::string(), param.JobID, 0, std::string());
    }
    // A routed operation: op(container) on the per-afile container the
    // parameter names (made on first use), which has an implementation.
    template <typename T, typename Op>
    CZoError Routed(const T& param, Op op, bool stage = true, bool lock = true) {
        // Asked of a per-afile container, which is its own: no key is made.
        if (isAfileDB) {
            if (!impl) return NoImplementation(FXLOC);
            return op(*this);
        }
        CacheDBPtr db;
        CZoError err = GetCacheDB(RouteKey(param), db, stage, lock);
        if (err.IsError()) return err.Push(FXLOC);
        if (!db->impl) return db->NoImplementation(FXLOC);
        return op(*db);
    }
    // The last commit (forced) and, of a per-afile container whose staged
    // copy is still to be written back, its write-back: close, then
    // CacheDBImpl::WriteBack; a copy that fails is kept, closed and locked,
    // by the location's registry. Called by the destructor.
    void WriteBack();
    // Of a top-level container: the write-back of the location's kept copies,
    // holding the location's making lock.
    void WriteBackKept();
    // Called holding transactionLock: flushes the flat files written since
    // the last flush; those that fail stay noted.
    CZoError FlushWrittenRegions();
    // A row that names a region, written through this per-afile container:
    // outside a transaction the statement commits by itself, so the flat
    // files are flushed first; inside one, the commit flushes them.
    CZoError WriteLocatedRow(const Extent& row, bool insert);
    // Passes a row statement's result through; after a failure that made
    // SQLite roll the open transaction back, commits at once (forced), which
    // reports the loss, so the container never goes on believing it open.
    CZoError AfterRowWrite(const CZoError& result);
    static bool IsAfileFolderName(const std::string& name);

    // constant after construction
    const std::string dbFolderPath;
    const std::string rootFolderPath;
    // set by Initialize, before the container is shared
    std::string folderName;
    const bool stageLocally;
    const bool isAfileDB;

    // guarded by transactionLock
    bool transactionOpen = false;
    // Requests (transaction contexts) that shared the open transaction.
    unsigned long long requestsInTransaction = 0;
    // Atomic: the idle pass reads it without this container's lock.
    std::atomic<int64_t> lastCommitTime{0};
    // Of a per-afile container: its one SQL transaction. Of a top-level
    // container it guards no transaction: it is the location's lock for
    // making containers, and ranks as that.
    FXCriticalSection transactionLock;
    FXCriticalSection mapLock{static_cast<uint16_t>(LockRank::ContainerMap), "container map"};
    // guarded by mapLock
    std::map<VM, CacheDBPtr, VMCompare> containers;

    // set before the container is shared
    long long consumerJobId = 0;
    unsigned long long idleTimeSeconds = 30;
    const DB_TYPE dbType;
    CCacheFileIOPtr fileIO;
    CacheDBImplPtr impl;
    // Of a per-afile container: the key that made it and whether it was
    // made without staging and locking (for the pruner's lock requests).
    VM mapKey;
    bool lockOnly = false;
    // The thread that took the lock of a lock-only container; atomic because
    // every data request reads it.
    std::atomic<std::thread::id> lockOwner{std::thread::id()};
    // Shared by the top-level containers over one location's database folder
    // and their per-afile containers, which leave it at the end of their
    // destruction.
    boost::shared_ptr<RetiringRegistry> registry;
    // open Writers of a per-afile container
    std::atomic<int> openWriters{0};
    // Of a per-afile container: flat files with regions not yet flushed. Its
    // own lock, so that a Writer's note never waits for a commit.
    RankedMutex unflushedLock{LockRank::Unflushed, "unflushed regions"};
    // guarded by unflushedLock
    std::set<std::string> unflushedFlatFiles;
    // constant after construction; the ledger has its own lock
    const FlatFileLedgerPtr flatFileLedger = boost::make_shared<FlatFileLedger>();
};
