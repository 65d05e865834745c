#include "platform/LockOrder.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Held {
    const void* lock;
    uint16_t rank;
    const char* name;
};

// Trivially destructible, so it is usable while the runtime tears threads
// and the library down. Deeper nesting than this is itself a fault.
struct HeldLocks {
    Held entries[32];
    int depth;
};

thread_local HeldLocks t_held;

[[noreturn]] void Fail(const char* what, const char* taking, uint16_t takingRank, const Held* holding) {
    if (holding != nullptr)
        std::fprintf(stderr, "lock order violated: %s \"%s\" (rank %u) while holding \"%s\" (rank %u)\n", what,
                     taking, takingRank, holding->name, holding->rank);
    else
        std::fprintf(stderr, "lock order: %s \"%s\" (rank %u)\n", what, taking, takingRank);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

namespace LockOrder {

bool Checked() {
#ifdef LBC_LOCK_ORDER_CHECK
    return true;
#else
    return false;
#endif
}

void Acquiring(const void* lock, uint16_t rank, const char* name) {
    const Held* highest = nullptr;
    for (int i = 0; i < t_held.depth; ++i) {
        const Held& h = t_held.entries[i];
        if (h.lock == lock) return;  // re-entry of a recursive lock
        if (highest == nullptr || h.rank > highest->rank) highest = &h;
    }
    if (highest != nullptr && highest->rank >= rank) Fail("taking", name, rank, highest);
}

void Acquired(const void* lock, uint16_t rank, const char* name) {
    if (t_held.depth == static_cast<int>(sizeof t_held.entries / sizeof t_held.entries[0]))
        Fail("too many locks held, taking", name, rank, nullptr);
    t_held.entries[t_held.depth++] = Held{lock, rank, name};
}

void Released(const void* lock) {
    for (int i = t_held.depth - 1; i >= 0; --i) {
        if (t_held.entries[i].lock != lock) continue;
        for (int j = i; j + 1 < t_held.depth; ++j) t_held.entries[j] = t_held.entries[j + 1];
        --t_held.depth;
        return;
    }
}

}  // namespace LockOrder
