#pragma once
// The public facade of the live browse cache.

#include "FXCriticalSection.h"

class CLiveBrowseCache {
public:
    // Sets up the library-wide log writer over a new debug-log engine; false
    // when the engine cannot be initialised, and the earlier writer then stays.
    static bool InitializeLogging();

    // Held by GetInstance while it builds the service.
    static FXCriticalSection singletonLock;
};
