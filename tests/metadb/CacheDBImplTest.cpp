// Staging, write-back and the host lock file of one afile's database, on a
// local location and behind the loopback data server.

#include "CacheDBTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"

#include <sys/time.h>

#include <vector>

namespace {

class CacheDBImplTest : public AdapterTest<812> {};

TEST_P(CacheDBImplTest, StagesTheDbFilesUnderTheLockAndWritesThemBackWhenDestroyed) {
    WriteWholeFile(Remote("afile_cache.db"), "remote copy");
    WriteWholeFile(Remote("other.db"), "second database");
    WriteWholeFile(Remote("notes.txt"), "not a database");
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        CZoError err = impl->Initialize(true, true);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_TRUE(impl->IsStaged());
        EXPECT_TRUE(impl->HoldsLockFile());
        EXPECT_EQ("remote copy", ReadWholeFile(Staged("afile_cache.db")));
        EXPECT_EQ("second database", ReadWholeFile(Staged("other.db")));
        EXPECT_FALSE(Exists(Staged("notes.txt")));
        EXPECT_TRUE(Exists(Remote("lockfile")));
        EXPECT_FALSE(f.OthersCanLock(kAfile));
        EXPECT_EQ(1u, f.log->Count(0, "Staging DB from remote [" + f.AfileFolder(kAfile) + "] -> ["));

        // What the engine would have written meanwhile.
        WriteWholeFile(Staged("afile_cache.db"), "changed locally");
    }
    EXPECT_EQ("changed locally", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_EQ("second database", ReadWholeFile(Remote("other.db")));
    EXPECT_EQ("not a database", ReadWholeFile(Remote("notes.txt")));
    // The upload folder is the sibling "<folder>.upload" and is gone again.
    EXPECT_FALSE(Exists(f.LocalAfileFolder(kAfile) + ".upload"));
    EXPECT_FALSE(Exists(f.StageFolder(kAfile)));
    EXPECT_TRUE(Exists(Remote("lockfile")));
    EXPECT_TRUE(f.OthersCanLock(kAfile));
    EXPECT_EQ(1u, f.log->Count(0, "Syncing DB to remote temp: ["));
    EXPECT_EQ(1u, f.log->Count(0, "Finalizing remote DB: [" + f.AfileFolder(kAfile) + ".upload] -> [" +
                                      f.AfileFolder(kAfile) + "]"));
}

TEST_P(CacheDBImplTest, LockHeldElsewhereStagesNothingAndDestructionTouchesNothing) {
    WriteWholeFile(Remote("afile_cache.db"), "remote copy");
    OtherHostLock other(f, kAfile);
    ASSERT_TRUE(other.Locked());
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        CZoError err = impl->Initialize(true, true);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
        EXPECT_FALSE(impl->IsStaged());
        EXPECT_FALSE(impl->HoldsLockFile());
        EXPECT_FALSE(Exists(Staged("afile_cache.db")));
        // Acquiring again is not refused as "already held by this object".
        EXPECT_TRUE(FXErrorUtil::IsInt(impl->AcquireLockFile(), LBCError::kLockedByAnotherHost));
    }
    EXPECT_EQ("remote copy", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_EQ(0u, f.log->Count(0, "Syncing DB to remote temp"));
    other.Release();
    EXPECT_TRUE(f.OthersCanLock(kAfile));
}

TEST_P(CacheDBImplTest, LockFileRequestsOfOneObject) {
    boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
    // Never taken: release and delete succeed and touch nothing.
    WriteWholeFile(Remote("lockfile"), "");
    EXPECT_FALSE(impl->ReleaseLockFile().IsError());
    EXPECT_FALSE(impl->DeleteLockFile().IsError());
    EXPECT_TRUE(Exists(Remote("lockfile")));

    ASSERT_FALSE(impl->AcquireLockFile().IsError());
    CZoError again = impl->AcquireLockFile();
    EXPECT_TRUE(FXErrorUtil::IsInt(again, LBCError::kLockedByAnotherHost));
    EXPECT_FALSE(f.OthersCanLock(kAfile));

    EXPECT_FALSE(impl->ReleaseLockFile().IsError());
    EXPECT_FALSE(impl->HoldsLockFile());
    EXPECT_TRUE(Exists(Remote("lockfile")));
    EXPECT_TRUE(f.OthersCanLock(kAfile));
    // Released once, never taken again by the same object.
    EXPECT_TRUE(FXErrorUtil::IsInt(impl->AcquireLockFile(), LBCError::kLockedByAnotherHost));
    EXPECT_TRUE(f.OthersCanLock(kAfile));

    EXPECT_FALSE(impl->DeleteLockFile().IsError());
    EXPECT_FALSE(Exists(Remote("lockfile")));
}

TEST_P(CacheDBImplTest, EmptyAfileFolderGivesAFreshDatabaseThatIsWrittenBack) {
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        EXPECT_TRUE(impl->IsStaged());
        EXPECT_TRUE(Exists(f.StageFolder(kAfile)));
        ASSERT_FALSE(impl->Open().IsError());
        ASSERT_FALSE(impl->AddExtent(TestExtent(kAfile, 4096)).IsError());
    }
    EXPECT_EQ(1, CountRows(Remote("afile_cache.db"), "Extents"));
}

TEST_P(CacheDBImplTest, StageWithoutSyncLocationStagesNothing) {
    boost::shared_ptr<SQLiteAdapter> impl = boost::make_shared<SQLiteAdapter>(f.StageFolder(kAfile), "afile_cache");
    EXPECT_FALSE(impl->Initialize(true, false).IsError());
    EXPECT_FALSE(impl->IsStaged());
    EXPECT_EQ(0u, f.log->Count(0, "Staging DB from remote"));
}

TEST_P(CacheDBImplTest, StaleLeftoversNeverReachTheDatabase) {
    WriteWholeFile(Remote("afile_cache.db"), "fresh");
    // A hot journal and an old copy of an earlier run in the staging folder,
    // and an interrupted upload with a longer copy and a stray database.
    MakeFolders(f.StageFolder(kAfile));
    WriteWholeFile(Staged("afile_cache.db-journal"), "stale journal");
    WriteWholeFile(Staged("old.db"), "stale database");
    const std::string upload = f.LocalAfileFolder(kAfile) + ".upload";
    MakeFolders(upload);
    WriteWholeFile(upload + "/afile_cache.db", "a much longer stale upload copy");
    WriteWholeFile(upload + "/stray.db", "stray");
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        EXPECT_EQ("fresh", ReadWholeFile(Staged("afile_cache.db")));
        EXPECT_FALSE(Exists(Staged("afile_cache.db-journal")));
        EXPECT_FALSE(Exists(Staged("old.db")));
        WriteWholeFile(Staged("afile_cache.db"), "new");
    }
    EXPECT_EQ("new", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_FALSE(Exists(Remote("stray.db")));
    EXPECT_FALSE(Exists(upload));
}

TEST_P(CacheDBImplTest, FailedCopyIntoUploadFolderKeepsTheCacheCopy) {
    WriteWholeFile(Remote("afile_cache.db"), "before");
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        WriteWholeFile(Staged("afile_cache.db"), "after");
        if (f.location.remote)
            LoopbackFS::TEST_FailNextWrites(TestLocation::kHost, 1000);
        else  // a file where the upload folder belongs: neither removed nor written into
            WriteWholeFile(f.LocalAfileFolder(kAfile) + ".upload", "in the way");
    }
    if (f.location.remote) LoopbackFS::TEST_FailNextWrites(TestLocation::kHost, 0);
    EXPECT_EQ("before", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_FALSE(Exists(f.StageFolder(kAfile)));
    EXPECT_EQ(1u, f.log->Count(-1, "Int error 18: error="));
    EXPECT_TRUE(f.OthersCanLock(kAfile));
}

TEST_P(CacheDBImplTest, MissingStagedFolderAtWriteBackIsAnErrorNotSuccess) {
    WriteWholeFile(Remote("afile_cache.db"), "before");
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        ASSERT_FALSE(FXFile::RemoveFolder(f.StageFolder(kAfile), 0).IsError());
        CZoError err = impl->SyncToRemote();
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kStagedDatabaseMissing)) << err.AsString();
        f.log->Clear();
    }
    // The destructor reports the same failure.
    EXPECT_EQ(1u, f.log->Count(-1, "not written back"));
    EXPECT_EQ("before", ReadWholeFile(Remote("afile_cache.db")));
}

// An object that staged nothing may be looking at another object's files.
TEST_P(CacheDBImplTest, AnUnstagedObjectDiscardsNothing) {
    MakeFolders(f.StageFolder(kAfile));
    WriteWholeFile(Staged("afile_cache.db"), "another object's copy");
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(false, false).IsError());
        impl->DiscardStagedCopy();
    }
    EXPECT_EQ("another object's copy", ReadWholeFile(Staged("afile_cache.db")));
}

TEST_P(CacheDBImplTest, DiscardedStagedCopyIsNotWrittenBackButTheLockIsReleased) {
    WriteWholeFile(Remote("afile_cache.db"), "corrupt bytes");
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        impl->DiscardStagedCopy();
        EXPECT_FALSE(impl->IsStaged());
        EXPECT_FALSE(Exists(f.StageFolder(kAfile)));
    }
    EXPECT_EQ("corrupt bytes", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_EQ(0u, f.log->Count(0, "Syncing DB to remote temp"));
    EXPECT_TRUE(f.OthersCanLock(kAfile));
}

// What each delay point sees of the files as it fires.
TEST_P(CacheDBImplTest, DelayPointsFireAtTheirStepsOnce) {
    WriteWholeFile(Remote("afile_cache.db"), "old");
    for (const auto& point : g_mapSimulationInfo)
        XKPlatformInfo::TEST_SetNumber("VirtualServer\\LiveBrowseCache\\Debug", point.second.name, 7);
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());

    const std::string upload = f.LocalAfileFolder(kAfile) + ".upload";
    std::vector<std::string> seen;
    std::vector<uint32_t> chunks;
    DebugSimulation::TEST_SetSleepFunction([&](uint32_t ms) {
        chunks.push_back(ms);
        if (ms != 5000) return;  // each point sleeps 5 s, then 2 s
        seen.push_back(std::string(Exists(Remote("lockfile")) ? "lockfile" : "-") + "," +
                       (Exists(upload + "/afile_cache.db") ? "uploaded" : "-") + "," +
                       ReadWholeFile(Remote("afile_cache.db")));
    });
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        ASSERT_FALSE(impl->ReleaseLockFile().IsError());
        boost::shared_ptr<SQLiteAdapter> second = MakeImpl();
        ASSERT_FALSE(second->Initialize(false, true).IsError());  // disarmed: no delay
        WriteWholeFile(Staged("afile_cache.db"), "new");
        impl.reset();  // released its lock: writes nothing back
        second.reset();
    }
    EXPECT_EQ(4u, chunks.size());  // two points fired: 5 s + 2 s each
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("-,-,old", seen[0]);         // before the lock file is made
    EXPECT_EQ("lockfile,-,old", seen[1]);  // after it was taken
    EXPECT_EQ(1u, f.log->Count(0, "Sleeping for delay simulation InsertDelayBeforeAcquireLock for 7 seconds"));
    EXPECT_EQ(1u, f.log->Count(0, "Done with InsertDelayAfterAcquireLock"));

    // The write-back points, with a container that keeps its lock.
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());
    seen.clear();
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        WriteWholeFile(Staged("afile_cache.db"), "new");
    }
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ("lockfile,-,old", seen[2]);         // before the upload copy
    EXPECT_EQ("lockfile,uploaded,old", seen[3]);  // copied, not yet moved
    EXPECT_EQ("new", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_EQ(1u, f.log->Count(0, "Done with InsertDelayBeforeSyncToRemote"));
    EXPECT_EQ(1u, f.log->Count(0, "Done with InsertDelayAfterCopyToRemoteTemp"));
}

INSTANTIATE_TEST_SUITE_P(Locations, CacheDBImplTest, ::testing::Bool(), LocationName);

}  // namespace
