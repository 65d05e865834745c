#pragma once
// The SQLite database file of one database folder: it names and opens the
// file (a missing file is created), rejects a file that is not a database,
// creates the tables "Extents", "VMs" and "SingleInstance" when missing,
// compiles its statements and runs every SQL text of the afile database.
//
// It takes no lock: the wrapper serializes the calls of many threads on the
// connection, and each query runs into the caller's own query object.

#include "Extent.h"
#include "QueryParams.h"
#include "VM.h"
#include "metadb/SQLiteQueries.h"
#include "platform/FXDatabase.h"

#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstddef>
#include <string>

class CSQLiteDB : public FX::CDatabaseWithStorage {
public:
    CSQLiteDB();
    // Releases the statements, then closes the connection; a refused close is
    // logged (the adapter closes first and reports it).
    ~CSQLiteDB() override;

    // Names, opens and prepares the database <dbFolder>/<dbName>.db.
    CZoError Initialize(const std::string& dbName, const std::string& dbFolder);
    CZoError BuildDatabaseName(const std::string& dbName, const std::string& dbFolder, std::string& fullPath,
                               std::string& fileName);
    void SetDatabaseFullPath(const std::string& path) { databaseFullPath = path; }
    CZoError OpenDatabase() override;
    // Releases the statements and closes the connection, checked.
    CZoError Close();

    CZoError CreateTables();
    CZoError CreateExtentTable();
    CZoError CreateVMTable();
    CZoError CreateSingleInstanceTable();
    CZoError CreateDBStatements();
    CZoError CreateExtentTableStatements();
    CZoError CreateVMsTableStatements();
    CZoError CreateSingleInstanceTableStatements();
    CZoError SetTransactionIsolationLevel();
    // Whether the row statements may bind their quoted numbers as numbers
    // (numbersBindAsNumbers) in this file's tables.
    CZoError ReadColumnAffinities();
    // Creates the empty database file when none exists; nothing calls it, as
    // the open creates a missing file. ErrorInt 16 "(error=%s)" on failure.
    CZoError CreateDatabaseFile();

    static std::string GetClause(const ExtentsParam& filter);
    static std::string GetClause(const VMJobParam& filter);

    // Queries into the caller's query object; a failure of the query call is
    // returned unchanged.
    CZoError QueryExtent(boost::shared_ptr<FX::CSQLite3Query>& query, ExtentParam key);
    CZoError QueryExtents(boost::shared_ptr<FX::CSQLite3Query>& query, ExtentsParam filter, size_t batchSize,
                          size_t offset);
    // Of the `count` rows last written, those matching the filter.
    CZoError QueryNewestExtents(boost::shared_ptr<FX::CSQLite3Query>& query, ExtentsParam filter, size_t count);
    CZoError QueryVMs(boost::shared_ptr<FX::CSQLite3Query>& query, VMJobParam filter, size_t batchSize,
                      size_t offset);
    CZoError QueryVMs(boost::shared_ptr<FX::CSQLite3Query>& query);
    CZoError QueryVM(boost::shared_ptr<FX::CSQLite3Query>& query, const VM& vm);
    // The count is written only on success.
    CZoError QueryExtentsCount(long long& count, ExtentsParam filter);
    CZoError QueryVMCount(long long& count, VMJobParam filter);

    // Row statements: a failure is logged "Error:%s" (InsertUpdateVM skips
    // the line for the primary-key clash 1555) and returned; an exception
    // becomes an SQLite-category error "SQLite Exception%s%s".
    CZoError InsertExtent(const Extent& row);
    CZoError UpdateExtent(const Extent& row);
    CZoError DeleteExtent(ExtentParam key);
    CZoError DeleteExtents(ExtentsParam filter, size_t limit);
    CZoError ResetExtentsCacheLocation(ExtentsParam filter);
    CZoError InsertUpdateVM(const VM& vm, bool insertOnly);
    CZoError InsertVM(const VM& vm) { return InsertUpdateVM(vm, true); }
    CZoError UpdateVM(const VM& vm) { return InsertUpdateVM(vm, false); }

    // COMMIT run as a statement of its own: with no transaction left to
    // commit it fails (SQLITE_ERROR) instead of passing for done, whatever
    // the wrapper's CommitTransaction makes of that case.
    CZoError CommitAsStatement();
    // The next CommitAsStatement fails with the SQLite code and leaves the
    // transaction open, as a busy database would.
    void TEST_FailNextCommit(int sqliteCode) { failNextCommitCode = sqliteCode; }

    // The SQLite-category error of a caught exception: "SQLite Exception",
    // then ", " and its message when it has one.
    static CZoError FromException(const FXCodeLocation& at, const FX::CSQLite3Exception& e);

private:
    // The row statement made ready to bind as this file binds it
    // (numbersBindAsNumbers).
    const SqlStatement& Bound(SqlStatement& statement) const;
    // Sql: a text, or a statement compiled from its format (SQLiteQueries).
    template <typename Sql>
    CZoError ExecuteRowStatement(const FXCodeLocation& at, const Sql& sql, bool logPrimaryKeyClash);
    void ReleaseStatements();

    // written by Initialize, before the object is shared; released by Close
    boost::shared_ptr<FX::CSQLite3Statement> insertExtentStmt;
    boost::shared_ptr<FX::CSQLite3Statement> insertOrReplaceExtentStmt;
    boost::shared_ptr<FX::CSQLite3Statement> insertOrReplaceVMStmt;
    boost::shared_ptr<FX::CSQLite3Statement> insertSingleInstanceStmt;
    boost::shared_ptr<FX::CSQLite3Statement> clearExtentFlagsStmt;
    boost::shared_ptr<FX::CSQLite3Statement> resetCacheLocationStmt;
    boost::shared_ptr<FX::CSQLite3Statement> deleteExtentStmt;
    std::string databaseFullPath;
    // Written by Initialize, before the object is shared. True when no column
    // of "Extents" or "VMs" is without affinity: a quoted number then stores
    // and compares in every column of theirs as the same number bound as a
    // number does (converted to it, or to its decimal text), so the row
    // statements need not make SQLite read it back from text. A file whose
    // tables an older host declared otherwise keeps the quoted texts.
    bool numbersBindAsNumbers = false;
    // set by tests from any thread
    std::atomic<int> failNextCommitCode{0};
};

typedef boost::shared_ptr<CSQLiteDB> CSQLiteDBPtr;
