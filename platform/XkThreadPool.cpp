#include "platform/XkThreadPool.h"

#include <chrono>
#include <pthread.h>
#include <system_error>

namespace {
std::atomic<int> s_running{0};
}  // namespace

XkThreadPool::~XkThreadPool() {
    BeginEnding();
    std::lock_guard<RankedMutex> lifecycle(lifecycleLock);
    JoinThreadsLocked();
    // Left only when the pool is destroyed by one of its own items: that
    // thread finishes the queue on its own reference to the shared state.
    for (std::thread& thread : threads) thread.detach();
    threads.clear();
}

bool XkThreadPool::init(const std::string& name, unsigned threadCount) { return Init(name, threadCount, 0); }

bool XkThreadPool::initThreadPool(const char* name, unsigned long maxPendingWork, unsigned long threadCount,
                                  unsigned int, unsigned int) {
    // 4294967295 is the platform's "no cap".
    return Init(name != nullptr ? name : "", threadCount, maxPendingWork >= 4294967295UL ? 0 : maxPendingWork);
}

bool XkThreadPool::Init(const std::string& name, unsigned long threadCount, unsigned long maxPendingWork) {
    if (threadCount == 0) threadCount = 1;
    std::lock_guard<RankedMutex> lifecycle(lifecycleLock);
    {
        std::lock_guard<RankedMutex> guard(shared->lock);
        if (shared->initialised) return false;
        shared->initialised = true;
        shared->accepting = true;
        shared->ending = false;
        shared->maxPending = maxPendingWork;
    }
    // pthread names hold at most 15 characters.
    const std::string threadName = name.substr(0, 15);
    for (unsigned long i = 0; i < threadCount; ++i) {
        ++s_running;
        try {
            threads.emplace_back([held = shared] {
                ThreadMain(held);
                --s_running;
            });
        } catch (const std::system_error&) {
            --s_running;
            BeginEnding();
            JoinThreadsLocked();
            threads.clear();
            std::lock_guard<RankedMutex> guard(shared->lock);
            // A failed start may be tried again.
            shared->initialised = false;
            shared->threadIds.clear();
            return false;
        }
        if (!threadName.empty()) pthread_setname_np(threads.back().native_handle(), threadName.c_str());
        std::lock_guard<RankedMutex> guard(shared->lock);
        shared->threadIds.push_back(threads.back().get_id());
    }
    return true;
}

bool XkThreadPool::doWork(WorkFunction work, void* argument) {
    if (work == nullptr) return false;
    {
        std::lock_guard<RankedMutex> guard(shared->lock);
        if (!shared->initialised || !shared->accepting) return false;
        if (shared->maxPending != 0 && shared->queue.size() >= shared->maxPending) return false;
        shared->queue.push_back(WorkItem{work, argument});
    }
    shared->workReady.notify_one();
    return true;
}

bool XkThreadPool::waitForAllThreads(bool endThreads, bool, bool, int timeoutMs) {
    if (IsPoolThread()) return false;
    {
        std::unique_lock<RankedMutex> guard(shared->lock);
        auto idle = [this] { return shared->queue.empty() && shared->running == 0; };
        if (timeoutMs < 0) {
            shared->workDone.wait(guard, idle);
        } else if (!shared->workDone.wait_for(guard, std::chrono::milliseconds(timeoutMs), idle)) {
            return false;
        }
    }
    if (endThreads) terminateAllThreads();
    return true;
}

void XkThreadPool::terminateAllThreads() {
    BeginEnding();
    if (IsPoolThread()) return;
    std::lock_guard<RankedMutex> lifecycle(lifecycleLock);
    JoinThreadsLocked();
}

size_t XkThreadPool::GetPendingWorkCount() const {
    std::lock_guard<RankedMutex> guard(shared->lock);
    return shared->queue.size() + shared->running;
}

void XkThreadPool::ThreadMain(std::shared_ptr<Shared> shared) {
    std::unique_lock<RankedMutex> guard(shared->lock);
    for (;;) {
        shared->workReady.wait(guard, [&] { return !shared->queue.empty() || shared->ending; });
        // Ending and drained: every accepted item has been run.
        if (shared->queue.empty()) break;
        WorkItem item = shared->queue.front();
        shared->queue.pop_front();
        ++shared->running;
        guard.unlock();
        try {
            item.work(item.argument);
        } catch (...) {
            // Never past the pool thread; the item's owner reports its own failures.
            ++shared->failedWork;
        }
        guard.lock();
        --shared->running;
        if (shared->queue.empty() && shared->running == 0) shared->workDone.notify_all();
    }
}

int XkThreadPool::TEST_Running() { return s_running.load(); }

bool XkThreadPool::IsPoolThread() const {
    std::lock_guard<RankedMutex> guard(shared->lock);
    for (const std::thread::id& id : shared->threadIds)
        if (id == std::this_thread::get_id()) return true;
    return false;
}

void XkThreadPool::BeginEnding() {
    {
        std::lock_guard<RankedMutex> guard(shared->lock);
        shared->accepting = false;
        shared->ending = true;
    }
    shared->workReady.notify_all();
}

void XkThreadPool::JoinThreadsLocked() {
    std::vector<std::thread> kept;
    for (std::thread& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            kept.push_back(std::move(thread));
        } else if (thread.joinable()) {
            thread.join();
        }
    }
    threads.swap(kept);
}
