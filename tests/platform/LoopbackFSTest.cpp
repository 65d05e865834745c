#include "platform/LoopbackFS.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace {

const char* const kHost = "loopback-test";

class LoopbackFSTest : public testing::Test {
protected:
    void SetUp() override {
        LoopbackFS::TEST_ServeHost(kHost, dir.path());
        params.host.Host = kHost;
        fs.reset(CFSInterface::GetFSInterfaceInstance(params));
    }
    void TearDown() override { LoopbackFS::TEST_Reset(); }

    std::unique_ptr<CFileInterface> NewFile() {
        return std::unique_ptr<CFileInterface>(CFileInterface::GetFileInterfaceInstance(params));
    }

    TempDir dir;
    CFSInitParams params;
    std::unique_ptr<CFSInterface> fs;
};

TEST_F(LoopbackFSTest, OpenNeverTruncatesAndSetSizeIsSeenByEveryHandle) {
    WriteWholeFile(dir.sub("f"), "abcdef");
    std::unique_ptr<CFileInterface> writer = NewFile(), reader = NewFile();
    ASSERT_FALSE(writer->Open("/f", FS_OPEN_WRITE | FS_OPEN_CREATE | FS_OPEN_ALWAYS, 6, 0).IsError());
    ASSERT_FALSE(reader->Open("/f", FS_OPEN_READ, 6, 0).IsError());
    struct stat st;
    ASSERT_FALSE(fs->Stat("/f", st).IsError());
    EXPECT_EQ(6, st.st_size);

    ASSERT_FALSE(writer->SetSize(10).IsError());
    int64_t end = 0;
    ASSERT_FALSE(reader->Seek(0, 2, &end).IsError());
    EXPECT_EQ(10, end);
    EXPECT_FALSE(writer->Close().IsError());
    EXPECT_FALSE(reader->Close().IsError());
    EXPECT_FALSE(reader->Close().IsError());  // closing again is harmless
    EXPECT_EQ(0, LoopbackFS::TEST_OpenFileCount(kHost));
}

TEST_F(LoopbackFSTest, RenameReplacesAndListingSplitsFilesFromFolders) {
    WriteWholeFile(dir.sub("a"), "new");
    WriteWholeFile(dir.sub("b"), "old");
    ASSERT_FALSE(fs->CreateFolder("/d/e", true).IsError());
    ASSERT_FALSE(fs->Rename("/a", "/b", 1).IsError());
    EXPECT_EQ("new", ReadWholeFile(dir.sub("b")));

    std::vector<std::string> files, folders;
    ASSERT_FALSE(fs->ListFolder("/", files, folders).IsError());
    EXPECT_EQ(std::vector<std::string>{"b"}, files);
    EXPECT_EQ(std::vector<std::string>{"d"}, folders);
}

CZoError Record(const char* folder, const char* name, bool isFolder, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(folder) + "/" + name +
                                                               (isFolder ? " (folder)" : ""));
    return CZoError::Success();
}

TEST_F(LoopbackFSTest, WalkReportsServerPathsWithContentsBeforeTheirFolder) {
    ASSERT_FALSE(fs->CreateFolder("/vol/x/y", true).IsError());
    WriteWholeFile(dir.sub("vol/x/y/f"), "1");
    WriteWholeFile(dir.sub("vol/g"), "2");
    std::vector<std::string> seen;
    ASSERT_FALSE(fs->Walk("/vol/", &seen, 0x7FFFFFFF, true, Record, 0).IsError());
    std::vector<std::string> expected = {"/vol/g", "/vol/x/y/f", "/vol/x/y (folder)", "/vol/x (folder)"};
    EXPECT_EQ(expected, seen);
}

TEST_F(LoopbackFSTest, LocksAreExclusivePerHandleAndNeverWait) {
    std::unique_ptr<CFileInterface> first = NewFile(), second = NewFile();
    ASSERT_FALSE(first->Open("/lockfile", 0xC1, 0, 0).IsError());
    ASSERT_FALSE(second->Open("/lockfile", 0xC1, 0, 0).IsError());
    ASSERT_FALSE(first->Lock(0).IsError());
    EXPECT_TRUE(FXErrorUtil::IsInt(second->Lock(0), LBCError::kLockedByAnotherHost));

    // Closing another handle of the file does not drop the lock.
    std::unique_ptr<CFileInterface> third = NewFile();
    ASSERT_FALSE(third->Open("/lockfile", FS_OPEN_READ, 0, 0).IsError());
    EXPECT_FALSE(third->Close().IsError());
    EXPECT_TRUE(FXErrorUtil::IsInt(second->Lock(0), LBCError::kLockedByAnotherHost));

    ASSERT_FALSE(first->Unlock().IsError());
    EXPECT_FALSE(second->Lock(0).IsError());
}

TEST_F(LoopbackFSTest, SwitchesAndRefusals) {
    std::unique_ptr<CFileInterface> file = NewFile();
    ASSERT_FALSE(file->Open("/w", FS_OPEN_WRITE | FS_OPEN_CREATE, 0, 0).IsError());
    LoopbackFS::TEST_FailNextWrites(kHost, 2);
    uint64_t done = 9;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Write("abcd", 4, &done), EIO));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(file->Write("abcd", 4, &done), EIO));
    LoopbackFS::TEST_SetMaxTransfer(kHost, 3);
    ASSERT_FALSE(file->Write("abcd", 4, &done).IsError());
    EXPECT_EQ(3u, done);
    EXPECT_EQ("abc", ReadWholeFile(dir.sub("w")));

    bool exists = false;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(fs->Exists("/../outside", exists), EINVAL));

    CFSInitParams unknown;
    unknown.host.Host = "nobody-serves-this";
    std::unique_ptr<CFSInterface> stranger(CFSInterface::GetFSInterfaceInstance(unknown));
    EXPECT_FALSE(stranger->IsConnected());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(stranger->Exists("/", exists), ENOTCONN));

    LoopbackFS::TEST_SetFactoriesReturnNothing(true, false);
    EXPECT_EQ(nullptr, CFSInterface::GetFSInterfaceInstance(params));
    std::unique_ptr<CFileInterface> stillMade(CFileInterface::GetFileInterfaceInstance(params));
    EXPECT_NE(nullptr, stillMade.get());
}

}  // namespace
