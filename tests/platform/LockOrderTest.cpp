#include "FXCriticalSection.h"
#include "platform/LockOrder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

uint16_t Rank(LockRank rank) { return static_cast<uint16_t>(rank); }

TEST(LockOrder, RisingRanksReentryAndReleaseInAnyOrderPass) {
    FXCriticalSection outer(Rank(LockRank::Service), "outer");
    RankedMutex inner(LockRank::FlatFileLedger, "inner");
    {
        auto_lock a(&outer);
        auto_lock again(&outer);  // re-entry of a held recursive lock
        inner.lock();
        { auto_lock reentered(&outer); }
        again.Unlock();  // the outer lock is released before the inner one
        a.Unlock();
        inner.unlock();
    }
    // Nothing is left recorded as held: the outer lock may be taken again.
    auto_lock a(&outer);
    std::lock_guard<RankedMutex> guard(inner);
}

// A lock taken spinning is still a lock: a waiter gets it only once the holder
// let it go, whether its tries ran out or not; the holder takes it again.
TEST(LockOrder, ASpinningLockWaitsForItsHolderAndIsTakenAgainByIt) {
    for (int tries : {0, 1, 1000000}) {
        RankedRecursiveMutex lock(LockRank::DatabaseConnection, "connection");
        std::atomic<bool> waiting{false}, letGo{false}, sawLetGo{false};
        lock.lock_spinning(tries);
        lock.lock_spinning(tries);  // re-entry
        std::thread waiter([&] {
            waiting = true;
            lock.lock_spinning(tries);
            sawLetGo = letGo.load();
            lock.unlock();
        });
        while (!waiting.load()) std::this_thread::yield();
        lock.unlock();
        letGo = true;
        lock.unlock();
        waiter.join();
        EXPECT_TRUE(sawLetGo.load()) << tries << " tries";
    }
    RankedMutex plain(LockRank::VMRow, "VM row");
    plain.lock_spinning(10);
    bool taken = true;
    std::thread([&] { taken = plain.try_lock(); }).join();
    EXPECT_FALSE(taken);
    plain.unlock();
}

TEST(LockOrderDeathTest, TakingALowerRankUnderAHigherOneAbortsNamingBoth) {
    if (!LockOrder::Checked()) GTEST_SKIP() << "the lock order is checked in Debug and sanitizer builds";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RankedMutex ledger(LockRank::FlatFileLedger, "flat-file ledger");
            FXCriticalSection region(Rank(LockRank::FlatFileRegion), "flat-file region");
            std::lock_guard<RankedMutex> held(ledger);
            auto_lock taken(&region);
        },
        "taking \"flat-file region\" \\(rank [0-9]+\\) while holding \"flat-file ledger\"");
    EXPECT_DEATH(
        {
            RankedMutex a(LockRank::VMRow, "VM row A");
            RankedMutex b(LockRank::VMRow, "VM row B");
            std::lock_guard<RankedMutex> first(a);
            std::lock_guard<RankedMutex> second(b);
        },
        "taking \"VM row B\".*while holding \"VM row A\"");
    EXPECT_DEATH(
        {
            RankedMutex row(LockRank::VMRow, "VM row");
            RankedRecursiveMutex connection(LockRank::DatabaseConnection, "database connection");
            std::lock_guard<RankedRecursiveMutex> held(connection);
            row.lock_spinning(10);
        },
        "taking \"VM row\".*while holding \"database connection\"");
}

}  // namespace
