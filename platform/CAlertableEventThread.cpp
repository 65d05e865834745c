#include "platform/CAlertableEventThread.h"

#include <chrono>
#include <system_error>

namespace {
std::atomic<int> s_running{0};
}  // namespace

CAlertableEventThread::~CAlertableEventThread() {
    if (IsThisThread()) {
        // Destroyed by its own callback: it cannot wait for itself. The
        // thread ends on its own reference to the state, without the object.
        {
            std::lock_guard<RankedMutex> guard(state->lock);
            state->orphaned = true;
            state->stopRequested = true;
        }
        std::lock_guard<RankedMutex> lifecycle(lifecycleLock);
        if (thread.joinable()) thread.detach();
        return;
    }
    Stop(true);
}

bool CAlertableEventThread::Start() {
    if (IsThisThread()) return true;  // it is running: nothing to start
    std::lock_guard<RankedMutex> lifecycle(lifecycleLock);
    {
        std::lock_guard<RankedMutex> guard(state->lock);
        if (state->running && !state->stopRequested) return true;
    }
    // A stopped run may still be in OnStop: it ends before the new one starts.
    if (thread.joinable()) thread.join();
    state->threadId.store(std::thread::id());
    {
        std::lock_guard<RankedMutex> guard(state->lock);
        state->running = true;
        state->stopRequested = false;
        state->ticksRequested = state->ticksServed = 0;
    }
    ++s_running;
    try {
        thread = std::thread([this, shared = state] {
            Run(shared);
            --s_running;
        });
    } catch (const std::system_error&) {
        --s_running;
        std::lock_guard<RankedMutex> guard(state->lock);
        state->running = false;
        state->wake.notify_all();
        return false;
    }
    state->threadId.store(thread.get_id());
    return true;
}

void CAlertableEventThread::Stop(bool wait) {
    {
        std::lock_guard<RankedMutex> guard(state->lock);
        if (state->running) state->stopRequested = true;
    }
    state->wake.notify_all();
    if (!wait || IsThisThread()) return;
    std::lock_guard<RankedMutex> lifecycle(lifecycleLock);
    if (thread.joinable()) thread.join();
    state->threadId.store(std::thread::id());
}

bool CAlertableEventThread::IsRunning() const {
    std::lock_guard<RankedMutex> guard(state->lock);
    return state->running;
}

void CAlertableEventThread::SetTimeout(CTimeInterval timeout) {
    std::lock_guard<RankedMutex> guard(state->lock);
    state->timeout = timeout;
}

CTimeInterval CAlertableEventThread::GetTimeout() const {
    std::lock_guard<RankedMutex> guard(state->lock);
    return state->timeout;
}

bool CAlertableEventThread::TEST_TickNow(bool waitDone) {
    std::unique_lock<RankedMutex> guard(state->lock);
    if (!state->running || state->stopRequested) return false;
    uint64_t ticket = ++state->ticksRequested;
    state->wake.notify_all();
    if (!waitDone) return true;
    state->wake.wait(guard, [&] { return state->ticksServed >= ticket || !state->running; });
    return state->ticksServed >= ticket;
}

int CAlertableEventThread::TEST_Running() { return s_running.load(); }

bool CAlertableEventThread::IsThisThread() const {
    std::thread::id id = state->threadId.load();
    return id != std::thread::id() && id == std::this_thread::get_id();
}

void CAlertableEventThread::Run(std::shared_ptr<State> shared) {
    // Also stored by Start; set here first so that OnStart sees its own thread.
    shared->threadId.store(std::this_thread::get_id());
    // A callback that throws must not end the process: the thread goes on.
    try {
        OnStart();
    } catch (...) {
    }
    std::unique_lock<RankedMutex> guard(shared->lock);
    while (!shared->stopRequested) {
        bool forced = shared->ticksRequested > shared->ticksServed;
        if (!forced) {
            int64_t units = shared->timeout.As100NSIntervals();
            auto wait = std::chrono::nanoseconds(units > 0 ? units * 100 : 0);
            shared->wake.wait_for(guard, wait, [&] {
                return shared->stopRequested || shared->ticksRequested > shared->ticksServed;
            });
            if (shared->stopRequested) break;
            forced = shared->ticksRequested > shared->ticksServed;
        }
        guard.unlock();
        try {
            OnTimeout();
        } catch (...) {
        }
        guard.lock();
        if (shared->orphaned) return;
        if (forced) {
            ++shared->ticksServed;
            shared->wake.notify_all();
        }
    }
    if (shared->orphaned) return;
    guard.unlock();
    try {
        OnStop();
    } catch (...) {
    }
    guard.lock();
    if (shared->orphaned) return;
    shared->running = false;
    shared->wake.notify_all();
}
