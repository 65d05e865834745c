#pragma once
// The abstract database interface of one database container. The SQLite
// adapter implements the database operations; opening the database is a step
// of its own, taken after construction, so that the container can take the
// afile's lock file and stage the database files first (lock, then stage,
// then open).

#include "CZoError.h"
#include "DBObjectCollection.h"
#include "Extent.h"
#include "QueryParams.h"
#include "VM.h"

#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <list>
#include <string>

class CacheDBImpl {
public:
    // Keeps the folder that holds the database files; touches no disk.
    explicit CacheDBImpl(const std::string& localDbFolder);
    virtual ~CacheDBImpl();
    CacheDBImpl(const CacheDBImpl&) = delete;
    CacheDBImpl& operator=(const CacheDBImpl&) = delete;

    // The one extent row of the key; ErrorInt 5 when there is none.
    virtual CZoError GetExtent(ExtentParam key, Extent& row) = 0;
    // Every matching extent row.
    virtual CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows) = 0;
    // The next batch of matching extent rows; an empty batch ends the listing.
    virtual CZoError GetExtentsInBatches(ExtentsParam filter, size_t batchSize, DBObjectCollection<Extent>& batch) = 0;
    virtual CZoError GetVMsInBatches(VMJobParam filter, size_t batchSize, DBObjectCollection<VM>& batch) = 0;
    virtual CZoError GetExtentCount(ExtentsParam filter, long long& count) = 0;
    virtual CZoError GetVMCount(VMJobParam filter, long long& count) = 0;
    // Every VM row, least recently referenced first, appended to the list.
    virtual CZoError GetVMJobs(std::list<VM>& vms) = 0;
    // Replaces the VM with its row; ErrorInt 5 when there is none.
    virtual CZoError GetVMJob(VM& vm) = 0;
    virtual CZoError AddExtent(const Extent& row) = 0;
    virtual CZoError UpdateExtent(const Extent& row) = 0;
    virtual CZoError DeleteExtent(const Extent& row) = 0;
    virtual CZoError DeleteExtents(ExtentsParam filter, size_t limit) = 0;
    virtual CZoError InsertUpdateVM(const VM& vm, bool insertOnly) = 0;
    // The base does nothing and succeeds.
    virtual CZoError BeginTransaction();
    virtual CZoError CommitTransaction();
    // One page of matching rows: at most batchSize rows after the first
    // offset rows; batchSize 0 means every row from the start.
    virtual CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize,
                                size_t offset) = 0;
    virtual CZoError GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize, size_t offset) = 0;

    // Opens (creating when absent) and prepares the database in the folder;
    // a second call on an open database succeeds at once. A failure is
    // ErrorInt 9 "error=%s" and leaves the database closed.
    virtual CZoError Open() = 0;
    // Closes the database, checked: once it succeeds the file is complete and
    // closed, ready to be copied. Closing a closed database succeeds.
    virtual CZoError Close() = 0;

    // The batch helpers of the adapter's batched listings: the page at the
    // collection's batch offset. With batchSize 0 the first page already held
    // every row, so a later call hands out an empty batch and the listing ends.
    CZoError GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize);
    CZoError GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize);
    template <typename Collection>
    void prepareForNextBatch(Collection& collection) {
        collection.prepareForNextBatch();
    }

protected:
    const std::string& GetLocalDbFolder() const { return localDbFolder; }

private:
    // constant after construction
    const std::string localDbFolder;
};

typedef boost::shared_ptr<CacheDBImpl> CacheDBImplPtr;
