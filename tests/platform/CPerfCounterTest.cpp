#include "platform/CPerfCounter.h"
#include "platform/SystemClock.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Every test starts and ends with the real monotonic and wall clocks.
class CPerfCounterTest : public ::testing::Test {
protected:
    void SetUp() override { CPerfCounter::TEST_ResetMonotonicClock(); }
    void TearDown() override {
        CPerfCounter::TEST_ResetMonotonicClock();
        SystemClock::TEST_Reset();
    }
};

boost::shared_ptr<CTimeCounter> Totals(long long units, long long samples) {
    return boost::make_shared<CTimeCounter>(CTimeInterval(units), samples);
}

TEST_F(CPerfCounterTest, NewCounterHasZeroTotalsAndKeepsItsLevel) {
    CPerfCounter counter(1);
    EXPECT_EQ(1, counter.GetLevel());
    EXPECT_FALSE(counter.IsCounted());
    EXPECT_EQ(0, counter.GetTimer().GetTotalSamples());
    EXPECT_EQ(0, counter.GetTimer().GetTotalTime().As100NSIntervals());
}

TEST_F(CPerfCounterTest, CurrentLevelIsProcessWide) {
    CPerfCounter::SetCurrentPerfCounterLevel(2);
    EXPECT_EQ(2, CPerfCounter::GetCurrentPerfCounterLevel());
    CPerfCounter::SetCurrentPerfCounterLevel(4);
    EXPECT_EQ(4, CPerfCounter::GetCurrentPerfCounterLevel());
}

TEST_F(CPerfCounterTest, SampleAddsElapsedTimeAndOneSampleWhenReleased) {
    CPerfCounter::TEST_FreezeMonotonicClock();
    CPerfCounter counter(0);
    boost::shared_ptr<CAutoTimeCounter> sample = counter.GetAutoObject();
    CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval::FromSeconds(3));
    EXPECT_FALSE(counter.IsCounted());  // nothing lands before the sample ends
    sample.reset();
    EXPECT_TRUE(counter.IsCounted());
    EXPECT_EQ(1, counter.GetTimer().GetTotalSamples());
    EXPECT_EQ(CTimeInterval::FromSeconds(3), counter.GetTimer().GetTotalTime());
}

TEST_F(CPerfCounterTest, EndStopsTheSampleAndTheReleaseAddsNothingMore) {
    CPerfCounter::TEST_FreezeMonotonicClock();
    CPerfCounter counter(0);
    boost::shared_ptr<CAutoTimeCounter> sample = counter.GetAutoObject();
    CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval::FromSeconds(2));
    sample->End();
    CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval::FromSeconds(50));
    sample->End();
    sample.reset();
    EXPECT_EQ(1, counter.GetTimer().GetTotalSamples());
    EXPECT_EQ(CTimeInterval::FromSeconds(2), counter.GetTimer().GetTotalTime());
}

TEST_F(CPerfCounterTest, SampleMayOutliveItsCounter) {
    boost::shared_ptr<CAutoTimeCounter> sample;
    {
        CPerfCounter counter(0);
        sample = counter.GetAutoObject();
    }
    sample->End();  // lands in totals nobody reads any more; must not touch freed memory
    sample.reset();
}

// Cases: both counters, the first alone, the second alone; the sample adds
// the same elapsed time to each counter it feeds, once.
TEST_F(CPerfCounterTest, TimeSampleAddsOneElapsedTimeToEachCounterOnce) {
    CPerfCounter::TEST_FreezeMonotonicClock();
    const struct {
        bool first, second;
    } cases[] = {{true, true}, {true, false}, {false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << c.second);
        CPerfCounter a(0), b(0);
        {
            CTimeSample sample;
            sample.Start(c.first ? &a : nullptr, c.second ? &b : nullptr);
            CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval(70));
            sample.End();
            CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval(5));
            sample.End();
        }
        EXPECT_EQ(c.first ? 1 : 0, a.GetTimer().GetTotalSamples());
        EXPECT_EQ(c.first ? 70 : 0, a.GetTimer().GetTotalTime().As100NSIntervals());
        EXPECT_EQ(c.second ? 1 : 0, b.GetTimer().GetTotalSamples());
        EXPECT_EQ(c.second ? 70 : 0, b.GetTimer().GetTotalTime().As100NSIntervals());
    }
    // Never started, or on no counter: nothing is added and nothing fails.
    { CTimeSample idle; }
    CTimeSample none;
    none.Start(nullptr, nullptr);
    none.End();
}

TEST_F(CPerfCounterTest, AddTotalsAddsWithoutATotalsObject) {
    CPerfCounter counter(0);
    counter.AddTotals(0, 0);
    EXPECT_FALSE(counter.IsCounted());
    counter.AddTotals(0, 4096);
    counter.AddTotals(250, 1);
    EXPECT_EQ(4097, counter.GetTimer().GetTotalSamples());
    EXPECT_EQ(250, counter.GetTimer().GetTotalTime().As100NSIntervals());
}

TEST_F(CPerfCounterTest, UpdateTimerAddsTotals) {
    CPerfCounter counter(0);
    counter.UpdateTimer(boost::shared_ptr<CTimeCounter>());
    counter.UpdateTimer(Totals(0, 0));
    EXPECT_FALSE(counter.IsCounted());
    counter.UpdateTimer(Totals(0, 4096));
    counter.UpdateTimer(Totals(250, 1));
    EXPECT_TRUE(counter.IsCounted());
    EXPECT_EQ(4097, counter.GetTimer().GetTotalSamples());
    EXPECT_EQ(250, counter.GetTimer().GetTotalTime().As100NSIntervals());
}

TEST_F(CPerfCounterTest, ResetZeroesTheTotals) {
    CPerfCounter counter(0);
    counter.UpdateTimer(Totals(100, 7));
    counter.Reset();
    EXPECT_FALSE(counter.IsCounted());
    EXPECT_EQ(0, counter.GetTimer().GetTotalSamples());
    EXPECT_EQ(0, counter.GetTimer().GetTotalTime().As100NSIntervals());
    counter.UpdateTimer(Totals(0, 1));
    EXPECT_EQ(1, counter.GetTimer().GetTotalSamples());
}

// The real clock: the recorded time lies between a span measured inside the
// sample and one measured around it; a wall-clock jump does not show.
TEST_F(CPerfCounterTest, DurationComesFromTheMonotonicClock) {
    using Clock = std::chrono::steady_clock;
    CPerfCounter counter(0);
    Clock::time_point outerStart = Clock::now();
    boost::shared_ptr<CAutoTimeCounter> sample = counter.GetAutoObject();
    Clock::time_point innerStart = Clock::now();
    SystemClock::TEST_Freeze(1700000000);
    SystemClock::TEST_AdvanceSeconds(86400);
    while (Clock::now() - innerStart < std::chrono::milliseconds(2)) {
    }
    Clock::time_point innerEnd = Clock::now();
    sample.reset();
    Clock::time_point outerEnd = Clock::now();

    auto units = [](Clock::duration d) {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100);
    };
    long long recorded = counter.GetTimer().GetTotalTime().As100NSIntervals();
    EXPECT_GE(recorded, units(innerEnd - innerStart) - 1);
    EXPECT_LE(recorded, units(outerEnd - outerStart) + 1);
}

// Each update adds one unit of time and one sample, so a consistent read
// always sees both equal, however updates and resets interleave.
TEST_F(CPerfCounterTest, ConcurrentUpdatesAndResetsNeverTear) {
    CPerfCounter counter(0);
    std::atomic<bool> done{false};
    std::atomic<long long> torn{0};
    std::vector<std::thread> feeders;
    for (int t = 0; t < 4; ++t)
        feeders.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) counter.UpdateTimer(Totals(1, 1));
        });
    std::thread resetter([&] {
        while (!done) counter.Reset();
    });
    std::thread reader([&] {
        while (!done) {
            CTimeCounter t = counter.GetTimer();
            if (t.GetTotalTime().As100NSIntervals() != t.GetTotalSamples()) ++torn;
        }
    });
    for (auto& f : feeders) f.join();
    done = true;
    resetter.join();
    reader.join();
    EXPECT_EQ(0, torn.load());
    CTimeCounter last = counter.GetTimer();
    EXPECT_EQ(last.GetTotalTime().As100NSIntervals(), last.GetTotalSamples());
}

TEST_F(CPerfCounterTest, ConcurrentSamplesAreAllCounted) {
    CPerfCounter counter(0);
    std::vector<std::thread> feeders;
    for (int t = 0; t < 4; ++t)
        feeders.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                boost::shared_ptr<CAutoTimeCounter> s = counter.GetAutoObject();
                if (i % 2 == 0) s->End();
            }
        });
    for (auto& f : feeders) f.join();
    EXPECT_EQ(4 * 3000, counter.GetTimer().GetTotalSamples());
}

}  // namespace
