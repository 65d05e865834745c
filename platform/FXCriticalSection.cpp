#include "FXCriticalSection.h"

#include "platform/LockOrder.h"
#include "platform/ProcessFork.h"

#include <sched.h>

#include <new>

FXCriticalSection::~FXCriticalSection() {
    // A lock is never destroyed while held, except in a forked child whose
    // parent had it held by another thread at the fork: that thread does not
    // exist here. Made anew, it is destroyed free (a held one is refused).
    if (ProcessFork::Generation() == 0) return;
    bool free = false;
    try {
        free = mutex.try_lock();
    } catch (...) {
    }
    if (free)
        mutex.unlock();
    else
        new (&mutex) boost::interprocess::interprocess_recursive_mutex();
}

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
