#include "store/Cache.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheImpl.h"
#include "store/CacheSyncObject.h"
#include "store/FlatFileCacheImpl.h"
#include "store/LiveBrowseCacheUtility.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <vector>

namespace {

const char* const kConfigKey = "VirtualServer";
const char* const kMaxSizeInGB = "nLiveBrowseCacheMaxSizeInGB";
const char* const kMinMaintenanceInSecs = "nLiveBrowseCacheMinMaintenanceInSecs";
const int32_t kDefaultMinMaintenanceInSecs = 28800;

const char* FullStateText(Cache::FullState state) { return state == Cache::FULL_STATE_FULL ? "FULL" : "NOT FULL"; }

}  // namespace

Cache::Cache(Type type, const std::string& rootPath, bool) : cacheType(type), rootPath(rootPath) {
    boost::any local;
    fileIO = boost::make_shared<CCacheFileIO>(local);

    std::vector<std::string> parts;
    FXString::Split(rootPath, "/", parts, true);
    if (parts.size() < 4)
        shortName = rootPath;
    else
        shortName = FXString::Format("%s%s%s...%s%s", parts[0].c_str(), "/", parts[1].c_str(), "/",
                                     parts.back().c_str());
}

Cache::~Cache() = default;

void Cache::SetMountPathInfo(boost::any mountPathInfo) {
    fileIO.reset();
    fileIOError = CZoError::Success();
    try {
        fileIO = boost::make_shared<CCacheFileIO>(mountPathInfo);
    } catch (CZoError& err) {
        // Never fall back to the local disk under a remote location's paths.
        LBC_LOG(-1, "No file access for cache location [%s]; Initialize will fail (error=%s)", shortName.c_str(),
                err.AsString().c_str());
        fileIOError = err;
    }
    this->mountPathInfo = mountPathInfo;
}

CZoError Cache::Initialize() {
    CZoError err = LiveBrowseCacheUtility::GetCacheDataLocation(rootPath, dataFolderPath);
    if (err.IsError())
        throw FXErrorUtil::ErrorInt(FXLOC, LBCError::kCachePathFailed, "(error=%s)", err.AsString().c_str());
    if (fileIOError.IsError()) return fileIOError.Push(FXLOC);

    err = CreateCacheDataFolder();
    if (err.IsError()) return err.Push(FXLOC);
    CacheImplPtr impl;
    err = GetCacheImplementation(cacheType, impl);
    if (err.IsError()) return err.Push(FXLOC);
    cacheImpl = impl;
    RefreshConfiguration();
    return CZoError::Success();
}

void Cache::RefreshConfiguration() {
    XKPlatformInfo config;
    unsigned long long gb = 0;
    config.getValue(kConfigKey, kMaxSizeInGB, gb);
    SetMaxCacheSizeInGB(static_cast<unsigned int>(gb));

    unsigned long long seconds = 0;
    if (config.getValue(kConfigKey, kMinMaintenanceInSecs, seconds) != 0)
        minMaintenanceIntervalSecs.store(static_cast<int32_t>(static_cast<uint32_t>(seconds)));
    else
        minMaintenanceIntervalSecs.store(kDefaultMinMaintenanceInSecs);
}

CZoError Cache::CreateCacheDataFolder() {
    bool exists = false;
    CZoError err = fileIO->IsExists(dataFolderPath, exists);
    if (err.IsError()) return err.Push(FXLOC);
    if (exists) return CZoError::Success();
    err = fileIO->CreateFolder(dataFolderPath, true);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheInitFailed, "(error=%s)", err.AsString().c_str());
    LBC_LOG(0, "Created Live Browse Cache Data folder [%s]", dataFolderPath.c_str());
    return CZoError::Success();
}

CZoError Cache::GetCacheImplementation(Type type, CacheImplPtr& impl) {
    switch (type) {
        case FLAT_FILE_CACHE: {
            CacheImplPtr flat = boost::make_shared<FlatFileCacheImpl>(dataFolderPath);
            flat->SetFSIO(fileIO, mountPathInfo);
            impl = flat;
            return CZoError::Success();
        }
        case PER_EXTENT_FILE_CACHE:
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheTypeNotSupported,
                                         "Per extent hosting file cache is not supprted");
    }
    // A cache without a back end would fail every request later, far from here.
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheTypeNotSupported, "Cache type [%d] is not supported",
                                 static_cast<int>(type));
}

CZoError Cache::Impl(const FXCodeLocation& at, CacheImplPtr& impl) const {
    impl = cacheImpl;
    if (impl) return CZoError::Success();
    return FXErrorUtil::ErrorInt(at, LBCError::kCacheTypeNotSupported, "Cache [%s] has no storage back end",
                                 shortName.c_str());
}

void Cache::SetMaxCacheSize(unsigned long long bytes) {
    maxCacheSize.store(bytes);
    if (bytes == 0)
        LBC_LOG(0, "Removing max cache size limit");
    else
        LBC_LOG(0, "Setting Max cache size to %u GB", static_cast<unsigned int>(bytes >> 30));
}

void Cache::SetMaxCacheSizeInGB(unsigned int gb) {
    const unsigned long long bytes = static_cast<unsigned long long>(gb) << 30;
    if (bytes != maxCacheSize.load()) SetMaxCacheSize(bytes);
}

unsigned long long Cache::GetMaxCacheSize() const { return maxCacheSize.load(); }

void Cache::SetSpaceThresholds(unsigned int fullPercent, unsigned int notFullPercent) {
    if (fullPercent >= notFullPercent) return;
    fullThreshold.store(fullPercent);
    notFullThreshold.store(notFullPercent);
}

void Cache::GetSpaceThresholds(unsigned int& fullPercent, unsigned int& notFullPercent) const {
    fullPercent = fullThreshold.load();
    notFullPercent = notFullThreshold.load();
}

CZoError Cache::GetCacheSpaceUsageStats(CacheSpaceStats& stats) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;

    unsigned long long volumeTotal = 0;
    unsigned long long volumeAvailable = 0;
    err = impl->GetSpaceUsage(dataFolderPath, volumeTotal, volumeAvailable);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSpaceUsageFailed, "(error=%s)", err.AsString().c_str());
    LBC_LOG(2, "Total disk space [%s] Available disk space [%s]",
            LiveBrowseCacheUtility::GetBytesAsUnits(volumeTotal).c_str(),
            LiveBrowseCacheUtility::GetBytesAsUnits(volumeAvailable).c_str());
    unsigned long long cacheSize = 0;
    err = impl->GetCacheSize(cacheSize);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSpaceUsageFailed, "(error=%s)", err.AsString().c_str());
    stats.cacheSize = cacheSize;
    LBC_LOG(3, "Current cache size [%s]", LiveBrowseCacheUtility::GetBytesAsUnits(cacheSize).c_str());

    stats.total = volumeTotal;
    stats.available = volumeAvailable;
    const unsigned long long limit = maxCacheSize.load();
    if (limit != 0) {
        stats.total = limit;
        if (limit < cacheSize)
            stats.available = 0;
        else
            stats.available = std::min(limit - cacheSize, volumeAvailable);
    }
    spaceStats = stats;
    UpdateCacheFullState();
    return CZoError::Success();
}

void Cache::UpdateCacheFullState() {
    unsigned int percent = 0;
    if (spaceStats.total == 0) {
        // No size to measure against: count it as no space, so writes are refused.
        LBC_LOG(0, "Cache [%s] reports a total space of 0; treating it as 0 percent available", shortName.c_str());
    } else if (spaceStats.available >= spaceStats.total) {
        percent = 100;
    } else {
        const float ratio = static_cast<float>(spaceStats.available) / static_cast<float>(spaceStats.total);
        percent = static_cast<unsigned int>(ratio * 100.0f);
    }
    LBC_LOG(3, "Total space available: [%s], %u percent disk is available",
            LiveBrowseCacheUtility::GetBytesAsUnits(spaceStats.total).c_str(), percent);

    const FullState before = fullState.load();
    FullState after = before;
    if (percent <= fullThreshold.load())
        after = FULL_STATE_FULL;
    else if (before == FULL_STATE_NONE || (before == FULL_STATE_FULL && percent >= notFullThreshold.load()))
        after = FULL_STATE_NOT_FULL;
    fullState.store(after);
    if (after != before) LBC_LOG(2, "Cache full state: %s", FullStateText(after));
}

bool Cache::IsFull() const { return fullState.load() == FULL_STATE_FULL; }

bool Cache::IsDueCacheMaintenance() const {
    if (inMaintenance.load()) return false;
    const int64_t elapsed = static_cast<int64_t>(SystemClock::Time()) - lastMaintenanceStart.load();
    return elapsed >= static_cast<int64_t>(minMaintenanceIntervalSecs.load());
}

bool Cache::SetCacheInMaintenance(bool enter) {
    if (!enter) {
        inMaintenance.store(false);
        return true;
    }
    if (inMaintenance.load()) return false;
    if (!IsDueCacheMaintenance()) return false;
    // Counts as an attempt even when a write keeps the window shut.
    lastMaintenanceStart.store(static_cast<int64_t>(SystemClock::Time()));
    // Decided under the write/prune lock, which the write admission holds
    // while it reads the flag: no write slips in while the window opens.
    return CCacheSyncObject::Execute([this]() {
        const bool entered = !CCacheSyncObject::IsExtentWriteInProgress();
        inMaintenance.store(entered);
        return entered;
    });
}

bool Cache::IsInMaintenance() const { return inMaintenance.load(); }

bool Cache::IsAvailable() const { return cacheImpl && cacheImpl->IsAvailable(); }

bool Cache::IsUnavailable() const { return !IsAvailable(); }

void Cache::MarkAvailable() {
    if (cacheImpl) cacheImpl->MarkAvailable();
}

CZoError Cache::CheckAvailibility(bool& available) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->CheckAvailibility(available);
}

std::string Cache::GetCacheDataFolderPath() const { return dataFolderPath; }

std::string Cache::description() const { return shortName; }

CCacheFileIOPtr Cache::GetFSIO() const { return fileIO; }

CZoError Cache::CreateItem(ExtentPtr extent, const std::string& validityGuid, IntendedOp op, CacheItemPtr& item) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    err = impl->CreateItem(extent, validityGuid, op, item);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError Cache::CreateItemAt(ExtentPtr extent, const std::string& itemPath, IntendedOp op, CacheItemPtr& item) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    err = impl->CreateItemAt(extent, itemPath, op, item);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError Cache::GetItem(long long jobId, const std::string& dbLocation, IntendedOp op, CacheItemPtr& item) {
    return GetItem(jobId, dbLocation, op, FlatFileHandlePtr(), item);
}

CZoError Cache::GetItem(long long jobId, const std::string& dbLocation, IntendedOp op,
                        const FlatFileHandlePtr& keptFile, CacheItemPtr& item) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    err = keptFile ? impl->GetItemOfKeptFile(jobId, dbLocation, op, keptFile, item)
                   : impl->GetItem(jobId, dbLocation, op, item);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError Cache::ReadItem(long long jobId, const std::string& dbLocation, CAutoMemory<char>& buffer) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->ReadItem(jobId, dbLocation, buffer);
}

CZoError Cache::ReadItem(long long jobId, CacheItemPtr item, size_t& size, CAutoMemory<char>& buffer) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->ReadItem(jobId, item, size, buffer);
}

CZoError Cache::DeleteItem(CacheItemPtr item) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->DeleteItem(item);
}

CZoError Cache::AppendToItem(CacheItemPtr item, const void* data, size_t length) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->AppendToItem(item, data, length);
}

CZoError Cache::CloseItem(CacheItemPtr item) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->CloseItem(item);
}

CZoError Cache::IsCacheLocationValid(const Extent& extent, const VM& vm, bool& valid, INVALIDITY_REASON& reason) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) {
        valid = false;
        return err;
    }
    return impl->IsCacheLocationValid(extent, vm, valid, reason);
}

CZoError Cache::IsOpenedLocationValid(const Extent& extent, const VM& vm, const CZoError& opening, bool& valid,
                                      INVALIDITY_REASON& reason) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) {
        valid = false;
        return err;
    }
    return impl->IsOpenedLocationValid(extent, vm, opening, valid, reason);
}

CZoError Cache::GetCacheFilePath(const VM& vm, std::string& path) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->GetCacheFilePath(vm, path);
}

CZoError Cache::GetCacheSize(const VM& vm, long long& size) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->GetCacheSize(vm, size);
}

CZoError Cache::GetCacheSize(unsigned long long& size) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->GetCacheSize(size);
}

CZoError Cache::DeleteEmptyFolders(int budgetMs) {
    CacheImplPtr impl;
    CZoError err = Impl(FXLOC, impl);
    if (err.IsError()) return err;
    return impl->DeleteEmptyFolders(budgetMs);
}
