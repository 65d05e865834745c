#include "service/ExtentIteratorImpl.h"

#include "LiveBrowseCache.h"
#include "QueryParams.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "service/IteratorSupport.h"

#include <boost/make_shared.hpp>

// ---- the handle

CLiveBrowseCache::ExtentIterator::ExtentIterator(const std::string& vmGuid, long long jobId, long long afileId,
                                                 unsigned int tessarelId, unsigned int copyId,
                                                 unsigned long batchSize)
    : impl(boost::make_shared<ExtentIteratorImpl>(vmGuid, jobId, afileId, tessarelId, copyId, batchSize)) {}

CLiveBrowseCache::ExtentIterator::~ExtentIterator() = default;

CZoError CLiveBrowseCache::ExtentIterator::GetNextExtentInfo(long long& afileId, long long& afileOffset,
                                                             unsigned int& copyId, unsigned int& tessarelId,
                                                             std::string& validityGUID) {
    return impl->GetNextExtentInfo(afileId, afileOffset, copyId, tessarelId, validityGUID);
}

CZoError CLiveBrowseCache::ExtentIterator::GetNextExtentInfo(long long& afileId, long long& afileOffset,
                                                             unsigned int& copyId, unsigned int& tessarelId,
                                                             std::string& validityGUID, std::string& md5) {
    return impl->GetNextExtentInfo(afileId, afileOffset, copyId, tessarelId, validityGUID, md5);
}

CZoError CLiveBrowseCache::ExtentIterator::GetTotalCount(long long& count) { return impl->GetTotalCount(count); }

// ---- ExtentIteratorImpl

ExtentIteratorImpl::ExtentIteratorImpl(const std::string& vmGuid, long long jobId, long long afileId,
                                       unsigned int tessarelId, unsigned int copyId, size_t batchSize)
    : DBObjectIteratorImplBase<DBObjectCollection<Extent>>(vmGuid, jobId, afileId, tessarelId, copyId, batchSize) {}

ExtentIteratorImpl::~ExtentIteratorImpl() = default;

namespace {

ExtentsParam Filter(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                    unsigned int copyId) {
    ExtentsParam filter;
    filter.VM = vmGuid;
    filter.JobID = jobId;
    filter.TessarelID = tessarelId;
    filter.CopyID = copyId;
    filter.AfileID = afileId;
    filter.Flags = 0;
    return filter;
}

}  // namespace

CZoError ExtentIteratorImpl::GetTotalCount(long long& count) {
    if (totalCountCached) {
        count = totalCount;
        return CZoError::Success();
    }
    CacheDBPtr db;
    CZoError err = GetIteratorDB(FXLOC, afileId, copyId, db);
    if (err.IsError()) return err;
    long long counted = 0;
    err = db->GetExtentCount(Filter(vmGuid, jobId, afileId, tessarelId, copyId), counted);
    if (err.IsError()) return err.Push(FXLOC);
    totalCount = counted;
    totalCountCached = true;
    count = counted;
    return CZoError::Success();
}

CZoError ExtentIteratorImpl::GetNextExtentInfo(long long& outAfileId, long long& afileOffset, unsigned int& outCopyId,
                                               unsigned int& outTessarelId, std::string& validityGUID) {
    std::string md5;
    return GetNextExtentInfo(outAfileId, afileOffset, outCopyId, outTessarelId, validityGUID, md5);
}

CZoError ExtentIteratorImpl::GetNextExtentInfo(long long& outAfileId, long long& afileOffset, unsigned int& outCopyId,
                                               unsigned int& outTessarelId, std::string& validityGUID,
                                               std::string& md5) {
    // A batch of no rows could never move the listing on.
    if (batchSize == 0) return FXErrorUtil::ErrorInt(FXLOC, kErrorEndOfListing);
    if (batch.isEnd(cursor)) {
        CacheDBPtr db;
        CZoError err = GetIteratorDB(FXLOC, afileId, copyId, db);
        if (err.IsError()) return err;
        err = db->GetExtentsInBatches(Filter(vmGuid, jobId, afileId, tessarelId, copyId), batchSize, batch);
        // On failure the cursor stays at the end (a list's end survives its
        // clearing), so the next call refills again.
        if (err.IsError()) return err.Push(FXLOC);
        cursor = batch.iterator();
        if (batch.isEnd(cursor)) return FXErrorUtil::ErrorInt(FXLOC, kErrorEndOfListing);
    }
    const Extent& row = *cursor;
    outAfileId = row.AfileID;
    afileOffset = row.AfileOffset;
    outCopyId = row.CopyID;
    outTessarelId = row.TessarelID;
    validityGUID = row.ValidityGUID;
    md5 = row.Reserved1;
    ++cursor;
    return CZoError::Success();
}
