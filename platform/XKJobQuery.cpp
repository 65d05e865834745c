#include "platform/XKJobQuery.h"

#include "platform/LockOrder.h"

#include <map>
#include <mutex>

namespace {

struct JobQueryTable {
    RankedMutex mutex{LockRank::PlatformAnswers, "job states"};
    // guarded by mutex
    std::map<long long, int> states;
    int defaultState = XKJobQuery::kStateRunning;
    bool initFails = false;
    int initCalls = 0;
    int getJobStateCalls = 0;
    std::string lastInitHost;
    int lastPlatformType = XKS_PLATFORMTYPE_UNKNOWN;
};

// Never destroyed: pruner threads may still ask while the library unloads.
JobQueryTable& Table() {
    static JobQueryTable* table = new JobQueryTable;
    return *table;
}

}  // namespace

void XKJobQuery::setPlatformType(XKS_PLATFORMTYPE type) {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.lastPlatformType = type;
}

bool XKJobQuery::init(const std::string& host) {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    ++t.initCalls;
    t.lastInitHost = host;
    initialized = !t.initFails && !host.empty();
    return initialized;
}

int XKJobQuery::getJobState(long long jobId) {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    ++t.getJobStateCalls;
    if (!initialized) return kStateFailed;
    auto it = t.states.find(jobId);
    return it == t.states.end() ? t.defaultState : it->second;
}

void XKJobQuery::TEST_ResetAll() {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.states.clear();
    t.defaultState = kStateRunning;
    t.initFails = false;
    t.initCalls = 0;
    t.getJobStateCalls = 0;
    t.lastInitHost.clear();
    t.lastPlatformType = XKS_PLATFORMTYPE_UNKNOWN;
}

void XKJobQuery::TEST_SetJobState(long long jobId, int state) {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.states[jobId] = state;
}

void XKJobQuery::TEST_SetDefaultJobState(int state) {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.defaultState = state;
}

void XKJobQuery::TEST_SetInitFails(bool fail) {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.initFails = fail;
}

int XKJobQuery::TEST_InitCalls() {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.initCalls;
}

int XKJobQuery::TEST_GetJobStateCalls() {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.getJobStateCalls;
}

std::string XKJobQuery::TEST_LastInitHost() {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastInitHost;
}

int XKJobQuery::TEST_LastPlatformType() {
    JobQueryTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastPlatformType;
}
