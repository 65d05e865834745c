// Pruning one VM job: lock file, database file, "pruned." rename, the data
// pool's deletion and the completion's clean-up, on real folders and locks.

#include "pruning/PruningTestSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheSyncObject.h"

#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>

using namespace pruning_test;

namespace {

// Whether a Writer at the location would see the VM as being pruned now.
bool InPruning(PruningLocation& location, long long afile) {
    VMPtr vm = boost::make_shared<VM>(PruningLocation::Job(afile));
    const std::string at = location.cache->GetCacheDataFolderPath();
    return CCacheSyncObject::Execute([&vm, &at] { return CCacheSyncObject::IsVMInPruning(vm, at); });
}

// Whether this process holds the capability of that number (capabilities(7)).
bool HasCapability(int capability) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 7, "CapEff:") != 0) continue;
        const unsigned long long effective = std::stoull(line.substr(7), nullptr, 16);
        return (effective >> capability) & 1;
    }
    return false;
}

// Marks a file immutable for its lifetime (a rename of it then fails with
// EPERM, even for root); Active() is false where it cannot, and WhyNot() says
// why.
class ImmutableFile {
public:
    explicit ImmutableFile(const std::string& path) : path(path) {
        active = Set(true);
        if (!active) error = errno;
    }
    ~ImmutableFile() {
        if (active) Set(false);
    }
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;

    bool Active() const { return active; }
    std::string WhyNot() const {
        if (error == EPERM && !HasCapability(CAP_LINUX_IMMUTABLE))
            return "marking a file immutable needs CAP_LINUX_IMMUTABLE, which this process lacks (root has it)";
        return std::string("the file system cannot mark a file immutable here: ") + std::strerror(error);
    }
    void Clear() {
        if (active) Set(false);
        active = false;
    }

private:
    bool Set(bool on) {
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    const std::string path;
    bool active = false;
    int error = 0;  // errno of the failed marking
};

class PruneVMJobTest : public ::testing::TestWithParam<bool> {};

TEST_P(PruneVMJobTest, RemovesTheJobsFilesAndFoldersButNotTheBuckets) {
    PruningLocation location(GetParam());
    location.AddJob(812, 8 * kDay);
    location.AddJob(813, 9 * kDay, Payload(100, 2));
    CachePrunerPtr pruner = location.MakePruner();

    long long bytes = 0;
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
    EXPECT_EQ(4096, bytes);
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(813), bytes).IsError());
    EXPECT_EQ(100, bytes);
    pruner->WaitForAllPruningTasks();

    location.ExpectPruned(812);
    location.ExpectPruned(813);
    EXPECT_EQ(2u, location.db.log->Count(2, "Done pruning ["));
    // Writers record locations again: the marks went with the pruning.
    EXPECT_FALSE(InPruning(location, 812));
    EXPECT_FALSE(InPruning(location, 813));
    // The container of the lock request is gone with the clean-up: a new
    // request stages afresh and finds no row.
    EXPECT_EQ(0u, location.db.top->TEST_ContainerCount());
    VM row = PruningLocation::Job(812);
    EXPECT_TRUE(FXErrorUtil::IsInt(location.db.top->GetVMJob(row), LBCError::kNotFound));
}

TEST_P(PruneVMJobTest, ALockFileHeldElsewhereIsASkipWithNothingTouched) {
    PruningLocation location(GetParam());
    location.AddJob(812, 30 * kDay);
    OtherHostLock other(location.db, 812);
    ASSERT_TRUE(other.Locked());
    CachePrunerPtr pruner = location.MakePruner();

    long long bytes = 0;
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
    pruner->WaitForAllPruningTasks();

    EXPECT_EQ(4096, bytes);  // a skipped job still counts with its size
    EXPECT_EQ(1u, location.db.log->Count(2, "is in use. Skipping pruning for it."));
    location.ExpectUntouched(812);
    EXPECT_TRUE(Exists(location.LockFile(812)));
    EXPECT_EQ(0u, location.db.top->TEST_ContainerCount());
}

TEST_P(PruneVMJobTest, AMissingFlatFileStillLosesItsDatabaseAndFolders) {
    PruningLocation location(GetParam());
    location.AddJob(812, 8 * kDay);
    ASSERT_EQ(0, ::unlink(location.FlatFile(812).c_str()));
    CachePrunerPtr pruner = location.MakePruner();

    long long bytes = 0;
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
    pruner->WaitForAllPruningTasks();

    EXPECT_EQ(0, bytes);
    EXPECT_EQ(1u, location.db.log->Count(2, "No pruning needed. Cache file ["));
    EXPECT_EQ(1u, location.db.log->Count(2, "Done pruning ["));
    location.ExpectPruned(812);
}

TEST_P(PruneVMJobTest, ADatabaseFileAlreadyGoneCountsAsRemoved) {
    PruningLocation location(GetParam());
    location.AddJob(812, 8 * kDay);
    ASSERT_EQ(0, ::unlink(location.DBFile(812).c_str()));
    CachePrunerPtr pruner = location.MakePruner();

    long long bytes = 0;
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
    pruner->WaitForAllPruningTasks();

    EXPECT_EQ(0u, location.db.log->Count(-1, "Failed to submit"));
    location.ExpectPruned(812);
}

// A folder that cannot be removed ends the clean-up, but the lock file is
// released all the same: another holder of the afile's container (here the
// test, as a request that reached it would) must not keep other hosts out.
TEST_P(PruneVMJobTest, AFolderThatCannotBeRemovedStillReleasesTheLock) {
    for (bool dataFolder : {true, false}) {
        SCOPED_TRACE(dataFolder ? "data folder" : "database folder");
        PruningLocation location(GetParam());
        location.AddJob(812, 8 * kDay);
        const std::string stuck = (dataFolder ? location.DataFolder(812) : location.DBFolder(812)) + "/stuck";
        WriteWholeFile(stuck, "x");
        ImmutableFile pinned(stuck);
        if (!pinned.Active()) GTEST_SKIP() << pinned.WhyNot();
        CacheDBPtr held;
        ASSERT_FALSE(location.db.top->GetCacheDB(PruningLocation::Job(812), held, false, false).IsError());
        CachePrunerPtr pruner = location.MakePruner();

        long long bytes = 0;
        ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
        pruner->WaitForAllPruningTasks();

        EXPECT_EQ(1u, location.db.log->Count(-1, "Failed to clean up after pruning ["));
        EXPECT_FALSE(Exists(location.PrunedFile(812)));
        EXPECT_FALSE(InPruning(location, 812));
        EXPECT_TRUE(location.db.OthersCanLock(812));
        pinned.Clear();
    }
}

// The VM row cannot be written (another connection holds the write lock of
// the database the afile's lock request opened): by then the database file
// is gone and the flat file renamed, so no later pass would list the job;
// the prune goes on and leaves nothing behind.
TEST_P(PruneVMJobTest, ARowUpdateRefusedByABusyDatabaseLeavesNothingBehind) {
    PruningLocation location(GetParam());
    location.AddJob(812, 8 * kDay);
    CacheDBPtr held;
    ASSERT_FALSE(location.db.top->GetCacheDB(PruningLocation::Job(812), held, false, false).IsError());
    // The lock-only container works in a scratch folder of its own beside
    // the afile's staging folder.
    std::string opened;
    const std::string stage = location.db.StageFolder(812);
    std::string parent = stage.substr(0, stage.rfind('/'));
    const std::string prefix = stage.substr(parent.size() + 1) + ".pruner-";
    for (const auto& entry : std::filesystem::directory_iterator(parent))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) opened = entry.path().string() + "/afile_cache.db";
    ASSERT_TRUE(Exists(opened)) << opened;
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(opened.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    held.reset();
    CachePrunerPtr pruner = location.MakePruner();

    long long bytes = 0;
    CZoError err = pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes);
    pruner->WaitForAllPruningTasks();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(Exists(location.PrunedFile(812)));
    location.ExpectPruned(812);
    EXPECT_EQ(1u, location.db.log->Count(2, "Done pruning ["));
    EXPECT_EQ(1u, location.db.log->Count(-1, "Failed to clear the validity GUID of ["));
}

INSTANTIATE_TEST_SUITE_P(Locations, PruneVMJobTest, ::testing::Bool(), LocationName);

TEST(PruneVMJobInUseTest, ARefusedRenameSkipsAfterTheDatabaseAndReleasesTheLock) {
    PruningLocation location;
    location.AddJob(812, 8 * kDay);
    ImmutableFile pinned(location.FlatFile(812));
    if (!pinned.Active()) GTEST_SKIP() << pinned.WhyNot();
    CachePrunerPtr pruner = location.MakePruner();

    long long bytes = 0;
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
    pruner->WaitForAllPruningTasks();

    EXPECT_EQ(1u, location.db.log->Count(2, "is in use. Skipping pruning for it."));
    EXPECT_FALSE(Exists(location.DBFile(812)));
    EXPECT_FALSE(Exists(location.LockFile(812)));
    EXPECT_TRUE(Exists(location.FlatFile(812)));
    EXPECT_FALSE(Exists(location.PrunedFile(812)));
    EXPECT_EQ(0u, location.db.top->TEST_ContainerCount());
    EXPECT_FALSE(InPruning(location, 812));

    // Released, not only deleted: the next attempt takes the lock again and
    // finishes the job once the file can be moved.
    pinned.Clear();
    ASSERT_FALSE(pruner->SubmitVMJobForPruning(PruningLocation::Job(812), bytes).IsError());
    pruner->WaitForAllPruningTasks();
    location.ExpectPruned(812);
}

}  // namespace
