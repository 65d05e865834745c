#pragma once
// One cached extent as a storage back end hands it out: its extent row, why
// it was opened, its item location, its size and the MD5 text of its bytes.
// An item belongs to one request at a time (a Reader, a Writer, or the back
// end within one call) and has no lock.

#include "CAutoMemory.h"
#include "CZoError.h"
#include "Extent.h"
#include "store/Cache.h"

#include <boost/any.hpp>

#include <cstddef>
#include <string>

class CacheItem {
public:
    // An item opened by its location: its extent is a blank row of its own,
    // made when first asked for (see GetExtent).
    CacheItem(std::string location, Cache::IntendedOp op, const std::string& dataFolderPath,
              boost::any& mountPathInfo, long long jobId);
    // An item of a known extent: shares the caller's row, so a location the
    // back end records at close is seen by every holder.
    CacheItem(ExtentPtr extent, Cache::IntendedOp op, const std::string& dataFolderPath,
              boost::any& mountPathInfo, long long jobId);
    virtual ~CacheItem();
    CacheItem(const CacheItem&) = delete;
    CacheItem& operator=(const CacheItem&) = delete;

    // "Location [%s] Size [%lu]"
    virtual std::string shortDescription() const;
    virtual size_t Size() const;
    virtual CZoError Write(const void* data, size_t length) = 0;
    // The whole item.
    virtual CZoError Read(CAutoMemory<char>& buffer) = 0;
    // Up to `size` bytes; `size` becomes the number read.
    virtual CZoError Read(CAutoMemory<char>& buffer, size_t& size) = 0;
    // A written item gets its region, location and size here.
    virtual CZoError Close() = 0;
    virtual bool IsAvailable() = 0;
    virtual std::string GetCacheItemLocation() const;

    // The shared row, or the item's own blank row with the location recorded
    // at close, if any. A read item's row is seldom looked at, so it is made
    // only here rather than once per opened item.
    ExtentPtr GetExtent() const;
    // Records the item's location, as a row holds it, at close: in the shared
    // row at once, in the item's own row when that is made.
    void RecordLocation();
    std::string GetMd5() const { return md5; }

protected:
    // The caller's row (shared), or the item's own, made by GetExtent (the
    // item is used by one thread at a time).
    const bool shared;
    mutable ExtentPtr extent;
    bool locationRecorded = false;
    // set by the derived item; the item is used by one thread at a time
    size_t size;
    std::string location;
    std::string md5;
    // constant after construction
    const Cache::IntendedOp intendedOp;
    const std::string dataFolderPath;
    const boost::any mountPathInfo;
    const long long jobId;
};
