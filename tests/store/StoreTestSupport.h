#pragma once
// Shared by the data-store tests: a log writer that keeps every line, and a
// cache location on the local disk or behind the loopback data server.

#include "foundation/LogWriter.h"
#include "platform/LoopbackFS.h"
#include "platform/SystemClock.h"
#include "store/CacheFileIO.h"
#include "store/CacheMountPathInfo.h"
#include "support/TempDir.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// Installed for its lifetime; keeps the lines of every level up to 5.
class LogCapture : public CLogWriterInterface {
public:
    struct Line {
        int level;
        std::string text;
    };

    static boost::shared_ptr<LogCapture> Install() {
        boost::shared_ptr<LogCapture> capture = boost::make_shared<LogCapture>();
        capture->previous = LoadLogWriterLBC();
        StoreLogWriterLBC(capture);
        return capture;
    }
    void Uninstall() { StoreLogWriterLBC(previous); }

    // Lines of that level that contain the text.
    int Count(int level, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const Line& l : lines)
            if (l.level == level && l.text.find(text) != std::string::npos) ++n;
        return n;
    }
    int CountAny(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const Line& l : lines)
            if (l.text.find(text) != std::string::npos) ++n;
        return n;
    }
    size_t Size() {
        std::lock_guard<std::mutex> guard(lock);
        return lines.size();
    }

    bool Initialize() override { return true; }
    void SetLogAppName(const std::string&) override {}
    void SetLogFileName(const std::string&) override {}
    void LogMessage(int level, const char* function, unsigned line, unsigned long long jobId, const char* context,
                    const char* format, ...) override {
        va_list args;
        va_start(args, format);
        LogMessageV(level, function, line, jobId, context, format, args);
        va_end(args);
    }
    void LogMessageV(int level, const char*, unsigned, unsigned long long, const char*, const char* format,
                     va_list args) override {
        char buffer[4096];
        vsnprintf(buffer, sizeof buffer, format, args);
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back({level, buffer});
    }
    void RefreshConfiguration() override {}
    int GetDebugLevel() override { return 5; }
    void SetDebugLevel(int) override {}
    unsigned GetDebugMask() override { return 0; }
    void SetDebugMask(unsigned) override {}
    boost::shared_ptr<CLogWriterInterfaceThreadWrapper> GetThreadAttachment() override {
        return boost::shared_ptr<CLogWriterInterfaceThreadWrapper>();
    }

private:
    boost::shared_ptr<CLogWriterInterface> previous;
    std::mutex lock;
    std::vector<Line> lines;
};

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
