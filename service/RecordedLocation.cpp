#include "service/RecordedLocation.h"

#include "foundation/LogWriter.h"
#include "platform/FXErrorUtil.h"

CZoError TestRecordedLocation(Cache& cache, const Extent& row, const VM& vm, bool& valid,
                              Cache::INVALIDITY_REASON& reason) {
    CZoError err = cache.IsCacheLocationValid(row, vm, valid, reason);
    if (FXErrorUtil::IsInt(err, 37)) {
        LBC_LOG(2, "Unusable cache location [%s] for extent [%s] is replaced (error=%s)", row.CacheLocation.c_str(),
                row.description().c_str(), err.AsString().c_str());
        valid = false;
        return CZoError::Success();
    }
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}
