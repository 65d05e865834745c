#include "platform/HeldLockFile.h"

#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/LockOrder.h"
#include "platform/Win32Constants.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

namespace {

typedef std::pair<dev_t, ino_t> FileIdentity;

RankedMutex g_registryLock(LockRank::LockFileHolders, "lock-file holders");

// guarded by g_registryLock: every held file, with the path it was taken by
std::map<FileIdentity, std::string>& Held() {
    static std::map<FileIdentity, std::string>* held = new std::map<FileIdentity, std::string>();  // used at unload
    return *held;
}

std::function<void(const std::string&)>& BeforeOpen() {
    static std::function<void(const std::string&)>* hook = new std::function<void(const std::string&)>();
    return *hook;
}

FileIdentity IdentityOf(const struct stat& st) { return FileIdentity(st.st_dev, st.st_ino); }

// An open-file-description lock over the whole file, however long it grows.
int SetLock(int fd, short type, bool wait) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    int rc;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR && wait);
    return rc;
}

CHeldLockFile::Attempt Refused(CHeldLockFile::Outcome outcome, const CZoError& error = CZoError()) {
    CHeldLockFile::Attempt attempt;
    attempt.outcome = outcome;
    attempt.error = error;
    return attempt;
}

}  // namespace

CHeldLockFile::CHeldLockFile(auto_handle& opened, dev_t device, ino_t inode) : device(device), inode(inode) {
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
            attempt.heldAs = held->second;
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
        // descriptor goes again, which leaves the holder's lock alone (it
        // belongs to the holder's descriptor).
        if (heldInProcess(st)) return attempt;
        if (SetLock(opened.get(), F_WRLCK, false) != 0) {
            const int e = errno;
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
            SetLock(opened.get(), F_UNLCK, true);
            return Refused(Outcome::Replaced);
        }
        Held()[IdentityOf(st)] = path;
        taken.reset(new CHeldLockFile(opened, st.st_dev, st.st_ino));
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
    SetLock(descriptor.get(), F_UNLCK, true);
    descriptor.reset(-1);
    Held().erase(FileIdentity(device, inode));
}

CZoError CHeldLockFile::Release() {
    if (!madeIn.Here()) return FXErrorUtil::ErrorErrNo(FXLOC, EPERM);
    std::lock_guard<RankedMutex> guard(g_registryLock);
    return UnlockAndClose();
}

CZoError CHeldLockFile::UnlockAndClose() {
    if (!descriptor.is_valid()) return CZoError::Success();
    if (SetLock(descriptor.get(), F_UNLCK, true) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    // Left only once closed: until then a newcomer's descriptor would be a
    // second one of the file.
    descriptor.reset(-1);
    Held().erase(FileIdentity(device, inode));
    return CZoError::Success();
}

void CHeldLockFile::TEST_SetBeforeOpen(std::function<void(const std::string& path)> hook) {
    std::lock_guard<RankedMutex> guard(g_registryLock);
    BeforeOpen() = std::move(hook);
}
