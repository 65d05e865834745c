#include "platform/FXFolder.h"

#include "platform/CPathMatch.h"
#include "platform/CZoDirectory.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/FXPosixError.h"
#include "platform/Win32Constants.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Removes the folder `name` of the folder parentFd with all its contents,
// through descriptors so that no link below it is ever followed. Entries
// already gone count as removed.
CZoError RemoveTree(int parentFd, const std::string& name, const std::string& shownPath) {
    const int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT) return CZoError::Success();
        if (e == ENOTDIR || e == ELOOP) {
            // Replaced by a file or a link since it was listed: remove that instead.
            if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return CZoError::Success();
            return FXPosixError::FromErrNo(FXLOC, errno, "remove", shownPath);
        }
        return FXPosixError::FromErrNo(FXLOC, e, "open folder", shownPath);
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int e = errno;
        ::close(fd);
        return FXPosixError::FromErrNo(FXLOC, e, "open folder", shownPath);
    }
    std::vector<CZoDirectory::Entry> entries;
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        entries.push_back(CZoDirectory::Entry{d->d_name, d->d_type == DT_DIR});
        errno = 0;
    }
    const int e = errno;
    CZoError err;
    if (e != 0) err = FXPosixError::FromErrNo(FXLOC, e, "read folder", shownPath);
    for (size_t i = 0; i < entries.size() && !err.IsError(); ++i) {
        const CZoDirectory::Entry& entry = entries[i];
        const std::string childPath = shownPath + "/" + entry.name;  // for messages only
        if (!entry.isFolder) {
            if (::unlinkat(fd, entry.name.c_str(), 0) == 0 || errno == ENOENT) continue;
            if (errno != EISDIR) {
                err = FXPosixError::FromErrNo(FXLOC, errno, "remove", childPath);
                break;
            }
            // An entry of unknown type that is a folder after all.
        }
        err = RemoveTree(fd, entry.name, childPath);
    }
    ::closedir(dir);
    if (err.IsError()) return err;
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        return FXPosixError::FromErrNo(FXLOC, errno, "remove folder", shownPath);
    return CZoError::Success();
}

struct MatchContext {
    std::list<std::string>* files;
    const CPathMatch* matcher;
    bool everything;
};

CZoError CollectMatch(const char* parentPath, const char* name, bool isFolder, void* context) {
    const MatchContext* match = static_cast<const MatchContext*>(context);
    if (isFolder) return CZoError::Success();
    if (!match->everything && match->matcher->match(name) != 1) return CZoError::Success();
    std::string path = parentPath;
    CZoError err = FXPath::Append(path, name, 0);
    if (err.IsError()) return err.Push(FXLOC);
    match->files->push_back(path);
    return CZoError::Success();
}

}  // namespace

bool FXFolder::DoesFolderExist(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FXFolder::GetIdentity(const std::string& path, Identity& identity) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    identity.device = static_cast<uint64_t>(st.st_dev);
    identity.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

CZoError FXFolder::RemoveFolder(const std::string& path, unsigned /*flags*/) {
    if (path.empty()) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "empty folder path");
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return CZoError::Success();
        return FXPosixError::FromFolderErrNo(FXLOC, errno, "remove folder", path);
    }
    if (S_ISLNK(st.st_mode)) {
        // Never delete what a link points at: only the link is ours to remove.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return FXPosixError::FromErrNo(FXLOC, errno, "remove link", path);
        return CZoError::Success();
    }
    if (!S_ISDIR(st.st_mode))
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_DIRECTORY, "remove folder [%s]: not a folder", path.c_str());
    CZoError err = RemoveTree(AT_FDCWD, path, path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError FXFolder::CreateFoldersIteratively(const std::string& path, void* /*securityAttributes*/) {
    if (path.empty()) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "empty folder path");
    if (DoesFolderExist(path)) return CZoError::Success();
    // Each level in turn, from the top: mkdir of an existing level fails and
    // is then checked to be a folder, which also covers a concurrent creator.
    size_t pos = 0;
    while (pos < path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) {
            const std::string level = path.substr(0, next);
            if (::mkdir(level.c_str(), 0777) != 0) {
                const int e = errno;
                if (!DoesFolderExist(level)) {
                    if (e == EEXIST || e == ENOTDIR)
                        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_DIRECTORY,
                                                       "create folder [%s]: a file is in the way at [%s]",
                                                       path.c_str(), level.c_str());
                    return FXPosixError::FromErrNo(FXLOC, e, "create folder", level);
                }
            }
        }
        pos = next + 1;
    }
    return CZoError::Success();
}

CZoError FXFolder::GetMatchingFiles(const std::string& folder, const std::string& pattern,
                                    std::list<std::string>& files, bool recursive) {
    CPathMatch matcher;
    matcher.setDelimiter('/');
    CZoError err = matcher.initialize(pattern, true, false);
    if (err.IsError()) return err.Push(FXLOC);
    MatchContext context{&files, &matcher, pattern.empty()};
    err = CZoDirectory::Walk(folder, &context, recursive ? -1 : 0, false, CollectMatch);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}
