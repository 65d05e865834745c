#include "platform/XkThread.h"
#include "platform/XkThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// A gate that work items wait on until the test opens it.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> guard(lock);
            open = true;
        }
        cv.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> guard(lock);
        ++waiting;
        cv.notify_all();
        cv.wait(guard, [this] { return open; });
    }
    // Waits until n items stand at the gate.
    void AwaitWaiting(int n) {
        std::unique_lock<std::mutex> guard(lock);
        cv.wait(guard, [&] { return waiting >= n; });
    }

private:
    std::mutex lock;
    std::condition_variable cv;
    bool open = false;  // guarded by lock
    int waiting = 0;    // guarded by lock
};

struct Job {
    std::atomic<int> runs{0};
    std::thread::id ranOn;
    Gate* gate = nullptr;
    bool throws = false;
};

void* RunJob(void* argument) {
    Job* job = static_cast<Job*>(argument);
    if (job->gate != nullptr) job->gate->Pass();
    job->ranOn = std::this_thread::get_id();
    ++job->runs;
    if (job->throws) throw std::runtime_error("work failed");
    return nullptr;
}

TEST(XkThreadPoolTest, RefusesWorkBeforeInit) {
    XkThreadPool pool;
    Job job;
    EXPECT_FALSE(pool.doWork(RunJob, &job));
    EXPECT_EQ(0, job.runs.load());
    EXPECT_TRUE(pool.waitForAllThreads(true, true, true, -1));
    pool.terminateAllThreads();
}

TEST(XkThreadPoolTest, EveryItemRunsOnceOnAPoolThread) {
    XkThreadPool pool;
    ASSERT_TRUE(pool.init("LBCTestPool", 3));
    EXPECT_FALSE(pool.init("LBCTestPool", 3));
    std::vector<Job> jobs(100);
    for (Job& job : jobs) ASSERT_TRUE(pool.doWork(RunJob, &job));
    ASSERT_TRUE(pool.waitForAllThreads(false, true, true, -1));
    EXPECT_EQ(0u, pool.GetPendingWorkCount());
    std::set<std::thread::id> threads;
    for (const Job& job : jobs) {
        EXPECT_EQ(1, job.runs.load());
        threads.insert(job.ranOn);
    }
    EXPECT_EQ(0u, threads.count(std::this_thread::get_id()));
    EXPECT_LE(threads.size(), 3u);
    // Still taking work after a plain wait.
    Job more;
    EXPECT_TRUE(pool.doWork(RunJob, &more));
    pool.terminateAllThreads();
    EXPECT_EQ(1, more.runs.load());
}

TEST(XkThreadPoolTest, PlatformFormWithItsNumbers) {
    XkThreadPool pool;
    ASSERT_TRUE(pool.initThreadPool("LiveBrowseCacheDataPruner", 4294967295UL, 1, 1, 1));
    Job job;
    ASSERT_TRUE(pool.doWork(RunJob, &job));
    ASSERT_TRUE(pool.waitForAllThreads(true, true, true, -1));
    EXPECT_EQ(1, job.runs.load());
    // Ended by the wait: no more work is taken.
    Job late;
    EXPECT_FALSE(pool.doWork(RunJob, &late));
}

TEST(XkThreadPoolTest, TerminateFinishesAcceptedWorkAndJoins) {
    XkThreadPool pool;
    ASSERT_TRUE(pool.init("LBCTestPool", 1));
    Gate gate;
    Job blocking;
    blocking.gate = &gate;
    std::vector<Job> queued(5);
    ASSERT_TRUE(pool.doWork(RunJob, &blocking));
    for (Job& job : queued) ASSERT_TRUE(pool.doWork(RunJob, &job));
    gate.AwaitWaiting(1);

    std::atomic<bool> terminated{false};
    std::thread terminator([&] {
        pool.terminateAllThreads();
        terminated = true;
    });
    // Refused once terminating has begun; the caller then runs it itself.
    // Items accepted before the terminator got going are accepted work.
    std::deque<Job> extra;  // a deque: the items queued keep their addresses
    for (;;) {
        extra.emplace_back();
        if (!pool.doWork(RunJob, &extra.back())) break;
        std::this_thread::yield();
    }
    const size_t offered = extra.size() - 1;
    EXPECT_FALSE(terminated.load());
    gate.Open();
    terminator.join();
    EXPECT_TRUE(terminated.load());
    EXPECT_EQ(1, blocking.runs.load());
    for (const Job& job : queued) EXPECT_EQ(1, job.runs.load());
    for (size_t i = 0; i < extra.size(); ++i) EXPECT_EQ(i < offered ? 1 : 0, extra[i].runs.load());
    EXPECT_EQ(0u, pool.GetPendingWorkCount());
}

TEST(XkThreadPoolTest, ThrowingItemStaysOnItsThread) {
    XkThreadPool pool;
    ASSERT_TRUE(pool.init("LBCTestPool", 1));
    Job throwing;
    throwing.throws = true;
    Job after;
    ASSERT_TRUE(pool.doWork(RunJob, &throwing));
    ASSERT_TRUE(pool.doWork(RunJob, &after));
    ASSERT_TRUE(pool.waitForAllThreads(false, true, true, -1));
    EXPECT_EQ(1, throwing.runs.load());
    EXPECT_EQ(1, after.runs.load());
    EXPECT_EQ(1u, pool.GetFailedWorkCount());
}

TEST(XkThreadPoolTest, WaitWithATimeoutAndAQueueCap) {
    XkThreadPool pool;
    ASSERT_TRUE(pool.initThreadPool("LBCTestPool", 2, 1, 1, 1));
    Gate gate;
    Job blocking;
    blocking.gate = &gate;
    ASSERT_TRUE(pool.doWork(RunJob, &blocking));
    gate.AwaitWaiting(1);
    Job a, b, c;
    EXPECT_TRUE(pool.doWork(RunJob, &a));
    EXPECT_TRUE(pool.doWork(RunJob, &b));
    EXPECT_FALSE(pool.doWork(RunJob, &c));  // queue full
    EXPECT_EQ(3u, pool.GetPendingWorkCount());
    EXPECT_FALSE(pool.waitForAllThreads(false, true, true, 10));
    gate.Open();
    EXPECT_TRUE(pool.waitForAllThreads(false, true, true, -1));
    EXPECT_EQ(1, a.runs.load());
    EXPECT_EQ(1, b.runs.load());
    EXPECT_EQ(0, c.runs.load());
}

// A pool thread may neither wait for nor join itself.
struct SelfCall {
    XkThreadPool* pool;
    std::atomic<bool> waitAnswered{true};
    std::atomic<bool> terminated{false};
};

void* WaitAndTerminateFromInside(void* argument) {
    SelfCall* call = static_cast<SelfCall*>(argument);
    call->waitAnswered = call->pool->waitForAllThreads(false, true, true, -1);
    call->pool->terminateAllThreads();
    call->terminated = true;
    return nullptr;
}

TEST(XkThreadPoolTest, CallsFromAPoolThreadDoNotDeadlock) {
    SelfCall call;
    {
        XkThreadPool pool;
        call.pool = &pool;
        ASSERT_TRUE(pool.init("LBCTestPool", 2));
        ASSERT_TRUE(pool.doWork(WaitAndTerminateFromInside, &call));
        // The destructor joins every thread, the one that terminated the pool too.
    }
    EXPECT_FALSE(call.waitAnswered.load());
    EXPECT_TRUE(call.terminated.load());
}

void* Double(void* argument) {
    int* value = static_cast<int*>(argument);
    *value *= 2;
    return value;
}

TEST(XkThreadTest, RunsTheFunctionAndJoinsWithItsResult) {
    XkThread thread;
    int value = 21;
    EXPECT_FALSE(thread.joinable());
    ASSERT_EQ(0, thread.createThread(Double, &value));
    EXPECT_TRUE(thread.joinable());
    EXPECT_EQ(-1, thread.createThread(Double, &value));  // one thread per object
    void* result = nullptr;
    EXPECT_EQ(0, thread.join(&result));
    EXPECT_FALSE(thread.joinable());
    EXPECT_EQ(&value, result);
    EXPECT_EQ(42, value);
    // Joined: the object can start another thread.
    ASSERT_EQ(0, thread.createThread(Double, &value));
    EXPECT_EQ(0, thread.join());
    EXPECT_EQ(84, value);
}

TEST(XkThreadTest, FailedCreationAnswersMinusOne) {
    XkThread thread;
    int value = 1;
    XkThread::TEST_FailNextCreate(true);
    EXPECT_EQ(-1, thread.createThread(Double, &value));
    EXPECT_FALSE(thread.joinable());
    EXPECT_EQ(0, thread.createThread(Double, &value));
}

struct SelfJoin {
    XkThread thread;
    std::atomic<int> answer{0};
    std::atomic<bool> isCurrent{false};
};

void* JoinSelf(void* argument) {
    SelfJoin* self = static_cast<SelfJoin*>(argument);
    self->isCurrent = self->thread.isCurrentThread();
    self->answer = self->thread.join();
    return nullptr;
}

TEST(XkThreadTest, ThreadCannotJoinItself) {
    SelfJoin self;
    ASSERT_EQ(0, self.thread.createThread(JoinSelf, &self));
    EXPECT_EQ(0, self.thread.join());
    EXPECT_EQ(-1, self.answer.load());
    EXPECT_TRUE(self.isCurrent.load());
    EXPECT_FALSE(self.thread.isCurrentThread());
}

TEST(XkThreadTest, DestructorJoins) {
    std::atomic<int> value{0};
    {
        XkThread thread;
        ASSERT_EQ(0, thread.createThread(
                         [](void* argument) -> void* {
                             ++*static_cast<std::atomic<int>*>(argument);
                             return nullptr;
                         },
                         &value));
    }
    EXPECT_EQ(1, value.load());
}

}  // namespace
