#pragma once
// The extent rows of an afile copy, behind CLiveBrowseCache::ExtentIterator,
// fetched one batch at a time. Used by one caller at a time.

#include "CZoError.h"
#include "DBObjectCollection.h"
#include "Extent.h"
#include "service/IteratorSupport.h"

#include <cstddef>
#include <string>

class ExtentIteratorImpl : public BatchedIterator<DBObjectCollection<Extent>> {
public:
    ExtentIteratorImpl(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                       unsigned int copyId, size_t batchSize);
    ~ExtentIteratorImpl() override;

    // The end of the listing is LBCError::kEndOfListing, again on every later
    // call; a batch size of 0 ends at once. No database for the afile copy is
    // LBCError::kNoDatabase and leaves the iterator as it was.
    virtual CZoError GetNextExtentInfo(long long& afileId, long long& afileOffset, unsigned int& copyId,
                                       unsigned int& tessarelId, std::string& validityGUID);
    virtual CZoError GetNextExtentInfo(long long& afileId, long long& afileOffset, unsigned int& copyId,
                                       unsigned int& tessarelId, std::string& validityGUID, std::string& md5);
    // Counted once; a failed count is asked again next time.
    CZoError GetTotalCount(long long& count);
};
