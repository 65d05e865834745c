#include "store/CacheImpl.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"

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
    location = dbLocation;
    const std::string prefix = FXString::Format("%s%s", kLocationPrefix, kLocationSeparator);
    if (!FXString::MatchLeft(location, prefix))
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation,
                                     "Cache item location in DB [%s] does not contain location prefix",
                                     location.c_str());
    location = location.substr(prefix.size());
    return CZoError::Success();
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
    return FXString::Format("%s%s%s", kLocationPrefix, kLocationSeparator, location.c_str());
}
