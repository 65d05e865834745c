#pragma once
// The database interface of one per-afile container over its SQLite file.
// It writes no SQL of its own: it runs the queries and row statements of
// CSQLiteDB, reads result rows into records, drives the batch offset of the
// collections, logs each request and times some of them.
//
// Its only state between calls is whether it has begun a transaction, kept
// under a lock of its own (BEGIN and COMMIT take the wrapper's locks under
// it; see platform/LockOrder.h); each other call makes its own query object,
// so any number of threads and batched listings may use one adapter at once.
// A one-row read holds the connection across its statement, the reading of
// its row and the release of its query; a listing holds it a row at a time.
// The VM row read is answered from the kept answers (KeptAnswers.h) while
// its table is unchanged, without the connection; a VM row written is kept
// as the answer for its copy.
// Nothing thrown below it leaves a call.

#include "metadb/CacheDBImpl.h"
#include "metadb/KeptAnswers.h"
#include "metadb/SqLiteDB.h"
#include "platform/LockOrder.h"

#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class SQLiteAdapter : public CacheDBImpl {
public:
    // folder holds the database files; name is the database name without
    // ".db". Nothing is opened until Open().
    SQLiteAdapter(const std::string& folder, const std::string& name);
    // Closes the database before the base runs, so the file is closed before
    // it is copied back; a refused close is logged.
    ~SQLiteAdapter() override;

    CZoError GetExtent(ExtentParam key, Extent& row) override;
    CZoError FindExtent(ExtentParam key, Extent& row, bool& found) override;
    CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows) override;
    CZoError VisitNewestExtents(ExtentsParam filter, size_t count,
                                const std::function<void(const Extent&)>& visit) override;
    CZoError GetExtentsInBatches(ExtentsParam filter, size_t batchSize, DBObjectCollection<Extent>& batch) override;
    CZoError GetVMsInBatches(VMJobParam filter, size_t batchSize, DBObjectCollection<VM>& batch) override;
    CZoError GetExtentCount(ExtentsParam filter, long long& count) override;
    CZoError GetVMCount(VMJobParam filter, long long& count) override;
    CZoError GetVMJobs(std::list<VM>& vms) override;
    CZoError GetVMJob(VM& vm) override;
    CZoError AddExtent(const Extent& row) override;
    CZoError UpdateExtent(const Extent& row) override;
    CZoError DeleteExtent(const Extent& row) override;
    CZoError DeleteExtents(ExtentsParam filter, size_t limit) override;
    CZoError InsertUpdateVM(const VM& vm, bool insertOnly) override;
    // Issues BEGIN unless this adapter has begun a transaction already, and
    // remembers that it did.
    CZoError BeginTransaction() override;
    // Commits the transaction this adapter began; success when it began none.
    // A failed commit leaves the transaction open and the next commit retries
    // it, but a commit that finds no transaction (SQLite rolled it back by
    // itself) is ErrorInt kErrorTransactionLost, and nothing is begun then.
    CZoError CommitTransaction() override;
    // Discards the open transaction; success when none is open.
    CZoError RollbackTransaction() override;
    // Refused while a transaction is open: only committed rows are copied.
    CZoError CopyCommittedInto(const std::string& folder) override;
    // A transaction was begun and SQLite is back in autocommit mode.
    bool TransactionLost() override;
    CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize,
                        size_t offset) override;
    CZoError GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize, size_t offset) override;
    using CacheDBImpl::GetExtents;
    using CacheDBImpl::GetVMs;

    // ErrorInt 9 "error=%s" around the failure of CSQLiteDB::Initialize; the
    // database is then closed again and Open may be retried.
    CZoError Open() override;
    CZoError Close() override;

    // The database itself, for tests that inject faults into it.
    CSQLiteDB& TEST_Database() { return *database; }
    // Extent rows read from the database so far, by every reader above.
    uint64_t TEST_ExtentRowsRead() const { return extentRowsRead.load(); }

private:
    // The first row of the key into row; found false when there is none.
    CZoError ReadExtent(const ExtentParam& key, Extent& row, bool* found);
    // One page of matching rows (batchSize 0: every row), each handed to
    // visit as it is read.
    CZoError ReadExtents(const ExtentsParam& filter, size_t batchSize, size_t offset,
                         const std::function<void(const Extent&)>& visit);
    // Every row of the extent query `run` makes, each handed to visit as it
    // is read.
    CZoError VisitRows(const std::function<CZoError(boost::shared_ptr<FX::CSQLite3Query>&)>& run,
                       const std::function<void(const Extent&)>& visit);

    // constant after construction; its only owner
    const std::string name;
    const boost::shared_ptr<CSQLiteDB> database;
    // The change count of the VMs table in the database's (TableChanges).
    const int vmsTable;
    KeptAnswers kept;
    // Held around the transaction statements and the flag.
    RankedMutex transactionStateLock{LockRank::AdapterTransaction, "adapter transaction"};
    // guarded by transactionStateLock: BEGIN was issued and no COMMIT or
    // ROLLBACK has ended it since.
    bool transactionBegun = false;
    // counted without a lock, read by tests only
    std::atomic<uint64_t> extentRowsRead{0};
};
