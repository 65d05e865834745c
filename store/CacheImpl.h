#pragma once
// The storage back end of one cache location: makes, opens, reads and writes
// items, answers size and space questions, keeps the location's availability
// and judges whether a location recorded in an extent row is still valid.
// Only Cache calls it. No lock: host threads and the location's pruner call
// it at once, and the availability flag is its only changing state.
//
// The database form of an item location is "loc" ":" and the location.

#include "CAutoMemory.h"
#include "CZoError.h"
#include "Extent.h"
#include "VM.h"
#include "store/Cache.h"
#include "store/CacheFileIO.h"
#include "store/CacheItem.h"

#include <boost/any.hpp>

#include <atomic>
#include <cstddef>
#include <string>

class CacheImpl {
public:
    explicit CacheImpl(const std::string& dataFolderPath);
    virtual ~CacheImpl();
    CacheImpl(const CacheImpl&) = delete;
    CacheImpl& operator=(const CacheImpl&) = delete;

    // Called once by Cache, right after it makes the back end.
    void SetFSIO(CCacheFileIOPtr fileIO, boost::any& mountPathInfo);
    std::string GetCacheDataFolderPath() const;
    // The item location inside a database form; LBCError::kInvalidLocation
    // (location equal to the input) when the prefix is missing.
    static CZoError ParseCacheItemLocation(const std::string& dbLocation, std::string& location);

    // An empty validityGuid means the extent's own ValidityGUID.
    virtual CZoError CreateItem(ExtentPtr extent, const std::string& validityGuid, Cache::IntendedOp op,
                                CacheItemPtr& item) = 0;
    // The same with the item's file named by the caller, who has named it
    // for the extent's afile copy before (GetCacheFilePath); by default the
    // name is made again.
    virtual CZoError CreateItemAt(ExtentPtr extent, const std::string& itemPath, Cache::IntendedOp op,
                                  CacheItemPtr& item);
    virtual CZoError GetItem(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                             CacheItemPtr& item) = 0;
    // The same, given the handle of the afile copy's flat file that its
    // container keeps; by default the handle is not used.
    virtual CZoError GetItemOfKeptFile(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                                       const FlatFileHandlePtr& keptFile, CacheItemPtr& item);
    virtual CZoError ReadItem(long long jobId, const std::string& dbLocation, CAutoMemory<char>& buffer) = 0;
    virtual CZoError ReadItem(long long jobId, CacheItemPtr item, size_t& size, CAutoMemory<char>& buffer) = 0;
    virtual CZoError DeleteItem(CacheItemPtr item) = 0;
    virtual CZoError AppendToItem(CacheItemPtr item, const void* data, size_t length) = 0;
    // A written item's database form goes into its extent's CacheLocation.
    virtual CZoError CloseItem(CacheItemPtr item) = 0;
    virtual CZoError GetCacheFilePath(const VM& vm, std::string& path) = 0;
    virtual CZoError GetCacheSize(const VM& vm, long long& size) = 0;
    virtual CZoError GetCacheSize(unsigned long long& size) = 0;
    virtual CZoError GetSpaceUsage(const std::string& path, unsigned long long& total,
                                   unsigned long long& available) = 0;
    virtual CZoError DeleteEmptyFolders(int budgetMs) = 0;
    virtual bool IsAvailable();
    virtual void MarkUnavailable();
    virtual void MarkAvailable();
    // A real connectivity test in a back end; it leaves the flag alone.
    virtual CZoError CheckAvailibility(bool& available);
    // The GUID test, never failing and never touching the storage; a back end
    // adds its own test once this one answers valid. A valid answer leaves
    // `reason` as the caller set it.
    virtual CZoError IsCacheLocationValid(const Extent& extent, const VM& vm, bool& valid,
                                          Cache::INVALIDITY_REASON& reason);
    // The same test of a location whose read item the caller has already
    // opened, `opening` being the outcome: the storage is looked at once.
    virtual CZoError IsOpenedLocationValid(const Extent& extent, const VM& vm, const CZoError& opening, bool& valid,
                                           Cache::INVALIDITY_REASON& reason);
    virtual std::string ConstructCacheItemLocationForDB(const std::string& location) const;
    // A location as a row holds it.
    static std::string DBLocationOf(const std::string& location);

protected:
    // constant after construction
    const std::string dataFolderPath;
    // set once by SetFSIO before the back end is shared
    boost::any mountPathInfo;
    CCacheFileIOPtr fileIO;
    // Cleared by host threads, set again by the pruner: atomic.
    std::atomic<bool> available{true};
};
