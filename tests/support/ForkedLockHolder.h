#pragma once
// Test helper for the suites that need another process to hold a lock file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// A forked process holding the exclusive lock of a lock file until released
// (POSIX record locks never conflict within one process).
class ForkedLockHolder {
public:
    explicit ForkedLockHolder(const std::string& path) {
        if (::pipe(toParent) != 0 || ::pipe(toChild) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            char c = 'E';
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
            struct flock fl = {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            if (fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0) c = 'L';
            if (::write(toParent[1], &c, 1) != 1) ::_exit(2);
            if (::read(toChild[0], &c, 1) != 1) ::_exit(3);
            ::_exit(0);
        }
        char c = '?';
        locked = pid > 0 && ::read(toParent[0], &c, 1) == 1 && c == 'L';
    }
    ~ForkedLockHolder() { Release(); }
    ForkedLockHolder(const ForkedLockHolder&) = delete;
    ForkedLockHolder& operator=(const ForkedLockHolder&) = delete;

    bool Locked() const { return locked; }
    void Release() {
        if (pid <= 0) return;
        char c = 'g';
        if (::write(toChild[1], &c, 1) != 1) ADD_FAILURE() << "lock holder gone";
        int status = 0;
        ::waitpid(pid, &status, 0);
        for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
        pid = -1;
    }

private:
    int toParent[2] = {-1, -1};
    int toChild[2] = {-1, -1};
    pid_t pid = -1;
    bool locked = false;
};
