#include "platform/XKMMmountPath.h"

#include "platform/LockOrder.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace {

using CopyKey = std::pair<int, int>;

CopyKey KeyOf(long long afileId, unsigned long copyId) {
    return CopyKey(static_cast<int>(static_cast<uint32_t>(afileId)), static_cast<int>(static_cast<uint32_t>(copyId)));
}

struct MountPathTable {
    RankedMutex mutex{LockRank::PlatformAnswers, "mount-path answers"};
    // guarded by mutex
    std::map<CopyKey, XKMMmountPath::TEST_Answer> answers;
    XKMMmountPath::TEST_Answer defaultAnswer;
    XKMMmountPath::TEST_Responder responder;
    std::map<CopyKey, int> callsPerCopy;
    int calls = 0;
    int lastClientId = 0;
    int lastClientType = 0;
};

// Never destroyed: a request may still be under way while the library unloads.
MountPathTable& Table() {
    static MountPathTable* table = new MountPathTable;
    return *table;
}

}  // namespace

int XKMMmountPath::getCacheMountPathInfo(int afileId, int copyId, int clientId,
                                         MediaManager::MountPathInfoList& reply) {
    MountPathTable& t = Table();
    TEST_Answer answer;
    TEST_Responder responder;
    {
        std::lock_guard<RankedMutex> guard(t.mutex);
        CopyKey key(afileId, copyId);
        ++t.calls;
        ++t.callsPerCopy[key];
        t.lastClientId = clientId;
        t.lastClientType = clientType;
        responder = t.responder;
        if (!responder) {
            auto it = t.answers.find(key);
            answer = it == t.answers.end() ? t.defaultAnswer : it->second;
        }
    }
    if (responder) answer = responder(afileId, copyId, clientId);

    reply.clearMountPathInfo();
    for (const MediaManager::MountPathInfo& info : answer.mountPaths) reply.addMountPathInfo(info);
    return answer.status;
}

void XKMMmountPath::TEST_ResetAll() {
    MountPathTable& t = Table();
    TEST_Responder old;
    {
        std::lock_guard<RankedMutex> guard(t.mutex);
        t.answers.clear();
        t.defaultAnswer = TEST_Answer();
        old.swap(t.responder);
        t.callsPerCopy.clear();
        t.calls = 0;
        t.lastClientId = 0;
        t.lastClientType = 0;
    }
    // old is destroyed here, outside the lock: it may own what a test captured.
}

void XKMMmountPath::TEST_SetAnswer(long long afileId, unsigned long copyId, const TEST_Answer& answer) {
    MountPathTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.answers[KeyOf(afileId, copyId)] = answer;
}

void XKMMmountPath::TEST_SetDefaultAnswer(const TEST_Answer& answer) {
    MountPathTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.defaultAnswer = answer;
}

void XKMMmountPath::TEST_SetResponder(TEST_Responder responder) {
    MountPathTable& t = Table();
    {
        std::lock_guard<RankedMutex> guard(t.mutex);
        t.responder.swap(responder);
    }
    // the previous responder (now in the argument) is destroyed outside the lock.
}

int XKMMmountPath::TEST_Calls() {
    MountPathTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.calls;
}

int XKMMmountPath::TEST_Calls(long long afileId, unsigned long copyId) {
    MountPathTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    auto it = t.callsPerCopy.find(KeyOf(afileId, copyId));
    return it == t.callsPerCopy.end() ? 0 : it->second;
}

int XKMMmountPath::TEST_LastClientId() {
    MountPathTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastClientId;
}

int XKMMmountPath::TEST_LastClientType() {
    MountPathTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastClientType;
}
