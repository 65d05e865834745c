#include "FXCriticalSection.h"
#include "platform/XkEvent.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

bool TryFromOtherThread(FXCriticalSection& cs) {
    bool got = false;
    std::thread t([&] {
        got = cs.TryLock(CTimeInterval::FromSeconds(60));  // must not wait
        if (got) cs.Unlock();
    });
    t.join();
    return got;
}

TEST(CriticalSection, RecursiveHoldAndTryLockNeverWaits) {
    FXCriticalSection cs;
    cs.Lock();
    cs.Lock();
    EXPECT_TRUE(cs.TryLock(CTimeInterval::FromSeconds(60)));  // held by the caller
    EXPECT_FALSE(TryFromOtherThread(cs));
    cs.Unlock();
    cs.Unlock();
    EXPECT_FALSE(TryFromOtherThread(cs));  // still held once
    cs.Unlock();
    EXPECT_TRUE(TryFromOtherThread(cs));
}

TEST(AutoLock, NullResourceAndRepeatedCallsAreNoOps) {
    auto_lock none(nullptr);
    none.Lock();
    none.Unlock();

    FXCriticalSection cs;
    {
        auto_lock guard(&cs);
        guard.Lock();  // already holds: no second hold
        guard.Unlock();
        EXPECT_TRUE(TryFromOtherThread(cs));
        guard.Unlock();  // not holding: nothing
    }
    {
        auto_lock guard(&cs, false);
        EXPECT_TRUE(TryFromOtherThread(cs));
    }
    {
        auto_lock guard(&cs);
        EXPECT_FALSE(TryFromOtherThread(cs));
    }
    EXPECT_TRUE(TryFromOtherThread(cs));
}

TEST(CriticalSection, MutualExclusionUnderContention) {
    FXCriticalSection cs;
    long counter = 0;  // guarded by cs
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                auto_lock outer(&cs);
                auto_lock inner(&cs);  // recursive
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(8 * 20000, counter);
}

TEST(Event, SetBeforeWaitIsKeptAndEachWaitConsumesOne) {
    XkEventH ev(false);
    EXPECT_FALSE(ev.wait(0));
    ev.set();
    EXPECT_TRUE(ev.wait(0));   // kept from before
    EXPECT_FALSE(ev.wait(0));  // consumed

    XkEvent request(false), reply(false);
    std::atomic<int> served{0};
    std::thread walker([&] {
        for (int i = 0; i < 3; ++i) {
            request.wait();
            served.fetch_add(1);
            reply.set();
        }
    });
    for (int i = 1; i <= 3; ++i) {
        request.set();
        reply.wait();
        EXPECT_EQ(i, served.load());
    }
    walker.join();
}

}  // namespace
