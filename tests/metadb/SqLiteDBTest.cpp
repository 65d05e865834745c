#include "LiveBrowseCacheCodes.h"
#include "support/LogCapture.h"
#include "metadb/SqLiteDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

class SqLiteDBTest : public ::testing::Test {
protected:
    void TearDown() override { SystemClock::TEST_Reset(); }

    long Scalar(CSQLiteDB& db, const std::string& sql) {
        long value = -1;
        CZoError err = db.QueryScalar(sql, value, 0);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return value;
    }
    void Init(CSQLiteDB& db) {
        CZoError err = db.Initialize("afile_cache", dir.path());
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }

    TempDir dir;
};

Extent Row(long long afile, long long offset, unsigned cell, unsigned copy, long long job) {
    Extent e(afile, offset, cell, copy, job);
    e.Flags = 1;
    return e;
}

TEST_F(SqLiteDBTest, InitializeCreatesTheFileWithItsThreeTables) {
    ScopedLogCapture log;
    CSQLiteDB db;
    Init(db);
    struct stat st;
    EXPECT_EQ(0, stat(dir.sub("afile_cache.db").c_str(), &st));
    EXPECT_EQ(3, Scalar(db, "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name IN "
                            "('Extents','VMs','SingleInstance')"));
    EXPECT_EQ(1u, log->Count(5, "0 rows updated"));
    EXPECT_EQ(dir.path(), db.GetDatabasePath());
    EXPECT_EQ("afile_cache.db", db.GetDatabaseName());
    // Opening an open database does nothing.
    EXPECT_FALSE(db.OpenDatabase().IsError());
    EXPECT_TRUE(db.IsOpen());
}

TEST_F(SqLiteDBTest, ReopeningKeepsTablesAndRows) {
    {
        CSQLiteDB db;
        Init(db);
        ASSERT_FALSE(db.InsertExtent(Row(5, 0, 2, 1, 7)).IsError());
    }
    CSQLiteDB again;
    Init(again);
    EXPECT_EQ(1, Scalar(again, "SELECT COUNT(*) FROM Extents"));
}

TEST_F(SqLiteDBTest, NonDatabaseFileIsCode1AndLeftUntouched) {
    const std::string garbage = "this is not an SQLite file, only some text that fills a few hundred bytes. " +
                                std::string(400, 'g');
    WriteWholeFile(dir.sub("afile_cache.db"), garbage);
    ScopedLogCapture log;
    {
        CSQLiteDB db;
        CZoError err = db.Initialize("afile_cache", dir.path());
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kDatabaseCorrupt)) << err.AsString();
        EXPECT_NE(std::string::npos, err.AsString().find("DB is found to be corrupt"));
        EXPECT_EQ(1u, log->Count(-1, "DB is found to be corrupt [" + dir.path() + "] "));
        EXPECT_TRUE(db.IsOpen());
    }
    EXPECT_EQ(garbage, ReadWholeFile(dir.sub("afile_cache.db")));
}

TEST_F(SqLiteDBTest, MissingFolderIsCode2) {
    ScopedLogCapture log;
    CSQLiteDB db;
    CZoError err = db.Initialize("afile_cache", dir.sub("missing"));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kDatabaseOpenFailed)) << err.AsString();
    EXPECT_EQ(1u, log->Count(-1, "Failed to open DB [" + dir.sub("missing") + "] "));
    EXPECT_FALSE(db.IsOpen());
}

TEST_F(SqLiteDBTest, CreateDatabaseFileMakesAnEmptyFileOnlyWhenMissing) {
    CSQLiteDB db;
    db.SetDatabasePath(dir.path());
    db.SetDatabaseName("afile_cache.db");
    ASSERT_FALSE(db.CreateDatabaseFile().IsError());
    EXPECT_EQ("", ReadWholeFile(dir.sub("afile_cache.db")));
    WriteWholeFile(dir.sub("afile_cache.db"), "kept");
    ASSERT_FALSE(db.CreateDatabaseFile().IsError());
    EXPECT_EQ("kept", ReadWholeFile(dir.sub("afile_cache.db")));
    db.SetDatabasePath(dir.sub("missing"));
    EXPECT_TRUE(FXErrorUtil::IsInt(db.CreateDatabaseFile(), LBCError::kDatabaseFileCreateFailed));
}

TEST_F(SqLiteDBTest, ForeignKeysNeverRefuseARow) {
    CSQLiteDB db;
    Init(db);
    Extent e = Row(5, 0, 2, 1, 12345);
    e.VMGUID = "no-such-vm";
    e.Signature = "no-such-signature";
    CZoError err = db.InsertExtent(e);
    EXPECT_FALSE(err.IsError()) << err.AsString();
}

TEST_F(SqLiteDBTest, OneRowPerExtentWhateverItsJobAndOnePerVM) {
    ScopedLogCapture log;
    CSQLiteDB db;
    Init(db);
    ASSERT_FALSE(db.UpdateExtent(Row(5, 0, 2, 1, 7)).IsError());
    ASSERT_FALSE(db.UpdateExtent(Row(5, 0, 2, 1, 8)).IsError());
    EXPECT_EQ(1, Scalar(db, "SELECT COUNT(*) FROM Extents"));
    EXPECT_EQ(8, Scalar(db, "SELECT JobID FROM Extents"));

    ASSERT_FALSE(db.InsertVM(VM(2, 1, 5, "g1", 7, 100, "v1")).IsError());
    log->Clear();
    CZoError err = db.InsertVM(VM(2, 1, 5, "g2", 8, 200, "v2"));
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 1555)) << err.AsString();
    EXPECT_EQ(0u, log->Count(-1, "Error:"));
    ASSERT_FALSE(db.UpdateVM(VM(2, 1, 5, "g2", 8, 200, "v2")).IsError());
    EXPECT_EQ(1, Scalar(db, "SELECT COUNT(*) FROM VMs"));
    EXPECT_EQ(8, Scalar(db, "SELECT BackupJobID FROM VMs WHERE GUID='g2' AND ValidityGUID='v2'"));
}

TEST_F(SqLiteDBTest, PlainInsertOfAnExistingKeyFailsAndLogsReplaceStampsANewTime) {
    ScopedLogCapture log;
    SystemClock::TEST_Freeze(1700000000);
    CSQLiteDB db;
    Init(db);
    ASSERT_FALSE(db.InsertExtent(Row(5, 0, 2, 1, 7)).IsError());
    log->Clear();
    CZoError err = db.InsertExtent(Row(5, 0, 2, 1, 7));
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 1555)) << err.AsString();
    EXPECT_EQ(1u, log->Count(-1, "Error:"));
    SystemClock::TEST_AdvanceSeconds(60);
    ASSERT_FALSE(db.UpdateExtent(Row(5, 0, 2, 1, 7)).IsError());
    EXPECT_EQ(1700000060, Scalar(db, "SELECT InsertionTime FROM Extents"));
    EXPECT_EQ(0, Scalar(db, "SELECT Reserved2 FROM Extents"));
}

TEST_F(SqLiteDBTest, DeletesReportTheirRowCounts) {
    ScopedLogCapture log;
    CSQLiteDB db;
    Init(db);
    log->Clear();
    ExtentParam missing{5, 0, 2, 1, 0, 0};
    EXPECT_FALSE(db.DeleteExtent(missing).IsError());
    EXPECT_EQ(1u, log->Count(5, "0 rows updated"));

    for (int i = 0; i < 5; ++i) ASSERT_FALSE(db.InsertExtent(Row(5, i, 2, 1, 7)).IsError());
    ExtentsParam all;
    log->Clear();
    // DELETE ... LIMIT is known only to SQLite builds with
    // SQLITE_ENABLE_UPDATE_DELETE_LIMIT; elsewhere the statement is refused whole.
    CZoError limited = db.DeleteExtents(all, 2);
    const bool hasDeleteLimit = sqlite3_compileoption_used("ENABLE_UPDATE_DELETE_LIMIT") != 0;
    EXPECT_EQ(!hasDeleteLimit, limited.IsError()) << limited.AsString();
    EXPECT_EQ(hasDeleteLimit ? 3 : 5, Scalar(db, "SELECT COUNT(*) FROM Extents"));
    if (hasDeleteLimit) {
        EXPECT_EQ(1u, log->Count(5, "2 rows updated"));
    }
    log->Clear();
    EXPECT_FALSE(db.DeleteExtents(all, 0).IsError());
    EXPECT_EQ(1u, log->Count(5, hasDeleteLimit ? "3 rows updated" : "5 rows updated"));
    EXPECT_EQ(0, Scalar(db, "SELECT COUNT(*) FROM Extents"));
}

TEST_F(SqLiteDBTest, EmptyTextIsStoredAsEmptyAndResetWritesNull) {
    CSQLiteDB db;
    Init(db);
    Extent e = Row(5, 0, 2, 1, 7);
    e.VMGUID = "g";
    ASSERT_FALSE(db.InsertExtent(e).IsError());
    EXPECT_EQ(1, Scalar(db, "SELECT COUNT(*) FROM Extents WHERE CacheLocation = ''"));
    ExtentsParam filter;
    filter.VM = "G";  // the text columns compare without regard to case
    filter.JobID = 7;
    filter.TessarelID = 2;
    ASSERT_FALSE(db.ResetExtentsCacheLocation(filter).IsError());
    EXPECT_EQ(1, Scalar(db, "SELECT COUNT(*) FROM Extents WHERE CacheLocation IS NULL"));
}

TEST_F(SqLiteDBTest, FailedCountLeavesTheCountAsItWas) {
    CSQLiteDB db;
    Init(db);
    ASSERT_FALSE(db.Close().IsError());
    long long count = 42;
    EXPECT_TRUE(db.QueryExtentsCount(count, ExtentsParam()).IsError());
    EXPECT_TRUE(db.QueryVMCount(count, VMJobParam()).IsError());
    EXPECT_EQ(42, count);
}

TEST_F(SqLiteDBTest, RowStatementExceptionBecomesAnUnloggedSQLiteError) {
    ScopedLogCapture log;
    CSQLiteDB db;
    Init(db);
    struct Case {
        const char* message;
        const char* text;
    } cases[] = {{nullptr, "SQLite Exception ["}, {"disk I/O error", "SQLite Exception, disk I/O error ["}};
    for (const auto& c : cases) {
        log->Clear();
        db.TEST_ThrowOnNextCall(10, c.message);
        CZoError err = db.InsertExtent(Row(5, 0, 2, 1, 7));
        EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 10));
        EXPECT_NE(std::string::npos, err.AsString().find(c.text)) << err.AsString();
        EXPECT_EQ(0u, log->Count(-1, "Error:"));
    }
    EXPECT_EQ(0, Scalar(db, "SELECT COUNT(*) FROM Extents"));
}

}  // namespace
