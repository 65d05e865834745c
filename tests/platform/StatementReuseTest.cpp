// Texts run through reused compiled statements give what the same texts give
// when each is compiled as it stands.

#include "platform/FXDatabase.h"
#include "platform/SqlShape.h"
#include "support/TempDir.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sqlite3.h>
#include <thread>
#include <vector>

namespace {

using Rows = std::vector<std::vector<std::string>>;

// What a caller can see of one text's run: its error (code and text), the rows
// it changed, the names of its result columns and the rows it returned.
struct Outcome {
    bool failed = false;
    std::string error;
    int changed = 0;
    std::vector<std::string> names;
    Rows rows;
};

// A connection whose limits a test may lower.
class LimitedDatabase : public FX::CDatabaseWithStorage {
public:
    LimitedDatabase() : FX::CDatabaseWithStorage(0) {}
    void SetLimit(int limit, int value) { sqlite3_limit(Handle(), limit, value); }
};

class StatementReuseTest : public ::testing::Test {
protected:
    void SetUp() override {
        Open(plain, "plain.db");
        Open(reused, "reused.db");
        plain.TEST_ReuseStatements(false);
        for (FX::CDatabaseBase* db : {static_cast<FX::CDatabaseBase*>(&plain), static_cast<FX::CDatabaseBase*>(&reused)}) {
            int rows = 0;
            ASSERT_FALSE(db->Execute("CREATE TABLE t(i INTEGER, s TEXT, a, n NUMERIC, col1 INTEGER)", rows).IsError());
            ASSERT_FALSE(db->Execute("CREATE TABLE u(k INTEGER PRIMARY KEY, v NOT NULL)", rows).IsError());
        }
    }
    void Open(LimitedDatabase& db, const std::string& name) {
        db.SetDatabasePath(dir.path());
        db.SetDatabaseName(name);
        ASSERT_FALSE(db.OpenDatabase().IsError());
    }

    template <typename Sql>
    static Outcome Execute(FX::CDatabaseBase& db, const Sql& sql) {
        Outcome out;
        CZoError err = db.Execute(sql, out.changed);
        out.failed = err.IsError();
        if (out.failed) out.error = err.AsString(), out.changed = 0;
        return out;
    }
    // The column names, then every column of every row, up to the first
    // column that is not there.
    template <typename Sql>
    static Outcome Query(FX::CDatabaseBase& db, const Sql& sql) {
        Outcome out;
        boost::shared_ptr<FX::CSQLite3Query> q;
        CZoError err = db.Query(sql, q);
        out.failed = err.IsError();
        if (out.failed) {
            out.error = err.AsString();
            return out;
        }
        for (int field = 0;; ++field) {
            try {
                out.names.push_back(q->FieldName(field));
            } catch (const FX::CSQLite3Exception&) {
                break;
            }
        }
        for (; !q->Eof(); q->NextRow()) {
            std::vector<std::string> row;
            for (int field = 0;; ++field) {
                try {
                    row.push_back(q->GetStringField(field, "<null>"));
                } catch (const FX::CSQLite3Exception&) {
                    break;
                }
            }
            out.rows.push_back(row);
        }
        return out;
    }
    static Outcome Table(FX::CDatabaseBase& db) {
        return Query(db, "SELECT rowid, i, typeof(i), s, typeof(s), a, typeof(a), n, typeof(n), col1, typeof(col1) "
                         "FROM t ORDER BY rowid");
    }
    void ExpectSame(const Outcome& expected, const Outcome& got, const std::string& sql) {
        EXPECT_EQ(expected.failed, got.failed) << sql;
        EXPECT_EQ(expected.error, got.error) << sql;
        EXPECT_EQ(expected.changed, got.changed) << sql;
        EXPECT_EQ(expected.names, got.names) << sql;
        EXPECT_EQ(expected.rows, got.rows) << sql;
    }

    // Twice each: the second round runs every shape from a compiled statement
    // the first round left behind.
    template <size_t N>
    void WriteTwiceOnBoth(const char* const (&texts)[N]) {
        for (int round = 0; round < 2; ++round) {
            for (const char* sql : texts) {
                ExpectSame(Execute(plain, sql), Execute(reused, sql), sql);
                ExpectSame(Table(plain), Table(reused), sql);
            }
        }
    }
    template <size_t N>
    void QueryTwiceOnBoth(const char* const (&texts)[N]) {
        for (int round = 0; round < 2; ++round) {
            for (const char* sql : texts) ExpectSame(Query(plain, sql), Query(reused, sql), sql);
        }
    }
    // The same four rows of t on both connections.
    void InsertRows() {
        const char* const setup[] = {
            "INSERT INTO t(i, s, a) VALUES (1, 'it''s', 'x')",
            "INSERT INTO t(i, s, a) VALUES (-5, '', 2.5)",
            "INSERT INTO t(i, s, a) VALUES (-9223372036854775808, 'x-1', 9223372036854775807)",
            "INSERT INTO t(i, s, a) VALUES (3, 'x-%', '3')",
        };
        for (const char* sql : setup) {
            ASSERT_FALSE(Execute(plain, sql).failed);
            ASSERT_FALSE(Execute(reused, sql).failed);
        }
    }
    // Both connections, the plain one first.
    std::vector<LimitedDatabase*> Both() { return {&plain, &reused}; }

    TempDir dir;
    LimitedDatabase plain;
    LimitedDatabase reused;
};

TEST_F(StatementReuseTest, WritesStoreTheSameValuesWithTheSameTypes) {
    const char* const texts[] = {
        "INSERT INTO t(i, s, a, n) VALUES (1, 'it''s', 'x', '12')",
        "INSERT INTO t(i, s, a, n) VALUES (-5, '', -0, 'twelve')",
        "INSERT INTO t(i, s, a, n) VALUES (9223372036854775807, '9223372036854775807', -9223372036854775808, "
        "-9223372036854775807)",
        "INSERT INTO t(i, s, a, n) VALUES (9223372036854775808, 'x-1', 18446744073709551616, -9223372036854775809)",
        "INSERT INTO t(i, s, a, n) VALUES (1.5, '1.5', .5e1, 1e-2)",
        "INSERT INTO t(i, s, a, n) VALUES (0x7FFFFFFFFFFFFFFF, 0x10, x'00ff', X'')",
        "INSERT INTO t(i, s, a, n) VALUES (NULL, NULL, TRUE, false)",
        "INSERT INTO t(i, s, a, n) VALUES ('42', 42, '42', ' 42 ')",
        "INSERT INTO t(i, s, a, n) VALUES (007, '007', 1E3, '0x10')",
        "INSERT INTO t(i, s, a, n) VALUES (3 -- a comment 'x' 5\n, '/* not a comment */', /* 7 */ 8, '--')",
        "INSERT INTO t(i, s, a, col1) VALUES (10-1, 'a''''b', 2 - -3, 11)",
        "INSERT INTO t(i,s,a,col1)VALUES(2-1,'x'||'y',-'3',col1)",
        "INSERT INTO t(i, s, a) VALUES (1, 'ünïcödé', 'tab\t;')",
        "INSERT INTO t(i, s, a) VALUES (4, 'a', 1); INSERT INTO t(i, s, a) VALUES (5, 'b', 2)",
        "INSERT INTO t(i, s, a) VALUES (6, 'c', 3);",
        "INSERT INTO t(i) VALUES (?)",
        "INSERT INTO t(\"i\", [s], `a`) VALUES (7, \"s\", 'bracket]')",
        "INSERT INTO t(i, s) SELECT i + 100, s || '-copy' FROM t WHERE i = 1 ORDER BY 1 LIMIT 1",
        "INSERT INTO t(i, s) SELECT 5, 'five' FROM t WHERE i = -5",
        "UPDATE t SET a = a + 1 WHERE i = 1 AND s = 'it''s'",
        "UPDATE t SET s = s || '-1' WHERE i > -6 AND i < 2",
        "UPDATE t SET n = 2.50 WHERE i = '9'",
        "REPLACE INTO t(rowid, i, s) VALUES (1, 2, 'r')",
        "INSERT OR REPLACE INTO u VALUES (1, 'one')",
        "INSERT INTO u VALUES (1, 'again')",
        "INSERT INTO u VALUES (2, NULL)",
        "INSERT INTO t(nope) VALUES (1)",
        "INSERT INTO 't'(i) VALUES (12)",
        "INSERT INTO t(i, s) VALUES (13, 'unterminated)",
        "DELETE FROM t WHERE i = '9223372036854775807'",
        "DELETE FROM t WHERE s = '' AND i = -5",
        "DELETE FROM t WHERE rowid IN (SELECT rowid FROM t WHERE i = 4 LIMIT 1)",
    };
    WriteTwiceOnBoth(texts);
    EXPECT_GT(reused.TEST_IdleStatements(), 0u);
    EXPECT_EQ(0u, plain.TEST_IdleStatements());
}

TEST_F(StatementReuseTest, QueriesReturnTheSameRowsAndColumnNames) {
    InsertRows();
    const char* const texts[] = {
        "SELECT i, typeof(i), s, typeof(s), a, typeof(a) FROM t WHERE i = 1",
        "SELECT i FROM t WHERE i = -9223372036854775808",
        "SELECT i FROM t WHERE i = 9223372036854775808",
        "SELECT COUNT(*) FROM t WHERE s = ''",
        "SELECT i FROM t ORDER BY 1 DESC LIMIT 2",
        "SELECT s, COUNT(*) FROM t GROUP BY 1 HAVING COUNT(*) > 0 ORDER BY 1 LIMIT 2, 1",
        "SELECT 5, 'lit', -1, typeof(-9223372036854775808) FROM t WHERE i = 1",
        "SELECT v, typeof(v) FROM (SELECT -9223372036854775808 AS v)",
        "SELECT v, typeof(v) FROM (SELECT 9223372036854775807 + 1 AS v)",
        "SELECT v, typeof(v) FROM (SELECT '12' + 1 AS v)",
        "SELECT i FROM t WHERE i IN (1, -5, 7) ORDER BY i",
        "SELECT s FROM t WHERE s LIKE 'x-%' ORDER BY s",
        "SELECT s FROM t WHERE a = '3'",
        "SELECT s FROM t WHERE a = 3",
        "SELECT s FROM t WHERE a > 2.4 AND a < 2.6",
        "SELECT rowid FROM t WHERE s = 'it''s' AND a = 'x'",
        "SELECT i FROM t WHERE i = '1'",
        "SELECT i FROM t WHERE s = 'x-1' -- 'x-%'",
        "SELECT 1",
        "SELECT * FROM t WHERE i = ?",
        "SELECT * FROM missing WHERE i = 1",
        "SELECT * FROM t WHERE i = 1; SELECT 2",
    };
    QueryTwiceOnBoth(texts);
    // A result column is named after its text.
    for (FX::CDatabaseBase* db : {static_cast<FX::CDatabaseBase*>(&plain), static_cast<FX::CDatabaseBase*>(&reused)}) {
        boost::shared_ptr<FX::CSQLite3Query> q;
        ASSERT_FALSE(db->Query("SELECT 5, 'lit', i + 1 FROM t WHERE i = 1", q).IsError());
        EXPECT_EQ(0, q->FieldIndex("5"));
        EXPECT_EQ(1, q->FieldIndex("'lit'"));
        EXPECT_EQ(2, q->FieldIndex("i + 1"));
        long value = 0;
        ASSERT_FALSE(db->QueryScalar("SELECT a FROM t WHERE i = -9223372036854775808", value, 0).IsError());
        EXPECT_EQ(9223372036854775807L, value);
    }
}

TEST_F(StatementReuseTest, OneShapeKeepsOneCompiledStatement) {
    for (int k = 0; k < 50; ++k) {
        int rows = 0;
        ASSERT_FALSE(reused.Execute("INSERT INTO t(i, s) VALUES (" + std::to_string(k) + ", 'v" + std::to_string(k) + "')",
                                    rows)
                         .IsError());
        long value = 0;
        ASSERT_FALSE(reused.QueryScalar("SELECT i FROM t WHERE s = 'v" + std::to_string(k) + "'", value, -1).IsError());
        EXPECT_EQ(k, value);
    }
    EXPECT_EQ(2u, reused.TEST_IdleStatements());
}

TEST_F(StatementReuseTest, ClosingFinalizesHeldAndIdleStatements) {
    int rows = 0;
    ASSERT_FALSE(reused.Execute("INSERT INTO t(i) VALUES (1)", rows).IsError());
    boost::shared_ptr<FX::CSQLite3Query> held;
    ASSERT_FALSE(reused.Query("SELECT i FROM t WHERE i = 1", held).IsError());
    ASSERT_FALSE(held->Eof());
    ASSERT_FALSE(reused.CloseDatabase().IsError());
    EXPECT_FALSE(reused.IsOpen());
    EXPECT_EQ(0u, reused.TEST_IdleStatements());
    held.reset();  // after the close: nothing left to put back
    EXPECT_EQ(0u, reused.TEST_IdleStatements());
}

// Texts whose shape would bind a literal where its text means something else:
// a column's position, a result column's name.
TEST_F(StatementReuseTest, LiteralsThatAreNotValuesStayInTheText) {
    InsertRows();
    const char* const texts[] = {
        // an ordering term after a subquery with LIMIT or HAVING is a position
        "SELECT s, i FROM t ORDER BY (SELECT k FROM u LIMIT 1), 2",
        "SELECT s, i FROM t ORDER BY (SELECT COUNT(*) FROM u HAVING COUNT(*) >= 0), 2 DESC",
        "SELECT s, COUNT(*) FROM t GROUP BY (SELECT 1 FROM u LIMIT 1), 1 ORDER BY 1",
        "SELECT s, COUNT(*) FROM t GROUP BY (SELECT COUNT(*) FROM u HAVING COUNT(*) >= 0), 1 ORDER BY 1",
        "SELECT i FROM t WHERE i IN (SELECT i FROM t ORDER BY 1 LIMIT 2) ORDER BY 1",
        // a subquery's select list names the outer columns
        "SELECT * FROM (SELECT 5, 'lit', -7, i FROM t WHERE i = 1)",
        "SELECT * FROM (SELECT i, 6 FROM t UNION ALL SELECT 7, 8) ORDER BY 1",
        "SELECT * FROM t WHERE i = 3 UNION SELECT 1, 'x', 2, 3, 4 ORDER BY 1",
        "SELECT (SELECT 9), 10 FROM t WHERE i = 1",
        "SELECT * FROM (VALUES (1, 'v'), (2, 'w'))",
        "SELECT * FROM (SELECT i FROM t WHERE i = 1), (SELECT 11)",
        // IS DISTINCT FROM is not the FROM of the select list
        "SELECT i IS DISTINCT FROM 5, 7 FROM t WHERE i = 1",
        "SELECT i IS NOT DISTINCT FROM 1, 'eight' FROM t WHERE i = 1",
        "SELECT s FROM t WHERE i IS DISTINCT FROM 1 ORDER BY 1",
        // a sign belongs to the value wherever it is unary
        "SELECT i FROM t WHERE i = -5 OR i = - 3 OR i IN (-1, 2 - -1) ORDER BY i",
        "SELECT i - 1, i FROM t WHERE i-1 > -7 AND i -1 < 3 ORDER BY 2",
        "SELECT i FROM t WHERE i BETWEEN -6 AND -4 OR NOT -1 > i ORDER BY 1 LIMIT -1",
        "SELECT i FROM t WHERE i = -9223372036854775808 OR i = -9223372036854775807 - 1",
        "SELECT i FROM t WHERE i > -0 AND a > -2.5 ORDER BY 1 LIMIT 2 OFFSET -0",
        "SELECT CASE WHEN i > 0 THEN -1 ELSE -2 END FROM t WHERE s = 'x-1'",
        "SELECT i FROM t WHERE s = 'x' || -1 ORDER BY 1",
        "SELECT COUNT(*) - 1 FROM t WHERE i <> -5",
    };
    QueryTwiceOnBoth(texts);
    const char* const writes[] = {
        "UPDATE t SET a = -1 WHERE i = -5",
        "UPDATE t SET a = a - 1, n = -2 WHERE i - 1 = -6",
        "INSERT INTO t(i, s, a) VALUES (-6, '-6', - 6)",
        "INSERT INTO t(i, s) SELECT -i, 'neg' FROM t WHERE i = 3",
        "DELETE FROM t WHERE i = -6",
    };
    WriteTwiceOnBoth(writes);
}

// A kept statement was resolved against the databases attached when it was
// compiled; after ATTACH or DETACH a name may stand for another table.
TEST_F(StatementReuseTest, AttachingOrDetachingDropsKeptStatements) {
    int rows = 0;
    for (const char* name : {"one", "two"}) {
        FX::CDatabaseWithStorage file(0);
        file.SetDatabasePath(dir.path());
        file.SetDatabaseName(std::string(name) + ".db");
        ASSERT_FALSE(file.OpenDatabase().IsError());
        ASSERT_FALSE(file.Execute("CREATE TABLE x(k INTEGER, v TEXT)", rows).IsError());
        ASSERT_FALSE(file.Execute(std::string("INSERT INTO x VALUES (1, '") + name + "')", rows).IsError());
    }
    const std::string one = "ATTACH DATABASE '" + dir.path() + "/one.db' AS one";
    const std::string two = "ATTACH DATABASE '" + dir.path() + "/two.db' AS two";
    const char* const query = "SELECT v FROM x WHERE k = 1";
    auto same = [&](const std::string& step) {
        ExpectSame(Execute(plain, step), Execute(reused, step), step);
        if (step.compare(1, 5, "TTACH") == 0 || step.compare(1, 5, "ETACH") == 0) {
            EXPECT_EQ(0u, reused.TEST_IdleStatements()) << step;
        }
        ExpectSame(Query(plain, query), Query(reused, query), step);
    };
    same(two);           // x is two.x
    same(one);           // still two.x: attached later names come later
    same("DETACH two");  // one.x
    same(two);
    same("DETACH one");  // two.x again
    same("CREATE TEMP TABLE x(k INTEGER, v TEXT)");  // temp.x shadows two.x
    same("INSERT INTO temp.x VALUES (1, 'temp')");
    same("DROP TABLE temp.x");
    same("DETACH two");  // no x at all

    // A statement in use while a database is attached is not kept afterwards.
    boost::shared_ptr<FX::CSQLite3Query> held;
    ASSERT_FALSE(reused.Query("SELECT i FROM t WHERE i = 1", held).IsError());
    ASSERT_FALSE(reused.Execute(one, rows).IsError());
    held.reset();
    EXPECT_EQ(0u, reused.TEST_IdleStatements());
}

// A kept statement was resolved against the schemas as they stood when it was
// compiled; SQLite compiles it again only when a database it reads changed.
// Once any schema changes, on this connection or through another one, an
// unqualified name may stand for a table of another database.
TEST_F(StatementReuseTest, ASchemaChangeDropsKeptStatements) {
    int rows = 0;
    {
        FX::CDatabaseWithStorage file(0);
        file.SetDatabasePath(dir.path());
        file.SetDatabaseName("aux.db");
        ASSERT_FALSE(file.OpenDatabase().IsError());
        ASSERT_FALSE(file.Execute("CREATE TABLE s(a INTEGER, b TEXT)", rows).IsError());
        ASSERT_FALSE(file.Execute("INSERT INTO s VALUES (1, 'aux')", rows).IsError());
    }
    // Another connection to each of the two files, doing the same to both.
    FX::CDatabaseWithStorage otherPlain(0), otherReused(0);
    FX::CDatabaseWithStorage* const others[] = {&otherPlain, &otherReused};
    const char* const names[] = {"plain.db", "reused.db"};
    for (int k = 0; k < 2; ++k) {
        others[k]->SetDatabasePath(dir.path());
        others[k]->SetDatabaseName(names[k]);
        ASSERT_FALSE(others[k]->OpenDatabase().IsError());
    }
    const char* const query = "SELECT b FROM s WHERE a = 1";
    const char* const touchMain = "SELECT i FROM t WHERE i = 1";
    auto same = [&](const std::string& step) {
        ExpectSame(Execute(plain, step), Execute(reused, step), step);
        ExpectSame(Query(plain, query), Query(reused, query), step);
        ExpectSame(Query(plain, query), Query(reused, query), step + ", again");
    };
    auto theirs = [&](const std::string& step) {
        for (FX::CDatabaseWithStorage* other : others) ASSERT_FALSE(other->Execute(step, rows).IsError()) << step;
        ExpectSame(Query(plain, query), Query(reused, query), "theirs: " + step);
        // Once this connection has read its main database again.
        ExpectSame(Query(plain, touchMain), Query(reused, touchMain), "theirs: " + step);
        ExpectSame(Query(plain, query), Query(reused, query), "theirs, main read: " + step);
    };

    same("ATTACH DATABASE '" + dir.path() + "/aux.db' AS aux");  // s is aux.s
    same("CREATE TABLE main.s(a INTEGER, b TEXT)");                 // main.s, empty
    same("INSERT INTO main.s VALUES (1, 'main')");
    same("DROP TABLE main.s");                                      // aux.s again
    same("CREATE VIEW main.s AS SELECT 1 AS a, 'view' AS b");
    same("DROP VIEW main.s");
    same("CREATE TEMP TABLE s(a INTEGER, b TEXT)");
    same("INSERT INTO temp.s VALUES (1, 'temp')");
    same("DROP TABLE temp.s");
    same("CREATE TABLE main.r(a INTEGER, b TEXT)");
    same("INSERT INTO main.r VALUES (1, 'renamed')");
    same("ALTER TABLE main.r RENAME TO s");
    // Undone by a rollback: main.s is back.
    same("BEGIN");
    same("DROP TABLE main.s");
    same("ROLLBACK");
    same("DROP TABLE main.s");

    theirs("CREATE TABLE s(a INTEGER, b TEXT)");
    theirs("INSERT INTO s VALUES (1, 'theirs')");
    theirs("DROP TABLE s");
    theirs("CREATE TABLE s(a INTEGER, b TEXT)");
    same("INSERT INTO main.s VALUES (1, 'mine')");
    theirs("DROP TABLE s");

    // With main and temp alone, SQLite itself compiles a kept statement again
    // wherever its name could come to stand for another table.
    same("DETACH aux");  // no s at all
    same("CREATE TABLE main.s(a INTEGER, b TEXT)");
    same("INSERT INTO main.s VALUES (1, 'main')");
    EXPECT_GT(reused.TEST_IdleStatements(), 0u);  // statements are kept again
    same("CREATE TEMP TABLE s(a INTEGER, b TEXT)");  // temp.s hides main.s
    same("INSERT INTO temp.s VALUES (1, 'temp')");
    theirs("DROP TABLE s");
    theirs("CREATE TABLE s(a INTEGER, b TEXT)");
    same("DROP TABLE temp.s");
    theirs("INSERT INTO s VALUES (1, 'theirs')");
}

// A text longer than the connection allows fails as it stands, even though
// its shape would be short enough.
TEST_F(StatementReuseTest, ATextOverTheLengthLimitFails) {
    const std::string sql = "SELECT i FROM t WHERE s = '" + std::string(300, 'y') + "'";
    const std::string write = "INSERT INTO t(s) VALUES ('" + std::string(300, 'z') + "')";
    for (LimitedDatabase* db : Both()) db->SetLimit(SQLITE_LIMIT_SQL_LENGTH, 200);
    Outcome expected = Query(plain, sql);
    EXPECT_TRUE(expected.failed);
    ExpectSame(expected, Query(reused, sql), sql);
    Outcome written = Execute(plain, write);
    EXPECT_TRUE(written.failed);
    ExpectSame(written, Execute(reused, write), write);
    EXPECT_EQ(0u, reused.TEST_ShapesCompiled());
    ExpectSame(Table(plain), Table(reused), write);
}

// A statement given compiled, with the values of a full text.
class GivenCompiled : public FX::CompiledSql {
public:
    GivenCompiled(std::string compiled, std::vector<Value> values, std::string full, bool bindable = true)
        : compiled(std::move(compiled)), values(std::move(values)), full(std::move(full)), bindable(bindable) {}
    const std::string& Compiled() const override { return compiled; }
    size_t ValueCount() const override { return values.size(); }
    const Value* Values() const override { return values.data(); }
    bool Bindable() const override { return bindable; }
    std::string FullText() const override {
        ++printed;
        return full;
    }

    const std::string compiled;
    const std::vector<Value> values;
    const std::string full;
    const bool bindable;
    mutable int printed = 0;
};

FX::CompiledSql::Value Number(long long n) { return {FX::CompiledSql::Value::Integer, n, nullptr, 0}; }
FX::CompiledSql::Value QuotedNumber(long long n) { return {FX::CompiledSql::Value::IntegerText, n, nullptr, 0}; }
FX::CompiledSql::Value Text(const std::string& text) {
    return {FX::CompiledSql::Value::Text, 0, text.data(), text.size()};
}

// A compiled statement stores and finds what its full text does, compiled
// once and without printing its full text; the full text is printed for an
// error, which names it, and runs as it stands when the values cannot be
// bound or the compiled text does not take them.
TEST_F(StatementReuseTest, CompiledStatementsDoWhatTheirFullTextsDo) {
    const std::string quote = "it's", empty;
    GivenCompiled insert("INSERT INTO t(i, s, a, n) VALUES (?, ?, ?, ?)",
                         {Number(-5), Text(quote), QuotedNumber(LLONG_MAX), QuotedNumber(-1)},
                         "INSERT INTO t(i, s, a, n) VALUES (-5, 'it''s', '9223372036854775807', '-1')");
    GivenCompiled blank("INSERT INTO t(i, s, a, col1) VALUES (?, ?, ?, ?)",
                        {QuotedNumber(LLONG_MIN), Text(empty), Text(quote), QuotedNumber(7)},
                        "INSERT INTO t(i, s, a, col1) VALUES ('-9223372036854775808', '', 'it''s', '7')");
    Table(reused);
    const size_t before = reused.TEST_ShapesCompiled();
    for (int round = 0; round < 2; ++round) {
        for (const GivenCompiled* sql : {&insert, &blank}) {
            ExpectSame(Execute(plain, sql->full), Execute(reused, *sql), sql->full);
            ExpectSame(Table(plain), Table(reused), sql->full);
        }
    }
    GivenCompiled select("SELECT i, typeof(a), s FROM t WHERE s = ? AND i = ?", {Text(quote), Number(-5)},
                         "SELECT i, typeof(a), s FROM t WHERE s = 'it''s' AND i = -5");
    Outcome found = Query(reused, select);
    EXPECT_EQ(2u, found.rows.size());
    ExpectSame(Query(plain, select.full), found, select.full);
    EXPECT_EQ(before + 3, reused.TEST_ShapesCompiled());
    EXPECT_EQ(0, insert.printed + blank.printed + select.printed);

    GivenCompiled clash("INSERT INTO u(k, v) VALUES (?, ?)", {QuotedNumber(1), Text(quote)},
                        "INSERT INTO u(k, v) VALUES ('1', 'it''s')");
    EXPECT_FALSE(Execute(reused, clash).failed);
    Outcome failed = Execute(reused, clash);
    EXPECT_TRUE(failed.failed);
    EXPECT_NE(std::string::npos, failed.error.find("(sql=" + clash.full + ")")) << failed.error;

    // Which ran shows in the row: the full text stores 8, the values 9.
    const GivenCompiled asTexts[] = {
        GivenCompiled("INSERT INTO t(col1) VALUES (?)", {Number(9)}, "INSERT INTO t(col1) VALUES (8)", false),
        GivenCompiled("INSERT INTO t(col1) VALUES (?, ?)", {Number(9)}, "INSERT INTO t(col1) VALUES (8)")};
    for (const GivenCompiled& asText : asTexts) {
        EXPECT_FALSE(Execute(reused, asText).failed);
        const Outcome stored = Query(reused, std::string("SELECT col1 FROM t WHERE col1 IN (8, 9)"));
        EXPECT_EQ(Rows{{"8"}}, stored.rows);
        ASSERT_FALSE(Execute(reused, std::string("DELETE FROM t WHERE col1 = 8")).failed);
        EXPECT_EQ(1, asText.printed);
    }
}

// A compiled text with a slot of its own, as every format of the library's
// row statements has.
class SlottedCompiled : public GivenCompiled {
public:
    SlottedCompiled(int slot, std::string compiled, std::vector<Value> values, std::string full)
        : GivenCompiled(std::move(compiled), std::move(values), std::move(full)), slot(slot) {}
    int Slot() const override { return slot; }
    const int slot;
};

// A text with a slot is compiled once and found in its slot again; two of
// its statements in use at once are both kept (the second by its text) and
// both reused, and each query reads its own rows. A second text claiming the
// same slot gets its own statement, never the first text's.
TEST_F(StatementReuseTest, ACompiledTextInASlotIsReusedAndNeverTakenForAnother) {
    InsertRows();
    const int slot = FX::CompiledSql::kSlots - 1;
    const SlottedCompiled byNumber(slot, "SELECT s FROM t WHERE i = ?", {Number(1)},
                                   "SELECT s FROM t WHERE i = 1");
    const SlottedCompiled other(slot, "SELECT s FROM t WHERE i = ? OR i = 3", {Number(-5)},
                                "SELECT s FROM t WHERE i = -5 OR i = 3");
    const size_t compiled = reused.TEST_ShapesCompiled();
    const size_t idle = reused.TEST_IdleStatements();
    for (int round = 0; round < 3; ++round) {
        boost::shared_ptr<FX::CSQLite3Query> first, second;
        ASSERT_FALSE(reused.Query(byNumber, first).IsError());
        ASSERT_FALSE(reused.Query(byNumber, second).IsError());
        for (const auto& q : {first, second}) {
            ASSERT_FALSE(q->Eof());
            EXPECT_EQ("it's", q->GetStringField(0, ""));
            q->NextRow();
            EXPECT_TRUE(q->Eof());
        }
        EXPECT_EQ(compiled + 2, reused.TEST_ShapesCompiled()) << round;
        first.reset();
        second.reset();
        EXPECT_EQ(idle + 2, reused.TEST_IdleStatements()) << round;
    }
    ExpectSame(Query(plain, other.full), Query(reused, other), other.full);
    ExpectSame(Query(plain, byNumber.full), Query(reused, byNumber), byNumber.full);
    EXPECT_EQ(compiled + 3, reused.TEST_ShapesCompiled());
    EXPECT_EQ(0, byNumber.printed + other.printed);
}

// The full text's literal of a value.
std::string Literal(const FX::CompiledSql::Value& v) {
    if (v.kind == FX::CompiledSql::Value::Integer) return std::to_string(v.number);
    if (v.kind == FX::CompiledSql::Value::IntegerText) return "'" + std::to_string(v.number) + "'";
    return "'" + FX::CDatabaseBase::EscapeText(std::string(v.text, v.size)) + "'";
}

// A kept statement holds its bindings from one use to the next and binds
// again only the values that differ: a value equal to the last one stores
// and finds the same after the caller's memory of it went, and the same
// number given as another kind is bound as that kind.
TEST_F(StatementReuseTest, AKeptStatementRebindsOnlyWhatDiffersAndHoldsItsOwnCopy) {
    const int insertSlot = FX::CompiledSql::kSlots - 2, selectSlot = FX::CompiledSql::kSlots - 3;
    // a: the number as given, or the text itself when no number is given
    struct Use {
        const char* text;
        const FX::CompiledSql::Value* number;
    };
    const FX::CompiledSql::Value five = Number(5), quotedFive = QuotedNumber(5), minusOne = Number(-1),
                                 quotedMinusOne = QuotedNumber(-1);
    const Use uses[] = {
        {"it's", &five}, {"it's", &five}, {"", &quotedFive}, {"", &quotedFive}, {"5", nullptr},
        {"5", nullptr},  {"x", &minusOne}, {"it's", &quotedMinusOne}, {"it's", &five},
    };
    Table(reused);
    const size_t compiled = reused.TEST_ShapesCompiled();
    for (const Use& use : uses) {
        // Overwritten and gone before the next use.
        auto text = std::make_unique<std::string>(use.text);
        const FX::CompiledSql::Value value = use.number != nullptr ? *use.number : Text(*text);
        const SlottedCompiled insert(insertSlot, "INSERT INTO t(s, a) VALUES (?, ?)", {Text(*text), value},
                                     "INSERT INTO t(s, a) VALUES (" + Literal(Text(*text)) + ", " + Literal(value) + ")");
        ExpectSame(Execute(plain, insert.full), Execute(reused, insert), insert.full);
        const SlottedCompiled select(selectSlot, "SELECT rowid, s FROM t WHERE a = ? AND s = ?", {value, Text(*text)},
                                     "SELECT rowid, s FROM t WHERE a = " + Literal(value) +
                                         " AND s = " + Literal(Text(*text)));
        ExpectSame(Query(plain, select.full), Query(reused, select), select.full);
        std::fill(text->begin(), text->end(), 'z');
        text.reset();
        ExpectSame(Table(plain), Table(reused), insert.full);
    }
    EXPECT_EQ(compiled + 2, reused.TEST_ShapesCompiled());
}

// The adapter prints signed ids into its texts: a sign must not make a shape.
TEST_F(StatementReuseTest, TextsDifferingInASignShareOneStatement) {
    InsertRows();
    const size_t before = reused.TEST_ShapesCompiled();
    const size_t idle = reused.TEST_IdleStatements();
    for (const char* sql : {"SELECT s FROM t WHERE i = 1 AND a <> 2", "SELECT s FROM t WHERE i = -1 AND a <> -2",
                            "SELECT s FROM t WHERE i = -5 AND a <> 2", "SELECT s FROM t WHERE i = 3 AND a <> -0"})
        ExpectSame(Query(plain, sql), Query(reused, sql), sql);
    EXPECT_EQ(before + 1, reused.TEST_ShapesCompiled());
    EXPECT_EQ(idle + 1, reused.TEST_IdleStatements());
}

// A query object steps its statement after Query returned: the text it was
// given is gone by then, and the thread has shaped other texts, of the same
// shape too, into its own buffers.
TEST_F(StatementReuseTest, AQueryKeepsItsTextsUntilItsLastRow) {
    for (int i = 1; i <= 6; ++i) {
        const std::string s = i % 2 == 1 ? "'it''s'" : "'no''w'";
        ASSERT_FALSE(Execute(reused, "INSERT INTO t(i, s, a) VALUES (" + std::to_string(i) + ", " + s + ", 'x-long')")
                         .failed);
    }
    boost::shared_ptr<FX::CSQLite3Query> q;
    {
        // no ORDER BY: the rows after the first are found by the later steps
        std::string sql = "SELECT i FROM t WHERE s = 'it''s' AND a = 'x-long'";
        ASSERT_FALSE(reused.Query(sql, q).IsError());
        std::fill(sql.begin(), sql.end(), 'z');
    }
    // The same shape with texts of the same lengths, and another one.
    ASSERT_FALSE(Query(reused, "SELECT i FROM t WHERE s = 'no''w' AND a = 'y-long'").failed);
    ASSERT_FALSE(Execute(reused, "UPDATE t SET n = 'n''1' WHERE s = 'zz''z'").failed);
    std::vector<int> rows;
    for (; !q->Eof(); q->NextRow()) rows.push_back(q->GetIntField(0, -1));
    EXPECT_EQ((std::vector<int>{1, 3, 5}), rows);
}

// Threads share one connection; each compiled statement serves one of them at
// a time.
TEST_F(StatementReuseTest, ThreadsOnOneConnectionGetTheirOwnRows) {
    const int threads = 6, each = 200;
    int changed = 0;
    ASSERT_FALSE(reused.Execute("PRAGMA synchronous = OFF", changed).IsError());
    std::vector<std::thread> workers;
    std::vector<int> wrong(threads, 0);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int k = 0; k < each; ++k) {
                int rows = 0;
                long long key = t * 1000 + k;
                std::string text = "'" + std::to_string(key) + "'";
                if (reused.Execute("INSERT INTO t(i, s) VALUES (" + std::to_string(key) + ", " + text + ")", rows)
                        .IsError())
                    ++wrong[t];
                boost::shared_ptr<FX::CSQLite3Query> q;
                if (reused.Query("SELECT s FROM t WHERE i = " + std::to_string(key), q).IsError() || q->Eof() ||
                    q->GetStringField(0, "") != std::to_string(key))
                    ++wrong[t];
            }
        });
    }
    for (auto& w : workers) w.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(0, wrong[t]) << t;
    long count = 0;
    ASSERT_FALSE(reused.QueryScalar("SELECT COUNT(*) FROM t", count, 0).IsError());
    EXPECT_EQ(threads * each, count);
}

// FieldIndex answers from what it found before in the same compiled
// statement only while that still holds: the same name at that address, the
// columns of the statement as it was compiled.
TEST_F(StatementReuseTest, FieldIndexFollowsTheNameAndTheColumns) {
    for (LimitedDatabase* db : Both()) {
        int rows = 0;
        ASSERT_FALSE(db->Execute("CREATE TABLE w(k INTEGER, a TEXT, b TEXT)", rows).IsError());
        ASSERT_FALSE(db->Execute("INSERT INTO w VALUES (1, 'a1', 'b1')", rows).IsError());
        char name[8] = "b";
        for (int round = 0; round < 2; ++round) {
            boost::shared_ptr<FX::CSQLite3Query> q;
            ASSERT_FALSE(db->Query("SELECT * FROM w WHERE k = 1", q).IsError());
            EXPECT_EQ(2, q->FieldIndex(name));
            EXPECT_EQ(2, q->FieldIndex("B"));
            strcpy(name, "a");  // the same address, another name
            EXPECT_EQ(1, q->FieldIndex(name));
            strcpy(name, "b");
            EXPECT_EQ(2, q->FieldIndex(name));
        }
        // The kept statement is compiled again for the new table's columns.
        ASSERT_FALSE(db->Execute("DROP TABLE w", rows).IsError());
        ASSERT_FALSE(db->Execute("CREATE TABLE w(b TEXT, k INTEGER, a TEXT)", rows).IsError());
        ASSERT_FALSE(db->Execute("INSERT INTO w VALUES ('b2', 2, 'a2')", rows).IsError());
        boost::shared_ptr<FX::CSQLite3Query> q;
        ASSERT_FALSE(db->Query("SELECT * FROM w WHERE k = 2", q).IsError());
        ASSERT_FALSE(q->Eof());
        EXPECT_EQ(0, q->FieldIndex(name));
        EXPECT_EQ("b2", q->GetStringField(q->FieldIndex(name), ""));
        EXPECT_EQ(2, q->FieldIndex("a"));
        strcpy(name, "nope");
        EXPECT_THROW(q->FieldIndex(name), FX::CSQLite3Exception);
    }
}

// Texts that would run differently as a shape run as they stand.
TEST(SqlShapeTest, ShapesOnlyWhatBindsTheSame) {
    struct Case {
        const char* sql;
        bool shaped;
        const char* shape;
        size_t literals;
    } cases[] = {
        {"SELECT * FROM t WHERE a=1 AND b='x''y'", true, "SELECT * FROM t WHERE a=? AND b=?", 2},
        {"SELECT 5, 'x' FROM t WHERE c2 = -3", true, "SELECT 5, 'x' FROM t WHERE c2 = ?", 1},
        {"SELECT a FROM t WHERE b = - 3 AND c IN (-1, 2 - -4) AND d-5 > 0 LIMIT -1", true,
         "SELECT a FROM t WHERE b = ? AND c IN (?, ? - ?) AND d-? > ? LIMIT ?", 7},
        {"SELECT a FROM t WHERE b = -9223372036854775808 OR c = -0x10 OR d = -1.5", true,
         "SELECT a FROM t WHERE b = -9223372036854775808 OR c = -0x10 OR d = -1.5", 0},
        {"SELECT a FROM t GROUP BY a, 2 HAVING COUNT(*) > 1 ORDER BY 1 LIMIT 3", true,
         "SELECT a FROM t GROUP BY a, 2 HAVING COUNT(*) > ? ORDER BY 1 LIMIT ?", 2},
        {"SELECT SUM(a) OVER (ORDER BY 1) FROM t WHERE b = 2", true, "SELECT SUM(a) OVER (ORDER BY 1) FROM t WHERE b = ?", 1},
        {"SELECT a FROM t ORDER BY (SELECT 1 LIMIT 1), 2", false, "", 0},
        {"SELECT * FROM (SELECT 5)", false, "", 0},
        {"SELECT a FROM t UNION SELECT 1", false, "", 0},
        {"SELECT * FROM (VALUES (1))", false, "", 0},
        {"DELETE FROM t WHERE a IN (SELECT b FROM u WHERE c = 1)", false, "", 0},
        {"INSERT INTO t SELECT 1", false, "", 0},
        {"SELECT a IS DISTINCT FROM 5, 7 FROM t", false, "", 0},
        {"SELECT a FROM t WHERE a IS NOT DISTINCT FROM 5", false, "", 0},
        {"SELECT a FROM t WHERE (b = 1))", false, "", 0},
        {"SELECT a FROM t ORDER BY 1 LIMIT 2,3", true, "SELECT a FROM t ORDER BY 1 LIMIT ?,?", 2},
        {"DELETE FROM t WHERE x = 1.5 OR y = 0x10 OR z = X'01' OR w = 99999999999999999999", true,
         "DELETE FROM t WHERE x = 1.5 OR y = 0x10 OR z = X'01' OR w = 99999999999999999999", 0},
        {"UPDATE t SET a = 1 RETURNING a + 2", true, "UPDATE t SET a = ? RETURNING a + 2", 1},
        {"INSERT INTO t VALUES (1) -- 2 '3'", true, "INSERT INTO t VALUES (?) -- 2 '3'", 1},
        {"INSERT INTO t VALUES (1);", true, "INSERT INTO t VALUES (?);", 1},
        {"INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)", false, "", 0},
        {"INSERT INTO t VALUES (?)", false, "", 0},
        {"INSERT INTO t VALUES (:a)", false, "", 0},
        {"INSERT INTO t VALUES ('x'5)", false, "", 0},
        {"INSERT INTO t VALUES ('open)", false, "", 0},
        {"CREATE TABLE x(a DEFAULT 1)", false, "", 0},
        {"PRAGMA user_version = 3", false, "", 0},
        {"BEGIN", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string shape;
        std::vector<FX::SqlLiteral> literals;
        ASSERT_EQ(c.shaped, FX::ShapeSql(c.sql, shape, literals)) << c.sql;
        if (!c.shaped) continue;
        EXPECT_EQ(c.shape, shape) << c.sql;
        EXPECT_EQ(c.literals, literals.size()) << c.sql;
    }
}

// A text shaped from the memo of an earlier one gets what the scan gives it:
// the same shape, the same literals at the same places, or the same refusal.
TEST(SqlShapeTest, TheMemoShapesAsTheScanDoes) {
    const char* const texts[] = {
        "SELECT * FROM t WHERE a=1 AND b='x''y'",
        "SELECT * FROM t WHERE a=22 AND b='z'",
        "SELECT * FROM t WHERE a=-3 AND b='q'",
        "SELECT * FROM t WHERE a=-4 AND b=''",
        "SELECT * FROM t WHERE a=5 AND b='it''s'''",
        "SELECT * FROM t WHERE a=99999999999999999999 AND b='x'",
        "SELECT * FROM t WHERE a=-9223372036854775808 AND b='x'",
        "SELECT * FROM t WHERE a=-9223372036854775807 AND b='x'",
        "SELECT * FROM t WHERE a=1.5 AND b='x'",
        "SELECT * FROM t WHERE a=1e3 AND b='x'",
        "SELECT * FROM t WHERE a=1x AND b='x'",
        "SELECT * FROM t WHERE a=0x10 AND b='x'",
        "SELECT * FROM t WHERE a='1' AND b='x'",
        "SELECT * FROM t WHERE a=1 AND b=5",
        "SELECT * FROM t WHERE a=1 AND b=x'05'",
        "SELECT * FROM t WHERE a=1 AND b='x'5",
        "SELECT * FROM t WHERE a=1 AND b='x'y",
        "SELECT * FROM t WHERE a=1 AND b='open",
        "SELECT * FROM t WHERE a=1 AND b='x'; SELECT 2",
        "SELECT * FROM t WHERE a=1 AND b='x' -- 'c'",
        "SELECT * FROM t WHERE a=1 AND b='x' /* 'c' */",
        "SELECT * FROM t WHERE a=1 AND b='x' AND c=?",
        "SELECT * FROM t WHERE a=1 AND b='x' ORDER BY 1",
        "SELECT * FROM t WHERE a=1 AND b='x' ORDER BY 2",
        "SELECT * FROM t WHERE a=1 AND b='x'",
        "SELECT * FROM t WHERE a=1 AND b='x' ",
        "SELECT * FROM t WHERE a=1 AND b='x",
        "SELECT a FROM t WHERE b = - 3",
        "SELECT a FROM t WHERE b = - 4",
        "SELECT a FROM t WHERE b = -/**/5",
        "SELECT a FROM t WHERE b = -6",
        "SELECT a FROM t WHERE b = --7\n8",
        "SELECT a FROM t WHERE b - 3 > -1",
        "SELECT a FROM t WHERE b - 30 > -10",
        "SELECT a FROM t WHERE b -30 > -10",
        "SELECT a FROM t WHERE b = 1 LIMIT 2,3",
        "SELECT a FROM t WHERE b = 10 LIMIT 20,30",
        "SELECT a FROM t WHERE b = 10 LIMIT -20,30",
        "SELECT 5, 'x' FROM t WHERE c2 = -3",
        "SELECT 6, 'y' FROM t WHERE c2 = -3",
        "SELECT 5, 'x' FROM t WHERE c2 = 30",
        "INSERT INTO t VALUES ('a', 1, -2)",
        "INSERT INTO t VALUES ('it''s', 10, -20)",
        "INSERT INTO t VALUES ('', 0, 3)",
        "INSERT INTO t VALUES ('', 0, 3);",
        "INSERT INTO t VALUES ('', 0, 3); INSERT INTO t VALUES (1)",
        "INSERT INTO t VALUES ('', 0, 3)5",
        "UPDATE t SET a = 1 WHERE b = 'x' RETURNING a + 2",
        "UPDATE t SET a = 2 WHERE b = 'y' RETURNING a + 2",
        "UPDATE t SET a = 2 WHERE b = 'y' RETURNING a + 3",
        "DELETE FROM t WHERE a='1' AND b='2'",
        "DELETE FROM t WHERE a='-1' AND b='22'",
        "BEGIN",
        "",
    };
    FX::SqlShapeMemo memo;
    for (int round = 0; round < 2; ++round) {
        for (const char* sql : texts) {
            std::string expectedShape, shape;
            std::vector<FX::SqlLiteral> expected, literals;
            const bool shaped = FX::ShapeSql(sql, expectedShape, expected);
            ASSERT_EQ(shaped, memo.Shape(sql, shape, literals)) << sql;
            if (!shaped) continue;
            EXPECT_EQ(expectedShape, shape) << sql;
            ASSERT_EQ(expected.size(), literals.size()) << sql;
            for (size_t k = 0; k < expected.size(); ++k) {
                EXPECT_EQ(expected[k].from, literals[k].from) << sql << " literal " << k;
                EXPECT_EQ(expected[k].to, literals[k].to) << sql << " literal " << k;
                ASSERT_EQ(expected[k].isText, literals[k].isText) << sql << " literal " << k;
                if (expected[k].isText) {
                    EXPECT_EQ(std::string(expected[k].TextData(sql), expected[k].TextSize()),
                              std::string(literals[k].TextData(sql), literals[k].TextSize()))
                        << sql << " literal " << k;
                } else {
                    EXPECT_EQ(expected[k].number, literals[k].number) << sql << " literal " << k;
                }
            }
        }
    }
}

}  // namespace
