#pragma once
// Debug-simulation delay points: a tester arms a point through the
// configuration store ("VirtualServer\LiveBrowseCache\Debug", value named
// like the point, in seconds, 0 = off); the code that passes an armed point
// logs, sleeps that long, logs again and disarms it, so each arming delays once.
//
// Fire a point with LBC_SIMULATION_POINT(bInsertDelayBeforeAcquireLock); its
// log lines carry the signature and line of the function that holds it.
//
// Locks: the active table has its own lock, held only for a lookup or a
// change, never while a point sleeps or logs.

#include "CZoError.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

// The four points. Atomic: armed by the service's load and tested and cleared
// in one step by whichever thread passes the point, so that two threads
// passing together delay only once.
extern std::atomic<bool> bInsertDelayBeforeSyncToRemote;
extern std::atomic<bool> bInsertDelayAfterCopyToRemoteTemp;
extern std::atomic<bool> bInsertDelayBeforeAcquireLock;
extern std::atomic<bool> bInsertDelayAfterAcquireLock;

class DebugSimulation {
public:
    struct SimulationInfo {
        SimulationInfo(const std::string& name, uint32_t delaySeconds) : name(name), delaySeconds(delaySeconds) {}

        std::string name;  // also the configuration value's name
        uint32_t delaySeconds;
    };
    typedef std::map<std::atomic<bool>*, SimulationInfo> SimulationMap;

    DebugSimulation() = default;
    ~DebugSimulation() = default;

    // Enters every point of the table into the active table; a point already
    // active keeps its entry. Each call counts as one user of its points, so
    // that a service built while an older one is still being destroyed keeps
    // its points active through the older one's ClearSimulationPoints.
    static void SetSimulationPoints(const SimulationMap& points);
    // Arms (value != 0) or disarms every active point from the configuration;
    // the delay is the value's low 32 bits. Always success.
    static CZoError LoadDebugSimulationInfo();
    // Drops one user of every point of the table; a point leaves the active
    // table with its last user. Flags are not changed.
    static void ClearSimulationPoints(const SimulationMap& points);

    // Passing a point: when armed, disarms it and, when it is active, logs
    // and sleeps its delay in chunks of at most 5 s. Use LBC_SIMULATION_POINT.
    static void FirePoint(std::atomic<bool>& flag, const char* function, unsigned line);

    // Replaces the sleep of a firing point (milliseconds per chunk); an empty
    // function restores the real sleep. Tests never sleep through a delay.
    static void TEST_SetSleepFunction(std::function<void(uint32_t)> sleep);
    // A copy of the active table.
    static SimulationMap TEST_ActivePoints();
    // Empties the active table and its user counts, and disarms the four points.
    static void TEST_Reset();
};

// The four points with their names and the delay 60; never changed. Never
// destroyed either, so the service may still name it while the library unloads.
extern const DebugSimulation::SimulationMap& g_mapSimulationInfo;

#define LBC_SIMULATION_POINT(flag) DebugSimulation::FirePoint((flag), __PRETTY_FUNCTION__, __LINE__)
