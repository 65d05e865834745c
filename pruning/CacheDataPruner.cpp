#include "pruning/CacheDataPruner.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/XkThreadPool.h"

#include <exception>
#include <memory>
#include <utility>

namespace {

const char kPoolName[] = "LiveBrowseCacheDataPruner";

// Owns a work item once its processing has begun: letting go of it calls the
// callback once with the result and then destroys the item, on every way out.
class WorkItemDeleter {
public:
    explicit WorkItemDeleter(CacheDataPruner::WorkItem* item) : item(item) {}
    ~WorkItemDeleter() {
        if (item->callback) {
            try {
                item->callback(result);  // its answer is not looked at
            } catch (const CZoError& err) {
                LBC_LOG(-1, "Data pruner completion failed, error=%s", err.AsString().c_str());
            } catch (const std::exception& e) {
                LBC_LOG(-1, "Data pruner completion failed, error=%s", e.what());
            } catch (...) {
                LBC_LOG(-1, "Data pruner completion failed with an unknown exception");
            }
        }
        delete item;
    }
    WorkItemDeleter(const WorkItemDeleter&) = delete;
    WorkItemDeleter& operator=(const WorkItemDeleter&) = delete;

    CacheDataPruner::WorkItem* Item() const { return item; }
    void SetResult(const CZoError& err) { result = err; }

private:
    CacheDataPruner::WorkItem* const item;
    CZoError result;
};

CZoError RemoveFile(CacheDataPruner::WorkItem& item) {
    const std::string path = boost::any_cast<std::string>(item.payload);
    // An empty path names no file: removing "nothing" must not reach the
    // file system, where it could resolve to a folder of the location.
    if (path.empty()) return CZoError::Success();
    CZoError err = item.fileIO ? item.fileIO->RemoveFile(path)
                               : FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFileRemoveFailed,
                                                       "No file access to remove [%s]", path.c_str());
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFileRemoveFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

}  // namespace

CacheDataPruner::CacheDataPruner() : threadPool(boost::shared_ptr<XkThreadPool>(new XkThreadPool())) {}

CacheDataPruner::~CacheDataPruner() = default;

void CacheDataPruner::SetFSIO(CCacheFileIOPtr io) { fileIO = io; }

CZoError CacheDataPruner::Start() {
    if (started.load()) return CZoError::Success();
    if (!threadPool->initThreadPool(kPoolName, 4294967295UL, 1, 1, 1)) {
        LBC_LOG(-1,
                "Failed to initialize threadpool for Live browse cache Data pruner threads. Periodic pruning operation "
                "will not be carried out.");
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDataPrunerPoolFailed);
    }
    started.store(true);
    LBC_LOG(0, "Live Browse Cache data pruner threadpool STARTED");
    return CZoError::Success();
}

CZoError CacheDataPruner::Stop(bool wait) {
    if (!started.load()) return CZoError::Success();
    if (wait) {
        if (!threadPool->waitForAllThreads(true, true, true, -1)) {
            LBC_LOG(-1, "Error waiting for Live browse cache Data pruner threads to finish");
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDataPrunerWaitFailed);
        }
    } else {
        threadPool->terminateAllThreads();
    }
    LBC_LOG(0, "Live Browse Cache data pruner threadpool STOPPED");
    return CZoError::Success();
}

CZoError CacheDataPruner::DeleteCacheFile(const std::string& path, Callback callback) {
    Submit(new WorkItem{WorkItem::DELETE_FILE, boost::any(path), std::move(callback), fileIO});
    return CZoError::Success();
}

CZoError CacheDataPruner::PruneCacheItem(CacheItemPtr item, Callback callback) {
    Submit(new WorkItem{WorkItem::PRUNE_CACHE_ITEM, boost::any(item), std::move(callback), fileIO});
    return CZoError::Success();
}

void CacheDataPruner::Submit(WorkItem* item) {
    if (started.load() && threadPool->doWork(&CacheDataPruner::ProcessDataPrunerRequest, item)) return;
    // Not started, or refused (a pool that is ending): the pruner waits for
    // every callback, so the request runs here rather than being lost.
    if (started.load()) LBC_LOG(1, "Data pruner threadpool refused a request; running it on the calling thread");
    ProcessDataPrunerRequest(item);
}

void* CacheDataPruner::ProcessDataPrunerRequest(void* workItem) {
    if (workItem == nullptr) return nullptr;
    WorkItemDeleter owner(static_cast<WorkItem*>(workItem));
    WorkItem& item = *owner.Item();
    try {
        switch (item.type) {
            case WorkItem::PRUNE_CACHE_ITEM:
                boost::any_cast<CacheItemPtr>(item.payload);
                owner.SetResult(FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneItemNotSupported));
                break;
            case WorkItem::DELETE_FILE:
                owner.SetResult(RemoveFile(item));
                break;
            default:
                owner.SetResult(FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneItemNotSupported));
                break;
        }
    } catch (const CZoError& err) {
        owner.SetResult(
            FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFileRemoveFailed, "(error=%s)", err.AsString().c_str()));
    } catch (const std::exception& e) {
        owner.SetResult(FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFileRemoveFailed, "(error=%s)", e.what()));
    } catch (...) {
        owner.SetResult(
            FXErrorUtil::ErrorInt(FXLOC, LBCError::kPruneFileRemoveFailed, "(error=%s)", "unknown exception"));
    }
    return nullptr;
}
