#pragma once
// Lock ordering: the one map of every in-process lock of the library.
//
// A thread takes locks in rising rank: it may take a lock only when its rank
// is above the rank of every lock it already holds (taking a recursive lock
// it already holds again is always allowed). In checked builds (Debug and the
// sanitizer builds) each lock knows its rank and a violation aborts at once
// with the names of both locks; elsewhere the ranks cost nothing. Locks of
// one rank are never nested (stripes of one lock, locks of two containers).
// Between hosts and processes, the afile copy's lock file keeps writers
// apart; no in-process lock reaches another process.
//
// From the outside in:
//   Singleton          CLiveBrowseCache::singletonLock: the facade instance.
//   Publish            the published implementation (g_ptrCacheImpl).
//   ServiceInit        CLiveBrowseCacheImpl::initLock: Initialize runs once.
//   StageCleanup       the staging folders this process has already cleaned.
//   WriteSync          CCacheSyncObject::s_lockWriteSync, the write/prune
//                      lock: extents being written, VMs being pruned, the
//                      maintenance window. Taken before the service lock
//                      because a write admission not given its cache
//                      resolves the location under it.
//   Service            CLiveBrowseCacheImpl::serviceLock: the afile and
//                      mount-path maps; held while a location is created.
//   PeriodicCallback   the periodic utility thread's callback slot; held
//                      while the callback (the service's periodic duties)
//                      runs.
//   PrunerConfig       CachePruner::configLock: its policies and limits.
//   VMRow              VMRowLock stripes: one VM row's read-modify-write.
//   LocationMaking     a top-level CacheDB's transactionLock: the making of
//                      a per-afile container at that location.
//   RetiringMaking     the location's making lock, shared by the top-level
//                      containers over one database folder.
//   ContainerMap       a top-level CacheDB's mapLock: its per-afile map.
//   AfileTransaction   a per-afile CacheDB's transactionLock: its one shared
//                      SQL transaction and the statements run in it.
//   LockFile           CacheDBImpl::lockFileLock: the lock-file requests.
//   RetiringEntries    the location's registry of containers still alive.
//   RetiringRegistries the registry of those registries, by location.
//   Unflushed          a per-afile container's unflushed-region notes.
//   FlatFileRegion     FlatFileCacheItem::s_flatFileLock, striped by flat
//                      file: a region's reservation.
//   FlatFileLedger     FlatFileLedger::lock: the GUID a flat file's regions
//                      belong to, as one container learnt it.
//   KeptFileRegistry   the registry of kept flat-file descriptors (stripes).
//   KeptFile           FlatFileHandle::lock: one kept descriptor, and the
//                      GUID and handed-out regions of its flat file.
//   AdapterTransaction SQLiteAdapter::transactionStateLock: BEGIN/COMMIT
//                      and the adapter's own transaction flag.
//   DatabaseConnection one SQLite connection and its statements (the
//                      wrapper's own lock: SQLite's is off); recursive, held
//                      across one statement with the reading of its rows.
//   KeptAnswers        an adapter's kept answers of one-row reads.
//   DatabaseHook       a connection's test hook.
//   ThreadLifecycle    start and stop of a thread or a pool (XkThread,
//                      CAlertableEventThread, XkThreadPool).
//   ThreadState        a thread's or pool's wake and work queue.
//   Event              XkEvent: one event's state.
//   PrunerDone         a pruner's completion signal from its data pool.
//   PrunerHook         a pruner's prune-window test hook (not held while the
//                      hook runs).
//   PerJobCounters     g_lockPerJobPerfCounters: the per-job counter sets.
//   Counter            one counter's figures (CPerfCounter), where the CPU
//                      has no 16-byte compare-and-swap.
//   DelayPoints        the armed debug-simulation delay points.
//   LockFileHolders    the registry of held lock files by identity
//                      (CHeldLockFile): held across a lock file's look-up,
//                      open and lock, and its unlock and close.
//   ProcessUse         the process's lock-file descriptors by path.
//   PlatformAnswers    the platform stand-ins' settable answers and state:
//                      client id, mount paths, job states, cells, media,
//                      configuration store, loopback hosts and their roots,
//                      injected faults.
//   LogWriter          the log writer's sink.
//   DebugLog           the debug log's file, its parameters, its capture.

#include <condition_variable>
#include <cstdint>
#include <mutex>

enum class LockRank : uint16_t {
    Singleton = 1,
    Publish,
    ServiceInit,
    StageCleanup,
    WriteSync,
    Service,
    PeriodicCallback,
    PrunerConfig,
    VMRow,
    LocationMaking,
    RetiringMaking,
    ContainerMap,
    AfileTransaction,
    LockFile,
    RetiringEntries,
    RetiringRegistries,
    Unflushed,
    FlatFileRegion,
    FlatFileLedger,
    KeptFileRegistry,
    KeptFile,
    AdapterTransaction,
    DatabaseConnection,
    KeptAnswers,
    DatabaseHook,
    ThreadLifecycle,
    ThreadState,
    Event,
    PrunerDone,
    PrunerHook,
    PerJobCounters,
    Counter,
    DelayPoints,
    LockFileHolders,
    ProcessUse,
    PlatformAnswers,
    LogWriter,
    DebugLog,
};

namespace LockOrder {
// Whether this build checks the order.
bool Checked();
// Called before a thread waits for `lock`; aborts, naming both locks, when a
// lock of the same or a higher rank is held (re-entry of `lock` aside).
void Acquiring(const void* lock, uint16_t rank, const char* name);
// Called once the thread has `lock` (after a successful try too).
void Acquired(const void* lock, uint16_t rank, const char* name);
void Released(const void* lock);
}  // namespace LockOrder

// A mutex with its place in the lock map. Meets BasicLockable and Lockable,
// so std::lock_guard, std::unique_lock and std::condition_variable_any take
// it. Over std::recursive_mutex, re-entry by the holding thread is always
// allowed.
template <typename Mutex>
class BasicRankedMutex {
public:
    BasicRankedMutex(LockRank rank, const char* name) : rank(static_cast<uint16_t>(rank)), name(name) {}
    BasicRankedMutex(const BasicRankedMutex&) = delete;
    BasicRankedMutex& operator=(const BasicRankedMutex&) = delete;

    void lock() {
#ifdef LBC_LOCK_ORDER_CHECK
        LockOrder::Acquiring(this, rank, name);
#endif
        mutex.lock();
#ifdef LBC_LOCK_ORDER_CHECK
        LockOrder::Acquired(this, rank, name);
#endif
    }
    bool try_lock() {
        if (!mutex.try_lock()) return false;
#ifdef LBC_LOCK_ORDER_CHECK
        LockOrder::Acquired(this, rank, name);
#endif
        return true;
    }
    // As lock, but tried `tries` times first, pausing in between: for a lock
    // held for microseconds at a time by many threads, where a waiter put to
    // sleep costs more than the wait.
    void lock_spinning(int tries) {
#ifdef LBC_LOCK_ORDER_CHECK
        LockOrder::Acquiring(this, rank, name);
#endif
        bool held = false;
        for (int i = 0; i < tries && !held; ++i) {
            held = mutex.try_lock();
#if defined(__x86_64__) || defined(__i386__)
            if (!held) __builtin_ia32_pause();
#endif
        }
        if (!held) mutex.lock();
#ifdef LBC_LOCK_ORDER_CHECK
        LockOrder::Acquired(this, rank, name);
#endif
    }
    void unlock() {
#ifdef LBC_LOCK_ORDER_CHECK
        LockOrder::Released(this);
#endif
        mutex.unlock();
    }

private:
    const uint16_t rank;
    const char* const name;
    Mutex mutex;
};

using RankedMutex = BasicRankedMutex<std::mutex>;
using RankedRecursiveMutex = BasicRankedMutex<std::recursive_mutex>;

// The condition variable that waits on a RankedMutex.
using RankedCondition = std::condition_variable_any;
