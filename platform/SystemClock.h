#pragma once
// The one place the library reads the wall clock. Tests freeze it and move it
// forward instead of sleeping through long intervals.

#include <cstdint>
#include <ctime>

class SystemClock {
public:
    // Current time in 100-ns ticks since 1601-01-01 UTC.
    static int64_t NowTicks();
    // Current time in seconds since 1970, as time() would answer.
    static time_t Time();

    // Freezes the clock at the given Unix time; it then moves only by TEST_Advance.
    static void TEST_Freeze(int64_t unixSeconds);
    // Moves the clock forward (frozen or not) by the given seconds.
    static void TEST_AdvanceSeconds(int64_t seconds);
    // Back to the real clock with no offset.
    static void TEST_Reset();
};
