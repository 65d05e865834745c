#include "FXCriticalSection.h"

#include <sched.h>

bool FXCriticalSection::TryLock() {
    try {
        if (!mutex.try_lock()) return false;
    } catch (...) {
        return false;
    }
    SetLockOwner();
    return true;
}

void FXCriticalSection::Lock() {
    // A failing mutex is retried rather than reported as held.
    for (;;) {
        try {
            mutex.lock();
            break;
        } catch (...) {
            sched_yield();
        }
    }
    SetLockOwner();
}

void FXCriticalSection::Unlock() {
    ClearLockOwner();
    mutex.unlock();
}
