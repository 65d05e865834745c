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
#include "support/Waits.h"

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
    // Captured lines of that level that contain the text.
    static size_t CountAt(int level, const std::string& text);
    static void ClearLines() { EvDebug::TEST_StartCapture(); }


    static bool Exists(const std::string& path);
    static bool IsFolder(const std::string& path);

    TempDir temp;
};

// A started service, the clock frozen at kNow, and the host's two roads
// through the facade for one tessarel, copy and job.
class StartedServiceFixture : public ServiceFixture {
protected:
    static constexpr unsigned int kTessarel = 7;
    static constexpr unsigned int kCopy = 1;
    static constexpr long long kJob = 55;
    static constexpr int64_t kNow = 1700000000;

    void SetUp() override;
    // What a fixture sets up after the configuration and before the start.
    virtual void BeforeStart() {}

    // Admission, one Write per chunk (all at once when chunk is 0), Close;
    // the first failure is returned.
    CZoError WriteExtent(long long afile, long long offset, const std::string& bytes, long long flags = 0,
                         size_t chunk = 0);
    // The whole extent through a Reader; empty on failure (err says why).
    std::string ReadExtent(long long afile, long long offset, CZoError& err, long long flags = 0);

    CLiveBrowseCache* lbc = nullptr;
};
