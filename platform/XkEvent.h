#pragma once
// An auto-reset event: a set() made before wait() is kept, and each wait()
// consumes one set().

#include "platform/LockOrder.h"

#include <condition_variable>
#include <mutex>

class XkEventH {
public:
    explicit XkEventH(bool initiallySet) : signalled(initiallySet) {}
    XkEventH(const XkEventH&) = delete;
    XkEventH& operator=(const XkEventH&) = delete;

    void wait();
    // Waits at most the given milliseconds; true when the event was consumed.
    bool wait(long milliseconds);
    void set();

private:
    RankedMutex mutex{LockRank::Event, "event"};
    RankedCondition cv;
    bool signalled;  // guarded by mutex
};

class XkEvent {
public:
    explicit XkEvent(bool initiallySet);
    ~XkEvent();
    XkEvent(const XkEvent&) = delete;
    XkEvent& operator=(const XkEvent&) = delete;

    void wait() { handle->wait(); }
    void set() { handle->set(); }

private:
    XkEventH* handle;  // owned
};
