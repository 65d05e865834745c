#include "service/VMRowLock.h"

#include <cstddef>
#include <functional>

namespace {

const size_t kStripes = 64;

std::mutex& Stripe(const VM& vm) {
    // Never destroyed: requests may still run while statics go at unload.
    static std::mutex* stripes = new std::mutex[kStripes];
    size_t h = std::hash<long long>()(vm.AfileID);
    h = h * 31 + vm.CopyID;
    h = h * 31 + vm.TessarelID;
    return stripes[h % kStripes];
}

}  // namespace

VMRowLock::VMRowLock(const VM& vm) : stripe(Stripe(vm)) { stripe.lock(); }

VMRowLock::~VMRowLock() { stripe.unlock(); }
