#pragma once
// The database wrapper over the SQLite C API.
//
// One connection is shared by many threads at once, inside one shared
// transaction. It is opened without SQLite's own mutex (SQLITE_OPEN_NOMUTEX):
// every use of it and of its statements, by any operation here, a query
// object's reading and release or the closing included, is made holding the
// wrapper's connection lock, so no two threads ever use it at once. The lock
// is recursive: a caller holds it (ConnectionHold) across one statement and
// the reading of its rows, and the calls inside take it again at no cost.
// Every query object has a statement of its own, and a result code is read
// together with its error text and row count in one hold.
//
// Statements of the same shape (the text with its literals as parameters)
// are compiled once per connection and reused: the caller's text is shaped,
// an idle compiled statement of that shape is taken (one user at a time),
// the literals are bound with their own types, and the statement is reset
// and put back after use. A text that cannot be shaped safely is compiled
// as it stands. Stored values, their types and the rows returned are those
// of the text itself.
//
// Locks: the connection lock, which also guards the connection's statement
// handles and its idle compiled statements (each is taken, reset and put
// back holding the connection), then the test-hook lock (platform/LockOrder.h).
//
// A CompiledSql names its compiled text and its values itself and is not
// shaped; its full text is printed only when it must run as it stands or an
// error names it.
//
// The shaper declines what it cannot prove binds the same (see SqlShape.h);
// a text longer than the connection's SQL length limit is never shaped, and
// kept statements are dropped when a text attaches or detaches a database.
// While a database is attached no statement is kept: a schema change, on this
// connection or another, could then give a kept statement's name another
// table without SQLite compiling it again (see StatementRegistry::attached).

#include "CZoError.h"
#include "platform/LockOrder.h"

#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace FX {

namespace detail {
class StatementHandle;
class StatementSource;
struct StatementRegistry;
}  // namespace detail

// Thrown while result rows are read. The code is the extended SQLite result code.
class CSQLite3Exception {
public:
    // A null message means the exception carries none.
    CSQLite3Exception(int errorCode, const char* errorMessage);

    int errorCode() const { return code; }
    // Null when the exception carries no message.
    const char* errorMessage() const { return hasMessage ? message.c_str() : nullptr; }

private:
    int code;
    bool hasMessage;
    std::string message;
};

// A compiled statement; compiled and released, never bound or run.
class CSQLite3Statement {
public:
    CSQLite3Statement();
    ~CSQLite3Statement();
    CSQLite3Statement(const CSQLite3Statement&) = delete;
    CSQLite3Statement& operator=(const CSQLite3Statement&) = delete;

    bool IsCompiled() const;
    void Finalize();

private:
    friend class CDatabaseBase;
    boost::shared_ptr<detail::StatementHandle> handle;
};

// A statement given in two forms: the text SQLite compiles, with one
// parameter (?) for each value, with its values in order; and the full text
// those values stand for, printed only when it is needed: for an error
// message, and to run it as it stands when statements are not reused, when a
// value cannot be bound as the full text would give it (Bindable) or when
// the compiled text does not compile with one parameter per value. Each
// value is bound as its kind says; the giver chooses kinds under which the
// statement stores and compares as its full text would.
class CompiledSql {
public:
    struct Value {
        enum Kind {
            Integer,      // an integer literal
            IntegerText,  // a quoted integer: bound as its decimal text
            Text,         // a quoted text, bound as its bytes (quotes not doubled)
        };
        Kind kind;
        long long number;
        // Text: valid for the call
        const char* text;
        size_t size;
    };

    // Slots a connection keeps a compiled statement in.
    static constexpr int kSlots = 32;

    virtual ~CompiledSql() = default;
    // The same object for every statement of one compiled text.
    virtual const std::string& Compiled() const = 0;
    // A number below kSlots naming the compiled text for the program's life,
    // given to no other text: the connection keeps the text's compiled
    // statement in that slot and finds it there without comparing texts.
    // -1: found by its text.
    virtual int Slot() const { return -1; }
    virtual size_t ValueCount() const = 0;
    // The values in order, ValueCount() of them: read in one pass, with no
    // call per value.
    virtual const Value* Values() const = 0;
    const Value& ValueAt(size_t i) const { return Values()[i]; }
    virtual bool Bindable() const = 0;
    virtual std::string FullText() const = 0;
};

// The result rows of one query. Used by one thread at a time; several query
// objects may step over one connection from different threads at once.
// Every reading operation throws CSQLite3Exception on failure.
class CSQLite3Query {
public:
    CSQLite3Query();
    ~CSQLite3Query();
    CSQLite3Query(const CSQLite3Query&) = delete;
    CSQLite3Query& operator=(const CSQLite3Query&) = delete;

    // True when there is no current row (an empty query object included).
    bool Eof() const { return eof; }
    void NextRow();
    // Index of the result column of that name (ASCII case ignored).
    int FieldIndex(const char* name);
    // The name of a result column; needs no current row.
    std::string FieldName(int field);
    // The value of a column of the current row; the default stands for NULL.
    int GetIntField(int field, int defaultValue);
    long long GetBigIntField(int field, long long defaultValue);
    std::string GetStringField(int field, const char* defaultValue);

    // Releases the statement; the object is empty afterwards.
    void Finalize();

private:
    friend class CDatabaseBase;
    friend class CSQLite3Row;
    void CheckField(int field) const;

    boost::shared_ptr<detail::StatementHandle> handle;
    bool eof = true;
    // The current row's number (0 the first), and the fault the test hook
    // armed for a later row.
    int rowNumber = 0;
    // The field memo's entry to try first.
    size_t nextField = 0;
    int faultAtRow = -1;
    int faultCode = 0;
    bool faultHasMessage = false;
    std::string faultMessage;
};

class CDatabaseBase {
public:
    // Holds the connection: no other thread uses it, or a statement or query
    // object of it, until the hold is let go. Taken again by the same thread
    // at no cost. Nothing ranked at or below it may be taken while it is held.
    class ConnectionHold {
    public:
        explicit ConnectionHold(CDatabaseBase& database);
        ~ConnectionHold();
        ConnectionHold(const ConnectionHold&) = delete;
        ConnectionHold& operator=(const ConnectionHold&) = delete;

    private:
        detail::StatementRegistry& registry;
    };

    CDatabaseBase();
    // Closes an open connection (see CloseDatabase).
    virtual ~CDatabaseBase();
    CDatabaseBase(const CDatabaseBase&) = delete;
    CDatabaseBase& operator=(const CDatabaseBase&) = delete;

    void SetDatabasePath(const std::string& folder) { databasePath = folder; }
    void SetDatabaseName(const std::string& fileName) { databaseName = fileName; }
    const std::string& GetDatabasePath() const { return databasePath; }
    const std::string& GetDatabaseName() const { return databaseName; }

    bool IsOpen() const { return db != nullptr; }
    // Opens <path>/<name>, creating a missing file; foreign keys stay off and
    // the default rollback journal is kept.
    virtual CZoError OpenDatabase();
    // Finalizes every statement still held by a query or statement object,
    // then closes the connection. A connection that refuses to close stays
    // open and the failure is returned.
    CZoError CloseDatabase();

    // Creates a missing table; an existing one is success.
    CZoError CreateTable(const std::string& name, const std::string& columns);
    CZoError CompileStatement(const std::string& sql, boost::shared_ptr<CSQLite3Statement>& statement);
    // Runs the statement text; rows is the number of rows it changed.
    CZoError Execute(const std::string& sql, int& rows);
    CZoError Execute(const CompiledSql& sql, int& rows);
    // Runs a query into the caller's query object (made when empty); the
    // object then stands on the first row, or at its end.
    CZoError Query(const std::string& sql, boost::shared_ptr<CSQLite3Query>& query);
    CZoError Query(const CompiledSql& sql, boost::shared_ptr<CSQLite3Query>& query);
    // A one-number result; defaultValue when the query yields no row or NULL.
    CZoError QueryScalar(const std::string& sql, long& value, long defaultValue);

    // Writes the committed database into a new file at `path` (an existing
    // one is replaced) in one step under the connection's mutex, so that no
    // statement of this connection runs in between. Refused while the
    // connection has a transaction open: its uncommitted rows would go too.
    CZoError CopyCommittedTo(const std::string& path);

    // No-op success when a transaction is already open on the connection.
    CZoError BeginTransaction();
    // No-op success when none is open. A failed COMMIT leaves the transaction
    // open, so the next commit retries it and no row is lost.
    CZoError CommitTransaction();
    // Discards the open transaction; no-op success when none is open.
    CZoError RollbackTransaction();

    // Watches a table's changes (up to four tables, named before the
    // connection is shared); -1 when no more can be watched.
    int WatchTable(const std::string& name);
    // The change count of a watched table. It advances with every statement
    // that inserts, updates or deletes rows of the table (a deletion of all
    // rows included), and for every table with every rollback, every
    // statement that fails, every change of the schema and the close. So an
    // answer read from the table holding the connection, with the count read
    // in the same hold, is what the same query would answer as long as the
    // count stays the same, provided nothing but this connection writes the
    // database file. Read without the connection.
    uint64_t TableChanges(int table) const;
    // Whether a transaction is open on the connection (SQLite leaves
    // autocommit mode at BEGIN and returns to it at the transaction's end,
    // also when it rolls the transaction back by itself). False when closed.
    bool InTransaction();

    virtual int ProgressHandler() { return 0; }

    // A text value ready to stand between single quotes: every single quote
    // is doubled, so no value can end its literal early.
    static std::string EscapeText(const std::string& text);

    // The next COMMIT fails with the given SQLite code and leaves the
    // transaction open, as a busy database would.
    void TEST_FailNextCommit(int sqliteCode);
    // The next Query, QueryScalar or Execute throws CSQLite3Exception with
    // the code and message (null: none). With atRow >= 1 the next Query
    // succeeds instead and its query object throws from the NextRow that
    // would reach row atRow (0 is the first row). Every change count
    // advances, so the next read of any table reaches the engine.
    void TEST_ThrowOnNextCall(int sqliteCode, const char* message, int atRow = -1);
    // Off: every text is compiled as it stands, never from the connection's
    // compiled statements. On by default.
    void TEST_ReuseStatements(bool reuse);
    // Compiled statements kept for reuse that no one uses at the moment.
    size_t TEST_IdleStatements();
    // Shapes compiled on this connection so far (a reused one is not counted).
    size_t TEST_ShapesCompiled();

protected:
    sqlite3* Handle() const { return db; }

private:
    CZoError Prepare(const FXCodeLocation& at, const detail::StatementSource& sql,
                     boost::shared_ptr<detail::StatementHandle>& handle);
    // A statement of the text's shape (or the compiled statement), reused
    // from the connection's set, when the text has one; else compiled from
    // the text as it stands.
    CZoError PrepareOrReuse(const FXCodeLocation& at, const detail::StatementSource& sql,
                            boost::shared_ptr<detail::StatementHandle>& handle);
    CZoError RunQuery(const FXCodeLocation& at, const detail::StatementSource& sql,
                      boost::shared_ptr<CSQLite3Query>& query);
    // After a text ran: once it attached or detached a database, no
    // statement compiled before is kept, nor, while one is attached, any other.
    void DropKeptAfterAttachments();

    std::string databasePath;
    std::string databaseName;
    struct InjectedFault {
        bool armed = false;
        int code = 0;
        bool hasMessage = false;
        std::string message;
        int atRow = -1;
    };
    InjectedFault TakeInjectedFault();
    // Runs SQL under the connection's mutex, reading the code, the error text
    // and the rows changed in that one hold.
    CZoError ExecLocked(const FXCodeLocation& at, const std::string& sql, int& rows);
    CZoError ExecLocked(const FXCodeLocation& at, const detail::StatementSource& sql, int& rows);

    // set by OpenDatabase and cleared by CloseDatabase, which run while no
    // other thread uses the object
    sqlite3* db = nullptr;
    // constant after construction; shared with the statements it tracks
    const boost::shared_ptr<detail::StatementRegistry> registry;

    // set before the connection is shared (tests only)
    bool reuseStatements = true;

    // guarded by hookLock
    RankedMutex hookLock{LockRank::DatabaseHook, "database hook"};
    int failNextCommitCode = 0;
    InjectedFault nextFault;
    // nextFault is armed; set and cleared under hookLock, read without it
    std::atomic<bool> faultArmed{false};
};

// The result columns a reader takes from every row, by name. The names are
// one array for the program's life (a static one): its address tells the
// lists apart.
struct CSQLite3Columns {
    template <size_t N>
    explicit CSQLite3Columns(const char* const (&names)[N]) : names(names), count(N) {}
    const char* const* names;
    size_t count;
};

// The current row of a query, read by column position within one hold of
// the connection, the caller's (the hold given). The positions of the named
// columns are found by name, as FieldIndex finds them, the first time a
// compiled statement meets the list (and again after SQLite compiled it
// anew), then kept with the statement. A column is named by its place in the
// list; NULL reads as 0 or the empty text. Construction throws as the field
// getters do (no statement, no current row, no such column); valid until the
// query moves on.
class CSQLite3Row {
public:
    CSQLite3Row(CSQLite3Query& query, const CDatabaseBase::ConnectionHold& hold, const CSQLite3Columns& columns);
    CSQLite3Row(const CSQLite3Row&) = delete;
    CSQLite3Row& operator=(const CSQLite3Row&) = delete;

    long long BigInt(size_t column) const;
    // The low 32 bits, as GetIntField gives them.
    int Int(size_t column) const;
    // Into `value`, whose buffer is reused.
    void Text(size_t column, std::string& value) const;

private:
    sqlite3_stmt* const stmt;
    const int* positions;
};

// A database that also prepares the wrapper's own storage. This wrapper keeps
// no tables of its own; preparing the storage reads the schema, which is how
// a file that is not a database is recognised.
class CDatabaseWithStorage : public CDatabaseBase {
public:
    explicit CDatabaseWithStorage(int storageFlags);
    ~CDatabaseWithStorage() override;

    // Win32-category error 26 for a file that is not a database; the file is
    // only read.
    CZoError CreateStorageTables();
};

}  // namespace FX
