#include "platform/FXOpenFile.h"

#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXPosixError.h"

#include "platform/LockOrder.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

CZoError Describe(const struct stat& st, const std::string& path, FXOpenFile::Status& status) {
    // A file handle on a folder is never wanted.
    if (S_ISDIR(st.st_mode)) return FXPosixError::FromErrNo(FXLOC, EISDIR, "open", path);
    status.device = st.st_dev;
    status.inode = st.st_ino;
    status.length = static_cast<long long>(st.st_size);
    return CZoError::Success();
}

// The test hook of SetLength, not held while the hook runs; the flag spares
// every set the lock while no hook is set.
std::atomic<bool> g_afterSetLengthArmed{false};
RankedMutex& AfterSetLengthLock() {
    static RankedMutex* lock = new RankedMutex(LockRank::PlatformAnswers, "length-set test hook");  // used at unload
    return *lock;
}
// guarded by AfterSetLengthLock()
std::function<void()>& AfterSetLength() {
    static std::function<void()>* hook = new std::function<void()>();
    return *hook;
}

}  // namespace

CZoError FXOpenFile::StatusOf(const std::string& path, Status& status) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "status of", path);
    return Describe(st, path, status);
}

CZoError FXOpenFile::Open(const std::string& path, bool create, FXOpenFilePtr& file, Status& status) {
    const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FXPosixError::FromErrNo(FXLOC, errno, "open", path);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return FXPosixError::FromErrNo(FXLOC, e, "status of", path);
    }
    CZoError err = Describe(st, path, status);
    if (err.IsError()) {
        ::close(fd);
        return err;
    }
    file = std::make_shared<const FXOpenFile>(fd, status);
    return CZoError::Success();
}

FXOpenFile::FXOpenFile(int fd, const Status& status) : fd(fd), device(status.device), inode(status.inode) {}

FXOpenFile::~FXOpenFile() { ::close(fd); }

CZoError FXOpenFile::ReadAt(void* buffer, unsigned long length, long long offset, unsigned long* done) const {
    return FXFile::ReadAt(fd, buffer, length, offset, done);
}

CZoError FXOpenFile::WriteAt(const void* buffer, unsigned long length, long long offset, unsigned long* done) const {
    return FXFile::WriteAt(fd, buffer, length, offset, done);
}

CZoError FXOpenFile::Length(long long& length) const {
    struct stat st;
    if (::fstat(fd, &st) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    length = static_cast<long long>(st.st_size);
    return CZoError::Success();
}

CZoError FXOpenFile::SetLength(long long length) const {
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    if (g_afterSetLengthArmed.load()) {
        std::function<void()> hook;
        {
            std::lock_guard<RankedMutex> guard(AfterSetLengthLock());
            hook = AfterSetLength();
        }
        if (hook) hook();
    }
    return CZoError::Success();
}

void FXOpenFile::TEST_SetAfterSetLength(std::function<void()> hook) {
    std::lock_guard<RankedMutex> guard(AfterSetLengthLock());
    g_afterSetLengthArmed = static_cast<bool>(hook);
    AfterSetLength() = std::move(hook);
}
