#pragma once
// The data-pruner pool of one cache location: deletes the flat files of
// pruned VM jobs on its own threads and reports each result to a completion
// callback, so that the pruner thread can go on with the next VM job.
//
// Contract: every request's callback runs exactly once, on a pool thread
// while the pool is started, and on the calling thread before the request
// returns while it is not (or when the pool refuses the request). Nothing a
// request or its callback throws leaves the thread that runs it.
//
// Used by the pruner thread only (Start, Stop and the submissions); the
// callbacks run on the pool's threads.

#include "CZoError.h"
#include "store/CacheFileIO.h"

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class CacheItem;
class XkThreadPool;
typedef boost::shared_ptr<CacheItem> CacheItemPtr;

class CacheDataPruner {
public:
    typedef std::function<CZoError(CZoError)> Callback;

    // One queued request; owned by whoever processes it, which destroys it.
    struct WorkItem {
        enum Type : int32_t { PRUNE_CACHE_ITEM = 0, DELETE_FILE = 1 };

        int32_t type;
        boost::any payload;  // PRUNE_CACHE_ITEM: CacheItemPtr; DELETE_FILE: the full path
        Callback callback;
        CCacheFileIOPtr fileIO;
    };

    CacheDataPruner();
    virtual ~CacheDataPruner();
    CacheDataPruner(const CacheDataPruner&) = delete;
    CacheDataPruner& operator=(const CacheDataPruner&) = delete;

    void SetFSIO(CCacheFileIOPtr io);
    // Starts the pool once; LBCError::kDataPrunerPoolFailed when it cannot, and a
    // later call tries again.
    CZoError Start();
    // wait: let the work finish and end the threads
    // (LBCError::kDataPrunerWaitFailed when the wait fails); otherwise
    // terminate them. A pool never started: success.
    CZoError Stop(bool wait);
    bool IsStarted() const { return started.load(); }

    // Queues the deletion of the file; always success. The callback gets
    // success, or LBCError::kPruneFileRemoveFailed "(error=%s)" when the file
    // could not be removed.
    CZoError DeleteCacheFile(const std::string& path, Callback callback);
    // Single items are not pruned: the callback always gets
    // LBCError::kPruneItemNotSupported.
    CZoError PruneCacheItem(CacheItemPtr item, Callback callback);

    // The pool's work function: processes one WorkItem and destroys it.
    static void* ProcessDataPrunerRequest(void* workItem);

private:
    void Submit(WorkItem* item);

    // Atomic: tests look at it from their own thread.
    std::atomic<bool> started{false};
    // constant after construction
    const boost::shared_ptr<XkThreadPool> threadPool;
    // set before the first submission
    CCacheFileIOPtr fileIO;
};
typedef boost::shared_ptr<CacheDataPruner> CacheDataPrunerPtr;
