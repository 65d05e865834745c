#include "foundation/PerfCounters.h"

#include "foundation/LogWriter.h"
#include "platform/FXString.h"
#include "platform/LockOrder.h"

#include <atomic>
#include <boost/make_shared.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

std::map<long long, boost::shared_ptr<LBCPerfCounters>> g_mapPerJobPerfCounters;
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

// The job's set and the process totals, looked up (or entered) under the
// lock. Job id 0 has no set of its own: its set is the process totals, which
// are then returned once, so that its samples are not counted twice there.
//
// Sets are never removed but by TEST_ClearPerJobPerfCounters, so each thread
// keeps its last lookup and takes the process-wide lock only for another job
// id or after a clear (which bumps the generation): threads on distinct afiles
// would otherwise queue on that lock several times per request.
std::atomic<unsigned long> g_perJobGeneration{0};

// One thread's last lookup: the job's set (the process totals for job id 0)
// and the process totals.
struct LastLookup {
    unsigned long generation = 0;
    bool valid = false;
    long long jobId = 0;
    boost::shared_ptr<LBCPerfCounters> jobSet, processSet;

    bool Holds(long long id) const {
        return valid && jobId == id && generation == g_perJobGeneration.load(std::memory_order_acquire);
    }
    // Looks up (or enters) the job's set, and the process totals when asked.
    void Refresh(long long id, bool withProcessSet) {
        auto_lock guard(&g_lockPerJobPerfCounters);
        processSet = withProcessSet ? FindOrEnterLocked(0) : boost::shared_ptr<LBCPerfCounters>();
        jobSet = FindOrEnterLocked(id);
        generation = g_perJobGeneration.load(std::memory_order_relaxed);
        jobId = id;
        valid = true;
    }
};

// Set when this thread's kept lookups are destroyed; trivially destructible,
// so it is still readable afterwards: a thread that counts after its own
// thread objects went (a Writer released by a host's static at exit) looks
// up afresh each time.
thread_local bool t_lookupsGone = false;

struct ThreadLookups {
    ~ThreadLookups() { t_lookupsGone = true; }
    LastLookup withProcessSet;
    LastLookup jobSetOnly;
};
thread_local ThreadLookups t_lookups;

LastLookup& KeptOrFresh(LastLookup ThreadLookups::*kept, LastLookup& fresh) {
    return t_lookupsGone ? fresh : t_lookups.*kept;
}

void GetJobAndProcessSets(long long jobId, boost::shared_ptr<LBCPerfCounters>& jobSet,
                          boost::shared_ptr<LBCPerfCounters>& processSet) {
    LastLookup fresh;
    LastLookup& last = KeptOrFresh(&ThreadLookups::withProcessSet, fresh);
    if (!last.Holds(jobId)) last.Refresh(jobId, true);
    if (jobId != 0) jobSet = last.jobSet;
    processSet = last.processSet;
}

// A slot outside 0..24 has no counter and takes no sample.
boost::shared_ptr<CAutoTimeCounter> StartSample(const boost::shared_ptr<LBCPerfCounters>& set,
                                                LBCPerfCounters::Slot slot) {
    boost::shared_ptr<CPerfCounter> counter = set ? set->Counter(slot) : boost::shared_ptr<CPerfCounter>();
    return counter ? counter->GetAutoObject() : boost::shared_ptr<CAutoTimeCounter>();
}

void AddSamples(const boost::shared_ptr<LBCPerfCounters>& set, LBCPerfCounters::Slot slot, long long samples) {
    boost::shared_ptr<CPerfCounter> counter = set ? set->Counter(slot) : boost::shared_ptr<CPerfCounter>();
    if (counter) counter->UpdateTimer(boost::make_shared<CTimeCounter>(CTimeInterval(), samples));
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
    LastLookup fresh;
    LastLookup& last = KeptOrFresh(&ThreadLookups::jobSetOnly, fresh);
    if (!last.Holds(jobId)) last.Refresh(jobId, false);
    return last.jobSet;
}

std::vector<std::pair<long long, boost::shared_ptr<LBCPerfCounters>>> SnapshotPerJobPerfCounters() {
    auto_lock guard(&g_lockPerJobPerfCounters);
    return std::vector<std::pair<long long, boost::shared_ptr<LBCPerfCounters>>>(g_mapPerJobPerfCounters.begin(),
                                                                                 g_mapPerJobPerfCounters.end());
}

PerJobSpan::PerJobSpan(long long jobId, LBCPerfCounters::Slot slot) {
    boost::shared_ptr<LBCPerfCounters> jobSet, processSet;
    GetJobAndProcessSets(jobId, jobSet, processSet);
    // Started after the lock is released: the lookup is not part of the step.
    jobSample = StartSample(jobSet, slot);
    processSample = StartSample(processSet, slot);
}

PerJobSpan::~PerJobSpan() { End(); }

void PerJobSpan::End() {
    // Reset, not End(): the samples end when their last reference goes.
    jobSample.reset();
    processSample.reset();
}

void PerJobCount(long long jobId, LBCPerfCounters::Slot slot) {
    boost::shared_ptr<LBCPerfCounters> jobSet, processSet;
    GetJobAndProcessSets(jobId, jobSet, processSet);
    AddSamples(jobSet, slot, 1);
    AddSamples(processSet, slot, 1);
}

void PerJobBytes(long long jobId, LBCPerfCounters::Slot slot, unsigned long long bytes) {
    // The process totals receive no bytes, and job id 0's set is the process totals.
    if (jobId == 0) return;
    AddSamples(GetPerJobPerfCounters(jobId), slot, static_cast<long long>(bytes));
}

ProcessSpan::ProcessSpan(LBCPerfCounters::Slot slot) {
    sample = StartSample(LoadLBCPerfCounters(), slot);
}

ProcessSpan::~ProcessSpan() { End(); }

void ProcessSpan::End() { sample.reset(); }

void TEST_ClearPerJobPerfCounters() {
    auto_lock guard(&g_lockPerJobPerfCounters);
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
