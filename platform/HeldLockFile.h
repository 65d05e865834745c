#pragma once
// The lock files of this process's local cache locations: an exclusive lock
// on the whole file, taken without waiting, kept by one holder.
//
// Invariant, kept here and nowhere else: in this process at most one
// CHeldLockFile exists per lock file, a file being known by its identity
// (device and inode) whichever path reaches it (a symbolic link, a moved
// parent, a bind mount, a hard link), and no code of the library opens a
// descriptor of a held file besides its holder's. A request for a held file
// is refused before the file is opened; the identity is looked up, the file
// opened, locked and entered under one lock, so two threads never both
// take it.
//
// The lock is an open-file-description lock: it belongs to the holder's
// descriptor, not to the process. Closing any other descriptor of the file
// (the one of a request whose path was replaced by a held file between the
// look-up and the open, or one opened by a host) does not drop it, and a
// second lock on the file from this process conflicts with it. It conflicts
// with the classic record locks that other processes and older hosts take
// on the same file. The descriptor is close-on-exec. A child forked without
// exec shares the description and so the parent's lock: only the process
// that took the lock unlocks it; a holder let go of in a forked child closes
// its copy of the descriptor (which leaves the lock alone) and nothing else.
//
// Where the file system refuses open-file-description locks (EINVAL: a
// kernel before 3.15, some FUSE and network file systems) the holder takes
// a classic record lock instead. That lock belongs to the process and goes
// when the process closes any descriptor of the file, which is why it is
// sound only under the invariant above: the holder's is the one descriptor
// the library keeps, and one opened by a request that raced to a held file
// is kept with the holder until it lets go instead of being closed. A
// descriptor of the file that the host closes still drops it. A forked child
// inherits no record lock: neither its close nor its unlock touches it.

#include "CZoError.h"
#include "auto_handle.h"
#include "platform/ProcessFork.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

class CHeldLockFile {
public:
    enum class Outcome {
        Taken,
        HeldInProcess,  // this process holds the file, through `heldAs`
        NotOpened,      // not created or not opened; nobody is blamed
        HeldElsewhere,  // another process (or host) holds the lock
        NotLocked,      // the lock request failed for another reason
        Replaced,       // the path named another file (or none) once locked
    };
    struct Attempt {
        Outcome outcome = Outcome::NotOpened;
        CZoError error;      // the system's error, when there is one
        std::string heldAs;  // HeldInProcess: the path the holder took it by
        // Taken with a record lock for the first time in the process: the
        // file system's answer to the open-file-description lock, as text.
        std::string firstRecordLockReason;
    };

    // Creates the file or empties it, and locks it. On Taken `hold` is the
    // new holder; otherwise `hold` is left as it was.
    static Attempt Take(const std::string& path, std::unique_ptr<CHeldLockFile>& hold);

    // Unlocks and closes (also when the unlock fails: closing drops the lock
    // unless a forked child shares the descriptor). In a forked child: closes.
    ~CHeldLockFile();
    CHeldLockFile(const CHeldLockFile&) = delete;
    CHeldLockFile& operator=(const CHeldLockFile&) = delete;

    // Unlocks, closes and leaves the registry; on a failed unlock (ErrNo)
    // the file stays held and open. In a forked child: ErrNo EPERM, nothing
    // done.
    CZoError Release();

    // Runs between the look-up of a path's identity and its open, under the
    // registry's lock.
    static void TEST_SetBeforeOpen(std::function<void(const std::string& path)> hook);
    // Every open-file-description lock request answers EINVAL, as on a file
    // system without such locks; the next record lock taken is reported as
    // the process's first again.
    static void TEST_RefuseOpenFileDescriptionLocks(bool refuse);

private:
    CHeldLockFile(auto_handle& opened, dev_t device, ino_t inode, bool recordLock);
    // Called holding the registry's lock.
    CZoError UnlockAndClose();
    // Closes the descriptor and the file's strays, and leaves the registry.
    void Close();

    // constant after construction: the file's identity, whether its lock is a
    // record lock (the process's) rather than the descriptor's, and the
    // process that took it
    const dev_t device;
    const ino_t inode;
    const bool recordLock;
    const MadeInProcess madeIn;
    // guarded by the registry's lock; open while held
    auto_handle descriptor;
};
