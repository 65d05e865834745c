#include "platform/SystemClock.h"

#include "CTimeStamp.h"

#include <atomic>
#include <cstdio>

namespace {
// Frozen ticks (0 = running) and an offset added to the real clock.
std::atomic<int64_t> g_frozenTicks{0};
std::atomic<int64_t> g_offsetTicks{0};

int64_t RealTicks() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * CTimeInterval::kUnitsPerSecond + ts.tv_nsec / 100 +
           CTimeStamp::kUnixEpochTicks;
}
}  // namespace

int64_t SystemClock::NowTicks() {
    int64_t frozen = g_frozenTicks.load(std::memory_order_acquire);
    if (frozen != 0) return frozen;
    return RealTicks() + g_offsetTicks.load(std::memory_order_relaxed);
}

time_t SystemClock::Time() {
    return static_cast<time_t>((NowTicks() - CTimeStamp::kUnixEpochTicks) / CTimeInterval::kUnitsPerSecond);
}

void SystemClock::TEST_Freeze(int64_t unixSeconds) {
    g_frozenTicks.store(unixSeconds * CTimeInterval::kUnitsPerSecond + CTimeStamp::kUnixEpochTicks);
}

void SystemClock::TEST_AdvanceSeconds(int64_t seconds) {
    int64_t delta = seconds * CTimeInterval::kUnitsPerSecond;
    int64_t frozen = g_frozenTicks.load();
    while (frozen != 0 && !g_frozenTicks.compare_exchange_weak(frozen, frozen + delta)) {
    }
    if (frozen == 0) g_offsetTicks.fetch_add(delta);
}

void SystemClock::TEST_Reset() {
    g_frozenTicks.store(0);
    g_offsetTicks.store(0);
}

CTimeStamp CTimeStamp::Now() { return CTimeStamp(SystemClock::NowTicks()); }

std::string CTimeInterval::AsString() const {
    // "h:mm:ss.mmm", with a sign for negative durations.
    int64_t u = units < 0 ? -units : units;
    int64_t ms = u / 10000;
    char buf[64];
    snprintf(buf, sizeof buf, "%s%lld:%02lld:%02lld.%03lld", units < 0 ? "-" : "",
             static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
             static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return buf;
}
