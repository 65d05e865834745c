#include "LiveBrowseCacheCodes.h"
#include "support/LogCapture.h"
#include "metadb/SqLiteDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <climits>
#include <string>
#include <vector>
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

// Every row, each column beside its type, and what the one-row reads find.
std::vector<std::string> Dump(CSQLiteDB& db, const std::vector<Extent>& keys, const std::vector<VM>& vms) {
    std::vector<std::string> out;
    auto all = [&](const std::string& sql) {
        boost::shared_ptr<FX::CSQLite3Query> q;
        CZoError err = db.Query(sql, q);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        if (err.IsError()) return;
        for (; !q->Eof(); q->NextRow()) {
            std::string row;
            for (int field = 0;; ++field) {
                try {
                    row += q->GetStringField(field, "<null>") + "|";
                } catch (const FX::CSQLite3Exception&) {
                    break;
                }
            }
            out.push_back(row);
        }
    };
    std::string columns;
    for (const char* c : {"AfileID", "AfileOffset", "TessarelID", "CopyID", "CacheLocation", "Signature", "ExtentID",
                          "VMGUID", "DiskID", "JobID", "InsertionTime", "Flags", "ValidityGUID", "Reserved1",
                          "Reserved2"})
        columns += std::string(columns.empty() ? "" : ", ") + c + ", typeof(" + c + ")";
    all("SELECT " + columns + " FROM Extents ORDER BY rowid");
    all("SELECT GUID, typeof(GUID), BackupJobID, typeof(BackupJobID), LastReferenceTime, typeof(LastReferenceTime), "
        "ValidityGUID, AfileID, typeof(AfileID), TessarelID, typeof(TessarelID), CopyID, typeof(CopyID) FROM VMs "
        "ORDER BY rowid");
    for (const Extent& e : keys) {
        for (int flags : {0, e.Flags}) {
            boost::shared_ptr<FX::CSQLite3Query> q;
            CZoError err = db.QueryExtent(q, ExtentParam{e.AfileID, e.AfileOffset, e.TessarelID, e.CopyID, 0, flags});
            out.push_back(err.IsError() ? err.AsString() : q->Eof() ? "none" : q->GetStringField(4, "<null>"));
        }
    }
    for (const VM& vm : vms) {
        boost::shared_ptr<FX::CSQLite3Query> q;
        CZoError err = db.QueryVM(q, vm);
        out.push_back(err.IsError() ? err.AsString() : q->Eof() ? "none" : q->GetStringField(0, "<null>"));
    }
    return out;
}

// The statements of every request run compiled from their formats; they
// store, replace, delete and find what their full texts, each compiled as it
// stands, do: values of both signs and every width, quotes, empty texts.
TEST_F(SqLiteDBTest, CompiledStatementsDoWhatTheirTextsDo) {
    SystemClock::TEST_Freeze(1700000000);
    TempDir plainDir;
    CSQLiteDB compiled, plain;
    Init(compiled);
    plain.TEST_ReuseStatements(false);
    ASSERT_FALSE(plain.Initialize("afile_cache", plainDir.path()).IsError());

    std::vector<Extent> extents;
    for (long long afile : {5LL, -1LL, LLONG_MIN, LLONG_MAX}) {
        for (unsigned cell : {2u, 0u, UINT_MAX}) {
            Extent e = Row(afile, afile == 5 ? 4096 : -(afile / 2), cell, cell / 2 + 1, afile / 3);
            e.Flags = cell == UINT_MAX ? -1 : 2;
            e.CacheLocation = cell == 0 ? "" : "loc:AB/it's.cache:0:10";
            e.ValidityGUID = "v'1''";
            e.ExtentID = afile;
            e.Reserved1 = "d41d8cd98f00b204e9800998ecf8427e";
            extents.push_back(e);
        }
    }
    std::vector<VM> vms = {VM(2, 1, 5, "g'1", 7, 100, "v1"), VM(UINT_MAX, 0, -1, "", LLONG_MIN, -5, ""),
                           VM(0, UINT_MAX, LLONG_MAX, "x", 0, LLONG_MAX, "y'")};
    for (CSQLiteDB* db : {&compiled, &plain}) {
        for (Extent e : extents) {
            EXPECT_FALSE(db->InsertExtent(e).IsError());
            e.CacheLocation += "2";
            EXPECT_FALSE(db->UpdateExtent(e).IsError());
        }
        EXPECT_FALSE(db->DeleteExtent(ExtentParam::Of(extents[1])).IsError());
        for (const VM& vm : vms) {
            EXPECT_FALSE(db->InsertVM(vm).IsError());
            EXPECT_TRUE(FXErrorUtil::IsSQLite(db->InsertVM(vm), 1555));
            VM renewed = vm;
            renewed.ValidityGUID += "-renewed";
            EXPECT_FALSE(db->UpdateVM(renewed).IsError());
        }
    }
    EXPECT_EQ(Dump(plain, extents, vms), Dump(compiled, extents, vms));
    EXPECT_GT(compiled.TEST_IdleStatements(), 0u);
    EXPECT_EQ(0u, plain.TEST_IdleStatements());
}

// A file whose tables an older host declared with a column of no type: a
// quoted number stays the text the full text stores there, in every form.
TEST_F(SqLiteDBTest, AColumnWithoutATypeKeepsQuotedNumbersAsText) {
    SystemClock::TEST_Freeze(1700000000);
    TempDir plainDir;
    for (const std::string& folder : {dir.path(), plainDir.path()}) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open((folder + "/afile_cache.db").c_str(), &raw));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw,
                                          "CREATE TABLE Extents (AfileID BIGINT NOT NULL, AfileOffset BIGINT NOT NULL, "
                                          "TessarelID INT NOT NULL, CopyID INT NOT NULL, CacheLocation VARCHAR, "
                                          "Signature VARCHAR, ExtentID BIGINT, VMGUID VARCHAR, DiskID VARCHAR, JobID, "
                                          "InsertionTime BIGINT, Flags INT, ValidityGUID VARCHAR, Reserved1 VARCHAR, "
                                          "Reserved2, PRIMARY KEY(TessarelID,CopyID,AfileID,AfileOffset))",
                                          nullptr, nullptr, nullptr));
        sqlite3_close(raw);
    }
    CSQLiteDB compiled, plain;
    Init(compiled);
    plain.TEST_ReuseStatements(false);
    ASSERT_FALSE(plain.Initialize("afile_cache", plainDir.path()).IsError());
    std::vector<Extent> extents = {Row(5, 4096, 2, 1, 7), Row(-1, 0, 2, 1, LLONG_MIN)};
    std::vector<VM> vms = {VM(2, 1, 5, "g", 7, 100, "v")};
    for (CSQLiteDB* db : {&compiled, &plain}) {
        for (const Extent& e : extents) EXPECT_FALSE(db->UpdateExtent(e).IsError());
        EXPECT_FALSE(db->UpdateVM(vms[0]).IsError());
        EXPECT_FALSE(db->DeleteExtent(ExtentParam::Of(extents[1])).IsError());
    }
    EXPECT_EQ(Dump(plain, extents, vms), Dump(compiled, extents, vms));
    EXPECT_EQ(1, Scalar(compiled, "SELECT COUNT(*) FROM Extents WHERE typeof(Reserved2) = 'text' AND "
                                  "typeof(JobID) = 'text'"));
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
