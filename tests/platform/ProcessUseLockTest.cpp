#include "platform/ProcessUseLock.h"

#include "support/LockProbes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

TEST(ProcessUseLock, OnlyTheSoleUserRunsItsExclusiveStep) {
    TempDir dir;
    const std::string path = dir.sub("DB.inuse");
    int ran = 0;
    bool sole = false;
    {
        ForkedUseHolder other(path);
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
    ForkedChild other([&path](ForkedChild&) {
        bool childSole = true;
        CZoError err = CProcessUseLock::Acquire(path, nullptr, childSole);
        return !err.IsError() && !childSole ? 0 : 1;
    });
    ASSERT_TRUE(other.Started());
    const int status = other.Wait();
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
