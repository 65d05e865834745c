#pragma once
// The flat-file storage back end: every cached extent of an afile copy is one
// region of that copy's flat file (FlatFileCacheItem). No lock of its own;
// regions are reserved under the flat file's FlatFileCacheItem::s_flatFileLock.
//
// Flat-file paths are formed below this back end's own data folder, never by
// resolving the afile copy's location again: the service's afile-to-location
// map may have been cleared or answer differently meanwhile, and the lookup
// would put the service lock on the write road and the pruner.

#include "store/CacheImpl.h"

#include <string>

class FlatFileCacheImpl : public CacheImpl {
public:
    explicit FlatFileCacheImpl(const std::string& dataFolderPath);
    ~FlatFileCacheImpl() override;

    // LBCError::kCacheUnavailable with the item still in `item` when its location
    // cannot be reached.
    CZoError CreateItem(ExtentPtr extent, const std::string& validityGuid, Cache::IntendedOp op,
                        CacheItemPtr& item) override;
    CZoError CreateItemAt(ExtentPtr extent, const std::string& flatFilePath, Cache::IntendedOp op,
                          CacheItemPtr& item) override;
    // `item` is left as it was when no item can be made;
    // LBCError::kCacheUnavailable with the item in `item` when its location
    // cannot be reached.
    CZoError GetItem(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                     CacheItemPtr& item) override;
    // An item of the kept file's path uses the kept handle: its path is not
    // joined again, nor its handle looked up by the path.
    CZoError GetItemOfKeptFile(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                               const FlatFileHandlePtr& keptFile, CacheItemPtr& item) override;
    CZoError ReadItem(long long jobId, const std::string& dbLocation, CAutoMemory<char>& buffer) override;
    CZoError ReadItem(long long jobId, CacheItemPtr item, size_t& size, CAutoMemory<char>& buffer) override;
    // Regions go only with their flat file: always ErrorWin32 50.
    CZoError DeleteItem(CacheItemPtr item) override;
    CZoError AppendToItem(CacheItemPtr item, const void* data, size_t length) override;
    CZoError CloseItem(CacheItemPtr item) override;
    CZoError GetCacheFilePath(const VM& vm, std::string& path) override;
    CZoError GetCacheSize(const VM& vm, long long& size) override;
    CZoError GetCacheSize(unsigned long long& size) override;
    CZoError GetSpaceUsage(const std::string& path, unsigned long long& total,
                           unsigned long long& available) override;
    CZoError DeleteEmptyFolders(int budgetMs) override;
    CZoError CheckAvailibility(bool& available) override;
    // Adds to the GUID test that the flat file opens at the region's offset.
    CZoError IsCacheLocationValid(const Extent& extent, const VM& vm, bool& valid,
                                  Cache::INVALIDITY_REASON& reason) override;
    CZoError IsOpenedLocationValid(const Extent& extent, const VM& vm, const CZoError& opening, bool& valid,
                                   Cache::INVALIDITY_REASON& reason) override;

    CZoError DeleteFlatFile(const std::string& path);
    // An empty validityGuid means the extent's own; neither shapes the path.
    CZoError GenerateFlatFilePath(ExtentPtr extent, const std::string& validityGuid, std::string& path) const;
    CZoError GenerateFlatFilePath(const VM& vm, std::string& path) const;

private:
    // LBCError::kCacheUnavailable when SetFSIO has given no file access.
    CZoError RequireFileIO(const FXCodeLocation& at) const;
    // LBCError::kCacheUnavailable after marking the location unavailable, when
    // `item` (or, without one, the location's own file access) cannot reach it.
    CZoError CheckReachable(const FXCodeLocation& at, const CacheItemPtr& item, const std::string& what);
    // The back end's part of the validity test: what the opening of the
    // location's item says of it.
    static CZoError JudgeOpening(const Extent& extent, const CZoError& opening, bool& valid,
                                 Cache::INVALIDITY_REASON& reason);
};
