#include "store/FlatFileCacheItem.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "platform/Win32Constants.h"
#include "store/CacheImpl.h"
#include "store/LiveBrowseCacheUtility.h"


#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

std::atomic<int> LIVE_BROWSE_CACHE_TESTABILITY{0};

namespace {

const char* const kExpectedFormat = "<filepath>:<offset>:<length>";
const char* const kSeparator = ":";
const char* const kTagMagic = "TAGHD01";
const size_t kTagMagicLength = 7;

// Item locations come from database rows, which other hosts and older files
// may have written: the path must stay below the data folder: no ".."
// component in the path's `length` bytes.
bool IsRelativePathBelowDataFolder(const char* path, size_t length) {
    if (length == 0 || path[0] == '/') return false;
    // A path without two dots in a row has no ".." component.
    if (memmem(path, length, "..", 2) == nullptr) return true;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && path[i] != '/') continue;
        if (i - start == 2 && path[start] == '.' && path[start + 1] == '.') return false;
        start = i + 1;
    }
    return true;
}

// The C library's reading of a decimal field (strtoll in the C locale):
// leading blanks and a sign are allowed, reading stops at the first
// non-digit and no digits read as 0. False when the value does not fit. A
// field read where it stands ends at its separator, which is no digit.
// Read here rather than by strtoll, which cost more than the rest of a
// location's parse.
bool ReadDecimal(const char* field, long long& value) {
    const char* p = field;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    const unsigned long long limit =
        static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + (negative ? 1 : 0);
    unsigned long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative)
        value = static_cast<long long>(magnitude);
    else
        value = magnitude == limit ? std::numeric_limits<long long>::min() : -static_cast<long long>(magnitude);
    return true;
}

}  // namespace

FlatFileCacheItem::FlatFileCacheItem(std::string location, Cache::IntendedOp op, const std::string& dataFolderPath,
                                     boost::any& mountPathInfo, long long jobId)
    : FlatFileCacheItem(std::move(location), op, dataFolderPath, mountPathInfo, jobId, FlatFileHandlePtr()) {}

// The location is the item's own from here on: `location` is the member.
FlatFileCacheItem::FlatFileCacheItem(std::string itemLocation, Cache::IntendedOp op, const std::string& dataFolderPath,
                                     boost::any& mountPathInfo, long long jobId, const FlatFileHandlePtr& keptFile)
    : CacheItem(std::move(itemLocation), op, dataFolderPath, mountPathInfo, jobId), offset(0) {
    fileIO.emplace(mountPathInfo);

    size_t pathLength = 0;
    long long regionOffset = 0;
    long long regionLength = 0;
    CZoError err = ParseLocation(location, pathLength, regionOffset, regionLength);
    if (err.IsError()) throw err.Push(FXLOC);

    if (keptFile && JoinsTo(keptFile->Path(), dataFolderPath, location.data(), pathLength)) {
        // The path the join would give: the kept file's, whose handle serves.
        flatFilePath = keptFile->Path();
        fileHandle = keptFile;
    } else {
        flatFilePath = dataFolderPath;
        err = FXPath::Append(flatFilePath, location.substr(0, pathLength), 0);
        if (err.IsError())
            throw FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFilePathFailed, "error=%s", err.AsString().c_str());
    }
    LBC_LOG(4, "Processing cache item [%s]", flatFilePath.c_str());

    offset = regionOffset;
    size = static_cast<size_t>(regionLength);

    if (op == Cache::INTENDED_OP_READ) {
        err = OpenForFileRead();
        if (err.IsError()) throw err.Push(FXLOC);
    } else if (op == Cache::INTENDED_OP_VALIDITY_TEST) {
        err = OpenForValidityTest();
        if (err.IsError()) throw err.Push(FXLOC);
    }
}

bool FlatFileCacheItem::JoinsTo(const std::string& path, const std::string& folder, const char* relativePath,
                                size_t length) {
    // As FXPath::Append joins a folder without a trailing "/" and a relative
    // path; any other folder is left to the join itself.
    const size_t base = folder.size();
    return base > 1 && folder[base - 1] != '/' && path.size() == base + 1 + length && path.size() < PATH_MAX &&
           path.compare(0, base, folder) == 0 && path[base] == '/' &&
           path.compare(base + 1, length, relativePath, length) == 0;
}

CZoError FlatFileCacheItem::ParseLocation(const std::string& location, size_t& pathLength, long long& regionOffset,
                                          long long& regionLength) {
    // Three fields at least; any after the third are not looked at.
    const size_t first = location.find(kSeparator[0]);
    const size_t second = first == std::string::npos ? first : location.find(kSeparator[0], first + 1);
    if (second == std::string::npos)
        return FXErrorUtil::ErrorInt(
            FXLOC, LBCError::kInvalidLocation,
            "Item location %s we are trying to open is with invalid format. Expected format it %s", location.c_str(),
            kExpectedFormat);
    if (!IsRelativePathBelowDataFolder(location.data(), first))
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation,
                                     "Item location %s names a path outside the cache data folder", location.c_str());
    // Rejected before anything is opened: a negative or overflowing region
    // would seek before the file or ask for more memory than a file can hold.
    if (!ReadDecimal(location.c_str() + first + 1, regionOffset) ||
        !ReadDecimal(location.c_str() + second + 1, regionLength) || regionOffset < 0 || regionLength < 0 ||
        regionOffset > std::numeric_limits<long long>::max() - regionLength)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kInvalidLocation,
                                     "Item location %s names a region no file can hold", location.c_str());
    pathLength = first;
    return CZoError::Success();
}

CZoError FlatFileCacheItem::RegionEnd(const std::string& dbLocation, long long& end) {
    std::string location;
    CZoError err = CacheImpl::ParseCacheItemLocation(dbLocation, location);
    if (err.IsError()) return err.Push(FXLOC);
    size_t pathLength = 0;
    long long regionOffset = 0;
    long long regionLength = 0;
    err = ParseLocation(location, pathLength, regionOffset, regionLength);
    if (err.IsError()) return err.Push(FXLOC);
    end = regionOffset + regionLength;
    return CZoError::Success();
}

FlatFileCacheItem::FlatFileCacheItem(ExtentPtr extent, const std::string& flatFilePath, Cache::IntendedOp op,
                                     const std::string& dataFolderPath, boost::any& mountPathInfo, long long jobId)
    : CacheItem(extent, op, dataFolderPath, mountPathInfo, jobId), offset(0), flatFilePath(flatFilePath) {
    try {
        fileIO.emplace(mountPathInfo);
    } catch (CZoError& err) {
        // Left without file access: the back end finds the item unavailable.
        LBC_LOG(-1, "Cache item [%s] has no file access (error=%s)", flatFilePath.c_str(), err.AsString().c_str());
    }
    LBC_LOG(4, "Processing cache item [%s]", this->flatFilePath.c_str());
}

FlatFileCacheItem::~FlatFileCacheItem() = default;

std::string FlatFileCacheItem::shortDescription() const {
    return FXString::Format("%s Path [%s] Offset [%llu]", CacheItem::shortDescription().c_str(),
                            flatFilePath.c_str(), static_cast<unsigned long long>(offset));
}

CZoError FlatFileCacheItem::Write(const void* data, size_t length) {
    const bool first = writeBuffer.empty();
    if (length != 0) writeBuffer.append(static_cast<const char*>(data), length);
    if (first && !FXString::MatchLeft(writeBuffer, std::string(kTagMagic, kTagMagicLength)))
        LBC_LOG(-1, "Tag magic does not match for %s", shortDescription().c_str());
    return CZoError::Success();
}

CZoError FlatFileCacheItem::Read(CAutoMemory<char>& buffer) {
    CZoError err = RequireFileIO(FXLOC, LBCError::kReadFailed);
    if (err.IsError()) return err;
    const long long streamedTo = position;
    err = MoveTo(offset);
    if (err.IsError()) return err.Push(FXLOC);
    size_t wanted = size;
    err = Read(buffer, wanted);
    CZoError back = MoveTo(streamedTo);
    if (err.IsError()) return err.Push(FXLOC);
    if (back.IsError()) return back.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheItem::Read(CAutoMemory<char>& buffer, size_t& wanted) {
    CZoError err = RequireFileIO(FXLOC, LBCError::kReadFailed);
    if (err.IsError()) return err;
    err = CheckStillValid(FXLOC);
    if (err.IsError()) return err;
    if (!regionInFile) {
        // The region comes from a database row: before memory is taken for
        // it or any byte is handed out, it must lie wholly in the flat file
        // the item reads.
        long long fileSize = lengthAtOpen;
        if (fileSize < 0) err = openFile ? openFile->Length(fileSize) : fileIO->Size(flatFilePath, fileSize);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadFailed, "(error=%s)", err.AsString().c_str());
        const long long regionEnd = offset + static_cast<long long>(size);
        if (regionEnd > fileSize) {
            const long long held = fileSize > offset ? fileSize - offset : 0;
            return FXErrorUtil::ErrorInt(
                FXLOC, LBCError::kShortRead,
                "Failed to fully read buffer for cache item [%s]. Bytes to read=[%lu], read=[%lu]",
                shortDescription().c_str(), static_cast<unsigned long>(size), static_cast<unsigned long>(held));
        }
        regionInFile = true;
    }
    char* memory = buffer.Allocate(wanted);
    if (memory == nullptr && wanted != 0)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadFailed, "Buffer cannot hold %lu bytes for cache item [%s]",
                                     static_cast<unsigned long>(wanted), shortDescription().c_str());
    unsigned long done = 0;
    err = openFile ? openFile->ReadAt(memory, static_cast<unsigned long>(wanted), position, &done)
                   : fileIO->Read(memory, static_cast<unsigned long>(wanted), &done);
    position += static_cast<long long>(done);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadFailed, "(error=%s)", err.AsString().c_str());
    // Looked at again after the bytes were read: a file started anew while
    // they were read may have handed over bytes of the new GUID.
    err = CheckStillValid(FXLOC);
    if (err.IsError()) return err;
    if (done < wanted)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kShortRead,
                                     "Failed to fully read buffer for cache item [%s]. Bytes to read=[%lu], read=[%lu]",
                                     shortDescription().c_str(), static_cast<unsigned long>(wanted), done);
    wanted = done;
    LBC_LOG(4, "Cache item [%s] read_len = %lu read done", shortDescription().c_str(),
            static_cast<unsigned long>(wanted));
    return CZoError::Success();
}

CZoError FlatFileCacheItem::Close() {
    if (intendedOp != Cache::INTENDED_OP_READ && intendedOp != Cache::INTENDED_OP_VALIDITY_TEST) {
        bool newRegion = true;
        if (intendedOp == Cache::INTENDED_OP_REWRITE) {
            // A road never taken: PrepareForRewrite always answers
            // kRewriteInPlaceRefused (a region is never written over, see
            // there), so every rewrite, of the same length or not, takes the
            // new-region road below. The in-place road (newRegion false, the
            // region opened by OpenForFileRewrite) keeps its names but is dead.
            CZoError err = PrepareForRewrite();
            if (!err.IsError())
                newRegion = false;
            else if (FXErrorUtil::IsNotInt(err, LBCError::kRewriteInPlaceRefused))
                return err.Push(FXLOC);
        }
        FXCriticalSection* regionLock = nullptr;
        if (newRegion) regionLock = fileHandle ? &fileHandle->RegionLock() : &s_flatFileLock.Of(flatFilePath);
        // One sample runs through the adjacent steps: the lock wait, the
        // reservation, writing the bytes, closing the file.
        PerJobSpan step(Counters(), newRegion ? LBCPerfCounters::SlotLockOpen : LBCPerfCounters::SlotItemWrite);
        if (newRegion) {
            size = writeBuffer.size();
            CZoError err;
            {
                auto_lock lock(regionLock);
                step.Then(LBCPerfCounters::SlotItemOpenForWrite);
                err = ReserveRegion();
                if (!err.IsError()) step.Then(LBCPerfCounters::SlotItemWrite);
            }
            if (err.IsError()) return err.Push(FXLOC);
        }

        if (LIVE_BROWSE_CACHE_TESTABILITY.load() > 0) {
            CZoError err = LiveBrowseCacheUtility::GetMd5(writeBuffer, md5);
            if (!err.IsError() && !md5.empty())
                LBC_LOG(4, "[%s] [md5=%s]", shortDescription().c_str(), md5.c_str());
        }
        CZoError err = CheckStillReserved();
        if (err.IsError()) return err.Push(FXLOC);
        unsigned long written = 0;
        err = openFile ? openFile->WriteAt(writeBuffer.data(), static_cast<unsigned long>(writeBuffer.size()),
                                           position, &written)
                       : fileIO->Write(&writeBuffer[0], static_cast<unsigned long>(writeBuffer.size()), &written);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileWriteFailed, "(error=%s)", err.AsString().c_str());
        if (written < writeBuffer.size())
            return FXErrorUtil::ErrorInt(
                FXLOC, LBCError::kShortWrite,
                "Failed to fully write buffer to cache item [%s]. Bytes to write=[%lu], written=[%lu]",
                shortDescription().c_str(), static_cast<unsigned long>(writeBuffer.size()), written);
        LBC_LOG(4, "Cache item [%s] write done", shortDescription().c_str());
        step.Then(LBCPerfCounters::SlotItemClose);
        CloseFile();
        return CZoError::Success();
    }

    PerJobSpan closing(Counters(), LBCPerfCounters::SlotItemClose);
    CloseFile();
    return CZoError::Success();
}

void FlatFileCacheItem::CloseFile() {
    openFile.reset();
    if (!fileIO) return;
    // The region is complete whatever closing says; only log it.
    CZoError err = fileIO->Close();
    if (err.IsError())
        LBC_LOG(-1, "Closing cache item [%s] failed (error=%s)", shortDescription().c_str(), err.AsString().c_str());
}

bool FlatFileCacheItem::IsAvailable() { return fileIO && fileIO->IsConnected(); }

CZoError FlatFileCacheItem::OpenForFileWrite() {
    PerJobSpan timing(Counters(), LBCPerfCounters::SlotItemOpenForWrite);
    CZoError err = ReserveRegion();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheItem::ReserveRegion() {
    CZoError err = RequireFileIO(FXLOC, LBCError::kFlatFileOpenFailed);
    if (err.IsError()) return err;

    // The end, the grow and the seek back to the region's start: as many
    // calls as a grow by the region's length and a seek back from the end.
    long long end = 0;
    if (!UseKeptFile(true, end)) {
        std::string parent;
        std::string name;
        err = FXPath::SplitParentPath(flatFilePath, parent, name);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileParentFailed, "(error=%s)", err.AsString().c_str());
        if (!FXString::MatchesNoCase(parent, dataFolderPath)) {
            err = fileIO->CreateFolder(parent, true);
            if (err.IsError())
                return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileFolderFailed, "(error=%s)",
                                             err.AsString().c_str());
        }
        err = fileIO->CreateOpenFileForWrite(flatFilePath);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
        err = fileIO->Seek(0, FILE_END, end);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
    }
    // An end below a recorded region: the file was cut short or replaced, and
    // bytes placed here would be served to the rows that record that region.
    // The file is left as it was found.
    if (ledger && !ledger->Admits(end, reservedFor))
        return FXErrorUtil::ErrorInt(FXLOC, kErrorFlatFileLost,
                                     "Flat file [%s] ends at %llu, before the regions recorded in it; it was cut short "
                                     "or replaced from outside",
                                     flatFilePath.c_str(), static_cast<unsigned long long>(end));
    const long long grown = end + static_cast<long long>(size);
    err = openFile ? openFile->SetLength(grown) : fileIO->SetLength(grown);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
    if (ledger) ledger->Record(grown);
    position = end;
    if (!openFile) {
        err = fileIO->Seek(end, FILE_BEGIN, position);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
    }
    offset = position;

    // The path below the data folder: the full path without the data
    // folder's path (up to a NUL, as %s prints it) and one "/".
    const size_t base = std::strlen(dataFolderPath.c_str());
    if (flatFilePath.size() <= base || flatFilePath.compare(0, base, dataFolderPath.c_str(), base) != 0 ||
        flatFilePath[base] != '/')
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOutsideBase,
                                     "Flat file path [%s] does not contain base path [%s]", flatFilePath.c_str(),
                                     dataFolderPath.c_str());
    location = LocationText(flatFilePath.c_str() + base + 1);
    LBC_LOG(4, "Cache item [%s] opened for write", shortDescription().c_str());
    return CZoError::Success();
}

CZoError FlatFileCacheItem::CheckStillReserved() {
    // The reservation grew the file to the region's end; only a cut (or a
    // start anew) from outside makes it shorter. Bytes written now would grow
    // it again, and the regions between the cut and this one would read as
    // zeros under the GUID their rows still name. A cut of the topmost region
    // after the reservation looked at the file's end (its grow fills the cut
    // again) or after this look, before the write itself, is not seen: only
    // checksums of the bytes could tell it.
    long long length = 0;
    CZoError err;
    if (openFile) {
        err = openFile->Length(length);
    } else {
        err = fileIO->Seek(0, FILE_END, length);
        long long back = 0;
        if (!err.IsError()) err = fileIO->Seek(position, FILE_BEGIN, back);
    }
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileWriteFailed, "(error=%s)", err.AsString().c_str());
    const long long regionEnd = position + static_cast<long long>(writeBuffer.size());
    if (length >= regionEnd) return CZoError::Success();
    if (ledger) ledger->MarkLost(reservedFor);
    return FXErrorUtil::ErrorInt(FXLOC, kErrorFlatFileLost,
                                 "Flat file [%s] is %lld bytes long, shorter than the region reserved in it up to "
                                 "%lld: it was cut short from outside, and the region is not written",
                                 flatFilePath.c_str(), length, regionEnd);
}

CZoError FlatFileCacheItem::OpenForFileRewrite() {
    PerJobSpan timing(Counters(), LBCPerfCounters::SlotItemOpenForWrite);
    CZoError err = RequireFileIO(FXLOC, LBCError::kFlatFileOpenFailed);
    if (err.IsError()) return err;
    err = fileIO->CreateOpenFileForWrite(flatFilePath);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
    long long at = 0;
    err = fileIO->Seek(offset, FILE_BEGIN, at);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
    LBC_LOG(4, "Cache item [%s] opened for rewrite", shortDescription().c_str());
    return CZoError::Success();
}

CZoError FlatFileCacheItem::OpenForFileRead() {
    openedForRead.Start(Counters(), LBCPerfCounters::SlotItemOpenForRead);
    CZoError err = OpenForFileReadInternal();
    openedForRead.Stop();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheItem::OpenForValidityTest() {
    CZoError err = OpenForFileReadInternal();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FlatFileCacheItem::OpenForFileReadInternal() {
    CZoError err = RequireFileIO(FXLOC, LBCError::kFlatFileOpenFailed);
    if (err.IsError()) return err;
    if (intendedOp == Cache::INTENDED_OP_READ) {
        // Looked at before the file is opened: a GUID set after this is a
        // change, whatever file the opening finds.
        // The kept file's handle is the one the path finds.
        watched = fileHandle ? fileHandle : FlatFileHandle::ForPath(flatFilePath);
        seenChanges = watched->ValidityGUID(seenGUID);
        fileHandle = watched;
    }
    long long length = 0;
    if (UseKeptFile(false, length)) {
        position = offset;
        lengthAtOpen = length;
    } else {
        err = fileIO->OpenFileForRead(flatFilePath);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
        err = fileIO->Seek(offset, FILE_BEGIN, position);
        if (err.IsError())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileOpenFailed, "(error=%s)", err.AsString().c_str());
    }
    LBC_LOG(4, "Cache item [%s] opened for read", shortDescription().c_str());
    return CZoError::Success();
}

bool FlatFileCacheItem::UseKeptFile(bool create, long long& length) {
    openFile.reset();
    if (!fileIO || fileIO->IsRemote()) return false;
    FlatFileHandlePtr handle = fileHandle ? fileHandle : FlatFileHandle::Find(flatFilePath);
    if (!handle) return false;
    FXOpenFilePtr file;
    if (handle->Current(create, file, length).IsError()) return false;
    openFile = file;
    return true;
}

void FlatFileCacheItem::SetLedger(FlatFileLedgerPtr flatFileLedger) {
    ledger = flatFileLedger;
    if (!ledger) return;
    FlatFileHandlePtr handle = ledger->Handle();
    // Another path (a file of another name) keeps finding its own.
    if (handle && handle->Path() == flatFilePath) fileHandle = handle;
}

CZoError FlatFileCacheItem::MoveTo(long long at) {
    if (at == position) return CZoError::Success();
    if (openFile) {
        position = at;
        return CZoError::Success();
    }
    CZoError err = fileIO->Seek(at, FILE_BEGIN, position);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kReadFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

void FlatFileCacheItem::HandOutUnder(const std::string& validityGUID) {
    if (!watched || validityGUID.empty()) return;
    seenChanges = watched->Adopt(validityGUID, offset + static_cast<long long>(size));
    seenGUID = validityGUID;
}

bool FlatFileCacheItem::IsHandedOutUnder(const std::string& validityGUID) const {
    if (!watched || validityGUID.empty() || !FXString::MatchesNoCase(seenGUID, validityGUID)) return false;
    long long end = 0;
    return watched->RegionsEnd(validityGUID, end) && end >= offset + static_cast<long long>(size);
}

void FlatFileCacheItem::ServeOnlyUnder(const std::string& validityGUID) {
    if (!watched) return;
    servesOneGUID = true;
    servedGUID = validityGUID;
    validityLost = (!seenGUID.empty() && !FXString::MatchesNoCase(seenGUID, servedGUID)) || watched->IsLost(servedGUID);
}

CZoError FlatFileCacheItem::CheckStillValid(const FXCodeLocation& at) {
    if (!servesOneGUID) return CZoError::Success();
    if (!validityLost && watched->ValidityGUIDChanges() != seenChanges) {
        std::string now;
        const uint64_t changes = watched->ValidityGUID(now);
        // The one harmless change: a ledger that had not spoken for the file
        // learnt the GUID served. Any other may have put new bytes in it.
        const bool learnt =
            seenGUID.empty() && changes == seenChanges + 1 && FXString::MatchesNoCase(now, servedGUID);
        validityLost = !learnt || watched->IsLost(servedGUID);
        seenChanges = changes;
        seenGUID = now;
    }
    if (!validityLost) return CZoError::Success();
    return FXErrorUtil::ErrorInt(at, LBCError::kInvalidLocation,
                                 "Cache item [%s] is no longer valid: its flat file was started anew under another "
                                 "validity GUID than [%s]",
                                 shortDescription().c_str(), servedGUID.c_str());
}

CZoError FlatFileCacheItem::PrepareForRewrite() {
    // Never over the old region, whatever the length: a Reader opened before
    // the rewrite may still be streaming those bytes, and a database copy
    // written back earlier (in this or another process) still points at them;
    // bytes written over them, or torn by a crash, would be served as the
    // extent. The old region becomes dead space like any replaced one.
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kRewriteInPlaceRefused);
}

std::string FlatFileCacheItem::ConstructCacheItemLocationForDB(const std::string& relativePath) {
    return LocationText(relativePath.c_str());
}

std::string FlatFileCacheItem::LocationText(const char* relativePath) const {
    // Up to a NUL, as %s prints it; sized once for the path and both numbers.
    const size_t length = std::strlen(relativePath);
    std::string text;
    text.reserve(length + 2 * (1 + std::numeric_limits<unsigned long long>::digits10 + 1));
    text.append(relativePath, length);
    text += kSeparator;
    FXString::AppendDecimal(text, static_cast<unsigned long long>(offset));
    text += kSeparator;
    FXString::AppendDecimal(text, static_cast<unsigned long>(size));
    return text;
}

const PerJobSets& FlatFileCacheItem::Counters() {
    if (!counters) counters.emplace(jobId);
    return *counters;
}

CZoError FlatFileCacheItem::RequireFileIO(const FXCodeLocation& at, int code) const {
    if (fileIO) return CZoError::Success();
    return FXErrorUtil::ErrorInt(at, code, "Cache item [%s] has no file access", flatFilePath.c_str());
}
