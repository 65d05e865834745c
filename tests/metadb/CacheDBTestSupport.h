#pragma once
// Shared by the container tests: a cache location (local, or behind the
// loopback data server) with its top-level container, a staging area below a
// job results folder of the test's own, lock probes (a forked process for a
// local lock file, another handle for a remote one) and a reader of database
// files through the sqlite3 library itself.

#include "support/LockProbes.h"
#include "support/LogCapture.h"
#include "foundation/DebugSimulation.h"
#include "metadb/CacheDB.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/SystemClock.h"
#include "platform/XKJobQuery.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheNamespace.h"
#include "store/LiveBrowseCacheUtility.h"
#include "store/StoreTestSupport.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

// A count from a database file, read through the sqlite3 library; -1 when
// the file cannot be read.
inline long long CountRows(const std::string& dbFile, const std::string& table) {
    if (!Exists(dbFile)) return -1;
    sqlite3* db = nullptr;
    long long count = -1;
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        std::string sql = "SELECT COUNT(*) FROM " + table;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            count = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return count;
}

inline Extent TestExtent(long long afile, long long offset, unsigned cell = 2, unsigned copy = 1, long long job = 0) {
    Extent e(afile, offset, cell, copy, job);
    e.Flags = 1;
    e.CacheLocation = "loc:C1/f.cache:" + std::to_string(offset) + ":10";
    e.ValidityGUID = "validity";
    return e;
}

// The extent's key with any Flags.
inline ExtentParam KeyOf(const Extent& e) {
    ExtentParam key = ExtentParam::Of(e);
    key.Flags = 0;
    return key;
}

inline VM TestVM(long long afile, unsigned cell = 2, unsigned copy = 1, long long job = 0) {
    return VM(cell, copy, afile, "guid", job, 0, "validity");
}

// A fresh location, staging area and configuration for each test.
class CacheDBFixture {
public:
    // locationName: the folder of a local location below the test's folder.
    explicit CacheDBFixture(bool remote, const std::string& locationName = "loc") : log(5) {
        XKPlatformInfo::TEST_Clear();
        XKJobQuery::TEST_ResetAll();
        DebugSimulation::TEST_Reset();
        SystemClock::TEST_Reset();
        jobResults = dir.sub("jr");
        MakeFolders(jobResults);
        XKPlatformInfo::TEST_SetJobResultsDirectory(jobResults);
        location = TestLocation::Make(dir, remote, locationName);
    }
    ~CacheDBFixture() {
        top.reset();
        DebugSimulation::TEST_Reset();
        SystemClock::TEST_Reset();
        XKJobQuery::TEST_ResetAll();
        XKPlatformInfo::TEST_Clear();
        LoopbackFS::TEST_Reset();
    }

    CacheDBPtr MakeTop() {
        CacheDBPtr db = boost::make_shared<CacheDB>(CacheDB::DB_TYPE_SQLITE, location.Path("DB"),
                                                    location.Path("DB"), false, true);
        db->SetRemoteFileIO(location.NewIO());
        CZoError err = db->Initialize();
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return db;
    }
    void Open() { top = MakeTop(); }

    // The afile's folder below "DB" as the code names it and as it lies on disk.
    std::string AfileFolder(long long afile, unsigned cell = 2, unsigned copy = 1) const {
        std::string path;
        EXPECT_FALSE(CacheNamespace::GenerateAfileDBFolderPath(afile, cell, copy, location.Path("DB"), path).IsError());
        return path;
    }
    std::string LocalAfileFolder(long long afile, unsigned cell = 2, unsigned copy = 1) const {
        std::string path;
        EXPECT_FALSE(
            CacheNamespace::GenerateAfileDBFolderPath(afile, cell, copy, location.Local("DB"), path).IsError());
        return path;
    }
    std::string StageFolder(long long afile, unsigned cell = 2, unsigned copy = 1) const {
        std::string path;
        EXPECT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation(AfileFolder(afile, cell, copy),
                                                                     location.Path("DB"), path)
                         .IsError());
        return path;
    }
    std::string LocalLockFile(long long afile) const { return LocalAfileFolder(afile) + "/lockfile"; }
    std::string LocalDBFile(long long afile) const { return LocalAfileFolder(afile) + "/afile_cache.db"; }

    // Whether another process (local) or another handle (remote) could take
    // the afile's lock file now.
    bool OthersCanLock(long long afile) {
        if (!location.remote) return OtherProcessCanLock(LocalLockFile(afile));
        CCacheFileIOPtr io = location.NewIO();
        bool ok = !io->CreateAndLockFile(AfileFolder(afile) + "/lockfile").IsError();
        if (ok) {
            EXPECT_FALSE(io->ReleaseLockFile().IsError());
        }
        return ok;
    }

    TempDir dir;
    ScopedLogCapture log;
    std::string jobResults;
    TestLocation location;
    CacheDBPtr top;
};

// One afile's database adapter staged from a fresh location, local or behind
// the loopback data server by the test's parameter.
template <long long AfileId>
class AdapterTest : public ::testing::TestWithParam<bool> {
protected:
    static constexpr long long kAfile = AfileId;

    AdapterTest() : f(GetParam()) { MakeFolders(f.LocalAfileFolder(kAfile)); }

    boost::shared_ptr<SQLiteAdapter> MakeImpl() {
        boost::shared_ptr<SQLiteAdapter> impl =
            boost::make_shared<SQLiteAdapter>(f.StageFolder(kAfile), "afile_cache");
        impl->SetSyncRemoteLocation(f.AfileFolder(kAfile));
        impl->SetRemoteFileIO(f.location.NewIO());
        return impl;
    }
    // The afile's files on the location's disk, and in its staging folder.
    std::string Remote(const std::string& name) { return f.LocalAfileFolder(kAfile) + "/" + name; }
    std::string Staged(const std::string& name) { return f.StageFolder(kAfile) + "/" + name; }

    CacheDBFixture f;
};

// Holds the afile's lock file elsewhere: a forked process for a local
// location, another handle of this process for a remote one.
class OtherHostLock {
public:
    OtherHostLock(CacheDBFixture& fixture, long long afile) {
        MakeFolders(fixture.LocalAfileFolder(afile));
        if (!fixture.location.remote) {
            child.reset(new ForkedLockHolder(fixture.LocalLockFile(afile)));
            locked = child->Locked();
        } else {
            io = fixture.location.NewIO();
            locked = !io->CreateAndLockFile(fixture.AfileFolder(afile) + "/lockfile").IsError();
        }
    }
    ~OtherHostLock() { Release(); }

    bool Locked() const { return locked; }
    void Release() {
        if (child) child->Release();
        if (io) {
            EXPECT_FALSE(io->ReleaseLockFile().IsError());
        }
        io.reset();
    }

private:
    std::unique_ptr<ForkedLockHolder> child;
    CCacheFileIOPtr io;
    bool locked = false;
};
