#pragma once
// The names of the cache's folders and files for an afile copy, and the
// identity read back from a path. Operations take (afile, Tessarel, copy);
// names print afile, copy, Tessarel: afile 812, copy 1, Tessarel 2 lives in
// <base>/C1/afile_812_1_2 with the flat file 812_1_2.cache. No state.
//
// The forms without a base folder resolve the afile copy's location through the
// service (CacheLookup) and fail with LBCError::kNoDatabase when it has none.
// Code that already holds its location's folder uses the base-folder forms: the
// afile-to-location map may be cleared or answer differently by the time it
// asks again.

#include "CZoError.h"
#include "platform/MountPathInfo.h"

#include <string>

class CacheNamespace {
public:
    // Appends the bucket folder and the afile folder name to path (a base folder).
    static CZoError GenerateAfileFolderPath(long long afileId, unsigned tessarelId, unsigned copyId, std::string& path);

    static CZoError GenerateAfileDataFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                std::string& path);
    static CZoError GenerateAfileDataFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                                const std::string& baseFolder, std::string& path);
    static CZoError GenerateAfileDBFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                              std::string& path);
    static CZoError GenerateAfileDBFolderPath(long long afileId, unsigned tessarelId, unsigned copyId,
                                              const std::string& baseFolder, std::string& path);

    // The flat file of the afile copy below the data folder of its location;
    // offset, job and GUIDs take no part in the name.
    static CZoError GenerateFlatFilePath(long long afileId, long long afileOffset, long long jobId,
                                         unsigned tessarelId, unsigned copyId, const std::string& validityGUID,
                                         std::string& path);
    static CZoError GenerateFlatFilePath(const std::string& vmGUID, long long jobId, long long afileId,
                                         unsigned tessarelId, unsigned copyId, const std::string& validityGUID,
                                         std::string& path);
    // The same below a given cache data folder.
    static CZoError GenerateFlatFilePath(long long afileId, unsigned tessarelId, unsigned copyId,
                                         const std::string& dataFolder, std::string& path);

    static CZoError GenerateExtentFilePath(long long afileId, long long afileOffset, long long jobId,
                                           unsigned tessarelId, unsigned copyId, std::string& path);

    // A regular expression for whole afile folder names; a 0 id matches anything.
    static std::string GenerateAfileFolderSearchString(long long afileId, unsigned tessarelId, unsigned copyId);

    // The identity of the first path component that begins with "afile"; all
    // outputs are 0 after a failure (LBCError::kUnexpectedPath).
    static CZoError GetFileInfo(const std::string& path, long long& afileId, unsigned& tessarelId, unsigned& copyId);

    // The first two characters, upper-cased, of the text without its "-".
    static std::string GetHashGuidBasedFolderPath(const std::string& text);

    // The cache data and DB folders of a media-manager mount path.
    static CZoError GetCachePath(const MediaManager::MountPathInfo& mountPath, std::string& dataPath,
                                 std::string& dbPath);

private:
    static CZoError AppendFlatFileName(long long afileId, unsigned tessarelId, unsigned copyId, std::string& path);
};
