#pragma once
// The media manager's description of one cache mount path, as generated from
// its message definition (message 10, 203).

#include "platform/CNMessageBase.h"

namespace MediaManager {

class MountPathInfo : public CNMessageBase {
public:
    // Field numbers of the definition.
    enum : int {
        kMMPathId = 1,
        kPath = 3,
        kAvailSpace = 8,
        kUser = 11,
        kUserSub = 14,
        kMediaId = 22,
        kMediaSideId = 23,
        kIsOffline = 24,
        kMountPathType = 26,
        kForeignAgentId = 27,
        kSizeOfValidData = 30,
        kAttribute = 31,
    };

    MountPathInfo() : CNMessageBase(10, 203) {}

    int64_t getMMPathId() const { return getint64(kMMPathId); }
    void setMMPathId(int64_t v) { setint64(kMMPathId, v); }
    const std::string& getPath() const { return getstringByRef(kPath, kPath); }
    void setPath(const std::string& v) { setstring(kPath, kPath, v); }
    int64_t getAvailSpace() const { return getint64(kAvailSpace); }
    void setAvailSpace(int64_t v) { setint64(kAvailSpace, v); }
    int64_t getMountPathType() const { return getint64(kMountPathType); }
    void setMountPathType(int64_t v) { setint64(kMountPathType, v); }
    const std::string& getUser() const { return getstringByRef(kUser, kUserSub); }
    void setUser(const std::string& v) { setstring(kUser, kUserSub, v); }
    int64_t getMediaId() const { return getint64(kMediaId); }
    void setMediaId(int64_t v) { setint64(kMediaId, v); }
    int64_t getMediaSideId() const { return getint64(kMediaSideId); }
    void setMediaSideId(int64_t v) { setint64(kMediaSideId, v); }
    int64_t getIsOffline() const { return getint64(kIsOffline); }
    void setIsOffline(int64_t v) { setint64(kIsOffline, v); }
    int64_t getForeignAgentId() const { return getint64(kForeignAgentId); }
    void setForeignAgentId(int64_t v) { setint64(kForeignAgentId, v); }
    int64_t getSizeOfValidData() const { return getint64(kSizeOfValidData); }
    void setSizeOfValidData(int64_t v) { setint64(kSizeOfValidData, v); }
    int64_t getAttribute() const { return getint64(kAttribute); }
    void setAttribute(int64_t v) { setint64(kAttribute, v); }
};

}  // namespace MediaManager
