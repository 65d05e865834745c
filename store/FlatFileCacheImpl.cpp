#include "store/FlatFileCacheImpl.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/LockOrder.h"
#include "platform/RecycledBlock.h"
#include "store/CacheNamespace.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>

#include <utility>

namespace {
const size_t kRegionLockStripes = 64;
}

struct FlatFileCacheItem::RegionLocks::Stripe {
    FXCriticalSection lock{static_cast<uint16_t>(LockRank::FlatFileRegion), "flat-file region"};
};

FlatFileCacheItem::RegionLocks::RegionLocks() : stripes(new Stripe[kRegionLockStripes]) {}

FlatFileCacheItem::RegionLocks::~RegionLocks() { delete[] stripes; }

FXCriticalSection& FlatFileCacheItem::RegionLocks::Of(const std::string& flatFilePath) {
    // Case folded (ASCII, as the C locale folds): one file never gets two
    // locks however its path is spelled. Folded inline: a call per byte
    // cost more than the rest of the lookup.
    size_t h = 0;
    for (char c : flatFilePath) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 'A' && u <= 'Z') u = static_cast<unsigned char>(u - 'A' + 'a');
        h = h * 31 + u;
    }
    return stripes[h % kRegionLockStripes].lock;
}

// Never destroyed: requests may still run while statics go at unload.
FlatFileCacheItem::RegionLocks& FlatFileCacheItem::s_flatFileLock = *new FlatFileCacheItem::RegionLocks;

FlatFileCacheImpl::FlatFileCacheImpl(const std::string& dataFolderPath) : CacheImpl(dataFolderPath) {}

FlatFileCacheImpl::~FlatFileCacheImpl() = default;

CZoError FlatFileCacheImpl::CreateItem(ExtentPtr extent, const std::string& validityGuid, Cache::IntendedOp op,
                                       CacheItemPtr& item) {
    if (!extent)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation, "Cache item requested without an extent");
    std::string path;
    CZoError err = GenerateFlatFilePath(extent, validityGuid, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CreateItemAt(extent, path, op, item);
}

CZoError FlatFileCacheImpl::CreateItemAt(ExtentPtr extent, const std::string& flatFilePath, Cache::IntendedOp op,
                                         CacheItemPtr& item) {
    if (!extent)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation, "Cache item requested without an extent");
    item = boost::make_shared<FlatFileCacheItem>(extent, flatFilePath, op, dataFolderPath, mountPathInfo,
                                                 extent->JobID);
    CZoError err = CheckReachable(FXLOC, item, flatFilePath);
    if (err.IsError()) return err;
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::GetItem(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                                    CacheItemPtr& item) {
    return GetItemOfKeptFile(jobId, dbLocation, op, FlatFileHandlePtr(), item);
}

CZoError FlatFileCacheImpl::GetItemOfKeptFile(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                                              const FlatFileHandlePtr& keptFile, CacheItemPtr& item) {
    std::string location;
    CZoError err = ParseCacheItemLocation(dbLocation, location);
    if (err.IsError()) return err.Push(FXLOC);
    CacheItemPtr opened;
    try {
        // The parsed text becomes the item's own location.
        opened = boost::allocate_shared<FlatFileCacheItem>(RecycledBlock<FlatFileCacheItem>(), std::move(location), op,
                                                           dataFolderPath, mountPathInfo, jobId, keptFile);
    } catch (CZoError& thrown) {
        // A read item that cannot open its file on a location that is gone is
        // an unavailable location, not a missing file: a validity test would
        // otherwise declare every cached extent of it invalid.
        if (FXErrorUtil::IsInt(thrown, LBCError::kFlatFileOpenFailed) ||
            FXErrorUtil::IsInt(thrown, LBCError::kNoFileSystemObject)) {
            // Parsed again: the text went into the item that failed.
            CZoError parsed = ParseCacheItemLocation(dbLocation, location);
            if (parsed.IsError()) return parsed.Push(FXLOC);
            CZoError unreachable = CheckReachable(FXLOC, CacheItemPtr(), location);
            if (unreachable.IsError()) return unreachable;
        }
        return thrown.Push(FXLOC);
    }
    item = opened;
    if (!item->IsAvailable()) return CheckReachable(FXLOC, item, item->GetCacheItemLocation());
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::ReadItem(long long jobId, const std::string& dbLocation, CAutoMemory<char>& buffer) {
    CacheItemPtr item;
    CZoError err = GetItem(jobId, dbLocation, Cache::INTENDED_OP_READ, item);
    if (err.IsError()) return err.Push(FXLOC);
    // Opened for this read alone: counted here, as a Reader's item is when
    // it is handed out.
    boost::shared_ptr<FlatFileCacheItem> flatItem = boost::dynamic_pointer_cast<FlatFileCacheItem>(item);
    if (flatItem) flatItem->CountOpenedForRead();
    err = item->Read(buffer);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::ReadItem(long long, CacheItemPtr item, size_t& size, CAutoMemory<char>& buffer) {
    if (!item) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadFailed, "No cache item to read");
    return item->Read(buffer, size);
}

CZoError FlatFileCacheImpl::DeleteItem(CacheItemPtr) { return FXErrorUtil::ErrorWin32(FXLOC, 50); }

CZoError FlatFileCacheImpl::AppendToItem(CacheItemPtr item, const void* data, size_t length) {
    if (!item) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileWriteFailed, "No cache item to append to");
    item->Write(data, length);
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::CloseItem(CacheItemPtr item) {
    if (!item) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "No cache item to close");
    CZoError err = item->Close();
    if (err.IsError()) return err.Push(FXLOC);
    item->RecordLocation();
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::GetCacheFilePath(const VM& vm, std::string& path) {
    CZoError err = GenerateFlatFilePath(vm, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::GetCacheSize(const VM& vm, long long& size) {
    std::string path;
    CZoError err = GetCacheFilePath(vm, path);
    if (err.IsError()) return err.Push(FXLOC);
    err = RequireFileIO(FXLOC);
    if (err.IsError()) return err;
    long long length = 0;
    err = fileIO->Size(path, length);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSizeFailed, "(error=%s)", err.AsString().c_str());
    size = length;
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::GetCacheSize(unsigned long long& size) {
    CZoError err = RequireFileIO(FXLOC);
    if (err.IsError()) return err;
    unsigned long long total = 0;
    err = fileIO->FolderSize(dataFolderPath, total);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSizeFailed, "(error=%s)", err.AsString().c_str());
    size = total;
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::GetSpaceUsage(const std::string& path, unsigned long long& total,
                                          unsigned long long& available) {
    CZoError err = RequireFileIO(FXLOC);
    if (err.IsError()) return err;
    unsigned long long volumeTotal = 0;
    unsigned long long volumeAvailable = 0;
    err = fileIO->GetSpaceUsage(path, volumeTotal, volumeAvailable);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSizeFailed, "(error=%s)", err.AsString().c_str());
    total = volumeTotal;
    available = volumeAvailable;
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::DeleteEmptyFolders(int budgetMs) {
    CZoError err = RequireFileIO(FXLOC);
    if (err.IsError()) return err;
    return fileIO->DeleteEmptyFolders(dataFolderPath, budgetMs);
}

CZoError FlatFileCacheImpl::CheckAvailibility(bool& available) {
    available = fileIO && fileIO->IsConnected();
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::IsCacheLocationValid(const Extent& extent, const VM& vm, bool& valid,
                                                 Cache::INVALIDITY_REASON& reason) {
    CZoError err = CacheImpl::IsCacheLocationValid(extent, vm, valid, reason);
    if (err.IsError()) return err.Push(FXLOC);
    if (!valid) return CZoError::Success();

    CacheItemPtr item;
    return JudgeOpening(extent, GetItem(extent.JobID, extent.CacheLocation, Cache::INTENDED_OP_VALIDITY_TEST, item),
                        valid, reason);
}

CZoError FlatFileCacheImpl::IsOpenedLocationValid(const Extent& extent, const VM& vm, const CZoError& opening,
                                                  bool& valid, Cache::INVALIDITY_REASON& reason) {
    CZoError err = CacheImpl::IsCacheLocationValid(extent, vm, valid, reason);
    if (err.IsError()) return err.Push(FXLOC);
    if (!valid) return CZoError::Success();
    return JudgeOpening(extent, opening, valid, reason);
}

CZoError FlatFileCacheImpl::JudgeOpening(const Extent& extent, const CZoError& opening, bool& valid,
                                         Cache::INVALIDITY_REASON& reason) {
    CZoError err = opening;
    if (FXErrorUtil::IsInt(err, LBCError::kFlatFileOpenFailed)) {
        LBC_LOG(2, "Failed to open flat file for extent [%s]", extent.description().c_str());
        valid = false;
        reason = Cache::INVALIDITY_FILE_NOT_OPENED;
        return CZoError::Success();
    }
    // A location that cannot be read is no valid location, whatever the
    // caller makes of the error.
    if (FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) valid = false;
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::DeleteFlatFile(const std::string& path) {
    CZoError err = RequireFileIO(FXLOC);
    if (err.IsError()) return err;
    bool exists = false;
    err = fileIO->IsExists(path, exists);
    if (err.IsError()) return err.Push(FXLOC);
    if (!exists) return CZoError::Success();
    err = fileIO->RemoveFile(path);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kItemRemoveFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError FlatFileCacheImpl::GenerateFlatFilePath(ExtentPtr extent, const std::string&, std::string& path) const {
    return CacheNamespace::GenerateFlatFilePath(extent->AfileID, extent->TessarelID, extent->CopyID, dataFolderPath,
                                                path);
}

CZoError FlatFileCacheImpl::GenerateFlatFilePath(const VM& vm, std::string& path) const {
    return CacheNamespace::GenerateFlatFilePath(vm.AfileID, vm.TessarelID, vm.CopyID, dataFolderPath, path);
}

CZoError FlatFileCacheImpl::RequireFileIO(const FXCodeLocation& at) const {
    if (fileIO) return CZoError::Success();
    return FXErrorUtil::ErrorInt(at, LBCError::kCacheUnavailable, "Cache data folder [%s] has no file access",
                                 dataFolderPath.c_str());
}

CZoError FlatFileCacheImpl::CheckReachable(const FXCodeLocation& at, const CacheItemPtr& item,
                                           const std::string& what) {
    const bool reachable = item ? item->IsAvailable() : (!fileIO || fileIO->IsConnected());
    if (reachable) return CZoError::Success();
    MarkUnavailable();
    return FXErrorUtil::ErrorInt(at, LBCError::kCacheUnavailable, "(error=%s)",
                                 FXString::Format("Cache location of [%s] cannot be reached", what.c_str()).c_str());
}
