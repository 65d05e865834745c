#pragma once
// The library's one utility thread: every 60 seconds it refreshes the
// validation-read switch, resets the process-wide counter set when the
// configuration asks for it, and runs the work its owner handed to Start.

#include "platform/CAlertableEventThread.h"
#include "platform/LockOrder.h"

#include <atomic>
#include <functional>
#include <mutex>

// Whether the validation tool lets the cache serve reads; true at load.
// Written by the utility thread, read by every read request without a lock.
extern std::atomic<bool> g_bIsEnableLBCReadDuringValidation;

class PeriodicUtilityThread : public CAlertableEventThread {
public:
    // Idle, with a 60 s timeout and no callback.
    PeriodicUtilityThread();
    // Stops and waits for the thread.
    ~PeriodicUtilityThread() override;

    // Keeps the callback (replacing any earlier one) and starts the thread; a
    // thread already running is not started again.
    void Start(std::function<void()> callback);

protected:
    void OnStart() override;
    void OnTimeout() override;
    void OnStop() override;

private:
    // The base's Start() would run the thread without a callback: kept out
    // of callers' reach here, named rather than hidden.
    using CAlertableEventThread::Start;

    RankedMutex callbackLock{LockRank::PeriodicCallback, "periodic callback"};
    // guarded by callbackLock; copied out before it runs
    std::function<void()> callback;
};
