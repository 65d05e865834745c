// The folder walks of CCacheFileIO: size, matching files and the removal of
// empty folders, each in a local form and in a remote form that drives the FS
// client's walk with one callback per entry.

#include "store/CacheFileIO.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/CPathMatch.h"
#include "platform/CSimpleFolderTreeIterator.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXPath.h"
#include "platform/Win32Constants.h"
#include "store/LiveBrowseCacheUtility.h"

namespace {

const int kWalkDepth = 0x7FFFFFFF;

// Context of one remote match walk.
struct MatchList {
    std::list<std::string>* files;
    std::string pattern;
};

int64_t ElapsedMs(const CTimeStamp& start) { return (CTimeStamp::Now() - start).As100NSIntervals() / 10000; }

}  // namespace

CZoError CCacheFileIO::FolderSize(const std::string& folder, unsigned long long& size) {
    if (!remoteFS) return _FolderSize(folder, size);
    FolderSizeWalkContext context;
    context.start = CTimeStamp::Now();
    context.limitMs = 120000;
    context.totalBytes = 0;
    context.fs = remoteFS;
    CZoError err = remoteFS->Walk(ConvertPath(folder), &context, kWalkDepth, true, SpaceWalkerFunc, 0);
    if (err.IsError()) return err.Push(FXLOC);
    size = context.totalBytes;
    return CZoError::Success();
}

CZoError CCacheFileIO::SpaceWalkerFunc(const char* folder, const char* name, bool isFolder, void* contextPtr) {
    if (isFolder) return CZoError::Success();
    FolderSizeWalkContext* context = static_cast<FolderSizeWalkContext*>(contextPtr);
    if (ElapsedMs(context->start) >= context->limitMs)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSpaceWalkBudgetSpent);
    std::string path = folder;
    CZoError err = FXPath::Append(path, name, 0);
    if (err.IsError()) return err.Push(FXLOC);
    struct stat st;
    err = context->fs->Stat(path, st);
    if (err.IsError()) return err.Push(FXLOC);
    context->totalBytes += static_cast<unsigned long long>(st.st_size);
    return CZoError::Success();
}

CZoError CCacheFileIO::_FolderSize(const std::string& folder, unsigned long long& size) {
    size = 0;
    CSimpleFolderTreeIterator iterator;
    // A failed open shows in the first GetNextItem.
    iterator.Open(folder, CSimpleFolderFilterByItemName("*"));
    CSimpleFolderTreeIterator::Item item;
    for (;;) {
        CZoError err = iterator.GetNextItem(item);
        if (FXErrorUtil::IsWin32(err, ERROR_NO_MORE_FILES) || FXErrorUtil::IsWin32(err, ERROR_FILE_NOT_FOUND))
            return CZoError::Success();
        if (err.IsError()) return err.Push(FXLOC);
        size += item.size;
    }
}

CZoError CCacheFileIO::GetMatchingFiles(const std::string& folder, const std::string& pattern,
                                        std::list<std::string>& files) {
    if (!remoteFS) return _GetMatchingFiles(folder, pattern, files);
    MatchList context{&files, pattern};
    return remoteFS->Walk(ConvertPath(folder), &context, kWalkDepth, true, MatchWalkerFunc, 0);
}

CZoError CCacheFileIO::MatchWalkerFunc(const char* folder, const char* name, bool isFolder, void* contextPtr) {
    if (isFolder) return CZoError::Success();
    MatchList* context = static_cast<MatchList*>(contextPtr);
    CPathMatch matcher;
    matcher.setDelimiter('/');
    CZoError err = matcher.initialize(context->pattern, true, false);
    if (err.IsError()) return err.Push(FXLOC);
    if (context->pattern.empty() || matcher.match(name) == 1) {
        std::string path = folder;
        err = FXPath::Append(path, name, 0);
        if (err.IsError()) return err.Push(FXLOC);
        context->files->push_back(path);
    }
    return CZoError::Success();
}

CZoError CCacheFileIO::_GetMatchingFiles(const std::string& folder, const std::string& pattern,
                                         std::list<std::string>& files) {
    return FXFile::GetMatchingFiles(folder, pattern, files, true);
}

CZoError CCacheFileIO::DeleteEmptyFolders(const std::string& folder, int limitMs) {
    if (!remoteFS) return _DeleteEmptyFolders(folder, limitMs);
    DeleteWalkContext context;
    context.start = CTimeStamp::Now();
    context.limitMs = limitMs;
    context.checkEvery = 10;
    context.removedSinceCheck = 0;
    context.fs = remoteFS;
    CZoError err = remoteFS->Walk(ConvertPath(folder), &context, kWalkDepth, true, DeleteWalkerFunc, 0);
    if (FXErrorUtil::IsInt(err, LBCError::kFolderWalkBudgetSpent)) return CZoError::Success();
    return err;
}

// The clock is read only at the first folder after every tenth removal.
CZoError CCacheFileIO::DeleteWalkerFunc(const char* folder, const char* name, bool isFolder, void* contextPtr) {
    if (!isFolder) return CZoError::Success();
    DeleteWalkContext* context = static_cast<DeleteWalkContext*>(contextPtr);
    if (context->removedSinceCheck >= context->checkEvery) {
        context->removedSinceCheck = 0;
        if (ElapsedMs(context->start) >= context->limitMs)
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFolderWalkBudgetSpent);
    }
    std::string path = folder;
    CZoError err = FXPath::Append(path, name, 0);
    if (err.IsError()) return err.Push(FXLOC);
    std::vector<std::string> files, folders;
    err = context->fs->ListFolder(path, files, folders);
    if (err.IsError()) return err.Push(FXLOC);
    if (files.empty() && folders.empty()) {
        err = context->fs->RemoveFolder(path, 0);
        if (err.IsError()) return err.Push(FXLOC);
        ++context->removedSinceCheck;
    }
    return CZoError::Success();
}

CZoError CCacheFileIO::_DeleteEmptyFolders(const std::string& folder, int limitMs) {
    return LiveBrowseCacheUtility::DeleteEmptyFolders(folder, limitMs);
}
