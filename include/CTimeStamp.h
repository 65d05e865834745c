#pragma once
// A point in time and a duration, both in 100-ns units. Stamps count from
// 1601-01-01 00:00 UTC; 0 is the clear stamp, INT64_MAX the filled stamp.

#include <cstdint>
#include <string>

class CTimeInterval {
public:
    static constexpr int64_t kUnitsPerSecond = 10000000;

    CTimeInterval() = default;
    explicit CTimeInterval(int64_t units) : units(units) {}

    static CTimeInterval FromSeconds(int64_t seconds) { return CTimeInterval(seconds * kUnitsPerSecond); }
    double AsSeconds() const { return static_cast<double>(units) / 10000000.0; }
    // Truncated toward zero; a quotient beyond 64 bits (a division by 0 among
    // them) saturates and 0 / 0 gives 0, so that no conversion is undefined.
    CTimeInterval operator/(double d) const {
        const double q = static_cast<double>(units) / d;
        if (q != q) return CTimeInterval(0);
        if (q >= 9223372036854775808.0) return CTimeInterval(INT64_MAX);
        if (q <= -9223372036854775808.0) return CTimeInterval(INT64_MIN);
        return CTimeInterval(static_cast<int64_t>(q));
    }
    int64_t As100NSIntervals() const { return units; }
    std::string AsString() const;

    CTimeInterval operator+(const CTimeInterval& o) const { return CTimeInterval(units + o.units); }
    CTimeInterval operator-(const CTimeInterval& o) const { return CTimeInterval(units - o.units); }
    bool operator<(const CTimeInterval& o) const { return units < o.units; }
    bool operator==(const CTimeInterval& o) const { return units == o.units; }

private:
    int64_t units = 0;
};

class CTimeStamp {
public:
    static constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
    static constexpr int64_t kFilledTicks = INT64_MAX;

    CTimeStamp() = default;
    explicit CTimeStamp(int64_t ticks) : ticks(ticks) {}

    static CTimeStamp FromUnixTime(int64_t seconds) {
        return seconds == 0 ? CTimeStamp() : CTimeStamp(seconds * CTimeInterval::kUnitsPerSecond + kUnixEpochTicks);
    }
    int64_t AsUnixTime() const {
        if (IsClear()) return 0;
        if (IsFilled()) return kFilledTicks;
        return (ticks - kUnixEpochTicks) / CTimeInterval::kUnitsPerSecond;
    }
    int64_t AsSystemTime() const { return ticks; }
    bool IsClear() const { return ticks == 0; }
    bool IsFilled() const { return ticks == kFilledTicks; }

    // The current wall-clock time, read through the platform clock.
    static CTimeStamp Now();

    CTimeInterval operator-(const CTimeStamp& o) const { return CTimeInterval(ticks - o.ticks); }
    bool operator<(const CTimeStamp& o) const { return ticks < o.ticks; }
    bool operator==(const CTimeStamp& o) const { return ticks == o.ticks; }

private:
    int64_t ticks = 0;
};
