#include "support/Waits.h"

#include "platform/CAlertableEventThread.h"
#include "platform/XkThread.h"
#include "platform/XkThreadPool.h"

#include <thread>

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int LibraryThreads() {
    return XkThread::TEST_Running() + CAlertableEventThread::TEST_Running() + XkThreadPool::TEST_Running();
}
