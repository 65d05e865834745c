#pragma once
// One descriptor of a regular file, kept open across many requests, with the
// identity (device, inode) of the file it opened. Whoever keeps one must ask,
// before each use that today would open the path, whether the path still
// names that file (Names): a file deleted, renamed or replaced meanwhile is
// no longer reached through its path, only through the old descriptor.
//
// Reads and writes name their offset (no shared file position), so any number
// of threads may use one object at once.

#include "CZoError.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

class FXOpenFile;
typedef std::shared_ptr<const FXOpenFile> FXOpenFilePtr;

class FXOpenFile {
public:
    // Where the path leads now: its identity and length. A missing file is
    // Win32 2 (as FXFile::XKCreateFile reports it), a folder ErrNo EISDIR.
    struct Status {
        dev_t device = 0;
        ino_t inode = 0;
        long long length = 0;
    };
    static CZoError StatusOf(const std::string& path, Status& status);

    // Opens the file for reading and writing, creating it when `create`
    // (never emptied); status describes the opened file.
    static CZoError Open(const std::string& path, bool create, FXOpenFilePtr& file, Status& status);

    explicit FXOpenFile(int fd, const Status& status);
    ~FXOpenFile();
    FXOpenFile(const FXOpenFile&) = delete;
    FXOpenFile& operator=(const FXOpenFile&) = delete;

    // Whether `status` (of a path) is this very file.
    bool Names(const Status& status) const { return status.device == device && status.inode == inode; }

    // As FXFile::XKReadFile and XKWriteFile, at `offset`; the write honours
    // FXFile::TEST_FailNextWrites.
    CZoError ReadAt(void* buffer, unsigned long length, long long offset, unsigned long* done) const;
    CZoError WriteAt(const void* buffer, unsigned long length, long long offset, unsigned long* done) const;
    // The opened file's length now, wherever its path leads.
    CZoError Length(long long& length) const;
    // Grows (with zero bytes) or cuts the file.
    CZoError SetLength(long long length) const;

    // Runs `hook` after every length set that succeeded, on the setting
    // thread (empty: none), so that a test can change the file between a
    // region's reservation and its bytes.
    static void TEST_SetAfterSetLength(std::function<void()> hook);

private:
    // constant after construction
    const int fd;
    const dev_t device;
    const ino_t inode;
};
