#pragma once
// Every in-process lock of the library: a recursive mutex behind the lockable
// interface, and its scoped guard.

#include "CTimeStamp.h"

#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>
#include <atomic>
#include <cstdint>
#include <pthread.h>

// Low 32 bits of pthread_self().
inline uint32_t GetCurrentThreadId() {
    return static_cast<uint32_t>(pthread_self());
}

class FXLockableResource {
public:
    FXLockableResource() = default;
    virtual ~FXLockableResource() = default;
    FXLockableResource(const FXLockableResource&) = delete;
    FXLockableResource& operator=(const FXLockableResource&) = delete;

    virtual bool TryLock() = 0;
    // Never waits: the interval is ignored.
    virtual bool TryLock(CTimeInterval) { return TryLock(); }
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

    void SetLockOwner() { ownerThreadId.store(GetCurrentThreadId(), std::memory_order_relaxed); }
    void ClearLockOwner() { ownerThreadId.store(0, std::memory_order_relaxed); }

private:
    // Informational only; atomic because it is written by whichever thread locks.
    std::atomic<uint32_t> ownerThreadId{0};
};

class FXCriticalSection : public FXLockableResource {
public:
    FXCriticalSection() = default;
    // The library's own locks carry their place in its lock map (rank and
    // name); a lock made without one is not checked.
    FXCriticalSection(uint16_t rank, const char* name) : rank(rank), name(name) {}
    ~FXCriticalSection() override;

    bool TryLock() override;
    bool TryLock(CTimeInterval interval) override { return FXLockableResource::TryLock(interval); }
    // Returns only once the lock is held.
    void Lock() override;
    void Unlock() override;

private:
    const uint16_t rank = 0;
    const char* const name = nullptr;
    boost::interprocess::interprocess_recursive_mutex mutex;
};

// Scoped guard; a null resource makes it a no-op.
class auto_lock {
public:
    explicit auto_lock(FXLockableResource* resource, bool lockNow = true) : resource(resource) {
        if (lockNow) Lock();
    }
    ~auto_lock() { Unlock(); }
    auto_lock(const auto_lock&) = delete;
    auto_lock& operator=(const auto_lock&) = delete;

    void Lock() {
        if (resource != nullptr && !locked) {
            resource->Lock();
            locked = true;
        }
    }
    void Unlock() {
        if (resource != nullptr && locked) {
            resource->Unlock();
            locked = false;
        }
    }

private:
    FXLockableResource* resource;
    bool locked = false;
};
