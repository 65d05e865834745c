#include "platform/XkThread.h"

#include <system_error>

namespace {
std::atomic<bool> s_failNextCreate{false};
std::atomic<int> s_running{0};
}  // namespace

XkThread::~XkThread() {
    if (isCurrentThread()) {
        // The thread destroys its own object as it ends (it held the last
        // reference): it cannot wait for itself and is past its last use of
        // the object, so letting it finish on its own is the only way out.
        std::lock_guard<RankedMutex> guard(joinLock);
        thread.detach();
        return;
    }
    join();
}

int XkThread::createThread(ThreadFunction function, void* argument) {
    if (function == nullptr) return -1;
    std::lock_guard<RankedMutex> guard(joinLock);
    if (thread.joinable()) return -1;
    if (s_failNextCreate.exchange(false)) return -1;
    result = nullptr;
    ++s_running;
    try {
        thread = std::thread([this, function, argument] {
            // Set here too, so that the function sees itself as this thread
            // before the creator has stored the id.
            threadId.store(std::this_thread::get_id());
            result = function(argument);
            --s_running;
        });
    } catch (const std::system_error&) {
        --s_running;
        return -1;
    }
    threadId.store(thread.get_id());
    return 0;
}

int XkThread::join(void** out) {
    if (isCurrentThread()) return -1;
    std::lock_guard<RankedMutex> guard(joinLock);
    if (thread.joinable()) {
        thread.join();
        threadId.store(std::thread::id());
    }
    if (out != nullptr) *out = result;
    return 0;
}

bool XkThread::joinable() const { return threadId.load() != std::thread::id(); }

bool XkThread::isCurrentThread() const {
    std::thread::id id = threadId.load();
    return id != std::thread::id() && id == std::this_thread::get_id();
}

void XkThread::TEST_FailNextCreate(bool fail) { s_failNextCreate.store(fail); }

int XkThread::TEST_Running() { return s_running.load(); }
