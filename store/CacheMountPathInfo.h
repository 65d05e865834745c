#pragma once
// A media-manager cache mount path together with the FS client's connection
// parameters for it. Travels inside a boost::any from the service to the
// cache of the location and to every CCacheFileIO made for it; an empty any
// stands for a local location.

#include "platform/CFSInterface.h"
#include "platform/MountPathInfo.h"

#include <string>

class CacheMountPathInfo {
public:
    CacheMountPathInfo() = default;
    CacheMountPathInfo(const CacheMountPathInfo&) = default;
    CacheMountPathInfo& operator=(const CacheMountPathInfo&) = default;
    ~CacheMountPathInfo() = default;

    // The message's fields on one line, for diagnostics; fsParams is not shown.
    std::string AsString() const;

    MediaManager::MountPathInfo mountPath;
    CFSInitParams fsParams;
};
