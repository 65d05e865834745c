#include "platform/CAlertableEventThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records its callbacks, the threads they ran on and whether two ever overlapped.
class RecordingThread : public CAlertableEventThread {
public:
    ~RecordingThread() override { Stop(true); }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    std::set<std::thread::id> Threads() {
        std::lock_guard<std::mutex> guard(lock);
        return threads;
    }
    // Waits (with a generous limit) until at least n timeouts have run.
    bool WaitForTimeouts(int n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(30), [&] { return timeouts >= n; });
    }

    std::atomic<bool> overlapped{false};
    std::atomic<bool> stopFromTimeout{false};
    std::atomic<bool> throwFromTimeout{false};

protected:
    void OnStart() override { Record("start"); }
    void OnTimeout() override {
        Record("timeout");
        if (stopFromTimeout) Stop(true);
        if (throwFromTimeout.exchange(false)) throw std::runtime_error("tick failed");
    }
    void OnStop() override { Record("stop"); }

private:
    void Record(const char* what) {
        if (active.fetch_add(1) != 0) overlapped = true;
        {
            std::lock_guard<std::mutex> guard(lock);
            calls.push_back(what);
            threads.insert(std::this_thread::get_id());
            if (std::string(what) == "timeout") ++timeouts;
        }
        changed.notify_all();
        active.fetch_sub(1);
    }

    std::atomic<int> active{0};
    std::mutex lock;
    std::condition_variable changed;
    // guarded by lock
    std::vector<std::string> calls;
    std::set<std::thread::id> threads;
    int timeouts = 0;
};

TEST(CAlertableEventThreadTest, CallbacksRunInOrderOnOneThreadOfTheirOwn) {
    RecordingThread thread;
    EXPECT_FALSE(thread.IsRunning());
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.IsRunning());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(thread.TEST_TickNow(true));
    thread.Stop(true);
    EXPECT_FALSE(thread.IsRunning());

    EXPECT_EQ((std::vector<std::string>{"start", "timeout", "timeout", "timeout", "stop"}), thread.Calls());
    std::set<std::thread::id> threads = thread.Threads();
    ASSERT_EQ(1u, threads.size());
    EXPECT_NE(std::this_thread::get_id(), *threads.begin());
    EXPECT_FALSE(thread.overlapped.load());
}

TEST(CAlertableEventThreadTest, TimeoutIsKeptAndWakesTheThread) {
    RecordingThread thread;
    EXPECT_EQ(60.0, thread.GetTimeout().AsSeconds());
    thread.SetTimeout(CTimeInterval::FromSeconds(30));
    EXPECT_EQ(30.0, thread.GetTimeout().AsSeconds());
    // A short timeout, waited for as a condition rather than slept through.
    thread.SetTimeout(CTimeInterval(10 * 10000));  // 10 ms
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.WaitForTimeouts(3));
    thread.Stop(true);
    EXPECT_FALSE(thread.overlapped.load());
}

TEST(CAlertableEventThreadTest, StopWakesTheThreadAtOnce) {
    RecordingThread thread;
    thread.SetTimeout(CTimeInterval::FromSeconds(60));
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.TEST_TickNow(true));  // now in its 60 s wait
    auto before = std::chrono::steady_clock::now();
    thread.Stop(true);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ("stop", thread.Calls().back());
}

TEST(CAlertableEventThreadTest, StartIsANoOpWhileRunningAndRestartsAfterAStop) {
    RecordingThread thread;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.TEST_TickNow(true));
    EXPECT_EQ((std::vector<std::string>{"start", "timeout"}), thread.Calls());

    // Stopped without waiting, started again: the old run ends before the new one begins.
    thread.Stop(false);
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.TEST_TickNow(true));
    thread.Stop(true);
    EXPECT_EQ((std::vector<std::string>{"start", "timeout", "stop", "start", "timeout", "stop"}), thread.Calls());
    EXPECT_FALSE(thread.overlapped.load());
}

TEST(CAlertableEventThreadTest, StopOnItsOwnThreadDoesNotJoinItself) {
    RecordingThread thread;
    thread.stopFromTimeout = true;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.TEST_TickNow(true));
    thread.Stop(true);  // joins the thread that stopped itself
    EXPECT_EQ((std::vector<std::string>{"start", "timeout", "stop"}), thread.Calls());
}

TEST(CAlertableEventThreadTest, ThrowingCallbackDoesNotEndTheThread) {
    RecordingThread thread;
    thread.throwFromTimeout = true;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.TEST_TickNow(true));
    ASSERT_TRUE(thread.TEST_TickNow(true));
    thread.Stop(true);
    EXPECT_EQ((std::vector<std::string>{"start", "timeout", "timeout", "stop"}), thread.Calls());
}

TEST(CAlertableEventThreadTest, TickNeedsARunningThread) {
    RecordingThread thread;
    EXPECT_FALSE(thread.TEST_TickNow(true));
    ASSERT_TRUE(thread.Start());
    thread.Stop(true);
    EXPECT_FALSE(thread.TEST_TickNow(true));
    thread.Stop(true);  // stopping a stopped thread is harmless
    EXPECT_EQ((std::vector<std::string>{"start", "stop"}), thread.Calls());
}

TEST(CAlertableEventThreadTest, ManyTicksFromManyThreadsEachRunOnce) {
    RecordingThread thread;
    ASSERT_TRUE(thread.Start());
    std::vector<std::thread> tickers;
    for (int i = 0; i < 4; ++i)
        tickers.emplace_back([&] {
            for (int j = 0; j < 10; ++j) EXPECT_TRUE(thread.TEST_TickNow(true));
        });
    for (std::thread& t : tickers) t.join();
    thread.Stop(true);
    std::vector<std::string> calls = thread.Calls();
    EXPECT_EQ(42u, calls.size());
    EXPECT_FALSE(thread.overlapped.load());
}

}  // namespace
