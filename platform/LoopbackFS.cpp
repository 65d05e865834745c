#include "platform/LoopbackFS.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/DurabilityTrace.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/LockOrder.h"

#include <boost/make_shared.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>

// One served data server. Objects made for it share it, so that a switch set
// by a test reaches objects made deep inside the code under test.
struct LoopbackHost {
    explicit LoopbackHost(std::string name) : name(std::move(name)) {}

    const std::string name;

    RankedMutex lock{LockRank::PlatformAnswers, "loopback host"};
    // guarded by lock
    std::string root;  // empty: not served
    bool connected = false;
    int failWrites = 0;
    int failWritesErrno = EIO;
    int failExists = 0;
    int failExistsErrno = EIO;
    std::function<void()> lockHook;
    uint32_t maxTransfer = 0;
    std::function<void(const std::string&, const std::string&)> walkHook;
    int openFiles = 0;
};

namespace {

RankedMutex g_hostsLock(LockRank::PlatformAnswers, "loopback hosts");
// guarded by g_hostsLock
std::map<std::string, boost::shared_ptr<LoopbackHost>> g_hosts;

std::atomic<bool> g_noFileSystem{false};
std::atomic<bool> g_noFile{false};

boost::shared_ptr<LoopbackHost> HostNamed(const std::string& name) {
    std::lock_guard<RankedMutex> guard(g_hostsLock);
    boost::shared_ptr<LoopbackHost>& entry = g_hosts[name];
    if (!entry) entry = boost::make_shared<LoopbackHost>(name);
    return entry;
}

CZoError NotConnected(const FXCodeLocation& at, const LoopbackHost& host) {
    CZoError err = FXErrorUtil::ErrorErrNo(at, ENOTCONN);
    return err.Push(at, "data server [%s] is not connected", host.name.c_str());
}

CZoError ErrNo(const FXCodeLocation& at, int value, const std::string& path) {
    CZoError err = FXErrorUtil::ErrorErrNo(at, value);
    return err.Push(at, "path [%s]", path.c_str());
}

// The local path of a data-server path, or an error when the host is not
// reachable or the path would leave the served folder.
CZoError MapPath(const FXCodeLocation& at, LoopbackHost& host, const std::string& remote, std::string& local) {
    std::string root;
    {
        std::lock_guard<RankedMutex> guard(host.lock);
        if (!host.connected || host.root.empty()) return NotConnected(at, host);
        root = host.root;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= remote.size()) {
        size_t slash = remote.find('/', start);
        if (slash == std::string::npos) slash = remote.size();
        std::string part = remote.substr(start, slash - start);
        if (part == "..") return ErrNo(at, EINVAL, remote);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = slash + 1;
    }
    local = root;
    for (const std::string& part : parts) local += "/" + part;
    return CZoError::Success();
}

std::string TrimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

boost::shared_ptr<LoopbackHost> FindServed(const std::string& name) {
    std::lock_guard<RankedMutex> guard(g_hostsLock);
    auto it = g_hosts.find(name);
    return it == g_hosts.end() ? boost::shared_ptr<LoopbackHost>() : it->second;
}

}  // namespace

CFSInterface* CFSInterface::GetFSInterfaceInstance(const CFSInitParams& params) {
    if (g_noFileSystem.load()) return nullptr;
    return new LoopbackFS(HostNamed(params.host.Host));
}

CFileInterface* CFileInterface::GetFileInterfaceInstance(const CFSInitParams& params) {
    if (g_noFile.load()) return nullptr;
    return new LoopbackFile(HostNamed(params.host.Host));
}

// ---- test switches

void LoopbackFS::TEST_ServeHost(const std::string& name, const std::string& localRoot) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->root = TrimTrailingSlashes(localRoot);
    host->connected = true;
    host->failWrites = 0;
    host->failExists = 0;
    host->maxTransfer = 0;
    host->walkHook = nullptr;
    host->lockHook = nullptr;
}

void LoopbackFS::TEST_StopServing(const std::string& name) {
    boost::shared_ptr<LoopbackHost> host = FindServed(name);
    if (!host) return;
    std::lock_guard<RankedMutex> guard(host->lock);
    host->root.clear();
    host->connected = false;
}

void LoopbackFS::TEST_SetConnected(const std::string& name, bool connected) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->connected = connected;
}

void LoopbackFS::TEST_FailNextWrites(const std::string& name, int count, int error) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->failWrites = count;
    host->failWritesErrno = error;
}

void LoopbackFS::TEST_FailNextExists(const std::string& name, int count, int error) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->failExists = count;
    host->failExistsErrno = error;
}

void LoopbackFS::TEST_SetLockHook(const std::string& name, std::function<void()> hook) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->lockHook = std::move(hook);
}

void LoopbackFS::TEST_SetMaxTransfer(const std::string& name, uint32_t bytes) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->maxTransfer = bytes;
}

void LoopbackFS::TEST_SetWalkHook(const std::string& name,
                                  std::function<void(const std::string& folder, const std::string& name)> hook) {
    boost::shared_ptr<LoopbackHost> host = HostNamed(name);
    std::lock_guard<RankedMutex> guard(host->lock);
    host->walkHook = std::move(hook);
}

int LoopbackFS::TEST_OpenFileCount(const std::string& name) {
    boost::shared_ptr<LoopbackHost> host = FindServed(name);
    if (!host) return 0;
    std::lock_guard<RankedMutex> guard(host->lock);
    return host->openFiles;
}

void LoopbackFS::TEST_SetFactoriesReturnNothing(bool noFileSystem, bool noFile) {
    g_noFileSystem.store(noFileSystem);
    g_noFile.store(noFile);
}

void LoopbackFS::TEST_Reset() {
    g_noFileSystem.store(false);
    g_noFile.store(false);
    std::map<std::string, boost::shared_ptr<LoopbackHost>> hosts;
    {
        std::lock_guard<RankedMutex> guard(g_hostsLock);
        hosts.swap(g_hosts);
    }
    // Objects still alive keep their host, which now serves nothing.
    for (auto& entry : hosts) {
        std::lock_guard<RankedMutex> guard(entry.second->lock);
        entry.second->root.clear();
        entry.second->connected = false;
        entry.second->walkHook = nullptr;
        entry.second->lockHook = nullptr;
    }
}

// ---- file system

LoopbackFS::LoopbackFS(boost::shared_ptr<LoopbackHost> host) : host(std::move(host)) {}

LoopbackFS::~LoopbackFS() = default;

bool LoopbackFS::IsConnected() {
    std::lock_guard<RankedMutex> guard(host->lock);
    return host->connected && !host->root.empty();
}

CZoError LoopbackFS::Exists(const std::string& path, bool& exists) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    {
        std::lock_guard<RankedMutex> guard(host->lock);
        if (host->failExists > 0) {
            --host->failExists;
            return ErrNo(FXLOC, host->failExistsErrno, path);
        }
    }
    struct stat st;
    if (::lstat(local.c_str(), &st) == 0) {
        exists = true;
    } else if (errno == ENOENT || errno == ENOTDIR) {
        exists = false;
    } else {
        return ErrNo(FXLOC, errno, path);
    }
    return CZoError::Success();
}

CZoError LoopbackFS::CreateFolder(const std::string& path, bool recursive) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    std::error_code ec;
    if (recursive) {
        std::filesystem::create_directories(local, ec);
    } else if (::mkdir(local.c_str(), 0755) != 0 && errno != EEXIST) {
        ec.assign(errno, std::generic_category());
    }
    if (ec) return ErrNo(FXLOC, ec.value(), path);
    // An existing file of that name is not a folder.
    if (!std::filesystem::is_directory(local, ec)) return ErrNo(FXLOC, ENOTDIR, path);
    return CZoError::Success();
}

CZoError LoopbackFS::GetSpaceUsage(const std::string& path, unsigned long long& total,
                                   unsigned long long& available) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    struct statvfs vfs;
    if (::statvfs(local.c_str(), &vfs) != 0) return ErrNo(FXLOC, errno, path);
    total = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
    available = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    return CZoError::Success();
}

CZoError LoopbackFS::Stat(const std::string& path, struct stat& st) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    if (::stat(local.c_str(), &st) != 0) return ErrNo(FXLOC, errno, path);
    return CZoError::Success();
}

CZoError LoopbackFS::SetModificationTime(const std::string& path, int64_t unixTime) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    return FXFile::SetModificationTime(local, unixTime);
}

CZoError LoopbackFS::RemoveFile(const std::string& path, int) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    if (::unlink(local.c_str()) != 0) return ErrNo(FXLOC, errno, path);
    return CZoError::Success();
}

CZoError LoopbackFS::RemoveFolder(const std::string& path, int) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    struct stat st;
    if (::lstat(local.c_str(), &st) != 0) {
        // Like the local folder removal: a folder that is already gone is success.
        if (errno == ENOENT) return CZoError::Success();
        return ErrNo(FXLOC, errno, path);
    }
    if (!S_ISDIR(st.st_mode)) return ErrNo(FXLOC, ENOTDIR, path);
    std::error_code ec;
    std::filesystem::remove_all(local, ec);
    if (ec) return ErrNo(FXLOC, ec.value(), path);
    return CZoError::Success();
}

namespace {

struct Entry {
    std::string name;
    bool isFolder;
    bool operator<(const Entry& o) const { return name < o.name; }
};

// The entries of a folder, read completely before anyone acts on them, so
// that callbacks may remove what they are handed.
CZoError ReadEntries(const FXCodeLocation& at, const std::string& local, const std::string& remote,
                     std::vector<Entry>& entries) {
    DIR* dir = ::opendir(local.c_str());
    if (dir == nullptr) return ErrNo(at, errno, remote);
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::lstat((local + "/" + name).c_str(), &st) != 0) continue;  // gone meanwhile
        entries.push_back({name, S_ISDIR(st.st_mode)});
    }
    int readErrno = errno;
    ::closedir(dir);
    if (readErrno != 0) return ErrNo(at, readErrno, remote);
    std::sort(entries.begin(), entries.end());
    return CZoError::Success();
}

}  // namespace

CZoError LoopbackFS::ListFolder(const std::string& path, std::vector<std::string>& files,
                                std::vector<std::string>& folders) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    std::vector<Entry> entries;
    err = ReadEntries(FXLOC, local, path, entries);
    if (err.IsError()) return err;
    for (const Entry& e : entries) (e.isFolder ? folders : files).push_back(e.name);
    return CZoError::Success();
}

CZoError LoopbackFS::Walk(const std::string& root, void* context, int maxDepth, bool, FSWalkCallback callback,
                          int) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, root, local);
    if (err.IsError()) return err;
    return WalkFolder(local, TrimTrailingSlashes(root), 1, context, maxDepth, callback);
}

CZoError LoopbackFS::WalkFolder(const std::string& local, const std::string& remote, int depth, void* context,
                                int maxDepth, FSWalkCallback callback) {
    std::vector<Entry> entries;
    CZoError err = ReadEntries(FXLOC, local, remote, entries);
    if (err.IsError()) return err;
    std::string remoteBase = remote == "/" ? std::string() : remote;
    for (const Entry& e : entries) {
        if (e.isFolder && depth < maxDepth) {
            err = WalkFolder(local + "/" + e.name, remoteBase + "/" + e.name, depth + 1, context, maxDepth, callback);
            if (err.IsError()) return err;
        }
        std::function<void(const std::string&, const std::string&)> hook;
        {
            std::lock_guard<RankedMutex> guard(host->lock);
            if (!host->connected || host->root.empty()) return NotConnected(FXLOC, *host);
            hook = host->walkHook;
        }
        if (hook) hook(remote, e.name);
        err = callback(remote.c_str(), e.name.c_str(), e.isFolder, context);
        if (err.IsError()) return err;
    }
    return CZoError::Success();
}

CZoError LoopbackFS::Rename(const std::string& from, const std::string& to, int) {
    std::string localFrom, localTo;
    CZoError err = MapPath(FXLOC, *host, from, localFrom);
    if (err.IsError()) return err;
    err = MapPath(FXLOC, *host, to, localTo);
    if (err.IsError()) return err;
    if (::rename(localFrom.c_str(), localTo.c_str()) != 0) return ErrNo(FXLOC, errno, from);
    DurabilityTrace::Record(DurabilityTrace::MOVED, localTo);
    return CZoError::Success();
}

// The server's disk is this machine's: the local file's flush is the one the
// server would make.
CZoError LoopbackFS::Flush(const std::string& path) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    err = FXFile::XKFlushFile(local);
    if (err.IsError()) return err.Push(FXLOC, "data server path [%s]", path.c_str());
    return CZoError::Success();
}

// ---- file

LoopbackFile::LoopbackFile(boost::shared_ptr<LoopbackHost> host) : host(std::move(host)) {}

LoopbackFile::~LoopbackFile() { CloseDescriptor(); }

bool LoopbackFile::IsConnected() {
    std::lock_guard<RankedMutex> guard(host->lock);
    return host->connected && !host->root.empty();
}

void LoopbackFile::CloseDescriptor() {
    if (fd < 0) return;
    ::close(fd);
    fd = -1;
    std::lock_guard<RankedMutex> guard(host->lock);
    --host->openFiles;
}

CZoError LoopbackFile::CheckOpen(const FXCodeLocation& at) {
    {
        std::lock_guard<RankedMutex> guard(host->lock);
        if (!host->connected || host->root.empty()) return NotConnected(at, *host);
    }
    if (fd < 0) return FXErrorUtil::ErrorErrNo(at, EBADF);
    return CZoError::Success();
}

CZoError LoopbackFile::Open(const std::string& path, int flags, int, int) {
    std::string local;
    CZoError err = MapPath(FXLOC, *host, path, local);
    if (err.IsError()) return err;
    int access = flags & FS_OPEN_ACCESS_MASK;
    int oflags = O_CLOEXEC | (access == FS_OPEN_READ ? O_RDONLY : access == FS_OPEN_WRITE ? O_WRONLY : O_RDWR);
    if (flags & (FS_OPEN_CREATE | FS_OPEN_ALWAYS)) oflags |= O_CREAT;
    int opened;
    do {
        opened = ::open(local.c_str(), oflags, 0644);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) return ErrNo(FXLOC, errno, path);
    CloseDescriptor();
    fd = opened;
    std::lock_guard<RankedMutex> guard(host->lock);
    ++host->openFiles;
    return CZoError::Success();
}

// Closing a file that is not open is success, so that callers may close on
// every road out. The descriptor is let go even when the server is gone, as a
// real client drops its session.
CZoError LoopbackFile::Close() {
    bool connected;
    {
        std::lock_guard<RankedMutex> guard(host->lock);
        connected = host->connected && !host->root.empty();
    }
    CloseDescriptor();
    if (!connected) return NotConnected(FXLOC, *host);
    return CZoError::Success();
}

CZoError LoopbackFile::Read(void* buffer, uint32_t count, uint64_t* done) {
    *done = 0;
    CZoError err = CheckOpen(FXLOC);
    if (err.IsError()) return err;
    uint32_t limit;
    {
        std::lock_guard<RankedMutex> guard(host->lock);
        limit = host->maxTransfer;
    }
    if (limit != 0 && count > limit) count = limit;
    char* at = static_cast<char*>(buffer);
    while (*done < count) {
        ssize_t n = ::read(fd, at + *done, count - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
        if (n == 0) break;
        *done += static_cast<uint64_t>(n);
    }
    return CZoError::Success();
}

CZoError LoopbackFile::Write(const void* buffer, uint32_t count, uint64_t* done) {
    *done = 0;
    CZoError err = CheckOpen(FXLOC);
    if (err.IsError()) return err;
    uint32_t limit;
    {
        std::lock_guard<RankedMutex> guard(host->lock);
        if (host->failWrites > 0) {
            --host->failWrites;
            return FXErrorUtil::ErrorErrNo(FXLOC, host->failWritesErrno);
        }
        limit = host->maxTransfer;
    }
    if (limit != 0 && count > limit) count = limit;
    const char* at = static_cast<const char*>(buffer);
    while (*done < count) {
        ssize_t n = ::write(fd, at + *done, count - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
        *done += static_cast<uint64_t>(n);
    }
    return CZoError::Success();
}

CZoError LoopbackFile::Seek(int64_t offset, int whence, int64_t* newPosition) {
    CZoError err = CheckOpen(FXLOC);
    if (err.IsError()) return err;
    if (whence < 0 || whence > 2) return FXErrorUtil::ErrorErrNo(FXLOC, EINVAL);
    off_t position = ::lseek(fd, static_cast<off_t>(offset), whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END);
    if (position < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    if (newPosition != nullptr) *newPosition = static_cast<int64_t>(position);
    return CZoError::Success();
}

CZoError LoopbackFile::SetSize(int64_t size) {
    CZoError err = CheckOpen(FXLOC);
    if (err.IsError()) return err;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    return CZoError::Success();
}

// Open-file-description locks: owned by this handle, not by the process, so
// they exclude other handles of this process too and are not dropped when
// another descriptor of the file is closed. They conflict with classic POSIX
// record locks, so local and remote lockers of one file exclude each other.
CZoError LoopbackFile::Lock(int) {
    CZoError err = CheckOpen(FXLOC);
    if (err.IsError()) return err;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        int refused = errno;
        CZoError inner = FXErrorUtil::ErrorErrNo(FXLOC, refused);
        if (refused != EAGAIN && refused != EACCES) return inner;
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost, "(error=%s)", inner.AsString().c_str());
    }
    std::function<void()> hook;
    {
        std::lock_guard<RankedMutex> guard(host->lock);
        hook = host->lockHook;
    }
    if (hook) hook();
    return CZoError::Success();
}

CZoError LoopbackFile::Unlock() {
    CZoError err = CheckOpen(FXLOC);
    if (err.IsError()) return err;
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    return CZoError::Success();
}
