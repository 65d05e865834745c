#include "foundation/DebugSimulation.h"

#include "foundation/LogWriter.h"
#include "platform/FXThread.h"
#include "platform/LockOrder.h"
#include "platform/XKPlatformInfo.h"

#include <mutex>

std::atomic<bool> bInsertDelayBeforeSyncToRemote{false};
std::atomic<bool> bInsertDelayAfterCopyToRemoteTemp{false};
std::atomic<bool> bInsertDelayBeforeAcquireLock{false};
std::atomic<bool> bInsertDelayAfterAcquireLock{false};

namespace {

const uint32_t kDefaultDelaySeconds = 60;
const int32_t kMaxChunkSeconds = 5;

DebugSimulation::SimulationMap* MakeSimulationInfo() {
    DebugSimulation::SimulationMap* points = new DebugSimulation::SimulationMap;
    points->emplace(&bInsertDelayBeforeSyncToRemote,
                    DebugSimulation::SimulationInfo("bInsertDelayBeforeSyncToRemote", kDefaultDelaySeconds));
    points->emplace(&bInsertDelayAfterCopyToRemoteTemp,
                    DebugSimulation::SimulationInfo("bInsertDelayAfterCopyToRemoteTemp", kDefaultDelaySeconds));
    points->emplace(&bInsertDelayBeforeAcquireLock,
                    DebugSimulation::SimulationInfo("bInsertDelayBeforeAcquireLock", kDefaultDelaySeconds));
    points->emplace(&bInsertDelayAfterAcquireLock,
                    DebugSimulation::SimulationInfo("bInsertDelayAfterAcquireLock", kDefaultDelaySeconds));
    return points;
}

// The active table and what goes with it. Never destroyed: the service's
// destructor may clear its points during static destruction, in any order
// relative to this file's objects.
struct ActiveTable {
    RankedMutex lock{LockRank::DelayPoints, "delay points"};
    // guarded by lock
    DebugSimulation::SimulationMap points;
    std::map<std::atomic<bool>*, unsigned> users;
    std::function<void(uint32_t)> sleep;
};

ActiveTable& Active() {
    static ActiveTable* table = new ActiveTable;
    return *table;
}

// The name without its leading "b": "bInsertDelayBeforeAcquireLock" logs as
// "InsertDelayBeforeAcquireLock".
std::string LoggedName(const std::string& name) {
    return !name.empty() && name[0] == 'b' ? name.substr(1) : name;
}

}  // namespace

const DebugSimulation::SimulationMap& g_mapSimulationInfo = *MakeSimulationInfo();

void DebugSimulation::SetSimulationPoints(const SimulationMap& points) {
    ActiveTable& table = Active();
    std::lock_guard<RankedMutex> guard(table.lock);
    for (const auto& entry : points) {
        table.points.emplace(entry.first, entry.second);
        ++table.users[entry.first];
    }
}

CZoError DebugSimulation::LoadDebugSimulationInfo() {
    const std::string key = std::string("VirtualServer") + "\\" + "LiveBrowseCache" + "\\Debug";
    XKPlatformInfo info;
    ActiveTable& table = Active();
    std::lock_guard<RankedMutex> guard(table.lock);
    for (auto& entry : table.points) {
        unsigned long long value = 0;
        if (info.getValue(key, entry.second.name, value) == 0) value = 0;
        entry.second.delaySeconds = static_cast<uint32_t>(value & 0xFFFFFFFFULL);
        entry.first->store(value != 0);
    }
    return CZoError();
}

void DebugSimulation::ClearSimulationPoints(const SimulationMap& points) {
    ActiveTable& table = Active();
    std::lock_guard<RankedMutex> guard(table.lock);
    for (const auto& entry : points) {
        auto user = table.users.find(entry.first);
        if (user != table.users.end() && --user->second > 0) continue;
        if (user != table.users.end()) table.users.erase(user);
        table.points.erase(entry.first);
    }
}

void DebugSimulation::FirePoint(std::atomic<bool>& flag, const char* function, unsigned line) {
    // Test and clear in one step: of two threads passing together only one delays.
    if (!flag.exchange(false)) return;

    std::string name;
    uint32_t delaySeconds = 0;
    std::function<void(uint32_t)> sleep;
    {
        ActiveTable& table = Active();
        std::lock_guard<RankedMutex> guard(table.lock);
        auto entry = table.points.find(&flag);
        if (entry == table.points.end()) return;
        name = LoggedName(entry->second.name);
        delaySeconds = entry->second.delaySeconds;
        sleep = table.sleep;
    }

    // Counted as signed: a delay above 2147483647 s gives no sleep.
    int32_t remaining = static_cast<int32_t>(delaySeconds);
    // The lines carry the signature and line of the function holding the point.
    boost::shared_ptr<CLogWriterInterface> writer = LoadLogWriterLBC();
    if (writer && writer->GetDebugLevel() >= 0)
        writer->LogMessage(0, function, line, 0, nullptr, "Sleeping for delay simulation %s for %d seconds",
                           name.c_str(), remaining);
    while (remaining > 0) {
        int32_t chunk = remaining < kMaxChunkSeconds ? remaining : kMaxChunkSeconds;
        uint32_t milliseconds = static_cast<uint32_t>(chunk) * 1000;
        if (sleep) {
            sleep(milliseconds);
        } else {
            FXThread::Sleep(milliseconds);
        }
        remaining -= chunk;
    }
    writer = LoadLogWriterLBC();
    if (writer && writer->GetDebugLevel() >= 0)
        writer->LogMessage(0, function, line, 0, nullptr, "Done with %s", name.c_str());
}

void DebugSimulation::TEST_SetSleepFunction(std::function<void(uint32_t)> sleep) {
    ActiveTable& table = Active();
    std::lock_guard<RankedMutex> guard(table.lock);
    table.sleep = std::move(sleep);
}

DebugSimulation::SimulationMap DebugSimulation::TEST_ActivePoints() {
    ActiveTable& table = Active();
    std::lock_guard<RankedMutex> guard(table.lock);
    return table.points;
}

void DebugSimulation::TEST_Reset() {
    ActiveTable& table = Active();
    std::lock_guard<RankedMutex> guard(table.lock);
    table.points.clear();
    table.users.clear();
    for (const auto& entry : g_mapSimulationInfo) entry.first->store(false);
}
