// The VM listing of a top-level container: one VM per afile database file
// below its folder, identity from the file's folder name, last-reference
// time from the file's time stamp. No database is opened.
//
// A batched listing has a walker thread that hands out a batch per request.
// The consumer and the walker take turns through the two events, so the
// fields they share are never touched by both at once.

#include "metadb/CacheDB.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/CZoDirectory.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "store/CacheNamespace.h"

#include <boost/make_shared.hpp>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

namespace {
const char* const kAfileDBName = "afile_cache";

typedef std::function<CZoError(const std::string& fullPath)> EntryCallback;

std::string AfileDBFileName() { return FXString::Format("%s.db", kAfileDBName); }

// The name of the folder that holds the file at path.
CZoError ParentFolderName(const std::string& path, std::string& fileName, std::string& folderName) {
    std::string parent, grandParent;
    CZoError err = FXPath::SplitParentPath(path, parent, fileName);
    if (err.IsError()) return err.Push(FXLOC);
    err = FXPath::SplitParentPath(parent, grandParent, folderName);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

bool ConsumeDigits(const std::string& text, size_t& at) {
    size_t start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at > start;
}

// Whether an afile folder name ("afile_<afile>_<copy>_<tessarel>", already
// checked) is one the filter asks for: each non-zero field must equal its
// part, as the folder search text with "(.*)" for the zero fields would match.
// Compared directly rather than through std::regex, whose compilation is not
// safe to run on several threads at once in this standard library.
bool FolderMatchesFilter(const std::string& name, const VMJobParam& filter) {
    std::vector<std::string> parts;
    FXString::Split(name, "_", parts);
    if (parts.size() != 4) return false;
    if (filter.AfileID != 0 &&
        parts[1] != FXString::Format("%llu", static_cast<unsigned long long>(filter.AfileID)))
        return false;
    if (filter.CopyID != 0 && parts[2] != FXString::Format("%u", static_cast<unsigned>(filter.CopyID))) return false;
    if (filter.TessarelID != 0 && parts[3] != FXString::Format("%u", static_cast<unsigned>(filter.TessarelID)))
        return false;
    return true;
}

// The file vanished between the search and the time-stamp read (a pruner or
// another host removed it): skipped rather than ending the listing.
bool Vanished(const std::string& path, const CCacheFileIOPtr& io) {
    bool exists = true;
    CZoError err = io->IsExists(path, exists);
    return !err.IsError() && !exists;
}
}  // namespace

// A folder whose three ids are all 0 names no afile copy (0 means any), and
// its identity cannot be read back: counted, it would fail every listing of
// the location, and with it every pruning pass.
bool CacheDB::IsAfileFolderName(const std::string& name) {
    const std::string prefix = "afile_";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    size_t at = prefix.size();
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            if (at >= name.size() || name[at] != '_') return false;
            ++at;
        }
        if (!ConsumeDigits(name, at)) return false;
    }
    if (at != name.size()) return false;
    return name.find_first_not_of("0_", prefix.size()) != std::string::npos;
}

// The identity is read from the name of the file's own folder alone: read
// from the whole path, a folder above the location whose name starts with
// "afile" (/srv/afiles/cache, /data/afile_2024_01_05) would fail every
// listing or name every VM after itself.
CZoError CacheDB::GetVMInfo(const std::string& dbFilePath, VM& vm, CCacheFileIOPtr io) {
    std::string fileName, folderName;
    long long afileId = 0;
    unsigned tessarelId = 0, copyId = 0;
    CZoError err = ParentFolderName(dbFilePath, fileName, folderName);
    if (!err.IsError()) err = CacheNamespace::GetFileInfo(folderName, afileId, tessarelId, copyId);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kUnexpectedPath, "Unexpected path found [%s]",
                                     dbFilePath.c_str());

    if (!io) {
        boost::any local;
        io = boost::make_shared<CCacheFileIO>(local);
    }
    CTimeStamp first, second, third;
    err = io->GetFileTimes(dbFilePath, &first, &second, &third);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabaseFileTimesFailed, "(error=%s)", err.AsString().c_str());

    vm.TessarelID = tessarelId;
    vm.CopyID = copyId;
    vm.AfileID = afileId;
    vm.LastReferenceTime = second.AsUnixTime();
    return CZoError::Success();
}

CZoError CacheDB::GetVMInfoFromCacheContent(std::list<VM>& out) {
    std::list<std::string> paths;
    CZoError err = fileIO->GetMatchingFiles(dbFolderPath, AfileDBFileName(), paths);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kListDatabaseFilesFailed, "(error=%s)", err.AsString().c_str());

    for (const std::string& path : paths) {
        // Only afile folders count: a stray file (an upload folder's copy, a
        // file in a bucket folder) must not end every later pruning pass.
        std::string fileName, folderName;
        err = ParentFolderName(path, fileName, folderName);
        if (err.IsError()) return err.Push(FXLOC);
        if (!IsAfileFolderName(folderName)) {
            LBC_LOG(1, "Skipping [%s]: not in an afile database folder", path.c_str());
            continue;
        }
        VM vm;
        err = GetVMInfo(path, vm, fileIO);
        if (err.IsError()) {
            if (!Vanished(path, fileIO)) return err.Push(FXLOC);
            LBC_LOG(-1, "Database [%s] vanished while listing VMs, skipped (error=%s)", path.c_str(),
                    err.AsString().c_str());
            continue;
        }
        out.push_back(vm);
    }
    return CZoError::Success();
}

CZoError CacheDB::GetVMInfoFromCacheContent(std::list<VM>& out, size_t batchSize, VMJobParam filter,
                                            boost::any& context) {
    boost::shared_ptr<BatchContext> state;
    if (context.empty()) {
        state = boost::make_shared<BatchContext>();
        state->batchSize = batchSize;
        state->folderPath = dbFolderPath;
        state->fileIO = fileIO;
        state->filter = filter;
        if (state->walkerThread.createThread(WalkDirectoryForVMsStatic, state.get()) == -1)
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kListingThreadFailed,
                                         "Failed to create thread to fetch VMs from cache content");
        context = state;
    } else {
        boost::shared_ptr<BatchContext>* held = boost::any_cast<boost::shared_ptr<BatchContext>>(&context);
        if (held != nullptr) state = *held;
    }
    if (!state) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kListingFailed, "Failed to fetch VMs from cache content");
    if (state->walkDone) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kEndOfListing);

    state->batchSize = batchSize;
    state->requestEvent.set();
    state->batchReadyEvent.wait();
    out.splice(out.end(), state->vms);
    return state->walkResult;
}

CacheDB::BatchContext::BatchContext() : requestEvent(false), batchReadyEvent(false) {}

// The walker waits for a request, or walks on after one; either way it is
// told to stop, ends its walk at the next entry and is joined before the
// state it works on goes.
CacheDB::BatchContext::~BatchContext() {
    stopRequested = true;
    requestEvent.set();
    walkerThread.join();
}

void* CacheDB::WalkDirectoryForVMsStatic(void* argument) {
    BatchContext* state = static_cast<BatchContext*>(argument);
    state->requestEvent.wait();

    CZoError result;
    if (!state->stopRequested) {
        const std::string dbFileName = AfileDBFileName();
        unsigned long long count = 0;

        EntryCallback perEntry = [&](const std::string& fullPath) -> CZoError {
            if (state->stopRequested) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kEndOfListing);
            std::string fileName, folderName;
            CZoError err = ParentFolderName(fullPath, fileName, folderName);
            if (err.IsError()) return err.Push(FXLOC);
            if (!IsAfileFolderName(folderName) || !FolderMatchesFilter(folderName, state->filter) ||
                !FXString::MatchesNoCase(fileName, dbFileName))
                return CZoError::Success();

            VM vm;
            err = GetVMInfo(fullPath, vm, state->fileIO);
            if (err.IsError()) {
                if (!Vanished(fullPath, state->fileIO)) return err.Push(FXLOC);
                LBC_LOG(-1, "Database [%s] vanished while listing VMs, skipped (error=%s)", fullPath.c_str(),
                        err.AsString().c_str());
                return CZoError::Success();
            }
            state->vms.push_back(vm);
            if (++count >= state->batchSize) {
                count = 0;
                state->batchReadyEvent.set();
                state->requestEvent.wait();
                if (state->stopRequested) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kEndOfListing);
            }
            return CZoError::Success();
        };

        if (state->fileIO && state->fileIO->IsRemote()) {
            // The local walk cannot reach a data server's folder: the file
            // search goes through the file access, the batches stay lazy.
            std::list<std::string> paths;
            result = state->fileIO->GetMatchingFiles(state->folderPath, dbFileName, paths);
            for (auto it = paths.begin(); !result.IsError() && it != paths.end(); ++it) result = perEntry(*it);
        } else {
            result = CZoDirectory::Walk(state->folderPath, &perEntry, -1, true, WalkFunction);
        }
    }

    state->walkResult = result;
    state->walkDone = true;
    state->batchReadyEvent.set();
    return nullptr;
}

CZoError CacheDB::WalkFunction(const char* parentPath, const char* name, bool, void* callback) {
    std::string fullPath = parentPath;
    CZoError err = FXPath::Append(fullPath, name, 0);
    if (err.IsError()) return err.Push(FXLOC);
    if (callback == nullptr) return CZoError::Success();
    return (*static_cast<EntryCallback*>(callback))(fullPath);
}

CZoError CacheDB::GetVMsInBatches(VMJobParam filter, size_t batchSize, DBObjectCollection<VM>& batch) {
    if (isAfileDB) {
        if (!impl) return NoImplementation(FXLOC);
        return impl->GetVMsInBatches(filter, batchSize, batch);
    }
    batch.prepareForNextBatch();
    batch.clear();
    std::list<VM> vms;
    CZoError err = GetVMInfoFromCacheContent(vms, batchSize, filter, batch.getContext());
    if (err.IsError()) return err.Push(FXLOC);
    for (const VM& vm : vms) batch.append(vm);
    return CZoError::Success();
}

CZoError CacheDB::GetVMCount(VMJobParam filter, long long& count) {
    if (isAfileDB) {
        if (!impl) return NoImplementation(FXLOC);
        return impl->GetVMCount(filter, count);
    }
    std::list<VM> vms;
    CZoError err = GetVMInfoFromCacheContent(vms);
    if (err.IsError()) return err.Push(FXLOC);
    count = static_cast<long long>(vms.size());
    return CZoError::Success();
}

CZoError CacheDB::GetVMJobs(std::list<VM>& vms) {
    if (isAfileDB) {
        if (!impl) return NoImplementation(FXLOC);
        return impl->GetVMJobs(vms);
    }
    return GetVMInfoFromCacheContent(vms);
}
