#pragma once
// The Reader of one cached extent, behind CLiveBrowseCache::Reader: streams
// the extent's region from the flat file in chunks the caller sizes, reads it
// whole, or streams it into the caller's own memory. The read admission opens
// it; its release closes the item.
//
// A Reader is used by one thread at a time and takes no lock. It holds no
// database container: its region is read through its own item, so a Reader
// the host keeps after its service is gone keeps no afile copy locked.

#include "CAutoMemory.h"
#include "CZoError.h"
#include "Extent.h"
#include "metadb/CacheDB.h"
#include "store/Cache.h"
#include "foundation/PerfCounters.h"
#include "store/CacheItem.h"

#include <boost/optional.hpp>

#include <cstddef>
#include <cstdint>

class ReaderImpl {
public:
    ReaderImpl(ExtentPtr extent, CacheItemPtr item);
    virtual ~ReaderImpl();
    ReaderImpl(const ReaderImpl&) = delete;
    ReaderImpl& operator=(const ReaderImpl&) = delete;

    // The location's container is not kept (see the top of this file).
    void SetCache(CachePtr cache, CacheDBPtr db);

    // Creates the item when none was given; the failure is returned.
    virtual CZoError Open();
    // The next bytes of the region, at most size (in); size is the number
    // delivered (out), 0 once the region has been delivered.
    virtual CZoError Read(CAutoMemory<char>& buffer, size_t& size);
    // The whole region, read through the item's own file like the streaming
    // reads; the streaming position is neither used nor moved.
    virtual CZoError Read(CAutoMemory<char>& buffer);
    // Streams into the caller's memory of size bytes; the memory is only
    // lent to a buffer and never freed or replaced.
    virtual CZoError Read(void* memory, size_t& size);
    // The region's length; 0 without an item.
    virtual size_t Size();
    // Closes the item; called by the destructor.
    virtual CZoError Close();

private:
    CZoError NoItem(const FXCodeLocation& at) const;
    long long JobId() const { return extent ? extent->JobID : 0; }
    // The sets of JobId(), looked up on the Reader's first sample.
    const PerJobSets& Counters();

    // set by admission before Open, then constant
    CachePtr cache;
    ExtentPtr extent;
    CacheItemPtr item;

    // used by the Reader's one caller at a time
    bool opened;
    uint64_t bytesRead;
    boost::optional<PerJobSets> counters;
};
