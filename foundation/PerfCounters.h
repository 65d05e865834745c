#pragma once
// Performance counter sets: one per job id in g_mapPerJobPerfCounters (key 0
// holds the process totals) and one further process-wide set reached through
// LoadLBCPerfCounters(). Feeders take their samples through PerJobSpan,
// PerJobCount, PerJobBytes and ProcessSpan, which hold the sampling rule.
//
// Locks: g_lockPerJobPerfCounters is held only for a lookup, an insertion or
// a copy of the registry; never while a timed step runs.

#include "FXCriticalSection.h"
#include "platform/CPerfCounter.h"

#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class LBCPerfCounters {
public:
    // Slot numbers of the 25 counters, in field order.
    enum Slot {
        SlotDbQueryExtents = 0,
        SlotDbQueryExtent = 1,
        SlotDbGetExtents = 2,
        SlotCacheDBGetExtent = 3,
        SlotDbInsertExtent = 4,
        SlotDbUpdateExtent = 5,
        SlotLockWrite = 6,
        SlotWriterRequests = 7,
        SlotWriteTime = 8,
        SlotReadTime = 9,
        SlotPartialWrites = 10,
        SlotItemOpenForWrite = 11,
        SlotItemOpenForRead = 12,
        SlotItemWrite = 13,
        SlotRewrites = 14,
        SlotDbQueryVM = 15,
        SlotDbUpsertVM = 16,
        SlotReaderRequests = 17,
        SlotWriteBytes = 18,
        SlotReadBytes = 19,
        SlotLockOpen = 20,
        SlotLockGetDB = 21,
        SlotDbOpen = 22,
        SlotFullExtentReads = 23,
        SlotItemClose = 24,
        SlotCount = 25
    };

    // New zeroed counters; also sets the process-wide counter level to 4.
    LBCPerfCounters();
    ~LBCPerfCounters();
    LBCPerfCounters(const LBCPerfCounters&) = delete;
    LBCPerfCounters& operator=(const LBCPerfCounters&) = delete;

    // Zeroes every counter and the three numbers.
    void Reset();
    // count = items opened (for read, write or rewrite); true when it grew
    // beyond lastLoggedCount.
    bool IsCounted(long long& count);

    // The counter of a slot; null for a slot outside 0..24.
    boost::shared_ptr<CPerfCounter> Counter(Slot slot) const;
    // simultaneousWrites becomes the larger of its value and n.
    void RaiseSimultaneousWrites(uint32_t n);

    // The statistics report. Flags of a counter's description: 1 total time,
    // 2 average time per sample, 4 number of samples, 8 share of one
    // counter's time in another's (two-counter form only).
    enum DescriptionFlags { ShowTime = 1, ShowAverage = 2, ShowSamples = 4, ShowShare = 8 };

    // The report text of this set; never empty.
    std::string AsString(bool detailed);
    // The report as statistics lines "[LBC<tag>] Stats: ...", one per line of
    // the text, then a line-feed message; with reset the set is reset after.
    void Log(bool detailed, bool reset, const std::string& tag);
    // The whole report in one message, without a reset.
    void LogAsString();
    void _Log(bool detailed, bool reset, bool asOneMessage, const std::string& tag);
    // Logs every job whose item opens grew since it was last logged and, with
    // includeProcess, the process totals (key 0) when active, resetting them.
    static void LogPerJobStats(bool detailed, bool includeProcess);
    // One counter's text; empty when it has not counted.
    static std::string GetPerfCounterDescription(boost::shared_ptr<CPerfCounter> counter, int flags,
                                                 std::string label);
    // The share of part's total time in whole's, as "<label>[~N%] "; empty
    // without flag 8, "[]" when it cannot be computed.
    static std::string GetPerfCounterDescription(boost::shared_ptr<CPerfCounter> part,
                                                 boost::shared_ptr<CPerfCounter> whole, int flags, std::string label);

    boost::shared_ptr<CPerfCounter> dbQueryExtents;
    boost::shared_ptr<CPerfCounter> dbQueryExtent;
    boost::shared_ptr<CPerfCounter> dbGetExtents;
    boost::shared_ptr<CPerfCounter> cacheDBGetExtent;
    boost::shared_ptr<CPerfCounter> dbInsertExtent;
    boost::shared_ptr<CPerfCounter> dbUpdateExtent;
    boost::shared_ptr<CPerfCounter> lockWrite;
    boost::shared_ptr<CPerfCounter> writerRequests;
    boost::shared_ptr<CPerfCounter> writeTime;
    boost::shared_ptr<CPerfCounter> readTime;
    boost::shared_ptr<CPerfCounter> partialWrites;
    boost::shared_ptr<CPerfCounter> itemOpenForWrite;
    boost::shared_ptr<CPerfCounter> itemOpenForRead;
    boost::shared_ptr<CPerfCounter> itemWrite;
    boost::shared_ptr<CPerfCounter> rewrites;
    boost::shared_ptr<CPerfCounter> dbQueryVM;
    boost::shared_ptr<CPerfCounter> dbUpsertVM;
    boost::shared_ptr<CPerfCounter> readerRequests;
    boost::shared_ptr<CPerfCounter> writeBytes;
    boost::shared_ptr<CPerfCounter> readBytes;
    boost::shared_ptr<CPerfCounter> lockOpen;
    boost::shared_ptr<CPerfCounter> lockGetDB;
    boost::shared_ptr<CPerfCounter> dbOpen;
    boost::shared_ptr<CPerfCounter> fullExtentReads;
    boost::shared_ptr<CPerfCounter> itemClose;

    // Atomic: written by feeders (simultaneousWrites under the write/prune
    // lock) while the periodic utility thread reads and resets them.
    std::atomic<uint32_t> simultaneousWrites{0};
    std::atomic<uint32_t> blockedWrites{0};
    // The item-open count when this set was last reported; atomic for the same reason.
    std::atomic<int64_t> lastLoggedCount{0};
};

// One set per job id seen since load, never removed; key 0 holds the process totals.
// Lookups are kept per thread as plain pointers: whatever removes a set must
// keep it alive until unload and bump the generation, as
// TEST_ClearPerJobPerfCounters does.
// guarded by g_lockPerJobPerfCounters
extern std::map<long long, boost::shared_ptr<LBCPerfCounters>>& g_mapPerJobPerfCounters;
extern FXCriticalSection g_lockPerJobPerfCounters;

// g_ptrLBCPerfCounters is replaced while other threads feed it: reach it only
// through these, and feed a local copy.
boost::shared_ptr<LBCPerfCounters> LoadLBCPerfCounters();
void StoreLBCPerfCounters(const boost::shared_ptr<LBCPerfCounters>& counters);

// The set of a job id, entered when absent.
boost::shared_ptr<LBCPerfCounters> GetPerJobPerfCounters(long long jobId);
// A copy of the registry's entries in ascending job id, taken under the lock.
std::vector<std::pair<long long, boost::shared_ptr<LBCPerfCounters>>> SnapshotPerJobPerfCounters();

// The job's set and the process totals of one request, looked up once: the
// request's steps then sample them without a look-up of their own. Sets are
// never freed before unload, so a request may keep their addresses.
class PerJobSets {
public:
    // Enters the job when absent.
    explicit PerJobSets(long long jobId);

    long long JobId() const { return jobId; }
    LBCPerfCounters* Job() const { return job; }
    LBCPerfCounters* Process() const { return process; }

private:
    long long jobId;
    // job id 0: both are the process totals
    LBCPerfCounters* job;
    LBCPerfCounters* process;
};

// A timed step of one slot in the job's set and in the process totals, both
// samples started and ended together, on one clock reading at each end (job
// id 0's set is the process totals, which then take both samples). For a
// lock wait call End() as soon as the lock is held, so that only the waiting
// is timed. Nothing is allocated and, but for a thread's first sample of a
// job id, no lock but the counters' own is taken.
class PerJobSpan {
public:
    PerJobSpan(long long jobId, LBCPerfCounters::Slot slot);
    // On the sets a request looked up.
    PerJobSpan(const PerJobSets& sets, LBCPerfCounters::Slot slot);
    ~PerJobSpan();
    PerJobSpan(const PerJobSpan&) = delete;
    PerJobSpan& operator=(const PerJobSpan&) = delete;

    void End();
    // Ends this step and starts the next one, of another slot in the same
    // sets, on the same clock reading: adjacent steps share their boundary.
    void Then(LBCPerfCounters::Slot slot);

private:
    // the sets of the request; never freed
    LBCPerfCounters* job;
    LBCPerfCounters* process;
    // on counters of sets that are never freed
    CTimeSample sample;
};

// A timed step whose sample is taken only once its outcome asks for it: the
// clock runs from Start() to Stop(), and Count() then adds that time to the
// job's set and the process totals as PerJobSpan would. A step never counted
// adds nothing.
class PerJobDeferredSpan {
public:
    PerJobDeferredSpan() = default;
    ~PerJobDeferredSpan() { sample.Drop(); }
    PerJobDeferredSpan(const PerJobDeferredSpan&) = delete;
    PerJobDeferredSpan& operator=(const PerJobDeferredSpan&) = delete;

    // At most once.
    void Start(long long jobId, LBCPerfCounters::Slot slot);
    void Start(const PerJobSets& sets, LBCPerfCounters::Slot slot);
    void Stop();
    // Later calls add nothing.
    void Count();

private:
    // on counters of sets that are never freed
    CTimeSample sample;
};

// One sample of no time in the job's set and in the process totals (two
// there for job id 0).
void PerJobCount(long long jobId, LBCPerfCounters::Slot slot);
// Adds bytes as samples of no time to the job's set only.
void PerJobBytes(long long jobId, LBCPerfCounters::Slot slot, unsigned long long bytes);
// The same on the sets a request looked up.
void PerJobCount(const PerJobSets& sets, LBCPerfCounters::Slot slot);
void PerJobBytes(const PerJobSets& sets, LBCPerfCounters::Slot slot, unsigned long long bytes);

// A timed step on the process-wide set alone; a no-op while there is no set.
// The sample keeps the set it started on, even when that set is replaced.
class ProcessSpan {
public:
    explicit ProcessSpan(LBCPerfCounters::Slot slot);
    ~ProcessSpan();
    ProcessSpan(const ProcessSpan&) = delete;
    ProcessSpan& operator=(const ProcessSpan&) = delete;

    void End();
    // Lets the sample go: a step that turned out to be another's adds nothing.
    void Drop() { sample.Drop(); }

private:
    // Declared before the sample, so that the set outlives it.
    boost::shared_ptr<LBCPerfCounters> set;
    CTimeSample sample;
};

// Empties the registry (tests only: sets are otherwise never removed). The
// removed sets stay alive until unload: running samples and other threads'
// last lookups may still point into them.
void TEST_ClearPerJobPerfCounters();
