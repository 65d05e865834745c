#pragma once
// A process forked without exec from one whose service was alive at the fork
// is not served: the service, its containers, connections, lock files and
// threads, and every handle of it, are the parent's (platform/ProcessFork.h).
// In such a child every request and every handle operation fails with
// LBCError::kForkedProcess before it touches anything, GetInstance answers
// null and DestroyInstance does nothing, without taking a lock (one the
// parent's threads held at the fork stays held here). What the child lets go
// of (a handle, the published service at its exit) is abandoned, never
// destroyed: nothing is committed, written back, removed, unlocked or joined.
// Nothing is logged either: the log writer's lock may be one of those held.
//
// A child forked while no service was alive makes a service of its own.

#include "CZoError.h"
#include "platform/FXErrorUtil.h"
#include "platform/ProcessFork.h"

#include <boost/shared_ptr.hpp>

// Set in the child at the fork when a service implementation was alive.
bool ServiceInheritedByFork();

CZoError ForkedProcessError(const FXCodeLocation& at);

// In an inherited child, the handle's implementation is kept for good instead
// of being destroyed with the handle.
template <typename T>
void AbandonIfInherited(const boost::shared_ptr<T>& impl) {
    if (impl && ServiceInheritedByFork()) ProcessFork::Abandon(impl);
}
