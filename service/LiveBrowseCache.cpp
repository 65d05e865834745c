#include "LiveBrowseCache.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/EvDebugWrapper.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/LockOrder.h"
#include "platform/XKPlatformInfo.h"
#include "platform/XKPlatformObjects.h"
#include "service/InheritedService.h"
#include "service/LiveBrowseCacheImpl.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <cinttypes>
#include <cstdint>

// Static destruction runs in reverse order of these definitions: whatever is
// defined below them (the service) goes first, then the writer, then the
// engine's file record that the writer's engine writes through.
EvDebugFileInstance g_dbgLBCInst;
boost::shared_ptr<CLogWriterInterface> g_ptrLogWriterLBC;

FXCriticalSection CLiveBrowseCache::singletonLock(static_cast<uint16_t>(LockRank::Singleton), "singleton");
CLiveBrowseCache* CLiveBrowseCache::pLiveBrowseCache = nullptr;
boost::shared_ptr<CLiveBrowseCacheImpl> g_ptrCacheImpl;

namespace {

const char kConfigKey[] = "VirtualServer";

const char kOptimizationSwitch[] = "bEnableMetadataRestoreOptimization";
const char kCacheSwitch[] = "bEnableLiveBrowseCache";

// What the configuration store cannot read goes to the debug log.
void LogConfigurationNotice(const std::string& text) { LBC_LOG(-1, "%s", text.c_str()); }

// The switch that keeps the cache off, with its value as read; empty when
// both let it on. The second switch is not read while the first is off.
std::string ClosedGateReason() {
    XKPlatformInfo info;
    for (const char* name : {kOptimizationSwitch, kCacheSwitch}) {
        const bool defaultValue = name == kCacheSwitch;
        bool value = defaultValue;
        const bool readable = info.getBoolean(kConfigKey, name, &value) != 0;
        if (value) continue;
        std::string text;
        if (info.getValue(kConfigKey, name, text) == 0) return FXString::Format("%s is absent (default false)", name);
        if (!readable)
            return FXString::Format("%s = [%s] is not a boolean, taken as absent (default false)", name, text.c_str());
        return FXString::Format("%s = [%s]", name, text.c_str());
    }
    return std::string();
}

// Where the settings came from, for a host that wonders why they did not apply.
std::string SettingsSource() {
    bool read = false;
    const std::string file = XKPlatformInfo::getSeedFile(read);
    if (file.empty()) return "no configuration file: LBC_CONFIG_FILE is not set";
    if (!read) return FXString::Format("the configuration file [%s] named by LBC_CONFIG_FILE could not be read", file.c_str());
    return FXString::Format("configuration file [%s]", file.c_str());
}

// The reason last logged for a closed gate; guarded by singletonLock.
std::string g_loggedClosedGate;

// Releases, at unload, a facade the host never destroyed and the published
// service with its threads. It is made at the first GetInstance, after every
// namespace-scope static of the library (those above, the counters, the
// write/prune lock) was made at load, so it is destroyed before any of them.
// A function-local static made later would go before it: those the release
// uses are never destroyed.
class UnloadGuard {
public:
    UnloadGuard() = default;
    ~UnloadGuard() {
        if (ServiceInheritedByFork()) {
            // The parent's service outlives the static that publishes it. Read
            // without the atomic load, whose spinlock a parent's thread may
            // have held: only this thread is left to touch it now.
            ProcessFork::Abandon(g_ptrCacheImpl);
            return;
        }
        CLiveBrowseCache::DestroyInstance();
        ReleasePublishedCacheImpl();
    }
    UnloadGuard(const UnloadGuard&) = delete;
    UnloadGuard& operator=(const UnloadGuard&) = delete;
};

}  // namespace

// ---- the singleton

CLiveBrowseCache::CLiveBrowseCache() : impl(boost::make_shared<CLiveBrowseCacheImpl>()) { PublishCacheImpl(impl); }

CLiveBrowseCache::~CLiveBrowseCache() = default;

CLiveBrowseCache* CLiveBrowseCache::GetInstance() {
    // Before the lock: a thread of the parent may have held it at the fork.
    if (ServiceInheritedByFork()) return nullptr;
    auto_lock guard(&singletonLock);
    static UnloadGuard unloadGuard;
    if (pLiveBrowseCache != nullptr) return pLiveBrowseCache;

    const std::string closed = ClosedGateReason();
    if (!closed.empty()) {
        // Logging is set up for this one line: a host that gets null is sent
        // to the debug log, and a host that asks again and again gets it once.
        if (closed != g_loggedClosedGate) {
            InitializeLogging();
            LBC_LOG(-1,
                    "Live browse cache is off by configuration: %s; it is on when %s is true and %s is not false (%s)",
                    closed.c_str(), kOptimizationSwitch, kCacheSwitch, SettingsSource().c_str());
            g_loggedClosedGate = closed;
        }
        return nullptr;
    }
    g_loggedClosedGate.clear();

    pLiveBrowseCache = new CLiveBrowseCache();
    CZoError err = pLiveBrowseCache->Initialize(std::string());
    if (err.IsError()) {
        LBC_LOG(-1, "Failed to initialize Live browse cache object, error=%s", err.AsString().c_str());
        delete pLiveBrowseCache;
        pLiveBrowseCache = nullptr;
        return nullptr;
    }
    return pLiveBrowseCache;
}

void CLiveBrowseCache::DestroyInstance() {
    if (ServiceInheritedByFork()) return;
    auto_lock guard(&singletonLock);
    delete pLiveBrowseCache;
    pLiveBrowseCache = nullptr;
}

// ---- start-up

CZoError CLiveBrowseCache::Initialize(std::string path) { return InitializeInternal(path, false); }

CZoError CLiveBrowseCache::InitializeInTestMode(std::string path) { return InitializeInternal(path, true); }

CZoError CLiveBrowseCache::InitializeInternal(std::string path, bool testMode) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    InitializeLogging();
    // The address in hex after one "0x": glibc's %p carries its own prefix.
    const uintptr_t address = reinterpret_cast<uintptr_t>(this);
    LBC_LOG(0, "Initializing live browse cache (0x%" PRIxPTR ") ...", address);
    CZoError err = impl->Initialize(path, testMode);
    if (err.IsError()) {
        LBC_LOG(0, "Failed to initialize live browse cache (%p)", static_cast<void*>(this));
        return err.Push(FXLOC);
    }
    LBC_LOG(0, "Successfully initialized live browse cache (0x%" PRIxPTR ")%s", address,
            testMode ? " in test mode" : "");
    return CZoError::Success();
}

bool CLiveBrowseCache::InitializeLogging() {
    if (ServiceInheritedByFork()) return false;
    // The platform object is held for the whole set-up, as the platform's
    // debug-log engine expects of its callers.
    XKPI_PlatformBase platform;
    boost::shared_ptr<EvDebug> engine(new EvDebug(nullptr));
    XKPI_Focus::setFocus(XKPI_Focus::getFocus());
    if (engine->initialize(&g_dbgLBCInst, EvDebug::kMagic, 0, false, std::string()) == 0) return false;
    engine->refreshAllParams();

    boost::shared_ptr<CLogWriterInterface> writer(new CEvDebugWrapper(engine));
    // Named before it is published, so that no thread sees it unnamed.
    writer->SetLogAppName("LiveBrowseCache");
    StoreLogWriterLBC(writer);
    XKPlatformInfo::SetNoticeLog(&LogConfigurationNotice);
    engine->debugWait();
    return true;
}

bool CLiveBrowseCache::IsErrorExtentAlreadyCached(CZoError& error) {
    return FXErrorUtil::IsInt(error, LBCError::kExtentAlreadyCached);
}

void CLiveBrowseCache::SetTestability() { LIVE_BROWSE_CACHE_TESTABILITY.store(1); }

// ---- requests

namespace {

// The six-argument forms tell the host about another host's lock in its own
// terms; the inner error is not carried over.
CZoError TranslateLockError(CZoError err, long long afileId, const FXCodeLocation& at) {
    if (FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost))
        return FXErrorUtil::ErrorWin32(at, LBCError::kWin32LockedByAnotherHost,
                                       "Cache file for afileID [%lld] locked by another host", afileId);
    if (err.IsError()) return err.Push(at);
    return CZoError::Success();
}

}  // namespace

CZoError CLiveBrowseCache::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                           unsigned int copyId, long long jobId, WriterPtr& writer) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return TranslateLockError(impl->GetWriterObject(afileId, afileOffset, tessarelId, copyId, jobId, writer),
                              afileId, FXLOC);
}

CZoError CLiveBrowseCache::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                           unsigned int copyId, long long jobId, long long flags, WriterPtr& writer) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetWriterObject(afileId, afileOffset, tessarelId, copyId, jobId, flags, writer);
}

CZoError CLiveBrowseCache::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                           unsigned int copyId, long long jobId, ReaderPtr& reader) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return TranslateLockError(impl->GetReaderObject(afileId, afileOffset, tessarelId, copyId, jobId, reader),
                              afileId, FXLOC);
}

CZoError CLiveBrowseCache::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                           unsigned int copyId, long long jobId, long long flags, ReaderPtr& reader) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetReaderObject(afileId, afileOffset, tessarelId, copyId, jobId, flags, reader);
}

CZoError CLiveBrowseCache::IsExtentInCache(long long afileId, long long afileOffset, unsigned int tessarelId,
                                           unsigned int copyId, bool& cached, bool& recorded) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->IsExtentInCache(afileId, afileOffset, tessarelId, copyId, cached, recorded);
}

CZoError CLiveBrowseCache::AgeCachedJob(long long jobId, long long afileId, unsigned int tessarelId,
                                        unsigned int copyId, unsigned int days) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->AgeCachedJob(jobId, afileId, tessarelId, copyId, days);
}

CZoError CLiveBrowseCache::GetExtentIterator(long long jobId, long long afileId, unsigned int tessarelId,
                                             unsigned int copyId, unsigned long batchSize,
                                             boost::shared_ptr<ExtentIterator>& iterator) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetExtentIterator(jobId, afileId, tessarelId, copyId, batchSize, iterator);
}

CZoError CLiveBrowseCache::GetCachedJobIterator(long long jobId, long long afileId, unsigned int tessarelId,
                                                unsigned int copyId, unsigned long batchSize,
                                                boost::shared_ptr<JobIterator>& iterator) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetCachedJobIterator(jobId, afileId, tessarelId, copyId, batchSize, iterator);
}

CZoError CLiveBrowseCache::GetBaseFolderPath(std::string& dataFolder, std::string& dbFolder) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetBaseFolderPath(dataFolder, dbFolder);
}
