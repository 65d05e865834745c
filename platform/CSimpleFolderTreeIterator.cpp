#include "platform/CSimpleFolderTreeIterator.h"

#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXPath.h"
#include "platform/FXPosixError.h"
#include "platform/Win32Constants.h"

#include <cerrno>
#include <sys/stat.h>

CSimpleFolderFilterByItemName::CSimpleFolderFilterByItemName(const std::string& pattern) {
    matcher.setDelimiter('/');
    matcher.initialize(pattern, true, false);  // cannot fail: every pattern is valid
}

CZoError CSimpleFolderTreeIterator::Open(const std::string& folder, const CSimpleFolderFilterByItemName& itemFilter) {
    levels.clear();
    openError = CZoError::Success();
    openFolder = folder;
    filter = itemFilter;
    opened = true;

    Level top;
    top.folder = folder;
    CZoError err = CZoDirectory::List(folder, top.entries);
    if (err.IsError()) {
        openError = err;
        return err.Push(FXLOC);
    }
    top.listed = true;
    levels.push_back(std::move(top));
    return CZoError::Success();
}

CZoError CSimpleFolderTreeIterator::GetNextItem(Item& item) {
    if (!opened) return FXErrorUtil::ErrorWin32(FXLOC, ERROR_NO_MORE_FILES, "iterator not opened");
    if (openError.IsError()) {
        // Answer a fresh error each time: pushes on a returned error must not pile up here.
        FXErrorCategory category = FXErrorCategory::Int;
        int64_t code = 0;
        FXErrorUtil::Describe(openError, category, code);
        if (category == FXErrorCategory::Win32)
            return FXErrorUtil::ErrorWin32(FXLOC, static_cast<unsigned>(code), "open folder [%s]", openFolder.c_str());
        CZoError err = FXErrorUtil::ErrorErrNo(FXLOC, static_cast<int>(code));
        return err.Push(FXLOC, "open folder [%s]", openFolder.c_str());
    }
    while (!levels.empty()) {
        Level& level = levels.back();
        if (!level.listed) {
            level.listed = true;
            CZoError err = CZoDirectory::List(level.folder, level.entries);
            if (err.IsError()) {
                if (FXErrorUtil::IsWin32(err, ERROR_FILE_NOT_FOUND)) {
                    levels.pop_back();  // removed since it was reported
                    continue;
                }
                return err.Push(FXLOC);
            }
        }
        if (level.next >= level.entries.size()) {
            levels.pop_back();
            continue;
        }
        const CZoDirectory::Entry entry = level.entries[level.next++];
        std::string path = level.folder;
        CZoError err = FXPath::Append(path, entry.name, 0);
        if (err.IsError()) return err.Push(FXLOC);

        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;  // gone since the folder was listed
            return FXPosixError::FromErrNo(FXLOC, errno, "status of", path);
        }
        const bool isFolder = S_ISDIR(st.st_mode);
        const std::string parent = level.folder;  // `level` is invalidated by the push below
        if (isFolder) {
            Level below;
            below.folder = path;
            levels.push_back(std::move(below));
        }
        if (!filter.Matches(entry.name)) continue;

        item.name = entry.name;
        item.path = path;
        item.parentPath = parent;
        item.isFolder = isFolder;
        item.size = S_ISREG(st.st_mode) ? static_cast<unsigned long long>(st.st_size) : 0;
        item.modified = FXFile::TimeStampOf(st.st_mtim);
        return CZoError::Success();
    }
    return FXErrorUtil::ErrorWin32(FXLOC, ERROR_NO_MORE_FILES);
}
