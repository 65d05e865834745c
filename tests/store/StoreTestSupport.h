#pragma once
// Shared by the data-store tests: a cache location on the local disk or
// behind the loopback data server.

#include "platform/LoopbackFS.h"
#include "platform/SystemClock.h"
#include "store/CacheFileIO.h"
#include "store/CacheMountPathInfo.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

// One cache location for a test: `root` is the path the code is given (for a
// data-server location the six-field mount-path text), `backing` the local
// folder where its files really are.
struct TestLocation {
    static constexpr const char* kHost = "h5-loopback";

    bool remote = false;
    std::string root;
    std::string backing;
    boost::any info;  // empty, or the CacheMountPathInfo of the data server

    static TestLocation Make(const TempDir& dir, bool remote, const std::string& name = "loc") {
        TestLocation location;
        location.remote = remote;
        if (!remote) {
            location.root = location.backing = dir.sub(name);
            ::mkdir(location.root.c_str(), 0755);
            return location;
        }
        std::string served = dir.sub(name + "-served");
        ::mkdir(served.c_str(), 0755);
        LoopbackFS::TEST_ServeHost(kHost, served);
        CacheMountPathInfo mountPath;
        std::string text = std::string("IP|10|20|") + kHost + "|30|/vol";
        mountPath.mountPath.setMMPathId(7);
        mountPath.mountPath.setPath(text);
        EXPECT_TRUE(CCacheFileIO::ParseDataServerMountPath(text, mountPath.fsParams));
        location.root = text;
        location.backing = served + "/vol";
        ::mkdir(location.backing.c_str(), 0755);
        location.info = mountPath;
        return location;
    }

    CCacheFileIOPtr NewIO() {
        boost::any copy = info;
        return boost::make_shared<CCacheFileIO>(copy);
    }
    // The path the code uses, and the local path of the same file.
    std::string Path(const std::string& relative) const { return root + "/" + relative; }
    std::string Local(const std::string& relative) const { return backing + "/" + relative; }
};

inline std::string LocationName(const testing::TestParamInfo<bool>& info) {
    return info.param ? "Remote" : "Local";
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline long long FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

inline void MakeFolders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
    }
}
