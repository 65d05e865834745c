// Shared deferred transactions, Writer holds, the flush of written regions
// before their rows commit, and the release of idle per-afile containers.
//
// Locks: as ranked in platform/LockOrder.h (a released container commits at
// its destruction, under its top-level container's mapLock).

#include "metadb/CacheDB.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/RecycledBlock.h"
#include "platform/SystemClock.h"
#include "platform/Win32Constants.h"
#include "platform/XKJobQuery.h"
#include "platform/XKPlatformObjects.h"

#include <boost/make_shared.hpp>

namespace {
// A commit is issued only when more than this many seconds have passed.
const int64_t kCommitDelaySeconds = 29;
}  // namespace

CacheDB::CTransactionContext::CTransactionContext(CacheDBPtr container) : container(container) {}

CacheDB::CTransactionContext::~CTransactionContext() {
    if (!container) return;
    CZoError err = container->CommitTransaction(false);
    if (err.IsError()) LBC_LOG(-1, "Failed to execute SQL COMMIT transaction [%s]", err.AsString().c_str());
}

CacheDB::CWriterHold::CWriterHold(CacheDBPtr perAfileContainer) : container(perAfileContainer) {
    if (container) ++container->openWriters;
}

CacheDB::CWriterHold::~CWriterHold() {
    if (container) --container->openWriters;
}

CZoError CacheDB::HoldForWriter(const ExtentParam& key, CWriterHoldPtr& hold) {
    // Asked of the afile copy's own container (the one its request resolved),
    // which its Writer holds as it is: released meanwhile, it is kept alive
    // by the hold, and the next request takes it up again.
    if (isAfileDB) {
        hold = boost::make_shared<CWriterHold>(getPtr());
        return CZoError::Success();
    }
    CacheDBPtr container;
    CZoError err = GetCacheDB(key, container);
    if (err.IsError()) return err.Push(FXLOC);
    // Taken under the map lock, so an idle pass running now either sees the
    // hold or has already released the container, which the hold then keeps
    // alive (and locked) until the Writer lets it go.
    auto_lock guard(&mapLock);
    hold = boost::make_shared<CWriterHold>(container);
    return CZoError::Success();
}

CacheDB::CTransactionContextPtr CacheDB::BeginTransaction(ExtentPtr extent) {
    if (!isAfileDB) {
        // Not under this container's lock: it is the location's lock for
        // making containers, and would make every afile's BEGIN wait for it.
        if (!extent) return CTransactionContextPtr();
        CacheDBPtr container;
        CZoError err = GetCacheDB(*extent, container);
        if (err.IsError()) return CTransactionContextPtr();
        return container->BeginTransaction(extent);
    }
    auto_lock guard(&transactionLock);
    if (!impl) return CTransactionContextPtr();
    if (!transactionOpen) {
        CZoError err = impl->BeginTransaction();
        if (err.IsError()) {
            LBC_LOG(-1, "Failed to execute SQL BEGIN transaction [%s]", err.AsString().c_str());
            return CTransactionContextPtr();
        }
        requestsInTransaction = 0;
    }
    transactionOpen = true;
    ++requestsInTransaction;
    // One per request: its block is recycled.
    return boost::allocate_shared<CTransactionContext>(RecycledBlock<CTransactionContext>(), getPtr());
}

CZoError CacheDB::CommitTransaction(bool force) {
    if (!isAfileDB) return CZoError::Success();
    // An unforced commit this soon after the last one is nothing to do,
    // whatever the transaction's state: told without the lock, which every
    // request's release would otherwise take once more.
    int64_t now = static_cast<int64_t>(SystemClock::Time());
    if (!force && now - lastCommitTime.load() <= kCommitDelaySeconds) return CZoError::Success();
    auto_lock guard(&transactionLock);
    if (!transactionOpen) return CZoError::Success();
    now = static_cast<int64_t>(SystemClock::Time());
    if (!force && now - lastCommitTime.load() <= kCommitDelaySeconds) return CZoError::Success();
    lastCommitTime = now;
    transactionOpen = false;
    if (!impl) return CZoError::Success();
    CZoError err = FlushWrittenRegions();
    if (err.IsError()) {
        // Its rows may name bytes that never reached the disk: they are given
        // up (those extents are simply no longer cached), never committed.
        CZoError discarded = impl->RollbackTransaction();
        if (discarded.IsError()) {
            transactionOpen = true;
            LBC_LOG(-1, "Failed to discard the transaction of [%s] (error=%s)", description().c_str(),
                    discarded.AsString().c_str());
        }
        return err.Push(FXLOC);
    }
    err = impl->CommitTransaction();
    if (FXErrorUtil::IsInt(err, LBCError::kTransactionLost)) {
        // A statement in it failed (full disk, I/O error, no memory) and the
        // database rolled everything back: said loudly, never passed for a
        // commit. The transaction stays closed; the next request begins anew.
        LBC_LOG(-1, "Transaction of [%s] was rolled back by the database: the rows of %llu requests are lost (error=%s)",
                description().c_str(), static_cast<unsigned long long>(requestsInTransaction),
                err.AsString().c_str());
        return err.Push(FXLOC);
    }
    // The database keeps its transaction after a failed COMMIT; so does the
    // container, so that the next commit (at the latest the forced one at
    // destruction) saves its rows.
    if (err.IsError()) transactionOpen = true;
    return err;
}

void CacheDB::NoteWrittenRegion(const std::string& flatFilePath) {
    if (!isAfileDB || flatFilePath.empty()) return;
    std::lock_guard<RankedMutex> guard(unflushedLock);
    unflushedFlatFiles.insert(flatFilePath);
}

CZoError CacheDB::FlushWrittenRegions() {
    std::set<std::string> files;
    {
        std::lock_guard<RankedMutex> guard(unflushedLock);
        files.swap(unflushedFlatFiles);
    }
    CZoError failure;
    std::set<std::string> unflushed;
    for (const std::string& file : files) {
        CZoError err = fileIO ? fileIO->Sync(file)
                              : FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "No file access");
        // A flat file that is gone (pruned) leaves no row that could be served.
        if (FXErrorUtil::IsWin32(err, ERROR_FILE_NOT_FOUND)) {
            LBC_LOG(2, "Flat file [%s] is gone; nothing to flush", file.c_str());
            continue;
        }
        if (!err.IsError()) continue;
        unflushed.insert(file);
        if (!failure.IsError())
            failure = FXErrorUtil::ErrorInt(FXLOC, LBCError::kRegionsNotFlushed,
                                            "Flat file [%s] could not be flushed; rows naming its new regions are "
                                            "not committed (error=%s)",
                                            file.c_str(), err.AsString().c_str());
    }
    if (!unflushed.empty()) {
        std::lock_guard<RankedMutex> guard(unflushedLock);
        unflushedFlatFiles.insert(unflushed.begin(), unflushed.end());
    }
    return failure;
}

CZoError CacheDB::WriteLocatedRow(const Extent& row, bool insert) {
    if (!impl) return NoImplementation(FXLOC);
    if (row.CacheLocation.empty()) return AfterRowWrite(insert ? impl->AddExtent(row) : impl->UpdateExtent(row));
    // Held across the statement: no BEGIN or COMMIT of another request can
    // come between the test and the statement.
    auto_lock guard(&transactionLock);
    if (!transactionOpen) {
        CZoError err = FlushWrittenRegions();
        if (err.IsError()) return err.Push(FXLOC);
    }
    return AfterRowWrite(insert ? impl->AddExtent(row) : impl->UpdateExtent(row));
}

CZoError CacheDB::AfterRowWrite(const CZoError& result) {
    if (isAfileDB && impl && !result.IsError()) impl->NoteRowWritten();
    if (!isAfileDB || !result.IsError() || !impl) return result;
    auto_lock guard(&transactionLock);
    // Most failures (a key clash, a busy database) leave SQLite's transaction
    // open, and it is committed as usual. One that SQLite rolled back (full
    // disk, I/O error, no memory) is found out now, not at the next commit:
    // until then later rows would run outside any transaction without their
    // flat files flushed first. The forced commit reports the loss.
    if (!transactionOpen || !impl->TransactionLost()) return result;
    CZoError err = CommitTransaction(true);
    if (err.IsError() && !FXErrorUtil::IsInt(err, LBCError::kTransactionLost))
        LBC_LOG(-1, "Failed to execute SQL COMMIT transaction [%s]", err.AsString().c_str());
    return result;
}

CZoError CacheDB::WriteBackCommitted() {
    if (!isAfileDB) return CZoError::Success();
    if (!impl) return NoImplementation(FXLOC);
    // Held across both: no transaction opens between the commit and the copy.
    auto_lock guard(&transactionLock);
    CZoError err = CommitTransaction(true);
    if (err.IsError()) return err.Push(FXLOC);
    err = impl->WriteBackCommitted();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheDB::ReleaseIdleResources() {
    WriteBackKept();
    auto_lock guard(&mapLock);
    std::list<std::pair<VM, CacheDBPtr>> idle = GetIdleAfiles();
    for (const std::pair<VM, CacheDBPtr>& entry : idle) {
        LBC_LOG(0, "Releasing cache container [%s]", entry.second->description().c_str());
        containers.erase(entry.first);
    }
    // Each released container that nobody else holds is destroyed here:
    // forced commit, close, write-back and unlock.
    idle.clear();
    return CZoError::Success();
}

std::list<std::pair<VM, CacheDBPtr>> CacheDB::GetIdleAfiles() {
    auto_lock guard(&mapLock);
    std::list<std::pair<VM, CacheDBPtr>> idle;
    const int64_t now = static_cast<int64_t>(SystemClock::Time());
    const int64_t idleTime = static_cast<int64_t>(idleTimeSeconds);
    for (const auto& entry : containers) {
        const CacheDBPtr& container = entry.second;
        // Releasing it would drop the lock file under an open Writer's region.
        if (container->openWriters.load() > 0) continue;
        if (now - container->lastCommitTime.load() >= idleTime || container->IsConsumerJobDone())
            idle.push_back(entry);
    }
    return idle;
}

bool CacheDB::IsConsumerJobDone() {
    if (consumerJobId == 0) return false;
    std::string host = XKPI_MediaAgent().getHubServerHostName();
    if (host.empty()) {
        LBC_LOG(-1, "Failed to get HS name from the registry");
        return false;
    }
    XKJobQuery query;
    query.setPlatformType(XKS_PLATFORMTYPE_LINUX);
    if (!query.init(host)) {
        LBC_LOG(-1, "Failed to initialize XK Job Query object for HS [%s]", host.c_str());
        return false;
    }
    int state = query.getJobState(consumerJobId);
    if (state == 1 || state == 2 || state == 3) return false;
    LBC_LOG(0, "Job [%lld] complete. Freeing up cache file used by this job.", consumerJobId);
    return true;
}

CZoError CacheDB::ReleaseResources(const std::list<VM>& vms) {
    WriteBackKept();
    auto_lock guard(&mapLock);
    for (const VM& vm : vms) containers.erase(vm);
    return CZoError::Success();
}

CZoError CacheDB::ReleaseAllResources() {
    WriteBackKept();
    std::map<VM, CacheDBPtr, VMCompare> released;
    {
        auto_lock guard(&mapLock);
        released.swap(containers);
    }
    // Destroyed outside the map lock, each in turn. One still held stays in
    // the registry, where a making brings it back rather than make another.
    released.clear();
    return CZoError::Success();
}
