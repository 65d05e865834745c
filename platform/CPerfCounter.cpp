#include "platform/CPerfCounter.h"

#include "platform/LockOrder.h"

#include <boost/make_shared.hpp>
#include <cstdint>
#include <mutex>
#include <time.h>

// The totals of one counter. An update, a read and a reset each see or
// change time and samples together, so a report never shows a sample's time
// without the sample. Where the build has a 16-byte compare-and-swap
// (x86-64, CMakeLists.txt) both lie in one word and no sample takes a lock:
// the request roads feed the process totals from every thread at once.
#if defined(__GCC_HAVE_SYNC_COMPARE_AND_SWAP_16)
struct CPerfCounterState {
    void Add(long long units, long long count) {
        unsigned __int128 seen = Guess();
        for (;;) {
            const unsigned __int128 want =
                Pack(Units(seen) + static_cast<uint64_t>(units), Samples(seen) + static_cast<uint64_t>(count));
            const unsigned __int128 was = __sync_val_compare_and_swap(&totals.word, seen, want);
            if (was == seen) return;
            seen = was;
        }
    }
    // Swapping 0 for 0 reads the word whole and changes nothing.
    void Read(long long& units, long long& samples) {
        const unsigned __int128 now = __sync_val_compare_and_swap(&totals.word, 0, 0);
        units = static_cast<long long>(Units(now));
        samples = static_cast<long long>(Samples(now));
    }
    void Reset() {
        unsigned __int128 seen = Guess();
        for (;;) {
            const unsigned __int128 was = __sync_val_compare_and_swap(&totals.word, seen, 0);
            if (was == seen) return;
            seen = was;
        }
    }

private:
    static uint64_t Units(unsigned __int128 word) { return static_cast<uint64_t>(word); }
    static uint64_t Samples(unsigned __int128 word) { return static_cast<uint64_t>(word >> 64); }
    static unsigned __int128 Pack(uint64_t units, uint64_t samples) {
        return (static_cast<unsigned __int128>(samples) << 64) | units;
    }
    // The swap's first expectation; it may be torn, the swap then fails once
    // and hands back the whole word.
    unsigned __int128 Guess() const {
        return Pack(__atomic_load_n(&totals.half[0], __ATOMIC_RELAXED),
                    __atomic_load_n(&totals.half[1], __ATOMIC_RELAXED));
    }

    union alignas(16) Word {
        unsigned __int128 word;
        // units, then samples where the machine is little-endian; read in
        // another order the guess only fails
        uint64_t half[2];
    };
    Word totals{0};
};
#else
struct CPerfCounterState {
    void Add(long long units, long long count) {
        std::lock_guard<RankedMutex> guard(mutex);
        timeUnits += units;
        samples += count;
    }
    void Read(long long& units, long long& count) {
        std::lock_guard<RankedMutex> guard(mutex);
        units = timeUnits;
        count = samples;
    }
    void Reset() {
        std::lock_guard<RankedMutex> guard(mutex);
        timeUnits = 0;
        samples = 0;
    }

private:
    // guarded by mutex
    RankedMutex mutex{LockRank::Counter, "counter"};
    long long timeUnits = 0;
    long long samples = 0;
};
#endif

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
    const long long elapsed = stopped ? stoppedUnits : UnitsSince(startUnits);
    if (first) first->state->Add(elapsed, 1);
    if (second) second->state->Add(elapsed, 1);
    Drop();
}

void CTimeSample::Then(CPerfCounter* nextFirst, CPerfCounter* nextSecond) {
    if ((!first && !second) || stopped) {
        End();
        Start(nextFirst, nextSecond);
        return;
    }
    const long long now = MonotonicUnits();
    const long long elapsed = now - startUnits;
    // A sample that spans a change of the test seam could come out negative.
    if (first) first->state->Add(elapsed < 0 ? 0 : elapsed, 1);
    if (second) second->state->Add(elapsed < 0 ? 0 : elapsed, 1);
    first = nextFirst;
    second = nextSecond;
    startUnits = now;
}

void CTimeSample::Stop() {
    if ((!first && !second) || stopped) return;
    stoppedUnits = UnitsSince(startUnits);
    stopped = true;
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
    long long units = 0, samples = 0;
    state->Read(units, samples);
    return CTimeCounter(CTimeInterval(units), samples);
}

bool CPerfCounter::IsCounted() const {
    long long units = 0, samples = 0;
    state->Read(units, samples);
    return units != 0 || samples != 0;
}

void CPerfCounter::Reset() { state->Reset(); }

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
