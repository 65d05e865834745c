#pragma once
// The Writer of one extent, behind CLiveBrowseCache::Writer: collects the
// extent's bytes (Write), commits them as one region of the afile's flat file
// and records the location in the extent row (Close), and rolls the write back
// (deletes the extent row) when a step fails or when the Writer is released
// without Close.
//
// The Writer owns the extent's registration as being written from its
// construction: its release ends it, in every state. While it is open it also
// holds the afile's database container, so the idle pass keeps the container
// and its lock file until the Writer is released.
//
// Calls on one Writer must not overlap; it takes no lock of its own. Close
// takes the write/prune lock for the pruning test only, before any database call.

#include "CZoError.h"
#include "Extent.h"
#include "metadb/CacheDB.h"
#include "store/Cache.h"
#include "store/CacheItem.h"

#include <cstddef>
#include <functional>
#include <string>

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
    // ErrorInt 35 for no bytes; ErrorInt 36 when the Writer is not open.
    virtual CZoError Write(const void* buffer, size_t size);

    void SetValidityGUID(const std::string& guid);
    void SetCache(CachePtr cache, CacheDBPtr db);

    CZoError CloseInternal(bool commit);
    // The roll-back: deletes the extent row, then the item.
    void CleanupItem();

private:
    CZoError NotOpen(const FXCodeLocation& at) const;
    // Close's steps up to the row update; any error makes Close roll back.
    CZoError Commit();
    long long JobId() const { return extent ? extent->JobID : 0; }

    // set by admission before Open, then constant
    CachePtr cache;
    CacheDBPtr db;
    const ExtentPtr extent;
    CacheItemPtr item;
    const std::function<void()> onDone;
    std::string validityGUID;

    // used by the Writer's one caller at a time
    bool opened;
    bool closed;
    CacheDB::CWriterHoldPtr containerHold;
};
