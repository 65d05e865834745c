// What a container leaves behind and holds while it waits: the lock of its
// lock-file requests, temporary copies of earlier crashes.

#include "CacheDBTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"

#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace {

class CacheDBHousekeepingTest : public AdapterTest<815> {};

// The delay before the lock file is taken must not hold the lock of the
// container's lock-file requests: a release on another thread goes through.
TEST_P(CacheDBHousekeepingTest, DelayBeforeTakingTheLockFileBlocksNoRelease) {
    XKPlatformInfo::TEST_SetNumber("VirtualServer\\LiveBrowseCache\\Debug", "bInsertDelayBeforeAcquireLock", 1);
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());

    boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
    int delays = 0;
    bool releasedDuringDelay = false;
    // Kept outside the delay: a release still waiting ends after it.
    std::future<CZoError> release;
    DebugSimulation::TEST_SetSleepFunction([&](uint32_t) {
        ++delays;
        release = std::async(std::launch::async, [&] { return impl->ReleaseLockFile(); });
        // Generous: it either finishes at once or waits for this very delay.
        releasedDuringDelay = release.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    });
    ASSERT_FALSE(impl->Initialize(true, true).IsError());
    release.wait();
    EXPECT_EQ(1, delays);
    EXPECT_TRUE(releasedDuringDelay);
    EXPECT_TRUE(impl->HoldsLockFile());
}

// The delay before the lock file is taken fires on the first attempt to
// take it, also when the lock is then refused (another process holds it), and
// only once; a second request of an object that already took the lock is
// refused before the delay point.
TEST_P(CacheDBHousekeepingTest, DelayBeforeTakingTheLockFileFiresOnTheFirstAttempt) {
    XKPlatformInfo::TEST_SetNumber("VirtualServer\\LiveBrowseCache\\Debug", "bInsertDelayBeforeAcquireLock", 1);
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    int delays = 0;
    DebugSimulation::TEST_SetSleepFunction([&](uint32_t) { ++delays; });
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());

    {
        ForkedLockHolder other(Remote("lockfile"));
        ASSERT_TRUE(other.Locked());
        boost::shared_ptr<SQLiteAdapter> refused = MakeImpl();
        CZoError err = refused->AcquireLockFile();
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
        EXPECT_EQ(1, delays) << "refused by another process";
        EXPECT_FALSE(bInsertDelayBeforeAcquireLock.load());
        EXPECT_EQ(1u, f.log->Count(0, "Sleeping for delay simulation InsertDelayBeforeAcquireLock for 1 seconds"));
        EXPECT_EQ(1u, f.log->Count(0, "Done with InsertDelayBeforeAcquireLock"));
    }

    boost::shared_ptr<SQLiteAdapter> taker = MakeImpl();
    ASSERT_FALSE(taker->AcquireLockFile().IsError());
    EXPECT_EQ(1, delays) << "later acquisitions do not sleep";
    ASSERT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());
    CZoError err = taker->AcquireLockFile();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
    EXPECT_EQ(1, delays) << "taken before by this object";
    EXPECT_TRUE(bInsertDelayBeforeAcquireLock.load());
}

// Temporary copies that a crash left in the local staging folder or in the
// upload folder go when the afile is next staged or written back (the older
// long names and the short ones). Files of such names in the afile's
// database folder stay: that folder is shared with other hosts, and this
// library never writes temporary copies there.
TEST_P(CacheDBHousekeepingTest, StaleTemporaryCopiesGoOnlyFromTheStagingAndUploadFolders) {
    WriteWholeFile(Remote("afile_cache.db"), "remote copy");
    const std::vector<std::string> stale = {"afile_cache.db.tmp.Ab12Cd", ".tmp.Xy34Zw"};
    const std::string staging = f.StageFolder(kAfile);
    const std::string upload = f.LocalAfileFolder(kAfile) + ".upload";
    MakeFolders(staging);
    for (const std::string& name : stale) {
        WriteWholeFile(Remote(name), "another host's");
        WriteWholeFile(staging + "/" + name, "torn");
    }
    {
        boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
        ASSERT_FALSE(impl->Initialize(true, true).IsError());
        for (const std::string& name : stale) {
            EXPECT_FALSE(Exists(staging + "/" + name)) << name;
            EXPECT_EQ("another host's", ReadWholeFile(Remote(name))) << name;
        }
        EXPECT_EQ("remote copy", ReadWholeFile(staging + "/afile_cache.db"));

        MakeFolders(upload);
        for (const std::string& name : stale) WriteWholeFile(upload + "/" + name, "torn");
    }
    for (const std::string& name : stale) {
        EXPECT_FALSE(Exists(upload + "/" + name)) << name;
        EXPECT_EQ("another host's", ReadWholeFile(Remote(name))) << name;
    }
    EXPECT_FALSE(Exists(upload));
    EXPECT_EQ("remote copy", ReadWholeFile(Remote("afile_cache.db")));
    EXPECT_TRUE(Exists(Remote("lockfile")));
}

// A VM row last written with a time at least a day old (an ageing) leaves
// the written-back database with that time; a row written with the time of
// a request leaves the time of the write-back.
TEST_P(CacheDBHousekeepingTest, WriteBackKeepsTheTimeOfAnAgedRow) {
    SystemClock::TEST_Freeze(1700000000);
    const struct {
        int64_t written;
        int64_t fileTime;  // 0: the time of the write-back, not set
    } cases[] = {{1700000000 - 8 * 86400, 1700000000 - 8 * 86400}, {1700000000 - 86400, 1700000000 - 86400},
                 {1700000000 - 86399, 0}, {1700000000, 0}, {-5, 1}};
    for (const auto& c : cases) {
        WriteWholeFile(Remote("afile_cache.db"), "remote copy");
        {
            boost::shared_ptr<SQLiteAdapter> impl = MakeImpl();
            ASSERT_FALSE(impl->Initialize(true, true).IsError());
            impl->NoteVMReferenceWritten(c.written);
        }
        struct stat st;
        ASSERT_EQ(0, ::stat(Remote("afile_cache.db").c_str(), &st));
        if (c.fileTime != 0) {
            EXPECT_EQ(c.fileTime, static_cast<int64_t>(st.st_mtime)) << c.written;
        } else {
            EXPECT_GT(static_cast<int64_t>(st.st_mtime), 1700000000) << c.written;  // the real clock's
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Locations, CacheDBHousekeepingTest, ::testing::Bool(), LocationName);

}  // namespace
