#include "store/CacheItem.h"

#include "platform/FXString.h"

#include <boost/make_shared.hpp>

CacheItem::CacheItem(const std::string& location, Cache::IntendedOp op, const std::string& dataFolderPath,
                     boost::any& mountPathInfo, long long jobId)
    : extent(boost::make_shared<Extent>(0, 0, 0, 0, 0)),
      size(0),
      location(location),
      intendedOp(op),
      dataFolderPath(dataFolderPath),
      mountPathInfo(mountPathInfo),
      jobId(jobId) {}

CacheItem::CacheItem(ExtentPtr extent, Cache::IntendedOp op, const std::string& dataFolderPath,
                     boost::any& mountPathInfo, long long jobId)
    : extent(extent),
      size(0),
      intendedOp(op),
      dataFolderPath(dataFolderPath),
      mountPathInfo(mountPathInfo),
      jobId(jobId) {}

CacheItem::~CacheItem() = default;

std::string CacheItem::shortDescription() const {
    return FXString::Format("Location [%s] Size [%lu]", location.c_str(), static_cast<unsigned long>(size));
}

size_t CacheItem::Size() const { return size; }

std::string CacheItem::GetCacheItemLocation() const { return location; }
