#pragma once
// A configured service for one test. SetUp clears the configuration store and
// the platform's responders, turns the gate on, puts the job results folder
// (and so the local cache folder and the staging folder) and the log folder
// under a fresh TempDir, sets up logging and captures every line at level 5.
// StartService gets the instance as the host does and then starts it again in
// test mode; TearDown (or StopService) destroys it and the service behind it,
// so that no thread or open database of one test outlives it.

#include "LiveBrowseCache.h"
#include "platform/EvDebug.h"
#include "service/LiveBrowseCacheImpl.h"
#include "store/Cache.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class ServiceFixture : public ::testing::Test {
protected:
    static constexpr const char* kKey = "VirtualServer";

    void SetUp() override;
    void TearDown() override;

    // GetInstance, then InitializeInTestMode with the job results folder;
    // fails the test (null) when either does not succeed.
    CLiveBrowseCache* StartService();
    // DestroyInstance, then the published implementation is released: its
    // threads are stopped and its locations written back.
    void StopService();
    // The published implementation; empty when there is none.
    static CLiveBrowseCacheImplPtr Impl() { return LoadCacheImpl(); }

    std::string JobResultsFolder() const { return temp.sub("JobResults"); }
    std::string LocalCacheFolder() const { return JobResultsFolder() + "/LiveBrowseCache"; }
    std::string StagingFolder() const { return LocalCacheFolder() + "/Temp/DB"; }
    std::string LogFolder() const { return temp.sub("logs"); }

    // A local cache location over root without the service: its Cache and
    // top-level CacheDB, initialised (test failure otherwise).
    static void MakeLocalLocation(const std::string& root, CachePtr& cache, CacheDBPtr& db);

    // Captured lines, and the number of them of that level whose text is
    // exactly `text` (Count) or contains it (CountContaining).
    static std::vector<EvDebug::CapturedLine> Lines();
    static size_t Count(int level, const std::string& text);
    static size_t CountContaining(const std::string& text);
    static void ClearLines() { EvDebug::TEST_StartCapture(); }

    // Threads of this process (/proc/self/task), a sanitizer's own included.
    static int ThreadCount();
    // Polls the condition until it holds or the limit passes.
    static bool WaitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(20000));

    static bool Exists(const std::string& path);
    static bool IsFolder(const std::string& path);

    TempDir temp;
};
