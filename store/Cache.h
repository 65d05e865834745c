#pragma once
// The cache object of one cache location (a local cache folder or a media
// manager's cache mount path): its data folder, file access and storage back
// end, its size limit, space statistics, FULL / NOT FULL state, maintenance
// window and, through the back end, its availability.
//
// Life cycle: construct, SetMountPathInfo, Initialize; only the accessors may
// be used before Initialize has succeeded. Host threads use the item
// operations, IsFull and IsUnavailable; the location's pruner the statistics,
// maintenance and availability operations.
//
// Locks: Cache has none of its own. Entering the maintenance window takes the
// write/prune lock (CCacheSyncObject::s_lockWriteSync), which ranks before the
// service and database locks (platform/LockOrder.h).

#include "CAutoMemory.h"
#include "CZoError.h"
#include "Extent.h"
#include "VM.h"
#include "store/CacheFileIO.h"

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

class CacheItem;
class CacheImpl;
typedef boost::shared_ptr<CacheItem> CacheItemPtr;
typedef boost::shared_ptr<CacheImpl> CacheImplPtr;

class Cache;
typedef boost::shared_ptr<Cache> CachePtr;
class FlatFileHandle;
typedef boost::shared_ptr<FlatFileHandle> FlatFileHandlePtr;

class Cache {
public:
    enum Type : int32_t {
        FLAT_FILE_CACHE = 0,
        PER_EXTENT_FILE_CACHE = 1  // refused
    };

    enum FullState : int32_t {
        FULL_STATE_NONE = 0,  // no statistics computed yet
        FULL_STATE_FULL = 1,
        FULL_STATE_NOT_FULL = 2
    };

    // Why an item is made or opened.
    enum IntendedOp : int32_t {
        INTENDED_OP_READ = 0,
        INTENDED_OP_REWRITE = 1,
        INTENDED_OP_WRITE = 2,
        INTENDED_OP_VALIDITY_TEST = 3
    };

    // Why a cache location recorded in an extent row is not valid.
    enum INVALIDITY_REASON : int32_t {
        INVALIDITY_NONE = 0,  // the callers' starting value; no back end sets it
        INVALIDITY_NO_LOCATION = 1,
        INVALIDITY_GUID_MISMATCH = 2,
        INVALIDITY_FILE_NOT_OPENED = 3
    };

    struct CacheSpaceStats {
        CacheSpaceStats() : available(0), total(0), cacheSize(0) {}

        // bytes still available to the cache, the size limit considered
        unsigned long long available;
        // the volume's total bytes, or the size limit when one is set
        unsigned long long total;
        // bytes of all files under the data folder
        unsigned long long cacheSize;
    };

    // `initialized` is the service's own state; it changes nothing here.
    Cache(Type type, const std::string& rootPath, bool initialized);
    virtual ~Cache();
    Cache(const Cache&) = delete;
    Cache& operator=(const Cache&) = delete;

    // An empty any means a local location; otherwise a CacheMountPathInfo.
    // When no file access can be made for it, the reason is kept and
    // Initialize returns it.
    void SetMountPathInfo(boost::any mountPathInfo);
    // Throws a CZoError (LBCError::kCachePathFailed) when the data folder path
    // cannot be composed; every other failure is returned.
    CZoError Initialize();
    void RefreshConfiguration();

    void SetMaxCacheSize(unsigned long long bytes);
    void SetMaxCacheSizeInGB(unsigned int gb);
    unsigned long long GetMaxCacheSize() const;
    // Takes effect only when fullPercent < notFullPercent.
    void SetSpaceThresholds(unsigned int fullPercent, unsigned int notFullPercent);
    void GetSpaceThresholds(unsigned int& fullPercent, unsigned int& notFullPercent) const;

    // Pruner thread only: fills stats, keeps a copy and updates the full state.
    CZoError GetCacheSpaceUsageStats(CacheSpaceStats& stats);
    void UpdateCacheFullState();
    bool IsFull() const;

    bool IsDueCacheMaintenance() const;
    // Entering succeeds only when due and while no extent write is registered
    // anywhere in the process; every due attempt restarts the interval.
    bool SetCacheInMaintenance(bool enter);
    bool IsInMaintenance() const;

    bool IsAvailable() const;
    bool IsUnavailable() const;
    void MarkAvailable();
    CZoError CheckAvailibility(bool& available);

    std::string GetCacheDataFolderPath() const;
    std::string description() const;
    CCacheFileIOPtr GetFSIO() const;

    // Forwarded to the back end.
    CZoError CreateItem(ExtentPtr extent, const std::string& validityGuid, IntendedOp op, CacheItemPtr& item);
    CZoError CreateItemAt(ExtentPtr extent, const std::string& itemPath, IntendedOp op, CacheItemPtr& item);
    CZoError GetItem(long long jobId, const std::string& dbLocation, IntendedOp op, CacheItemPtr& item);
    // The same, given the handle of the afile copy's flat file its container
    // keeps: an item of that file takes it up instead of finding it again.
    CZoError GetItem(long long jobId, const std::string& dbLocation, IntendedOp op, const FlatFileHandlePtr& keptFile,
                     CacheItemPtr& item);
    CZoError ReadItem(long long jobId, const std::string& dbLocation, CAutoMemory<char>& buffer);
    CZoError ReadItem(long long jobId, CacheItemPtr item, size_t& size, CAutoMemory<char>& buffer);
    CZoError DeleteItem(CacheItemPtr item);
    CZoError AppendToItem(CacheItemPtr item, const void* data, size_t length);
    CZoError CloseItem(CacheItemPtr item);
    CZoError IsCacheLocationValid(const Extent& extent, const VM& vm, bool& valid, INVALIDITY_REASON& reason);
    // The test of a location whose read item the caller opened already, with
    // that opening's outcome: the read admission looks at the storage once.
    CZoError IsOpenedLocationValid(const Extent& extent, const VM& vm, const CZoError& opening, bool& valid,
                                   INVALIDITY_REASON& reason);
    CZoError GetCacheFilePath(const VM& vm, std::string& path);
    CZoError GetCacheSize(const VM& vm, long long& size);
    CZoError GetCacheSize(unsigned long long& size);
    CZoError DeleteEmptyFolders(int budgetMs);

    // Replaces the kept statistics, for volumes no test can make (a total of 0).
    void TEST_SetSpaceStats(const CacheSpaceStats& stats) { spaceStats = stats; }

private:
    CZoError GetCacheImplementation(Type type, CacheImplPtr& impl);
    CZoError CreateCacheDataFolder();
    // The back end, or LBCError::kCacheTypeNotSupported when Initialize has not
    // made one.
    CZoError Impl(const FXCodeLocation& at, CacheImplPtr& impl) const;

    // Set once by SetMountPathInfo and Initialize, before the cache is shared.
    CacheImplPtr cacheImpl;
    std::string dataFolderPath;
    const Type cacheType;
    const std::string rootPath;
    boost::any mountPathInfo;
    CCacheFileIOPtr fileIO;
    CZoError fileIOError;  // why SetMountPathInfo made no file access
    std::string shortName;

    // Read by host threads while the pruner or a configuration refresh
    // writes them: atomic.
    std::atomic<unsigned long long> maxCacheSize{0};
    std::atomic<unsigned int> fullThreshold{20};
    std::atomic<unsigned int> notFullThreshold{30};
    std::atomic<FullState> fullState{FULL_STATE_NONE};
    std::atomic<bool> inMaintenance{false};
    std::atomic<int64_t> lastMaintenanceStart{0};
    std::atomic<int32_t> minMaintenanceIntervalSecs{28800};

    // pruner thread only
    CacheSpaceStats spaceStats;
};
