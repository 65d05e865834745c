#include "platform/ArMgrClientAPI.h"

#include "platform/LockOrder.h"

#include <map>
#include <mutex>

namespace {

struct AfileInfoTable {
    RankedMutex mutex{LockRank::PlatformAnswers, "media answers"};
    // guarded by mutex
    std::map<int64_t, GetAfileInfoRetTR_t> replies;
    int failure = 0;
    int calls = 0;
    GetAfileInfoArgsTR_t lastArgs;
};

// Never destroyed: a pruner thread may still ask while the library unloads.
AfileInfoTable& Table() {
    static AfileInfoTable* table = new AfileInfoTable;
    return *table;
}

}  // namespace

int ArMgrClientAPI::getAfileInfo(const GetAfileInfoArgsTR_t* args, GetAfileInfoRetTR_t* reply) {
    AfileInfoTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    ++t.calls;
    if (args == nullptr || reply == nullptr) return kBadArguments;
    t.lastArgs = *args;
    if (t.failure != 0) return t.failure;
    auto it = t.replies.find(args->afileId);
    if (it == t.replies.end()) return kAfileNotFound;
    *reply = it->second;
    return 0;
}

void ArMgrClientAPI::TEST_ResetAll() {
    AfileInfoTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.replies.clear();
    t.failure = 0;
    t.calls = 0;
    t.lastArgs = GetAfileInfoArgsTR_t();
}

void ArMgrClientAPI::TEST_SetAfileInfo(int64_t afileId, const GetAfileInfoRetTR_t& reply) {
    AfileInfoTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.replies[afileId] = reply;
}

void ArMgrClientAPI::TEST_SetFailure(int code) {
    AfileInfoTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.failure = code;
}

int ArMgrClientAPI::TEST_Calls() {
    AfileInfoTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.calls;
}

GetAfileInfoArgsTR_t ArMgrClientAPI::TEST_LastArgs() {
    AfileInfoTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastArgs;
}
