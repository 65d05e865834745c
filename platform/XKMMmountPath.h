#pragma once
// The media manager's client for cache mount paths, and the reply message it
// fills. Here an in-process responder that tests program; every client reads
// the one process-wide table.
//
// An afile copy with no answer set gets status 0 and an empty list, so the
// caller falls back to its local cache folder. A set answer is handed out as
// it stands: status -1 may come with a non-empty list, as a failing media
// manager may leave one behind.
//
// All members are thread-safe.

#include "platform/MountPathInfo.h"

#include <functional>
#include <vector>

namespace MediaManager {

// The reply of a cache mount-path request (message 10, 205): field 1 is the
// list of the mount paths assigned to the afile copy, best first.
class MountPathInfoList : public CNMessageBase {
public:
    enum : int { kMountPathInfo = 1 };

    MountPathInfoList() : CNMessageBase(10, 205) {}

    int getMountPathInfoCount() const { return static_cast<int>(mountPathInfo.size()); }
    bool isMountPathInfoEmpty() const { return mountPathInfo.empty(); }
    // index must be below the count.
    const MountPathInfo& getMountPathInfo(int index) const { return mountPathInfo.at(static_cast<size_t>(index)); }
    const std::vector<MountPathInfo>& getMountPathInfoList() const { return mountPathInfo; }
    void addMountPathInfo(const MountPathInfo& info) { mountPathInfo.push_back(info); }
    void clearMountPathInfo() { mountPathInfo.clear(); }

private:
    std::vector<MountPathInfo> mountPathInfo;
};

}  // namespace MediaManager

class XKMMmountPath {
public:
    // What a responder answers for one request; the list replaces the reply's.
    struct TEST_Answer {
        int status = 0;
        std::vector<MediaManager::MountPathInfo> mountPaths;
    };
    using TEST_Responder = std::function<TEST_Answer(int afileId, int copyId, int clientId)>;

    // clientType: the kind of caller the media manager serves (2 for this
    // library); kept for the request and not otherwise read.
    explicit XKMMmountPath(int clientType) : clientType(clientType) {}
    ~XKMMmountPath() = default;
    XKMMmountPath(const XKMMmountPath&) = delete;
    XKMMmountPath& operator=(const XKMMmountPath&) = delete;

    // The cache mount paths of an afile copy into reply's list (replacing
    // what it held); 0 on success, -1 when the request failed.
    int getCacheMountPathInfo(int afileId, int copyId, int clientId, MediaManager::MountPathInfoList& reply);

    // Answers for tests, keyed like the request by the low 32 bits of the ids.
    static void TEST_ResetAll();
    static void TEST_SetAnswer(long long afileId, unsigned long copyId, const TEST_Answer& answer);
    static void TEST_SetDefaultAnswer(const TEST_Answer& answer);
    // Answers every request in place of the table while set (an empty
    // function clears it). Called without the table's lock, so it may block,
    // e.g. to hold a request open while a test looks at its caller.
    static void TEST_SetResponder(TEST_Responder responder);
    static int TEST_Calls();
    static int TEST_Calls(long long afileId, unsigned long copyId);
    static int TEST_LastClientId();
    static int TEST_LastClientType();

private:
    const int clientType;
};
