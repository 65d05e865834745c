#pragma once
// The cached VM jobs of the cache location of an afile copy, behind
// CLiveBrowseCache::JobIterator: one record per afile database of the
// location whose folder matches the afile id, copy id and Tessarel id (0 =
// any), fetched one batch at a time from a walk of the location's database
// folder. Used by one caller at a time.

#include "CZoError.h"
#include "DBObjectCollection.h"
#include "VM.h"
#include "service/IteratorSupport.h"

#include <cstddef>
#include <ctime>
#include <string>

class VMIteratorImpl : public BatchedIterator<DBObjectCollection<VM>> {
public:
    VMIteratorImpl(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                   unsigned int copyId, size_t batchSize);
    ~VMIteratorImpl() override;

    // The end is LBCError::kEndOfListing, again on every later call; a batch
    // size of 0 ends at once. No database is LBCError::kNoDatabase, the
    // iterator unchanged.
    virtual CZoError GetNextVMInfo(long long& afileId, long long& jobId, unsigned int& copyId,
                                   unsigned int& tessarelId, std::string& validityGUID, time_t& lastReferenceTime);
    // The number of afile databases of the whole location, whatever the
    // filter; counted once.
    CZoError GetTotalCount(long long& count);
};
