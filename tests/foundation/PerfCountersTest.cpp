#include "foundation/PerfCounters.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <new>
#include <set>
#include <thread>
#include <vector>

// Heap allocations of the calling thread while it counts them. Replacing the
// global operator new in this program reaches the library's allocations too.
// The sanitizers keep their own operator new, which must pair with theirs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LBC_COUNTS_ALLOCATIONS 0
#else
#define LBC_COUNTS_ALLOCATIONS 1
#endif
namespace {
thread_local bool t_countAllocations = false;
thread_local long t_allocations = 0;
}  // namespace

#if LBC_COUNTS_ALLOCATIONS
void* operator new(std::size_t size) {
    if (t_countAllocations) ++t_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The compiler cannot see that the replacement above pairs with these.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
#endif

namespace {

typedef LBCPerfCounters::Slot Slot;
typedef boost::shared_ptr<LBCPerfCounters> SetPtr;

// Empty registry, no process-wide set and a frozen monotonic clock, so that
// every recorded time is exactly what a test advanced.
class PerfCountersTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_ClearPerJobPerfCounters();
        StoreLBCPerfCounters(SetPtr());
        CPerfCounter::TEST_FreezeMonotonicClock();
    }
    void TearDown() override {
        CPerfCounter::TEST_ResetMonotonicClock();
        StoreLBCPerfCounters(SetPtr());
        TEST_ClearPerJobPerfCounters();
    }

    static void Advance(long long seconds) {
        CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval::FromSeconds(seconds));
    }
    static long long Samples(const SetPtr& set, Slot slot) {
        return set->Counter(slot)->GetTimer().GetTotalSamples();
    }
    static CTimeInterval Time(const SetPtr& set, Slot slot) { return set->Counter(slot)->GetTimer().GetTotalTime(); }
    static std::vector<long long> Keys() {
        std::vector<long long> keys;
        for (const auto& entry : SnapshotPerJobPerfCounters()) keys.push_back(entry.first);
        return keys;
    }
    // The slots of a set that have counted anything.
    static std::set<int> CountedSlots(const SetPtr& set) {
        std::set<int> counted;
        for (int s = 0; s < LBCPerfCounters::SlotCount; ++s)
            if (set->Counter(Slot(s))->IsCounted()) counted.insert(s);
        return counted;
    }
};

TEST_F(PerfCountersTest, SlotsNameTheFieldsInOrderWithTheirLevels) {
    const struct {
        Slot slot;
        boost::shared_ptr<CPerfCounter> LBCPerfCounters::*field;
        int level;
    } cases[] = {
        {LBCPerfCounters::SlotDbQueryExtents, &LBCPerfCounters::dbQueryExtents, 0},
        {LBCPerfCounters::SlotDbQueryExtent, &LBCPerfCounters::dbQueryExtent, 0},
        {LBCPerfCounters::SlotDbGetExtents, &LBCPerfCounters::dbGetExtents, 0},
        {LBCPerfCounters::SlotCacheDBGetExtent, &LBCPerfCounters::cacheDBGetExtent, 0},
        {LBCPerfCounters::SlotDbInsertExtent, &LBCPerfCounters::dbInsertExtent, 0},
        {LBCPerfCounters::SlotDbUpdateExtent, &LBCPerfCounters::dbUpdateExtent, 0},
        {LBCPerfCounters::SlotLockWrite, &LBCPerfCounters::lockWrite, 0},
        {LBCPerfCounters::SlotWriterRequests, &LBCPerfCounters::writerRequests, 0},
        {LBCPerfCounters::SlotWriteTime, &LBCPerfCounters::writeTime, 0},
        {LBCPerfCounters::SlotReadTime, &LBCPerfCounters::readTime, 0},
        {LBCPerfCounters::SlotPartialWrites, &LBCPerfCounters::partialWrites, 0},
        {LBCPerfCounters::SlotItemOpenForWrite, &LBCPerfCounters::itemOpenForWrite, 0},
        {LBCPerfCounters::SlotItemOpenForRead, &LBCPerfCounters::itemOpenForRead, 0},
        {LBCPerfCounters::SlotItemWrite, &LBCPerfCounters::itemWrite, 0},
        {LBCPerfCounters::SlotRewrites, &LBCPerfCounters::rewrites, 0},
        {LBCPerfCounters::SlotDbQueryVM, &LBCPerfCounters::dbQueryVM, 0},
        {LBCPerfCounters::SlotDbUpsertVM, &LBCPerfCounters::dbUpsertVM, 0},
        {LBCPerfCounters::SlotReaderRequests, &LBCPerfCounters::readerRequests, 1},
        {LBCPerfCounters::SlotWriteBytes, &LBCPerfCounters::writeBytes, 0},
        {LBCPerfCounters::SlotReadBytes, &LBCPerfCounters::readBytes, 0},
        {LBCPerfCounters::SlotLockOpen, &LBCPerfCounters::lockOpen, 0},
        {LBCPerfCounters::SlotLockGetDB, &LBCPerfCounters::lockGetDB, 0},
        {LBCPerfCounters::SlotDbOpen, &LBCPerfCounters::dbOpen, 0},
        {LBCPerfCounters::SlotFullExtentReads, &LBCPerfCounters::fullExtentReads, 1},
        {LBCPerfCounters::SlotItemClose, &LBCPerfCounters::itemClose, 0},
    };
    ASSERT_EQ(25u, sizeof cases / sizeof cases[0]);
    LBCPerfCounters set;
    for (size_t i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(int(i), int(cases[i].slot));
        ASSERT_TRUE(set.*cases[i].field);
        EXPECT_EQ((set.*cases[i].field).get(), set.Counter(cases[i].slot).get());
        EXPECT_EQ(cases[i].level, set.Counter(cases[i].slot)->GetLevel());
        EXPECT_FALSE(set.Counter(cases[i].slot)->IsCounted());
    }
    EXPECT_EQ(0u, set.simultaneousWrites.load());
    EXPECT_EQ(0u, set.blockedWrites.load());
    EXPECT_EQ(0, set.lastLoggedCount.load());
    EXPECT_FALSE(set.Counter(LBCPerfCounters::SlotCount));
    EXPECT_FALSE(set.Counter(Slot(-1)));
}

TEST_F(PerfCountersTest, EveryConstructionSetsTheCurrentLevelTo4) {
    CPerfCounter::SetCurrentPerfCounterLevel(0);
    LBCPerfCounters first;
    EXPECT_EQ(4, CPerfCounter::GetCurrentPerfCounterLevel());
    CPerfCounter::SetCurrentPerfCounterLevel(1);
    LBCPerfCounters second;
    EXPECT_EQ(4, CPerfCounter::GetCurrentPerfCounterLevel());
}

TEST_F(PerfCountersTest, FirstSpanOfNewJobEntersJobAndProcessSetsWithOneSampleEach) {
    ASSERT_TRUE(Keys().empty());
    {
        PerJobSpan span(42, LBCPerfCounters::SlotWriterRequests);
        Advance(2);
    }
    ASSERT_EQ((std::vector<long long>{0, 42}), Keys());
    SetPtr process = GetPerJobPerfCounters(0), job = GetPerJobPerfCounters(42);
    for (const SetPtr& set : {process, job}) {
        EXPECT_EQ(std::set<int>{LBCPerfCounters::SlotWriterRequests}, CountedSlots(set));
        EXPECT_EQ(1, Samples(set, LBCPerfCounters::SlotWriterRequests));
        EXPECT_EQ(CTimeInterval::FromSeconds(2), Time(set, LBCPerfCounters::SlotWriterRequests));
    }

    // A further job reuses the existing process set.
    { PerJobSpan span(43, LBCPerfCounters::SlotWriterRequests); }
    EXPECT_EQ((std::vector<long long>{0, 42, 43}), Keys());
    EXPECT_EQ(process.get(), GetPerJobPerfCounters(0).get());
    EXPECT_EQ(2, Samples(process, LBCPerfCounters::SlotWriterRequests));
    EXPECT_EQ(1, Samples(job, LBCPerfCounters::SlotWriterRequests));
}

TEST_F(PerfCountersTest, BytesGoToTheJobSetOnly) {
    {
        PerJobSpan span(7, LBCPerfCounters::SlotWriteTime);
        PerJobBytes(7, LBCPerfCounters::SlotWriteBytes, 4096);
        PerJobBytes(7, LBCPerfCounters::SlotWriteBytes, 3000000000ULL);
    }
    SetPtr job = GetPerJobPerfCounters(7), process = GetPerJobPerfCounters(0);
    EXPECT_EQ(4096 + 3000000000LL, Samples(job, LBCPerfCounters::SlotWriteBytes));
    EXPECT_EQ(0, Time(job, LBCPerfCounters::SlotWriteBytes).As100NSIntervals());
    EXPECT_FALSE(process->writeBytes->IsCounted());
    EXPECT_EQ(1, Samples(process, LBCPerfCounters::SlotWriteTime));

    // Bytes of a job not seen before enter its set, and still not the process totals.
    PerJobBytes(8, LBCPerfCounters::SlotReadBytes, 10);
    EXPECT_EQ(10, Samples(GetPerJobPerfCounters(8), LBCPerfCounters::SlotReadBytes));
    EXPECT_FALSE(process->readBytes->IsCounted());
}

TEST_F(PerfCountersTest, CountAddsOneSampleAndNoTime) {
    CPerfCounter::TEST_ResetMonotonicClock();  // zero time must not depend on a frozen clock
    for (Slot slot : {LBCPerfCounters::SlotPartialWrites, LBCPerfCounters::SlotFullExtentReads}) {
        SCOPED_TRACE(int(slot));
        PerJobCount(11, slot);
        for (long long key : {0LL, 11LL}) {
            SetPtr set = GetPerJobPerfCounters(key);
            EXPECT_EQ(1, Samples(set, slot));
            EXPECT_EQ(0, Time(set, slot).As100NSIntervals());
        }
    }
}

// Real threads and a real lock: the main thread holds the lock for 3 seconds
// of the waiting thread's span and 100 more seconds pass after it got it.
TEST_F(PerfCountersTest, WaitEndsWhenTheLockIsHeld) {
    FXCriticalSection lock;
    lock.Lock();
    std::promise<void> started, held, proceed;
    std::shared_future<void> proceedSignal = proceed.get_future().share();
    std::thread waiter([&] {
        PerJobSpan step(5, LBCPerfCounters::SlotItemWrite);
        PerJobSpan wait(5, LBCPerfCounters::SlotLockWrite);
        started.set_value();
        auto_lock guard(&lock);
        wait.End();
        held.set_value();
        proceedSignal.wait();
    });
    started.get_future().wait();
    Advance(3);
    lock.Unlock();
    held.get_future().wait();
    Advance(100);
    proceed.set_value();
    waiter.join();

    for (long long key : {0LL, 5LL}) {
        SetPtr set = GetPerJobPerfCounters(key);
        EXPECT_EQ(1, Samples(set, LBCPerfCounters::SlotLockWrite));
        EXPECT_EQ(CTimeInterval::FromSeconds(3), Time(set, LBCPerfCounters::SlotLockWrite));
        EXPECT_EQ(CTimeInterval::FromSeconds(103), Time(set, LBCPerfCounters::SlotItemWrite));
    }
}

// Job id 0's set is the process totals: a step of job 0 takes its job's
// sample and the process's there, the same time in each.
TEST_F(PerfCountersTest, JobZeroIsSampledTwiceInTheProcessTotalsAndGetsNoBytes) {
    {
        PerJobSpan span(0, LBCPerfCounters::SlotReaderRequests);
        Advance(2);
    }
    PerJobCount(0, LBCPerfCounters::SlotFullExtentReads);
    PerJobBytes(0, LBCPerfCounters::SlotReadBytes, 512);
    EXPECT_EQ(std::vector<long long>{0}, Keys());
    SetPtr process = GetPerJobPerfCounters(0);
    EXPECT_EQ(2, Samples(process, LBCPerfCounters::SlotReaderRequests));
    EXPECT_EQ(CTimeInterval::FromSeconds(4), Time(process, LBCPerfCounters::SlotReaderRequests));
    EXPECT_EQ(2, Samples(process, LBCPerfCounters::SlotFullExtentReads));
    EXPECT_FALSE(process->readBytes->IsCounted());
}

// A request looks its job up once: the sets it holds take every kind of
// sample as a look-up by job id would, job id 0 included.
TEST_F(PerfCountersTest, ARequestsSetsSampleAsALookUpByJobIdWould) {
    for (long long jobId : {0LL, 21LL}) {
        SCOPED_TRACE(jobId);
        TEST_ClearPerJobPerfCounters();
        {
            const PerJobSets sets(jobId);
            PerJobSpan span(sets, LBCPerfCounters::SlotWriteTime);
            PerJobCount(sets, LBCPerfCounters::SlotPartialWrites);
            PerJobBytes(sets, LBCPerfCounters::SlotWriteBytes, 4096);
            Advance(2);
        }
        const long long processSamples = jobId == 0 ? 2 : 1;
        SetPtr process = GetPerJobPerfCounters(0), job = GetPerJobPerfCounters(jobId);
        EXPECT_EQ(processSamples, Samples(process, LBCPerfCounters::SlotWriteTime));
        EXPECT_EQ(CTimeInterval::FromSeconds(2 * processSamples), Time(process, LBCPerfCounters::SlotWriteTime));
        EXPECT_EQ(processSamples, Samples(process, LBCPerfCounters::SlotPartialWrites));
        EXPECT_EQ(jobId == 0 ? 0 : 4096, Samples(job, LBCPerfCounters::SlotWriteBytes));
        if (jobId == 0) continue;
        EXPECT_EQ(1, Samples(job, LBCPerfCounters::SlotWriteTime));
        EXPECT_EQ(CTimeInterval::FromSeconds(2), Time(job, LBCPerfCounters::SlotWriteTime));
        EXPECT_EQ(1, Samples(job, LBCPerfCounters::SlotPartialWrites));
        EXPECT_FALSE(process->writeBytes->IsCounted());
    }
}

// Adjacent steps share one clock reading at their boundary: each step gets
// exactly the time that passed in it, one sample each, in both sets.
TEST_F(PerfCountersTest, AdjacentStepsEachGetTheTimeBetweenTheirBoundaries) {
    {
        PerJobSpan step(PerJobSets(31), LBCPerfCounters::SlotLockOpen);
        Advance(2);
        step.Then(LBCPerfCounters::SlotItemOpenForWrite);
        Advance(3);
        step.Then(LBCPerfCounters::SlotItemWrite);
        Advance(5);
        step.Then(LBCPerfCounters::SlotItemClose);
        Advance(7);
    }
    for (long long key : {0LL, 31LL}) {
        SetPtr set = GetPerJobPerfCounters(key);
        EXPECT_EQ((std::set<int>{LBCPerfCounters::SlotLockOpen, LBCPerfCounters::SlotItemOpenForWrite,
                                 LBCPerfCounters::SlotItemWrite, LBCPerfCounters::SlotItemClose}),
                  CountedSlots(set));
        EXPECT_EQ(CTimeInterval::FromSeconds(2), Time(set, LBCPerfCounters::SlotLockOpen));
        EXPECT_EQ(CTimeInterval::FromSeconds(3), Time(set, LBCPerfCounters::SlotItemOpenForWrite));
        EXPECT_EQ(CTimeInterval::FromSeconds(5), Time(set, LBCPerfCounters::SlotItemWrite));
        EXPECT_EQ(CTimeInterval::FromSeconds(7), Time(set, LBCPerfCounters::SlotItemClose));
        for (Slot slot : {LBCPerfCounters::SlotLockOpen, LBCPerfCounters::SlotItemOpenForWrite,
                          LBCPerfCounters::SlotItemWrite, LBCPerfCounters::SlotItemClose})
            EXPECT_EQ(1, Samples(set, slot));
    }

    // After End() a further step starts on a reading of its own.
    {
        PerJobSpan step(31, LBCPerfCounters::SlotLockWrite);
        Advance(1);
        step.End();
        Advance(4);
        step.Then(LBCPerfCounters::SlotItemWrite);
        Advance(6);
    }
    SetPtr job = GetPerJobPerfCounters(31);
    EXPECT_EQ(CTimeInterval::FromSeconds(1), Time(job, LBCPerfCounters::SlotLockWrite));
    EXPECT_EQ(CTimeInterval::FromSeconds(5 + 6), Time(job, LBCPerfCounters::SlotItemWrite));
    EXPECT_EQ(2, Samples(job, LBCPerfCounters::SlotItemWrite));
}

TEST_F(PerfCountersTest, IsCountedFollowsItemOpensAgainstLastLoggedCount) {
    SetPtr job = GetPerJobPerfCounters(9);
    long long count = -1;
    EXPECT_FALSE(job->IsCounted(count));
    EXPECT_EQ(0, count);

    { PerJobSpan span(9, LBCPerfCounters::SlotItemOpenForRead); }
    EXPECT_TRUE(job->IsCounted(count));
    EXPECT_EQ(1, count);
    job->lastLoggedCount = count;
    EXPECT_FALSE(job->IsCounted(count));
    EXPECT_EQ(1, count);

    // Only item opens count as activity.
    { PerJobSpan span(9, LBCPerfCounters::SlotWriterRequests); }
    PerJobCount(9, LBCPerfCounters::SlotFullExtentReads);
    EXPECT_FALSE(job->IsCounted(count));

    { PerJobSpan span(9, LBCPerfCounters::SlotItemOpenForWrite); }
    EXPECT_TRUE(job->IsCounted(count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(1, job->lastLoggedCount.load());  // IsCounted changes nothing
}

TEST_F(PerfCountersTest, ResetZeroesEveryCounterAndTheThreeNumbers) {
    for (int s = 0; s < LBCPerfCounters::SlotCount; ++s) {
        PerJobSpan span(3, Slot(s));
        Advance(1);
    }
    SetPtr job = GetPerJobPerfCounters(3);
    ASSERT_EQ(25u, CountedSlots(job).size());
    job->RaiseSimultaneousWrites(3);
    job->blockedWrites += 2;
    job->lastLoggedCount = 5;

    job->Reset();
    EXPECT_TRUE(CountedSlots(job).empty());
    for (int s = 0; s < LBCPerfCounters::SlotCount; ++s) EXPECT_EQ(0, Samples(job, Slot(s)));
    EXPECT_EQ(0u, job->simultaneousWrites.load());
    EXPECT_EQ(0u, job->blockedWrites.load());
    EXPECT_EQ(0, job->lastLoggedCount.load());

    long long count = -1;
    EXPECT_FALSE(job->IsCounted(count));
    EXPECT_EQ(0, count);
    { PerJobSpan span(3, LBCPerfCounters::SlotItemOpenForRead); }
    EXPECT_TRUE(job->IsCounted(count));
    EXPECT_EQ(1, count);
}

TEST_F(PerfCountersTest, SimultaneousWritesOnlyRises) {
    LBCPerfCounters set;
    set.RaiseSimultaneousWrites(3);
    set.RaiseSimultaneousWrites(2);
    EXPECT_EQ(3u, set.simultaneousWrites.load());
    set.RaiseSimultaneousWrites(5);
    EXPECT_EQ(5u, set.simultaneousWrites.load());
}

TEST_F(PerfCountersTest, RegistryKeepsOneSetPerJobInAscendingOrder) {
    SetPtr nine = GetPerJobPerfCounters(9);
    GetPerJobPerfCounters(3);
    EXPECT_EQ(nine.get(), GetPerJobPerfCounters(9).get());
    PerJobCount(5, LBCPerfCounters::SlotPartialWrites);
    GetPerJobPerfCounters(-2);
    auto snapshot = SnapshotPerJobPerfCounters();
    std::vector<long long> keys;
    for (const auto& entry : snapshot) {
        keys.push_back(entry.first);
        EXPECT_EQ(GetPerJobPerfCounters(entry.first).get(), entry.second.get());
    }
    EXPECT_EQ((std::vector<long long>{-2, 0, 3, 5, 9}), keys);
}

// A thread that sampled a job before the registry was cleared samples into
// the registry's new sets afterwards, never into the ones cleared away.
TEST_F(PerfCountersTest, SamplesAfterAClearGoToTheNewSets) {
    PerJobCount(5, LBCPerfCounters::SlotPartialWrites);
    PerJobBytes(5, LBCPerfCounters::SlotWriteBytes, 10);
    SetPtr before = GetPerJobPerfCounters(5);
    TEST_ClearPerJobPerfCounters();
    PerJobCount(5, LBCPerfCounters::SlotPartialWrites);
    PerJobBytes(5, LBCPerfCounters::SlotWriteBytes, 7);
    EXPECT_EQ((std::vector<long long>{0, 5}), Keys());
    SetPtr after = GetPerJobPerfCounters(5);
    EXPECT_NE(before.get(), after.get());
    EXPECT_EQ(1, Samples(after, LBCPerfCounters::SlotPartialWrites));
    EXPECT_EQ(7, Samples(after, LBCPerfCounters::SlotWriteBytes));
    EXPECT_EQ(1, Samples(GetPerJobPerfCounters(0), LBCPerfCounters::SlotPartialWrites));
    EXPECT_EQ(1, Samples(before, LBCPerfCounters::SlotPartialWrites));
}

// Samples lie on every request road: once a thread has looked up a job's
// sets, no kind of sample allocates.
TEST_F(PerfCountersTest, SamplesOfAKnownJobTakeNoHeapAllocation) {
    if (!LBC_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are counted outside the sanitizer builds";
    StoreLBCPerfCounters(boost::make_shared<LBCPerfCounters>());
    { PerJobSpan enter(6, LBCPerfCounters::SlotWriteTime); }
    t_allocations = 0;
    t_countAllocations = true;
    for (int i = 0; i < 10; ++i) {
        PerJobSpan span(6, LBCPerfCounters::SlotWriteTime);
        PerJobSpan wait(6, LBCPerfCounters::SlotLockOpen);
        wait.End();
        PerJobCount(6, LBCPerfCounters::SlotPartialWrites);
        PerJobBytes(6, LBCPerfCounters::SlotWriteBytes, 4096);
        ProcessSpan lookup(LBCPerfCounters::SlotLockGetDB);
    }
    t_countAllocations = false;
    EXPECT_EQ(0, t_allocations);
    SetPtr job = GetPerJobPerfCounters(6);
    EXPECT_EQ(11, Samples(job, LBCPerfCounters::SlotWriteTime));
    EXPECT_EQ(10, Samples(job, LBCPerfCounters::SlotLockOpen));
    EXPECT_EQ(10, Samples(job, LBCPerfCounters::SlotPartialWrites));
    EXPECT_EQ(40960, Samples(job, LBCPerfCounters::SlotWriteBytes));
    EXPECT_EQ(10, Samples(LoadLBCPerfCounters(), LBCPerfCounters::SlotLockGetDB));
}

// Once a thread has sampled a job and job id 0, its samples of either, in any
// order, go on while another thread holds the registry's lock.
TEST_F(PerfCountersTest, SamplesOfKnownSetsDoNotWaitForTheRegistryLock) {
    std::promise<void> warmed, go;
    std::shared_future<void> goSignal = go.get_future().share();
    std::promise<void> finished;
    std::thread feeder([&] {
        { PerJobSpan span(7, LBCPerfCounters::SlotWriteTime); }
        PerJobCount(0, LBCPerfCounters::SlotFullExtentReads);
        warmed.set_value();
        goSignal.wait();
        for (int i = 0; i < 3; ++i) {
            { PerJobSpan span(7, LBCPerfCounters::SlotWriteTime); }
            PerJobBytes(7, LBCPerfCounters::SlotWriteBytes, 100);
            { PerJobSpan span(0, LBCPerfCounters::SlotReaderRequests); }
            PerJobCount(7, LBCPerfCounters::SlotPartialWrites);
        }
        finished.set_value();
    });
    warmed.get_future().wait();
    std::future<void> done = finished.get_future();
    std::future_status status;
    {
        auto_lock held(&g_lockPerJobPerfCounters);
        go.set_value();
        // A feeder that needs the lock can only finish once it is released.
        status = done.wait_for(std::chrono::seconds(30));
    }
    feeder.join();
    EXPECT_EQ(std::future_status::ready, status);
    SetPtr job = GetPerJobPerfCounters(7), process = GetPerJobPerfCounters(0);
    EXPECT_EQ(4, Samples(job, LBCPerfCounters::SlotWriteTime));
    EXPECT_EQ(300, Samples(job, LBCPerfCounters::SlotWriteBytes));
    EXPECT_EQ(6, Samples(process, LBCPerfCounters::SlotReaderRequests));  // job 0: its own and the process's
    EXPECT_EQ(3, Samples(process, LBCPerfCounters::SlotPartialWrites));
}

// On the real clock: both samples of a span are timed by the same two
// readings, so the job's and the process's totals agree to the unit.
TEST_F(PerfCountersTest, ASpanGivesTheJobAndTheProcessTotalsTheSameTime) {
    CPerfCounter::TEST_ResetMonotonicClock();
    for (int i = 0; i < 2000; ++i) {
        PerJobSpan span(12, LBCPerfCounters::SlotItemWrite);
        volatile int work = 0;
        for (int k = 0; k < i % 50; ++k) work = work + k;
    }
    SetPtr job = GetPerJobPerfCounters(12), process = GetPerJobPerfCounters(0);
    EXPECT_EQ(2000, Samples(job, LBCPerfCounters::SlotItemWrite));
    EXPECT_EQ(Time(job, LBCPerfCounters::SlotItemWrite).As100NSIntervals(),
              Time(process, LBCPerfCounters::SlotItemWrite).As100NSIntervals());
}

// A span that runs across a clear of the registry ends in the set it started
// on, which is still alive (the sanitizer builds check the memory).
TEST_F(PerfCountersTest, ASpanRunningAcrossAClearEndsInItsOwnSet) {
    LBCPerfCounters* cleared = nullptr;
    {
        PerJobSpan span(5, LBCPerfCounters::SlotItemClose);
        cleared = GetPerJobPerfCounters(5).get();
        TEST_ClearPerJobPerfCounters();
        Advance(2);
    }
    EXPECT_TRUE(Keys().empty());
    EXPECT_EQ(1, cleared->itemClose->GetTimer().GetTotalSamples());
    EXPECT_EQ(CTimeInterval::FromSeconds(2), cleared->itemClose->GetTimer().GetTotalTime());
}

TEST_F(PerfCountersTest, ProcessSpanFeedsTheProcessWideSetAlone) {
    { ProcessSpan span(LBCPerfCounters::SlotLockGetDB); }  // no set yet: nothing happens
    EXPECT_TRUE(Keys().empty());

    SetPtr first = boost::make_shared<LBCPerfCounters>();
    StoreLBCPerfCounters(first);
    {
        ProcessSpan span(LBCPerfCounters::SlotDbOpen);
        Advance(4);
        span.End();
        Advance(10);
    }
    EXPECT_TRUE(Keys().empty());
    EXPECT_EQ(1, Samples(first, LBCPerfCounters::SlotDbOpen));
    EXPECT_EQ(CTimeInterval::FromSeconds(4), Time(first, LBCPerfCounters::SlotDbOpen));

    // A span running while the set is replaced lands in the set it started on.
    SetPtr second = boost::make_shared<LBCPerfCounters>();
    {
        ProcessSpan span(LBCPerfCounters::SlotDbQueryVM);
        StoreLBCPerfCounters(second);
        first.reset();
    }
    EXPECT_EQ(second.get(), LoadLBCPerfCounters().get());
    EXPECT_FALSE(second->dbQueryVM->IsCounted());
}

// Feeders on overlapping job ids, a reporter that snapshots and resets the
// process totals, and a thread that keeps replacing the process-wide set.
TEST_F(PerfCountersTest, ConcurrentFeedersReportsAndReplacementsAddUp) {
    CPerfCounter::TEST_ResetMonotonicClock();
    const int kFeeders = 8, kOps = 1500, kJobs = 4;
    std::vector<SetPtr> storedSets{boost::make_shared<LBCPerfCounters>()};
    StoreLBCPerfCounters(storedSets.front());

    std::atomic<int> running{kFeeders};
    std::atomic<long long> processResets{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kFeeders; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kOps; ++i) {
                long long job = 1 + (t + i) % kJobs;
                {
                    PerJobSpan span(job, LBCPerfCounters::SlotWriterRequests);
                    PerJobBytes(job, LBCPerfCounters::SlotWriteBytes, 10);
                    if (i % 3 == 0) span.End();
                }
                PerJobCount(job, LBCPerfCounters::SlotPartialWrites);
                { ProcessSpan span(LBCPerfCounters::SlotLockGetDB); }
                ++LoadLBCPerfCounters()->blockedWrites;
            }
            --running;
        });
    std::thread reporter([&] {
        do {
            for (const auto& entry : SnapshotPerJobPerfCounters()) {
                long long count = 0;
                entry.second->IsCounted(count);
                entry.second->writerRequests->GetTimer();
                if (entry.first == 0) {
                    entry.second->Reset();
                    ++processResets;
                }
            }
        } while (running > 0 || processResets == 0);
    });
    std::thread replacer([&] {  // the only writer of storedSets until joined
        do {
            storedSets.push_back(boost::make_shared<LBCPerfCounters>());
            StoreLBCPerfCounters(storedSets.back());
            std::this_thread::yield();
        } while (running > 0 && storedSets.size() < 2000);
    });
    for (auto& th : threads) th.join();
    reporter.join();
    replacer.join();

    // Each job gets the same share of every feeder's operations.
    const long long perJob = kFeeders * kOps / kJobs;
    EXPECT_EQ((std::vector<long long>{0, 1, 2, 3, 4}), Keys());
    for (long long job = 1; job <= kJobs; ++job) {
        SCOPED_TRACE(job);
        SetPtr set = GetPerJobPerfCounters(job);
        EXPECT_EQ(perJob, Samples(set, LBCPerfCounters::SlotWriterRequests));
        EXPECT_EQ(perJob, Samples(set, LBCPerfCounters::SlotPartialWrites));
        EXPECT_EQ(10 * perJob, Samples(set, LBCPerfCounters::SlotWriteBytes));
    }
    SetPtr process = GetPerJobPerfCounters(0);
    EXPECT_LE(Samples(process, LBCPerfCounters::SlotWriterRequests), kFeeders * kOps);
    EXPECT_FALSE(process->writeBytes->IsCounted());
    EXPECT_GT(processResets.load(), 0);

    long long blocked = 0, lookups = 0;
    for (const SetPtr& set : storedSets) {
        blocked += set->blockedWrites;
        lookups += Samples(set, LBCPerfCounters::SlotLockGetDB);
    }
    EXPECT_EQ(kFeeders * kOps, blocked);
    EXPECT_EQ(kFeeders * kOps, lookups);
}

}  // namespace
