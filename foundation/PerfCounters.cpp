#include "foundation/PerfCounters.h"

#include <boost/make_shared.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

std::map<long long, boost::shared_ptr<LBCPerfCounters>> g_mapPerJobPerfCounters;
FXCriticalSection g_lockPerJobPerfCounters;

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
void GetJobAndProcessSets(long long jobId, boost::shared_ptr<LBCPerfCounters>& jobSet,
                          boost::shared_ptr<LBCPerfCounters>& processSet) {
    auto_lock guard(&g_lockPerJobPerfCounters);
    processSet = FindOrEnterLocked(0);
    if (jobId != 0) jobSet = FindOrEnterLocked(jobId);
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
    auto_lock guard(&g_lockPerJobPerfCounters);
    return FindOrEnterLocked(jobId);
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
}
