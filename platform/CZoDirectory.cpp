#include "platform/CZoDirectory.h"

#include "platform/FXErrorUtil.h"
#include "platform/FXFolder.h"
#include "platform/FXPath.h"
#include "platform/FXPosixError.h"
#include "platform/Win32Constants.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The root as the walk reports it: without trailing slashes, keeping "/".
std::string Normalized(const std::string& path) {
    size_t n = path.size();
    while (n > 1 && path[n - 1] == '/') --n;
    return path.substr(0, n);
}

CZoError WalkFolder(const std::string& folder, int level, void* context, int depth, bool foldersAfterContents,
                    CZoDirectory::WalkCallback callback) {
    std::vector<CZoDirectory::Entry> entries;
    CZoError err = CZoDirectory::List(folder, entries);
    if (err.IsError()) {
        // A subfolder removed meanwhile (possibly by the callback) has nothing left to visit.
        if (level > 0 && FXErrorUtil::IsWin32(err, ERROR_FILE_NOT_FOUND)) return CZoError::Success();
        return err.Push(FXLOC);
    }
    for (const CZoDirectory::Entry& entry : entries) {
        if (!entry.isFolder) {
            err = callback(folder.c_str(), entry.name.c_str(), false, context);
            if (err.IsError()) return err;
            continue;
        }
        if (!foldersAfterContents) {
            err = callback(folder.c_str(), entry.name.c_str(), true, context);
            if (err.IsError()) return err;
        }
        if (depth < 0 || level < depth) {
            std::string child = folder;
            err = FXPath::Append(child, entry.name, 0);
            if (err.IsError()) return err.Push(FXLOC);
            err = WalkFolder(child, level + 1, context, depth, foldersAfterContents, callback);
            if (err.IsError()) return err;
        }
        if (foldersAfterContents) {
            err = callback(folder.c_str(), entry.name.c_str(), true, context);
            if (err.IsError()) return err;
        }
    }
    return CZoError::Success();
}

}  // namespace

CZoError CZoDirectory::Create(const std::string& path, bool createParents) {
    if (createParents) {
        CZoError err = FXFolder::CreateFoldersIteratively(path, nullptr);
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    }
    if (path.empty()) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "empty folder path");
    if (::mkdir(path.c_str(), 0777) == 0) return CZoError::Success();
    const int e = errno;
    if (FXFolder::DoesFolderExist(path)) return CZoError::Success();
    if (e == EEXIST)
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_DIRECTORY, "create folder [%s]: a file is in the way",
                                       path.c_str());
    return FXPosixError::FromErrNo(FXLOC, e, "create folder", path);
}

CZoError CZoDirectory::GetSpaceUsage(const std::string& path, unsigned long long* total,
                                     unsigned long long* available) {
    struct statvfs vfs;
    if (::statvfs(path.c_str(), &vfs) != 0) return FXPosixError::FromErrNo(FXLOC, errno, "space of", path);
    if (total != nullptr) *total = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
    if (available != nullptr) *available = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    return CZoError::Success();
}

CZoError CZoDirectory::IsEmpty(const std::string& path, bool& isEmpty) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return FXPosixError::FromFolderErrNo(FXLOC, errno, "open folder", path);
    isEmpty = true;
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
            isEmpty = false;
            break;
        }
    }
    const int e = errno;
    ::closedir(dir);
    if (isEmpty && e != 0) return FXPosixError::FromErrNo(FXLOC, e, "read folder", path);
    return CZoError::Success();
}

CZoError CZoDirectory::Remove(const std::string& path, bool recursive, bool missingIsSuccess) {
    if (recursive) {
        struct stat st;
        if (!missingIsSuccess && ::lstat(path.c_str(), &st) != 0)
            return FXPosixError::FromFolderErrNo(FXLOC, errno, "remove folder", path);
        CZoError err = FXFolder::RemoveFolder(path, 0);
        if (err.IsError()) return err.Push(FXLOC);
        return CZoError::Success();
    }
    if (::rmdir(path.c_str()) == 0) return CZoError::Success();
    const int e = errno;
    if (e == ENOENT && missingIsSuccess) return CZoError::Success();
    return FXPosixError::FromFolderErrNo(FXLOC, e, "remove folder", path);
}

CZoError CZoDirectory::List(const std::string& folder, std::vector<Entry>& entries) {
    entries.clear();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FXPosixError::FromFolderErrNo(FXLOC, errno, "open folder", folder);
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int e = errno;
        ::close(fd);
        return FXPosixError::FromErrNo(FXLOC, e, "open folder", folder);
    }
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        bool isFolder = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) break;
                errno = 0;  // gone since the folder was read
                continue;
            }
            isFolder = S_ISDIR(st.st_mode);
        }
        entries.push_back(Entry{d->d_name, isFolder});
        errno = 0;
    }
    const int e = errno;
    ::closedir(dir);
    if (e != 0) {
        entries.clear();
        return FXPosixError::FromErrNo(FXLOC, e, "read folder", folder);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return CZoError::Success();
}

CZoError CZoDirectory::Walk(const std::string& root, void* context, int depth, bool foldersAfterContents,
                            WalkCallback callback) {
    if (callback == nullptr) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "walk without a callback");
    return WalkFolder(Normalized(root), 0, context, depth, foldersAfterContents, callback);
}
