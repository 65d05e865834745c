// The request operations of the service and the handles they give the host.
// The read and write roads, the extent query, the ageing of jobs and the
// iterators are not built yet: every request answers ErrorWin32 120 (call not
// implemented) and hands out nothing.

#include "LiveBrowseCache.h"

#include "platform/FXErrorUtil.h"
#include "service/LiveBrowseCacheImpl.h"

namespace {

const unsigned kNotImplemented = 120;

CZoError NotImplemented(const FXCodeLocation& at) {
    return FXErrorUtil::ErrorWin32(at, kNotImplemented, "Not implemented in this build of the live browse cache");
}

}  // namespace

// ---- CLiveBrowseCacheImpl

CZoError CLiveBrowseCacheImpl::GetWriterObject(long long, long long, unsigned int, unsigned int, long long, long long,
                                               CLiveBrowseCache::WriterPtr&) {
    return NotImplemented(FXLOC);
}

CZoError CLiveBrowseCacheImpl::GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId,
                                               CLiveBrowseCache::WriterPtr& writer) {
    return GetWriterObject(afileId, afileOffset, tessarelId, copyId, jobId, 0, writer);
}

CZoError CLiveBrowseCacheImpl::GetReaderObject(long long, long long, unsigned int, unsigned int, long long, long long,
                                               CLiveBrowseCache::ReaderPtr&) {
    return NotImplemented(FXLOC);
}

CZoError CLiveBrowseCacheImpl::GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId,
                                               unsigned int copyId, long long jobId,
                                               CLiveBrowseCache::ReaderPtr& reader) {
    return GetReaderObject(afileId, afileOffset, tessarelId, copyId, jobId, 0, reader);
}

CZoError CLiveBrowseCacheImpl::IsExtentInCache(long long, long long, unsigned int, unsigned int, bool&, bool&) {
    return NotImplemented(FXLOC);
}

CZoError CLiveBrowseCacheImpl::GetExtentIterator(long long, long long, unsigned int, unsigned int, unsigned long,
                                                 boost::shared_ptr<CLiveBrowseCache::ExtentIterator>&) {
    return NotImplemented(FXLOC);
}

CZoError CLiveBrowseCacheImpl::GetCachedJobIterator(long long, long long, unsigned int, unsigned int, unsigned long,
                                                    boost::shared_ptr<CLiveBrowseCache::JobIterator>&) {
    return NotImplemented(FXLOC);
}

CZoError CLiveBrowseCacheImpl::AgeCachedJob(long long, long long, unsigned int, unsigned int, unsigned int) {
    return NotImplemented(FXLOC);
}

// ---- handles

CLiveBrowseCache::Reader::Reader(ExtentPtr, CacheItemPtr) {}
CLiveBrowseCache::Reader::~Reader() = default;
CZoError CLiveBrowseCache::Reader::Open() { return NotImplemented(FXLOC); }
CZoError CLiveBrowseCache::Reader::Read(CAutoMemory<char>&, unsigned long& size) {
    size = 0;
    return NotImplemented(FXLOC);
}
CZoError CLiveBrowseCache::Reader::Read(void*, unsigned long& size) {
    size = 0;
    return NotImplemented(FXLOC);
}
CZoError CLiveBrowseCache::Reader::Read(CAutoMemory<char>&) { return NotImplemented(FXLOC); }
unsigned long CLiveBrowseCache::Reader::Size() { return 0; }
void CLiveBrowseCache::Reader::SetCache(CachePtr, CacheDBPtr) {}

CLiveBrowseCache::Writer::Writer(ExtentPtr, std::function<void()>, CacheItemPtr) {}
CLiveBrowseCache::Writer::~Writer() = default;
CZoError CLiveBrowseCache::Writer::Open() { return NotImplemented(FXLOC); }
CZoError CLiveBrowseCache::Writer::Close() { return NotImplemented(FXLOC); }
CZoError CLiveBrowseCache::Writer::Write(const void*, unsigned long) { return NotImplemented(FXLOC); }
void CLiveBrowseCache::Writer::SetValidityGUID(const std::string&) {}
void CLiveBrowseCache::Writer::SetCache(CachePtr, CacheDBPtr) {}

CLiveBrowseCache::ExtentIterator::ExtentIterator(const std::string&, long long, long long, unsigned int, unsigned int,
                                                 unsigned long) {}
CLiveBrowseCache::ExtentIterator::~ExtentIterator() = default;
CZoError CLiveBrowseCache::ExtentIterator::GetNextExtentInfo(long long&, long long&, unsigned int&, unsigned int&,
                                                             std::string&) {
    return NotImplemented(FXLOC);
}
CZoError CLiveBrowseCache::ExtentIterator::GetNextExtentInfo(long long&, long long&, unsigned int&, unsigned int&,
                                                             std::string&, std::string&) {
    return NotImplemented(FXLOC);
}
CZoError CLiveBrowseCache::ExtentIterator::GetTotalCount(long long&) { return NotImplemented(FXLOC); }

CLiveBrowseCache::JobIterator::JobIterator(const std::string&, long long, long long, unsigned int, unsigned int,
                                           unsigned long) {}
CLiveBrowseCache::JobIterator::~JobIterator() = default;
CZoError CLiveBrowseCache::JobIterator::GetNextVMInfo(long long&, long long&, unsigned int&, unsigned int&,
                                                      std::string&, time_t&) {
    return NotImplemented(FXLOC);
}
CZoError CLiveBrowseCache::JobIterator::GetTotalCount(long long&) { return NotImplemented(FXLOC); }
