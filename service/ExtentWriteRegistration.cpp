#include "service/ExtentWriteRegistration.h"

#include "store/CacheSyncObject.h"

ExtentWriteRegistration::ExtentWriteRegistration(ExtentConstPtr extent, const CachePtr& cache)
    : extent(extent), held(CCacheSyncObject::ExtentWriteBegin(extent, cache)) {}

ExtentWriteRegistration::~ExtentWriteRegistration() {
    if (held) CCacheSyncObject::ExtentWriteDone(extent);
}
