#include "platform/ProcessFork.h"

#include <pthread.h>

#include <atomic>

namespace {

std::atomic<uint64_t> g_generation{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "read in a child whatever the parent's threads held");

void AtForkInChild() { g_generation.fetch_add(1, std::memory_order_relaxed); }

// At load, before a host can fork.
const int g_registered = ::pthread_atfork(nullptr, nullptr, &AtForkInChild);

// A list that only grows, pushed without a lock.
struct AbandonedObject {
    boost::shared_ptr<const void> object;
    AbandonedObject* next;
};
std::atomic<AbandonedObject*> g_abandoned{nullptr};

}  // namespace

uint64_t ProcessFork::Generation() {
    (void)g_registered;
    return g_generation.load(std::memory_order_relaxed);
}

void ProcessFork::Abandon(const boost::shared_ptr<const void>& object) {
    AbandonedObject* node = new AbandonedObject{object, g_abandoned.load(std::memory_order_relaxed)};
    while (!g_abandoned.compare_exchange_weak(node->next, node, std::memory_order_release, std::memory_order_relaxed)) {
    }
}
