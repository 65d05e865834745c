#pragma once
// Owns an extent's registration as being written (CCacheSyncObject) from the
// moment the write admission makes it until a Writer takes it over, so that no
// failure or throw on the way leaks it: a leaked registration would refuse
// every later write of that extent and keep the cache's maintenance window
// from ever opening.

#include "Extent.h"
#include "store/CacheSyncObject.h"

class ExtentWriteRegistration {
public:
    // Registers the extent (CCacheSyncObject::ExtentWriteBegin) for a write
    // into the cache the caller resolved; Held() tells whether that was
    // admitted.
    ExtentWriteRegistration(ExtentConstPtr extent, const CachePtr& cache);
    // Ends a registration still held.
    ~ExtentWriteRegistration();
    ExtentWriteRegistration(const ExtentWriteRegistration&) = delete;
    ExtentWriteRegistration& operator=(const ExtentWriteRegistration&) = delete;

    bool Held() const { return held; }
    // The registration now belongs to someone else (the Writer, which ends it
    // when it is released).
    void HandOver() { held = false; }

private:
    const ExtentConstPtr extent;
    bool held;
};
