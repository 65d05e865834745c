#pragma once
// Iteration over a whole folder tree, one item per call, and the name filter
// that selects the items reported.

#include "CTimeStamp.h"
#include "CZoError.h"
#include "platform/CPathMatch.h"
#include "platform/CZoDirectory.h"

#include <string>
#include <vector>

// Accepts items whose name matches a wildcard pattern ('*', '?'), ignoring case.
class CSimpleFolderFilterByItemName {
public:
    explicit CSimpleFolderFilterByItemName(const std::string& pattern);

    bool Matches(const std::string& name) const { return matcher.match(name.c_str()) == 1; }

private:
    CPathMatch matcher;  // constant after construction
};

// Reports every file and folder below the opened folder (not the folder
// itself), recursing into every subfolder whether or not its name passes the
// filter. Order: name order within a folder, a folder before its contents.
// Symbolic links are reported as files and never followed. GetNextItem answers
// Win32 18 once the tree is exhausted; a missing folder gives Win32 2 from
// Open and from every GetNextItem, a file given as folder Win32 267. A
// subfolder removed while the iteration runs is skipped. Not thread-safe.
class CSimpleFolderTreeIterator {
public:
    struct Item {
        std::string name;        // last component
        std::string path;        // full path: parent folder "/" name
        std::string parentPath;  // the folder holding the item
        bool isFolder = false;
        unsigned long long size = 0;  // bytes of a regular file; 0 for anything else
        CTimeStamp modified;          // modification time, 100-ns precision
    };

    CSimpleFolderTreeIterator() = default;
    CSimpleFolderTreeIterator(const CSimpleFolderTreeIterator&) = delete;
    CSimpleFolderTreeIterator& operator=(const CSimpleFolderTreeIterator&) = delete;

    // Starts over at the folder.
    CZoError Open(const std::string& folder, const CSimpleFolderFilterByItemName& filter);
    // The next item that passes the filter, or the end (Win32 18) or an error.
    CZoError GetNextItem(Item& item);

private:
    struct Level {
        std::string folder;
        std::vector<CZoDirectory::Entry> entries;
        size_t next = 0;
        bool listed = false;
    };

    // state of one iteration
    std::vector<Level> levels;  // the open folder at the bottom, the deepest on top
    CZoError openError;         // why Open failed; success otherwise
    std::string openFolder;
    CSimpleFolderFilterByItemName filter{"*"};
    bool opened = false;
};
