#include "service/ExtentWriteRegistration.h"

#include "store/CacheSyncObject.h"

ExtentWriteRegistration::ExtentWriteRegistration(ExtentConstPtr extent)
    : extent(extent), held(CCacheSyncObject::ExtentWriteBegin(extent)) {}

ExtentWriteRegistration::~ExtentWriteRegistration() {
    if (held) CCacheSyncObject::ExtentWriteDone(extent);
}
