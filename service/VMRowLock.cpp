#include "service/VMRowLock.h"

#include "metadb/CacheDB.h"
#include "platform/SystemClock.h"

#include <cstddef>
#include <functional>

namespace {

const size_t kStripes = 64;

struct RowStripe {
    RankedMutex lock{LockRank::VMRow, "VM row"};
};

RankedMutex& Stripe(const VM& vm) {
    // Never destroyed: requests may still run while statics go at unload.
    static RowStripe* stripes = new RowStripe[kStripes];
    size_t h = std::hash<long long>()(vm.AfileID);
    h = h * 31 + vm.CopyID;
    h = h * 31 + vm.TessarelID;
    return stripes[h % kStripes].lock;
}

// Held across one row's read, a look at its flat file and its write: some
// microseconds, tried for about as long before a waiter sleeps.
const int kTries = 1000;

}  // namespace

VMRowLock::VMRowLock(const VM& vm) : stripe(Stripe(vm)) { stripe.lock_spinning(kTries); }

VMRowLock::~VMRowLock() { stripe.unlock(); }

CZoError WriteReferencedVMRow(CacheDB& container, VM& vm) {
    vm.LastReferenceTime = static_cast<long long>(SystemClock::Time());
    CZoError err = container.UpdateVM(vm);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}
