#pragma once
// Folder services of the utility library over POSIX.

#include "CZoError.h"

#include <cstdint>
#include <list>
#include <string>

class FXFolder {
public:
    // What a folder is known by whatever path reaches it (links, moved
    // parents, bind mounts): its device and inode.
    struct Identity {
        uint64_t device = 0;
        uint64_t inode = 0;
        bool operator==(const Identity& other) const { return device == other.device && inode == other.inode; }
    };

    // True when the path names a folder (symbolic links followed).
    static bool DoesFolderExist(const std::string& path);
    // The identity of the folder the path names now (symbolic links
    // followed); false when it names none.
    static bool GetIdentity(const std::string& path, Identity& identity);

    // Removes the folder and everything below it; a missing folder is
    // success. Links inside are removed, never followed; a root that is a
    // link loses only the link. A path naming a file is Win32 267 and the
    // file stays. The flags are accepted for the call shape: the whole tree
    // always goes.
    static CZoError RemoveFolder(const std::string& path, unsigned flags);

    // Makes the folder and every missing parent; an existing folder is
    // success, also when another thread or process makes it meanwhile. A file
    // in the way is Win32 267. The security attributes are ignored.
    static CZoError CreateFoldersIteratively(const std::string& path, void* securityAttributes);

    // Appends to files the full path (folder "/" name) of every file below
    // the folder whose name matches the wildcard pattern, ignoring case, in
    // walk order (CZoDirectory::Walk); an empty pattern takes every file.
    // recursive: at any depth, otherwise only the folder's own files. Folders
    // are never listed. A missing folder is Win32 2.
    static CZoError GetMatchingFiles(const std::string& folder, const std::string& pattern,
                                     std::list<std::string>& files, bool recursive);
};
