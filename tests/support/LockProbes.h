#pragma once
// Lock files as another process sees them. POSIX record locks never conflict
// within one process, so every probe and holder is a forked process.

#include "support/ChildProcess.h"

#include <string>
#include <vector>

// Whether another process could take the exclusive lock of the file now; a
// file that is not there is held by no one.
bool OtherProcessCanLock(const std::string& path);

// The files of the list that another process could not lock now (one probe
// process for all of them).
std::vector<std::string> LockedByOtherProcess(const std::vector<std::string>& paths);

// A forked process holding the exclusive lock of a lock file (made when
// missing) until released.
class ForkedLockHolder {
public:
    explicit ForkedLockHolder(const std::string& path);
    ~ForkedLockHolder() { Release(); }
    ForkedLockHolder(const ForkedLockHolder&) = delete;
    ForkedLockHolder& operator=(const ForkedLockHolder&) = delete;

    bool Locked() const { return locked; }
    void Release();

private:
    ForkedChild child;
    bool locked = false;
};
