// Who owns what in the local staging area: containers of one afile copy at
// two cache locations (in this process or in two processes of the host), and
// containers made only to hold the pruner's lock, never touch each other's
// staged databases.

#include "CacheDBTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "support/ChildProcess.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <future>
#include <string>

namespace {

const long long kAfile = 812;

class CacheDBStagingTest : public ::testing::Test {
protected:
    CacheDBStagingTest() : f(false), other(TestLocation::Make(f.dir, false, "other")) { f.Open(); }

    // A top-level container over the other location, sharing this test's
    // job results folder and so its staging area.
    CacheDBPtr MakeOtherTop() {
        CacheDBPtr db = boost::make_shared<CacheDB>(CacheDB::DB_TYPE_SQLITE, other.Path("DB"), other.Path("DB"),
                                                    false, true);
        db->SetRemoteFileIO(other.NewIO());
        CZoError err = db->Initialize();
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return db;
    }
    std::string OtherDBFile() const {
        std::string path;
        EXPECT_FALSE(CacheNamespace::GenerateAfileDBFolderPath(kAfile, 2, 1, other.Path("DB"), path).IsError());
        return path + "/afile_cache.db";
    }
    // The offsets of the extent rows in a database file, in order.
    static std::string Offsets(const std::string& dbFile) {
        std::string out;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT AfileOffset FROM Extents ORDER BY AfileOffset", -1, &stmt, nullptr) ==
                SQLITE_OK)
                while (sqlite3_step(stmt) == SQLITE_ROW) out += std::to_string(sqlite3_column_int64(stmt, 0)) + ";";
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return out;
    }

    CacheDBFixture f;
    TestLocation other;
};

}  // namespace

TEST_F(CacheDBStagingTest, TwoLocationsOfOneAfileCopyInOneProcessStageApart) {
    CacheDBPtr otherTop = MakeOtherTop();
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 0)).IsError());
    ASSERT_FALSE(otherTop->AddExtent(TestExtent(kAfile, 4096)).IsError());
    std::string otherFolder, otherStage;
    ASSERT_FALSE(CacheNamespace::GenerateAfileDBFolderPath(kAfile, 2, 1, other.Path("DB"), otherFolder).IsError());
    ASSERT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation(otherFolder, other.Path("DB"), otherStage).IsError());
    EXPECT_NE(f.StageFolder(kAfile), otherStage);

    // The first location's container goes while the other one's is open.
    ASSERT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());
    ASSERT_FALSE(otherTop->ReleaseResources({TestVM(kAfile)}).IsError());
    EXPECT_EQ("0;", Offsets(f.LocalDBFile(kAfile)));
    EXPECT_EQ("4096;", Offsets(OtherDBFile()));
    EXPECT_EQ(0u, f.log->Count(-1, "not written back"));
}

// Two top-level containers over one location (two mount-path ids naming one
// folder): one container per afile copy all the same, since no lock file
// keeps two apart inside one process.
TEST_F(CacheDBStagingTest, TopLevelContainersOverOneLocationShareTheAfilesContainer) {
    CacheDBPtr secondTop = f.MakeTop();
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 0)).IsError());
    ASSERT_FALSE(secondTop->AddExtent(TestExtent(kAfile, 4096)).IsError());
    CacheDBPtr first, second;
    ASSERT_FALSE(f.top->GetCacheDB(TestVM(kAfile), first, true, true).IsError());
    ASSERT_FALSE(secondTop->GetCacheDB(TestVM(kAfile), second, true, true).IsError());
    EXPECT_EQ(first, second);
    EXPECT_TRUE(FXErrorUtil::IsInt(secondTop->AcquireLock(TestVM(kAfile)), LBCError::kLockedByAnotherHost))
        << "the pruner meets the lock";
    first.reset();
    second.reset();

    ASSERT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());
    secondTop.reset();
    EXPECT_EQ("0;4096;", Offsets(f.LocalDBFile(kAfile)));
    EXPECT_EQ(0u, f.log->Count(-1, "not written back"));
}

// Another process of this host, whose cache location differs, stages and
// writes back the same afile copy while this process has it staged.
TEST_F(CacheDBStagingTest, AProcessOfAnotherLocationLeavesThisProcessesStagedDatabaseAlone) {
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 0)).IsError());
    ForkedChild other([this](ForkedChild&) {
        CacheDBPtr otherTop = MakeOtherTop();
        return otherTop && !otherTop->AddExtent(TestExtent(kAfile, 4096)).IsError() ? 0 : 1;
    });
    ASSERT_TRUE(other.Started());
    const int status = other.Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 8192)).IsError());

    f.top.reset();
    EXPECT_EQ("0;8192;", Offsets(f.LocalDBFile(kAfile)));
    EXPECT_EQ("4096;", Offsets(OtherDBFile()));
    EXPECT_EQ(0u, f.log->Count(-1, "not written back"));
}

// Another process of the host at this location has the afile copy staged
// and is in the middle of a commit (here a connection of the test's own)
// when the pruner of this process asks for the afile's lock.
TEST_F(CacheDBStagingTest, ALockRequestMeetingABusyStagedDatabaseLeavesItAlone) {
    MakeFolders(f.StageFolder(kAfile));
    const std::string staged = f.StageFolder(kAfile) + "/afile_cache.db";
    sqlite3* committing = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(staged.c_str(), &committing, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                         nullptr));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(committing, "CREATE TABLE Extents (AfileOffset BIGINT)", nullptr, nullptr,
                                      nullptr));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(committing, "BEGIN EXCLUSIVE; INSERT INTO Extents VALUES (0)", nullptr,
                                      nullptr, nullptr));

    CZoError err = f.top->AcquireLock(TestVM(kAfile));
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(Exists(staged));
    EXPECT_FALSE(f.top->ReleaseLock(TestVM(kAfile)).IsError());
    EXPECT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());

    EXPECT_EQ(SQLITE_OK, sqlite3_exec(committing, "INSERT INTO Extents VALUES (4096); COMMIT", nullptr, nullptr,
                                      nullptr));
    sqlite3_close(committing);
    EXPECT_EQ("0;4096;", Offsets(staged));
}

// The pruner's lock-only container: the thread that took the lock clears the
// VM row in a scratch database of the container's own; any other thread is
// refused; nothing of it is left once it is let go.
TEST_F(CacheDBStagingTest, ALockOnlyContainerServesOnlyThePrunersThreadFromAScratchDatabase) {
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 0)).IsError());
    ASSERT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());
    ASSERT_FALSE(Exists(f.StageFolder(kAfile)));

    VM pruned = TestVM(kAfile);
    ASSERT_FALSE(f.top->AcquireLock(pruned).IsError());
    pruned.ValidityGUID.clear();
    ASSERT_FALSE(f.top->UpdateVM(pruned).IsError());
    VM read = TestVM(kAfile);
    ASSERT_FALSE(f.top->GetVMJob(read).IsError());
    EXPECT_EQ("", read.ValidityGUID);
    EXPECT_FALSE(Exists(f.StageFolder(kAfile))) << "the afile's staging folder is not touched";

    const CZoError fromHost = std::async(std::launch::async, [&] {
                                  Extent row(0, 0, 2, 1, 0);
                                  return f.top->GetExtent(KeyOf(TestExtent(kAfile, 0)), row);
                              }).get();
    EXPECT_TRUE(FXErrorUtil::IsInt(fromHost, LBCError::kLockedByAnotherHost)) << fromHost.AsString();
    EXPECT_EQ(1u, f.top->TEST_ContainerCount()) << "the pruner's container and its lock stay";
    EXPECT_FALSE(f.OthersCanLock(kAfile));

    ASSERT_FALSE(f.top->ReleaseLock(pruned).IsError());
    ASSERT_FALSE(f.top->ReleaseResources({pruned}).IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    // The scratch database went with its container; the bucket folder of the
    // earlier staging is all that is left.
    const std::string bucket = f.StageFolder(kAfile).substr(0, f.StageFolder(kAfile).rfind('/'));
    std::string left;
    if (DIR* dir = ::opendir(bucket.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") left += entry->d_name;
        ::closedir(dir);
    }
    EXPECT_EQ("", left);
    // The location's database was never touched.
    EXPECT_EQ("0;", Offsets(f.LocalDBFile(kAfile)));
}
