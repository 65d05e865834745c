#pragma once
// The platform's thread pool: a fixed number of joinable threads that run
// queued work items, each exactly once. Threads are only ever joined, never
// detached or killed: terminating a pool lets the work it has accepted run to
// its end, so every accepted item (and whatever it owns) is processed.

#include "platform/LockOrder.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class XkThreadPool {
public:
    typedef void* (*WorkFunction)(void*);

    XkThreadPool() = default;
    // Terminates the pool (see terminateAllThreads).
    ~XkThreadPool();
    XkThreadPool(const XkThreadPool&) = delete;
    XkThreadPool& operator=(const XkThreadPool&) = delete;

    // Starts threadCount threads (at least 1) named after the pool; true when
    // they run. False when the pool was initialised before or no thread could
    // be made (the threads made so far are ended again).
    bool init(const std::string& name, unsigned threadCount);
    // The platform's form: maxPendingWork caps the queued items (4294967295:
    // no cap), threadCount threads are started; the last two numbers are the
    // platform's tuning of a growing pool, which this fixed pool has no use for.
    bool initThreadPool(const char* name, unsigned long maxPendingWork, unsigned long threadCount, unsigned int,
                        unsigned int);

    // Queues work(argument) for one of the pool's threads. False when the pool
    // refuses it (not initialised, terminating or its queue is full): the item
    // was not taken, and the caller must process it itself. A work function
    // that throws is caught on the pool thread and counted (GetFailedWorkCount).
    bool doWork(WorkFunction work, void* argument);

    // Waits until every queued and running item has finished; with endThreads
    // the threads are then ended and joined and the pool takes no more work.
    // timeoutMs < 0 waits without limit. The middle flags are the platform's
    // and change nothing here. False on timeout, or when called on a pool
    // thread (it would wait for itself); true when nothing is pending.
    bool waitForAllThreads(bool endThreads, bool, bool, int timeoutMs);
    // Stops taking work, lets the accepted items (queued and running) finish,
    // then joins every thread. On a pool thread it only stops the pool (a
    // thread cannot join itself or wait on a joiner); the threads are then
    // joined by a later call from outside or by the destructor.
    void terminateAllThreads();

    // Items accepted and not yet finished.
    size_t GetPendingWorkCount() const;
    // Items whose work function threw.
    uint64_t GetFailedWorkCount() const { return shared->failedWork.load(); }

    // Pool threads of every pool started and not yet past their last item.
    static int TEST_Running();

private:
    struct WorkItem {
        WorkFunction work;
        void* argument;
    };
    // What the threads share with the pool object. Each thread holds its own
    // reference, so a pool destroyed by one of its own items leaves that
    // thread a live state to finish on.
    struct Shared {
        RankedMutex lock{LockRank::ThreadState, "pool work"};
        RankedCondition workReady;
        RankedCondition workDone;
        // guarded by lock
        bool initialised = false;
        bool accepting = false;
        bool ending = false;  // threads end once the queue is empty
        unsigned long maxPending = 0;  // 0: no cap
        std::deque<WorkItem> queue;
        size_t running = 0;
        std::vector<std::thread::id> threadIds;

        std::atomic<uint64_t> failedWork{0};
    };

    static void ThreadMain(std::shared_ptr<Shared> shared);
    bool Init(const std::string& name, unsigned long threadCount, unsigned long maxPendingWork);
    bool IsPoolThread() const;
    // Stops taking work and lets the threads end once the queue is empty.
    void BeginEnding();
    // Joins every thread but the calling one; caller holds lifecycleLock.
    void JoinThreadsLocked();

    // constant after construction
    const std::shared_ptr<Shared> shared = std::make_shared<Shared>();

    // Serialises init and the joining of threads; never taken on a pool thread.
    // Taken before the work lock when both are held (platform/LockOrder.h).
    RankedMutex lifecycleLock{LockRank::ThreadLifecycle, "pool lifecycle"};
    // guarded by lifecycleLock
    std::vector<std::thread> threads;
};
