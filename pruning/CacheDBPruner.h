#pragma once
// The database-pruner pool of one cache location: made and stopped with its
// pruner like the data pool, but never given work.

#include "CZoError.h"

#include <boost/shared_ptr.hpp>

#include <atomic>

class CacheDB;
class XkThreadPool;
typedef boost::shared_ptr<CacheDB> CacheDBPtr;

class CacheDBPruner {
public:
    explicit CacheDBPruner(CacheDBPtr cacheDB);
    virtual ~CacheDBPruner();
    CacheDBPruner(const CacheDBPruner&) = delete;
    CacheDBPruner& operator=(const CacheDBPruner&) = delete;

    // Starts the pool once; LBCError::kDatabasePrunerPoolFailed when it cannot, and a
    // later call tries again.
    CZoError Start();
    // wait: let the work finish and end the threads
    // (LBCError::kDatabasePrunerWaitFailed when the wait fails); otherwise
    // terminate them. A pool never started: success.
    CZoError Stop(bool wait);
    bool IsStarted() const { return started.load(); }

private:
    // Atomic: tests look at it from their own thread.
    std::atomic<bool> started{false};
    // constant after construction
    const boost::shared_ptr<XkThreadPool> threadPool;
    const CacheDBPtr cacheDB;
};
typedef boost::shared_ptr<CacheDBPruner> CacheDBPrunerPtr;
