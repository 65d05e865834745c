#pragma once
// Lock files as another process sees them. POSIX record locks never conflict
// within one process, so every probe and holder is a forked process.

#include "support/ChildProcess.h"

#include <functional>
#include <string>
#include <vector>

// Whether another process could take the exclusive lock of the file now; a
// file that is not there is held by no one.
bool OtherProcessCanLock(const std::string& path);

// The files of the list that another process could not lock now (one probe
// process for all of them).
std::vector<std::string> LockedByOtherProcess(const std::vector<std::string>& paths);

// A forked process that takes a hold of a file and keeps it until released;
// its first answer says whether it took the hold.
class ForkedHolder {
public:
    // `take` runs in the child and answers `held` when it took the hold.
    ForkedHolder(const std::function<char()>& take, char held);
    ~ForkedHolder() { Release(); }
    ForkedHolder(const ForkedHolder&) = delete;
    ForkedHolder& operator=(const ForkedHolder&) = delete;

    bool Held() const { return held; }
    void Release();

private:
    ForkedChild child;
    bool held = false;
};

// A forked process holding the exclusive lock of a lock file (made when
// missing) until released.
class ForkedLockHolder : public ForkedHolder {
public:
    explicit ForkedLockHolder(const std::string& path);
    bool Locked() const { return Held(); }
};

// A forked process holding a shared use of a use-lock file (CProcessUseLock)
// until released: to this process, another user of the file.
class ForkedUseHolder : public ForkedHolder {
public:
    explicit ForkedUseHolder(const std::string& path);
    bool Using() const { return Held(); }
};
