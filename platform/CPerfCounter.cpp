#include "platform/CPerfCounter.h"

#include "platform/LockOrder.h"

#include <boost/make_shared.hpp>
#include <mutex>
#include <time.h>

struct CPerfCounterState {
    // guarded by mutex
    RankedMutex mutex{LockRank::Counter, "counter"};
    long long timeUnits = 0;
    long long samples = 0;

    void Add(long long units, long long count) {
        std::lock_guard<RankedMutex> guard(mutex);
        timeUnits += units;
        samples += count;
    }
};

namespace {
std::atomic<int> s_currentPerfCounterLevel{0};

// The frozen reading of the test seam; meaningful only while s_monotonicFrozen.
std::atomic<bool> s_monotonicFrozen{false};
std::atomic<long long> s_frozenMonotonicUnits{0};

long long RealMonotonicUnits() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * CTimeInterval::kUnitsPerSecond + ts.tv_nsec / 100;
}

long long MonotonicUnits() {
    if (s_monotonicFrozen.load(std::memory_order_acquire))
        return s_frozenMonotonicUnits.load(std::memory_order_acquire);
    return RealMonotonicUnits();
}

long long UnitsSince(long long startUnits) {
    long long elapsed = MonotonicUnits() - startUnits;
    // A sample that spans a change of the test seam could come out negative.
    return elapsed < 0 ? 0 : elapsed;
}
}  // namespace

void CTimeSample::Start(CPerfCounter* first, CPerfCounter* second) {
    this->first = first;
    this->second = second;
    if (first || second) startUnits = MonotonicUnits();
}

void CTimeSample::End() {
    if (!first && !second) return;
    long long elapsed = stopped ? stoppedUnits : UnitsSince(startUnits);
    if (first) first->AddTotals(elapsed, 1);
    if (second) second->AddTotals(elapsed, 1);
    Drop();
}

void CTimeSample::Stop() {
    if ((!first && !second) || stopped) return;
    stoppedUnits = UnitsSince(startUnits);
    stopped = true;
}

void CTimeSample::Drop() {
    first = second = nullptr;
    stopped = false;
}

CAutoTimeCounter::CAutoTimeCounter(const boost::shared_ptr<CPerfCounterState>& state)
    : state(state), startUnits(MonotonicUnits()) {}

CAutoTimeCounter::~CAutoTimeCounter() { End(); }

void CAutoTimeCounter::End() {
    if (ended.exchange(true)) return;
    state->Add(UnitsSince(startUnits), 1);
}

CPerfCounter::CPerfCounter(int level) : level(level), state(boost::make_shared<CPerfCounterState>()) {}

CPerfCounter::~CPerfCounter() = default;

void CPerfCounter::SetCurrentPerfCounterLevel(int level) { s_currentPerfCounterLevel.store(level); }

int CPerfCounter::GetCurrentPerfCounterLevel() { return s_currentPerfCounterLevel.load(); }

boost::shared_ptr<CAutoTimeCounter> CPerfCounter::GetAutoObject() {
    // Not make_shared: the constructor is private to this class.
    return boost::shared_ptr<CAutoTimeCounter>(new CAutoTimeCounter(state));
}

void CPerfCounter::UpdateTimer(boost::shared_ptr<CTimeCounter> totals) {
    if (!totals) return;
    state->Add(totals->GetTotalTime().As100NSIntervals(), totals->GetTotalSamples());
}

void CPerfCounter::AddTotals(long long timeUnits, long long samples) { state->Add(timeUnits, samples); }

CTimeCounter CPerfCounter::GetTimer() const {
    std::lock_guard<RankedMutex> guard(state->mutex);
    return CTimeCounter(CTimeInterval(state->timeUnits), state->samples);
}

bool CPerfCounter::IsCounted() const {
    std::lock_guard<RankedMutex> guard(state->mutex);
    return state->timeUnits != 0 || state->samples != 0;
}

void CPerfCounter::Reset() {
    std::lock_guard<RankedMutex> guard(state->mutex);
    state->timeUnits = 0;
    state->samples = 0;
}

void CPerfCounter::TEST_FreezeMonotonicClock() {
    if (s_monotonicFrozen.load()) return;
    s_frozenMonotonicUnits.store(RealMonotonicUnits());
    s_monotonicFrozen.store(true);
}

void CPerfCounter::TEST_AdvanceMonotonicClock(CTimeInterval interval) {
    TEST_FreezeMonotonicClock();
    s_frozenMonotonicUnits.fetch_add(interval.As100NSIntervals());
}

void CPerfCounter::TEST_ResetMonotonicClock() { s_monotonicFrozen.store(false); }
