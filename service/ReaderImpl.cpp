#include "service/ReaderImpl.h"

#include "LiveBrowseCache.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/FXErrorUtil.h"
#include "platform/RecycledBlock.h"
#include "service/InheritedService.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>

#include <algorithm>

namespace {

// Lends the caller's memory to a buffer for one read and takes it back on
// every path, so that the buffer never frees or replaces it.
class LentMemory {
public:
    LentMemory(void* memory, size_t size) : buffer(true) { buffer.Link(static_cast<char*>(memory), size); }
    ~LentMemory() { buffer.Unlink(nullptr, nullptr); }
    LentMemory(const LentMemory&) = delete;
    LentMemory& operator=(const LentMemory&) = delete;

    CAutoMemory<char> buffer;
};

}  // namespace

// ---- the handle

CLiveBrowseCache::Reader::Reader(ExtentPtr extent, CacheItemPtr item)
    : impl(boost::allocate_shared<ReaderImpl>(RecycledBlock<ReaderImpl>(), extent, item)) {}

CLiveBrowseCache::Reader::~Reader() { AbandonIfInherited(impl); }

CZoError CLiveBrowseCache::Reader::Open() {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->Open();
}

CZoError CLiveBrowseCache::Reader::Read(CAutoMemory<char>& buffer, unsigned long& size) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    size_t wanted = size;
    CZoError err = impl->Read(buffer, wanted);
    size = wanted;
    return err;
}

CZoError CLiveBrowseCache::Reader::Read(void* memory, unsigned long& size) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    size_t wanted = size;
    CZoError err = impl->Read(memory, wanted);
    size = wanted;
    return err;
}

CZoError CLiveBrowseCache::Reader::Read(CAutoMemory<char>& buffer) {
    if (ServiceInheritedByFork()) return ForkedProcessError(FXLOC);
    return impl->Read(buffer);
}

unsigned long CLiveBrowseCache::Reader::Size() { return ServiceInheritedByFork() ? 0 : impl->Size(); }

void CLiveBrowseCache::Reader::SetCache(CachePtr cache, CacheDBPtr db) {
    if (!ServiceInheritedByFork()) impl->SetCache(cache, db);
}

// ---- ReaderImpl

ReaderImpl::ReaderImpl(ExtentPtr extent, CacheItemPtr item) : extent(extent), item(item), opened(false), bytesRead(0) {}

ReaderImpl::~ReaderImpl() {
    if (opened) {
        CZoError err = Close();
        if (err.IsError()) LBC_LOG(-1, "Error closing reader for cache: %s", err.AsString().c_str());
        opened = false;
    }
    item.reset();
    extent.reset();
    cache.reset();
}

void ReaderImpl::SetCache(CachePtr newCache, CacheDBPtr) { cache = newCache; }

CZoError ReaderImpl::NoItem(const FXCodeLocation& at) const {
    return FXErrorUtil::ErrorInt(at, LBCError::kReadFailed, "Reader for extent [%s] has no open cache item",
                                 extent ? extent->description().c_str() : "");
}

CZoError ReaderImpl::Open() {
    if (!item) {
        if (!cache || !extent) return NoItem(FXLOC);
        CZoError err = cache->CreateItem(extent, extent->ValidityGUID, Cache::INTENDED_OP_READ, item);
        if (err.IsError()) return err.Push(FXLOC);
    }
    // The region was validated under the row's GUID: a flat file started
    // anew under another one is never read.
    boost::shared_ptr<FlatFileCacheItem> flatItem = boost::dynamic_pointer_cast<FlatFileCacheItem>(item);
    if (flatItem && extent) flatItem->ServeOnlyUnder(extent->ValidityGUID);
    // Handed to this Reader: one item opened for reading.
    if (flatItem) flatItem->CountOpenedForRead();
    opened = true;
    return CZoError::Success();
}

CZoError ReaderImpl::Read(CAutoMemory<char>& buffer, size_t& size) {
    PerJobSpan timing(Counters(), LBCPerfCounters::SlotReadTime);
    if (!item || !cache) {
        size = 0;
        return NoItem(FXLOC);
    }
    const uint64_t total = item->Size();
    if (bytesRead >= total) {
        size = 0;
        return CZoError::Success();
    }
    size = static_cast<size_t>(std::min<uint64_t>(size, total - bytesRead));
    if (size == 0) return CZoError::Success();
    CZoError err = cache->ReadItem(JobId(), item, size, buffer);
    if (err.IsError()) return err.Push(FXLOC);
    PerJobBytes(Counters(), LBCPerfCounters::SlotReadBytes, size);
    bytesRead += size;
    return CZoError::Success();
}

CZoError ReaderImpl::Read(CAutoMemory<char>& buffer) {
    PerJobSpan timing(Counters(), LBCPerfCounters::SlotReadTime);
    if (!item) return NoItem(FXLOC);
    // Through the Reader's own item, never by the location again: the path
    // may name another file by now than the one validated.
    CZoError err = item->Read(buffer);
    if (err.IsError()) return err.Push(FXLOC);
    PerJobBytes(Counters(), LBCPerfCounters::SlotReadBytes, buffer.Size());
    return CZoError::Success();
}

CZoError ReaderImpl::Read(void* memory, size_t& size) {
    if (memory == nullptr && size != 0) {
        size = 0;
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kNoBytes);
    }
    CZoError err;
    {
        LentMemory lent(memory, size);
        err = Read(lent.buffer, size);
    }
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

const PerJobSets& ReaderImpl::Counters() {
    if (!counters) counters.emplace(JobId());
    return *counters;
}

size_t ReaderImpl::Size() { return item ? item->Size() : 0; }

CZoError ReaderImpl::Close() {
    if (!cache || !item) return NoItem(FXLOC);
    CZoError err = cache->CloseItem(item);
    if (err.IsError()) return err.Push(FXLOC);
    opened = false;
    LBC_LOG(4, "Read done for %s", item->GetExtent()->description().c_str());
    return CZoError::Success();
}
