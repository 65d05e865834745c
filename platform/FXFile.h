#pragma once
// File services of the utility library: a Win32-style file model over POSIX
// descriptors (see platform/Win32Constants.h for access, dispositions and
// origins). A missing file is reported as Win32 2, a path through a file as
// Win32 3; other POSIX failures keep their errno (ErrorErrNo).

#include "CTimeStamp.h"
#include "CZoError.h"
#include "auto_handle.h"
#include "platform/FXFolder.h"
#include "platform/Win32Constants.h"

#include <ctime>
#include <list>
#include <string>

class FXFile {
public:
    // DeleteMatchingFiles flag: the last component of the path is a wildcard
    // pattern ('*', '?') over the names of the files in its folder.
    static constexpr DWORD kDeleteMatchingWildcards = 1;

    // Opens or creates the file and puts the descriptor (close-on-exec) into
    // handle, which closes what it held before; on failure handle is left
    // empty. Access: GENERIC_READ and/or GENERIC_WRITE. Dispositions:
    // CREATE_NEW (exists: Win32 80), CREATE_ALWAYS (created or emptied),
    // OPEN_EXISTING (missing: Win32 2), OPEN_ALWAYS (created when missing,
    // never emptied), TRUNCATE_EXISTING; the emptying ones need GENERIC_WRITE
    // (Win32 87 otherwise). A folder is refused (ErrNo EISDIR).
    // Share mode, security, flags and template are accepted for the call shape
    // and not enforced: POSIX has no mandatory sharing; exclusion is by record
    // locks on the descriptor.
    static CZoError XKCreateFile(auto_handle& handle, const std::string& path, DWORD access, DWORD share,
                                 void* securityAttributes, DWORD disposition, DWORD flags, void* templateFile);

    // Reads up to length bytes at the current position, looping over short
    // reads and signals until length bytes or the end of the file; done = bytes
    // read (0 at the end). On an error done holds what was read before it.
    static CZoError XKReadFile(const auto_handle& handle, void* buffer, unsigned long length, unsigned long* done,
                               void* overlapped);
    // Writes all length bytes at the current position, looping over short
    // writes and signals; done = bytes written, all of them unless an error
    // (e.g. ErrNo ENOSPC) is returned.
    static CZoError XKWriteFile(const auto_handle& handle, const void* buffer, unsigned long length,
                                unsigned long* done, void* overlapped);
    // As XKReadFile and XKWriteFile, on a bare descriptor and at `offset`
    // (at the current position when negative).
    static CZoError ReadAt(int fd, void* buffer, unsigned long length, long long offset, unsigned long* done);
    static CZoError WriteAt(int fd, const void* buffer, unsigned long length, long long offset, unsigned long* done);
    // Moves the position by offset from FILE_BEGIN, FILE_CURRENT or FILE_END
    // (64-bit); position (may be null) = the new absolute position.
    static CZoError XKSetFilePointer(const auto_handle& handle, long long offset, int origin, long long* position);

    // Size in bytes of the file at the path, or of the open file.
    static CZoError XKGetFileSize(const std::string& path, long long& size);
    static CZoError XKGetFileSize(const auto_handle& handle, long long& size);

    // Copies the file's bytes, permissions and modification time. The copy
    // is written under a temporary name in the destination's folder and then
    // renamed into place, so a reader sees the old file or the whole new one.
    // failIfExists 0 replaces an existing destination; otherwise an existing
    // one is kept and Win32 80 returned.
    static CZoError XKCopyFile(const std::string& from, const std::string& to, DWORD failIfExists);

    // Flushes the bytes of the file at the path to its device, with the size
    // needed to read them back (fdatasync), through a descriptor of its own:
    // the bytes written through any descriptor of the file are covered. For a
    // folder its entries are flushed (fsync), which makes a rename into it
    // survive a power loss.
    static CZoError XKFlushFile(const std::string& path);

    // Renames a file or folder. MOVEFILE_REPLACE_EXISTING replaces an existing
    // destination file (otherwise Win32 183 and nothing moves);
    // MOVEFILE_COPY_ALLOWED lets a file move across volumes by copy and delete.
    // Other refusals keep their errno (ErrNo EACCES/EPERM: in use or protected).
    static CZoError XKMoveFileEx(const std::string& from, const std::string& to, DWORD flags);

    // flags 0: deletes exactly the file at the path, no wildcard expansion
    // (missing: Win32 2; a folder: ErrNo EISDIR). With kDeleteMatchingWildcards:
    // deletes every file of the path's folder whose name matches its last
    // component; no match is success. Folders are never deleted.
    static CZoError DeleteMatchingFiles(const std::string& path, DWORD flags);

    // The status-change, modification and access times, in that order, with
    // 100-ns precision; any receiver may be null.
    static CZoError GetFileTimes(const std::string& path, CTimeStamp* changed, CTimeStamp* modified,
                                 CTimeStamp* accessed);

    // True when anything, file or folder, exists at the path (links followed):
    // the cache's existence test is also asked about folders.
    static bool DoesFileExist(const std::string& path);
    // Sets the file's modification and access time, in seconds since 1970.
    static CZoError SetModificationTime(const std::string& path, int64_t unixTime);

    // A POSIX time as a time stamp (0 stays the clear stamp).
    static CTimeStamp TimeStampOf(const struct timespec& t);

    // Fault switches for tests. The next `count` writes of file bytes
    // (XKWriteFile, and the writes of XKCopyFile) fail with errno `error` and
    // write nothing; likewise the next `count` flushes. 0 clears a switch.
    static void TEST_FailNextWrites(int count, int error);
    static void TEST_FailNextFlushes(int count, int error);
    // Likewise the next `count` opens of XKCreateFile (the lock file, the
    // source of a copy; EMFILE stands for descriptors run out) and the next
    // `count` changes of a file's times.
    static void TEST_FailNextOpens(int count, int error);
    static void TEST_FailNextTimeChanges(int count, int error);

    // The folder services, also reached through this class.
    static CZoError RemoveFolder(const std::string& path, unsigned flags) { return FXFolder::RemoveFolder(path, flags); }
    static CZoError CreateFoldersIteratively(const std::string& path, void* securityAttributes) {
        return FXFolder::CreateFoldersIteratively(path, securityAttributes);
    }
    static CZoError GetMatchingFiles(const std::string& folder, const std::string& pattern,
                                     std::list<std::string>& files, bool recursive) {
        return FXFolder::GetMatchingFiles(folder, pattern, files, recursive);
    }
};
