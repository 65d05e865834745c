#include "pruning/CacheDBPruner.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/XkThreadPool.h"

namespace {
const char kPoolName[] = "LiveBrowseCacheDBPruner";
}  // namespace

CacheDBPruner::CacheDBPruner(CacheDBPtr cacheDB)
    : threadPool(boost::shared_ptr<XkThreadPool>(new XkThreadPool())), cacheDB(cacheDB) {}

CacheDBPruner::~CacheDBPruner() = default;

CZoError CacheDBPruner::Start() {
    if (started.load()) return CZoError::Success();
    if (!threadPool->initThreadPool(kPoolName, 4294967295UL, 1, 1, 1)) {
        LBC_LOG(-1,
                "Failed to initialize threadpool for Live browse cache DB pruner threads. Periodic pruning operation "
                "will not be carried out.");
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabasePrunerPoolFailed);
    }
    started.store(true);
    LBC_LOG(0, "Live Browse Cache db pruner threadpool STARTED");
    return CZoError::Success();
}

CZoError CacheDBPruner::Stop(bool wait) {
    if (!started.load()) return CZoError::Success();
    if (wait) {
        if (!threadPool->waitForAllThreads(true, true, true, -1)) {
            LBC_LOG(-1, "Error waiting for Live browse cache DB pruner threads to finish");
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabasePrunerWaitFailed);
        }
    } else {
        threadPool->terminateAllThreads();
    }
    LBC_LOG(0, "Live Browse Cache db pruner threadpool STOPPED");
    return CZoError::Success();
}
