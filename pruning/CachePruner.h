#pragma once
// The pruner of one cache location: its pruning configurations (a policy
// with the trigger that decides when it runs), retention days and space
// thresholds, its two pools, and the background thread that works for it.
//
// The service makes one per cache location on first use, configures and
// starts it under the service lock, and stops it with Stop(true) at shutdown,
// never while holding that lock: a pass waits for the write/prune lock,
// which a host's write admission holds while it waits for the service lock.
//
// Threads: the constructor and the configuration run on host threads; the
// callbacks and duties on the pruner thread. The configuration set is
// guarded by configLock: a host may add a configuration while a
// pass runs, and a pass works on a copy.

#include "CZoError.h"
#include "VM.h"
#include "platform/CAlertableEventThread.h"
#include "platform/LockOrder.h"
#include "store/Cache.h"
#include "store/CacheFileIO.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CacheDB;
class CacheDataPruner;
class CacheDBPruner;
typedef boost::shared_ptr<CacheDB> CacheDBPtr;

class CachePruner;
typedef boost::shared_ptr<CachePruner> CachePrunerPtr;

class CachePruner : public CAlertableEventThread {
public:
    enum Policy : int32_t {
        DAYS_BASED_PRUNING = 0,
        FILE_INDEXED_JOB_STATUS_BASED_PRUNING = 1,
        LEAST_REFERENCED_AFILEID_BASED_PRUNING = 2
    };

    enum TriggerCriteria : int32_t { TRIGGER_ALWAYS = 0, TRIGGER_ON_SPACE_THRESHOLD_REACHED = 1 };

    struct Configuration {
        TriggerCriteria trigger;
        Policy policy;
    };
    // By policy alone: the set holds one configuration per policy, walked in
    // ascending policy order.
    struct ConfigCompare {
        bool operator()(const Configuration& a, const Configuration& b) const { return a.policy < b.policy; }
    };
    typedef std::set<Configuration, ConfigCompare> ConfigurationSet;

    // One asynchronous VM-job deletion of a pass: set once by its completion
    // callback (a pool thread), waited for once by the pruner thread. A set
    // made before the wait begins is kept.
    class PruningTask {
    public:
        PruningTask() = default;
        PruningTask(const PruningTask&) = delete;
        PruningTask& operator=(const PruningTask&) = delete;

        void MarkDone();
        void WaitForDone();

    private:
        RankedMutex lock{LockRank::PrunerDone, "pruner done"};
        RankedCondition doneEvent;
        bool done = false;  // guarded by lock
    };
    typedef boost::shared_ptr<PruningTask> PruningTaskPtr;

    // Most seconds a pruning interval may be set to; larger values are clamped.
    static constexpr int32_t kMaxPruneIntervalSecs = 7 * 86400;

    // Holds {TRIGGER_ALWAYS, DAYS_BASED_PRUNING}, the cache's thresholds and
    // the configured pruning interval; starts nothing.
    CachePruner(CachePtr cache, CacheDBPtr cacheDB);
    // Stops and waits for the thread (see CAlertableEventThread).
    ~CachePruner() override;

    // ---- control (service, host threads)

    // Starts the thread; a no-op while it runs.
    bool Start() override;
    // The same as RefreshConfiguration.
    void Configure();
    // The same as AddConfiguration.
    void Configure(TriggerCriteria trigger, Policy policy);

    // ---- configuration

    // Reads the retention days ("nLiveBrowseCacheMaxDaysRetention"; 0, absent
    // or beyond 32 bits: 7).
    void RefreshConfiguration();
    // Adds the configuration unless one with its policy is there (the
    // earlier trigger stays); logs the configuration passed in either way.
    void AddConfiguration(TriggerCriteria trigger, Policy policy);
    void ConfigureMaxNoOfDays(uint32_t days);
    // Takes effect only when fullPercent < notFullPercent.
    void ConfigureSpaceThresholds(uint32_t fullPercent, uint32_t notFullPercent);
    // Copies the cache's thresholds.
    void UpdatePruningSpaceThresholds();
    uint32_t GetNoOfDaysRetention() const { return maxNoOfDays.load(); }
    // A copy of the configuration set, for a pass to walk.
    ConfigurationSet GetConfigurations() const;
    uint32_t GetFullThresholdPercent() const { return fullThresholdPercent.load(); }
    uint32_t GetNotFullThresholdPercent() const { return notFullThresholdPercent.load(); }
    int32_t GetPruneIntervalSecs() const { return pruneIntervalSecs; }

    // ---- names and descriptions

    // The enumerator's name; empty for a value outside the enumeration.
    static std::string GetPolicyName(Policy policy);
    static std::string GetTriggerCriteriaName(TriggerCriteria trigger);
    // "Policy [%s], Trigger Criteria [%s]".
    static std::string description(const Configuration& configuration);
    // Every configuration's description in set order, nothing between them.
    std::string description() const;

    // ---- duties (pruner thread)

    // One pruning pass over every configuration.
    virtual void PruneJobs();
    // Releases the idle per-afile database containers of the location.
    virtual void ReleaseIdleResources();
    // One configuration of a pass; adds what it pruned to the counters.
    virtual CZoError PruneJobs(const Configuration& configuration, unsigned int& itemsPruned,
                               long long& bytesPruned);
    // Removes the empty folders below the data folder (the caller holds the
    // maintenance window).
    void PruneEmptyFolders();

    // ---- the pass: triggers and policies (pruner thread)

    // The space target of one configuration; filled by the space trigger.
    struct PruningParams {
        long long bytesToPrune = 0;
    };

    CZoError CheckIfPruningNeeded(const Configuration& configuration, bool& needed, PruningParams& params);
    // From the cache's space statistics.
    CZoError GetBytesToPrune(PruningParams& params);
    // From given statistics: due at or below the full threshold, down to the
    // not-full threshold's share of the total. A total of 0 is not due.
    CZoError GetBytesToPrune(const Cache::CacheSpaceStats& stats, PruningParams& params) const;
    CZoError PruneOldJobs(const std::list<VM>& vms, unsigned int& itemsPruned, long long& bytesPruned);
    CZoError PruneFileIndexedJobs(const std::list<VM>& vms, unsigned int& itemsPruned, long long& bytesPruned);
    CZoError PruneJobsUsingLRU(const std::list<VM>& vms, long long bytesToPrune, unsigned int& itemsPruned,
                               long long& bytesPruned);
    // Always success; an archive manager that does not answer means not indexed.
    CZoError IsFileIndexingRun(const VM& vm, bool& indexed);
    // Whole days since the time (seconds since 1970); 0 for now or later.
    static unsigned int ConvertTimeToDays(long time);
    // Adds the afiles of "sTestLiveBrowseCachePruneAfiles" and deletes the value.
    static void GetAfilesToPruneFromRegistry(std::set<long long>& afiles);

    // ---- one VM job (pruner thread)

    // bytes: the size of the job's flat file. Success also for a job skipped
    // because it is in use (its lock file is held, or its file cannot be moved).
    CZoError SubmitVMJobForPruning(const VM& vm, long long& bytes);
    CZoError SubmitVMJobForPruning(const VM& vm);
    CZoError GetCacheSizeForVMJob(const VM& vm, long long& size);
    // The job's lock file is held. On success a task is registered whose
    // completion releases and deletes the lock file and removes the folders.
    CZoError PruneVMJob(const VM& vm);
    // prunedPath stays empty when there is no file to rename.
    CZoError RenameCacheFile(const VM& vm, const std::string& path, std::string& prunedPath);
    // Waits for every task registered since the last wait, then forgets them.
    void WaitForAllPruningTasks();

    // ---- for tests
    boost::shared_ptr<CacheDataPruner> TEST_DataPruner() const { return dataPruner; }
    boost::shared_ptr<CacheDBPruner> TEST_DBPruner() const { return dbPruner; }
    CachePtr TEST_Cache() const { return cache; }
    CacheDBPtr TEST_CacheDB() const { return cacheDB; }
    // Called by PruneVMJob on its thread at two points: with `held` true
    // inside the window (write/prune lock held, VM marked, its files removed
    // and renamed), with false just after the lock is released, before the
    // deletion is handed to the data pool. An empty function removes it.
    typedef std::function<void(const VM& vm, bool held)> PruneWindowHook;
    void TEST_SetPruneWindowHook(PruneWindowHook hook);

protected:
    void OnStart() override;
    void OnTimeout() override;
    void OnStop() override;

private:
    CZoError SubmitCandidate(const VM& vm, unsigned int& itemsPruned, long long& bytesPruned);
    CZoError PruneVMJobLocked(VM& vm, std::string& dbFilePath, std::string& flatFilePath, std::string& prunedPath);
    // The completion of one job's deletion, on a pool thread.
    CZoError CompleteVMJobPruning(const CZoError& deletion, const VMPtr& vm, const PruningTaskPtr& task,
                                  const std::string& flatFilePath, const std::string& dbFilePath);
    CZoError CleanUpPrunedVMJob(const VM& vm, const std::string& flatFilePath, const std::string& dbFilePath);
    CZoError RemovePrunedVMJobFolders(const std::string& flatFilePath, const std::string& dbFilePath);
    // Drops the container that the job's lock request made from the map.
    void ReleaseLockContainer(const VM& vm);
    void LogCacheGrowth();
    void CheckCacheAvailability();

    void TEST_RunPruneWindowHook(const VM& vm, bool held);

    // guarded by configLock
    ConfigurationSet configurations;
    mutable RankedMutex configLock{LockRank::PrunerConfig, "pruner config"};

    // guarded by hookLock (never held while the hook runs)
    PruneWindowHook pruneWindowHook;
    RankedMutex hookLock{LockRank::PrunerHook, "pruner hook"};

    // Set on host threads (configuration) and read by the pass: atomic.
    std::atomic<uint32_t> fullThresholdPercent{20};
    std::atomic<uint32_t> notFullThresholdPercent{30};
    std::atomic<uint32_t> maxNoOfDays{7};

    // constant after construction; the pools are used by the pruner thread only
    const boost::shared_ptr<CacheDataPruner> dataPruner;
    const boost::shared_ptr<CacheDBPruner> dbPruner;

    // pruner thread only: the deletions of the configuration being run
    std::vector<PruningTaskPtr> pruningTasks;

    // constant after construction
    const CachePtr cache;
    const CacheDBPtr cacheDB;
    const CCacheFileIOPtr fileIO;

    // The schedule: set by the constructor, then touched by the pruner thread only.
    int32_t pruneIntervalSecs = 300;
    time_t lastPruneTime = 0;
    int32_t releaseIntervalSecs = 30;
    time_t lastReleaseTime = 0;
    Cache::CacheSpaceStats lastSpaceStats;
};
