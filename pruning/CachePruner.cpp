#include "pruning/CachePruner.h"

#include "foundation/LogWriter.h"
#include "metadb/CacheDB.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CacheDBPruner.h"
#include "pruning/CacheDataPruner.h"

#include <limits>

namespace {
const char kConfigKey[] = "VirtualServer";
const int kWakeUpSeconds = 30;
}  // namespace

// ---- PruningTask

void CachePruner::PruningTask::MarkDone() {
    std::lock_guard<RankedMutex> guard(lock);
    done = true;
    doneEvent.notify_all();
}

void CachePruner::PruningTask::WaitForDone() {
    std::unique_lock<RankedMutex> guard(lock);
    doneEvent.wait(guard, [this] { return done; });
}

// ---- construction and control

CachePruner::CachePruner(CachePtr cache, CacheDBPtr cacheDB)
    : dataPruner(boost::shared_ptr<CacheDataPruner>(new CacheDataPruner())),
      dbPruner(boost::shared_ptr<CacheDBPruner>(new CacheDBPruner(cacheDB))),
      cache(cache),
      cacheDB(cacheDB),
      fileIO(cache ? cache->GetFSIO() : CCacheFileIOPtr()) {
    lastPruneTime = SystemClock::Time();
    lastReleaseTime = SystemClock::Time();
    dataPruner->SetFSIO(fileIO);
    UpdatePruningSpaceThresholds();
    configurations.insert(Configuration{TRIGGER_ALWAYS, DAYS_BASED_PRUNING});

    unsigned long interval = static_cast<unsigned long>(pruneIntervalSecs);
    if (XKPlatformInfo().getValue(kConfigKey, "nLBCPruningInterval", interval) != 0) {
        // A value beyond the range would wrap to a negative interval (a pass
        // on every tick) or postpone pruning for good.
        if (interval > static_cast<unsigned long>(kMaxPruneIntervalSecs)) {
            LBC_LOG(1, "Pruning interval [%lu] seconds is out of range, using [%d] seconds", interval,
                    kMaxPruneIntervalSecs);
            interval = static_cast<unsigned long>(kMaxPruneIntervalSecs);
        }
        pruneIntervalSecs = static_cast<int32_t>(interval);
    }
    SetTimeout(CTimeInterval::FromSeconds(kWakeUpSeconds));
}

CachePruner::~CachePruner() {
    // Here, not in the base: OnStop must run while this object is whole.
    Stop(true);
}

bool CachePruner::Start() { return CAlertableEventThread::Start(); }

void CachePruner::Configure() { RefreshConfiguration(); }

void CachePruner::Configure(TriggerCriteria trigger, Policy policy) { AddConfiguration(trigger, policy); }

// ---- configuration

void CachePruner::RefreshConfiguration() {
    const uint32_t kDefaultDays = 7;
    unsigned long long days = 0;
    XKPlatformInfo().getValue(kConfigKey, "nLiveBrowseCacheMaxDaysRetention", days);
    if (days > std::numeric_limits<uint32_t>::max()) {
        // Cut to 32 bits it would become a short retention (2^32 days: 0,
        // pruning every job older than a day); read as not set instead.
        LBC_LOG(1, "Retention [%llu] days is out of range, using [%u] days", days, kDefaultDays);
        days = 0;
    }
    if (days == 0) days = kDefaultDays;
    ConfigureMaxNoOfDays(static_cast<uint32_t>(days));
}

void CachePruner::AddConfiguration(TriggerCriteria trigger, Policy policy) {
    Configuration configuration{trigger, policy};
    {
        std::lock_guard<RankedMutex> guard(configLock);
        configurations.insert(configuration);
    }
    LBC_LOG(0, "Added pruning configuration [%s]", description(configuration).c_str());
}

void CachePruner::ConfigureMaxNoOfDays(uint32_t days) {
    if (days != maxNoOfDays.load()) LBC_LOG(0, "Setting max no. of days retention to %u", days);
    maxNoOfDays.store(days);
}

void CachePruner::ConfigureSpaceThresholds(uint32_t fullPercent, uint32_t notFullPercent) {
    if (fullPercent >= notFullPercent) return;
    fullThresholdPercent.store(fullPercent);
    notFullThresholdPercent.store(notFullPercent);
}

void CachePruner::UpdatePruningSpaceThresholds() {
    if (!cache) return;
    unsigned int full = 0;
    unsigned int notFull = 0;
    cache->GetSpaceThresholds(full, notFull);
    fullThresholdPercent.store(full);
    notFullThresholdPercent.store(notFull);
}

CachePruner::ConfigurationSet CachePruner::GetConfigurations() const {
    std::lock_guard<RankedMutex> guard(configLock);
    return configurations;
}

// ---- names and descriptions

std::string CachePruner::GetPolicyName(Policy policy) {
    switch (policy) {
        case DAYS_BASED_PRUNING:
            return "DAYS_BASED_PRUNING";
        case FILE_INDEXED_JOB_STATUS_BASED_PRUNING:
            return "FILE_INDEXED_JOB_STATUS_BASED_PRUNING";
        case LEAST_REFERENCED_AFILEID_BASED_PRUNING:
            return "LEAST_REFERENCED_AFILEID_BASED_PRUNING";
    }
    return std::string();
}

std::string CachePruner::GetTriggerCriteriaName(TriggerCriteria trigger) {
    switch (trigger) {
        case TRIGGER_ALWAYS:
            return "TRIGGER_ALWAYS";
        case TRIGGER_ON_SPACE_THRESHOLD_REACHED:
            return "TRIGGER_ON_SPACE_THRESHOLD_REACHED";
    }
    return std::string();
}

std::string CachePruner::description(const Configuration& configuration) {
    return "Policy [" + GetPolicyName(configuration.policy) + "], Trigger Criteria [" +
           GetTriggerCriteriaName(configuration.trigger) + "]";
}

std::string CachePruner::description() const {
    std::string text;
    for (const Configuration& configuration : GetConfigurations()) text += description(configuration);
    return text;
}

// ---- the thread

void CachePruner::OnStart() {
    LBC_LOG(0,
            "Live Browse Cache pruner thread STARTED [%s]. This thread will wake up every %d seconds and perform "
            "pruning according to configured pruning criteria and policy",
            cache ? cache->GetCacheDataFolderPath().c_str() : "", static_cast<int>(GetTimeout().AsSeconds()));
}

void CachePruner::OnStop() {
    LBC_LOG(0, "Live Browse Cache pruner thread STOPPED");
    // Terminating still lets accepted deletions and their callbacks finish.
    dataPruner->Stop(false);
    dbPruner->Stop(false);
}

// ---- duties

void CachePruner::ReleaseIdleResources() {
    if (!cacheDB) return;
    CZoError err = cacheDB->ReleaseIdleResources();
    if (err.IsError()) LBC_LOG(-1, "%s", err.AsString().c_str());
}

