#include "store/CacheImpl.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"

#include <cstring>

namespace {
const char* const kLocationPrefix = "loc";
const char* const kLocationSeparator = ":";
}  // namespace

CacheImpl::CacheImpl(const std::string& dataFolderPath) : dataFolderPath(dataFolderPath) {}

CacheImpl::~CacheImpl() = default;

void CacheImpl::SetFSIO(CCacheFileIOPtr fileIO, boost::any& mountPathInfo) {
    this->fileIO = fileIO;
    this->mountPathInfo = mountPathInfo;
}

std::string CacheImpl::GetCacheDataFolderPath() const { return dataFolderPath; }

CZoError CacheImpl::ParseCacheItemLocation(const std::string& dbLocation, std::string& location) {
    const size_t prefixLength = strlen(kLocationPrefix);
    const size_t separatorLength = strlen(kLocationSeparator);
    if (dbLocation.compare(0, prefixLength, kLocationPrefix) != 0 ||
        dbLocation.compare(prefixLength, separatorLength, kLocationSeparator) != 0) {
        location = dbLocation;
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation,
                                     "Cache item location in DB [%s] does not contain location prefix",
                                     location.c_str());
    }
    location.assign(dbLocation, prefixLength + separatorLength, std::string::npos);
    return CZoError::Success();
}

CZoError CacheImpl::GetItemOfKeptFile(long long jobId, const std::string& dbLocation, Cache::IntendedOp op,
                                      const FlatFileHandlePtr&, CacheItemPtr& item) {
    return GetItem(jobId, dbLocation, op, item);
}

bool CacheImpl::IsAvailable() { return available.load(); }

void CacheImpl::MarkUnavailable() { available.store(false); }

void CacheImpl::MarkAvailable() { available.store(true); }

CZoError CacheImpl::CheckAvailibility(bool& available) {
    available = true;
    return CZoError::Success();
}

CZoError CacheImpl::IsCacheLocationValid(const Extent& extent, const VM& vm, bool& valid,
                                         Cache::INVALIDITY_REASON& reason) {
    valid = false;
    if (extent.CacheLocation.empty()) {
        reason = Cache::INVALIDITY_NO_LOCATION;
        return CZoError::Success();
    }
    valid = FXString::MatchesNoCase(extent.ValidityGUID, vm.ValidityGUID);
    if (!valid) reason = Cache::INVALIDITY_GUID_MISMATCH;
    return CZoError::Success();
}

CZoError CacheImpl::CreateItemAt(ExtentPtr extent, const std::string&, Cache::IntendedOp op, CacheItemPtr& item) {
    return CreateItem(extent, std::string(), op, item);
}

CZoError CacheImpl::IsOpenedLocationValid(const Extent& extent, const VM& vm, const CZoError& opening, bool& valid,
                                          Cache::INVALIDITY_REASON& reason) {
    CZoError err = CacheImpl::IsCacheLocationValid(extent, vm, valid, reason);
    if (err.IsError() || !valid) return err;
    return opening;
}

std::string CacheImpl::ConstructCacheItemLocationForDB(const std::string& location) const {
    return DBLocationOf(location);
}

std::string CacheImpl::DBLocationOf(const std::string& location) {
    std::string text(kLocationPrefix);
    text += kLocationSeparator;
    // Up to a NUL, as %s prints it.
    text.append(location.c_str());
    return text;
}
