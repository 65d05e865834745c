#include "metadb/SQLiteAdapter.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"

#include <boost/make_shared.hpp>

namespace {

// SQLite's result code SQLITE_ERROR.
const int c_sqliteError = 1;

const char* const c_stars = "*******************************************************************";

typedef boost::shared_ptr<FX::CSQLite3Query> QueryPtr;
typedef FX::CDatabaseBase::ConnectionHold ConnectionHold;

// The result object of one read, kept on the reading call's frame and held
// through a pointer that does not own it: neither CSQLiteDB nor the wrapper
// keeps the pointer beyond their call, and the read is done before the frame
// goes, so a read makes no heap object for it.
class FrameQuery {
public:
    FrameQuery() : pointer(QueryPtr(), &rows) {}
    FrameQuery(const FrameQuery&) = delete;
    FrameQuery& operator=(const FrameQuery&) = delete;

    QueryPtr& Ptr() { return pointer; }

private:
    FX::CSQLite3Query rows;
    QueryPtr pointer;
};

// The error guard of the readers: an exception met while a query runs or its
// rows are read becomes the call's error and never leaves the library.
template <typename Body>
CZoError Guarded(const FXCodeLocation& at, Body&& body) {
    try {
        return body();
    } catch (const FX::CSQLite3Exception& e) {
        return CSQLiteDB::FromException(at, e);
    } catch (CZoError& err) {
        LBC_LOG(-1, "Error:%s", err.AsString().c_str());
        return err;
    }
}

long long BigInt(FX::CSQLite3Query& q, const char* column) { return q.GetBigIntField(q.FieldIndex(column), 0); }

int Int(FX::CSQLite3Query& q, const char* column) { return q.GetIntField(q.FieldIndex(column), 0); }

std::string Text(FX::CSQLite3Query& q, const char* column) { return q.GetStringField(q.FieldIndex(column), ""); }

// The columns of an extent row that the readers take, found by name once per
// compiled statement; InsertionTime and Reserved2 are never read.
const char* const c_extentColumnNames[] = {"AfileID",  "AfileOffset", "TessarelID",   "CopyID",   "CacheLocation",
                                           "Signature", "ExtentID",   "VMGUID",       "DiskID",   "JobID",
                                           "Flags",     "ValidityGUID", "Reserved1"};
const FX::CSQLite3Columns c_extentColumns(c_extentColumnNames);
enum ExtentColumn {
    kAfileID, kAfileOffset, kTessarelID, kCopyID, kCacheLocation, kSignature, kExtentID, kVMGUID, kDiskID, kJobID,
    kFlags, kValidityGUID, kReserved1
};

// Every column but the four key columns, which the callers treat differently.
void ReadExtentAttributes(const FX::CSQLite3Row& r, Extent& row) {
    r.Text(kCacheLocation, row.CacheLocation);
    r.Text(kSignature, row.Signature);
    row.ExtentID = r.BigInt(kExtentID);
    r.Text(kVMGUID, row.VMGUID);
    r.Text(kDiskID, row.DiskID);
    row.JobID = r.BigInt(kJobID);
    row.Flags = r.Int(kFlags);
    r.Text(kValidityGUID, row.ValidityGUID);
    r.Text(kReserved1, row.Reserved1);
}

VM ReadVM(FX::CSQLite3Query& q) {
    std::string guid = Text(q, "GUID");
    long long jobId = BigInt(q, "BackupJobID");
    long long lastReferenceTime = BigInt(q, "LastReferenceTime");
    std::string validityGuid = Text(q, "ValidityGUID");
    long long afileId = BigInt(q, "AfileID");
    unsigned int tessarelId = static_cast<unsigned int>(Int(q, "TessarelID"));
    unsigned int copyId = static_cast<unsigned int>(Int(q, "CopyID"));
    return VM(tessarelId, copyId, afileId, guid, jobId, lastReferenceTime, validityGuid);
}

void LogPageRequest(size_t batchSize, size_t offset) {
    if (batchSize != 0) LBC_LOG(4, "[batch size = %lu]", static_cast<unsigned long>(batchSize));
    if (offset != 0) LBC_LOG(4, "[offset = %lu]", static_cast<unsigned long>(offset));
}

void LogDone() {
    LBC_LOG(4, "Done fetching.");
    LBC_LOG(4, "%s", c_stars);
}

}  // namespace

SQLiteAdapter::SQLiteAdapter(const std::string& folder, const std::string& name)
    : CacheDBImpl(folder),
      name(name),
      database(boost::make_shared<CSQLiteDB>()),
      vmsTable(database->WatchTable("VMs")) {}

SQLiteAdapter::~SQLiteAdapter() {
    CZoError err = Close();
    if (err.IsError()) LBC_LOG(-1, "Failed to close DB [%s] %s", GetLocalDbFolder().c_str(), err.AsString().c_str());
}

CZoError SQLiteAdapter::Open() {
    if (database->IsOpen()) return CZoError::Success();
    CZoError err = database->Initialize(name, GetLocalDbFolder());
    if (err.IsError()) {
        // A half-prepared database is never used: close it so that a retry
        // starts afresh and the file can be copied or removed.
        CZoError closeErr = database->Close();
        if (closeErr.IsError())
            LBC_LOG(-1, "Failed to close DB [%s] %s", GetLocalDbFolder().c_str(), closeErr.AsString().c_str());
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kAdapterInitFailed, "error=%s", err.AsString().c_str());
    }
    return CZoError::Success();
}

CZoError SQLiteAdapter::CopyCommittedInto(const std::string& folder) {
    std::string path = folder;
    CZoError err = FXPath::Append(path, name + ".db", 0);
    if (err.IsError()) return err.Push(FXLOC);
    err = database->CopyCommittedTo(path);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::Close() {
    CZoError err = database->Close();
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetExtent(ExtentParam key, Extent& row) {
    bool found = false;
    CZoError err = ReadExtent(key, row, &found);
    if (err.IsError()) return err.Push(FXLOC);
    if (!found)
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNotFound,
                                     "DB entry for extent (AfileID = %llu, AfileOffset = %llu) not found",
                                     static_cast<unsigned long long>(key.AfileID),
                                     static_cast<unsigned long long>(key.AfileOffset));
    return CZoError::Success();
}

CZoError SQLiteAdapter::FindExtent(ExtentParam key, Extent& row, bool& found) {
    CZoError err = ReadExtent(key, row, &found);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::ReadExtent(const ExtentParam& key, Extent& row, bool* found) {
    PerJobSpan span(key.JobID, LBCPerfCounters::SlotCacheDBGetExtent);
    LBC_LOG(4, "Get extent with afileID [%llu], afileOffset [%llu]", static_cast<unsigned long long>(key.AfileID),
            static_cast<unsigned long long>(key.AfileOffset));
    *found = false;
    // One hold for the statement, the reading of its row and its release.
    ConnectionHold hold(*database);
    FrameQuery frame;
    QueryPtr& query = frame.Ptr();
    CZoError err = Guarded(FXLOC, [&]() -> CZoError {
        CZoError queryErr = database->QueryExtent(query, key);
        if (queryErr.IsError()) return queryErr;
        if (query->Eof()) return CZoError::Success();
        *found = true;
        ++extentRowsRead;
        const FX::CSQLite3Row r(*query, hold, c_extentColumns);
        // TessarelID and CopyID stay as the caller gave them.
        row.AfileID = r.BigInt(kAfileID);
        row.AfileOffset = r.BigInt(kAfileOffset);
        ReadExtentAttributes(r, row);
        if (row.AfileID != key.AfileID || row.AfileOffset != key.AfileOffset)
            return FXErrorUtil::ErrorInt(
                FXLOC, LBCError::kUnexpectedRow,
                "Unexpected values found for extent (AfileID = %llu, AfileOffset = %llu). "
                "Found entry has (AfileID = %llu, AfileOffset = %llu)",
                static_cast<unsigned long long>(key.AfileID), static_cast<unsigned long long>(key.AfileOffset),
                static_cast<unsigned long long>(row.AfileID), static_cast<unsigned long long>(row.AfileOffset));
        return CZoError::Success();
    });
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows) {
    LBC_LOG(4, "Fetch all extents for  for [%s]", filter.description().c_str());
    CZoError err = GetExtents(filter, rows, 0, 0);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetExtentsInBatches(ExtentsParam filter, size_t batchSize, DBObjectCollection<Extent>& batch) {
    LBC_LOG(4, "Fetch next batch of extents for [%s]", filter.description().c_str());
    prepareForNextBatch(batch);
    batch.clear();
    CZoError err = GetExtents(filter, batch, batchSize);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetVMsInBatches(VMJobParam filter, size_t batchSize, DBObjectCollection<VM>& batch) {
    LBC_LOG(4, "Fetch next batch of vms for [%s]", filter.description().c_str());
    prepareForNextBatch(batch);
    batch.clear();
    CZoError err = GetVMs(filter, batch, batchSize);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetExtentCount(ExtentsParam filter, long long& count) {
    LBC_LOG(4, "Fetch extents count for [%s]", filter.description().c_str());
    CZoError err = Guarded(FXLOC, [&]() { return database->QueryExtentsCount(count, filter); });
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetVMCount(VMJobParam filter, long long& count) {
    LBC_LOG(4, "Fetch vm job count for [%s]", filter.description().c_str());
    CZoError err = Guarded(FXLOC, [&]() { return database->QueryVMCount(count, filter); });
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetVMJobs(std::list<VM>& vms) {
    LBC_LOG(4, "%s", c_stars);
    LBC_LOG(4, "Fetching all vms information from cache ...");
    FrameQuery frame;
    QueryPtr& query = frame.Ptr();
    CZoError err = Guarded(FXLOC, [&]() -> CZoError {
        CZoError queryErr = database->QueryVMs(query);
        if (queryErr.IsError()) return queryErr;
        for (FX::CSQLite3Query& q = *query; !q.Eof(); q.NextRow()) {
            ConnectionHold row(*database);
            vms.push_back(ReadVM(q));
        }
        return CZoError::Success();
    });
    if (err.IsError()) return err.Push(FXLOC);
    LogDone();
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetVMJob(VM& vm) {
    LBC_LOG(4, "%s", c_stars);
    LBC_LOG(4, "Fetching vm [%s] from db ...", vm.description().c_str());
    {
        // A kept answer is a look-up too, sampled with its own time; a miss
        // is sampled by the query below.
        ProcessSpan span(LBCPerfCounters::SlotDbQueryVM);
        if (kept.FindVM(vm, database->TableChanges(vmsTable), vm)) {
            span.End();
            LogDone();
            return CZoError::Success();
        }
        span.Drop();
    }
    // One hold for the statement, the reading of its row and its release.
    ConnectionHold hold(*database);
    const uint64_t changes = database->TableChanges(vmsTable);
    const VM key = vm;
    FrameQuery frame;
    QueryPtr& query = frame.Ptr();
    CZoError err = Guarded(FXLOC, [&]() -> CZoError {
        CZoError queryErr = database->QueryVM(query, vm);
        if (queryErr.IsError()) return queryErr;
        if (query->Eof())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNotFound, "DB entry for VM %s not found", vm.description().c_str());
        vm = ReadVM(*query);
        return CZoError::Success();
    });
    if (err.IsError()) return err.Push(FXLOC);
    kept.KeepVM(key, changes, vm);
    LogDone();
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize,
                                   size_t offset) {
    return ReadExtents(filter, batchSize, offset, [&rows](const Extent& row) { rows.append(row); });
}

CZoError SQLiteAdapter::VisitNewestExtents(ExtentsParam filter, size_t count,
                                           const std::function<void(const Extent&)>& visit) {
    LBC_LOG(4, "%s", c_stars);
    LBC_LOG(4, "Fetching the newest %lu extents for [%s] ...", static_cast<unsigned long>(count),
            filter.description().c_str());
    return VisitRows([&](QueryPtr& query) { return database->QueryNewestExtents(query, filter, count); }, visit);
}

CZoError SQLiteAdapter::ReadExtents(const ExtentsParam& filter, size_t batchSize, size_t offset,
                                    const std::function<void(const Extent&)>& visit) {
    PerJobSpan span(filter.JobID, LBCPerfCounters::SlotDbGetExtents);
    LBC_LOG(4, "%s", c_stars);
    LBC_LOG(4, "Fetching extents for [%s] ...", filter.description().c_str());
    LogPageRequest(batchSize, offset);
    return VisitRows([&](QueryPtr& query) { return database->QueryExtents(query, filter, batchSize, offset); },
                     visit);
}

CZoError SQLiteAdapter::VisitRows(const std::function<CZoError(QueryPtr&)>& run,
                                  const std::function<void(const Extent&)>& visit) {
    FrameQuery frame;
    QueryPtr& query = frame.Ptr();
    CZoError err = Guarded(FXLOC, [&]() -> CZoError {
        CZoError queryErr = run(query);
        if (queryErr.IsError()) return queryErr;
        for (FX::CSQLite3Query& q = *query; !q.Eof(); q.NextRow()) {
            Extent row(0, 0, 0, 0, 0);
            {
                // A row at a time: a listing may hold millions.
                ConnectionHold hold(*database);
                const FX::CSQLite3Row r(q, hold, c_extentColumns);
                row.AfileID = r.BigInt(kAfileID);
                row.AfileOffset = r.BigInt(kAfileOffset);
                row.CopyID = static_cast<unsigned int>(r.Int(kCopyID));
                row.TessarelID = static_cast<unsigned int>(r.Int(kTessarelID));
                ReadExtentAttributes(r, row);
            }
            ++extentRowsRead;
            visit(row);
        }
        return CZoError::Success();
    });
    if (err.IsError()) return err.Push(FXLOC);
    LogDone();
    return CZoError::Success();
}

CZoError SQLiteAdapter::GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize, size_t offset) {
    LBC_LOG(4, "%s", c_stars);
    LBC_LOG(4, "Fetching VMs for [%s] ...", filter.description().c_str());
    LogPageRequest(batchSize, offset);
    FrameQuery frame;
    QueryPtr& query = frame.Ptr();
    CZoError err = Guarded(FXLOC, [&]() -> CZoError {
        CZoError queryErr = database->QueryVMs(query, filter, batchSize, offset);
        if (queryErr.IsError()) return queryErr;
        for (FX::CSQLite3Query& q = *query; !q.Eof(); q.NextRow()) {
            VM row;
            {
                ConnectionHold hold(*database);
                row = ReadVM(q);
            }
            rows.append(row);
        }
        return CZoError::Success();
    });
    if (err.IsError()) return err.Push(FXLOC);
    LogDone();
    return CZoError::Success();
}

CZoError SQLiteAdapter::AddExtent(const Extent& row) {
    LBC_LOG(4, "Adding extent [%s]", row.description().c_str());
    PerJobSpan span(row.JobID, LBCPerfCounters::SlotDbInsertExtent);
    return database->InsertExtent(row);
}

CZoError SQLiteAdapter::UpdateExtent(const Extent& row) {
    LBC_LOG(4, "Updating extent [%s]", row.description().c_str());
    PerJobSpan span(row.JobID, LBCPerfCounters::SlotDbUpdateExtent);
    return database->UpdateExtent(row);
}

CZoError SQLiteAdapter::DeleteExtent(const Extent& row) {
    LBC_LOG(4, "Deleting extent [%s]", row.description().c_str());
    return database->DeleteExtent(ExtentParam::Of(row));
}

CZoError SQLiteAdapter::DeleteExtents(ExtentsParam filter, size_t limit) {
    LBC_LOG(4, "Deleting extents from cache for [%s]", filter.description().c_str());
    return database->DeleteExtents(filter, limit);
}

CZoError SQLiteAdapter::InsertUpdateVM(const VM& vm, bool insertOnly) {
    LBC_LOG(4, "Updating vm [%s]", vm.description().c_str());
    PerJobSpan span(vm.JobID, LBCPerfCounters::SlotDbUpsertVM);
    // One hold for the statement and the count after it: the row it stored
    // (all seven columns, the table's one row of this copy) is the engine's
    // answer for the copy until the table changes again. A key of copy 0
    // may be answered by another copy's row, so it is not kept for one.
    ConnectionHold hold(*database);
    CZoError err = insertOnly ? database->InsertVM(vm) : database->UpdateVM(vm);
    if (err.IsError()) return err;
    if (vm.CopyID != 0)
        kept.KeepVM(vm, database->TableChanges(vmsTable), vm);
    NoteVMReferenceWritten(vm.LastReferenceTime);
    return err;
}

CZoError SQLiteAdapter::BeginTransaction() {
    std::lock_guard<RankedMutex> guard(transactionStateLock);
    if (transactionBegun) return CZoError::Success();
    CZoError err = database->BeginTransaction();
    if (err.IsError()) return err;
    transactionBegun = true;
    return CZoError::Success();
}

CZoError SQLiteAdapter::CommitTransaction() {
    std::lock_guard<RankedMutex> guard(transactionStateLock);
    if (!transactionBegun) return CZoError::Success();
    CZoError err = database->CommitAsStatement();
    if (!err.IsError()) {
        transactionBegun = false;
        return CZoError::Success();
    }
    // SQLite answers a COMMIT without a transaction with SQLITE_ERROR; any
    // other failure (busy, I/O) leaves the transaction to be retried.
    if (!FXErrorUtil::IsSQLite(err, c_sqliteError)) return err;
    transactionBegun = false;
    return FXErrorUtil::ErrorInt(FXLOC, kErrorTransactionLost,
                                 "The transaction begun on [%s] was rolled back by the database before its commit "
                                 "(error=%s)",
                                 GetLocalDbFolder().c_str(), err.AsString().c_str());
}

bool SQLiteAdapter::TransactionLost() {
    std::lock_guard<RankedMutex> guard(transactionStateLock);
    return transactionBegun && !database->InTransaction();
}

CZoError SQLiteAdapter::RollbackTransaction() {
    std::lock_guard<RankedMutex> guard(transactionStateLock);
    CZoError err = database->RollbackTransaction();
    if (err.IsError()) return err;
    transactionBegun = false;
    return CZoError::Success();
}
