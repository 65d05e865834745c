#include "platform/ProcessUseLock.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child process that holds a shared use of `path` until told to go.
class ForkedUser {
public:
    explicit ForkedUser(const std::string& path) {
        if (pipe(toParent) != 0 || pipe(toChild) != 0) return;
        pid = fork();
        if (pid == 0) {
            bool sole = false;
            char c = CProcessUseLock::Acquire(path, nullptr, sole).IsError() ? 'E' : 'U';
            if (write(toParent[1], &c, 1) != 1) _exit(2);
            if (read(toChild[0], &c, 1) != 1) _exit(3);
            _exit(0);
        }
        char c = '?';
        using_ = pid > 0 && read(toParent[0], &c, 1) == 1 && c == 'U';
    }
    ~ForkedUser() {
        char c = 'g';
        if (pid > 0 && write(toChild[1], &c, 1) == 1) waitpid(pid, nullptr, 0);
        for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
    }
    bool Using() const { return using_; }

private:
    int toParent[2] = {-1, -1};
    int toChild[2] = {-1, -1};
    pid_t pid = -1;
    bool using_ = false;
};

TEST(ProcessUseLock, OnlyTheSoleUserRunsItsExclusiveStep) {
    TempDir dir;
    const std::string path = dir.sub("DB.inuse");
    int ran = 0;
    bool sole = false;
    {
        ForkedUser other(path);
        ASSERT_TRUE(other.Using());
        ASSERT_FALSE(CProcessUseLock::Acquire(path, [&] { ++ran; }, sole).IsError());
        EXPECT_FALSE(sole);
        EXPECT_EQ(0, ran);
    }
    // The other process is gone: this process is now the only user, and its
    // own shared hold does not stand in its way.
    ASSERT_FALSE(CProcessUseLock::Acquire(path, [&] { ++ran; }, sole).IsError());
    EXPECT_TRUE(sole);
    EXPECT_EQ(1, ran);
}

TEST(ProcessUseLock, AnotherProcessSeesThisProcessAsAUser) {
    TempDir dir;
    const std::string path = dir.sub("DB.inuse");
    bool sole = false;
    ASSERT_FALSE(CProcessUseLock::Acquire(path, nullptr, sole).IsError());
    EXPECT_TRUE(sole);
    pid_t pid = fork();
    if (pid == 0) {
        bool childSole = true;
        CZoError err = CProcessUseLock::Acquire(path, nullptr, childSole);
        _exit(!err.IsError() && !childSole ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ProcessUseLock, UnusableLockPathIsAnError) {
    TempDir dir;
    WriteWholeFile(dir.sub("file"), "x");
    bool sole = true;
    EXPECT_TRUE(CProcessUseLock::Acquire(dir.sub("file/DB.inuse"), nullptr, sole).IsError());
    EXPECT_FALSE(sole);
}

}  // namespace
