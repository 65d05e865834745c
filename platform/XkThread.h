#pragma once
// The platform's thread creation: one joinable thread per object. No thread
// is ever detached by its creator: the owner joins it (join() or the
// destructor), so no thread outlives the object that started it.

#include "platform/LockOrder.h"

#include <atomic>
#include <mutex>
#include <thread>

class XkThread {
public:
    typedef void* (*ThreadFunction)(void*);

    XkThread() = default;
    // Joins a thread still running or not yet joined.
    ~XkThread();
    XkThread(const XkThread&) = delete;
    XkThread& operator=(const XkThread&) = delete;

    // Runs function(argument) on a new thread; 0 when it runs, -1 when no
    // thread could be made or this object already holds an unjoined thread.
    int createThread(ThreadFunction function, void* argument);
    // Waits until the thread has ended and hands back its function's result.
    // 0 when joined (or nothing to join); -1 when called on the thread itself,
    // which cannot wait for its own end.
    int join(void** result = nullptr);
    // Whether a thread was created and not yet joined.
    bool joinable() const;
    // Whether the calling thread is this object's thread.
    bool isCurrentThread() const;

    // The next createThread answers -1 without making a thread (false disarms).
    static void TEST_FailNextCreate(bool fail);
    // Threads of this class made and not yet past their function's end.
    static int TEST_Running();

private:
    // Serialises create and join; never taken by the thread itself for a
    // self-check, so a thread asking about itself cannot deadlock on a joiner.
    RankedMutex joinLock{LockRank::ThreadLifecycle, "thread join"};
    // guarded by joinLock
    std::thread thread;
    // The running thread's id, empty when none; atomic: read without joinLock.
    std::atomic<std::thread::id> threadId{std::thread::id()};
    // written by the thread before it ends; read only after join
    void* result = nullptr;
};
