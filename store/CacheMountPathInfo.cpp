#include "store/CacheMountPathInfo.h"

#include "platform/FXString.h"

#include <cstdint>

std::string CacheMountPathInfo::AsString() const {
    // "%d" takes an int: the 64-bit fields are cut to 32 bits on purpose.
    auto i32 = [](int64_t v) { return static_cast<int>(static_cast<int32_t>(v)); };
    return FXString::Format(
        "MMPathId=%d, Path=%s, AvailSpace=%d, MountPathType=%d, User=%s,  MediaId=%d, MediaSideId=%d, "
        "IsOffline=%d, ForeignAgentId=%d, SizeOfValidData=%lld, Attribute=%d",
        i32(mountPath.getMMPathId()), mountPath.getPath().c_str(), i32(mountPath.getAvailSpace()),
        i32(mountPath.getMountPathType()), mountPath.getUser().c_str(), i32(mountPath.getMediaId()),
        i32(mountPath.getMediaSideId()), i32(mountPath.getIsOffline()), i32(mountPath.getForeignAgentId()),
        static_cast<long long>(mountPath.getSizeOfValidData()), i32(mountPath.getAttribute()));
}
