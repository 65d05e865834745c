#include "platform/ProcessUseLock.h"

#include "platform/FXErrorUtil.h"
#include "platform/LockOrder.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {
// Descriptors stay open for the life of the process: closing any descriptor
// of a file drops this process's record locks on it.
RankedMutex g_lock(LockRank::ProcessUse, "process lock-file descriptors");
std::map<std::string, int>& Held() {
    static std::map<std::string, int>* held = new std::map<std::string, int>();  // used at unload
    return *held;
}

int SetLock(int fd, short type, bool wait) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc;
}
}  // namespace

CZoError CProcessUseLock::Acquire(const std::string& lockPath, const std::function<void()>& whileSole, bool& sole) {
    sole = false;
    std::lock_guard<RankedMutex> guard(g_lock);
    int fd;
    auto found = Held().find(lockPath);
    if (found != Held().end()) {
        fd = found->second;
    } else {
        fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
        Held()[lockPath] = fd;
    }
    if (SetLock(fd, F_WRLCK, false) == 0) {
        sole = true;
        if (whileSole) whileSole();
    } else if (errno != EACCES && errno != EAGAIN) {
        return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    }
    // Turns the exclusive hold into a shared one in one step, or waits out
    // another process's brief exclusive hold.
    if (SetLock(fd, F_RDLCK, true) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno);
    return CZoError::Success();
}
