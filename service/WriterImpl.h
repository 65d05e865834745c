#pragma once
// The Writer of one extent, behind CLiveBrowseCache::Writer: collects the
// extent's bytes (Write), commits them as one region of the afile's flat file
// and records the location in the extent row (Close), and rolls the write back
// (deletes the extent row) when a step fails or when the Writer is released
// without Close.
//
// The Writer owns the extent's registration as being written from its
// construction: its release ends it, in every state. From a successful Open
// until its Close or release it holds the afile's own database container, so
// the idle pass keeps the container and its lock file while the region is
// open; it keeps no reference to the location's top-level container, so a
// Writer that outlives its service keeps only its own afile copy, which its
// Close or release then writes back and unlocks.
//
// Calls on one Writer must not overlap; it takes no lock of its own. Close
// takes the write/prune lock only for the pruning test, after the item's
// bytes are written and before the rows are re-read; no lock is held across
// the re-read, the validity test and the row update. A pruning that has
// cleared the VM row's validity GUID by then is seen in the re-read VM row,
// and no location is recorded.

#include "CZoError.h"
#include "Extent.h"
#include "VM.h"
#include "metadb/CacheDB.h"
#include "store/Cache.h"
#include "store/CacheItem.h"

#include "foundation/PerfCounters.h"

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <functional>
#include <string>

class FlatFileCacheItem;

class WriterImpl {
public:
    WriterImpl(ExtentPtr extent, std::function<void()> onDone, CacheItemPtr item);
    virtual ~WriterImpl();
    WriterImpl(const WriterImpl&) = delete;
    WriterImpl& operator=(const WriterImpl&) = delete;

    // Creates the item unless one was given for a rewrite. A closed Writer
    // cannot be opened again.
    virtual CZoError Open();
    // Commit; the Writer is closed afterwards whatever the outcome.
    virtual CZoError Close();
    // LBCError::kNoBytes for no bytes; kWriterNotOpen when the Writer is not open.
    virtual CZoError Write(const void* buffer, size_t size);

    void SetValidityGUID(const std::string& guid);
    // db: the location's top-level container, or the extent's own container
    // when the admission has resolved it (Open then holds it as it is).
    void SetCache(CachePtr cache, CacheDBPtr db);

    CZoError CloseInternal(bool commit);
    // The roll-back: deletes the extent row, then the item.
    void CleanupItem();

private:
    CZoError NotOpen(const FXCodeLocation& at) const;
    // Open's steps: the hold on the afile's container, then the item.
    CZoError OpenInContainer();
    // The write item, in the flat file its container's ledger names.
    CZoError CreateItemInFlatFile(FlatFileLedger& ledger);
    // Close's steps up to the row update; any error makes Close roll back.
    CZoError Commit();

    // ---- Commit's steps, in their order

    // Writes the collected bytes as one region and notes it for the flush.
    CZoError CloseItem();
    // Logs and answers true when the VM is marked as being pruned here.
    bool IsVMBeingPruned(const VMPtr& vm) const;
    // The extent row of this write's Flags and the VM row, as they are now.
    CZoError ReReadRows(Extent& row, VM& vm) const;
    // Whether the written region may be recorded in the row; logs why not.
    CZoError DecideToRecord(const Extent& row, const VM& vm, bool& record) const;
    // The item's location, with the VM row's validity GUID, into the row.
    CZoError RecordLocation(const VM& vm);

    // The afile's container the Writer holds, which the statements of Close
    // and of the roll-back go to directly; only while the Writer is open.
    CacheDB& Rows() const;
    long long JobId() const { return extent ? extent->JobID : 0; }
    // The sets of JobId(), looked up on the Writer's first sample.
    const PerJobSets& Counters();

    // given at construction or set by admission before Open (the item by
    // Open for a new write), then constant; the location's container only
    // until Open has taken the hold
    CachePtr cache;
    CacheDBPtr db;
    const ExtentPtr extent;
    CacheItemPtr item;
    // item's flat-file part, cast once when Open has the item
    FlatFileCacheItem* flatItem = nullptr;
    const std::function<void()> onDone;
    std::string validityGUID;

    // used by the Writer's one caller at a time
    bool opened;
    bool closed;
    CacheDB::CWriterHoldPtr containerHold;
    boost::optional<PerJobSets> counters;
};
