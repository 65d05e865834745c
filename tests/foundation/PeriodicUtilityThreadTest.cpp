#include "foundation/EvDebugWrapper.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/EvDebug.h"
#include "platform/XKPlatformInfo.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kKey[] = "VirtualServer";
const char kStarted[] =
    "Live Browse Cache periodic thread STARTED. This thread will wake up every 60 seconds and perform utility tasks "
    "like printing out performance stats, etc.";

class PeriodicUtilityThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        XKPlatformInfo::TEST_Clear();
        TEST_ClearPerJobPerfCounters();
        StoreLBCPerfCounters(boost::make_shared<LBCPerfCounters>());
        g_bIsEnableLBCReadDuringValidation = true;
        StoreLogWriterLBC(boost::make_shared<CEvDebugWrapper>(boost::make_shared<EvDebug>()));
        // Only this thread's own lines: what the store reports is tested with it.
        XKPlatformInfo::SetNoticeLog(nullptr);
        EvDebug::TEST_StartCapture();
    }
    void TearDown() override {
        EvDebug::TEST_StopCapture();
        StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
        StoreLBCPerfCounters(boost::shared_ptr<LBCPerfCounters>());
        TEST_ClearPerJobPerfCounters();
        g_bIsEnableLBCReadDuringValidation = true;
        XKPlatformInfo::TEST_Clear();
    }

    static std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) texts.push_back(line.text);
        return texts;
    }
    static void Tick(PeriodicUtilityThread& thread) { ASSERT_TRUE(thread.TEST_TickNow(true)); }
};

TEST_F(PeriodicUtilityThreadTest, StartAndStopLinesComeFromTheThread) {
    PeriodicUtilityThread thread;
    EXPECT_EQ(60.0, thread.GetTimeout().AsSeconds());
    EXPECT_FALSE(thread.IsRunning());
    thread.Start(std::function<void()>());
    Tick(thread);  // OnStart has run before the first tick
    thread.Stop(true);
    EXPECT_FALSE(thread.IsRunning());

    std::vector<EvDebug::CapturedLine> lines = EvDebug::TEST_CapturedLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(kStarted, lines[0].text);
    EXPECT_NE(std::string::npos, lines[0].function.find("PeriodicUtilityThread::OnStart")) << lines[0].function;
    EXPECT_EQ("Live Browse Cache periodic thread STOPPED", lines[1].text);
    EXPECT_NE(std::string::npos, lines[1].function.find("PeriodicUtilityThread::OnStop")) << lines[1].function;
    for (const EvDebug::CapturedLine& line : lines) {
        EXPECT_EQ(0, line.level);
        EXPECT_NE(0u, line.line);
    }
}

TEST_F(PeriodicUtilityThreadTest, ValidationSwitchFollowsTheConfigurationAndLogsChangesOnce) {
    PeriodicUtilityThread thread;
    thread.Start(std::function<void()>());
    Tick(thread);
    const struct {
        const char* value;  // null: absent
        bool enabled;
        std::vector<std::string> logged;
    } passes[] = {
        {nullptr, true, {}},
        {"false", false, {"Live browse cache reads disabled by validation tool"}},
        {"false", false, {}},
        {"true", true, {"Live browse cache reads enabled by validation tool"}},
        {"0", false, {"Live browse cache reads disabled by validation tool"}},
        {nullptr, true, {"Live browse cache reads enabled by validation tool"}},
        {"off", false, {"Live browse cache reads disabled by validation tool"}},
        {"Yes", true, {"Live browse cache reads enabled by validation tool"}},
        {"no", false, {"Live browse cache reads disabled by validation tool"}},
        {"not a boolean", true, {"Live browse cache reads enabled by validation tool"}},  // counts as absent
    };
    for (const auto& pass : passes) {
        SCOPED_TRACE(pass.value ? pass.value : "absent");
        if (pass.value) {
            XKPlatformInfo::TEST_Set(kKey, "bEnableLBCReadForValidation", pass.value);
        } else {
            XKPlatformInfo::TEST_Delete(kKey, "bEnableLBCReadForValidation");
        }
        EvDebug::TEST_StartCapture();
        Tick(thread);
        EXPECT_EQ(pass.enabled, g_bIsEnableLBCReadDuringValidation.load());
        EXPECT_EQ(pass.logged, Texts());
    }
}

TEST_F(PeriodicUtilityThreadTest, ClearStatsResetsTheProcessWideSetWhateverItsValue) {
    for (const char* value : {"false", "true", "yes", "On"}) {
        SCOPED_TRACE(value);
        boost::shared_ptr<LBCPerfCounters> counters = LoadLBCPerfCounters();
        counters->blockedWrites = 3;
        counters->lockGetDB->GetAutoObject();
        PerJobCount(7, LBCPerfCounters::SlotItemOpenForRead);
        XKPlatformInfo::TEST_Set(kKey, "bClearLBCStats", value);

        PeriodicUtilityThread thread;
        thread.Start(std::function<void()>());
        Tick(thread);
        thread.Stop(true);

        EXPECT_FALSE(XKPlatformInfo::TEST_Has(kKey, "bClearLBCStats"));
        EXPECT_EQ(0u, counters->blockedWrites.load());
        EXPECT_FALSE(counters->lockGetDB->IsCounted());
        // The per-job and process sets are not touched.
        EXPECT_TRUE(GetPerJobPerfCounters(7)->itemOpenForRead->IsCounted());
        EXPECT_TRUE(GetPerJobPerfCounters(0)->itemOpenForRead->IsCounted());
    }

    // Absent: no reset.
    boost::shared_ptr<LBCPerfCounters> counters = LoadLBCPerfCounters();
    counters->blockedWrites = 2;
    PeriodicUtilityThread thread;
    thread.Start(std::function<void()>());
    Tick(thread);
    EXPECT_EQ(2u, counters->blockedWrites.load());
}

TEST_F(PeriodicUtilityThreadTest, CallbackRunsOnTheThreadAfterTheRefreshAndReset) {
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableLBCReadForValidation", false);
    XKPlatformInfo::TEST_SetBool(kKey, "bClearLBCStats", true);
    LoadLBCPerfCounters()->blockedWrites = 5;

    std::atomic<int> calls{0};
    std::atomic<bool> sawRefresh{false};
    std::atomic<bool> onOtherThread{false};
    const std::thread::id testThread = std::this_thread::get_id();
    PeriodicUtilityThread thread;
    thread.Start([&] {
        sawRefresh = !g_bIsEnableLBCReadDuringValidation.load() && LoadLBCPerfCounters()->blockedWrites.load() == 0;
        onOtherThread = std::this_thread::get_id() != testThread;
        ++calls;
    });
    Tick(thread);
    EXPECT_EQ(1, calls.load());
    EXPECT_TRUE(sawRefresh.load());
    EXPECT_TRUE(onOtherThread.load());
}

TEST_F(PeriodicUtilityThreadTest, StartWhileRunningReplacesTheCallbackWithoutASecondThread) {
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    PeriodicUtilityThread thread;
    thread.Start([&] { ++first; });
    Tick(thread);
    thread.Start([&] { ++second; });
    Tick(thread);
    Tick(thread);
    thread.Stop(true);
    EXPECT_EQ(1, first.load());
    EXPECT_EQ(2, second.load());
    std::vector<std::string> texts = Texts();
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), std::string(kStarted)));
}

TEST_F(PeriodicUtilityThreadTest, DestroyingARunningThreadStopsIt) {
    std::atomic<int> calls{0};
    {
        PeriodicUtilityThread thread;
        thread.Start([&] { ++calls; });
        Tick(thread);
    }
    std::vector<std::string> texts = Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ("Live Browse Cache periodic thread STOPPED", texts.back());
    EXPECT_EQ(1, calls.load());
}

}  // namespace
