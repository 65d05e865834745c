#include "platform/DurabilityTrace.h"

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>


namespace {
// Replaced whole and read through an atomic copy, so a report racing with
// the observer's removal calls either the old observer or none.
boost::shared_ptr<DurabilityTrace::Observer> g_observer;
}  // namespace

void DurabilityTrace::Record(Step step, const std::string& path) {
    boost::shared_ptr<Observer> observer = boost::atomic_load(&g_observer);
    if (observer && *observer) (*observer)(step, path);
}

bool DurabilityTrace::Observed() { return static_cast<bool>(boost::atomic_load(&g_observer)); }

void DurabilityTrace::TEST_SetObserver(Observer observer) {
    boost::shared_ptr<Observer> next;
    if (observer) next = boost::make_shared<Observer>(std::move(observer));
    boost::atomic_store(&g_observer, next);
}
