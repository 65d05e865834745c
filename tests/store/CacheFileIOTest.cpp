#include "store/CacheFileIO.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/HeldLockFile.h"
#include "platform/Win32Constants.h"
#include "store/CacheMountPathInfo.h"
#include "StoreTestSupport.h"
#include "support/LockProbes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Every test runs once on a local folder and once behind the loopback data server.
class CacheFileIOTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        loc = TestLocation::Make(dir, GetParam());
        io = loc.NewIO();
    }
    void TearDown() override { LoopbackFS::TEST_Reset(); }

    TempDir dir;
    TestLocation loc;
    CCacheFileIOPtr io;
};

INSTANTIATE_TEST_SUITE_P(Both, CacheFileIOTest, testing::Bool(), LocationName);

TEST_P(CacheFileIOTest, KindAndMountPathInformation) {
    EXPECT_EQ(GetParam(), io->IsRemote());
    EXPECT_TRUE(io->IsConnected());
    boost::any info = io->GetMountPathInfo();
    EXPECT_EQ(GetParam(), !info.empty());
    if (GetParam()) {
        EXPECT_EQ(loc.root, boost::any_cast<CacheMountPathInfo&>(info).mountPath.getPath());
    }

    CCacheFileIOPtr twin = io->GetFileIO();
    ASSERT_TRUE(twin);
    EXPECT_NE(io.get(), twin.get());
    EXPECT_EQ(GetParam(), twin->IsRemote());
}

TEST_P(CacheFileIOTest, WriteKeepsExistingBytesAndTruncateUpReservesAtTheEnd) {
    WriteWholeFile(loc.Local("flat.cache"), "hello");
    ASSERT_FALSE(io->CreateOpenFileForWrite(loc.Path("flat.cache")).IsError());
    EXPECT_EQ(5, FileSize(loc.Local("flat.cache")));

    ASSERT_FALSE(io->TruncateUp(3).IsError());
    EXPECT_EQ(8, FileSize(loc.Local("flat.cache")));
    long long pos = -1;
    ASSERT_FALSE(io->Seek(0, FILE_CURRENT, pos).IsError());
    EXPECT_EQ(8, pos);  // left at the new end
    ASSERT_FALSE(io->Seek(-3, FILE_END, pos).IsError());
    EXPECT_EQ(5, pos);  // the region starts at the old end

    char bytes[] = "abc";
    unsigned long done = 0;
    ASSERT_FALSE(io->Write(bytes, 3, &done).IsError());
    EXPECT_EQ(3u, done);

    ASSERT_FALSE(io->TruncateUp(0).IsError());
    ASSERT_FALSE(io->Seek(0, FILE_CURRENT, pos).IsError());
    EXPECT_EQ(8, pos);
    ASSERT_FALSE(io->Close().IsError());
    EXPECT_EQ("helloabc", ReadWholeFile(loc.Local("flat.cache")));

    ASSERT_FALSE(io->OpenFileForRead(loc.Path("flat.cache")).IsError());
    char buffer[64];
    ASSERT_FALSE(io->Read(buffer, sizeof buffer, &done).IsError());
    EXPECT_EQ("helloabc", std::string(buffer, done));
    ASSERT_FALSE(io->Read(buffer, sizeof buffer, &done).IsError());
    EXPECT_EQ(0u, done);
    EXPECT_FALSE(io->Close().IsError());
}

TEST_P(CacheFileIOTest, WriteCreatesAMissingFileAndReadOfAMissingFileFails) {
    ASSERT_FALSE(io->CreateOpenFileForWrite(loc.Path("new.cache")).IsError());
    EXPECT_TRUE(Exists(loc.Local("new.cache")));
    EXPECT_FALSE(io->Close().IsError());
    EXPECT_TRUE(io->OpenFileForRead(loc.Path("absent.cache")).IsError());
}

TEST_P(CacheFileIOTest, PathOperations) {
    ASSERT_FALSE(io->CreateFolder(loc.Path("a/b/c"), true).IsError());
    EXPECT_TRUE(Exists(loc.Local("a/b/c")));
    EXPECT_FALSE(io->CreateFolder(loc.Path("a/b/c"), true).IsError());  // existing is success

    bool exists = false;
    ASSERT_FALSE(io->IsExists(loc.Path("a/b"), exists).IsError());
    EXPECT_TRUE(exists);
    ASSERT_FALSE(io->IsExists(loc.Path("a/nothing"), exists).IsError());
    EXPECT_FALSE(exists);

    WriteWholeFile(loc.Local("a/b/one.db"), "0123456789");
    long long size = 0;
    ASSERT_FALSE(io->Size(loc.Path("a/b/one.db"), size).IsError());
    EXPECT_EQ(10, size);
    EXPECT_TRUE(io->Size(loc.Path("a/b/none.db"), size).IsError());

    struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};  // access, modification
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, loc.Local("a/b/one.db").c_str(), times, 0));
    CTimeStamp changed, modified, accessed;
    ASSERT_FALSE(io->GetFileTimes(loc.Path("a/b/one.db"), &changed, &modified, &accessed).IsError());
    EXPECT_FALSE(changed.IsClear());
    EXPECT_EQ(1600000000, modified.AsUnixTime());
    EXPECT_EQ(1500000000, accessed.AsUnixTime());

    // Move replaces an existing destination.
    WriteWholeFile(loc.Local("a/two.db"), "old");
    ASSERT_FALSE(io->Move(loc.Path("a/b/one.db"), loc.Path("a/two.db"), MOVEFILE_REPLACE_EXISTING).IsError());
    EXPECT_FALSE(Exists(loc.Local("a/b/one.db")));
    EXPECT_EQ("0123456789", ReadWholeFile(loc.Local("a/two.db")));

    ASSERT_FALSE(io->RemoveFile(loc.Path("a/two.db")).IsError());
    EXPECT_FALSE(Exists(loc.Local("a/two.db")));

    WriteWholeFile(loc.Local("a/b/c/deep.txt"), "x");
    ASSERT_FALSE(io->RemoveFolder(loc.Path("a")).IsError());
    EXPECT_FALSE(Exists(loc.Local("a")));

    unsigned long long total = 0, available = 0;
    ASSERT_FALSE(io->GetSpaceUsage(loc.root, total, available).IsError());
    EXPECT_GT(total, 0u);
    EXPECT_LE(available, total);
}

TEST_P(CacheFileIOTest, ReleaseLockFileLeavesTheFileAndLogsOnlyLocally) {
    ScopedLogCapture log;
    ASSERT_FALSE(io->CreateAndLockFile(loc.Path("lockfile")).IsError());
    ASSERT_FALSE(io->ReleaseLockFile().IsError());
    log.Uninstall();
    EXPECT_TRUE(Exists(loc.Local("lockfile")));
    int expected = GetParam() ? 0 : 1;
    EXPECT_EQ(expected, log->Count(0, "Acquiring lock file [" + loc.Path("lockfile") + "]"));
    EXPECT_EQ(expected, log->Count(0, "Releasing lock file [" + loc.Path("lockfile") + "]"));
}

// One location's object is shared by the host thread, the pruner and its
// deletion pool: its path operations run from several threads at once.
TEST_P(CacheFileIOTest, PathOperationsFromSeveralThreadsAtOnce) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < 20; ++i) {
                std::string folder = loc.Path("t" + std::to_string(t) + "/f" + std::to_string(i));
                bool exists = false;
                long long size = 0;
                if (io->CreateFolder(folder, true).IsError()) ++failures;
                if (io->IsExists(folder, exists).IsError() || !exists) ++failures;
                if (!io->Size(folder + "/none", size).IsError()) ++failures;
                if (io->RemoveFolder(folder).IsError()) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
}

// The local form has nothing to release without an open descriptor.
TEST(CacheFileIOLocal, ReleaseLockFileWithoutOpenFileIsSilentSuccess) {
    TempDir dir;
    boost::any none;
    CCacheFileIO io(none);
    ScopedLogCapture log;
    EXPECT_FALSE(io.ReleaseLockFile().IsError());
    ASSERT_FALSE(io.CreateAndLockFile(dir.sub("lockfile")).IsError());
    EXPECT_FALSE(io.ReleaseLockFile().IsError());
    EXPECT_FALSE(io.ReleaseLockFile().IsError());
    log.Uninstall();
    EXPECT_EQ(1, log->CountAny("Releasing lock file"));
}

// ---- the lock across processes

// A path that comes to name a held lock file between its look-up and its
// open (a link of the held file renamed over it): the request is refused
// with 14, and the descriptor it opened goes without dropping the holder's lock.
TEST(CacheFileIOLocal, PathReplacedByAHeldLockFileBeforeItsOpenIsRefused) {
    TempDir dir;
    MakeFolders(dir.sub("real"));
    const std::string held = dir.sub("real/lockfile");
    const std::string replaced = dir.sub("real/other");
    boost::any none;
    CCacheFileIO holder(none);
    ASSERT_FALSE(holder.CreateAndLockFile(held).IsError());
    int replacements = 0;
    CHeldLockFile::TEST_SetBeforeOpen([&](const std::string& path) {
        if (path != replaced) return;
        ++replacements;
        EXPECT_EQ(0, ::link(held.c_str(), dir.sub("real/link").c_str()));
        EXPECT_EQ(0, ::rename(dir.sub("real/link").c_str(), replaced.c_str()));
    });
    CCacheFileIO second(none);
    CZoError refused = second.CreateAndLockFile(replaced);
    CHeldLockFile::TEST_SetBeforeOpen(nullptr);
    EXPECT_EQ(1, replacements);
    EXPECT_TRUE(FXErrorUtil::IsInt(refused, LBCError::kLockedByAnotherHost)) << refused.AsString();
    EXPECT_NE(std::string::npos, refused.AsString().find("held by this process through [" + held + "]"))
        << refused.AsString();
    EXPECT_FALSE(OtherProcessCanLock(held));
    EXPECT_FALSE(holder.ReleaseLockFile().IsError());
    EXPECT_TRUE(OtherProcessCanLock(held));
}

// A child that takes the lock through its own object: 'L' once locked, 'R'
// once released when told, each answer 'E' on an error; it ends when told again.
int HoldLockThenRelease(ForkedChild& self, TestLocation& holderLoc, const std::string& path) {
    CCacheFileIOPtr io = holderLoc.NewIO();
    char c = io->CreateAndLockFile(path).IsError() ? 'E' : 'L';
    if (!self.Send(c)) return 2;
    if (!self.Receive(c)) return 3;
    c = io->ReleaseLockFile().IsError() ? 'E' : 'R';
    if (!self.Send(c)) return 4;
    if (!self.Receive(c)) return 5;
    return 0;
}

char NextAnswer(ForkedChild& child) {
    char c = '?';
    return child.Receive(c) ? c : '?';
}

TEST(CacheFileIOLock, AnotherProcessHoldingTheLockIsRefusedAtOnceWithCode14) {
    struct Case {
        bool holderRemote;
        bool takerRemote;
    } cases[] = {{false, false}, {true, true}, {false, true}, {true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "holder remote " << c.holderRemote << ", taker remote " << c.takerRemote);
        TempDir dir;
        TestLocation local = TestLocation::Make(dir, false, "loc");
        TestLocation remote = TestLocation::Make(dir, true, "srv");
        // Both forms name one file: the remote root serves the local folder.
        LoopbackFS::TEST_ServeHost(TestLocation::kHost, dir.path());
        remote.backing = local.backing;
        std::string localPath = local.Path("lockfile");
        std::string remotePath = remote.root.substr(0, remote.root.rfind('|') + 1) + "/loc/lockfile";

        ForkedChild holder([&](ForkedChild& self) {
            return HoldLockThenRelease(self, c.holderRemote ? remote : local, c.holderRemote ? remotePath : localPath);
        });
        ASSERT_TRUE(holder.Started());
        ASSERT_EQ('L', NextAnswer(holder));

        CCacheFileIOPtr taker = c.takerRemote ? remote.NewIO() : local.NewIO();
        const std::string& takerPath = c.takerRemote ? remotePath : localPath;
        CZoError refused = taker->CreateAndLockFile(takerPath);
        EXPECT_TRUE(FXErrorUtil::IsInt(refused, LBCError::kLockedByAnotherHost)) << refused.AsString();

        EXPECT_TRUE(holder.Send('g'));
        ASSERT_EQ('R', NextAnswer(holder));
        EXPECT_FALSE(taker->CreateAndLockFile(takerPath).IsError());
        EXPECT_TRUE(holder.Send('g'));
        const int status = holder.Wait();
        EXPECT_EQ(0, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        EXPECT_FALSE(taker->ReleaseLockFile().IsError());
        EXPECT_TRUE(Exists(localPath));
        LoopbackFS::TEST_Reset();
    }
}

// One lock file reached through a second path in this process (its folder
// through a symbolic link, a hard link of the file, a "/./" spelling): the
// second holder is refused with 14 and never touches the file, and the first
// one's lock stays held for other processes after the second has gone.
TEST(CacheFileIOLock, OneHolderPerLockFileWhicheverPathReachesIt) {
    const char* const spellings[] = {"folder through a symbolic link", "hard link of the file", "/./ inside"};
    for (const char* spelling : spellings) {
        SCOPED_TRACE(spelling);
        TempDir dir;
        MakeFolders(dir.sub("real"));
        const std::string path = dir.sub("real/lockfile");
        std::string other;
        if (spelling == spellings[0]) {
            ASSERT_EQ(0, ::symlink(dir.sub("real").c_str(), dir.sub("link").c_str()));
            other = dir.sub("link/lockfile");
        } else if (spelling == spellings[1]) {
            WriteWholeFile(path, "");
            ASSERT_EQ(0, ::link(path.c_str(), dir.sub("real/second").c_str()));
            other = dir.sub("real/second");
        } else {
            other = dir.sub("real/./lockfile");
        }
        boost::any none;
        CCacheFileIO first(none);
        ASSERT_FALSE(first.CreateAndLockFile(path).IsError());
        {
            CCacheFileIO second(none);
            CZoError refused = second.CreateAndLockFile(other);
            EXPECT_TRUE(FXErrorUtil::IsInt(refused, LBCError::kLockedByAnotherHost)) << refused.AsString();
            EXPECT_NE(std::string::npos, refused.AsString().find("held by this process")) << refused.AsString();
            EXPECT_FALSE(second.ReleaseLockFile().IsError());
            EXPECT_FALSE(second.Close().IsError());
        }
        EXPECT_FALSE(OtherProcessCanLock(path)) << "the second holder dropped the first one's lock";
        ASSERT_FALSE(first.ReleaseLockFile().IsError());
        EXPECT_TRUE(OtherProcessCanLock(path));
        CCacheFileIO next(none);
        EXPECT_FALSE(next.CreateAndLockFile(other).IsError()) << "free again in this process";
    }
}

// Threads of one process racing for one lock file through two spellings:
// exactly one holds it, and it stays held once the others have gone.
TEST(CacheFileIOLock, ThreadsRacingForOneLockFileLeaveOneHolder) {
    TempDir dir;
    MakeFolders(dir.sub("real"));
    ASSERT_EQ(0, ::symlink(dir.sub("real").c_str(), dir.sub("link").c_str()));
    const std::string paths[] = {dir.sub("real/lockfile"), dir.sub("link/lockfile")};
    const int kThreads = 8;
    std::vector<CCacheFileIOPtr> ios;
    boost::any none;
    for (int i = 0; i < kThreads; ++i) ios.push_back(boost::make_shared<CCacheFileIO>(none));
    std::vector<int> taken(kThreads, 0);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            CZoError err = ios[i]->CreateAndLockFile(paths[i % 2]);
            taken[i] = err.IsError() ? 0 : 1;
            if (err.IsError() && !FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) ADD_FAILURE() << err.AsString();
        });
    }
    for (std::thread& t : threads) t.join();
    int holder = -1, holders = 0;
    for (int i = 0; i < kThreads; ++i) {
        if (taken[i]) {
            holder = i;
            ++holders;
        }
    }
    ASSERT_EQ(1, holders);
    for (int i = 0; i < kThreads; ++i)
        if (i != holder) ios[i].reset();
    EXPECT_FALSE(OtherProcessCanLock(paths[0])) << "a refused thread dropped the holder's lock";
    EXPECT_FALSE(ios[holder]->ReleaseLockFile().IsError());
    EXPECT_TRUE(OtherProcessCanLock(paths[0]));
}

// A file system that refuses open-file-description locks, while it lives.
class OpenFileDescriptionLocksRefused {
public:
    OpenFileDescriptionLocksRefused() { CHeldLockFile::TEST_RefuseOpenFileDescriptionLocks(true); }
    ~OpenFileDescriptionLocksRefused() { CHeldLockFile::TEST_RefuseOpenFileDescriptionLocks(false); }
    OpenFileDescriptionLocksRefused(const OpenFileDescriptionLocksRefused&) = delete;
    OpenFileDescriptionLocksRefused& operator=(const OpenFileDescriptionLocksRefused&) = delete;
};

// Where the file system refuses open-file-description locks the lock file is
// still taken, with a record lock, and other processes are kept out of it.
// A record lock belongs to the process and goes with any descriptor of the
// file it closes: a second request for a held file, by another path or one
// that came to name it between its look-up and its open, is refused and
// leaves the holder's lock in place. The first such lock of the process is
// logged once, with the file system's answer.
TEST(CacheFileIOLock, WhereOpenFileDescriptionLocksAreRefusedARecordLockKeepsOtherProcessesOut) {
    enum class Second { None, HardLink, ReplacedBeforeOpen };
    const struct {
        const char* name;
        Second second;
    } cases[] = {
        {"alone", Second::None},
        {"second request through a hard link", Second::HardLink},
        {"second request whose path comes to name the held file before its open", Second::ReplacedBeforeOpen},
    };
    OpenFileDescriptionLocksRefused refused;
    ScopedLogCapture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        MakeFolders(dir.sub("real"));
        const std::string held = dir.sub("real/lockfile");
        const std::string other = dir.sub("real/other");
        boost::any none;
        CCacheFileIO holder(none);
        CZoError err = holder.CreateAndLockFile(held);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_FALSE(OtherProcessCanLock(held));

        if (c.second != Second::None) {
            if (c.second == Second::HardLink) {
                ASSERT_EQ(0, ::link(held.c_str(), other.c_str()));
            }
            CHeldLockFile::TEST_SetBeforeOpen([&](const std::string& path) {
                if (c.second != Second::ReplacedBeforeOpen || path != other) return;
                EXPECT_EQ(0, ::link(held.c_str(), dir.sub("real/link").c_str()));
                EXPECT_EQ(0, ::rename(dir.sub("real/link").c_str(), other.c_str()));
            });
            {
                CCacheFileIO second(none);
                CZoError secondErr = second.CreateAndLockFile(other);
                EXPECT_TRUE(FXErrorUtil::IsInt(secondErr, LBCError::kLockedByAnotherHost)) << secondErr.AsString();
                EXPECT_NE(std::string::npos, secondErr.AsString().find("held by this process"))
                    << secondErr.AsString();
                EXPECT_FALSE(second.ReleaseLockFile().IsError());
            }
            CHeldLockFile::TEST_SetBeforeOpen(nullptr);
            EXPECT_FALSE(OtherProcessCanLock(held)) << "the second request dropped the holder's lock";
        }

        ASSERT_FALSE(holder.ReleaseLockFile().IsError());
        EXPECT_TRUE(OtherProcessCanLock(held));
        {
            // Another process's lock keeps this one out.
            ForkedLockHolder otherHost(held);
            ASSERT_TRUE(otherHost.Locked());
            CCacheFileIO next(none);
            CZoError taken = next.CreateAndLockFile(held);
            EXPECT_TRUE(FXErrorUtil::IsInt(taken, LBCError::kLockedByAnotherHost)) << taken.AsString();
            EXPECT_EQ(std::string::npos, taken.AsString().find("not held by another host")) << taken.AsString();
        }
    }
    log.Uninstall();
    EXPECT_EQ(1u, log->CountAny("refused an open-file-description lock"));
    EXPECT_EQ(1u, log->CountAny("(Invalid argument)"));
}

// ---- copies and moves between two objects

TEST(CacheFileIOCopy, CopyGivesTheSourceBytesExactlyWhateverTheDestinationHeld) {
    std::string source;
    for (int i = 0; i < 200000; ++i) source.push_back(static_cast<char>('a' + i % 26));
    std::string stale(300000, 'Z');

    for (bool srcRemote : {false, true}) {
        for (bool dstRemote : {false, true}) {
            SCOPED_TRACE(testing::Message() << "source remote " << srcRemote << ", destination remote " << dstRemote);
            TempDir dir;
            TestLocation src = TestLocation::Make(dir, srcRemote, "src");
            TestLocation dst = TestLocation::Make(dir, dstRemote, "dst");
            if (srcRemote && dstRemote) src.backing = dst.backing;  // one served volume
            std::string dstRel = srcRemote && dstRemote ? "copy.db" : "a.db";
            WriteWholeFile(src.Local("a.db"), source);
            WriteWholeFile(dst.Local(dstRel), stale);
            CZoError err = CCacheFileIO::Copy(src.Path("a.db"), dst.Path(dstRel), src.NewIO(), dst.NewIO(), 0);
            ASSERT_FALSE(err.IsError()) << err.AsString();
            EXPECT_TRUE(ReadWholeFile(dst.Local(dstRel)) == source);

            WriteWholeFile(src.Local("empty.db"), "");
            ASSERT_FALSE(
                CCacheFileIO::Copy(src.Path("empty.db"), dst.Path("e2.db"), src.NewIO(), dst.NewIO(), 0).IsError());
            EXPECT_TRUE(Exists(dst.Local("e2.db")));
            EXPECT_EQ(0, FileSize(dst.Local("e2.db")));
            EXPECT_EQ(0, LoopbackFS::TEST_OpenFileCount(TestLocation::kHost));
            LoopbackFS::TEST_Reset();
        }
    }
}

TEST(CacheFileIOCopy, FailedStreamedCopyClosesBothFiles) {
    TempDir dir;
    TestLocation src = TestLocation::Make(dir, false, "src");
    TestLocation dst = TestLocation::Make(dir, true, "dst");
    WriteWholeFile(src.Local("a.db"), std::string(100000, 'q'));

    LoopbackFS::TEST_SetMaxTransfer(TestLocation::kHost, 1000);
    CZoError shortWrite = CCacheFileIO::Copy(src.Path("a.db"), dst.Path("a.db"), src.NewIO(), dst.NewIO(), 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(shortWrite, LBCError::kShortCopy)) << shortWrite.AsString();
    EXPECT_EQ(0, LoopbackFS::TEST_OpenFileCount(TestLocation::kHost));

    LoopbackFS::TEST_SetMaxTransfer(TestLocation::kHost, 0);
    LoopbackFS::TEST_FailNextWrites(TestLocation::kHost, 1);
    CZoError failedWrite = CCacheFileIO::Copy(src.Path("a.db"), dst.Path("b.db"), src.NewIO(), dst.NewIO(), 0);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(failedWrite, EIO)) << failedWrite.AsString();
    EXPECT_EQ(0, LoopbackFS::TEST_OpenFileCount(TestLocation::kHost));

    // The source is read remotely as well.
    CZoError missing = CCacheFileIO::Copy(dst.Path("none.db"), src.Path("none.db"), dst.NewIO(), src.NewIO(), 0);
    EXPECT_TRUE(missing.IsError());
    EXPECT_FALSE(Exists(src.Local("none.db")));
    LoopbackFS::TEST_Reset();
}

TEST(CacheFileIOCopy, MoveBetweenLocalAndRemoteIsRefusedAndMovesNothing) {
    TempDir dir;
    TestLocation local = TestLocation::Make(dir, false, "local");
    TestLocation remote = TestLocation::Make(dir, true, "remote");
    WriteWholeFile(local.Local("a.db"), "a");
    WriteWholeFile(remote.Local("b.db"), "b");

    CZoError err = CCacheFileIO::Move(local.Path("a.db"), remote.Path("a.db"), local.NewIO(), remote.NewIO(), 1);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kMoveAcrossLocationsRefused));
    EXPECT_NE(std::string::npos, err.AsString().find("Move operation between local and remote paths is not supported"));
    err = CCacheFileIO::Move(remote.Path("b.db"), local.Path("b.db"), remote.NewIO(), local.NewIO(), 1);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kMoveAcrossLocationsRefused));
    EXPECT_TRUE(Exists(local.Local("a.db")));
    EXPECT_TRUE(Exists(remote.Local("b.db")));
    EXPECT_FALSE(Exists(remote.Local("a.db")));
    EXPECT_FALSE(Exists(local.Local("b.db")));

    ASSERT_FALSE(
        CCacheFileIO::Move(remote.Path("b.db"), remote.Path("c.db"), remote.NewIO(), remote.NewIO(), 1).IsError());
    EXPECT_EQ("b", ReadWholeFile(remote.Local("c.db")));
    LoopbackFS::TEST_Reset();
}

// ---- the remote road only

class CacheFileIORemote : public testing::Test {
protected:
    void SetUp() override {
        loc = TestLocation::Make(dir, true);
        io = loc.NewIO();
    }
    void TearDown() override { LoopbackFS::TEST_Reset(); }

    TempDir dir;
    TestLocation loc;
    CCacheFileIOPtr io;
};

TEST_F(CacheFileIORemote, DisconnectedClientFailsEveryCallUntilReconnected) {
    ASSERT_FALSE(io->CreateOpenFileForWrite(loc.Path("f.cache")).IsError());
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    EXPECT_FALSE(io->IsConnected());

    char byte = 'x';
    unsigned long done = 0;
    EXPECT_TRUE(io->Write(&byte, 1, &done).IsError());
    bool exists = true;
    EXPECT_TRUE(io->IsExists(loc.Path("f.cache"), exists).IsError());
    EXPECT_TRUE(io->CreateFolder(loc.Path("d"), true).IsError());
    unsigned long long size = 0;
    EXPECT_TRUE(io->FolderSize(loc.root, size).IsError());
    std::list<std::string> files;
    EXPECT_TRUE(io->GetMatchingFiles(loc.root, "*", files).IsError());
    EXPECT_TRUE(io->CreateAndLockFile(loc.Path("lockfile")).IsError());
    EXPECT_FALSE(Exists(loc.Local("d")));

    LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);
    EXPECT_TRUE(io->IsConnected());
    ASSERT_FALSE(io->CreateOpenFileForWrite(loc.Path("f.cache")).IsError());
    ASSERT_FALSE(io->Write(&byte, 1, &done).IsError());
    EXPECT_FALSE(io->Close().IsError());
    EXPECT_EQ("x", ReadWholeFile(loc.Local("f.cache")));
}

// After the lock the remote form looks whether the file is still at its path.
// Only a file that is gone was "deleted while it was being locked" (14); a
// look that could not be taken fails with its own error, not as a lock held
// by another host. Either way the call leaves the file neither locked nor open.
TEST_F(CacheFileIORemote, AFailureAfterTheLockIsReportedAsWhatItIs) {
    const std::string path = loc.Path("lockfile");
    const std::string local = loc.Local("lockfile");
    const struct {
        const char* name;
        std::function<void()> afterLock;
        int errNo;  // 0: the file vanished
    } cases[] = {
        {"the file vanished", [&local]() { ::unlink(local.c_str()); }, 0},
        {"an I/O error", []() { LoopbackFS::TEST_FailNextExists(TestLocation::kHost, 1, EIO); }, EIO},
        {"the server gone", []() { LoopbackFS::TEST_SetConnected(TestLocation::kHost, false); }, ENOTCONN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackFS::TEST_SetLockHook(TestLocation::kHost, c.afterLock);
        CZoError err = io->CreateAndLockFile(path);
        LoopbackFS::TEST_SetLockHook(TestLocation::kHost, nullptr);
        LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);

        ASSERT_TRUE(err.IsError());
        const bool deletedText = err.AsString().find("was deleted while it was being locked") != std::string::npos;
        if (c.errNo == 0) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
            EXPECT_TRUE(deletedText) << err.AsString();
        } else {
            EXPECT_TRUE(FXErrorUtil::IsErrNo(err, c.errNo)) << err.AsString();
            EXPECT_FALSE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
            EXPECT_FALSE(deletedText) << err.AsString();
        }
        EXPECT_EQ(0, LoopbackFS::TEST_OpenFileCount(TestLocation::kHost));
        CCacheFileIOPtr next = loc.NewIO();
        CZoError taken = next->CreateAndLockFile(path);
        EXPECT_FALSE(taken.IsError()) << "the lock was left held: " << taken.AsString();
        EXPECT_FALSE(next->ReleaseLockFile().IsError());
    }
}

TEST_F(CacheFileIORemote, TransfersOf4GiBOrMorePassTheLow32BitsOfTheLength) {
    ASSERT_FALSE(io->CreateOpenFileForWrite(loc.Path("big.cache")).IsError());
    char bytes[8] = {'0', '1', '2', '3', '4', '5', '6', '7'};
    unsigned long done = 0;
    ASSERT_FALSE(io->Write(bytes, (1UL << 32) + 5, &done).IsError());
    EXPECT_EQ(5u, done);
    EXPECT_FALSE(io->Close().IsError());
    EXPECT_EQ("01234", ReadWholeFile(loc.Local("big.cache")));

    ASSERT_FALSE(io->OpenFileForRead(loc.Path("big.cache")).IsError());
    char back[8] = {};
    ASSERT_FALSE(io->Read(back, (1UL << 32) + 3, &done).IsError());
    EXPECT_EQ(3u, done);
    EXPECT_EQ("012", std::string(back, 3));
}

TEST_F(CacheFileIORemote, AFactoryThatYieldsNothingMakesTheConstructorFail) {
    for (int which = 0; which < 2; ++which) {
        LoopbackFS::TEST_SetFactoriesReturnNothing(which == 0, which == 1);
        boost::any info = loc.info;
        try {
            CCacheFileIO failed(info);
            ADD_FAILURE() << "constructed without an FS client object";
        } catch (const CZoError& err) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNoFileSystemObject)) << err.AsString();
        }
        // GetFileIO of a working object fails the same way.
        EXPECT_THROW(io->GetFileIO(), CZoError);
    }
    LoopbackFS::TEST_SetFactoriesReturnNothing(false, false);
    EXPECT_TRUE(io->GetFileIO()->IsRemote());
}

TEST(CacheFileIOConstruction, AnInformationOfAnotherKindIsRejected) {
    boost::any wrong = std::string("IP|1|2|h|3|/vol");
    EXPECT_THROW(CCacheFileIO io(wrong), boost::bad_any_cast);
}

// ---- texts and tables

TEST(CacheFileIOTables, ConvertPathKeepsTheTextAfterTheLastBar) {
    EXPECT_EQ("/vol/cache/DATA/a.cache", CCacheFileIO::ConvertPath("IP|1|2|srv|3|/vol/cache/DATA/a.cache"));
    EXPECT_EQ("/local/DATA/a.cache", CCacheFileIO::ConvertPath("/local/DATA/a.cache"));
    EXPECT_EQ("", CCacheFileIO::ConvertPath("a|"));
}

TEST(CacheFileIOTables, FlagsAndModes) {
    EXPECT_EQ(0, CCacheFileIO::toFlags(static_cast<int>(GENERIC_READ)));
    EXPECT_EQ(0, CCacheFileIO::toFlags(static_cast<int>(GENERIC_READ | GENERIC_WRITE)));
    EXPECT_EQ(1, CCacheFileIO::toFlags(static_cast<int>(GENERIC_WRITE)));
    EXPECT_EQ(2, CCacheFileIO::toFlags(0));
    struct {
        int share, mode;
    } modes[] = {{0, 0}, {1, 4}, {2, 2}, {3, 6}, {4, 2}, {6, 2}, {7, 6}};
    for (const auto& m : modes) EXPECT_EQ(m.mode, CCacheFileIO::toMode(m.share)) << "share " << m.share;
}

}  // namespace

namespace {

// In a child whose descriptors have run out (a real RLIMIT_NOFILE), the lock
// file cannot be opened: the code stays 14, and the message says why instead
// of passing it for another host's lock. 'L' locked, 'H' blamed on another
// host, 'R' the real reason named, 'X' the descriptors could not be used up.
char LockWithoutDescriptors(const std::string& path) {
    // The channel is open before the descriptors run out.
    ForkedChild child([&path](ForkedChild& self) {
        struct rlimit limit = {64, 64};
        char c = 'X';
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            while (::open("/dev/null", O_RDONLY) >= 0) {
            }
            if (errno == EMFILE) {
                boost::any local;
                CCacheFileIO io(local);
                CZoError err = io.CreateAndLockFile(path);
                const std::string text = err.AsString();
                if (!err.IsError())
                    c = 'L';
                else if (FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost) &&
                         text.find("not held by another host") != std::string::npos &&
                         text.find("ErrNo error 24") != std::string::npos)
                    c = 'R';
                else
                    c = 'H';
            }
        }
        return self.Send(c) ? 0 : 1;
    });
    char c = 'X';
    if (!child.Started() || !child.Receive(c)) c = 'X';
    return c;
}

TEST(CacheFileIOLockTest, LockFileThatCannotBeOpenedForWantOfDescriptorsSaysSo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Their runtimes open files of their own while they check a call.
    GTEST_SKIP() << "a sanitizer runtime cannot run without descriptors";
#endif
    TempDir dir;
    EXPECT_EQ('R', LockWithoutDescriptors(dir.sub("lockfile")));
}

// A child forked without exec shares the holder's descriptor, and so its
// lock: what the child does with the holder it inherited (release it, destroy
// it) leaves the parent's lock in place.
TEST(CacheFileIOLock, AForkedChildLettingGoOfTheInheritedHolderLeavesTheParentsLock) {
    TempDir dir;
    const std::string path = dir.sub("lockfile");
    boost::any none;
    CCacheFileIOPtr holder = boost::make_shared<CCacheFileIO>(none);
    ASSERT_FALSE(holder->CreateAndLockFile(path).IsError());
    {
        ForkedChild child([&holder](ForkedChild&) {
            const bool refused = holder->ReleaseLockFile().IsError();
            holder.reset();
            return refused ? 0 : 1;
        });
        ASSERT_TRUE(child.Started());
        const int status = child.Wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status)) << "the child's release was not refused";
    }
    EXPECT_FALSE(OtherProcessCanLock(path)) << "the parent's lock went with the child's copy";
    EXPECT_FALSE(holder->ReleaseLockFile().IsError());
    EXPECT_TRUE(OtherProcessCanLock(path));
}

}  // namespace
