#include "metadb/SqLiteDB.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "metadb/SQLiteQueries.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXPath.h"
#include "platform/FXString.h"
#include "platform/SystemClock.h"

namespace {

const char* const c_extentTableColumns =
    "(AfileID BIGINT NOT NULL, AfileOffset BIGINT NOT NULL, TessarelID INT NOT NULL, CopyID INT NOT NULL, "
    "CacheLocation VARCHAR COLLATE NOCASE, Signature VARCHAR COLLATE NOCASE, ExtentID BIGINT, VMGUID VARCHAR COLLATE "
    "NOCASE, DiskID VARCHAR COLLATE NOCASE, JobID BIGINT, InsertionTime BIGINT DEFAULT 0, Flags INT DEFAULT 0, "
    "ValidityGUID VARCHAR COLLATE NOCASE, Reserved1 VARCHAR COLLATE NOCASE, Reserved2 INT, PRIMARY "
    "KEY(TessarelID,CopyID,AfileID,AfileOffset), FOREIGN KEY(Signature) REFERENCES SingleInstance(Signature), FOREIGN "
    "KEY(VMGUID, JobID) REFERENCES VM(GUID, JobID))";

const char* const c_vmTableColumns =
    "(GUID VARCHAR COLLATE NOCASE NOT NULL, BackupJobID BIGINT NOT NULL, LastReferenceTime BIGINT, ValidityGUID "
    "VARCHAR COLLATE NOCASE NOT NULL, AfileID BIGINT, TessarelID INT, CopyID INT, PRIMARY KEY(TessarelID, CopyID, "
    "AfileID))";

const char* const c_singleInstanceTableColumns =
    "(Signature VARCHAR COLLATE NOCASE NOT NULL, CacheLocation VARCHAR COLLATE NOCASE NOT NULL, PRIMARY "
    "KEY(Signature,CacheLocation))";

const char* const c_extentStatementColumns =
    "(AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, VMGUID, DiskID, JobID, "
    "InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? );";

const int c_sqlitePrimaryKeyClash = 1555;

}  // namespace

CSQLiteDB::CSQLiteDB() : FX::CDatabaseWithStorage(0) {}

CSQLiteDB::~CSQLiteDB() {
    CZoError err = Close();
    if (err.IsError()) LBC_LOG(-1, "Failed to close DB [%s] %s", GetDatabasePath().c_str(), err.AsString().c_str());
}

CZoError CSQLiteDB::FromException(const FXCodeLocation& at, const FX::CSQLite3Exception& e) {
    const char* message = e.errorMessage();
    return FXErrorUtil::ErrorSQLite(at, e.errorCode(), "SQLite Exception%s%s", message != nullptr ? ", " : "",
                                    message != nullptr ? message : "");
}

CZoError CSQLiteDB::CommitAsStatement() {
    const int injected = failNextCommitCode.exchange(0);
    if (injected != 0)
        return FXErrorUtil::ErrorSQLite(FXLOC, injected, "cannot commit transaction (injected failure)");
    int rows = 0;
    try {
        CZoError err = Execute("COMMIT", rows);
        if (err.IsError()) return err.Push(FXLOC);
    } catch (const FX::CSQLite3Exception& e) {
        return FromException(FXLOC, e);
    }
    return CZoError::Success();
}

CZoError CSQLiteDB::Initialize(const std::string& dbName, const std::string& dbFolder) {
    std::string fullPath;
    std::string fileName;
    CZoError err = BuildDatabaseName(dbName, dbFolder, fullPath, fileName);
    if (err.IsError()) return err.Push(FXLOC);
    SetDatabasePath(dbFolder);
    SetDatabaseName(fileName);
    SetDatabaseFullPath(fullPath);
    err = OpenDatabase();
    if (err.IsError()) return err.Push(FXLOC);
    err = CreateTables();
    if (err.IsError()) return err.Push(FXLOC);
    err = CreateDBStatements();
    if (err.IsError()) return err.Push(FXLOC);
    err = SetTransactionIsolationLevel();
    if (err.IsError()) return err.Push(FXLOC);
    err = ReadColumnAffinities();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

namespace {
// SQLite's rule for a column's affinity from its declared type: none only
// for a type naming no INT, CHAR, CLOB or TEXT that is empty or names BLOB.
bool HasNoAffinity(const std::string& declared) {
    for (const char* word : {"INT", "CHAR", "CLOB", "TEXT"})
        if (FXString::FindString(declared, word, true) != nullptr) return false;
    return declared.empty() || FXString::FindString(declared, "BLOB", true) != nullptr;
}
}  // namespace

CZoError CSQLiteDB::ReadColumnAffinities() {
    bool everyColumnHasOne = true;
    try {
        for (const char* table : {"Extents", "VMs"}) {
            boost::shared_ptr<FX::CSQLite3Query> columns;
            CZoError err = Query(std::string("PRAGMA table_info(") + table + ")", columns);
            if (err.IsError()) return err.Push(FXLOC);
            const int type = columns->Eof() ? 0 : columns->FieldIndex("type");
            for (; !columns->Eof(); columns->NextRow())
                if (HasNoAffinity(columns->GetStringField(type, ""))) everyColumnHasOne = false;
        }
    } catch (const FX::CSQLite3Exception& e) {
        return FromException(FXLOC, e);
    }
    numbersBindAsNumbers = everyColumnHasOne;
    return CZoError::Success();
}

const SqlStatement& CSQLiteDB::Bound(SqlStatement& statement) const {
    if (numbersBindAsNumbers) statement.BindQuotedNumbersAsNumbers();
    return statement;
}

CZoError CSQLiteDB::BuildDatabaseName(const std::string& dbName, const std::string& dbFolder, std::string& fullPath,
                                      std::string& fileName) {
    std::string name = dbName + ".db";
    std::string path = dbFolder;
    CZoError err = FXPath::Append(path, name, 0);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCachePathFailed, "(error=%s)", err.AsString().c_str());
    fileName = name;
    fullPath = path;
    return CZoError::Success();
}

CZoError CSQLiteDB::OpenDatabase() {
    if (IsOpen()) return CZoError::Success();
    CZoError err = FX::CDatabaseWithStorage::OpenDatabase();
    if (err.IsError()) {
        std::string text = err.AsString();
        LBC_LOG(-1, "Failed to open DB [%s] %s", GetDatabasePath().c_str(), text.c_str());
        CZoError outer = FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabaseOpenFailed, "(error=%s)", text.c_str());
        return outer.Push(FXLOC, "Failed to open DB [%s]", GetDatabasePath().c_str());
    }
    err = CreateStorageTables();
    if (FXErrorUtil::IsWin32(err, 26)) {
        // The connection stays open and the file is left as it is: what to do
        // with it is the container's affair.
        std::string text = err.AsString();
        LBC_LOG(-1, "DB is found to be corrupt [%s] %s", GetDatabasePath().c_str(), text.c_str());
        CZoError outer = FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabaseCorrupt, "(error=%s)", text.c_str());
        return outer.Push(FXLOC, "DB is found to be corrupt [%s]", GetDatabasePath().c_str());
    }
    return CZoError::Success();
}

CZoError CSQLiteDB::Close() {
    ReleaseStatements();
    CZoError err = CloseDatabase();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

void CSQLiteDB::ReleaseStatements() {
    deleteExtentStmt.reset();
    resetCacheLocationStmt.reset();
    clearExtentFlagsStmt.reset();
    insertSingleInstanceStmt.reset();
    insertOrReplaceVMStmt.reset();
    insertOrReplaceExtentStmt.reset();
    insertExtentStmt.reset();
}

CZoError CSQLiteDB::CreateTables() {
    CZoError err = CreateExtentTable();
    if (!err.IsError()) err = CreateVMTable();
    if (!err.IsError()) err = CreateSingleInstanceTable();
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kTableCreateFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateExtentTable() {
    CZoError err = CreateTable("Extents", c_extentTableColumns);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateVMTable() {
    CZoError err = CreateTable("VMs", c_vmTableColumns);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kTableCreateFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateSingleInstanceTable() {
    CZoError err = CreateTable("SingleInstance", c_singleInstanceTableColumns);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kTableCreateFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateDBStatements() {
    CZoError err = CreateExtentTableStatements();
    if (!err.IsError()) err = CreateVMsTableStatements();
    if (!err.IsError()) err = CreateSingleInstanceTableStatements();
    if (err.IsError()) {
        err.Push(FXLOC);
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kStatementsFailed, "(error=%s)", err.AsString().c_str());
    }
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateExtentTableStatements() {
    // Compiled so that a schema they do not fit fails the initialisation;
    // every row is read and written with the texts of SQLiteQueries.
    struct {
        const char* first;
        std::string second;
        boost::shared_ptr<FX::CSQLite3Statement>* statement;
    } statements[] = {
        {"INSERT INTO Extents ", c_extentStatementColumns, &insertExtentStmt},
        {"INSERT OR REPLACE INTO Extents ", c_extentStatementColumns, &insertOrReplaceExtentStmt},
        {"UPDATE OR IGNORE Extents ", "SET Flags=(Flags & ~?)", &clearExtentFlagsStmt},
        {"UPDATE OR IGNORE Extents ", "SET CacheLocation=NULL WHERE VMGUID=? AND JobID=? AND TessarelID=?",
         &resetCacheLocationStmt},
        {"DELETE FROM Extents ", "WHERE AfileID=? AND AfileOffset=? AND TessarelID=? AND CopyId=?", &deleteExtentStmt},
    };
    for (auto& s : statements) {
        CZoError err = CompileStatement(std::string(s.first) + s.second, *s.statement);
        if (err.IsError()) return err.Push(FXLOC);
    }
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateVMsTableStatements() {
    CZoError err = CompileStatement(
        "INSERT OR REPLACE INTO VMs (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) "
        "VALUES (?, ?, ?, ?, ?, ?, ? );",
        insertOrReplaceVMStmt);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateSingleInstanceTableStatements() {
    CZoError err = CompileStatement("INSERT INTO SingleInstance (Signature, CacheLocation) VALUES (?, ? );",
                                    insertSingleInstanceStmt);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CSQLiteDB::SetTransactionIsolationLevel() {
    int rows = 0;
    try {
        CZoError err = Execute("PRAGMA read_uncommitted = true", rows);
        if (err.IsError()) {
            LBC_LOG(-1, "Error:%s", err.AsString().c_str());
            return err.Push(FXLOC);
        }
    } catch (const FX::CSQLite3Exception& e) {
        return FromException(FXLOC, e);
    }
    LBC_LOG(5, "%d rows updated", rows);
    return CZoError::Success();
}

CZoError CSQLiteDB::CreateDatabaseFile() {
    // The file itself, not the folder that GetDatabasePath() names: a file of
    // the folder's name could never become the database.
    std::string path = GetDatabasePath();
    CZoError err = FXPath::Append(path, GetDatabaseName(), 0);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabaseFileCreateFailed, "(error=%s)", err.AsString().c_str());
    if (FXFile::DoesFileExist(path)) return CZoError::Success();
    auto_handle handle;
    err = FXFile::XKCreateFile(handle, path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0,
                               nullptr);
    if (err.IsError()) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kDatabaseFileCreateFailed, "(error=%s)", err.AsString().c_str());
    return CZoError::Success();
}

std::string CSQLiteDB::GetClause(const ExtentsParam& filter) { return SQLiteQueries::Clause(filter); }

std::string CSQLiteDB::GetClause(const VMJobParam& filter) { return SQLiteQueries::Clause(filter); }

CZoError CSQLiteDB::QueryExtent(boost::shared_ptr<FX::CSQLite3Query>& query, ExtentParam key) {
    PerJobSpan span(key.JobID, LBCPerfCounters::SlotDbQueryExtent);
    return Query(SQLiteQueries::QueryExtentStatement(key), query);
}

CZoError CSQLiteDB::QueryExtents(boost::shared_ptr<FX::CSQLite3Query>& query, ExtentsParam filter, size_t batchSize,
                                 size_t offset) {
    PerJobSpan span(filter.JobID, LBCPerfCounters::SlotDbQueryExtents);
    return Query(SQLiteQueries::QueryExtents(filter, batchSize, offset), query);
}

CZoError CSQLiteDB::QueryNewestExtents(boost::shared_ptr<FX::CSQLite3Query>& query, ExtentsParam filter,
                                       size_t count) {
    return Query(SQLiteQueries::QueryNewestExtents(filter, count), query);
}

CZoError CSQLiteDB::QueryVMs(boost::shared_ptr<FX::CSQLite3Query>& query, VMJobParam filter, size_t batchSize,
                             size_t offset) {
    return Query(SQLiteQueries::QueryVMs(filter, batchSize, offset), query);
}

CZoError CSQLiteDB::QueryVMs(boost::shared_ptr<FX::CSQLite3Query>& query) {
    ProcessSpan span(LBCPerfCounters::SlotDbQueryVM);
    return Query(SQLiteQueries::QueryAllVMs(), query);
}

CZoError CSQLiteDB::QueryVM(boost::shared_ptr<FX::CSQLite3Query>& query, const VM& vm) {
    ProcessSpan span(LBCPerfCounters::SlotDbQueryVM);
    return Query(SQLiteQueries::QueryVMStatement(vm), query);
}

CZoError CSQLiteDB::QueryExtentsCount(long long& count, ExtentsParam filter) {
    ProcessSpan span(LBCPerfCounters::SlotDbQueryExtents);
    long value = 0;
    CZoError err = QueryScalar(SQLiteQueries::QueryExtentsCount(filter), value, 0);
    if (err.IsError()) return err.Push(FXLOC);
    count = value;
    return CZoError::Success();
}

CZoError CSQLiteDB::QueryVMCount(long long& count, VMJobParam filter) {
    long value = 0;
    CZoError err = QueryScalar(SQLiteQueries::QueryVMCount(filter), value, 0);
    if (err.IsError()) return err.Push(FXLOC);
    count = value;
    return CZoError::Success();
}

template <typename Sql>
CZoError CSQLiteDB::ExecuteRowStatement(const FXCodeLocation& at, const Sql& sql, bool logPrimaryKeyClash) {
    int rows = 0;
    try {
        CZoError err = Execute(sql, rows);
        if (err.IsError()) {
            err.Push(at);
            if (logPrimaryKeyClash || !FXErrorUtil::IsSQLite(err, c_sqlitePrimaryKeyClash))
                LBC_LOG(-1, "Error:%s", err.AsString().c_str());
            return err;
        }
    } catch (const FX::CSQLite3Exception& e) {
        return FromException(at, e);
    }
    LBC_LOG(5, "%d rows updated", rows);
    return CZoError::Success();
}

CZoError CSQLiteDB::InsertExtent(const Extent& row) {
    SqlStatement statement = SQLiteQueries::InsertExtentStatement(row, SystemClock::Time());
    return ExecuteRowStatement(FXLOC, Bound(statement), true);
}

CZoError CSQLiteDB::UpdateExtent(const Extent& row) {
    SqlStatement statement = SQLiteQueries::UpdateExtentStatement(row, SystemClock::Time());
    return ExecuteRowStatement(FXLOC, Bound(statement), true);
}

CZoError CSQLiteDB::DeleteExtent(ExtentParam key) {
    SqlStatement statement = SQLiteQueries::DeleteExtentStatement(key);
    return ExecuteRowStatement(FXLOC, Bound(statement), true);
}

CZoError CSQLiteDB::DeleteExtents(ExtentsParam filter, size_t limit) {
    return ExecuteRowStatement(FXLOC, SQLiteQueries::DeleteExtents(filter, limit), true);
}

CZoError CSQLiteDB::ResetExtentsCacheLocation(ExtentsParam filter) {
    return ExecuteRowStatement(FXLOC, SQLiteQueries::ResetExtentsCacheLocation(filter), true);
}

CZoError CSQLiteDB::InsertUpdateVM(const VM& vm, bool insertOnly) {
    // The insert-only form meeting an existing row is how callers learn that
    // the row exists: not worth a failure line.
    SqlStatement statement = SQLiteQueries::InsertUpdateVMStatement(vm, insertOnly);
    return ExecuteRowStatement(FXLOC, Bound(statement), false);
}
