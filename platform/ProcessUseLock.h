#pragma once
// Marks a path as in use by this process for the rest of its life, through a
// shared record lock on a file of its own; tells whether any other process of
// this host uses it too. Lets processes that share a folder agree on who may
// clear it.

#include "CZoError.h"

#include <functional>
#include <string>

class CProcessUseLock {
public:
    // Takes the lock file `lockPath` exclusively when no other process holds
    // it, runs `whileSole` while holding it so, and leaves a shared hold in
    // every case. `sole` tells whether `whileSole` ran.
    static CZoError Acquire(const std::string& lockPath, const std::function<void()>& whileSole, bool& sole);
};
