#include "platform/FXFile.h"

#include "platform/CPathMatch.h"
#include "platform/DurabilityTrace.h"
#include "platform/CZoDirectory.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/FXPosixError.h"
#include "platform/LockOrder.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <mutex>
#include <vector>

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace {

constexpr size_t kCopyChunk = 1 << 20;

// A test's fault switch: the next `count` calls fail with `error`.
class InjectedFaults {
public:
    void Arm(int count, int error) {
        std::lock_guard<RankedMutex> guard(lock);
        remaining = count > 0 ? count : 0;
        errnum = error;
    }
    // The errno the call must fail with, or 0.
    int Take() {
        std::lock_guard<RankedMutex> guard(lock);
        if (remaining == 0) return 0;
        --remaining;
        return errnum;
    }

private:
    RankedMutex lock{LockRank::PlatformAnswers, "injected file faults"};
    // guarded by lock
    int remaining = 0;
    int errnum = 0;
};

InjectedFaults g_writeFaults;
InjectedFaults g_flushFaults;
InjectedFaults g_openFaults;
InjectedFaults g_timeFaults;

CZoError InvalidHandle(const FXCodeLocation& at) {
    return FXErrorUtil::ErrorWin32(at, ERROR_INVALID_HANDLE, "no open file");
}

// Writes all bytes to fd at offset (at the current position when negative),
// over short writes and signals; written = bytes done.
int WriteAll(int fd, const char* data, size_t length, long long offset, size_t& written) {
    written = 0;
    while (written < length) {
        const ssize_t n = offset < 0 ? ::write(fd, data + written, length - written)
                                     : ::pwrite(fd, data + written, length - written, static_cast<off_t>(offset + written));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // no progress on a regular file: do not spin
        written += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

CZoError FXFile::XKCreateFile(auto_handle& handle, const std::string& path, DWORD access, DWORD /*share*/,
                              void* /*securityAttributes*/, DWORD disposition, DWORD /*flags*/,
                              void* /*templateFile*/) {
    handle.reset(-1);
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    int oflags = O_CLOEXEC | (writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY);
    switch (disposition) {
        case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
        case OPEN_EXISTING: break;
        case OPEN_ALWAYS: oflags |= O_CREAT; break;
        case TRUNCATE_EXISTING: oflags |= O_TRUNC; break;
        default:
            return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "open [%s]: disposition %u", path.c_str(),
                                           static_cast<unsigned>(disposition));
    }
    if (path.empty()) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "open: empty path");
    if ((oflags & O_TRUNC) != 0 && !writes)
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "open [%s]: emptying needs write access",
                                       path.c_str());

    int fd = -1;
    if (const int injected = g_openFaults.Take()) {
        errno = injected;
    } else {
        do {
            fd = ::open(path.c_str(), oflags, 0666);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) {
        if (errno == EEXIST && disposition == CREATE_NEW)
            return FXErrorUtil::ErrorWin32(FXLOC, ERROR_FILE_EXISTS, "open [%s]: exists", path.c_str());
        return FXPosixError::FromErrNo(FXLOC, errno, "open", path);
    }
    auto_handle opened(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "status of", path);
    // A read-only open of a folder succeeds on POSIX; a file handle on a folder is never wanted.
    if (S_ISDIR(st.st_mode)) return FXPosixError::FromErrNo(FXLOC, EISDIR, "open", path);
    handle.reset(opened.release());
    return CZoError::Success();
}

CZoError FXFile::XKReadFile(const auto_handle& handle, void* buffer, unsigned long length, unsigned long* done,
                            void* /*overlapped*/) {
    if (done != nullptr) *done = 0;
    if (!handle.is_valid()) return InvalidHandle(FXLOC);
    return ReadAt(handle.get(), buffer, length, -1, done);
}

CZoError FXFile::ReadAt(int fd, void* buffer, unsigned long length, long long offset, unsigned long* done) {
    if (done != nullptr) *done = 0;
    char* out = static_cast<char*>(buffer);
    unsigned long total = 0;
    while (total < length) {
        const ssize_t n = offset < 0 ? ::read(fd, out + total, length - total)
                                     : ::pread(fd, out + total, length - total, static_cast<off_t>(offset + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            if (done != nullptr) *done = total;
            CZoError err = FXErrorUtil::ErrorErrNo(FXLOC, e);
            return err.Push(FXLOC, "read of %lu bytes after %lu", length, total);
        }
        if (n == 0) break;
        total += static_cast<unsigned long>(n);
    }
    if (done != nullptr) *done = total;
    return CZoError::Success();
}

CZoError FXFile::XKWriteFile(const auto_handle& handle, const void* buffer, unsigned long length,
                             unsigned long* done, void* /*overlapped*/) {
    if (done != nullptr) *done = 0;
    if (!handle.is_valid()) return InvalidHandle(FXLOC);
    return WriteAt(handle.get(), buffer, length, -1, done);
}

CZoError FXFile::WriteAt(int fd, const void* buffer, unsigned long length, long long offset, unsigned long* done) {
    if (done != nullptr) *done = 0;
    size_t written = 0;
    int e = g_writeFaults.Take();
    if (e == 0) e = WriteAll(fd, static_cast<const char*>(buffer), length, offset, written);
    if (done != nullptr) *done = written;
    if (e != 0) {
        CZoError err = FXErrorUtil::ErrorErrNo(FXLOC, e);
        return err.Push(FXLOC, "write of %lu bytes after %zu", length, written);
    }
    return CZoError::Success();
}

CZoError FXFile::XKSetFilePointer(const auto_handle& handle, long long offset, int origin, long long* position) {
    if (!handle.is_valid()) return InvalidHandle(FXLOC);
    int whence;
    switch (origin) {
        case FILE_BEGIN: whence = SEEK_SET; break;
        case FILE_CURRENT: whence = SEEK_CUR; break;
        case FILE_END: whence = SEEK_END; break;
        default: return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "seek origin %d", origin);
    }
    const off_t at = ::lseek(handle.get(), static_cast<off_t>(offset), whence);
    if (at < 0) {
        CZoError err = FXErrorUtil::ErrorErrNo(FXLOC, errno);
        return err.Push(FXLOC, "seek by %lld from %d", offset, origin);
    }
    if (position != nullptr) *position = static_cast<long long>(at);
    return CZoError::Success();
}

CZoError FXFile::XKGetFileSize(const std::string& path, long long& size) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "size of", path);
    if (S_ISDIR(st.st_mode)) return FXPosixError::FromErrNo(FXLOC, EISDIR, "size of", path);
    size = static_cast<long long>(st.st_size);
    return CZoError::Success();
}

CZoError FXFile::XKGetFileSize(const auto_handle& handle, long long& size) {
    if (!handle.is_valid()) return InvalidHandle(FXLOC);
    struct stat st;
    if (::fstat(handle.get(), &st) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    size = static_cast<long long>(st.st_size);
    return CZoError::Success();
}

CZoError FXFile::SetModificationTime(const std::string& path, int64_t unixTime) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixTime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (const int injected = g_timeFaults.Take()) return FXPosixError::FromErrNo(FXLOC, injected, "set times of", path);
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        return FXPosixError::FromErrNo(FXLOC, errno, "set times of", path);
    return CZoError::Success();
}

namespace {

// The steps of a copy, each on the temporary file beside the destination.
CZoError CopyBytes(int source, int target, const std::string& from, const std::string& temporary) {
    std::vector<char> chunk(kCopyChunk);
    for (;;) {
        const ssize_t n = ::read(source, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXPosixError::FromErrNo(FXLOC, errno, "read", from);
        }
        if (n == 0) return CZoError::Success();
        size_t written = 0;
        int e = g_writeFaults.Take();
        if (e == 0) e = WriteAll(target, chunk.data(), static_cast<size_t>(n), -1, written);
        if (e != 0) return FXPosixError::FromErrNo(FXLOC, e, "write", temporary);
    }
}

CZoError KeepModeAndTimes(int target, const struct stat& st, const std::string& temporary) {
    if (::fchmod(target, st.st_mode & 07777) != 0)
        return FXPosixError::FromErrNo(FXLOC, errno, "set mode of", temporary);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(target, times) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "set times of", temporary);
    return CZoError::Success();
}

// Gives the closed temporary file the destination's name; it is gone after
// either outcome.
CZoError PutInPlace(const std::string& temporary, const std::string& to, bool failIfExists) {
    if (failIfExists) {
        // link() refuses an existing name atomically, unlike a check then rename.
        const int linked = ::link(temporary.c_str(), to.c_str()) == 0 ? 0 : errno;
        ::unlink(temporary.c_str());
        if (linked == EEXIST) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_FILE_EXISTS, "copy to [%s]: exists", to.c_str());
        if (linked != 0) return FXPosixError::FromErrNo(FXLOC, linked, "copy to", to);
        return CZoError::Success();
    }
    if (::rename(temporary.c_str(), to.c_str()) != 0) {
        const int e = errno;
        ::unlink(temporary.c_str());
        return FXPosixError::FromErrNo(FXLOC, e, "copy to", to);
    }
    return CZoError::Success();
}

}  // namespace

CZoError FXFile::XKCopyFile(const std::string& from, const std::string& to, DWORD failIfExists) {
    auto_handle source;
    CZoError err = XKCreateFile(source, from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (err.IsError()) return err.Push(FXLOC);
    struct stat st;
    if (::fstat(source.get(), &st) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "status of", from);
    if (failIfExists != 0 && DoesFileExist(to))
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_FILE_EXISTS, "copy to [%s]: exists", to.c_str());

    // A short name of its own: one made from the destination's would not fit
    // beside a name near the length limit.
    const size_t slash = to.rfind('/');
    std::string temporary = (slash == std::string::npos ? std::string() : to.substr(0, slash + 1)) + ".tmp.XXXXXX";
    auto_handle target(::mkostemp(&temporary[0], O_CLOEXEC));
    if (!target.is_valid()) return FXPosixError::FromErrNo(FXLOC, errno, "create", temporary);

    // From here on the temporary file must not outlive a failure.
    err = CopyBytes(source.get(), target.get(), from, temporary);
    if (!err.IsError()) err = KeepModeAndTimes(target.get(), st, temporary);
    if (err.IsError()) {
        target.reset(-1);
        ::unlink(temporary.c_str());
        return err;
    }
    if (::close(target.release()) != 0) {
        const int e = errno;
        ::unlink(temporary.c_str());
        return FXPosixError::FromErrNo(FXLOC, e, "close", temporary);
    }
    return PutInPlace(temporary, to, failIfExists != 0);
}

CZoError FXFile::XKFlushFile(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FXPosixError::FromErrNo(FXLOC, errno, "open for flush", path);
    auto_handle opened(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "status of", path);
    int e = g_flushFaults.Take();
    if (e == 0 && (S_ISDIR(st.st_mode) ? ::fsync(fd) : ::fdatasync(fd)) != 0) e = errno;
    if (e != 0) return FXPosixError::FromErrNo(FXLOC, e, "flush", path);
    DurabilityTrace::Record(DurabilityTrace::FLUSHED, path);
    return CZoError::Success();
}

void FXFile::TEST_FailNextWrites(int count, int error) { g_writeFaults.Arm(count, error); }

void FXFile::TEST_FailNextFlushes(int count, int error) { g_flushFaults.Arm(count, error); }

void FXFile::TEST_FailNextOpens(int count, int error) { g_openFaults.Arm(count, error); }

void FXFile::TEST_FailNextTimeChanges(int count, int error) { g_timeFaults.Arm(count, error); }

CZoError FXFile::XKMoveFileEx(const std::string& from, const std::string& to, DWORD flags) {
    const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    int rc;
    if (replace) {
        rc = ::rename(from.c_str(), to.c_str());
    } else {
        rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // The file system cannot refuse atomically: check, then rename.
            if (DoesFileExist(to))
                return FXErrorUtil::ErrorWin32(FXLOC, ERROR_ALREADY_EXISTS, "move to [%s]: exists", to.c_str());
            rc = ::rename(from.c_str(), to.c_str());
        }
    }
    if (rc == 0) {
        DurabilityTrace::Record(DurabilityTrace::MOVED, to);
        return CZoError::Success();
    }
    const int e = errno;
    if (e == EEXIST && !replace)
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_ALREADY_EXISTS, "move to [%s]: exists", to.c_str());
    if (e == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) != 0) {
        CZoError err = XKCopyFile(from, to, replace ? 0 : 1);
        if (err.IsError()) return err.Push(FXLOC);
        if (::unlink(from.c_str()) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "remove moved", from);
        return CZoError::Success();
    }
    CZoError err = FXPosixError::FromErrNo(FXLOC, e, "move", from);
    return err.Push(FXLOC, "to [%s]", to.c_str());
}

CZoError FXFile::DeleteMatchingFiles(const std::string& path, DWORD flags) {
    if ((flags & kDeleteMatchingWildcards) == 0) {
        if (::unlink(path.c_str()) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "delete", path);
        return CZoError::Success();
    }
    std::string folder;
    std::string pattern;
    CZoError err = FXPath::SplitParentPath(path, folder, pattern);
    if (err.IsError()) return err.Push(FXLOC);
    CPathMatch matcher;
    matcher.setDelimiter('/');
    err = matcher.initialize(pattern, false, false);
    if (err.IsError()) return err.Push(FXLOC);
    std::vector<CZoDirectory::Entry> entries;
    err = CZoDirectory::List(folder, entries);
    if (err.IsError()) return err.Push(FXLOC);
    for (const CZoDirectory::Entry& entry : entries) {
        if (entry.isFolder || matcher.match(entry.name.c_str()) != 1) continue;
        std::string file = folder;
        err = FXPath::Append(file, entry.name, 0);
        if (err.IsError()) return err.Push(FXLOC);
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) return FXPosixError::FromErrNo(FXLOC, errno, "delete", file);
    }
    return CZoError::Success();
}

CZoError FXFile::GetFileTimes(const std::string& path, CTimeStamp* changed, CTimeStamp* modified,
                              CTimeStamp* accessed) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "times of", path);
    if (changed != nullptr) *changed = TimeStampOf(st.st_ctim);
    if (modified != nullptr) *modified = TimeStampOf(st.st_mtim);
    if (accessed != nullptr) *accessed = TimeStampOf(st.st_atim);
    return CZoError::Success();
}

bool FXFile::DoesFileExist(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

CTimeStamp FXFile::TimeStampOf(const struct timespec& t) {
    if (t.tv_sec == 0 && t.tv_nsec == 0) return CTimeStamp();
    return CTimeStamp(static_cast<int64_t>(t.tv_sec) * CTimeInterval::kUnitsPerSecond + t.tv_nsec / 100 +
                      CTimeStamp::kUnixEpochTicks);
}
