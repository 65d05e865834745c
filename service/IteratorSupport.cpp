#include "service/IteratorSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "store/CacheLookup.h"

CZoError GetIteratorDB(const FXCodeLocation& at, long long afileId, unsigned int copyId, CacheDBPtr& db) {
    db = GetDB(afileId, copyId);
    if (db) return CZoError::Success();
    return FXErrorUtil::ErrorInt(at, LBCError::kNoDatabase, "No cache database found for afileID [%lld] copyID [%u]",
                                 afileId, copyId);
}
