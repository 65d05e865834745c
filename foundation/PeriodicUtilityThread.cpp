#include "foundation/PeriodicUtilityThread.h"

#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/XKPlatformInfo.h"

std::atomic<bool> g_bIsEnableLBCReadDuringValidation{true};

namespace {
const char kConfigKey[] = "VirtualServer";
}  // namespace

PeriodicUtilityThread::PeriodicUtilityThread() { SetTimeout(CTimeInterval::FromSeconds(60)); }

PeriodicUtilityThread::~PeriodicUtilityThread() {
    // Here, not in the base: the base's destructor runs after OnStop is gone.
    Stop(true);
}

void PeriodicUtilityThread::Start(std::function<void()> newCallback) {
    {
        std::lock_guard<RankedMutex> guard(callbackLock);
        callback = std::move(newCallback);
    }
    CAlertableEventThread::Start();
}

void PeriodicUtilityThread::OnStart() {
    LBC_LOG(0,
            "Live Browse Cache periodic thread STARTED. This thread will wake up every %d seconds and perform utility "
            "tasks like printing out performance stats, etc.",
            static_cast<int>(GetTimeout().AsSeconds()));
}

void PeriodicUtilityThread::OnTimeout() {
    const bool wasEnabled = g_bIsEnableLBCReadDuringValidation.load();
    XKPlatformInfo info;

    // Absent or unreadable: reads stay allowed.
    bool enabled = true;
    if (info.getBoolean(kConfigKey, "bEnableLBCReadForValidation", &enabled) == 0) enabled = true;
    g_bIsEnableLBCReadDuringValidation.store(enabled);
    if (enabled != wasEnabled)
        LBC_LOG(0, "Live browse cache reads %s by validation tool", enabled ? "enabled" : "disabled");

    // Its presence is the request, whatever it holds.
    bool clearStats = false;
    if (info.getBoolean(kConfigKey, "bClearLBCStats", &clearStats) != 0) {
        info.deleteField(kConfigKey, "bClearLBCStats");
        boost::shared_ptr<LBCPerfCounters> counters = LoadLBCPerfCounters();
        if (counters) counters->Reset();
    }

    std::function<void()> work;
    {
        std::lock_guard<RankedMutex> guard(callbackLock);
        work = callback;
    }
    if (work) work();
}

void PeriodicUtilityThread::OnStop() { LBC_LOG(0, "Live Browse Cache periodic thread STOPPED"); }
