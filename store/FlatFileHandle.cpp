#include "store/FlatFileHandle.h"

#include "platform/FXString.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <algorithm>
#include <functional>
#include <unordered_map>

namespace {

// Striped, so that requests on distinct afiles do not queue on one lock.
class Registry {
public:
    struct Stripe {
        RankedMutex lock{LockRank::KeptFileRegistry, "kept flat-file registry"};
        // guarded by lock
        std::unordered_map<std::string, boost::weak_ptr<FlatFileHandle>> handles;
    };

    Stripe& Of(const std::string& path) { return stripes[std::hash<std::string>()(path) % kStripes]; }

private:
    static const size_t kStripes = 64;
    Stripe stripes[kStripes];
};

// Never destroyed: containers may still go while statics go at unload.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

FlatFileHandlePtr FlatFileHandle::ForPath(const std::string& flatFilePath) {
    Registry::Stripe& stripe = TheRegistry().Of(flatFilePath);
    std::lock_guard<RankedMutex> guard(stripe.lock);
    boost::weak_ptr<FlatFileHandle>& entry = stripe.handles[flatFilePath];
    FlatFileHandlePtr handle = entry.lock();
    if (!handle) {
        handle = boost::make_shared<FlatFileHandle>(flatFilePath);
        entry = handle;
    }
    return handle;
}

FlatFileHandlePtr FlatFileHandle::Find(const std::string& flatFilePath) {
    Registry::Stripe& stripe = TheRegistry().Of(flatFilePath);
    std::lock_guard<RankedMutex> guard(stripe.lock);
    auto it = stripe.handles.find(flatFilePath);
    return it == stripe.handles.end() ? FlatFileHandlePtr() : it->second.lock();
}

void FlatFileHandle::Forget(const std::string& flatFilePath) {
    FlatFileHandlePtr handle = Find(flatFilePath);
    if (handle) handle->Drop();
}

FlatFileHandle::FlatFileHandle(const std::string& flatFilePath)
    : path(flatFilePath), regionLock(FlatFileCacheItem::s_flatFileLock.Of(flatFilePath)) {}

FlatFileHandle::~FlatFileHandle() {
    Registry::Stripe& stripe = TheRegistry().Of(path);
    std::lock_guard<RankedMutex> guard(stripe.lock);
    auto it = stripe.handles.find(path);
    // Another handle may have taken the entry since this one expired.
    if (it != stripe.handles.end() && it->second.expired()) stripe.handles.erase(it);
}

CZoError FlatFileHandle::Current(bool create, FXOpenFilePtr& file, long long& length) {
    FXOpenFile::Status status;
    CZoError err = FXOpenFile::StatusOf(path, status);
    if (!err.IsError()) {
        std::lock_guard<RankedMutex> guard(lock);
        if (kept && kept->Names(status)) {
            file = kept;
            length = status.length;
            return CZoError::Success();
        }
    } else if (!create) {
        return err;
    }
    FXOpenFilePtr opened;
    err = FXOpenFile::Open(path, create, opened, status);
    if (err.IsError()) return err;
    {
        std::lock_guard<RankedMutex> guard(lock);
        kept = opened;
    }
    file = opened;
    length = status.length;
    return CZoError::Success();
}

void FlatFileHandle::Drop() {
    FXOpenFilePtr dropped;
    std::lock_guard<RankedMutex> guard(lock);
    dropped.swap(kept);
}

uint64_t FlatFileHandle::Adopt(const std::string& validityGUID, long long regionsEnd) {
    std::lock_guard<RankedMutex> guard(lock);
    if (!FXString::MatchesNoCase(guid, validityGUID)) {
        guid = validityGUID;
        handedOutEnd = 0;
        lost = false;
        ++guidChanges;
    }
    handedOutEnd = std::max(handedOutEnd, regionsEnd);
    return guidChanges.load();
}

void FlatFileHandle::NoteRegion(const std::string& validityGUID, long long regionEnd) {
    std::lock_guard<RankedMutex> guard(lock);
    if (FXString::MatchesNoCase(guid, validityGUID)) handedOutEnd = std::max(handedOutEnd, regionEnd);
}

bool FlatFileHandle::RegionsEnd(const std::string& validityGUID, long long& end) const {
    std::lock_guard<RankedMutex> guard(lock);
    if (!FXString::MatchesNoCase(guid, validityGUID)) return false;
    end = handedOutEnd;
    return true;
}

void FlatFileHandle::MarkLost(const std::string& validityGUID) {
    std::lock_guard<RankedMutex> guard(lock);
    if (lost.load() || !FXString::MatchesNoCase(guid, validityGUID)) return;
    lost = true;
    ++guidChanges;
}

bool FlatFileHandle::IsLost(const std::string& validityGUID) const {
    if (!lost.load()) return false;
    std::lock_guard<RankedMutex> guard(lock);
    return lost.load() && FXString::MatchesNoCase(guid, validityGUID);
}

uint64_t FlatFileHandle::ValidityGUID(std::string& validityGUID) const {
    std::lock_guard<RankedMutex> guard(lock);
    validityGUID = guid;
    return guidChanges.load();
}
