#include "platform/FXDatabase.h"
#include "platform/FXErrorUtil.h"
#include "support/TempDir.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class FXDatabaseTest : public ::testing::Test {
protected:
    void OpenIn(FX::CDatabaseWithStorage& db, const std::string& name = "t.db") {
        db.SetDatabasePath(dir.path());
        db.SetDatabaseName(name);
        CZoError err = db.OpenDatabase();
        ASSERT_FALSE(err.IsError()) << err.AsString();
        ASSERT_FALSE(db.CreateStorageTables().IsError());
    }
    void Exec(FX::CDatabaseBase& db, const std::string& sql, int expectedRows = -1) {
        int rows = -7;
        CZoError err = db.Execute(sql, rows);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        if (expectedRows >= 0) {
            EXPECT_EQ(expectedRows, rows) << sql;
        }
    }
    long Scalar(FX::CDatabaseBase& db, const std::string& sql) {
        long value = -1;
        CZoError err = db.QueryScalar(sql, value, 0);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return value;
    }

    TempDir dir;
};

TEST_F(FXDatabaseTest, OpenCreatesMissingFileWithoutForeignKeysOrWal) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    EXPECT_TRUE(db.IsOpen());
    EXPECT_TRUE(FileExists(dir.sub("t.db")));
    EXPECT_EQ(0, Scalar(db, "PRAGMA foreign_keys"));
    boost::shared_ptr<FX::CSQLite3Query> q;
    ASSERT_FALSE(db.Query("PRAGMA journal_mode", q).IsError());
    ASSERT_FALSE(q->Eof());
    EXPECT_EQ("delete", q->GetStringField(0, ""));
}

TEST_F(FXDatabaseTest, OpenOfMissingFolderFails) {
    FX::CDatabaseWithStorage db(0);
    db.SetDatabasePath(dir.sub("no/such/folder"));
    db.SetDatabaseName("t.db");
    CZoError err = db.OpenDatabase();
    EXPECT_TRUE(err.IsError());
    EXPECT_FALSE(db.IsOpen());
}

TEST_F(FXDatabaseTest, NonDatabaseFileIsWin32Error26AndStaysUntouched) {
    const std::string garbage(4096, 'x');
    WriteWholeFile(dir.sub("t.db"), garbage);
    {
        FX::CDatabaseWithStorage db(0);
        db.SetDatabasePath(dir.path());
        db.SetDatabaseName("t.db");
        ASSERT_FALSE(db.OpenDatabase().IsError());
        CZoError err = db.CreateStorageTables();
        EXPECT_TRUE(FXErrorUtil::IsWin32(err, 26)) << err.AsString();
        EXPECT_FALSE(db.CloseDatabase().IsError());
    }
    EXPECT_EQ(garbage, ReadWholeFile(dir.sub("t.db")));
    EXPECT_FALSE(FileExists(dir.sub("t.db-journal")));
}

TEST_F(FXDatabaseTest, ExtendedResultCodesReachTheError) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT, b TEXT, PRIMARY KEY(a))");
    Exec(db, "INSERT INTO k VALUES (1, 'x')", 1);
    int rows = 0;
    CZoError err = db.Execute("INSERT INTO k VALUES (1, 'y')", rows);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 1555)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("UNIQUE constraint failed"));
}

TEST_F(FXDatabaseTest, RowCountIsThatOfTheStatementAlone) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)", 0);
    Exec(db, "INSERT INTO k VALUES (1), (2), (3)", 3);
    Exec(db, "UPDATE k SET a = a + 10 WHERE a > 1", 2);
    Exec(db, "PRAGMA read_uncommitted = true", 0);
    Exec(db, "DELETE FROM k WHERE a = 99", 0);
    Exec(db, "DELETE FROM k", 3);
}

TEST_F(FXDatabaseTest, CreateTableAcceptsAnExistingTable) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    ASSERT_FALSE(db.CreateTable("k", "(a INT)").IsError());
    Exec(db, "INSERT INTO k VALUES (5)");
    ASSERT_FALSE(db.CreateTable("k", "(a INT)").IsError());
    EXPECT_EQ(1, Scalar(db, "SELECT COUNT(*) FROM k"));
    EXPECT_TRUE(db.CreateTable("bad", "(a INT,").IsError());
}

TEST_F(FXDatabaseTest, CompileStatementFailsOnBadText) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)");
    boost::shared_ptr<FX::CSQLite3Statement> good, bad;
    EXPECT_FALSE(db.CompileStatement("INSERT INTO k (a) VALUES (?)", good).IsError());
    ASSERT_TRUE(good);
    EXPECT_TRUE(good->IsCompiled());
    EXPECT_TRUE(db.CompileStatement("INSERT INTO nowhere (a) VALUES (?)", bad).IsError());
}

TEST_F(FXDatabaseTest, QueryReadsColumnsByNameAndThrowsOnMisuse) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (Id INT, Big BIGINT, Name VARCHAR)");
    Exec(db, "INSERT INTO k VALUES ('4294967295', '-9000000000', 'a''b'), (7, NULL, NULL)");
    boost::shared_ptr<FX::CSQLite3Query> q;
    ASSERT_FALSE(db.Query("SELECT * FROM k ORDER BY Id DESC", q).IsError());
    ASSERT_FALSE(q->Eof());
    // Unsigned 32-bit ids above INT_MAX keep their bits.
    EXPECT_EQ(4294967295u, static_cast<unsigned>(q->GetIntField(q->FieldIndex("id"), 0)));
    EXPECT_EQ(-9000000000LL, q->GetBigIntField(q->FieldIndex("BIG"), 0));
    EXPECT_EQ("a'b", q->GetStringField(q->FieldIndex("name"), ""));
    EXPECT_THROW(q->FieldIndex("Missing"), FX::CSQLite3Exception);
    EXPECT_THROW(q->GetIntField(9, 0), FX::CSQLite3Exception);
    q->NextRow();
    ASSERT_FALSE(q->Eof());
    EXPECT_EQ(7, q->GetIntField(q->FieldIndex("Id"), 0));
    EXPECT_EQ(42, q->GetBigIntField(q->FieldIndex("Big"), 42));
    EXPECT_EQ("dflt", q->GetStringField(q->FieldIndex("Name"), "dflt"));
    q->NextRow();
    EXPECT_TRUE(q->Eof());
    EXPECT_THROW(q->NextRow(), FX::CSQLite3Exception);
    EXPECT_THROW(q->GetIntField(0, 0), FX::CSQLite3Exception);

    FX::CSQLite3Query empty;
    EXPECT_TRUE(empty.Eof());
    EXPECT_THROW(empty.FieldIndex("Id"), FX::CSQLite3Exception);
}

// A row read by position takes what the getters take by name, NULL as 0 or
// the empty text; the positions kept with the statement follow its columns
// when SQLite compiles it again after the table was made anew in another order.
TEST_F(FXDatabaseTest, RowsReadByPositionFindTheirColumnsByName) {
    static const char* const names[] = {"Name", "Big", "Id"};
    static const FX::CSQLite3Columns columns(names);
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    struct Expected {
        long long big;
        std::string name;
        unsigned id;
    };
    auto read = [&db](const std::string& sql, std::vector<Expected>& rows) {
        boost::shared_ptr<FX::CSQLite3Query> q;
        ASSERT_FALSE(db.Query(sql, q).IsError());
        for (; !q->Eof(); q->NextRow()) {
            FX::CDatabaseBase::ConnectionHold hold(db);
            const FX::CSQLite3Row row(*q, hold, columns);
            Expected e;
            e.big = row.BigInt(1);
            row.Text(0, e.name);
            e.id = static_cast<unsigned>(row.Int(2));
            EXPECT_EQ(e.big, q->GetBigIntField(q->FieldIndex("Big"), 0));
            EXPECT_EQ(e.name, q->GetStringField(q->FieldIndex("Name"), ""));
            rows.push_back(e);
        }
    };
    const std::string select = "SELECT * FROM k WHERE Id <> 5 ORDER BY Id";
    Exec(db, "CREATE TABLE k (Id INT, Big BIGINT, Name VARCHAR)");
    Exec(db, "INSERT INTO k VALUES ('4294967295', '-9000000000', 'a''b'), (7, NULL, NULL)");
    std::vector<Expected> rows;
    read(select, rows);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(0, rows[0].big);
    EXPECT_EQ("", rows[0].name);
    EXPECT_EQ(7u, rows[0].id);
    EXPECT_EQ(-9000000000LL, rows[1].big);
    EXPECT_EQ("a'b", rows[1].name);
    EXPECT_EQ(4294967295u, rows[1].id);

    Exec(db, "DROP TABLE k");
    Exec(db, "CREATE TABLE k (Name VARCHAR, Extra INT, Id INT, Big BIGINT)");
    Exec(db, "INSERT INTO k VALUES ('z', 99, 3, 30)");
    rows.clear();
    read(select, rows);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(30, rows[0].big);
    EXPECT_EQ("z", rows[0].name);
    EXPECT_EQ(3u, rows[0].id);

    static const char* const missing[] = {"Name", "Nowhere"};
    static const FX::CSQLite3Columns missingColumns(missing);
    boost::shared_ptr<FX::CSQLite3Query> q;
    ASSERT_FALSE(db.Query(select, q).IsError());
    FX::CDatabaseBase::ConnectionHold hold(db);
    EXPECT_THROW(FX::CSQLite3Row(*q, hold, missingColumns), FX::CSQLite3Exception);
    q->NextRow();
    ASSERT_TRUE(q->Eof());
    EXPECT_THROW(FX::CSQLite3Row(*q, hold, columns), FX::CSQLite3Exception);
    FX::CSQLite3Query empty;
    EXPECT_THROW(FX::CSQLite3Row(empty, hold, columns), FX::CSQLite3Exception);
}

TEST_F(FXDatabaseTest, QueryAndScalarReportFailureThroughTheirResult) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    boost::shared_ptr<FX::CSQLite3Query> q;
    EXPECT_TRUE(db.Query("SELECT * FROM nowhere", q).IsError());
    long value = 5;
    EXPECT_TRUE(db.QueryScalar("SELECT COUNT(*) FROM nowhere", value, 0).IsError());
    EXPECT_EQ(5, value);
    EXPECT_EQ(0, Scalar(db, "SELECT NULL"));
}

// A failed statement of any length gives an error text of bounded length: its
// SQL is cut after 512 bytes and marked with its whole length.
TEST_F(FXDatabaseTest, ErrorTextsCarryAtMostTheStartOfALongStatement) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)");
    std::string values;
    for (int i = 0; i < 20000; ++i) values += (i == 0 ? "" : ",") + std::to_string(i);
    // Fails when prepared (no such table), or when stepped (integer overflow).
    const std::string prepareFails = "SELECT a FROM nowhere WHERE a IN (" + values + ")";
    const std::string stepFails = "SELECT abs(-9223372036854775807 - 1) FROM k WHERE -1 NOT IN (" + values + ")";
    Exec(db, "INSERT INTO k VALUES (1)");
    const struct {
        const char* call;
        std::string sql;
    } cases[] = {{"Execute", prepareFails}, {"Query", prepareFails}, {"QueryScalar", prepareFails},
                 {"Compile", prepareFails}, {"Query", stepFails},    {"QueryScalar", stepFails},
                 {"Execute", stepFails}};
    for (const auto& c : cases) {
        const std::string call = c.call;
        int rows = 0;
        long value = 0;
        boost::shared_ptr<FX::CSQLite3Query> q;
        boost::shared_ptr<FX::CSQLite3Statement> statement;
        CZoError err = call == "Execute"       ? db.Execute(c.sql, rows)
                       : call == "Query"       ? db.Query(c.sql, q)
                       : call == "QueryScalar" ? db.QueryScalar(c.sql, value, 0)
                                               : db.CompileStatement(c.sql, statement);
        ASSERT_TRUE(err.IsError()) << call;
        const std::string text = err.AsString();
        EXPECT_LT(text.size(), 1024u) << call;
        EXPECT_NE(std::string::npos, text.find(c.sql.substr(0, 512) + "...[" + std::to_string(c.sql.size()) +
                                               " bytes]"))
            << call << ": " << text.substr(0, 1024);
    }
}

TEST_F(FXDatabaseTest, CallsOnAClosedDatabaseFail) {
    FX::CDatabaseWithStorage db(0);
    int rows = 0;
    long value = 0;
    boost::shared_ptr<FX::CSQLite3Query> q;
    EXPECT_TRUE(db.Execute("SELECT 1", rows).IsError());
    EXPECT_TRUE(db.Query("SELECT 1", q).IsError());
    EXPECT_TRUE(db.QueryScalar("SELECT 1", value, 0).IsError());
    EXPECT_TRUE(db.BeginTransaction().IsError());
    EXPECT_TRUE(db.CommitTransaction().IsError());
    EXPECT_TRUE(db.CreateStorageTables().IsError());
    EXPECT_FALSE(db.CloseDatabase().IsError());
}

TEST_F(FXDatabaseTest, BeginAndCommitAreNoOpsWhenNothingIsToDo) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)");
    EXPECT_FALSE(db.CommitTransaction().IsError());
    EXPECT_FALSE(db.BeginTransaction().IsError());
    EXPECT_FALSE(db.BeginTransaction().IsError());
    Exec(db, "INSERT INTO k VALUES (1)");
    EXPECT_FALSE(db.CommitTransaction().IsError());
    EXPECT_FALSE(db.CommitTransaction().IsError());
    EXPECT_EQ(1, Scalar(db, "SELECT COUNT(*) FROM k"));
}

// The transaction state follows SQLite's: kept after a failed statement,
// gone after one SQLite answered by rolling back (here a full database).
TEST_F(FXDatabaseTest, InTransactionFollowsTheConnection) {
    FX::CDatabaseWithStorage db(0);
    EXPECT_FALSE(db.InTransaction()) << "closed";
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT PRIMARY KEY, b TEXT)");
    EXPECT_FALSE(db.InTransaction());
    ASSERT_FALSE(db.BeginTransaction().IsError());
    EXPECT_TRUE(db.InTransaction());
    Exec(db, "INSERT INTO k VALUES (1, 'x')");
    int rows = 0;
    EXPECT_TRUE(db.Execute("INSERT INTO k VALUES (1, 'x')", rows).IsError());
    EXPECT_TRUE(db.InTransaction()) << "a key clash keeps the transaction";
    ASSERT_FALSE(db.CommitTransaction().IsError());
    EXPECT_FALSE(db.InTransaction());

    Exec(db, "PRAGMA max_page_count = " + std::to_string(Scalar(db, "PRAGMA page_count")));
    ASSERT_FALSE(db.BeginTransaction().IsError());
    CZoError err = db.Execute("INSERT INTO k VALUES (2, '" + std::string(20000, 'y') + "')", rows);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 13)) << err.AsString();
    EXPECT_FALSE(db.InTransaction()) << "SQLite rolled it back";
}

TEST_F(FXDatabaseTest, FailedCommitKeepsTheTransactionAndTheNextCommitSavesEveryRow) {
    {
        FX::CDatabaseWithStorage db(0);
        OpenIn(db);
        Exec(db, "CREATE TABLE k (a INT)");
        ASSERT_FALSE(db.BeginTransaction().IsError());
        Exec(db, "INSERT INTO k VALUES (1)");
        db.TEST_FailNextCommit(5);
        CZoError err = db.CommitTransaction();
        EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 5)) << err.AsString();
        // Still one open transaction: a BEGIN does not fail on it, later rows join it.
        EXPECT_FALSE(db.BeginTransaction().IsError());
        Exec(db, "INSERT INTO k VALUES (2)");
        EXPECT_FALSE(db.CommitTransaction().IsError());
        EXPECT_FALSE(db.CloseDatabase().IsError());
    }
    FX::CDatabaseWithStorage again(0);
    OpenIn(again);
    EXPECT_EQ(2, Scalar(again, "SELECT COUNT(*) FROM k"));
}

TEST_F(FXDatabaseTest, CommitSucceedsWhileAnotherQueryIsBetweenRows) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)");
    Exec(db, "INSERT INTO k VALUES (1), (2), (3)");
    ASSERT_FALSE(db.BeginTransaction().IsError());
    Exec(db, "INSERT INTO k VALUES (4)");
    boost::shared_ptr<FX::CSQLite3Query> q;
    ASSERT_FALSE(db.Query("SELECT a FROM k", q).IsError());
    ASSERT_FALSE(q->Eof());
    CZoError err = db.CommitTransaction();
    EXPECT_FALSE(err.IsError()) << err.AsString();
    int seen = 0;
    for (; !q->Eof(); q->NextRow()) ++seen;
    EXPECT_EQ(4, seen);
}

TEST_F(FXDatabaseTest, CloseFinalizesQueriesStillHeldAndReallyCloses) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)");
    Exec(db, "INSERT INTO k VALUES (1), (2)");
    boost::shared_ptr<FX::CSQLite3Query> q;
    boost::shared_ptr<FX::CSQLite3Statement> s;
    ASSERT_FALSE(db.Query("SELECT a FROM k", q).IsError());
    ASSERT_FALSE(db.CompileStatement("SELECT a FROM k WHERE a = ?", s).IsError());
    CZoError err = db.CloseDatabase();
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(db.IsOpen());
    EXPECT_THROW(q->NextRow(), FX::CSQLite3Exception);
    EXPECT_FALSE(s->IsCompiled());
    q.reset();
    s.reset();
    // Reopens cleanly: the earlier close left nothing behind.
    ASSERT_FALSE(db.OpenDatabase().IsError());
    EXPECT_EQ(2, Scalar(db, "SELECT COUNT(*) FROM k"));
}

TEST_F(FXDatabaseTest, EscapeTextDoublesSingleQuotesOnly) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"plain-guid-1234", "plain-guid-1234"},
        {"a'b", "a''b"},
        {"'", "''"},
        {"x'); DROP TABLE k; --", "x''); DROP TABLE k; --"},
        {"%s%d\"", "%s%d\""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.out, FX::CDatabaseBase::EscapeText(c.in)) << c.in;
}

TEST_F(FXDatabaseTest, InjectedThrowsReachTheCaller) {
    FX::CDatabaseWithStorage db(0);
    OpenIn(db);
    Exec(db, "CREATE TABLE k (a INT)");
    Exec(db, "INSERT INTO k VALUES (1), (2), (3)");
    boost::shared_ptr<FX::CSQLite3Query> q;

    db.TEST_ThrowOnNextCall(10, "disk I/O error");
    try {
        db.Query("SELECT a FROM k", q);
        FAIL() << "no throw";
    } catch (const FX::CSQLite3Exception& e) {
        EXPECT_EQ(10, e.errorCode());
        ASSERT_NE(nullptr, e.errorMessage());
        EXPECT_STREQ("disk I/O error", e.errorMessage());
    }
    db.TEST_ThrowOnNextCall(11, nullptr);
    try {
        long value = 0;
        db.QueryScalar("SELECT 1", value, 0);
        FAIL() << "no throw";
    } catch (const FX::CSQLite3Exception& e) {
        EXPECT_EQ(11, e.errorCode());
        EXPECT_EQ(nullptr, e.errorMessage());
    }
    // Only the next call: the following one runs.
    ASSERT_FALSE(db.Query("SELECT a FROM k", q).IsError());

    db.TEST_ThrowOnNextCall(11, "corrupt", 2);
    ASSERT_FALSE(db.Query("SELECT a FROM k ORDER BY a", q).IsError());
    EXPECT_EQ(1, q->GetIntField(0, 0));
    q->NextRow();
    EXPECT_EQ(2, q->GetIntField(0, 0));
    EXPECT_THROW(q->NextRow(), FX::CSQLite3Exception);
}

}  // namespace

// An answer read from a table stays the engine's answer while the table's
// change count stays: every way the rows can change moves it.
TEST_F(FXDatabaseTest, EveryWayRowsCanChangeMovesTheTablesChangeCount) {
    FX::CDatabaseWithStorage db(0);
    const int t = db.WatchTable("t");
    const int u = db.WatchTable("U");  // names compare without regard to case
    ASSERT_EQ(0, t);
    ASSERT_EQ(1, u);
    OpenIn(db);
    Exec(db, "CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT)");
    Exec(db, "CREATE TABLE u(k INTEGER PRIMARY KEY, v TEXT)");
    Exec(db, "INSERT INTO t VALUES (1, 'a'), (2, 'b')");
    const struct {
        const char* sql;
        bool fails;
        bool t, u;  // whose counts move
    } cases[] = {
        {"INSERT INTO u VALUES (1, 'x')", false, false, true},
        {"UPDATE t SET v = 'c' WHERE k = 1", false, true, false},
        {"UPDATE t SET v = 'c' WHERE k = 99", false, false, false},  // nothing changed
        {"SELECT * FROM t", false, false, false},
        {"INSERT OR REPLACE INTO t VALUES (2, 'd')", false, true, false},
        {"DELETE FROM t WHERE k = 2", false, true, false},
        {"DELETE FROM u", false, true, true},  // emptied whole: the hook sees no row
        {"INSERT INTO t VALUES (1, 'dup')", true, true, true},  // a failed statement
        {"BEGIN", false, false, false},
        {"INSERT INTO t VALUES (5, 'e')", false, true, false},
        {"ROLLBACK", false, true, true},
        {"CREATE TABLE w(k)", false, true, true},  // the schema
        {"COMMIT", true, true, true},  // no transaction to commit: a failure
    };
    for (const auto& c : cases) {
        const uint64_t beforeT = db.TableChanges(t), beforeU = db.TableChanges(u);
        int rows = 0;
        EXPECT_EQ(c.fails, db.Execute(c.sql, rows).IsError()) << c.sql;
        EXPECT_EQ(c.t, db.TableChanges(t) != beforeT) << c.sql;
        EXPECT_EQ(c.u, db.TableChanges(u) != beforeU) << c.sql;
    }
    // A query object's statement counts as well.
    uint64_t before = db.TableChanges(t);
    boost::shared_ptr<FX::CSQLite3Query> q;
    ASSERT_FALSE(db.Query("DELETE FROM t", q).IsError());
    EXPECT_NE(before, db.TableChanges(t));

    before = db.TableChanges(u);
    ASSERT_FALSE(db.CloseDatabase().IsError());
    EXPECT_NE(before, db.TableChanges(u));
    EXPECT_EQ(-1, [] {
        FX::CDatabaseBase many;
        for (int i = 0; i < 4; ++i) many.WatchTable("t" + std::to_string(i));
        return many.WatchTable("one too many");
    }());
}
