#pragma once
// Folder operations of the utility library: creation, emptiness, removal,
// volume space, listing and the recursive walk.

#include "CZoError.h"

#include <string>
#include <vector>

class CZoDirectory {
public:
    // One entry of a folder. Symbolic links are never folders here: walks and
    // listings do not follow them, so a link cannot lead a walk out of its tree.
    struct Entry {
        std::string name;
        bool isFolder;
    };

    // Called for each entry with the folder holding it, its name, whether it
    // is a folder, and the walk's context. An error stops the walk.
    typedef CZoError (*WalkCallback)(const char* parentPath, const char* name, bool isFolder, void* context);

    // Makes the folder; with createParents also every missing parent. An
    // existing folder is success; a file in the way is Win32 267.
    static CZoError Create(const std::string& path, bool createParents);

    // Total and available bytes of the volume holding the path; either
    // receiver may be null. Available is what an unprivileged writer may use.
    static CZoError GetSpaceUsage(const std::string& path, unsigned long long* total, unsigned long long* available);
    static CZoError GetSpaceUsage(const std::string& path, unsigned long long& total, unsigned long long& available) {
        return GetSpaceUsage(path, &total, &available);
    }

    // Whether the folder holds no entry. A missing folder is Win32 2, a file
    // Win32 267.
    static CZoError IsEmpty(const std::string& path, bool& isEmpty);

    // Without recursive: removes the folder only when it is empty (ErrNo
    // ENOTEMPTY otherwise). With recursive: removes the folder and everything
    // below it. A missing folder is success only with missingIsSuccess
    // (Win32 2 otherwise).
    static CZoError Remove(const std::string& path, bool recursive, bool missingIsSuccess);

    // The entries of one folder, sorted by name, without "." and "..".
    static CZoError List(const std::string& folder, std::vector<Entry>& entries);

    // Calls back for every entry below root, files and folders, folder by
    // folder in name order. depth bounds how many levels below the root are
    // entered: -1 no bound, 0 the root's own entries only. With
    // foldersAfterContents a folder is reported after everything below it
    // (so the callback may remove it once emptied); otherwise before, and a
    // folder the callback removes is simply not entered. A folder's entries
    // are listed before any of them is reported, so the callback may change
    // the tree; a folder gone by the time it is to be entered is skipped. The
    // first error of the callback stops the walk and is returned as is; a
    // missing root is Win32 2, a root that is a file Win32 267.
    static CZoError Walk(const std::string& root, void* context, int depth, bool foldersAfterContents,
                         WalkCallback callback);
};
