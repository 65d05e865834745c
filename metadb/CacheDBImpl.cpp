#include "metadb/CacheDBImpl.h"

CacheDBImpl::CacheDBImpl(const std::string& localDbFolder) : localDbFolder(localDbFolder) {}

CacheDBImpl::~CacheDBImpl() = default;

CZoError CacheDBImpl::BeginTransaction() { return CZoError::Success(); }

CZoError CacheDBImpl::CommitTransaction() { return CZoError::Success(); }

CZoError CacheDBImpl::GetExtents(ExtentsParam filter, DBObjectCollection<Extent>& rows, size_t batchSize) {
    // Without a limit the page read ignores the offset and would hand out the
    // same rows for ever.
    if (batchSize == 0 && rows.getBatchOffset() != 0) return CZoError::Success();
    return GetExtents(filter, rows, batchSize, rows.getBatchOffset());
}

CZoError CacheDBImpl::GetVMs(VMJobParam filter, DBObjectCollection<VM>& rows, size_t batchSize) {
    if (batchSize == 0 && rows.getBatchOffset() != 0) return CZoError::Success();
    return GetVMs(filter, rows, batchSize, rows.getBatchOffset());
}
