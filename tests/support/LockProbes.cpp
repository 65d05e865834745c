#include "support/LockProbes.h"

#include "platform/ProcessUseLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Takes the exclusive lock of the open file without waiting.
bool LockNow(int fd) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return ::fcntl(fd, F_SETLK, &fl) == 0;
}

}  // namespace

bool OtherProcessCanLock(const std::string& path) { return LockedByOtherProcess({path}).empty(); }

std::vector<std::string> LockedByOtherProcess(const std::vector<std::string>& paths) {
    std::vector<std::string> locked;
    if (paths.empty()) return locked;
    // The child does nothing but open, fcntl and write: 'F' free, 'L' locked,
    // 'E' not there to lock.
    ForkedChild child([&paths](ForkedChild& self) {
        for (const std::string& path : paths) {
            char answer = 'E';
            int fd = ::open(path.c_str(), O_RDWR);
            if (fd >= 0) {
                answer = LockNow(fd) ? 'F' : 'L';
                ::close(fd);
            }
            if (!self.Send(answer)) return 2;
        }
        return 0;
    });
    if (!child.Started()) return paths;
    for (const std::string& path : paths) {
        char answer = '?';
        if (!child.Receive(answer) || answer == 'L') locked.push_back(path);
    }
    return locked;
}

ForkedHolder::ForkedHolder(const std::function<char()>& take, char heldAnswer)
    : child([&take](ForkedChild& self) {
          char c = take();
          if (!self.Send(c)) return 2;
          if (!self.Receive(c)) return 3;
          return 0;
      }) {
    char c = '?';
    held = child.Started() && child.Receive(c) && c == heldAnswer;
}

void ForkedHolder::Release() {
    if (!child.Started() || child.Reaped()) return;
    if (!child.Send('g')) ADD_FAILURE() << "holder process gone";
    child.Wait();
}

ForkedLockHolder::ForkedLockHolder(const std::string& path)
    : ForkedHolder(
          [&path] {
              int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
              return fd >= 0 && LockNow(fd) ? 'L' : 'E';
          },
          'L') {}

ForkedUseHolder::ForkedUseHolder(const std::string& path)
    : ForkedHolder(
          [&path] {
              bool sole = false;
              return CProcessUseLock::Acquire(path, nullptr, sole).IsError() ? 'E' : 'U';
          },
          'U') {}
