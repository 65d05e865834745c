// The service's life: its periodic duties, the replacement of the published
// implementation, shutdown and the release at unload.

#include "support/ChildProcess.h"
#include "support/ServiceFixture.h"

#include "foundation/DebugSimulation.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/SystemClock.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CacheDataPruner.h"
#include "pruning/CachePruner.h"

#include <boost/make_shared.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class ServiceLifecycleTest : public ServiceFixture {
protected:
    // A host forked from this process runs body; it must end by itself with 0.
    static void RunHost(const std::function<int(ForkedChild&)>& body, pid_t& pid) {
        ForkedChild host(body);
        ASSERT_TRUE(host.Started());
        pid = host.Pid();
        const int status = host.Wait();
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(0, WEXITSTATUS(status));
    }
    std::vector<std::string> LogLines() const {
        std::istringstream log(ReadWholeFile(LogFolder() + "/LiveBrowseCache.log"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);) lines.push_back(line);
        return lines;
    }
};

TEST_F(ServiceLifecycleTest, PeriodicStatisticsOfJobsAndOfTheProcess) {
    SystemClock::TEST_Freeze(1700000000);
    ASSERT_NE(nullptr, StartService());
    boost::shared_ptr<PeriodicUtilityThread> periodic = Impl()->TEST_PeriodicThread();
    const std::string processLine = "Process Stats (for last 10 minutes): " + std::string(38, '+');

    PerJobCount(42, LBCPerfCounters::SlotItemOpenForWrite);
    ClearLines();
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(1u, CountContaining("Job Stats: [42]"));
    EXPECT_EQ(0u, Count(0, processLine));

    PerJobCount(42, LBCPerfCounters::SlotItemOpenForWrite);
    SystemClock::TEST_AdvanceSeconds(599);
    ClearLines();
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(1u, CountContaining("Job Stats: [42]"));
    EXPECT_EQ(0u, Count(0, processLine));

    SystemClock::TEST_AdvanceSeconds(1);
    ClearLines();
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(0u, CountContaining("Job Stats: [42]"));  // it did not grow
    EXPECT_EQ(1u, Count(0, processLine));

    // Reported and reset: the next report is 600 seconds after this one.
    PerJobCount(42, LBCPerfCounters::SlotItemOpenForWrite);
    SystemClock::TEST_AdvanceSeconds(599);
    ClearLines();
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(0u, Count(0, processLine));
}

TEST_F(ServiceLifecycleTest, ConstructionReplacesTheProcessCounters) {
    boost::shared_ptr<LBCPerfCounters> before = boost::make_shared<LBCPerfCounters>();
    StoreLBCPerfCounters(before);
    ASSERT_NE(nullptr, StartService());
    boost::shared_ptr<LBCPerfCounters> after = LoadLBCPerfCounters();
    ASSERT_TRUE(after);
    EXPECT_NE(before, after);
}

TEST_F(ServiceLifecycleTest, ReplacingTheServiceTwentyTimes) {
    const int baseline = LibraryThreads();
    const std::string mm = temp.sub("mm");
    ::mkdir(mm.c_str(), 0755);
    XKMMmountPath::TEST_Answer answer;
    answer.mountPaths.resize(1);
    answer.mountPaths[0].setMMPathId(3);
    answer.mountPaths[0].setPath(mm);
    XKMMmountPath::TEST_SetAnswer(2, 1, answer);

    // Resolves as a pruner's pass does, through whatever is published.
    std::atomic<bool> done{false};
    std::atomic<int> found{0};
    std::thread resolver([&] {
        while (!done.load())
            if (GetCache(1, 1)) ++found;
    });

    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
        ASSERT_NE(nullptr, instance);
        // The old one ended inside GetInstance, unless the resolving thread
        // held it for a moment: it then ends there.
        EXPECT_LE(CLiveBrowseCacheImpl::TEST_LiveImplementations(), 2);
        // Its delay points stay armed through the old one's destruction.
        EXPECT_EQ(4u, DebugSimulation::TEST_ActivePoints().size());
        ASSERT_TRUE(GetCache(1, 1));
        ASSERT_TRUE(GetCache(2, 1));
        ASSERT_EQ(2u, Impl()->TEST_Pruners().size());
        CLiveBrowseCache::DestroyInstance();
    }
    EXPECT_TRUE(WaitFor([&] { return found.load() > 0; }));
    done = true;
    resolver.join();
    EXPECT_EQ(1, CLiveBrowseCacheImpl::TEST_LiveImplementations());

    ReleasePublishedCacheImpl();
    EXPECT_EQ(0, CLiveBrowseCacheImpl::TEST_LiveImplementations());
    EXPECT_TRUE(DebugSimulation::TEST_ActivePoints().empty());
    EXPECT_TRUE(WaitFor([&] { return LibraryThreads() == baseline; })) << LibraryThreads() << " threads, " << baseline
                                                                    << " before";
    EXPECT_EQ(20u, CountContaining("Live Browse Cache periodic thread STOPPED"));
    EXPECT_EQ(40u, CountContaining("Live Browse Cache pruner thread STOPPED"));
}

TEST_F(ServiceLifecycleTest, NoLibraryThreadOutlivesTheService) {
    const int baseline = LibraryThreads();
    ASSERT_NE(nullptr, StartService());
    const std::string mm = temp.sub("mm");
    ::mkdir(mm.c_str(), 0755);
    XKMMmountPath::TEST_Answer answer;
    answer.mountPaths.resize(1);
    answer.mountPaths[0].setMMPathId(8);
    answer.mountPaths[0].setPath(mm);
    XKMMmountPath::TEST_SetAnswer(5, 1, answer);
    ASSERT_TRUE(GetCache(4, 1));
    ASSERT_TRUE(GetCache(5, 1));

    // A pool started as the first pruned VM job starts it.
    std::vector<CachePrunerPtr> pruners = Impl()->TEST_Pruners();
    ASSERT_EQ(2u, pruners.size());
    ASSERT_FALSE(pruners[0]->TEST_DataPruner()->Start().IsError());
    pruners.clear();
    // periodic thread, two pruner threads, one pool thread
    EXPECT_EQ(baseline + 4, LibraryThreads());

    StopService();
    EXPECT_TRUE(WaitFor([&] { return LibraryThreads() == baseline; })) << LibraryThreads() << " threads, " << baseline
                                                                    << " before";
    EXPECT_EQ(1u, Count(0, "Live Browse Cache data pruner threadpool STOPPED"));
    EXPECT_EQ(2u, Count(0, "Live Browse Cache pruner thread STOPPED"));
    EXPECT_EQ(1u, Count(0, "Live Browse Cache periodic thread STOPPED"));
    // The locations were released with the service: their folders stay.
    EXPECT_TRUE(IsFolder(mm + "/DB"));
}

TEST_F(ServiceLifecycleTest, ThreadsAreStoppedBeforeAReplacementIsPublished) {
    ASSERT_NE(nullptr, StartService());
    ASSERT_TRUE(GetCache(4, 1));
    CachePrunerPtr oldPruner = Impl()->TEST_Pruners().at(0);
    boost::shared_ptr<PeriodicUtilityThread> oldPeriodic = Impl()->TEST_PeriodicThread();
    CLiveBrowseCacheImplPtr old = Impl();
    CLiveBrowseCache::DestroyInstance();

    ASSERT_NE(nullptr, CLiveBrowseCache::GetInstance());
    // The old service is still held here, yet its threads have ended and it
    // makes no new location.
    EXPECT_FALSE(oldPruner->IsRunning());
    EXPECT_FALSE(oldPeriodic->IsRunning());
    const std::string mm = temp.sub("mm");
    ::mkdir(mm.c_str(), 0755);
    XKMMmountPath::TEST_Answer answer;
    answer.mountPaths.resize(1);
    answer.mountPaths[0].setMMPathId(6);
    answer.mountPaths[0].setPath(mm);
    XKMMmountPath::TEST_SetAnswer(77, 1, answer);
    CachePtr cache;
    CacheDBPtr db;
    EXPECT_TRUE(old->GetConfiguredCache(77, 1, cache, db).IsError());
    EXPECT_FALSE(Exists(mm + "/DATA"));
    // A location it made before still answers.
    EXPECT_FALSE(old->GetConfiguredCache(4, 1, cache, db).IsError());
    EXPECT_NE(old, Impl());
}

// What the configuration store cannot read reaches the debug log at level -1,
// also a seed-file line read before logging was set up.
TEST_F(ServiceLifecycleTest, ConfigurationNoticesReachTheDebugLog) {
    XKPlatformInfo::SetNoticeLog(nullptr);
    const std::string seed = temp.sub("lbc.conf");
    WriteWholeFile(seed, "[Platform] # identity\nJobResultsDirectory\n");
    ASSERT_TRUE(XKPlatformInfo::TEST_LoadFile(seed));
    ASSERT_NE(nullptr, StartService());

    XKPlatformInfo::TEST_Set(kKey, "bClearLBCStats", "please");
    bool clear = false;
    EXPECT_EQ(0, XKPlatformInfo().getBoolean(kKey, "bClearLBCStats", &clear));
    EXPECT_EQ(1u, Count(-1, "Cannot read line 2 of the configuration file [" + seed + "]: [JobResultsDirectory]"));
    EXPECT_EQ(1u, Count(-1, "Configuration value [VirtualServer\\bClearLBCStats] = [please] is not a boolean; "
                            "taken as absent"));
}

// exit() without DestroyInstance: the unload guard stops every thread of the
// service and releases it while the log writer still works.
TEST_F(ServiceLifecycleTest, UnloadReleasesAFacadeTheHostNeverDestroyed) {
    pid_t pid = -1;
    ASSERT_NO_FATAL_FAILURE(RunHost(
        [](ForkedChild&) {
            CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
            if (instance == nullptr || !GetCache(4, 1)) ::_exit(3);
            std::exit(0);
            return 0;
        },
        pid));

    const std::string mark = " " + std::to_string(pid) + " ";
    int pruner = 0;
    int periodic = 0;
    for (const std::string& line : LogLines()) {
        if (line.find(mark) == std::string::npos) continue;
        if (line.find("Live Browse Cache pruner thread STOPPED") != std::string::npos) ++pruner;
        if (line.find("Live Browse Cache periodic thread STOPPED") != std::string::npos) ++periodic;
    }
    EXPECT_EQ(1, pruner);
    EXPECT_EQ(1, periodic);
}

// The same with a database to write back, after the host set logging up
// again: the main thread's own reference to the writer it last logged through
// is that writer's last one, and the write-back still logs on that thread
// after the thread's own objects were destroyed at exit.
TEST_F(ServiceLifecycleTest, UnloadWritesBackAndLogsAfterTheMainThreadsObjectsWent) {
    pid_t pid = -1;
    ASSERT_NO_FATAL_FAILURE(RunHost(
        [](ForkedChild&) {
            CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
            if (instance == nullptr) ::_exit(3);
            CLiveBrowseCache::WriterPtr writer;
            const char bytes[] = "TAGHD01 extent";
            if (instance->GetWriterObject(4, 0, 7, 1, 55, writer).IsError() ||
                writer->Write(bytes, sizeof bytes).IsError() || writer->Close().IsError())
                ::_exit(4);
            writer.reset();
            if (!CLiveBrowseCache::InitializeLogging()) ::_exit(5);
            LBC_LOG(0, "logged by the main thread");
            if (!CLiveBrowseCache::InitializeLogging()) ::_exit(5);
            std::exit(0);
            return 0;
        },
        pid));

    // The main thread's id is the process id.
    const std::string mark = " " + std::to_string(pid) + " " + std::to_string(pid) + " ";
    int writtenBack = 0;
    for (const std::string& line : LogLines())
        if (line.find(mark) != std::string::npos && line.find("Finalizing remote DB: [") != std::string::npos)
            ++writtenBack;
    EXPECT_EQ(1, writtenBack);
}

}  // namespace
