#include "FXCriticalSection.h"

#include "platform/LockOrder.h"

#include <sched.h>

bool FXCriticalSection::TryLock() {
    try {
        if (!mutex.try_lock()) return false;
    } catch (...) {
        return false;
    }
#ifdef LBC_LOCK_ORDER_CHECK
    if (rank != 0) LockOrder::Acquired(this, rank, name);
#endif
    SetLockOwner();
    return true;
}

void FXCriticalSection::Lock() {
#ifdef LBC_LOCK_ORDER_CHECK
    if (rank != 0) LockOrder::Acquiring(this, rank, name);
#endif
    // A failing mutex is retried rather than reported as held.
    for (;;) {
        try {
            mutex.lock();
            break;
        } catch (...) {
            sched_yield();
        }
    }
#ifdef LBC_LOCK_ORDER_CHECK
    if (rank != 0) LockOrder::Acquired(this, rank, name);
#endif
    SetLockOwner();
}

void FXCriticalSection::Unlock() {
#ifdef LBC_LOCK_ORDER_CHECK
    if (rank != 0) LockOrder::Released(this);
#endif
    ClearLockOwner();
    mutex.unlock();
}
