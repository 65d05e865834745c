#include "platform/HeldLockFile.h"

#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/LockOrder.h"
#include "platform/Win32Constants.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

typedef std::pair<dev_t, ino_t> FileIdentity;

RankedMutex g_registryLock(LockRank::LockFileHolders, "lock-file holders");

struct HeldFile {
    std::string path;  // the path it was taken by
    bool recordLock = false;
    // Descriptors of a record-locked file opened by requests that raced to
    // it: closing one would drop the process's lock, so they go with the holder.
    std::vector<int> strays;
};

// guarded by g_registryLock: every held file
std::map<FileIdentity, HeldFile>& Held() {
    static std::map<FileIdentity, HeldFile>* held = new std::map<FileIdentity, HeldFile>();  // used at unload
    return *held;
}

// guarded by g_registryLock: a record lock has been taken in this process
bool g_recordLockReported = false;

std::function<void(const std::string&)>& BeforeOpen() {
    static std::function<void(const std::string&)>* hook = new std::function<void(const std::string&)>();
    return *hook;
}

FileIdentity IdentityOf(const struct stat& st) { return FileIdentity(st.st_dev, st.st_ino); }

// A file system without open-file-description locks, for tests.
std::atomic<bool> g_refuseOpenFileDescriptionLocks(false);

// A lock over the whole file, however long it grows: the descriptor's (an
// open-file-description lock) or, with recordLock, the process's.
int SetLock(int fd, short type, bool wait, bool recordLock) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (!recordLock && g_refuseOpenFileDescriptionLocks.load()) {
        errno = EINVAL;
        return -1;
    }
    const int command = recordLock ? (wait ? F_SETLKW : F_SETLK) : (wait ? F_OFD_SETLKW : F_OFD_SETLK);
    int rc;
    do {
        rc = ::fcntl(fd, command, &fl);
    } while (rc != 0 && errno == EINTR && wait);
    return rc;
}

std::string ErrNoText(int e) {
    char buffer[256];
    return std::string(::strerror_r(e, buffer, sizeof buffer));
}

CHeldLockFile::Attempt Refused(CHeldLockFile::Outcome outcome, const CZoError& error = CZoError()) {
    CHeldLockFile::Attempt attempt;
    attempt.outcome = outcome;
    attempt.error = error;
    return attempt;
}

}  // namespace

CHeldLockFile::CHeldLockFile(auto_handle& opened, dev_t device, ino_t inode, bool recordLock)
    : device(device), inode(inode), recordLock(recordLock) {
    descriptor.reset(opened.release());
}

CHeldLockFile::Attempt CHeldLockFile::Take(const std::string& path, std::unique_ptr<CHeldLockFile>& hold) {
    std::unique_ptr<CHeldLockFile> taken;
    Attempt attempt;
    {
        std::lock_guard<RankedMutex> guard(g_registryLock);
        const auto heldInProcess = [&attempt](const struct stat& st) {
            auto held = Held().find(IdentityOf(st));
            if (held == Held().end()) return false;
            attempt.outcome = Outcome::HeldInProcess;
            attempt.heldAs = held->second.path;
            return true;
        };
        // Known before it is opened: a second descriptor of a held file must
        // not exist.
        struct stat named = {};
        if (::stat(path.c_str(), &named) == 0 && heldInProcess(named)) return attempt;
        if (BeforeOpen()) BeforeOpen()(path);

        auto_handle opened;
        CZoError err = FXFile::XKCreateFile(opened, path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (err.IsError()) return Refused(Outcome::NotOpened, err);
        struct stat st = {};
        if (::fstat(opened.get(), &st) != 0) return Refused(Outcome::NotOpened, FXErrorUtil::ErrorErrNo(FXLOC, errno));
        // The path came to name a held file after the look-up: this
        // descriptor goes again, which leaves an open-file-description lock
        // alone (it belongs to the holder's descriptor); a record lock would
        // go with it, so the holder keeps it until it lets go.
        if (heldInProcess(st)) {
            HeldFile& held = Held()[IdentityOf(st)];
            if (held.recordLock) held.strays.push_back(opened.release());
            return attempt;
        }
        bool recordLock = false;
        int e = 0;
        if (SetLock(opened.get(), F_WRLCK, false, false) != 0) {
            e = errno;
            if (e == EINVAL) {
                recordLock = true;
                if (!g_recordLockReported) attempt.firstRecordLockReason = ErrNoText(e);
                e = SetLock(opened.get(), F_WRLCK, false, true) == 0 ? 0 : errno;
            }
        }
        if (e != 0) {
            return Refused(e == EAGAIN || e == EACCES ? Outcome::HeldElsewhere : Outcome::NotLocked,
                           FXErrorUtil::ErrorErrNo(FXLOC, e));
        }
        // The pruner of another host deletes the lock file while it holds
        // it. One opened just before and locked just after holds a file no
        // longer at its path, which a third host may have made anew and
        // locked too: such a lock guards nothing.
        struct stat now = {};
        if (::stat(path.c_str(), &now) != 0 || IdentityOf(now) != IdentityOf(st)) {
            // Unlocked for a forked child that may share the descriptor; the
            // close drops the lock in any case.
            SetLock(opened.get(), F_UNLCK, true, recordLock);
            return Refused(Outcome::Replaced);
        }
        if (recordLock) g_recordLockReported = true;
        HeldFile& held = Held()[IdentityOf(st)];
        held.path = path;
        held.recordLock = recordLock;
        taken.reset(new CHeldLockFile(opened, st.st_dev, st.st_ino, recordLock));
    }
    // Outside the registry's lock: a holder replaced here leaves it.
    hold = std::move(taken);
    attempt.outcome = Outcome::Taken;
    return attempt;
}

CHeldLockFile::~CHeldLockFile() {
    if (!madeIn.Here()) {
        // Neither the registry's lock (a thread of the parent may have held it
        // at the fork) nor an unlock, which would drop the parent's lock.
        descriptor.reset(-1);
        return;
    }
    std::lock_guard<RankedMutex> guard(g_registryLock);
    if (!descriptor.is_valid()) return;
    // Closed in any case: the lock goes with the last descriptor of it.
    SetLock(descriptor.get(), F_UNLCK, true, recordLock);
    Close();
}

CZoError CHeldLockFile::Release() {
    if (!madeIn.Here()) return FXErrorUtil::ErrorErrNo(FXLOC, EPERM);
    std::lock_guard<RankedMutex> guard(g_registryLock);
    return UnlockAndClose();
}

CZoError CHeldLockFile::UnlockAndClose() {
    if (!descriptor.is_valid()) return CZoError::Success();
    if (SetLock(descriptor.get(), F_UNLCK, true, recordLock) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    Close();
    return CZoError::Success();
}

void CHeldLockFile::Close() {
    // Left only once closed: until then a newcomer's descriptor would be a
    // second one of the file.
    descriptor.reset(-1);
    auto held = Held().find(FileIdentity(device, inode));
    if (held == Held().end()) return;
    for (int stray : held->second.strays) ::close(stray);
    Held().erase(held);
}

void CHeldLockFile::TEST_SetBeforeOpen(std::function<void(const std::string& path)> hook) {
    std::lock_guard<RankedMutex> guard(g_registryLock);
    BeforeOpen() = std::move(hook);
}

void CHeldLockFile::TEST_RefuseOpenFileDescriptionLocks(bool refuse) {
    std::lock_guard<RankedMutex> guard(g_registryLock);
    g_refuseOpenFileDescriptionLocks.store(refuse);
    g_recordLockReported = false;
}
