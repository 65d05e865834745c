#pragma once
// The platform's alertable thread: one thread that calls OnStart once, then
// OnTimeout each time its timeout passes without a stop request, and OnStop
// when stopped. The three run on that thread, one at a time. Stop wakes the
// thread at once: it never sits out the rest of a timeout.
//
// A derived class calls Stop(true) in its own destructor: by the time the base
// destructor runs, the derived callbacks are gone.

#include "CTimeStamp.h"
#include "platform/LockOrder.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class CAlertableEventThread {
public:
    CAlertableEventThread() = default;
    // Stops and joins a thread still running (see the note above).
    virtual ~CAlertableEventThread();
    CAlertableEventThread(const CAlertableEventThread&) = delete;
    CAlertableEventThread& operator=(const CAlertableEventThread&) = delete;

    // Starts the thread; true when it runs. A no-op (true) while it runs, so
    // a repeated start never makes a second thread. A thread stopped before
    // is joined first, so the old run's OnStop never overlaps the new OnStart.
    virtual bool Start();
    // Ends the wake-ups: the thread calls OnStop and ends. With wait, returns
    // once the thread has ended, except on the thread itself, which cannot
    // wait for its own end (it ends when its callback returns).
    virtual void Stop(bool wait);
    // Whether the thread has been started and not yet ended.
    bool IsRunning() const;

    // The wait between wake-ups; a change applies from the next wait on.
    virtual void SetTimeout(CTimeInterval timeout);
    CTimeInterval GetTimeout() const;

    // Wakes the thread for one OnTimeout now, as if its timeout had passed.
    // With waitDone, returns once that OnTimeout has completed. False when the
    // thread is not running or stops before serving the tick.
    bool TEST_TickNow(bool waitDone);
    // Threads of this class started and not yet past their last callback.
    static int TEST_Running();

protected:
    virtual void OnStart() {}
    virtual void OnTimeout() {}
    virtual void OnStop() {}

private:
    // What the thread shares with its object. The thread holds its own
    // reference, so that an object destroyed by its own callback leaves the
    // thread a live state to end on.
    struct State {
        RankedMutex lock{LockRank::ThreadState, "thread wake"};
        RankedCondition wake;
        // guarded by lock
        bool running = false;
        bool stopRequested = false;
        bool orphaned = false;  // the object is gone: end without touching it
        CTimeInterval timeout = CTimeInterval::FromSeconds(60);
        uint64_t ticksRequested = 0;
        uint64_t ticksServed = 0;
        // The running thread's id; atomic: read by Stop and Start on any thread.
        std::atomic<std::thread::id> threadId{std::thread::id()};
    };

    void Run(std::shared_ptr<State> state);
    bool IsThisThread() const;

    // constant after construction
    const std::shared_ptr<State> state = std::make_shared<State>();

    // Serialises Start and the joining Stop; never taken on the thread.
    // Taken before the wake lock when both are held (platform/LockOrder.h).
    RankedMutex lifecycleLock{LockRank::ThreadLifecycle, "thread lifecycle"};
    // guarded by lifecycleLock
    std::thread thread;
};
