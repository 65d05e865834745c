#pragma once
// File access of one cache location: a folder on a local disk, or a folder on
// a data server reached through the FS client. Every operation has a local
// form (leading underscore) and a remote form; the object's kind chooses.
// An object holds at most one open file, used by one caller at a time; its
// path operations may be called from several threads at once.

#include "CTimeStamp.h"
#include "CZoError.h"
#include "auto_handle.h"
#include "platform/CFSInterface.h"

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

class CCacheFileIO;
class CHeldLockFile;
typedef boost::shared_ptr<CCacheFileIO> CCacheFileIOPtr;

class CCacheFileIO {
public:
    // Context of one remote size walk.
    struct FolderSizeWalkContext {
        CTimeStamp start;
        int32_t limitMs = 120000;
        unsigned long long totalBytes = 0;
        boost::shared_ptr<CFSInterface> fs;
    };
    // Context of one remote empty-folder removal.
    struct DeleteWalkContext {
        CTimeStamp start;
        int32_t limitMs = 0;
        int32_t checkEvery = 10;
        int32_t removedSinceCheck = 0;
        boost::shared_ptr<CFSInterface> fs;
    };

    // An empty `info` makes a local object; otherwise it must hold a
    // CacheMountPathInfo (boost::bad_any_cast otherwise). Throws a CZoError
    // (LBCError::kNoFileSystemObject) when the FS client yields no object: such
    // an object would otherwise quietly work on the local disk under remote
    // paths.
    explicit CCacheFileIO(boost::any& info);
    ~CCacheFileIO();
    CCacheFileIO(const CCacheFileIO&) = delete;
    CCacheFileIO& operator=(const CCacheFileIO&) = delete;

    // A new object for the same location, with FS client objects of its own;
    // throws as the constructor does.
    CCacheFileIOPtr GetFileIO();
    boost::any GetMountPathInfo();
    bool IsRemote();
    bool IsConnected();

    // Path operations; paths are full paths of the location.
    CZoError CreateFolder(const std::string& path, bool createParents);
    CZoError RemoveFile(const std::string& path);
    CZoError RemoveFolder(const std::string& path);
    CZoError Move(const std::string& src, const std::string& dst, int flags);
    CZoError IsExists(const std::string& path, bool& exists);
    CZoError Size(const std::string& path, long long& size);
    CZoError GetFileTimes(const std::string& path, CTimeStamp* first, CTimeStamp* second, CTimeStamp* third);
    CZoError GetSpaceUsage(const std::string& path, unsigned long long& total, unsigned long long& available);
    // Flushes a file's bytes (or a folder's entries) to the location's disk,
    // whoever wrote them: metadata that points at bytes is committed only after them.
    CZoError Sync(const std::string& path);
    // The file's modification time, in seconds since 1970.
    CZoError SetModificationTime(const std::string& path, int64_t unixTime);

    // Folder walks.
    CZoError FolderSize(const std::string& folder, unsigned long long& size);
    CZoError GetMatchingFiles(const std::string& folder, const std::string& pattern, std::list<std::string>& files);
    CZoError DeleteEmptyFolders(const std::string& folder, int limitMs);

    // The open file.
    CZoError CreateOpenFileForWrite(const std::string& path);
    // A local lock file has one holder in the process (platform/HeldLockFile.h):
    // a request for a file this process holds, by whatever path, is refused
    // with LBCError::kLockedByAnotherHost and opens nothing. A data server's
    // lock belongs to the FS client's open file.
    CZoError CreateAndLockFile(const std::string& path);
    CZoError ReleaseLockFile();
    CZoError OpenFileForRead(const std::string& path);
    CZoError Close();
    CZoError TruncateUp(size_t n);
    // Sets the open file's length (grows it with zero bytes, or cuts it).
    CZoError SetLength(long long length);
    CZoError Seek(long long offset, int whence, long long& newPos);
    CZoError Read(void* buf, unsigned long len, unsigned long* done);
    CZoError Write(void* buf, unsigned long len, unsigned long* done);

    // Between two objects. Move between a local and a remote object is refused
    // (LBCError::kMoveAcrossLocationsRefused); Copy streams unless both are
    // local.
    static CZoError Move(const std::string& src, const std::string& dst, CCacheFileIOPtr srcIO,
                         CCacheFileIOPtr dstIO, int flags);
    static CZoError Copy(const std::string& src, const std::string& dst, CCacheFileIOPtr srcIO,
                         CCacheFileIOPtr dstIO, int flags);

    // The FS client's form of a path: the text after the last "|".
    static std::string ConvertPath(const std::string& path);
    static int toFlags(int access);
    static int toMode(int share);
    static bool ParseDataServerMountPath(const std::string& path, CFSInitParams& params);

    // Local forms.
    CZoError _CreateFolder(const std::string& path, bool createParents);
    CZoError _RemoveFile(const std::string& path);
    CZoError _RemoveFolder(const std::string& path);
    CZoError _Move(const std::string& src, const std::string& dst, int flags);
    CZoError _Copy(const std::string& src, const std::string& dst, int flags);
    CZoError _IsExists(const std::string& path, bool& exists);
    CZoError _Size(const std::string& path, long long& size);
    CZoError _GetFileTimes(const std::string& path, CTimeStamp* first, CTimeStamp* second, CTimeStamp* third);
    CZoError _GetSpaceUsage(const char* path, unsigned long long* total, unsigned long long* available);
    CZoError _Sync(const std::string& path);
    CZoError _FolderSize(const std::string& folder, unsigned long long& size);
    CZoError _GetMatchingFiles(const std::string& folder, const std::string& pattern, std::list<std::string>& files);
    CZoError _DeleteEmptyFolders(const std::string& folder, int limitMs);
    CZoError _CreateOpenFileForWrite(const std::string& path);
    CZoError _CreateAndLockFile(const std::string& path);
    CZoError _ReleaseLockFile();
    CZoError _OpenFileForRead(const std::string& path);
    CZoError _Close();
    CZoError _TruncateUp(size_t n);
    CZoError _SetLength(long long length);
    CZoError _Seek(long long offset, int whence, long long& newPos);
    CZoError _Read(void* buf, unsigned long len, unsigned long* done);
    CZoError _Write(void* buf, unsigned long len, unsigned long* done);

    // Callbacks of the remote walks.
    static CZoError SpaceWalkerFunc(const char* folder, const char* name, bool isFolder, void* context);
    static CZoError MatchWalkerFunc(const char* folder, const char* name, bool isFolder, void* context);
    static CZoError DeleteWalkerFunc(const char* folder, const char* name, bool isFolder, void* context);

private:
    // Cuts the open file to `size` bytes (only a streamed copy needs it).
    CZoError SetEndOfFile(long long size);
    static CZoError StreamCopy(const std::string& src, const std::string& dst, CCacheFileIOPtr srcIO,
                               CCacheFileIOPtr dstIO);

    // The open file: used by one caller at a time.
    auto_handle localFile;
    boost::shared_ptr<CFileInterface> remoteFile;
    // constant after construction
    boost::shared_ptr<CFSInterface> remoteFS;
    // the open file's path, kept after Close
    std::string openPath;
    // constant after construction: empty for a local object, else a CacheMountPathInfo
    boost::any mountPathInfo;
    // The local lock file, while held; kept apart from the open file.
    std::unique_ptr<CHeldLockFile> heldLock;
};
