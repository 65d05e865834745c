#pragma once
// Where the cache's folders are, and the folder utilities several parts share.
// No state: every call makes its own platform objects and file access.

#include "CTimeStamp.h"
#include "CZoError.h"
#include "platform/MountPathInfo.h"
#include "platform/Win32Constants.h"
#include "store/CacheFileIO.h"

#include <cstdint>
#include <string>

class LiveBrowseCacheUtility {
public:
    // Context of one local empty-folder removal.
    struct DeleteWalkContext {
        CTimeStamp start;
        int32_t limitMs = 0;
        int32_t checkEvery = 10;
        int32_t removedSinceCheck = 0;
    };

    // The local cache folder: "sLiveBrowseCacheLocation" when it names an
    // existing path, else the job results folder, then "LiveBrowseCache".
    static CZoError GetCacheFolderLocation(std::string& out);
    static CZoError GetCacheFolderLocation(const std::string& base, std::string& out);
    // Below the job results folder whatever the configuration says.
    static CZoError GetLocalCacheFolderLocation(std::string& out);
    static CZoError GetCacheDataLocation(const std::string& root, std::string& out);
    static CZoError GetCacheDBLocation(const std::string& root, std::string& out);
    static CZoError GetDefaultCacheStageDBLocation(std::string& out);
    // The default staging folder, the MD5 text of the location's database
    // root, then the database folder's path relative to that root.
    static CZoError GetAfileStageDBLocation(const std::string& dbFolder, const std::string& root, std::string& out);

    // The folder of a cache location in the one spelling every registry of
    // the process keys it by. A local folder is resolved through its links
    // (FXPath::Canonicalize: a part not made yet is kept, normalised); a
    // data-server path keeps its "|" fields and has only its folder's text
    // normalised, since its links are the server's.
    static CZoError GetCanonicalCacheFolder(const std::string& path, bool dataServer, std::string& folder);

    // 32 upper-case hexadecimal digits of the MD5 of the text's bytes.
    static CZoError GetMd5(const std::string& text, std::string& out);

    // The matching files of `src` land flat in `dst`; the first failure ends
    // the call and what was done stays. Empty file access means the local disk.
    static CZoError CopyFilesFromFolder(const std::string& src, const std::string& dst, const std::string& pattern,
                                        DWORD flags, CCacheFileIOPtr srcIO, CCacheFileIOPtr dstIO);
    static CZoError MoveFilesFromFolder(const std::string& src, const std::string& dst, const std::string& pattern,
                                        DWORD flags, CCacheFileIOPtr srcIO, CCacheFileIOPtr dstIO);

    // Gives every file of `folder` matching `pattern` the modification time
    // (seconds since 1970); the first failure ends the call.
    static CZoError SetFilesModificationTime(const std::string& folder, const std::string& pattern, int64_t unixTime,
                                             CCacheFileIOPtr io);

    static std::string GetBytesAsUnits(unsigned long long n);
    static std::string AsString(const MediaManager::MountPathInfo& mountPath);

    // Removes empty folders below `folder` (never the folder itself, never a
    // file); the clock is read after every tenth removal and a spent budget
    // ends the pass as success.
    static CZoError DeleteEmptyFolders(const std::string& folder, int limitMs);
    static CZoError DeleteWalkFunction(const char* parent, const char* name, bool isFolder, void* context);

private:
    static CZoError GetJobResultsFolder(std::string& folder);
    static CZoError TransferFilesFromFolder(bool move, const std::string& src, const std::string& dst,
                                            const std::string& pattern, DWORD flags, CCacheFileIOPtr srcIO,
                                            CCacheFileIOPtr dstIO);
};
