#pragma once
// The service behind the facade: start-up, the periodic duties, the mapping
// of afile copies to cache mount paths and of mount paths to their Cache,
// top-level CacheDB and CachePruner, the request operations, and shutdown.
//
// Locks (ranked in platform/LockOrder.h): serviceLock is held for a whole
// resolution, media-manager request and creation of a new location
// included; nothing done under it takes the write/prune lock, and no thread
// waits for a pruner thread while holding it (a pruner's pass resolves
// through GetCache, which takes it).
//
// The published implementation (g_ptrCacheImpl) is read and replaced
// atomically; replacing it stops the old one's threads before the new one is
// published, so that no pruner of the old one resolves through the new one
// and the old one is never destroyed on one of its own threads.
//
// A service lets go of everything it made where it is destroyed, in the
// process that made it: every afile copy its locations hold is committed,
// written back and unlocked there, whoever still holds a location's top-level
// container. In a child forked from that process the service is the parent's
// and is never let go of (service/InheritedService.h): a destruction there
// abandons the locations and threads as they are. The host's handles
// keep no container of a location, except that an open Writer holds its own
// afile copy's container until its Close or release, which then writes that
// copy back and unlocks it (while it lives, a new service's location takes
// it up instead of making a second one: CacheDB::CWriterHold). A held Reader
// reads through its own item and needs no container.

#include "CZoError.h"
#include "FXCriticalSection.h"
#include "LiveBrowseCache.h"
#include "platform/LockOrder.h"
#include "platform/MountPathInfo.h"
#include "store/CacheLookup.h"  // GetCache, GetDB: answered by the published implementation

#include <boost/any.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CachePruner;
class PeriodicUtilityThread;
typedef boost::shared_ptr<CachePruner> CachePrunerPtr;

// Bit 34 of a request's flags word marks a partial extent; an extent row
// records a full extent as Flags 1 and a partial one as Flags 2.
constexpr long long kPartialExtentFlag = 0x400000000LL;
constexpr int kFlagsFullExtent = 1;
constexpr int kFlagsPartialExtent = 2;

class CLiveBrowseCacheImpl : public boost::enable_shared_from_this<CLiveBrowseCacheImpl> {
public:
    struct AfilePathId {
        long long afileId;
        unsigned int copyId;
    };
    struct AfilePathIdCompare {
        bool operator()(const AfilePathId& a, const AfilePathId& b) const;
    };
    // A mount path is told apart by the low 32 bits of its MMPathId alone.
    struct CachePathId {
        MediaManager::MountPathInfo mountPath;
    };
    struct CachePathIdCompare {
        bool operator()(const CachePathId& a, const CachePathId& b) const;
    };
    struct AfilePath {
        CachePathId cachePathId;
    };
    struct CachePath {
        CachePtr cache;
        CacheDBPtr db;
        CachePrunerPtr pruner;
    };

    // Creates the periodic thread (not started), replaces the process-wide
    // counter set and arms the delay points. Cannot fail.
    CLiveBrowseCacheImpl();
    // Stops the periodic thread, then the pruners, disarms the delay points
    // and releases the cache locations with every afile copy they hold (see
    // the top of this file).
    virtual ~CLiveBrowseCacheImpl();
    CLiveBrowseCacheImpl(const CLiveBrowseCacheImpl&) = delete;
    CLiveBrowseCacheImpl& operator=(const CLiveBrowseCacheImpl&) = delete;

    // ---- start-up and periodic duties

    CZoError Initialize(std::string path, bool testMode);
    CZoError InitialCleanup();
    CZoError CreateLocalCacheFolder();
    // What the periodic thread runs for the service every 60 seconds.
    void RunPeriodicDuties();
    bool IsClearAfileCachePathMappings();
    void ClearCachedAfilePathMappings();
    bool IsPrintProcessStats();
    void RefreshConfigurationCachePaths();
    void StartCachePathPruners();
    void StopCachePathPruners();
    // Stops the periodic thread and every pruner for good; later resolutions
    // create no location. Called before the implementation is replaced.
    void StopThreads();
    void SetTestability();

    // ---- cache location resolution

    CZoError GetConfiguredCache(long long afileId, unsigned int copyId, CachePtr& cache, CacheDBPtr& db);
    CZoError GetConfiguredCache(long long afileId, unsigned int copyId, CachePtr& cache, CacheDBPtr& db,
                                CachePrunerPtr& pruner);
    CZoError GetMediaConfiguredCache(long long afileId, unsigned int copyId, CachePtr& cache, CacheDBPtr& db,
                                     CachePrunerPtr& pruner);
    CZoError SetPrunePolicy(CLiveBrowseCache::PrunePolicy policy, CachePrunerPtr pruner);
    CZoError GetBaseFolderPath(std::string& dataFolder, std::string& dbFolder);
    bool IsErrorExtentAlreadyCached(CZoError& error);
    // Whether Initialize has derived the local cache folder.
    bool IsInitialized() const { return initialized.load(); }

    // ---- requests

    CZoError GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, long long flags, CLiveBrowseCache::WriterPtr& writer);
    CZoError GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, CLiveBrowseCache::WriterPtr& writer);
    CZoError GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, long long flags, CLiveBrowseCache::ReaderPtr& reader);
    CZoError GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, CLiveBrowseCache::ReaderPtr& reader);
    CZoError IsExtentInCache(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             bool& cached, bool& recorded);
    CZoError GetExtentIterator(long long jobId, long long afileId, unsigned int tessarelId, unsigned int copyId,
                               unsigned long batchSize, boost::shared_ptr<CLiveBrowseCache::ExtentIterator>& iterator);
    CZoError GetCachedJobIterator(long long jobId, long long afileId, unsigned int tessarelId, unsigned int copyId,
                                  unsigned long batchSize, boost::shared_ptr<CLiveBrowseCache::JobIterator>& iterator);
    CZoError AgeCachedJob(long long jobId, long long afileId, unsigned int tessarelId, unsigned int copyId,
                          unsigned int days);

    // ---- for tests
    boost::shared_ptr<PeriodicUtilityThread> TEST_PeriodicThread() const { return periodicThread; }
    size_t TEST_AfileMappingCount();
    // The pruners of every location, by the folder's text.
    std::vector<CachePrunerPtr> TEST_Pruners();
    // Implementations constructed and not yet destroyed, in the process.
    static int TEST_LiveImplementations();

private:
    // In a forked child: keeps the locations and the thread objects for good,
    // untouched; the destructor does nothing else there.
    void AbandonInChild();

    // ---- the steps of GetMediaConfiguredCache, each called holding serviceLock

    // The location of an afile copy resolved since the last daily clearing;
    // false when it has none.
    bool FindKnownLocation(const AfilePathId& afileKey, CachePtr& cache, CacheDBPtr& db,
                           CachePrunerPtr& pruner) const;
    // The mount path the afile copy was resolved to since the last daily
    // clearing; false when it has none.
    bool LookUpAfilePath(const AfilePathId& afileKey, MediaManager::MountPathInfo& mountPath);
    // The media manager's answer when it is asked and usable, else the local
    // cache location.
    CZoError ResolveMountPath(const AfilePathId& afileKey, bool useMediaManager,
                              MediaManager::MountPathInfo& mountPath);
    // The first entry of the media manager's reply when it has an id; an
    // empty mount path otherwise.
    MediaManager::MountPathInfo AskMediaManager(const AfilePathId& afileKey);
    // The local cache folder with MMPathId 0.
    static CZoError LocalMountPath(MediaManager::MountPathInfo& mountPath);
    // The location entered under the mount path's id, entering it on the
    // id's first use.
    CZoError FindOrCreateCachePath(const MediaManager::MountPathInfo& mountPath, CachePath& location);
    void RecordAfilePath(const AfilePathId& afileKey, const MediaManager::MountPathInfo& mountPath);
    // The location of a mount path whose id has none yet: the one already
    // made over the same folder, or a new one.
    CZoError FindOrCreateCacheLocation(const MediaManager::MountPathInfo& mountPath, CachePath& location);
    // The local location whose folder is, as things stand now, the folder
    // `folder` names; cacheFolderMap's end when there is none.
    std::map<std::string, CachePath>::iterator FindLocalLocation(const std::string& folder);
    // folder: the mount path's folder in its canonical spelling.
    CZoError CreateCacheLocation(const MediaManager::MountPathInfo& mountPath, const std::string& folder,
                                 CachePath& location);
    // The file access of the location, logging which kind it is: a
    // CacheMountPathInfo for a data-server path, empty for a local one.
    // located is the mount path with its canonical folder.
    static boost::any MountPathAccess(const MediaManager::MountPathInfo& mountPath,
                                      const MediaManager::MountPathInfo& located);
    // An error Initialize throws is returned like one it returns.
    static CZoError InitializeCache(const CachePtr& cache, const boost::any& access);
    // The top-level container over dbFolder, staged when the service is
    // initialised; an error it throws is returned.
    CZoError InitializeCacheDB(const std::string& dbFolder, const boost::any& access, CacheDBPtr& db);
    static CachePrunerPtr StartPruner(const CachePtr& cache, const CacheDBPtr& db);

    // constant after construction
    const boost::shared_ptr<PeriodicUtilityThread> periodicThread;

    // Serialises Initialize; guards cacheFolder.
    RankedMutex initLock{LockRank::ServiceInit, "service init"};
    std::string cacheFolder;
    // Atomic: read by GetCache/GetDB on any thread while Initialize sets them.
    std::atomic<bool> initialized{false};
    std::atomic<unsigned long> clientId{0};

    // guarded by serviceLock
    std::map<AfilePathId, AfilePath, AfilePathIdCompare> afilePathMap;
    std::map<CachePathId, CachePath, CachePathIdCompare> cachePathMap;
    // Every location once: the ids of cachePathMap that name one folder
    // share its one location, so that the folder's afile copies never get two
    // containers in the process. A local location is known by the identity
    // of its folder (device and inode) whichever path reaches it: a symbolic
    // link, a moved parent, a bind mount; a data-server location by its
    // normalised text, the server's links being its own. Keyed by the
    // folder's canonical text when it was made, which the location's objects
    // use.
    std::map<std::string, CachePath> cacheFolderMap;
    // The keys of cacheFolderMap that are local folders.
    std::set<std::string> localCacheFolders;
    bool stopped = false;  // StopThreads has run: no new location, no pruner started
    FXCriticalSection serviceLock{static_cast<uint16_t>(LockRank::Service), "service"};

    // Written by the periodic thread (and ClearCachedAfilePathMappings on any
    // thread); atomic so that a direct call from another thread is safe.
    std::atomic<int64_t> lastMappingClear;
    std::atomic<int64_t> lastStatsPrint;
};
typedef boost::shared_ptr<CLiveBrowseCacheImpl> CLiveBrowseCacheImplPtr;

// The published implementation; defined with the facade. Reach it only
// through these: it is replaced while other threads resolve through it.
extern boost::shared_ptr<CLiveBrowseCacheImpl> g_ptrCacheImpl;
CLiveBrowseCacheImplPtr LoadCacheImpl();
// Stops the threads of the implementation published before (if it is not
// impl), publishes impl and releases the old one, which is destroyed here
// when nothing else holds it. Also installs the data store's resolver.
void PublishCacheImpl(const CLiveBrowseCacheImplPtr& impl);
// Publishes nothing, stopping the threads of the implementation published
// before and releasing it: the unload guard's work (and a test's after
// DestroyInstance), so that the implementation and its threads end now.
void ReleasePublishedCacheImpl();
