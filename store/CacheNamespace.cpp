#include "store/CacheNamespace.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "store/CacheLookup.h"
#include "store/LiveBrowseCacheUtility.h"

#include <cctype>
#include <cstdint>
#include <vector>

namespace {

const char* const kAfile = "afile";

unsigned long long Id(long long afileId) { return static_cast<unsigned long long>(afileId); }

// The leading decimal digits of a name part, read as the unsigned 64-bit
// value they were printed from; a part without a leading digit is 0.
unsigned long long LeadingNumber(const std::string& part) {
    unsigned long long value = 0;
    for (char c : part) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return value;
}

CZoError NoLocation(const FXCodeLocation& at, const char* what, long long afileId, unsigned copyId) {
    return FXErrorUtil::ErrorInt(at, LBCError::kNoDatabase, "No %s found for afileID [%llu] copyID [%u]", what,
                                 Id(afileId), copyId);
}

}  // namespace

CZoError CacheNamespace::GenerateAfileFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                 std::string& path) {
    std::string name = FXString::Format("%s_%llu_%u_%u", kAfile, Id(afileId), copyId, tessarelId);
    std::string md5;
    CZoError err = LiveBrowseCacheUtility::GetMd5(name, md5);
    if (!err.IsError() && md5.empty()) err = FXErrorUtil::ErrorWin32(FXLOC, 1359);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kHashedFolderFailed, "(error=%s)", err.AsString().c_str());
    err = FXPath::Append(path, GetHashGuidBasedFolderPath(md5), 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kHashedFolderFailed, "(error=%s)", err.AsString().c_str());
    err = FXPath::Append(path, name, 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kHashedFolderFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateAfileDataFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                     std::string& path) {
    std::string dataFolder;
    if (!CacheLookup::GetCacheDataFolderPath(afileId, copyId, dataFolder) || dataFolder.empty())
        return NoLocation(FXLOC, "cache", afileId, copyId);
    CZoError err = GenerateAfileDataFolderPath(afileId, tessarelId, copyId, dataFolder, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateAfileDataFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                     const std::string& baseFolder, std::string& path) {
    path = baseFolder;
    CZoError err = GenerateAfileFolderPath(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateAfileDBFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                   std::string& path) {
    std::string dbFolder;
    if (!CacheLookup::GetCacheDBFolderPath(afileId, copyId, dbFolder) || dbFolder.empty())
        return NoLocation(FXLOC, "cache database", afileId, copyId);
    CZoError err = GenerateAfileDBFolderPath(afileId, tessarelId, copyId, dbFolder, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateAfileDBFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                   const std::string& baseFolder, std::string& path) {
    path = baseFolder;
    CZoError err = GenerateAfileFolderPath(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::AppendFlatFileName(long long afileId, unsigned tessarelId, unsigned copyId,
                                            std::string& path) {
    CZoError err = FXPath::Append(path, FXString::Format("%llu_%u_%u.cache", Id(afileId), copyId, tessarelId), 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFlatFileNameFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateFlatFilePath(long long afileId, long long, long long, unsigned tessarelId,
                                              unsigned copyId, const std::string&, std::string& path) {
    CZoError err = GenerateAfileDataFolderPath(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    err = AppendFlatFileName(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateFlatFilePath(const std::string&, long long, long long afileId, unsigned tessarelId,
                                              unsigned copyId, const std::string&, std::string& path) {
    CZoError err = GenerateAfileDataFolderPath(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    err = AppendFlatFileName(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateFlatFilePath(long long afileId, unsigned tessarelId, unsigned copyId,
                                              const std::string& dataFolder, std::string& path) {
    CZoError err = GenerateAfileDataFolderPath(afileId, tessarelId, copyId, dataFolder, path);
    if (err.IsError()) return err.Push(FXLOC);
    err = AppendFlatFileName(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheNamespace::GenerateExtentFilePath(long long afileId, long long afileOffset, long long jobId,
                                                unsigned tessarelId, unsigned copyId, std::string& path) {
    CZoError err = GenerateAfileDataFolderPath(afileId, tessarelId, copyId, path);
    if (err.IsError()) return err.Push(FXLOC);
    err = FXPath::Append(path, FXString::Format("%llu", Id(jobId)), 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kExtentPathFailed, "(error=%s)", err.AsString().c_str());
    err = FXPath::Append(path, FXString::Format("%llu_%llu.extent", Id(afileId), Id(afileOffset)), 0);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kExtentPathFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

std::string CacheNamespace::GenerateAfileFolderSearchString(long long afileId, unsigned tessarelId,
                                                            unsigned copyId) {
    const char* const any = "(.*)";
    std::string afile = afileId != 0 ? FXString::Format("%llu", Id(afileId)) : any;
    std::string copy = copyId != 0 ? FXString::Format("%u", copyId) : any;
    std::string tessarel = tessarelId != 0 ? FXString::Format("%u", tessarelId) : any;
    return FXString::Format("%s_%s_%s_%s", kAfile, afile.c_str(), copy.c_str(), tessarel.c_str());
}

CZoError CacheNamespace::GetFileInfo(const std::string& path, long long& afileId, unsigned& tessarelId,
                                     unsigned& copyId) {
    afileId = 0;
    tessarelId = 0;
    copyId = 0;
    if (FXString::FindString(path, kAfile, true) == nullptr)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kUnexpectedPath, "Unexpected path found [%s]", path.c_str());

    std::vector<std::string> components;
    FXString::Split(path, "/", components);
    for (const std::string& component : components) {
        if (!FXString::MatchLeftNoCase(component, kAfile)) continue;
        std::vector<std::string> parts;
        FXString::Split(component, "_", parts);
        if (parts.size() < 4)
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kUnexpectedPath, "Unexpected path found [%s]", path.c_str());
        afileId = static_cast<long long>(LeadingNumber(parts[1]));
        copyId = static_cast<unsigned>(LeadingNumber(parts[2]));
        tessarelId = static_cast<unsigned>(LeadingNumber(parts[3]));
        break;
    }
    if (afileId == 0 && copyId == 0 && tessarelId == 0)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kUnexpectedPath, "Unexpected path found [%s]", path.c_str());
    return CZoError::Success();
}

std::string CacheNamespace::GetHashGuidBasedFolderPath(const std::string& text) {
    std::string plain = FXString::CopyAndReplaceAll(text, "-", "");
    if (plain.size() < 2) return std::string();
    return FXString::ToUpper(plain.substr(0, 2));
}

CZoError CacheNamespace::GetCachePath(const MediaManager::MountPathInfo& mountPath, std::string& dataPath,
                                      std::string& dbPath) {
    const std::string& root = mountPath.getPath();
    CZoError err = LiveBrowseCacheUtility::GetCacheDataLocation(root, dataPath);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCachePathFailed, "(error=%s)", err.AsString().c_str());
    err = LiveBrowseCacheUtility::GetCacheDBLocation(root, dbPath);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCachePathFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}
