#include "store/FlatFileLedger.h"

#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"

bool FlatFileLedger::Knows(const std::string& validityGUID) const {
    std::lock_guard<RankedMutex> guard(lock);
    long long end = 0;
    return known && FXString::MatchesNoCase(guid, validityGUID) && (!handle || handle->RegionsEnd(guid, end));
}

void FlatFileLedger::Reset(const std::string& validityGUID, long long recordedEnd, const std::string& flatFilePath) {
    std::lock_guard<RankedMutex> guard(lock);
    known = true;
    guid = validityGUID;
    path = flatFilePath;
    if (!flatFilePath.empty() && (!handle || handle->Path() != flatFilePath))
        handle = FlatFileHandle::ForPath(flatFilePath);
    if (handle) handle->Adopt(validityGUID, recordedEnd);
}

void FlatFileLedger::KeepOpen(const std::string& flatFilePath) {
    if (flatFilePath.empty()) return;
    std::lock_guard<RankedMutex> guard(lock);
    if (!handle || handle->Path() != flatFilePath) handle = FlatFileHandle::ForPath(flatFilePath);
    if (known) handle->Adopt(guid, 0);
}

bool FlatFileLedger::KeepsOpen() const {
    std::lock_guard<RankedMutex> guard(lock);
    return static_cast<bool>(handle);
}

FlatFileHandlePtr FlatFileLedger::Handle() const {
    std::lock_guard<RankedMutex> guard(lock);
    return handle;
}

long long FlatFileLedger::RecordedEnd() const {
    std::lock_guard<RankedMutex> guard(lock);
    long long end = 0;
    if (!known || !handle || !handle->RegionsEnd(guid, end)) return 0;
    return end;
}

std::string FlatFileLedger::FlatFilePath() const {
    std::lock_guard<RankedMutex> guard(lock);
    return path;
}

bool FlatFileLedger::Admits(long long fileEnd, std::string& validityGUID) const {
    std::lock_guard<RankedMutex> guard(lock);
    validityGUID = known ? guid : std::string();
    if (!known || !handle) return true;
    long long end = 0;
    return handle->RegionsEnd(guid, end) && fileEnd >= end && !handle->IsLost(guid);
}

void FlatFileLedger::MarkLost(const std::string& validityGUID) {
    std::lock_guard<RankedMutex> guard(lock);
    if (handle) handle->MarkLost(validityGUID);
}

bool FlatFileLedger::Lost() const {
    std::lock_guard<RankedMutex> guard(lock);
    return known && handle && handle->IsLost(guid);
}

void FlatFileLedger::Record(long long regionEnd) {
    std::lock_guard<RankedMutex> guard(lock);
    if (known && handle) handle->NoteRegion(guid, regionEnd);
}

CZoError FlatFileLedger::NamedFlatFilePath(const std::function<CZoError(std::string&)>& name,
                                           std::string& flatFilePath) {
    {
        std::lock_guard<RankedMutex> guard(lock);
        if (!namedPath.empty()) {
            flatFilePath = namedPath;
            return CZoError::Success();
        }
    }
    // Named outside the lock; two first namings give the same path.
    std::string named;
    CZoError err = name(named);
    if (err.IsError()) return err.Push(FXLOC);
    std::lock_guard<RankedMutex> guard(lock);
    if (namedPath.empty()) namedPath = named;
    flatFilePath = namedPath;
    return CZoError::Success();
}
