#include "foundation/PerfCounters.h"

#include "foundation/LogWriter.h"
#include "platform/FXString.h"
#include "platform/LockOrder.h"

#include <atomic>
#include <boost/make_shared.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>
#include <type_traits>

// Never destroyed, nor the cleared sets below: the exit of a child forked
// without exec must not walk a map that a thread of the parent was changing
// at the fork. Reachable from here until the process ends.
std::map<long long, boost::shared_ptr<LBCPerfCounters>>& g_mapPerJobPerfCounters =
    *new std::map<long long, boost::shared_ptr<LBCPerfCounters>>();
FXCriticalSection g_lockPerJobPerfCounters(static_cast<uint16_t>(LockRank::PerJobCounters), "per-job counters");

namespace {
boost::shared_ptr<LBCPerfCounters> g_ptrLBCPerfCounters;

typedef boost::shared_ptr<CPerfCounter> LBCPerfCounters::*CounterField;

// The fields in slot order: the one place that ties a slot number to its field.
const CounterField kSlotFields[LBCPerfCounters::SlotCount] = {
    &LBCPerfCounters::dbQueryExtents,   &LBCPerfCounters::dbQueryExtent,    &LBCPerfCounters::dbGetExtents,
    &LBCPerfCounters::cacheDBGetExtent, &LBCPerfCounters::dbInsertExtent,   &LBCPerfCounters::dbUpdateExtent,
    &LBCPerfCounters::lockWrite,        &LBCPerfCounters::writerRequests,   &LBCPerfCounters::writeTime,
    &LBCPerfCounters::readTime,         &LBCPerfCounters::partialWrites,    &LBCPerfCounters::itemOpenForWrite,
    &LBCPerfCounters::itemOpenForRead,  &LBCPerfCounters::itemWrite,        &LBCPerfCounters::rewrites,
    &LBCPerfCounters::dbQueryVM,        &LBCPerfCounters::dbUpsertVM,       &LBCPerfCounters::readerRequests,
    &LBCPerfCounters::writeBytes,       &LBCPerfCounters::readBytes,        &LBCPerfCounters::lockOpen,
    &LBCPerfCounters::lockGetDB,        &LBCPerfCounters::dbOpen,           &LBCPerfCounters::fullExtentReads,
    &LBCPerfCounters::itemClose,
};

int SlotLevel(int slot) {
    return slot == LBCPerfCounters::SlotReaderRequests || slot == LBCPerfCounters::SlotFullExtentReads ? 1 : 0;
}

// Caller holds g_lockPerJobPerfCounters.
const boost::shared_ptr<LBCPerfCounters>& FindOrEnterLocked(long long jobId) {
    auto it = g_mapPerJobPerfCounters.find(jobId);
    if (it != g_mapPerJobPerfCounters.end()) return it->second;
    // Made before it is entered: a failed allocation leaves no empty entry behind.
    boost::shared_ptr<LBCPerfCounters> counters = boost::make_shared<LBCPerfCounters>();
    return g_mapPerJobPerfCounters.emplace(jobId, counters).first->second;
}

// Sets are never freed before unload (TEST_ClearPerJobPerfCounters keeps the
// sets it removes), so each thread keeps its last lookup as plain pointers and
// takes the process-wide lock only for another job id or after a clear, which
// bumps the generation: threads on distinct afiles would otherwise queue on
// that lock several times per request.
std::atomic<unsigned long> g_perJobGeneration{0};

// guarded by g_lockPerJobPerfCounters
std::vector<boost::shared_ptr<LBCPerfCounters>>& g_clearedPerJobSets =
    *new std::vector<boost::shared_ptr<LBCPerfCounters>>();

// One thread's last lookup: the process totals and the last job id's set,
// kept apart so that a thread that alternates between a job and job id 0
// keeps both. Trivially destructible: nothing of the library runs at a host
// thread's exit, whenever that comes relative to the unload.
struct LastLookup {
    unsigned long generation;
    // null: nothing is kept
    LBCPerfCounters* processSet;
    // null: no job is kept
    LBCPerfCounters* jobSet;
    long long jobId;
};
static_assert(std::is_trivially_destructible<LastLookup>::value, "must not run at thread exit");
thread_local LastLookup t_lastLookup;

// A job's set and the process totals. Job id 0's set is the process totals
// (key 0): a step of job 0 takes its job's sample and the process's there.
struct JobSets {
    LBCPerfCounters* job;
    LBCPerfCounters* process;
};

bool IsCurrent(const LastLookup& last) {
    return last.processSet && last.generation == g_perJobGeneration.load(std::memory_order_acquire);
}

LBCPerfCounters* KeptJobSet(const LastLookup& last, long long jobId) {
    return last.jobSet && last.jobId == jobId ? last.jobSet : nullptr;
}

// The job's set and the process totals, entered when absent.
JobSets LookUp(long long jobId) {
    LastLookup& last = t_lastLookup;
    const bool current = IsCurrent(last);
    if (current && jobId == 0) return {last.processSet, last.processSet};
    if (current && KeptJobSet(last, jobId)) return {last.jobSet, last.processSet};
    auto_lock guard(&g_lockPerJobPerfCounters);
    if (!current) last.processSet = last.jobSet = nullptr;
    JobSets sets{nullptr, FindOrEnterLocked(0).get()};
    sets.job = jobId != 0 ? FindOrEnterLocked(jobId).get() : sets.process;
    // Read under the lock, which the clear holds while it bumps it.
    last.generation = g_perJobGeneration.load(std::memory_order_relaxed);
    last.processSet = sets.process;
    if (jobId != 0) {
        last.jobSet = sets.job;
        last.jobId = jobId;
    }
    return sets;
}

// A slot outside 0..24 has no counter.
CPerfCounter* CounterOf(const LBCPerfCounters* set, LBCPerfCounters::Slot slot) {
    if (!set || slot < 0 || slot >= LBCPerfCounters::SlotCount) return nullptr;
    return (set->*kSlotFields[slot]).get();
}

void AddSamples(CPerfCounter* counter, long long samples) {
    if (counter) counter->AddTotals(0, samples);
}
}  // namespace

LBCPerfCounters::LBCPerfCounters() {
    // A failed allocation propagates; the counters already made are released
    // with their members.
    for (int slot = 0; slot < SlotCount; ++slot)
        this->*kSlotFields[slot] = boost::make_shared<CPerfCounter>(SlotLevel(slot));
    CPerfCounter::SetCurrentPerfCounterLevel(4);
}

LBCPerfCounters::~LBCPerfCounters() = default;

void LBCPerfCounters::Reset() {
    for (int slot = 0; slot < SlotCount; ++slot) (this->*kSlotFields[slot])->Reset();
    simultaneousWrites = 0;
    blockedWrites = 0;
    lastLoggedCount = 0;
}

bool LBCPerfCounters::IsCounted(long long& count) {
    count = itemOpenForRead->GetTimer().GetTotalSamples() + itemOpenForWrite->GetTimer().GetTotalSamples();
    return count > lastLoggedCount.load();
}

boost::shared_ptr<CPerfCounter> LBCPerfCounters::Counter(Slot slot) const {
    if (slot < 0 || slot >= SlotCount) return boost::shared_ptr<CPerfCounter>();
    return this->*kSlotFields[slot];
}

void LBCPerfCounters::RaiseSimultaneousWrites(uint32_t n) {
    uint32_t current = simultaneousWrites.load();
    while (current < n && !simultaneousWrites.compare_exchange_weak(current, n)) {
    }
}

boost::shared_ptr<LBCPerfCounters> LoadLBCPerfCounters() { return boost::atomic_load(&g_ptrLBCPerfCounters); }

void StoreLBCPerfCounters(const boost::shared_ptr<LBCPerfCounters>& counters) {
    boost::atomic_store(&g_ptrLBCPerfCounters, counters);
}

boost::shared_ptr<LBCPerfCounters> GetPerJobPerfCounters(long long jobId) {
    auto_lock guard(&g_lockPerJobPerfCounters);
    return FindOrEnterLocked(jobId);
}

std::vector<std::pair<long long, boost::shared_ptr<LBCPerfCounters>>> SnapshotPerJobPerfCounters() {
    auto_lock guard(&g_lockPerJobPerfCounters);
    return std::vector<std::pair<long long, boost::shared_ptr<LBCPerfCounters>>>(g_mapPerJobPerfCounters.begin(),
                                                                                 g_mapPerJobPerfCounters.end());
}

PerJobSets::PerJobSets(long long jobId) : jobId(jobId) {
    JobSets sets = LookUp(jobId);
    job = sets.job;
    process = sets.process;
}

PerJobSpan::PerJobSpan(long long jobId, LBCPerfCounters::Slot slot) {
    JobSets sets = LookUp(jobId);
    job = sets.job;
    process = sets.process;
    // Started after the lookup: it is not part of the step.
    sample.Start(CounterOf(job, slot), CounterOf(process, slot));
}

PerJobSpan::PerJobSpan(const PerJobSets& sets, LBCPerfCounters::Slot slot)
    : job(sets.Job()), process(sets.Process()) {
    sample.Start(CounterOf(job, slot), CounterOf(process, slot));
}

PerJobSpan::~PerJobSpan() { End(); }

void PerJobSpan::End() { sample.End(); }

void PerJobSpan::Then(LBCPerfCounters::Slot slot) { sample.Then(CounterOf(job, slot), CounterOf(process, slot)); }

void PerJobDeferredSpan::Start(long long jobId, LBCPerfCounters::Slot slot) {
    JobSets sets = LookUp(jobId);
    sample.Start(CounterOf(sets.job, slot), CounterOf(sets.process, slot));
}

void PerJobDeferredSpan::Start(const PerJobSets& sets, LBCPerfCounters::Slot slot) {
    sample.Start(CounterOf(sets.Job(), slot), CounterOf(sets.Process(), slot));
}

void PerJobDeferredSpan::Stop() { sample.Stop(); }

void PerJobDeferredSpan::Count() {
    sample.Stop();
    sample.End();
}

namespace {
void CountIn(LBCPerfCounters* job, LBCPerfCounters* process, LBCPerfCounters::Slot slot) {
    AddSamples(CounterOf(job, slot), 1);
    AddSamples(CounterOf(process, slot), 1);
}
}  // namespace

void PerJobCount(long long jobId, LBCPerfCounters::Slot slot) {
    JobSets sets = LookUp(jobId);
    CountIn(sets.job, sets.process, slot);
}

void PerJobCount(const PerJobSets& sets, LBCPerfCounters::Slot slot) { CountIn(sets.Job(), sets.Process(), slot); }

void PerJobBytes(long long jobId, LBCPerfCounters::Slot slot, unsigned long long bytes) {
    // The process totals receive no bytes, and job id 0's set is the process totals.
    if (jobId == 0) return;
    // The job's own span has entered it, normally on this thread; otherwise
    // the job alone is entered, as the bytes need no process totals.
    const LastLookup& last = t_lastLookup;
    LBCPerfCounters* set = IsCurrent(last) ? KeptJobSet(last, jobId) : nullptr;
    boost::shared_ptr<LBCPerfCounters> entered;
    if (!set) {
        entered = GetPerJobPerfCounters(jobId);
        set = entered.get();
    }
    AddSamples(CounterOf(set, slot), static_cast<long long>(bytes));
}

void PerJobBytes(const PerJobSets& sets, LBCPerfCounters::Slot slot, unsigned long long bytes) {
    if (sets.JobId() == 0) return;
    AddSamples(CounterOf(sets.Job(), slot), static_cast<long long>(bytes));
}

ProcessSpan::ProcessSpan(LBCPerfCounters::Slot slot) : set(LoadLBCPerfCounters()) {
    sample.Start(CounterOf(set.get(), slot), nullptr);
}

ProcessSpan::~ProcessSpan() { End(); }

void ProcessSpan::End() { sample.End(); }

void TEST_ClearPerJobPerfCounters() {
    auto_lock guard(&g_lockPerJobPerfCounters);
    for (const auto& entry : g_mapPerJobPerfCounters) g_clearedPerJobSets.push_back(entry.second);
    g_mapPerJobPerfCounters.clear();
    g_perJobGeneration.fetch_add(1, std::memory_order_release);
}

namespace {
// Throughput in MiB per second of a byte counter over a time counter.
double RateMBps(const boost::shared_ptr<CPerfCounter>& bytes, const boost::shared_ptr<CPerfCounter>& time) {
    double mebibytes = static_cast<double>(bytes->GetTimer().GetTotalSamples()) / 1024 / 1024;
    return mebibytes / time->GetTimer().GetTotalTime().AsSeconds();
}

// Whether the throughput of a side can be shown: both counted and some time spent.
bool HasThroughput(const boost::shared_ptr<CPerfCounter>& bytes, const boost::shared_ptr<CPerfCounter>& time) {
    return time->IsCounted() && bytes->IsCounted() && time->GetTimer().GetTotalTime().AsSeconds() > 0.0;
}
}  // namespace

std::string LBCPerfCounters::GetPerfCounterDescription(boost::shared_ptr<CPerfCounter> counter, int flags,
                                                       std::string label) {
    if (!counter || !counter->IsCounted()) return std::string();
    CTimeCounter totals = counter->GetTimer();
    std::string text = label;
    if (flags & ShowTime) text += FXString::Format("[%s]", totals.GetTotalTime().AsString().c_str());
    if (flags & ShowSamples) text += FXString::Format("[%lld]", totals.GetTotalSamples());
    if (flags & ShowAverage) {
        double samples = totals.GetTotalSamples() < 1 ? 1.0 : static_cast<double>(totals.GetTotalSamples());
        text += FXString::Format("[avg %s]", (totals.GetTotalTime() / samples).AsString().c_str());
    }
    text += " ";
    return text;
}

std::string LBCPerfCounters::GetPerfCounterDescription(boost::shared_ptr<CPerfCounter> part,
                                                       boost::shared_ptr<CPerfCounter> whole, int flags,
                                                       std::string label) {
    if (!(flags & ShowShare)) return std::string();
    if (!part || !whole || !part->IsCounted() || !whole->IsCounted()) return "[]";
    long long partUnits = part->GetTimer().GetTotalTime().As100NSIntervals();
    long long wholeUnits = whole->GetTimer().GetTotalTime().As100NSIntervals();
    if (wholeUnits <= 0 || partUnits > wholeUnits) return "[]";
    // In 128 bits: part times 100 must not overflow for long totals.
    long long percent = static_cast<long long>(static_cast<__int128>(partUnits) * 100 / wholeUnits);
    return label + FXString::Format("[~%lld%%]", percent) + " ";
}

std::string LBCPerfCounters::AsString(bool detailed) {
    std::string text;
    if (writerRequests->IsCounted()) {
        text += "\n[WRITES] Num extents";
        text += GetPerfCounterDescription(writerRequests, ShowSamples, "") + " ";
        text += GetPerfCounterDescription(partialWrites, ShowSamples, "partial");
    }
    if (HasThroughput(writeBytes, writeTime))
        text += "Throughput" + FXString::Format("[%.2f %s] ", RateMBps(writeBytes, writeTime), "MBps");
    if (writeTime->IsCounted()) {
        text += GetPerfCounterDescription(itemOpenForWrite, ShowTime | ShowSamples, "Open");
        text += GetPerfCounterDescription(itemWrite, ShowTime | ShowSamples, "Write");
        text += GetPerfCounterDescription(itemClose, ShowTime | ShowSamples, "Close");
    }
    if (detailed && writerRequests->IsCounted()) {
        text += "\n[WRITES] Get Writer Object";
        text += GetPerfCounterDescription(writerRequests, ShowTime | ShowSamples, "") + " ";
    }
    if (itemOpenForRead->IsCounted()) {
        text += "\n[READS] Num extents";
        text += GetPerfCounterDescription(itemOpenForRead, ShowSamples, "") + " ";
    }
    if (HasThroughput(readBytes, readTime))
        text += "Throughput" + FXString::Format("[%.2f %s] ", RateMBps(readBytes, readTime), "MBps");
    if (detailed && readerRequests->IsCounted()) {
        text += "\n[READS] Get Reader Object";
        text += GetPerfCounterDescription(readerRequests, ShowTime | ShowSamples, "") + " ";
        text += GetPerfCounterDescription(fullExtentReads, ShowSamples, "full extent request");
    }
    text += "\n[LOCK] ";
    text += GetPerfCounterDescription(lockWrite, ShowTime, "Write");
    text += GetPerfCounterDescription(lockOpen, ShowTime, "Open");
    text += GetPerfCounterDescription(lockGetDB, ShowTime, "GetDB");
    text += "\n[CacheDB] ";
    text += GetPerfCounterDescription(cacheDBGetExtent, ShowTime | ShowSamples, "GetExtent");
    text += "\n[DBQuery] ";
    text += GetPerfCounterDescription(dbOpen, ShowTime | ShowSamples, "Open");
    text += GetPerfCounterDescription(dbQueryExtents, ShowTime | ShowSamples, "Extents");
    text += GetPerfCounterDescription(dbQueryExtent, ShowTime | ShowSamples, "Extent");
    text += GetPerfCounterDescription(dbQueryVM, ShowTime | ShowSamples, "VM");
    text += "\n[DBUpdate] ";
    text += GetPerfCounterDescription(dbInsertExtent, ShowTime | ShowSamples, "InsertExtent");
    text += GetPerfCounterDescription(dbUpdateExtent, ShowTime | ShowSamples, "UpdateExtent");
    text += GetPerfCounterDescription(dbUpsertVM, ShowTime | ShowSamples, "UpsertVM");
    text += "\n[Counters] ";
    text += GetPerfCounterDescription(rewrites, ShowSamples, "Rewrites");
    uint32_t simultaneous = simultaneousWrites.load();
    if (simultaneous != 0) text += FXString::Format("Simultaneous writes[%u] ", simultaneous);
    uint32_t blocked = blockedWrites.load();
    if (blocked != 0) text += FXString::Format("Blocked writes[%u] ", blocked);
    return text;
}

void LBCPerfCounters::Log(bool detailed, bool reset, const std::string& tag) { _Log(detailed, reset, false, tag); }

void LBCPerfCounters::LogAsString() { _Log(false, false, true, ""); }

void LBCPerfCounters::_Log(bool detailed, bool reset, bool asOneMessage, const std::string& tag) {
    std::string text = AsString(detailed);
    if (!text.empty() && asOneMessage) {
        LBC_LOG(0, "%s", text.c_str());
    } else if (!text.empty()) {
        std::string tagText = tag.empty() ? std::string() : FXString::Format("<%s>", tag.c_str());
        std::vector<std::string> pieces;
        FXString::Split(text, "\n", pieces);
        for (const std::string& piece : pieces) {
            if (!piece.empty()) LBC_LOG_STATS("[LBC%s] Stats: %s", tagText.c_str(), piece.c_str());
        }
        LBC_LOG_STATS("%s", "\n");
    }
    if (reset) Reset();
}

void LBCPerfCounters::LogPerJobStats(bool detailed, bool includeProcess) {
    // Sets are never removed, so the copies stay valid after the lock is released.
    for (const auto& entry : SnapshotPerJobPerfCounters()) {
        const long long jobId = entry.first;
        const boost::shared_ptr<LBCPerfCounters>& counters = entry.second;
        long long count = 0;
        if (!counters || !counters->IsCounted(count) || (jobId == 0 && !includeProcess)) continue;
        counters->lastLoggedCount = count;
        if (jobId == 0) {
            LBC_LOG_STATS("%s", ("Process Stats (for last 10 minutes): " + std::string(38, '+')).c_str());
        } else {
            LBC_LOG_STATS("Job Stats: [%llu] %s", static_cast<unsigned long long>(jobId), std::string(53, '+').c_str());
        }
        // The process totals start afresh after their report.
        counters->Log(detailed, jobId == 0, "");
    }
}
