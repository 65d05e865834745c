#include "platform/XkEvent.h"

#include <chrono>
#include <new>

void XkEventH::wait() {
    std::unique_lock<RankedMutex> lock(mutex);
    cv.wait(lock, [this] { return signalled; });
    signalled = false;
}

bool XkEventH::wait(long milliseconds) {
    std::unique_lock<RankedMutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return signalled; })) return false;
    signalled = false;
    return true;
}

void XkEventH::set() {
    {
        std::lock_guard<RankedMutex> lock(mutex);
        signalled = true;
    }
    cv.notify_one();
}

XkEvent::XkEvent(bool initiallySet) : handle(new (std::nothrow) XkEventH(initiallySet)) {
    if (handle == nullptr) throw "Not enough memory to initialize XkEvent";
}

XkEvent::~XkEvent() { delete handle; }
