#include "store/LiveBrowseCacheUtility.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/CMd5.h"
#include "platform/CZoDirectory.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "platform/XKPlatformInfo.h"
#include "platform/XKPlatformObjects.h"

#include <boost/make_shared.hpp>

#include <memory>

namespace {
const char* const kConfigKey = "VirtualServer";
const char* const kCacheLocationName = "sLiveBrowseCacheLocation";
const char* const kCacheFolderName = "LiveBrowseCache";
const char* const kDataFolderName = "DATA";
const char* const kDBFolderName = "DB";
const char* const kStageFolderName = "Temp/DB";
}  // namespace

// Every folder location starts here: a missing or relative job results folder
// would silently put the cache below the working directory.
CZoError LiveBrowseCacheUtility::GetJobResultsFolder(std::string& folder) {
    std::string machine = XKPlatformInfo().getPhysicalMachine();
    folder = XKPI_HubClient().getJobResultsDirectory(machine);
    if (folder.empty() || folder[0] != '/')
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoJobResultsFolder,
                                     "No usable job results folder [%s] for machine [%s]", folder.c_str(),
                                     machine.c_str());
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetCacheFolderLocation(std::string& out) {
    std::string jobResults;
    CZoError err = GetJobResultsFolder(jobResults);
    if (err.IsError()) return err.Push(FXLOC);

    std::string location = jobResults;
    if (XKPlatformInfo().getValue(kConfigKey, kCacheLocationName, location, nullptr) != 0) {
        if (!FXPath::DoesPathExist(location)) {
            LBC_LOG(-1, "Live browse cache location [%s] does not exist. Resorting to job results folder [%s]",
                    location.c_str(), jobResults.c_str());
            location = jobResults;
        } else {
            LBC_LOG(0, "Using live browse cache location [%s] specified in the registry key sLiveBrowseCacheLocation",
                    location.c_str());
        }
    }
    err = GetCacheFolderLocation(location, out);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetCacheFolderLocation(const std::string& base, std::string& out) {
    out = base;
    CZoError err = FXPath::Append(out, kCacheFolderName, 0);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetLocalCacheFolderLocation(std::string& out) {
    std::string jobResults;
    CZoError err = GetJobResultsFolder(jobResults);
    if (err.IsError()) return err.Push(FXLOC);
    err = GetCacheFolderLocation(jobResults, out);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetCacheDataLocation(const std::string& root, std::string& out) {
    out = root;
    CZoError err = FXPath::Append(out, kDataFolderName, 0);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetCacheDBLocation(const std::string& root, std::string& out) {
    out = root;
    CZoError err = FXPath::Append(out, kDBFolderName, 0);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetDefaultCacheStageDBLocation(std::string& out) {
    CZoError err = GetLocalCacheFolderLocation(out);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStageFolderFailed, "(error=%s)", err.AsString().c_str());
    err = FXPath::Append(out, kStageFolderName, 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStageFolderFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

// One staging folder per cache location: containers of one afile copy at two
// locations (in this process or in two processes of the host) each take
// their own location's lock file, so nothing else keeps them from emptying,
// staging into or writing back each other's files.
CZoError LiveBrowseCacheUtility::GetAfileStageDBLocation(const std::string& dbFolder, const std::string& root,
                                                         std::string& out) {
    CZoError err = GetDefaultCacheStageDBLocation(out);
    if (err.IsError()) return err.Push(FXLOC);
    std::string relative = dbFolder;
    err = FXPath::RemovePathFromFileName(relative, root);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagingPathFailed, "(error=%s)", err.AsString().c_str());
    std::string locationTag;
    err = GetMd5(root, locationTag);
    if (!err.IsError() && locationTag.empty())
        err = FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagingPathFailed, "No staging name for cache location [%s]",
                                    root.c_str());
    if (!err.IsError()) err = FXPath::Append(out, locationTag, 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagingPathFailed, "(error=%s)", err.AsString().c_str());
    err = FXPath::Append(out, relative, 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStagingPathFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetCanonicalCacheFolder(const std::string& path, bool dataServer,
                                                         std::string& folder) {
    if (dataServer) {
        const size_t fields = path.rfind('|') + 1;
        folder = path.substr(0, fields) + FXPath::Normalize(path.substr(fields));
        return CZoError::Success();
    }
    CZoError err = FXPath::Canonicalize(path, folder);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::GetMd5(const std::string& text, std::string& out) {
    CMd5 md5;
    md5.Start();
    md5.Process(text.data(), static_cast<uint32_t>(text.size()));
    md5.End();
    unsigned char code[16];
    out.clear();
    // The engine fails only when out of memory; the empty text tells callers.
    if (!md5.GetCode(code)) return CZoError::Success();
    // By table: a formatted print per byte cost more than the digest itself.
    static const char kHex[] = "0123456789ABCDEF";
    out.resize(2 * sizeof code);
    for (size_t i = 0; i < sizeof code; ++i) {
        out[2 * i] = kHex[code[i] >> 4];
        out[2 * i + 1] = kHex[code[i] & 0x0F];
    }
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::CopyFilesFromFolder(const std::string& src, const std::string& dst,
                                                     const std::string& pattern, DWORD flags, CCacheFileIOPtr srcIO,
                                                     CCacheFileIOPtr dstIO) {
    CZoError err = TransferFilesFromFolder(false, src, dst, pattern, flags, srcIO, dstIO);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::MoveFilesFromFolder(const std::string& src, const std::string& dst,
                                                     const std::string& pattern, DWORD flags, CCacheFileIOPtr srcIO,
                                                     CCacheFileIOPtr dstIO) {
    CZoError err = TransferFilesFromFolder(true, src, dst, pattern, flags, srcIO, dstIO);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::TransferFilesFromFolder(bool move, const std::string& src, const std::string& dst,
                                                         const std::string& pattern, DWORD flags,
                                                         CCacheFileIOPtr srcIO, CCacheFileIOPtr dstIO) {
    boost::any local;
    if (!srcIO) srcIO = boost::make_shared<CCacheFileIO>(local);
    if (!dstIO) dstIO = boost::make_shared<CCacheFileIO>(local);

    bool exists = false;
    CZoError err = dstIO->IsExists(dst, exists);
    if (err.IsError()) return err.Push(FXLOC);
    if (!exists) {
        err = dstIO->CreateFolder(dst, true);
        if (err.IsError()) return err.Push(FXLOC);
        LBC_LOG(2, "Created desitnation folder [%s]", dst.c_str());
    }

    std::list<std::string> files;
    err = srcIO->GetMatchingFiles(src, pattern, files);
    if (err.IsError()) return err.Push(FXLOC);

    for (const std::string& srcFile : files) {
        std::string parent, name;
        err = FXPath::SplitParentPath(srcFile, parent, name);
        if (err.IsError()) return err.Push(FXLOC);
        std::string dstFile = dst;
        err = FXPath::Append(dstFile, name, 0);
        if (err.IsError()) return err.Push(FXLOC);
        std::string dstParent, dstName;
        err = FXPath::SplitParentPath(dstFile, dstParent, dstName);
        if (err.IsError()) return err.Push(FXLOC);
        err = dstIO->IsExists(dstParent, exists);
        if (err.IsError()) return err.Push(FXLOC);
        if (!exists) {
            err = dstIO->CreateFolder(dstParent, true);
            if (err.IsError()) return err.Push(FXLOC);
            LBC_LOG(2, "Created desitnation sub folder [%s]", dstParent.c_str());
        }
        if (move) {
            LBC_LOG(2, "Moving file [%s] to [%s]", srcFile.c_str(), dstFile.c_str());
            err = CCacheFileIO::Move(srcFile, dstFile, srcIO, dstIO, static_cast<int>(flags));
        } else {
            LBC_LOG(2, "Copying file [%s] to [%s]", srcFile.c_str(), dstFile.c_str());
            err = CCacheFileIO::Copy(srcFile, dstFile, srcIO, dstIO, static_cast<int>(flags));
        }
        if (err.IsError()) return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::SetFilesModificationTime(const std::string& folder, const std::string& pattern,
                                                          int64_t unixTime, CCacheFileIOPtr io) {
    std::list<std::string> files;
    CZoError err = io->GetMatchingFiles(folder, pattern, files);
    if (err.IsError()) return err.Push(FXLOC);
    for (const std::string& file : files) {
        err = io->SetModificationTime(file, unixTime);
        if (err.IsError()) return err.Push(FXLOC);
    }
    return CZoError::Success();
}

std::string LiveBrowseCacheUtility::GetBytesAsUnits(unsigned long long n) {
    const unsigned long long kGB = 1ULL << 30, kMB = 1ULL << 20, kKB = 1ULL << 10;
    if (n >= kGB) return FXString::Format("%llu GB", n / kGB);
    if (n >= kMB) return FXString::Format("%llu MB", n / kMB);
    if (n >= kKB) return FXString::Format("%llu KB", n / kKB);
    return FXString::Format("%llu bytes", n);
}

std::string LiveBrowseCacheUtility::AsString(const MediaManager::MountPathInfo& mountPath) {
    return mountPath.getPath();
}

CZoError LiveBrowseCacheUtility::DeleteEmptyFolders(const std::string& folder, int limitMs) {
    std::unique_ptr<DeleteWalkContext> context(new DeleteWalkContext());
    context->start = CTimeStamp::Now();
    context->limitMs = limitMs;
    CZoError err = CZoDirectory::Walk(folder, context.get(), -1, true, DeleteWalkFunction);
    if (FXErrorUtil::IsInt(err, LBCError::kFolderWalkBudgetSpent)) return CZoError::Success();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError LiveBrowseCacheUtility::DeleteWalkFunction(const char* parent, const char* name, bool isFolder,
                                                    void* contextPtr) {
    if (!isFolder) return CZoError::Success();
    DeleteWalkContext* context = static_cast<DeleteWalkContext*>(contextPtr);
    if (context != nullptr && context->removedSinceCheck >= context->checkEvery) {
        context->removedSinceCheck = 0;
        int64_t elapsedMs = (CTimeStamp::Now() - context->start).As100NSIntervals() / 10000;
        if (elapsedMs >= context->limitMs) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFolderWalkBudgetSpent);
    }
    std::string path = parent;
    CZoError err = FXPath::Append(path, name, 0);
    if (err.IsError()) return err.Push(FXLOC);
    bool empty = false;
    err = CZoDirectory::IsEmpty(path, empty);
    if (err.IsError()) return err.Push(FXLOC);
    if (empty) {
        err = CZoDirectory::Remove(path, false, false);
        if (err.IsError()) return err.Push(FXLOC);
        if (context != nullptr) ++context->removedSinceCheck;
    }
    return CZoError::Success();
}
