#pragma once
// The FS client of a data server: a file-system object for path operations
// and a file object for the one open file of a user. Both are made from the
// connection parameters of a data-server mount path; the caller owns what the
// factories return and deletes it through the virtual destructor. A factory
// may return null.

#include "CZoError.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

struct CFSHost {
    int32_t Port = 0;
    std::string Host;  // the data server
    std::string Path;  // the folder on the data server
    std::string Vol;
};

struct CFSUser {
    std::string User;
    std::string Password;
    int64_t Token = 0;
};

struct CFSInitParams {
    int32_t Type = 0;
    int32_t Subtype = -1;
    int64_t SessionId = 0;
    int32_t Timeout = 0;
    CFSHost host;
    CFSUser user;
    std::string LocalClientName;
    int32_t MP_Id = 0;
    int32_t CMP_Id = 0;
    std::string Options;
    int32_t Flags = 0;
};

// Open flags of CFileInterface::Open: the access in the low two bits, and
// whether a missing file is created. No flag truncates an existing file.
enum : int {
    FS_OPEN_READ = 0,
    FS_OPEN_WRITE = 1,
    FS_OPEN_READWRITE = 2,
    FS_OPEN_ACCESS_MASK = 3,
    FS_OPEN_CREATE = 0x40,
    FS_OPEN_ALWAYS = 0x80,
};

// Called once per entry below the walked root; `folder` is the data server's
// own path of the folder holding the entry. An error ends the walk.
typedef CZoError (*FSWalkCallback)(const char* folder, const char* name, bool isFolder, void* context);

class CFSInterface {
public:
    static CFSInterface* GetFSInterfaceInstance(const CFSInitParams& params);

    virtual ~CFSInterface() = default;

    virtual bool IsConnected() = 0;
    virtual CZoError Exists(const std::string& path, bool& exists) = 0;
    // Missing intermediate folders are made when `recursive`; an existing folder is success.
    virtual CZoError CreateFolder(const std::string& path, bool recursive) = 0;
    virtual CZoError GetSpaceUsage(const std::string& path, unsigned long long& total,
                                   unsigned long long& available) = 0;
    virtual CZoError Stat(const std::string& path, struct stat& st) = 0;
    virtual CZoError RemoveFile(const std::string& path, int flags) = 0;
    // Removes the folder with everything below it.
    virtual CZoError RemoveFolder(const std::string& path, int flags) = 0;
    // Names (not paths) of the entries directly in the folder.
    virtual CZoError ListFolder(const std::string& path, std::vector<std::string>& files,
                                std::vector<std::string>& folders) = 0;
    // Every entry below `root` down to `maxDepth` levels; a folder's contents are
    // visited before the folder itself.
    virtual CZoError Walk(const std::string& root, void* context, int maxDepth, bool followFolders,
                          FSWalkCallback callback, int flags) = 0;
    // Replaces an existing destination.
    virtual CZoError Rename(const std::string& from, const std::string& to, int flags) = 0;
    // The file's bytes written through any handle, or a folder's entries, are
    // on the server's disk when this returns.
    virtual CZoError Flush(const std::string& path) = 0;
    // Sets the file's modification (and access) time, in seconds since 1970.
    virtual CZoError SetModificationTime(const std::string& path, int64_t unixTime) = 0;
};

class CFileInterface {
public:
    static CFileInterface* GetFileInterfaceInstance(const CFSInitParams& params);

    virtual ~CFileInterface() = default;

    virtual CZoError Open(const std::string& path, int flags, int mode, int options) = 0;
    virtual CZoError Close() = 0;
    virtual CZoError Read(void* buffer, uint32_t count, uint64_t* done) = 0;
    virtual CZoError Write(const void* buffer, uint32_t count, uint64_t* done) = 0;
    virtual CZoError Seek(int64_t offset, int whence, int64_t* newPosition) = 0;
    virtual CZoError SetSize(int64_t size) = 0;
    // Exclusive and never waits; a lock held elsewhere is
    // LBCError::kLockedByAnotherHost.
    virtual CZoError Lock(int flags) = 0;
    virtual CZoError Unlock() = 0;
    virtual bool IsConnected() = 0;
};
