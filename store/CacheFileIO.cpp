#include "store/CacheFileIO.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "platform/CZoDirectory.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/HeldLockFile.h"
#include "platform/Win32Constants.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheMountPathInfo.h"

#include <boost/make_shared.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {
const size_t kCopyChunk = 65536;
const int kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
const int kOpenOrCreate = 0xC0;
}  // namespace

CCacheFileIO::CCacheFileIO(boost::any& info) {
    if (info.empty()) return;
    CacheMountPathInfo& mountPath = boost::any_cast<CacheMountPathInfo&>(info);
    mountPathInfo = mountPath;
    remoteFile.reset(CFileInterface::GetFileInterfaceInstance(mountPath.fsParams));
    remoteFS.reset(CFSInterface::GetFSInterfaceInstance(mountPath.fsParams));
    if (!remoteFile || !remoteFS)
        throw FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoFileSystemObject,
                                    "The FS client made no %s object for data server [%s] path [%s]",
                                    remoteFile ? "file-system" : "file", mountPath.fsParams.host.Host.c_str(),
                                    mountPath.fsParams.host.Path.c_str());
}

// Members go in reverse order: the held lock file (unlocked and closed), the
// mount-path copy, the path, the FS client objects, and last the local
// descriptor.
CCacheFileIO::~CCacheFileIO() = default;

CCacheFileIOPtr CCacheFileIO::GetFileIO() {
    boost::any info = mountPathInfo;
    return boost::make_shared<CCacheFileIO>(info);
}

boost::any CCacheFileIO::GetMountPathInfo() { return mountPathInfo; }

bool CCacheFileIO::IsRemote() { return remoteFS || remoteFile; }

bool CCacheFileIO::IsConnected() {
    if (remoteFile) return remoteFile->IsConnected();
    if (remoteFS) return remoteFS->IsConnected();
    return true;
}

// ---- path operations

CZoError CCacheFileIO::CreateFolder(const std::string& path, bool createParents) {
    if (!remoteFS) return _CreateFolder(path, createParents);
    return remoteFS->CreateFolder(ConvertPath(path), createParents);
}

CZoError CCacheFileIO::_CreateFolder(const std::string& path, bool createParents) {
    return CZoDirectory::Create(path, createParents);
}

CZoError CCacheFileIO::RemoveFile(const std::string& path) {
    if (!remoteFS) return _RemoveFile(path);
    return remoteFS->RemoveFile(ConvertPath(path), 0);
}

CZoError CCacheFileIO::_RemoveFile(const std::string& path) { return FXFile::DeleteMatchingFiles(path, 0); }

CZoError CCacheFileIO::RemoveFolder(const std::string& path) {
    if (!remoteFS) return _RemoveFolder(path);
    return remoteFS->RemoveFolder(ConvertPath(path), 0);
}

CZoError CCacheFileIO::_RemoveFolder(const std::string& path) { return FXFile::RemoveFolder(path, 0x71); }

CZoError CCacheFileIO::Move(const std::string& src, const std::string& dst, int flags) {
    if (!remoteFS) return _Move(src, dst, flags);
    return remoteFS->Rename(ConvertPath(src), ConvertPath(dst), flags);
}

// The utility library's error arrives unchanged: the pruner reads ErrNo 1 or
// 13 as a flat file still in use.
CZoError CCacheFileIO::_Move(const std::string& src, const std::string& dst, int flags) {
    return FXFile::XKMoveFileEx(src, dst, static_cast<DWORD>(flags));
}

CZoError CCacheFileIO::_Copy(const std::string& src, const std::string& dst, int flags) {
    return FXFile::XKCopyFile(src, dst, static_cast<DWORD>(flags));
}

CZoError CCacheFileIO::IsExists(const std::string& path, bool& exists) {
    if (!remoteFS) return _IsExists(path, exists);
    return remoteFS->Exists(ConvertPath(path), exists);
}

CZoError CCacheFileIO::_IsExists(const std::string& path, bool& exists) {
    exists = FXFile::DoesFileExist(path);
    return CZoError::Success();
}

CZoError CCacheFileIO::Size(const std::string& path, long long& size) {
    if (!remoteFS) return _Size(path, size);
    struct stat st;
    CZoError err = remoteFS->Stat(ConvertPath(path), st);
    if (err.IsError()) return err.Push(FXLOC);
    size = static_cast<long long>(st.st_size);
    return CZoError::Success();
}

CZoError CCacheFileIO::_Size(const std::string& path, long long& size) { return FXFile::XKGetFileSize(path, size); }

CZoError CCacheFileIO::GetFileTimes(const std::string& path, CTimeStamp* first, CTimeStamp* second,
                                    CTimeStamp* third) {
    if (!remoteFS) return _GetFileTimes(path, first, second, third);
    struct stat st;
    CZoError err = remoteFS->Stat(ConvertPath(path), st);
    if (err.IsError()) return err.Push(FXLOC);
    if (first != nullptr) *first = CTimeStamp::FromUnixTime(st.st_ctime);
    if (second != nullptr) *second = CTimeStamp::FromUnixTime(st.st_mtime);
    if (third != nullptr) *third = CTimeStamp::FromUnixTime(st.st_atime);
    return CZoError::Success();
}

CZoError CCacheFileIO::SetModificationTime(const std::string& path, int64_t unixTime) {
    if (!remoteFS) return FXFile::SetModificationTime(path, unixTime);
    return remoteFS->SetModificationTime(ConvertPath(path), unixTime);
}

CZoError CCacheFileIO::_GetFileTimes(const std::string& path, CTimeStamp* first, CTimeStamp* second,
                                     CTimeStamp* third) {
    return FXFile::GetFileTimes(path, first, second, third);
}

CZoError CCacheFileIO::GetSpaceUsage(const std::string& path, unsigned long long& total,
                                     unsigned long long& available) {
    if (!remoteFS) return _GetSpaceUsage(path.c_str(), &total, &available);
    return remoteFS->GetSpaceUsage(ConvertPath(path), total, available);
}

CZoError CCacheFileIO::_GetSpaceUsage(const char* path, unsigned long long* total, unsigned long long* available) {
    CZoError err = CZoDirectory::GetSpaceUsage(path, total, available);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kSpaceUsageFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CCacheFileIO::Sync(const std::string& path) {
    if (!remoteFS) return _Sync(path);
    CZoError err = remoteFS->Flush(ConvertPath(path));
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CCacheFileIO::_Sync(const std::string& path) {
    CZoError err = FXFile::XKFlushFile(path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// ---- the open file

CZoError CCacheFileIO::CreateOpenFileForWrite(const std::string& path) {
    openPath = path;
    if (!remoteFile) return _CreateOpenFileForWrite(path);
    return remoteFile->Open(ConvertPath(path), toFlags(static_cast<int>(GENERIC_WRITE)) | kOpenOrCreate,
                            toMode(kShareAll), 0);
}

CZoError CCacheFileIO::_CreateOpenFileForWrite(const std::string& path) {
    CZoError err = FXFile::XKCreateFile(localFile, path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (FXErrorUtil::IsWin32(err, ERROR_ALREADY_EXISTS) || FXErrorUtil::IsErrNo(err, EEXIST))
        return CZoError::Success();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CCacheFileIO::CreateAndLockFile(const std::string& path) {
    openPath = path;
    if (!remoteFile) return _CreateAndLockFile(path);
    CZoError err = remoteFile->Open(ConvertPath(path), toFlags(static_cast<int>(GENERIC_WRITE)) | kOpenOrCreate, 0, 0);
    if (err.IsError()) return err.Push(FXLOC);
    err = remoteFile->Lock(0);
    if (err.IsError()) return err;
    // As below: a lock taken on a file its holder deleted meanwhile guards
    // nothing. A look that could not be taken says nothing of another holder
    // (the server gone, an I/O error) and fails as what it is.
    bool exists = true;
    err = remoteFS ? remoteFS->Exists(ConvertPath(path), exists) : CZoError::Success();
    if (!err.IsError() && exists) return CZoError::Success();
    // A failed call holds nothing: the lock goes, and the file is closed, which
    // also ends a lock the server could no longer be asked to release.
    CZoError unlocked = remoteFile->Unlock();
    if (unlocked.IsError())
        LBC_LOG(-1, "Failed to unlock [%s], closing it instead: %s", path.c_str(), unlocked.AsString().c_str());
    CZoError closed = remoteFile->Close();
    if (closed.IsError()) LBC_LOG(-1, "Failed to close path [%s] %s", path.c_str(), closed.AsString().c_str());
    if (err.IsError())
        return err.Push(FXLOC, "Lock file [%s] could not be looked at after it was locked", path.c_str());
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                 "Lock file [%s] was deleted while it was being locked", path.c_str());
}

// The one holder of the file in this process (platform/HeldLockFile.h); a
// second request for it, by whatever path, is refused without touching it.
CZoError CCacheFileIO::_CreateAndLockFile(const std::string& path) {
    LBC_LOG(0, "Acquiring lock file [%s]", path.c_str());
    const CHeldLockFile::Attempt attempt = CHeldLockFile::Take(path, heldLock);
    const std::string inner = attempt.error.AsString();
    switch (attempt.outcome) {
        case CHeldLockFile::Outcome::Taken:
            if (!attempt.firstRecordLockReason.empty())
                LBC_LOG(0,
                        "Lock file [%s] is held with a classic record lock: the file system refused an "
                        "open-file-description lock (%s); lock files on such file systems are locked this way",
                        path.c_str(), attempt.firstRecordLockReason.c_str());
            return CZoError::Success();
        case CHeldLockFile::Outcome::HeldInProcess:
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                         "Lock file [%s] is held by this process through [%s]", path.c_str(),
                                         attempt.heldAs.c_str());
        // No other holder keeps a file from being opened (descriptors run
        // out, no access, no space): the code stays, the message must not
        // blame a host.
        case CHeldLockFile::Outcome::NotOpened:
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                         "Lock file [%s] could not be opened; it is not held by another host (error=%s)",
                                         path.c_str(), inner.c_str());
        case CHeldLockFile::Outcome::HeldElsewhere:
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost, "(error=%s)", inner.c_str());
        case CHeldLockFile::Outcome::NotLocked:
            return FXErrorUtil::ErrorInt(
                FXLOC, LBCError::kLockedByAnotherHost,
                "Lock file [%s] could not be locked; it is not held by another host (error=%s)", path.c_str(),
                inner.c_str());
        case CHeldLockFile::Outcome::Replaced:
            break;
    }
    // Such a lock guards nothing and counts as held by another host.
    return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                 "Lock file [%s] was deleted while it was being locked", path.c_str());
}

CZoError CCacheFileIO::ReleaseLockFile() {
    if (!remoteFile) return _ReleaseLockFile();
    CZoError err = remoteFile->Unlock();
    if (err.IsError()) return err.Push(FXLOC);
    return remoteFile->Close();
}

CZoError CCacheFileIO::_ReleaseLockFile() {
    if (!heldLock) return CZoError::Success();
    LBC_LOG(0, "Releasing lock file [%s]", openPath.c_str());
    CZoError err = heldLock->Release();
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockFileWaitFailed, "(error=%s)", err.AsString().c_str());
    heldLock.reset();
    return CZoError::Success();
}

CZoError CCacheFileIO::OpenFileForRead(const std::string& path) {
    openPath = path;
    if (!remoteFile) return _OpenFileForRead(path);
    return remoteFile->Open(ConvertPath(path), toFlags(static_cast<int>(GENERIC_READ)), toMode(kShareAll), 0);
}

CZoError CCacheFileIO::_OpenFileForRead(const std::string& path) {
    CZoError err = FXFile::XKCreateFile(localFile, path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CCacheFileIO::Close() {
    if (!remoteFile) return _Close();
    return remoteFile->Close();
}

CZoError CCacheFileIO::_Close() {
    localFile.reset(-1);
    return CZoError::Success();
}

CZoError CCacheFileIO::TruncateUp(size_t n) {
    if (!remoteFile) return _TruncateUp(n);
    int64_t end = 0;
    CZoError err = remoteFile->Seek(static_cast<int64_t>(n), FILE_END, &end);
    if (err.IsError()) return err.Push(FXLOC);
    err = remoteFile->SetSize(end);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CCacheFileIO::_TruncateUp(size_t n) {
    long long end = 0;
    CZoError err = FXFile::XKSetFilePointer(localFile, static_cast<long long>(n), FILE_END, &end);
    if (err.IsError()) return err.Push(FXLOC);
    if (::ftruncate64(localFile.get(), end) != 0) {
        err = FXErrorUtil::ErrorErrNo(FXLOC, errno);
        return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CCacheFileIO::SetLength(long long length) {
    if (!remoteFile) return _SetLength(length);
    CZoError err = remoteFile->SetSize(static_cast<int64_t>(length));
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CCacheFileIO::_SetLength(long long length) {
    if (::ftruncate64(localFile.get(), length) != 0) {
        CZoError err = FXErrorUtil::ErrorErrNo(FXLOC, errno);
        return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CCacheFileIO::Seek(long long offset, int whence, long long& newPos) {
    if (!remoteFile) return _Seek(offset, whence, newPos);
    int64_t position = 0;
    CZoError err = remoteFile->Seek(offset, whence, &position);
    if (!err.IsError()) newPos = position;
    return err;
}

CZoError CCacheFileIO::_Seek(long long offset, int whence, long long& newPos) {
    CZoError err = FXFile::XKSetFilePointer(localFile, offset, whence, &newPos);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// The FS client moves at most 4 GiB - 1 per call: the length is cut to its low
// 32 bits and `done` tells the caller what actually moved.
CZoError CCacheFileIO::Read(void* buf, unsigned long len, unsigned long* done) {
    if (!remoteFile) return _Read(buf, len, done);
    uint64_t moved = 0;
    CZoError err = remoteFile->Read(buf, static_cast<uint32_t>(len), &moved);
    if (done != nullptr) *done = static_cast<unsigned long>(moved);
    return err;
}

CZoError CCacheFileIO::_Read(void* buf, unsigned long len, unsigned long* done) {
    return FXFile::XKReadFile(localFile, buf, len, done, nullptr);
}

CZoError CCacheFileIO::Write(void* buf, unsigned long len, unsigned long* done) {
    if (!remoteFile) return _Write(buf, len, done);
    uint64_t moved = 0;
    CZoError err = remoteFile->Write(buf, static_cast<uint32_t>(len), &moved);
    if (done != nullptr) *done = static_cast<unsigned long>(moved);
    return err;
}

CZoError CCacheFileIO::_Write(void* buf, unsigned long len, unsigned long* done) {
    return FXFile::XKWriteFile(localFile, buf, len, done, nullptr);
}

CZoError CCacheFileIO::SetEndOfFile(long long size) {
    if (!remoteFile) {
        if (::ftruncate64(localFile.get(), size) != 0) {
            CZoError err = FXErrorUtil::ErrorErrNo(FXLOC, errno);
            return err.Push(FXLOC);
        }
        return CZoError::Success();
    }
    CZoError err = remoteFile->SetSize(size);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// ---- between two objects

CZoError CCacheFileIO::Move(const std::string& src, const std::string& dst, CCacheFileIOPtr srcIO,
                            CCacheFileIOPtr dstIO, int flags) {
    if (!srcIO || !dstIO) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "Move without file access");
    if (srcIO->IsRemote() != dstIO->IsRemote())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kMoveAcrossLocationsRefused,
                                     "Move operation between local and remote paths is not supported");
    return srcIO->Move(src, dst, flags);
}

CZoError CCacheFileIO::Copy(const std::string& src, const std::string& dst, CCacheFileIOPtr srcIO,
                            CCacheFileIOPtr dstIO, int flags) {
    if (!srcIO || !dstIO) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "Copy without file access");
    if (!srcIO->IsRemote() && !dstIO->IsRemote()) return srcIO->_Copy(src, dst, flags);
    CZoError err;
    try {
        err = StreamCopy(src, dst, srcIO, dstIO);
    } catch (CZoError& thrown) {
        err = thrown;
    }
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

// Streams through objects of its own, so the open files of the objects given
// are not touched. The destination is opened without truncation and cut to
// the copied length at the end: a longer stale copy would otherwise keep a
// foreign tail (a database file with one is corrupt).
CZoError CCacheFileIO::StreamCopy(const std::string& src, const std::string& dst, CCacheFileIOPtr srcIO,
                                  CCacheFileIOPtr dstIO) {
    CCacheFileIOPtr reader = srcIO->GetFileIO();
    CCacheFileIOPtr writer = dstIO->GetFileIO();

    auto copy = [&]() -> CZoError {
        CZoError err = reader->OpenFileForRead(src);
        if (err.IsError()) return err;
        err = writer->CreateOpenFileForWrite(dst);
        if (err.IsError()) return err;
        std::vector<char> buffer(kCopyChunk);
        long long copied = 0;
        for (;;) {
            unsigned long got = 0;
            err = reader->Read(buffer.data(), kCopyChunk, &got);
            if (err.IsError()) return err;
            if (got == 0) break;
            unsigned long put = 0;
            err = writer->Write(buffer.data(), got, &put);
            if (err.IsError()) return err;
            if (put < got) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kShortCopy);
            copied += static_cast<long long>(got);
        }
        return writer->SetEndOfFile(copied);
    };
    CZoError result = copy();

    CZoError closed = reader->Close();
    if (closed.IsError()) LBC_LOG(-1, "Failed to close path [%s]", src.c_str());
    closed = writer->Close();
    if (closed.IsError()) LBC_LOG(-1, "Failed to close path [%s]", dst.c_str());
    return result;
}

// ---- texts and tables

std::string CCacheFileIO::ConvertPath(const std::string& path) {
    size_t bar = path.rfind('|');
    return bar == std::string::npos ? path : path.substr(bar + 1);
}

int CCacheFileIO::toFlags(int access) {
    if (access & static_cast<int>(GENERIC_READ)) return 0;
    if (access & static_cast<int>(GENERIC_WRITE)) return 1;
    return 2;
}

int CCacheFileIO::toMode(int share) {
    int mode = 0;
    if (share & FILE_SHARE_READ) mode |= 4;
    if (share & FILE_SHARE_WRITE) mode |= 2;
    if (share & FILE_SHARE_DELETE) mode |= 2;
    return mode;
}

// "TYPE|n|n|host|n|folder": exactly six fields; the number fields must not be
// empty and are not read.
bool CCacheFileIO::ParseDataServerMountPath(const std::string& path, CFSInitParams& params) {
    size_t bar1 = path.find('|');
    if (bar1 == std::string::npos) return false;
    std::string type = path.substr(0, bar1);
    if (type == "IP") {
        params.Subtype = 4;
    } else if (type == "SAN" || type == "FC") {
        params.Subtype = 1;
    } else if (type == "ISCSI") {
        params.Subtype = 2;
    } else {
        return false;
    }
    params.Type = 2;

    size_t bar2 = path.find('|', bar1 + 1);
    if (bar2 == std::string::npos || bar2 == bar1 + 1) return false;
    size_t bar3 = path.find('|', bar2 + 1);
    if (bar3 == std::string::npos || bar3 == bar2 + 1) return false;
    size_t bar4 = path.find('|', bar3 + 1);
    if (bar4 == std::string::npos) return false;
    if (bar4 > bar3 + 1) params.host.Host = path.substr(bar3 + 1, bar4 - bar3 - 1);
    size_t bar5 = path.find('|', bar4 + 1);
    if (bar5 == std::string::npos || bar5 == bar4 + 1) return false;
    if (path.find('|', bar5 + 1) != std::string::npos) return false;
    std::string folder = path.substr(bar5 + 1);
    if (folder.empty()) return false;
    params.host.Path = folder;
    params.LocalClientName = XKPlatformInfo().getPhysicalMachine();
    return true;
}
