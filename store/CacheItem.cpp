#include "store/CacheItem.h"

#include "platform/FXString.h"
#include "store/CacheImpl.h"

#include <boost/make_shared.hpp>

#include <utility>

CacheItem::CacheItem(std::string location, Cache::IntendedOp op, const std::string& dataFolderPath,
                     boost::any& mountPathInfo, long long jobId)
    : shared(false),
      size(0),
      location(std::move(location)),
      intendedOp(op),
      dataFolderPath(dataFolderPath),
      mountPathInfo(mountPathInfo),
      jobId(jobId) {}

CacheItem::CacheItem(ExtentPtr extent, Cache::IntendedOp op, const std::string& dataFolderPath,
                     boost::any& mountPathInfo, long long jobId)
    : shared(true),
      extent(extent),
      size(0),
      intendedOp(op),
      dataFolderPath(dataFolderPath),
      mountPathInfo(mountPathInfo),
      jobId(jobId) {}

CacheItem::~CacheItem() = default;

ExtentPtr CacheItem::GetExtent() const {
    if (!extent && !shared) {
        extent = boost::make_shared<Extent>(0, 0, 0, 0, 0);
        if (locationRecorded) extent->CacheLocation = CacheImpl::DBLocationOf(location);
    }
    return extent;
}

void CacheItem::RecordLocation() {
    locationRecorded = true;
    if (extent) extent->CacheLocation = CacheImpl::DBLocationOf(location);
}

std::string CacheItem::shortDescription() const {
    return FXString::Format("Location [%s] Size [%lu]", location.c_str(), static_cast<unsigned long>(size));
}

size_t CacheItem::Size() const { return size; }

std::string CacheItem::GetCacheItemLocation() const { return location; }
