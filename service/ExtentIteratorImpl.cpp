#include "service/ExtentIteratorImpl.h"

#include "LiveBrowseCache.h"
#include "QueryParams.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "service/IteratorSupport.h"
#include "service/InheritedService.h"

#include <boost/make_shared.hpp>

// ---- the handle

CLiveBrowseCache::ExtentIterator::ExtentIterator(const std::string& vmGuid, long long jobId, long long afileId,
                                                 unsigned int tessarelId, unsigned int copyId,
                                                 unsigned long batchSize)
    : impl(boost::make_shared<ExtentIteratorImpl>(vmGuid, jobId, afileId, tessarelId, copyId, batchSize)) {}

CLiveBrowseCache::ExtentIterator::~ExtentIterator() { AbandonIfInherited(impl); }

CZoError CLiveBrowseCache::ExtentIterator::GetNextExtentInfo(long long& afileId, long long& afileOffset,
                                                             unsigned int& copyId, unsigned int& tessarelId,
                                                             std::string& validityGUID) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetNextExtentInfo(afileId, afileOffset, copyId, tessarelId, validityGUID);
}

CZoError CLiveBrowseCache::ExtentIterator::GetNextExtentInfo(long long& afileId, long long& afileOffset,
                                                             unsigned int& copyId, unsigned int& tessarelId,
                                                             std::string& validityGUID, std::string& md5) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetNextExtentInfo(afileId, afileOffset, copyId, tessarelId, validityGUID, md5);
}

CZoError CLiveBrowseCache::ExtentIterator::GetTotalCount(long long& count) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetTotalCount(count);
}

// ---- ExtentIteratorImpl

ExtentIteratorImpl::ExtentIteratorImpl(const std::string& vmGuid, long long jobId, long long afileId,
                                       unsigned int tessarelId, unsigned int copyId, size_t batchSize)
    : BatchedIterator<DBObjectCollection<Extent>>(vmGuid, jobId, afileId, tessarelId, copyId, batchSize) {}

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
    return CountOnce(
        [this](const CacheDBPtr& db, long long& counted) {
            return db->GetExtentCount(Filter(vmGuid, jobId, afileId, tessarelId, copyId), counted);
        },
        count);
}

CZoError ExtentIteratorImpl::GetNextExtentInfo(long long& outAfileId, long long& afileOffset, unsigned int& outCopyId,
                                               unsigned int& outTessarelId, std::string& validityGUID) {
    std::string md5;
    return GetNextExtentInfo(outAfileId, afileOffset, outCopyId, outTessarelId, validityGUID, md5);
}

CZoError ExtentIteratorImpl::GetNextExtentInfo(long long& outAfileId, long long& afileOffset, unsigned int& outCopyId,
                                               unsigned int& outTessarelId, std::string& validityGUID,
                                               std::string& md5) {
    const Extent* found = nullptr;
    CZoError err = Next(
        [this](const CacheDBPtr& db, DBObjectCollection<Extent>& into) {
            return db->GetExtentsInBatches(Filter(vmGuid, jobId, afileId, tessarelId, copyId), batchSize, into);
        },
        found);
    if (err.IsError()) return err;
    const Extent& row = *found;
    outAfileId = row.AfileID;
    afileOffset = row.AfileOffset;
    outCopyId = row.CopyID;
    outTessarelId = row.TessarelID;
    validityGUID = row.ValidityGUID;
    md5 = row.Reserved1;
    return CZoError::Success();
}
