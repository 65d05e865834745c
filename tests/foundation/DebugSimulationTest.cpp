#include "foundation/DebugSimulation.h"
#include "foundation/EvDebugWrapper.h"
#include "foundation/LogWriter.h"
#include "platform/EvDebug.h"
#include "platform/XKPlatformInfo.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kDebugKey[] = "VirtualServer\\LiveBrowseCache\\Debug";

// Arms and fires points with a recording sleep, so no test really sleeps.
class DebugSimulationTest : public ::testing::Test {
protected:
    void SetUp() override {
        XKPlatformInfo::TEST_Clear();
        DebugSimulation::TEST_Reset();
        DebugSimulation::TEST_SetSleepFunction([this](uint32_t ms) {
            std::lock_guard<std::mutex> guard(sleepLock);
            sleeps.push_back(ms);
        });
        StoreLogWriterLBC(boost::make_shared<CEvDebugWrapper>(boost::make_shared<EvDebug>()));
        EvDebug::TEST_StartCapture();
    }
    void TearDown() override {
        EvDebug::TEST_StopCapture();
        StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
        DebugSimulation::TEST_SetSleepFunction(std::function<void(uint32_t)>());
        DebugSimulation::TEST_Reset();
        XKPlatformInfo::TEST_Clear();
    }

    // What the service does while it is built.
    static void BuildService() {
        DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
        EXPECT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());
    }

    std::vector<uint32_t> Sleeps() {
        std::lock_guard<std::mutex> guard(sleepLock);
        return sleeps;
    }
    static std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) texts.push_back(line.text);
        return texts;
    }

    std::mutex sleepLock;
    std::vector<uint32_t> sleeps;  // guarded by sleepLock
};

TEST_F(DebugSimulationTest, TableHoldsTheFourPointsWithTheDefaultDelay) {
    ASSERT_EQ(4u, g_mapSimulationInfo.size());
    EXPECT_EQ("bInsertDelayBeforeSyncToRemote", g_mapSimulationInfo.at(&bInsertDelayBeforeSyncToRemote).name);
    EXPECT_EQ("bInsertDelayAfterCopyToRemoteTemp", g_mapSimulationInfo.at(&bInsertDelayAfterCopyToRemoteTemp).name);
    EXPECT_EQ("bInsertDelayBeforeAcquireLock", g_mapSimulationInfo.at(&bInsertDelayBeforeAcquireLock).name);
    EXPECT_EQ("bInsertDelayAfterAcquireLock", g_mapSimulationInfo.at(&bInsertDelayAfterAcquireLock).name);
    for (const auto& entry : g_mapSimulationInfo) EXPECT_EQ(60u, entry.second.delaySeconds);
}

TEST_F(DebugSimulationTest, WithoutConfigurationNoPointFiresOrLogs) {
    BuildService();
    for (const auto& entry : g_mapSimulationInfo) {
        EXPECT_FALSE(entry.first->load()) << entry.second.name;
        EXPECT_EQ(0u, DebugSimulation::TEST_ActivePoints().at(entry.first).delaySeconds) << entry.second.name;
    }
    LBC_SIMULATION_POINT(bInsertDelayBeforeSyncToRemote);
    LBC_SIMULATION_POINT(bInsertDelayAfterCopyToRemoteTemp);
    LBC_SIMULATION_POINT(bInsertDelayBeforeAcquireLock);
    LBC_SIMULATION_POINT(bInsertDelayAfterAcquireLock);
    EXPECT_TRUE(Texts().empty());
    EXPECT_TRUE(Sleeps().empty());
}

TEST_F(DebugSimulationTest, ConfiguredValueArmsOnceWithItsLowBitsAsDelay) {
    const struct {
        const char* value;  // null: absent
        bool armed;
        const char* shownDelay;
        std::vector<uint32_t> sleeps;
    } cases[] = {
        {nullptr, false, "", {}},
        {"0", false, "", {}},
        {"7", true, "7", {5000, 2000}},
        {"12", true, "12", {5000, 5000, 2000}},
        {"5", true, "5", {5000}},
        {"4294967296", true, "0", {}},             // 2^32: armed, delay 0
        {"4294967299", true, "3", {3000}},         // low 32 bits only
        {"2147483648", true, "-2147483648", {}},  // counted as signed: no sleep
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "absent");
        XKPlatformInfo::TEST_Clear();
        if (c.value) XKPlatformInfo::TEST_Set(kDebugKey, "bInsertDelayBeforeAcquireLock", c.value);
        {
            std::lock_guard<std::mutex> guard(sleepLock);
            sleeps.clear();
        }
        EvDebug::TEST_StartCapture();
        BuildService();
        EXPECT_EQ(c.armed, bInsertDelayBeforeAcquireLock.load());
        EXPECT_FALSE(bInsertDelayAfterAcquireLock.load());

        const unsigned firedAt = __LINE__ + 1;
        LBC_SIMULATION_POINT(bInsertDelayBeforeAcquireLock);
        EXPECT_FALSE(bInsertDelayBeforeAcquireLock.load());
        // A second pass does not delay again.
        LBC_SIMULATION_POINT(bInsertDelayBeforeAcquireLock);

        std::vector<EvDebug::CapturedLine> lines = EvDebug::TEST_CapturedLines();
        EXPECT_EQ(c.sleeps, Sleeps());
        if (!c.armed) {
            EXPECT_TRUE(lines.empty());
            continue;
        }
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(std::string("Sleeping for delay simulation InsertDelayBeforeAcquireLock for ") + c.shownDelay +
                      " seconds",
                  lines[0].text);
        EXPECT_EQ("Done with InsertDelayBeforeAcquireLock", lines[1].text);
        for (const EvDebug::CapturedLine& line : lines) {
            EXPECT_EQ(0, line.level);
            EXPECT_EQ(firedAt, line.line);
            EXPECT_NE(std::string::npos, line.function.find("TestBody")) << line.function;
        }
    }
}

TEST_F(DebugSimulationTest, ValuesUnderAnotherKeyDoNotArm) {
    XKPlatformInfo::TEST_SetNumber("VirtualServer", "bInsertDelayBeforeSyncToRemote", 9);
    BuildService();
    EXPECT_FALSE(bInsertDelayBeforeSyncToRemote.load());
}

TEST_F(DebugSimulationTest, ArmedPointOutsideTheActiveTableIsOnlyCleared) {
    XKPlatformInfo::TEST_SetNumber(kDebugKey, "bInsertDelayAfterCopyToRemoteTemp", 3);
    BuildService();
    DebugSimulation::ClearSimulationPoints(g_mapSimulationInfo);
    EXPECT_TRUE(DebugSimulation::TEST_ActivePoints().empty());
    // Clearing leaves the flag as it was.
    EXPECT_TRUE(bInsertDelayAfterCopyToRemoteTemp.load());

    LBC_SIMULATION_POINT(bInsertDelayAfterCopyToRemoteTemp);
    EXPECT_FALSE(bInsertDelayAfterCopyToRemoteTemp.load());
    EXPECT_TRUE(Texts().empty());
    EXPECT_TRUE(Sleeps().empty());
}

TEST_F(DebugSimulationTest, SetKeepsAnActiveEntryAndBuildingAgainReinsertsTheDefault) {
    DebugSimulation::SimulationMap custom;
    custom.emplace(&bInsertDelayBeforeSyncToRemote, DebugSimulation::SimulationInfo("bInsertDelayBeforeSyncToRemote", 4));
    DebugSimulation::SetSimulationPoints(custom);
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    EXPECT_EQ(4u, DebugSimulation::TEST_ActivePoints().at(&bInsertDelayBeforeSyncToRemote).delaySeconds);
    EXPECT_EQ(60u, DebugSimulation::TEST_ActivePoints().at(&bInsertDelayAfterAcquireLock).delaySeconds);

    DebugSimulation::TEST_Reset();
    BuildService();
    DebugSimulation::ClearSimulationPoints(g_mapSimulationInfo);
    EXPECT_TRUE(DebugSimulation::TEST_ActivePoints().empty());
    // A second service re-inserts the points with the default and loads them again.
    DebugSimulation::SetSimulationPoints(g_mapSimulationInfo);
    EXPECT_EQ(60u, DebugSimulation::TEST_ActivePoints().at(&bInsertDelayAfterAcquireLock).delaySeconds);
    XKPlatformInfo::TEST_SetNumber(kDebugKey, "bInsertDelayAfterAcquireLock", 2);
    EXPECT_FALSE(DebugSimulation::LoadDebugSimulationInfo().IsError());
    EXPECT_EQ(2u, DebugSimulation::TEST_ActivePoints().at(&bInsertDelayAfterAcquireLock).delaySeconds);
    EXPECT_TRUE(bInsertDelayAfterAcquireLock.load());
}

// A new service is built before the one it replaces is destroyed: the points
// it armed stay active through the old one's clearing.
TEST_F(DebugSimulationTest, PointsStayActiveWhileAnyServiceUsesThem) {
    BuildService();  // old service
    XKPlatformInfo::TEST_SetNumber(kDebugKey, "bInsertDelayBeforeSyncToRemote", 1);
    BuildService();                                                // new service
    DebugSimulation::ClearSimulationPoints(g_mapSimulationInfo);  // old service destroyed
    EXPECT_EQ(4u, DebugSimulation::TEST_ActivePoints().size());

    LBC_SIMULATION_POINT(bInsertDelayBeforeSyncToRemote);
    EXPECT_EQ(std::vector<uint32_t>{1000}, Sleeps());
    ASSERT_EQ(2u, Texts().size());
    EXPECT_EQ("Sleeping for delay simulation InsertDelayBeforeSyncToRemote for 1 seconds", Texts()[0]);

    DebugSimulation::ClearSimulationPoints(g_mapSimulationInfo);  // new service destroyed
    EXPECT_TRUE(DebugSimulation::TEST_ActivePoints().empty());
}

TEST_F(DebugSimulationTest, ThreadsPassingTogetherDelayOnce) {
    XKPlatformInfo::TEST_SetNumber(kDebugKey, "bInsertDelayAfterAcquireLock", 6);
    BuildService();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([] { LBC_SIMULATION_POINT(bInsertDelayAfterAcquireLock); });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ((std::vector<uint32_t>{5000, 1000}), Sleeps());
    EXPECT_EQ((std::vector<std::string>{"Sleeping for delay simulation InsertDelayAfterAcquireLock for 6 seconds",
                                        "Done with InsertDelayAfterAcquireLock"}),
              Texts());
}

}  // namespace
