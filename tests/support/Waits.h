#pragma once
// Waiting on a condition with a bounded deadline, never on a fixed sleep,
// and the library's own count of its threads to wait on.

#include <chrono>
#include <functional>

// Polls the condition until it holds (true) or the limit passes (false).
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::milliseconds(20000));

// Threads the library's platform layer started (timer threads, pools,
// walkers) and that are not yet past their last call; none of the runtime's,
// a sanitizer's or the test's own.
int LibraryThreads();
