#pragma once
// Thread helpers of the utility library.

#include <cstdint>

class FXThread {
public:
    // Blocks the calling thread for at least the given milliseconds; signals
    // that interrupt the sleep do not shorten it.
    static void Sleep(uint32_t milliseconds);
};
