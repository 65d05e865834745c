#include "service/LiveBrowseCacheImpl.h"

#include "service/InheritedService.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/DebugSimulation.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "foundation/PeriodicUtilityThread.h"
#include "metadb/CacheDB.h"
#include "platform/EvDebug.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFolder.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "platform/LockOrder.h"
#include "platform/ProcessUseLock.h"
#include "platform/SystemClock.h"
#include "platform/XKClient.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CachePruner.h"
#include "store/Cache.h"
#include "store/CacheFileIO.h"
#include "store/CacheLookup.h"
#include "store/CacheMountPathInfo.h"
#include "store/CacheNamespace.h"
#include "store/FlatFileCacheItem.h"
#include "store/LiveBrowseCacheUtility.h"

#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

#include <pthread.h>

#include <set>
#include <utility>

namespace {

const char kConfigKey[] = "VirtualServer";
const int64_t kMappingClearSeconds = 86399;
const int64_t kProcessStatsSeconds = 599;

std::atomic<int> g_liveImplementations{0};

// Set in a forked child when a service was alive at the fork (one being
// destroyed counts): from then on that process, and any it forks, is not served.
std::atomic<bool> g_serviceInherited{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read in a child whatever the parent's threads held");

void AtForkInChild() {
    if (g_liveImplementations.load(std::memory_order_relaxed) > 0) g_serviceInherited.store(true);
}

// At load, before a host can fork.
const int g_atForkRegistered = ::pthread_atfork(nullptr, nullptr, &AtForkInChild);

// Staging folders cleaned in this process. Each is cleaned at its first start
// only: a later start must not delete the staged copies under open containers.
RankedMutex g_cleanedStageFoldersLock(LockRank::StageCleanup, "cleaned staging folders");
std::set<std::string>& CleanedStageFolders() {
    static std::set<std::string>* folders = new std::set<std::string>();  // never destroyed: used at unload
    return *folders;
}

// Serialises replacements of the published implementation.
RankedMutex& PublishLock() {
    static RankedMutex* lock = new RankedMutex(LockRank::Publish, "publish");  // never destroyed: used at unload
    return *lock;
}

int32_t LowId(const MediaManager::MountPathInfo& mountPath) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(mountPath.getMMPathId())));
}

// The answers of GetCache/GetDB: the published implementation's, once it is initialised.
CachePtr ResolveCache(long long afileId, unsigned long copyId) {
    CLiveBrowseCacheImplPtr impl = LoadCacheImpl();
    if (!impl || !impl->IsInitialized()) return CachePtr();
    CachePtr cache;
    CacheDBPtr db;
    if (impl->GetConfiguredCache(afileId, static_cast<unsigned int>(copyId), cache, db).IsError()) return CachePtr();
    return cache;
}

CacheDBPtr ResolveDB(long long afileId, unsigned long copyId) {
    CLiveBrowseCacheImplPtr impl = LoadCacheImpl();
    if (!impl || !impl->IsInitialized()) return CacheDBPtr();
    CachePtr cache;
    CacheDBPtr db;
    if (impl->GetConfiguredCache(afileId, static_cast<unsigned int>(copyId), cache, db).IsError()) return CacheDBPtr();
    return db;
}

void InstallResolver() {
    CacheLookup::Resolver resolver;
    resolver.getCache = &ResolveCache;
    resolver.getDB = &ResolveDB;
    resolver.cacheDataFolder = [](long long afileId, unsigned long copyId, std::string& folder) {
        CachePtr cache = ResolveCache(afileId, copyId);
        if (!cache) return false;
        folder = cache->GetCacheDataFolderPath();
        return true;
    };
    resolver.cacheDBFolder = [](long long afileId, unsigned long copyId, std::string& folder) {
        CacheDBPtr db = ResolveDB(afileId, copyId);
        if (!db) return false;
        folder = db->GetCacheDBFolderPath();
        return true;
    };
    CacheLookup::Install(resolver);
}

}  // namespace

// ---- a forked child

bool ServiceInheritedByFork() {
    (void)g_atForkRegistered;
    return g_serviceInherited.load(std::memory_order_relaxed);
}

CZoError ForkedProcessError(const FXCodeLocation& at) {
    return FXErrorUtil::ErrorInt(at, LBCError::kForkedProcess,
                                 "The live browse cache serves only the process that started it, not one forked from it");
}

// ---- the published implementation

CLiveBrowseCacheImplPtr LoadCacheImpl() { return boost::atomic_load(&g_ptrCacheImpl); }

void PublishCacheImpl(const CLiveBrowseCacheImplPtr& impl) {
    CLiveBrowseCacheImplPtr old;
    {
        std::lock_guard<RankedMutex> guard(PublishLock());
        old = LoadCacheImpl();
        if (old == impl) return;
        // Before the new one is visible: the old pruners must not resolve
        // through it, and none of them may hold the last reference.
        if (old) old->StopThreads();
        if (impl) InstallResolver();
        boost::atomic_store(&g_ptrCacheImpl, impl);
    }
    // Destroyed here, on this thread, when nothing else holds it.
    old.reset();
}

void ReleasePublishedCacheImpl() { PublishCacheImpl(CLiveBrowseCacheImplPtr()); }

// ---- map orders

bool CLiveBrowseCacheImpl::AfilePathIdCompare::operator()(const AfilePathId& a, const AfilePathId& b) const {
    if (a.afileId != b.afileId) return a.afileId < b.afileId;
    return a.copyId < b.copyId;
}

bool CLiveBrowseCacheImpl::CachePathIdCompare::operator()(const CachePathId& a, const CachePathId& b) const {
    return LowId(a.mountPath) < LowId(b.mountPath);
}

// ---- construction and destruction

CLiveBrowseCacheImpl::CLiveBrowseCacheImpl()
    : periodicThread(boost::make_shared<PeriodicUtilityThread>()),
      lastMappingClear(SystemClock::Time()),
      lastStatsPrint(SystemClock::Time()) {
    ++g_liveImplementations;
    StoreLBCPerfCounters(boost::make_shared<LBCPerfCounters>());
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    DebugSimulation::LoadDebugSimulationInfo();
}

CLiveBrowseCacheImpl::~CLiveBrowseCacheImpl() {
    if (ServiceInheritedByFork()) {
        AbandonInChild();
        return;
    }
    StopThreads();
    DebugSimulation::ClearSimulationPoints(g_mapSimulationInfo);

    // Released here, before serviceLock goes, and outside it: a location's
    // release writes its databases back, which may take a while.
    std::map<CachePathId, CachePath, CachePathIdCompare> ids;
    std::map<std::string, CachePath> locations;
    std::map<AfilePathId, AfilePath, AfilePathIdCompare> mappings;
    {
        auto_lock guard(&serviceLock);
        ids.swap(cachePathMap);
        locations.swap(cacheFolderMap);
        mappings.swap(afilePathMap);
    }
    ids.clear();
    // Pruners first, then the database and the cache of each location. The
    // afile copies are released explicitly: a location's top-level container
    // may still be held elsewhere, and must not keep them locked.
    for (auto& entry : locations) entry.second.pruner.reset();
    for (auto& entry : locations) {
        CZoError err = entry.second.db->ReleaseAllResources();
        if (err.IsError())
            LBC_LOG(-1, "Failed to release the databases of cache location [%s] (error=%s)", entry.first.c_str(),
                    err.AsString().c_str());
    }
    locations.clear();
    mappings.clear();
    --g_liveImplementations;
}

void CLiveBrowseCacheImpl::AbandonInChild() {
    // No lock is taken: serviceLock may be held by a thread of the parent.
    // The maps hold the locations and the mappings; the periodic thread's
    // object the callback of a thread that does not exist here.
    struct Abandoned {
        std::map<CachePathId, CachePath, CachePathIdCompare> ids;
        std::map<std::string, CachePath> locations;
        std::map<AfilePathId, AfilePath, AfilePathIdCompare> mappings;
        boost::shared_ptr<PeriodicUtilityThread> periodic;
    };
    boost::shared_ptr<Abandoned> kept = boost::make_shared<Abandoned>();
    kept->ids.swap(cachePathMap);
    kept->locations.swap(cacheFolderMap);
    kept->mappings.swap(afilePathMap);
    kept->periodic = periodicThread;
    ProcessFork::Abandon(kept);
}

void CLiveBrowseCacheImpl::StopThreads() {
    {
        auto_lock guard(&serviceLock);
        stopped = true;  // from now on no thread of this object is started
    }
    // The periodic callback holds this object by a plain pointer: it ends first.
    if (periodicThread) periodicThread->Stop(true);
    StopCachePathPruners();
}

// ---- start-up

CZoError CLiveBrowseCacheImpl::Initialize(std::string path, bool testMode) {
    std::lock_guard<RankedMutex> guard(initLock);

    unsigned long id = 0;
    XKClient client(EvDebug::getClientName(), 2, 0, nullptr);
    int rc = client.getClientId(id, nullptr);
    if (rc != 0) {
        LBC_LOG(-1, "Failed to get client ID, retCode=%d", rc);
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoClientId, "Failed to get client ID, retCode=%d", rc);
    }
    clientId.store(id);

    CZoError err = path.empty() ? LiveBrowseCacheUtility::GetCacheFolderLocation(cacheFolder)
                                : LiveBrowseCacheUtility::GetCacheFolderLocation(path, cacheFolder);
    if (err.IsError()) return err.Push(FXLOC);
    initialized.store(true);

    err = InitialCleanup();
    if (err.IsError()) return err.Push(FXLOC);
    err = CreateLocalCacheFolder();
    if (err.IsError()) return err.Push(FXLOC);
    if (testMode) return CZoError::Success();
    {
        auto_lock lock(&serviceLock);
        if (stopped) return CZoError::Success();  // a thread nobody would stop
    }

    // A no-op while the thread runs, so a repeated start makes no second one.
    CLiveBrowseCacheImpl* self = this;
    periodicThread->Start([self] { self->RunPeriodicDuties(); });
    return CZoError::Success();
}

CZoError CLiveBrowseCacheImpl::InitialCleanup() {
    std::string stageFolder;
    CZoError err = LiveBrowseCacheUtility::GetDefaultCacheStageDBLocation(stageFolder);
    if (err.IsError()) return err.Push(FXLOC);

    std::lock_guard<RankedMutex> guard(g_cleanedStageFoldersLock);
    if (CleanedStageFolders().count(stageFolder) != 0) return CZoError::Success();
    // Other browsing processes of this host may share the staging folder and
    // have databases staged in it: it is cleared only by a process that is
    // its sole user, and every user keeps a shared hold on its use lock.
    // The use lock lies beside the local cache folder, so that taking it
    // creates no folder of the cache.
    std::string localFolder, parent, name;
    err = LiveBrowseCacheUtility::GetLocalCacheFolderLocation(localFolder);
    if (err.IsError()) return err.Push(FXLOC);
    err = FXPath::SplitParentPath(localFolder, parent, name);
    if (err.IsError()) return err.Push(FXLOC);
    err = FXFolder::CreateFoldersIteratively(parent, nullptr);
    if (err.IsError()) return err.Push(FXLOC);
    CZoError removal;
    bool sole = false;
    err = CProcessUseLock::Acquire(localFolder + ".staging.inuse", [&] {
        LBC_LOG(0, "Cleaning up Temp folder [%s]", stageFolder.c_str());
        if (FXFolder::DoesFolderExist(stageFolder)) removal = FXFolder::RemoveFolder(stageFolder, 1);
    }, sole);
    if (err.IsError()) return err.Push(FXLOC);
    if (removal.IsError()) return removal.Push(FXLOC);
    if (!sole) LBC_LOG(0, "Temp folder [%s] is in use by another process; not cleaned", stageFolder.c_str());
    CleanedStageFolders().insert(stageFolder);
    return CZoError::Success();
}

CZoError CLiveBrowseCacheImpl::CreateLocalCacheFolder() {
    if (FXFolder::DoesFolderExist(cacheFolder)) return CZoError::Success();
    CZoError err = FXFolder::CreateFoldersIteratively(cacheFolder, nullptr);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheInitFailed, "(error=%s)", err.AsString().c_str());
    LBC_LOG(0, "Created Live Browse Cache folder [%s]", cacheFolder.c_str());
    return CZoError::Success();
}

// ---- periodic duties

void CLiveBrowseCacheImpl::RunPeriodicDuties() {
    if (IsClearAfileCachePathMappings()) ClearCachedAfilePathMappings();
    const bool printProcess = IsPrintProcessStats();
    bool additional = true;
    XKPlatformInfo().getBoolean(kConfigKey, "bLBCAdditionalPerfCounters", &additional);
    LBCPerfCounters::LogPerJobStats(additional, printProcess);
    if (printProcess) lastStatsPrint.store(SystemClock::Time());
}

bool CLiveBrowseCacheImpl::IsClearAfileCachePathMappings() {
    return static_cast<int64_t>(SystemClock::Time()) - lastMappingClear.load() > kMappingClearSeconds;
}

void CLiveBrowseCacheImpl::ClearCachedAfilePathMappings() {
    auto_lock guard(&serviceLock);
    LBC_LOG(0, "Clearing Afile to cache path mappings");
    afilePathMap.clear();
    lastMappingClear.store(SystemClock::Time());
}

bool CLiveBrowseCacheImpl::IsPrintProcessStats() {
    return static_cast<int64_t>(SystemClock::Time()) - lastStatsPrint.load() > kProcessStatsSeconds;
}

void CLiveBrowseCacheImpl::RefreshConfigurationCachePaths() {
    auto_lock guard(&serviceLock);
    for (auto& entry : cacheFolderMap) {
        entry.second.cache->RefreshConfiguration();
        entry.second.pruner->RefreshConfiguration();
    }
}

void CLiveBrowseCacheImpl::StartCachePathPruners() {
    auto_lock guard(&serviceLock);
    if (stopped) return;
    for (auto& entry : cacheFolderMap) entry.second.pruner->Start();
}

void CLiveBrowseCacheImpl::StopCachePathPruners() {
    std::vector<CachePrunerPtr> pruners;
    {
        auto_lock guard(&serviceLock);
        for (auto& entry : cacheFolderMap) pruners.push_back(entry.second.pruner);
    }
    // Outside serviceLock: a pass waits for it inside GetCache.
    for (const CachePrunerPtr& pruner : pruners) pruner->Stop(true);
}

void CLiveBrowseCacheImpl::SetTestability() { LIVE_BROWSE_CACHE_TESTABILITY.store(1); }

// ---- cache location resolution

CZoError CLiveBrowseCacheImpl::GetConfiguredCache(long long afileId, unsigned int copyId, CachePtr& cache,
                                                  CacheDBPtr& db) {
    CachePrunerPtr pruner;
    return GetConfiguredCache(afileId, copyId, cache, db, pruner);
}

CZoError CLiveBrowseCacheImpl::GetConfiguredCache(long long afileId, unsigned int copyId, CachePtr& cache,
                                                  CacheDBPtr& db, CachePrunerPtr& pruner) {
    return GetMediaConfiguredCache(afileId, copyId, cache, db, pruner);
}

CZoError CLiveBrowseCacheImpl::GetMediaConfiguredCache(long long afileId, unsigned int copyId, CachePtr& cache,
                                                       CacheDBPtr& db, CachePrunerPtr& pruner) {
    // Held through every step, the media manager's answer and a new
    // location's creation included.
    auto_lock guard(&serviceLock);

    const AfilePathId afileKey{afileId, copyId};
    // The road of every request after the first of its afile copy: two
    // lookups, nothing copied but the three pointers. The switch below
    // decides only how a miss is resolved, so a hit does not read it.
    if (FindKnownLocation(afileKey, cache, db, pruner)) return CZoError::Success();
    MediaManager::MountPathInfo mountPath;
    const bool resolvedNow = !LookUpAfilePath(afileKey, mountPath);
    if (resolvedNow) {
        // The names are made once.
        static const std::string key = kConfigKey;
        static const std::string enableMMCachePath = "bEnableMMCachePath";
        bool useMediaManager = true;
        XKPlatformInfo().getBoolean(key, enableMMCachePath, &useMediaManager);
        CZoError err = ResolveMountPath(afileKey, useMediaManager, mountPath);
        if (err.IsError()) return err.Push(FXLOC);
    }

    CachePath location;
    CZoError err = FindOrCreateCachePath(mountPath, location);
    if (err.IsError()) return err.Push(FXLOC);
    cache = location.cache;
    db = location.db;
    pruner = location.pruner;

    if (resolvedNow) RecordAfilePath(afileKey, mountPath);
    return CZoError::Success();
}

bool CLiveBrowseCacheImpl::FindKnownLocation(const AfilePathId& afileKey, CachePtr& cache, CacheDBPtr& db,
                                             CachePrunerPtr& pruner) const {
    auto mapped = afilePathMap.find(afileKey);
    if (mapped == afilePathMap.end()) return false;
    auto known = cachePathMap.find(mapped->second.cachePathId);
    if (known == cachePathMap.end()) return false;
    cache = known->second.cache;
    db = known->second.db;
    pruner = known->second.pruner;
    return true;
}

bool CLiveBrowseCacheImpl::LookUpAfilePath(const AfilePathId& afileKey, MediaManager::MountPathInfo& mountPath) {
    auto mapped = afilePathMap.find(afileKey);
    if (mapped == afilePathMap.end()) return false;
    mountPath = mapped->second.cachePathId.mountPath;
    return true;
}

CZoError CLiveBrowseCacheImpl::ResolveMountPath(const AfilePathId& afileKey, bool useMediaManager,
                                                MediaManager::MountPathInfo& mountPath) {
    if (useMediaManager) mountPath = AskMediaManager(afileKey);
    if (!mountPath.getPath().empty()) return CZoError::Success();
    CZoError err = LocalMountPath(mountPath);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

MediaManager::MountPathInfo CLiveBrowseCacheImpl::AskMediaManager(const AfilePathId& afileKey) {
    MediaManager::MountPathInfoList reply;
    XKMMmountPath client(2);
    int status = client.getCacheMountPathInfo(static_cast<int>(afileKey.afileId), static_cast<int>(afileKey.copyId),
                                              static_cast<int>(clientId.load()), reply);
    if (status == -1) LBC_LOG(-1, "Failed to get cache path from MM, status=%d", status);
    if (reply.isMountPathInfoEmpty()) LBC_LOG(3, "Empty MP received from MM. Use default cache path.");
    // Only the first answer counts, and only with an id.
    if (status != -1 && !reply.isMountPathInfoEmpty() && LowId(reply.getMountPathInfo(0)) != 0)
        return reply.getMountPathInfo(0);
    return MediaManager::MountPathInfo();
}

CZoError CLiveBrowseCacheImpl::LocalMountPath(MediaManager::MountPathInfo& mountPath) {
    std::string localFolder;
    CZoError err = LiveBrowseCacheUtility::GetCacheFolderLocation(localFolder);
    if (err.IsError()) return err.Push(FXLOC);
    mountPath = MediaManager::MountPathInfo();
    mountPath.setPath(localFolder);
    mountPath.setMMPathId(0);
    return CZoError::Success();
}

// By the id first; an id seen for the first time gets its folder's location.
CZoError CLiveBrowseCacheImpl::FindOrCreateCachePath(const MediaManager::MountPathInfo& mountPath,
                                                     CachePath& location) {
    const CachePathId locationKey{mountPath};
    auto known = cachePathMap.find(locationKey);
    if (known != cachePathMap.end()) {
        location = known->second;
        return CZoError::Success();
    }
    CZoError err = FindOrCreateCacheLocation(mountPath, location);
    if (err.IsError()) return err.Push(FXLOC);
    cachePathMap.emplace(locationKey, location);
    return CZoError::Success();
}

void CLiveBrowseCacheImpl::RecordAfilePath(const AfilePathId& afileKey, const MediaManager::MountPathInfo& mountPath) {
    afilePathMap[afileKey] = AfilePath{CachePathId{mountPath}};
    LBC_LOG(0, "Added Afile Cache path: [%s] (Request AfileId=%llu, CopyId=%u)", mountPath.getPath().c_str(),
            static_cast<unsigned long long>(afileKey.afileId), afileKey.copyId);
}

// The folder is resolved when an id is first seen; every registry below the
// location (containers, staging folders, flat-file locks) is keyed by text
// derived from the location's one spelling, and the lock files below it have
// one holder in the process whatever path reaches them.
CZoError CLiveBrowseCacheImpl::FindOrCreateCacheLocation(const MediaManager::MountPathInfo& mountPath,
                                                         CachePath& location) {
    const std::string& path = mountPath.getPath();
    CFSInitParams parsed;
    const bool dataServer = LowId(mountPath) != 0 && CCacheFileIO::ParseDataServerMountPath(path, parsed);
    std::string folder;
    CZoError err = LiveBrowseCacheUtility::GetCanonicalCacheFolder(path, dataServer, folder);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kMountPathFoldersFailed, "error=%s", err.AsString().c_str());

    auto known = cacheFolderMap.find(folder);
    if (known == cacheFolderMap.end() && !dataServer) known = FindLocalLocation(folder);
    if (known != cacheFolderMap.end()) {
        LBC_LOG(0, "Cache mount path [%s] (MMPathId=%d) shares the cache location at [%s]", path.c_str(),
                LowId(mountPath), folder.c_str());
        location = known->second;
        return CZoError::Success();
    }
    err = CreateCacheLocation(mountPath, folder, location);
    if (err.IsError()) return err.Push(FXLOC);
    cacheFolderMap.emplace(folder, location);
    if (!dataServer) localCacheFolders.insert(folder);
    return CZoError::Success();
}

// Each known folder is looked at as it is now: the folder may have moved
// since its location was made (behind a link left in its place), and a text
// whose folder is gone reaches none.
std::map<std::string, CLiveBrowseCacheImpl::CachePath>::iterator CLiveBrowseCacheImpl::FindLocalLocation(
    const std::string& folder) {
    FXFolder::Identity wanted;
    if (!FXFolder::GetIdentity(folder, wanted)) return cacheFolderMap.end();
    for (const std::string& known : localCacheFolders) {
        FXFolder::Identity identity;
        if (FXFolder::GetIdentity(known, identity) && identity == wanted) return cacheFolderMap.find(known);
    }
    return cacheFolderMap.end();
}

// Nothing is kept unless the cache and the database are both initialised;
// the pruner is made and started last.
CZoError CLiveBrowseCacheImpl::CreateCacheLocation(const MediaManager::MountPathInfo& mountPath,
                                                   const std::string& folder, CachePath& location) {
    // A stopped service starts no thread that nobody would stop.
    if (stopped)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheUnavailable,
                                     "Live browse cache is shutting down; no cache path for [%s]",
                                     mountPath.getPath().c_str());

    // The location's objects see the folder in its one spelling only; the
    // log lines show the path as it was given.
    MediaManager::MountPathInfo located = mountPath;
    located.setPath(folder);
    std::string dataFolder;
    std::string dbFolder;
    CZoError err = CacheNamespace::GetCachePath(located, dataFolder, dbFolder);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kMountPathFoldersFailed, "error=%s", err.AsString().c_str());

    CachePtr cache = boost::make_shared<Cache>(Cache::FLAT_FILE_CACHE, folder, initialized.load());
    const boost::any access = MountPathAccess(mountPath, located);
    err = InitializeCache(cache, access);
    if (err.IsError()) return err.Push(FXLOC);
    CacheDBPtr db;
    err = InitializeCacheDB(dbFolder, access, db);
    if (err.IsError()) return err.Push(FXLOC);

    location.cache = cache;
    location.db = db;
    location.pruner = StartPruner(cache, db);
    LBC_LOG(0, "Added cache path: [%s] [%s]", dataFolder.c_str(), dbFolder.c_str());
    return CZoError::Success();
}

boost::any CLiveBrowseCacheImpl::MountPathAccess(const MediaManager::MountPathInfo& mountPath,
                                                 const MediaManager::MountPathInfo& located) {
    const std::string& path = mountPath.getPath();
    if (LowId(mountPath) == 0) {
        LBC_LOG(0, "Non-MM cache mount path: [%s]", path.c_str());
        return boost::any();
    }
    CacheMountPathInfo remote;
    remote.mountPath = located;
    if (!CCacheFileIO::ParseDataServerMountPath(located.getPath(), remote.fsParams)) {
        LBC_LOG(0, "MM cache mount path: [%s]", path.c_str());
        return boost::any();
    }
    const CFSInitParams& p = remote.fsParams;
    std::string text = FXString::Format(
        "Type: [%d], Subtype: [%d], Host: [%s], Path: [%s], Vol: [%s], User: [%s], LocalClientName: [%s], "
        "MP_Id: [%d], CMP_Id: [%d], Flags: [%d]",
        p.Type, p.Subtype, p.host.Host.c_str(), p.host.Path.c_str(), p.host.Vol.c_str(), p.user.User.c_str(),
        p.LocalClientName.c_str(), p.MP_Id, p.CMP_Id, p.Flags);
    LBC_LOG(0, "DataServer MM cache mount path: [%s]", text.c_str());
    return boost::any(remote);
}

CZoError CLiveBrowseCacheImpl::InitializeCache(const CachePtr& cache, const boost::any& access) {
    cache->SetMountPathInfo(access);
    CZoError err;
    try {
        err = cache->Initialize();
    } catch (const CZoError& thrown) {
        err = thrown;
    }
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CLiveBrowseCacheImpl::InitializeCacheDB(const std::string& dbFolder, const boost::any& access,
                                                 CacheDBPtr& db) {
    db = boost::make_shared<CacheDB>(CacheDB::DB_TYPE_SQLITE, dbFolder, dbFolder, false, initialized.load());
    CZoError err;
    try {
        boost::any dbAccess = access;
        db->SetRemoteFileIO(boost::make_shared<CCacheFileIO>(dbAccess));
        err = db->Initialize();
    } catch (const CZoError& thrown) {
        err = thrown;
    }
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// Its Configure and Start answers are not looked at.
CachePrunerPtr CLiveBrowseCacheImpl::StartPruner(const CachePtr& cache, const CacheDBPtr& db) {
    CachePrunerPtr pruner = boost::make_shared<CachePruner>(cache, db);
    pruner->Configure();
    pruner->Start();
    return pruner;
}

CZoError CLiveBrowseCacheImpl::SetPrunePolicy(CLiveBrowseCache::PrunePolicy policy, CachePrunerPtr pruner) {
    if (!pruner) return CZoError::Success();
    switch (policy) {
        case CLiveBrowseCache::PRUNE_POLICY_LRU:
            pruner->Configure(CachePruner::TRIGGER_ON_SPACE_THRESHOLD_REACHED,
                              CachePruner::LEAST_REFERENCED_AFILEID_BASED_PRUNING);
            break;
        case CLiveBrowseCache::PRUNE_POLICY_FILE_INDEXED:
            pruner->Configure(CachePruner::TRIGGER_ALWAYS, CachePruner::FILE_INDEXED_JOB_STATUS_BASED_PRUNING);
            break;
        case CLiveBrowseCache::PRUNE_POLICY_COMBINED:
            pruner->AddConfiguration(CachePruner::TRIGGER_ALWAYS, CachePruner::DAYS_BASED_PRUNING);
            pruner->AddConfiguration(CachePruner::TRIGGER_ON_SPACE_THRESHOLD_REACHED,
                                     CachePruner::FILE_INDEXED_JOB_STATUS_BASED_PRUNING);
            pruner->AddConfiguration(CachePruner::TRIGGER_ON_SPACE_THRESHOLD_REACHED,
                                     CachePruner::LEAST_REFERENCED_AFILEID_BASED_PRUNING);
            break;
    }
    return CZoError::Success();
}

CZoError CLiveBrowseCacheImpl::GetBaseFolderPath(std::string& dataFolder, std::string& dbFolder) {
    std::string base;
    CZoError err = LiveBrowseCacheUtility::GetCacheFolderLocation(base);
    if (err.IsError()) return err.Push(FXLOC);
    err = LiveBrowseCacheUtility::GetCacheDataLocation(base, dataFolder);
    if (err.IsError()) return err.Push(FXLOC);
    err = LiveBrowseCacheUtility::GetCacheDBLocation(base, dbFolder);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

bool CLiveBrowseCacheImpl::IsErrorExtentAlreadyCached(CZoError& error) {
    return FXErrorUtil::IsInt(error, LBCError::kExtentAlreadyCached);
}

// ---- for tests

size_t CLiveBrowseCacheImpl::TEST_AfileMappingCount() {
    auto_lock guard(&serviceLock);
    return afilePathMap.size();
}

std::vector<CachePrunerPtr> CLiveBrowseCacheImpl::TEST_Pruners() {
    std::vector<CachePrunerPtr> pruners;
    auto_lock guard(&serviceLock);
    for (auto& entry : cacheFolderMap) pruners.push_back(entry.second.pruner);
    return pruners;
}

int CLiveBrowseCacheImpl::TEST_LiveImplementations() { return g_liveImplementations.load(); }
