// A cache location on a file system that refuses open-file-description locks
// (a kernel before 3.15, some FUSE and network file systems): the afile
// copies' lock files are taken with classic record locks instead, so the
// cache stores and serves extents there, keeps other hosts out as before, and
// says once why.

#include "platform/HeldLockFile.h"
#include "service/MainRoadSupport.h"

#include <string>

namespace {

class RecordLockFallbackTest : public MainRoadTest {
protected:
    static constexpr long long kOther = 124;

    void BeforeStart() override { CHeldLockFile::TEST_RefuseOpenFileDescriptionLocks(true); }
    void TearDown() override {
        MainRoadTest::TearDown();
        CHeldLockFile::TEST_RefuseOpenFileDescriptionLocks(false);
    }

    static void ReleaseIdleContainers() {
        SystemClock::TEST_AdvanceSeconds(3600);
        ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, DB()->TEST_ContainerCount());
    }
};

TEST_F(RecordLockFallbackTest, WritesAndReadsWorkAndOtherHostsAreKeptOut) {
    const std::string a = Payload(700, 1), b = Payload(300, 2), c = Payload(500, 3);
    CZoError err = WriteExtent(kAfile, 0, a);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    err = WriteExtent(kOther, 0, b);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
    EXPECT_EQ(b, ReadExtent(kOther, 0, err)) << err.AsString();

    // Held for this process alone while the copies are in use.
    EXPECT_EQ(std::vector<std::string>({LockFilePath(kAfile), LockFilePath(kOther)}),
              LockedByOtherProcess({LockFilePath(kAfile), LockFilePath(kOther)}));

    ReleaseIdleContainers();
    EXPECT_TRUE(OtherProcessCanLock(LockFilePath(kAfile)));
    {
        ForkedLockHolder otherHost(LockFilePath(kAfile));
        ASSERT_TRUE(otherHost.Locked());
        EXPECT_TRUE(FXErrorUtil::IsInt(WriteExtent(kAfile, 4096, c), LBCError::kLockedByAnotherHost));
    }
    err = WriteExtent(kAfile, 4096, c);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
    EXPECT_EQ(c, ReadExtent(kAfile, 4096, err)) << err.AsString();
    EXPECT_FALSE(OtherProcessCanLock(LockFilePath(kAfile)));

    // Three lock files taken, one line.
    EXPECT_EQ(1u, CountContaining("refused an open-file-description lock"));
    EXPECT_EQ(1u, CountContaining("(Invalid argument)"));
}

}  // namespace
