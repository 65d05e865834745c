#include "store/CacheSyncObject.h"

#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "platform/LockOrder.h"
#include "store/Cache.h"
#include "store/CacheLookup.h"

#include <boost/make_shared.hpp>

FXCriticalSection CCacheSyncObject::s_lockWriteSync(static_cast<uint16_t>(LockRank::WriteSync), "write/prune");
std::set<CCacheSyncObject::WriteKey> CCacheSyncObject::c_setOngoingWrites;
std::set<CCacheSyncObject::PruningMark, CCacheSyncObject::PruningMarkCompare> CCacheSyncObject::c_setVMsInPruning;

namespace {

// Takes the write/prune lock, timing only the wait in slot 6 of the job.
void LockTimed(long long jobId) {
    PerJobSpan wait(jobId, LBCPerfCounters::SlotLockWrite);
    CCacheSyncObject::s_lockWriteSync.Lock();
    wait.End();
}

}  // namespace

bool CCacheSyncObject::VMCompare::operator()(const VMPtr& a, const VMPtr& b) const {
    if (!a || !b) return !a && b;
    return *a < *b;
}

bool CCacheSyncObject::ExtentCompare::operator()(const ExtentConstPtr& a, const ExtentConstPtr& b) const {
    if (!a || !b) return !a && b;
    if (a->TessarelID != b->TessarelID) return a->TessarelID < b->TessarelID;
    if (a->CopyID != b->CopyID) return a->CopyID < b->CopyID;
    if (a->AfileID != b->AfileID) return a->AfileID < b->AfileID;
    return a->AfileOffset < b->AfileOffset;
}

bool CCacheSyncObject::PruningMarkCompare::operator()(const PruningMark& a, const PruningMark& b) const {
    if (a.first != b.first) return a.first < b.first;
    return VMCompare()(a.second, b.second);
}

CCacheSyncObject::CCacheSyncObject(ExtentConstPtr extent, bool forWrite)
    : extent(extent), pruningDone(true), writeAdmitted(true) {
    LockTimed(extent ? extent->JobID : 0);
    if (!forWrite) return;
    try {
        AdmitWrite(extent ? GetCache(extent->AfileID, extent->CopyID) : CachePtr());
    } catch (...) {
        s_lockWriteSync.Unlock();
        throw;
    }
}

CCacheSyncObject::CCacheSyncObject(VMPtr vm, const std::string& location)
    : vm(vm), location(location), pruningDone(true), writeAdmitted(true) {
    LockTimed(vm ? vm->JobID : 0);
}

CCacheSyncObject::~CCacheSyncObject() {
    DoneVMPruningProcessing();
    s_lockWriteSync.Unlock();
}

void CCacheSyncObject::AdmitWrite(const CachePtr& cache) {
    if (!extent) {
        writeAdmitted = false;
        return;
    }
    // Without its cache there is no maintenance flag to test, and no write
    // could go anywhere.
    if (!cache) {
        LBC_LOG(1, "No cache found for extent %s; write refused", extent->AsUniqueKey().c_str());
        writeAdmitted = false;
        return;
    }
    if (cache->IsInMaintenance()) {
        writeAdmitted = false;
        return;
    }
    const WriteKey key(*extent);
    if (c_setOngoingWrites.count(key) != 0) {
        LBC_LOG(0, "Extent write is in progress for %s", extent->AsUniqueKey().c_str());
        writeAdmitted = false;
        return;
    }
    LBC_LOG(5, "Extent write begin for %s", extent->AsUniqueKey().c_str());
    c_setOngoingWrites.insert(key);
    boost::shared_ptr<LBCPerfCounters> counters = LoadLBCPerfCounters();
    if (counters) counters->RaiseSimultaneousWrites(static_cast<uint32_t>(c_setOngoingWrites.size()));
}

bool CCacheSyncObject::ExtentWriteBegin(ExtentConstPtr extent) {
    CCacheSyncObject holder(extent, true);
    return holder.writeAdmitted;
}

bool CCacheSyncObject::ExtentWriteBegin(ExtentConstPtr extent, const CachePtr& cache) {
    CCacheSyncObject holder(extent, false);
    holder.AdmitWrite(cache);
    return holder.writeAdmitted;
}

void CCacheSyncObject::ExtentWriteDone(ExtentConstPtr extent) {
    CCacheSyncObject holder(extent, false);
    if (!extent) return;
    std::set<WriteKey>::iterator it = c_setOngoingWrites.find(WriteKey(*extent));
    if (it == c_setOngoingWrites.end()) return;
    LBC_LOG(5, "Extent write done for %s", extent->AsUniqueKey().c_str());
    c_setOngoingWrites.erase(it);
}

bool CCacheSyncObject::Execute(std::function<bool()> function) {
    auto_lock lock(&s_lockWriteSync);
    return function ? function() : false;
}

bool CCacheSyncObject::IsExtentWriteInProgress() {
    auto_lock lock(&s_lockWriteSync);
    return !c_setOngoingWrites.empty();
}

bool CCacheSyncObject::IsVMInPruning(VMPtr vm, const std::string& location) {
    return vm && c_setVMsInPruning.count(PruningMark(location, vm)) != 0;
}

void CCacheSyncObject::MarkVMInPruning(VMPtr vm, const std::string& location) {
    if (vm) c_setVMsInPruning.insert(PruningMark(location, vm));
}

void CCacheSyncObject::UnmarkVMInPruning(VMPtr vm, const std::string& location) {
    if (vm) c_setVMsInPruning.erase(PruningMark(location, vm));
}

const VMPtr& CCacheSyncObject::HolderVM() {
    if (!vm && extent)
        vm = boost::make_shared<VM>(extent->TessarelID, extent->CopyID, extent->AfileID, std::string(), 0, 0,
                                    std::string());
    return vm;
}

void CCacheSyncObject::MarkVMInPruning() {
    MarkVMInPruning(HolderVM(), location);
    pruningDone = false;
}

bool CCacheSyncObject::IsVMInPruning() { return IsVMInPruning(HolderVM(), location); }

void CCacheSyncObject::DoneVMPruningProcessing() {
    if (pruningDone) return;
    UnmarkVMInPruning(vm, location);
    pruningDone = true;
}
