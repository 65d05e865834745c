#include "service/VMIteratorImpl.h"

#include "LiveBrowseCache.h"
#include "QueryParams.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "service/IteratorSupport.h"
#include "service/InheritedService.h"

#include <boost/make_shared.hpp>

// ---- the handle

CLiveBrowseCache::JobIterator::JobIterator(const std::string& vmGuid, long long jobId, long long afileId,
                                           unsigned int tessarelId, unsigned int copyId, unsigned long batchSize)
    : impl(boost::make_shared<VMIteratorImpl>(vmGuid, jobId, afileId, tessarelId, copyId, batchSize)) {}

CLiveBrowseCache::JobIterator::~JobIterator() { AbandonIfInherited(impl); }

CZoError CLiveBrowseCache::JobIterator::GetNextVMInfo(long long& afileId, long long& jobId, unsigned int& copyId,
                                                      unsigned int& tessarelId, std::string& validityGUID,
                                                      time_t& lastReferenceTime) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetNextVMInfo(afileId, jobId, copyId, tessarelId, validityGUID, lastReferenceTime);
}

CZoError CLiveBrowseCache::JobIterator::GetTotalCount(long long& count) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->GetTotalCount(count);
}

// ---- VMIteratorImpl

VMIteratorImpl::VMIteratorImpl(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                               unsigned int copyId, size_t batchSize)
    : BatchedIterator<DBObjectCollection<VM>>(vmGuid, jobId, afileId, tessarelId, copyId, batchSize) {}

VMIteratorImpl::~VMIteratorImpl() = default;

namespace {

VMJobParam Filter(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                  unsigned int copyId) {
    VMJobParam filter;
    filter.AfileID = afileId;
    filter.TessarelID = tessarelId;
    filter.CopyID = copyId;
    filter.VM = vmGuid;
    filter.JobID = jobId;
    return filter;
}

}  // namespace

CZoError VMIteratorImpl::GetTotalCount(long long& count) {
    return CountOnce(
        [this](const CacheDBPtr& db, long long& counted) {
            return db->GetVMCount(Filter(vmGuid, jobId, afileId, tessarelId, copyId), counted);
        },
        count);
}

CZoError VMIteratorImpl::GetNextVMInfo(long long& outAfileId, long long& outJobId, unsigned int& outCopyId,
                                       unsigned int& outTessarelId, std::string& validityGUID,
                                       time_t& lastReferenceTime) {
    const VM* found = nullptr;
    CZoError err = Next(
        [this](const CacheDBPtr& db, DBObjectCollection<VM>& into) {
            return db->GetVMsInBatches(Filter(vmGuid, jobId, afileId, tessarelId, copyId), batchSize, into);
        },
        found);
    if (err.IsError()) return err;
    const VM& record = *found;
    outAfileId = record.AfileID;
    outJobId = record.JobID;
    outCopyId = record.CopyID;
    outTessarelId = record.TessarelID;
    validityGUID = record.ValidityGUID;
    lastReferenceTime = static_cast<time_t>(record.LastReferenceTime);
    return CZoError::Success();
}
