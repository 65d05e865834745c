#pragma once
// Timing counters: running totals of time and samples, fed from any thread.
// Durations come from a monotonic clock, never from the wall clock, so that a
// clock step during a sample cannot make it negative or huge.

#include "CTimeStamp.h"

#include <boost/shared_ptr.hpp>
#include <atomic>

// A totals value: a time and a number of samples.
class CTimeCounter {
public:
    CTimeCounter() = default;
    CTimeCounter(CTimeInterval time, long long samples) : time(time), samples(samples) {}

    CTimeInterval GetTotalTime() const { return time; }
    long long GetTotalSamples() const { return samples; }

private:
    CTimeInterval time;
    long long samples = 0;
};

// The totals of one counter; shared by the counter and its running samples.
struct CPerfCounterState;

// One running sample, started at construction. Ending it (End() or the
// release of its last reference) adds the elapsed time and one sample to the
// counter. It keeps the counter's totals alive, so it may outlive the counter.
class CAutoTimeCounter {
public:
    ~CAutoTimeCounter();
    CAutoTimeCounter(const CAutoTimeCounter&) = delete;
    CAutoTimeCounter& operator=(const CAutoTimeCounter&) = delete;

    // Ends the sample now; later calls and the destructor add nothing more.
    void End();

private:
    friend class CPerfCounter;
    explicit CAutoTimeCounter(const boost::shared_ptr<CPerfCounterState>& state);

    // constant after construction
    const boost::shared_ptr<CPerfCounterState> state;
    const long long startUnits;
    // set by the first End(); atomic so that End() from any thread ends it once
    std::atomic<bool> ended{false};
};

class CPerfCounter;

// One timing sample on up to two counters, for the request roads: not
// heap-allocated, one clock reading at its start and one at its end, and the
// same elapsed time added to both counters. It does not keep the counters
// alive: its owner guarantees that they outlive it.
class CTimeSample {
public:
    CTimeSample() = default;
    ~CTimeSample() { End(); }
    CTimeSample(const CTimeSample&) = delete;
    CTimeSample& operator=(const CTimeSample&) = delete;

    // Starts the sample; a null counter is not fed, and with both null the
    // clock is not read. Called at most once.
    void Start(CPerfCounter* first, CPerfCounter* second);
    // Ends the sample now; later calls and the destructor add nothing more.
    // Owned by one thread, like the scope it times.
    void End();
    // Stops the clock and keeps the sample for a later End(), which adds the
    // time up to here; Drop() lets it go and adds nothing.
    void Stop();
    void Drop() {
        first = second = nullptr;
        stopped = false;
    }
    // Ends the sample and starts the next step's on other counters on the
    // same clock reading, so that adjacent steps share their boundary. A
    // stopped sample ends as End() would; one not running only starts.
    void Then(CPerfCounter* nextFirst, CPerfCounter* nextSecond);

private:
    CPerfCounter* first = nullptr;
    CPerfCounter* second = nullptr;
    long long startUnits = 0;
    // set by Stop()
    bool stopped = false;
    long long stoppedUnits = 0;
};

// A counter of time and samples. Every operation is atomic with respect to
// the others, so that a Reset concurrent with an update never tears the totals.
class CPerfCounter {
public:
    // The level is kept for the report; it does not gate sampling.
    explicit CPerfCounter(int level);
    ~CPerfCounter();
    CPerfCounter(const CPerfCounter&) = delete;
    CPerfCounter& operator=(const CPerfCounter&) = delete;

    static void SetCurrentPerfCounterLevel(int level);
    static int GetCurrentPerfCounterLevel();

    // Starts one timing sample.
    boost::shared_ptr<CAutoTimeCounter> GetAutoObject();
    // Adds the given totals; a null pointer adds nothing.
    void UpdateTimer(boost::shared_ptr<CTimeCounter> totals);
    // The same without a totals object: nothing is allocated.
    void AddTotals(long long timeUnits, long long samples);
    // A consistent copy of the running totals.
    CTimeCounter GetTimer() const;
    // Whether anything (time or samples) was added since creation or the last Reset.
    bool IsCounted() const;
    void Reset();
    int GetLevel() const { return level; }

    // Test seam of the monotonic clock behind every sample: frozen, it moves
    // only by TEST_AdvanceMonotonicClock.
    static void TEST_FreezeMonotonicClock();
    static void TEST_AdvanceMonotonicClock(CTimeInterval interval);
    static void TEST_ResetMonotonicClock();

private:
    // Feeds the totals without a call through the library's symbol table.
    friend class CTimeSample;

    // constant after construction
    const int level;
    const boost::shared_ptr<CPerfCounterState> state;
};
