// The facade: the configuration gate, the singleton and the start-up.

#include "support/ServiceFixture.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFolder.h"
#include "platform/XKClient.h"
#include "platform/XKPlatformInfo.h"
#include "store/FlatFileCacheItem.h"
#include "store/LiveBrowseCacheUtility.h"
#include "support/LockProbes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

class LiveBrowseCacheTest : public ServiceFixture {};

TEST_F(LiveBrowseCacheTest, GateNeedsBothSwitches) {
    // null: the value is absent
    const struct {
        const char* optimization;
        const char* enabled;
        bool instance;
    } cases[] = {
        {nullptr, nullptr, false}, {nullptr, "true", false}, {"false", "true", false}, {"false", nullptr, false},
        {"true", nullptr, true},   {"true", "true", true},   {"true", "false", false}, {"1", "1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.optimization ? c.optimization : "absent") + " / " +
                     (c.enabled ? c.enabled : "absent"));
        XKPlatformInfo::TEST_Delete(kKey, "bEnableMetadataRestoreOptimization");
        XKPlatformInfo::TEST_Delete(kKey, "bEnableLiveBrowseCache");
        if (c.optimization) XKPlatformInfo::TEST_Set(kKey, "bEnableMetadataRestoreOptimization", c.optimization);
        if (c.enabled) XKPlatformInfo::TEST_Set(kKey, "bEnableLiveBrowseCache", c.enabled);

        CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
        EXPECT_EQ(c.instance, instance != nullptr);
        // A closed gate builds nothing at all.
        EXPECT_EQ(c.instance, Impl() != nullptr);
        EXPECT_EQ(c.instance ? 1 : 0, CLiveBrowseCacheImpl::TEST_LiveImplementations());
        StopService();
    }
}

TEST_F(LiveBrowseCacheTest, OneInstanceUntilDestroyedThenANewOneWithANewService) {
    CLiveBrowseCache::DestroyInstance();  // nothing to destroy: no effect

    CLiveBrowseCache* first = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, first);
    CLiveBrowseCacheImplPtr firstImpl = Impl();
    EXPECT_EQ(first, CLiveBrowseCache::GetInstance());
    EXPECT_EQ(firstImpl, Impl());

    CLiveBrowseCache::DestroyInstance();
    // The service outlives its facade until a new one replaces it.
    EXPECT_EQ(firstImpl, Impl());
    EXPECT_TRUE(firstImpl->IsInitialized());

    CLiveBrowseCache* second = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, second);
    EXPECT_NE(firstImpl, Impl());
    EXPECT_EQ(2, CLiveBrowseCacheImpl::TEST_LiveImplementations());
    firstImpl.reset();  // this test's own reference was the last one
    EXPECT_EQ(1, CLiveBrowseCacheImpl::TEST_LiveImplementations());
}

TEST_F(LiveBrowseCacheTest, StartUpLinesAndTheLocalCacheFolder) {
    ASSERT_FALSE(IsFolder(LocalCacheFolder()));
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    EXPECT_TRUE(IsFolder(LocalCacheFolder()));

    // The address once, with one "0x" before it, whatever the C library's %p prints.
    const std::string address = [&] {
        char text[64];
        std::snprintf(text, sizeof(text), "0x%llx",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(instance)));
        return std::string(text);
    }();
    EXPECT_EQ(1u, Count(0, "Initializing live browse cache (" + address + ") ..."));
    EXPECT_EQ(1u, Count(0, "Cleaning up Temp folder [" + StagingFolder() + "]"));
    EXPECT_EQ(1u, Count(0, "Created Live Browse Cache folder [" + LocalCacheFolder() + "]"));
    EXPECT_EQ(1u, Count(0, "Successfully initialized live browse cache (" + address + ")"));

    // Again in test mode: the folder exists, so it is not logged as created.
    ClearLines();
    ASSERT_FALSE(instance->InitializeInTestMode(std::string()).IsError());
    EXPECT_EQ(1u, Count(0, "Successfully initialized live browse cache (" + address + ") in test mode"));
    EXPECT_EQ(0u, CountContaining("Created Live Browse Cache folder"));
}

// Every location stages below a folder of its own, and a container made only
// for the pruner's lock keeps its database in a folder of its own: a start-up
// that is the area's only user clears them all.
TEST_F(LiveBrowseCacheTest, StartUpClearsTheStagingFoldersOfEveryLocation) {
    std::vector<std::string> leftovers;
    for (const char* root : {"/mnt/c1/DB", "/mnt/c2/DB"}) {
        std::string staged;
        ASSERT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation(std::string(root) + "/C1/afile_812_1_2", root,
                                                                     staged)
                         .IsError());
        for (const std::string& folder : {staged, staged + ".pruner-1"}) {
            ASSERT_FALSE(FXFolder::CreateFoldersIteratively(folder, nullptr).IsError());
            WriteWholeFile(folder + "/afile_cache.db", "staged");
            leftovers.push_back(folder + "/afile_cache.db");
        }
    }
    ASSERT_NE(nullptr, CLiveBrowseCache::GetInstance());
    for (const std::string& file : leftovers) EXPECT_FALSE(Exists(file)) << file;
    EXPECT_FALSE(Exists(StagingFolder()));
}

TEST_F(LiveBrowseCacheTest, ClientIdFailureStopsTheStartUpBeforeAnyFolder) {
    ::mkdir(LocalCacheFolder().c_str(), 0755);
    ::mkdir((LocalCacheFolder() + "/Temp").c_str(), 0755);
    ::mkdir(StagingFolder().c_str(), 0755);
    WriteWholeFile(StagingFolder() + "/afile_cache.db", "staged");
    XKClient::TEST_SetReturnCode(7);

    EXPECT_EQ(nullptr, CLiveBrowseCache::GetInstance());
    EXPECT_EQ(1u, Count(-1, "Failed to get client ID, retCode=7"));
    EXPECT_EQ(1u, CountContaining("Failed to initialize Live browse cache object, error="));
    EXPECT_EQ("staged", ReadWholeFile(StagingFolder() + "/afile_cache.db"));
    EXPECT_EQ(0u, CountContaining("Cleaning up Temp folder"));
    // The service stays published, not initialised: nothing resolves through it.
    ASSERT_NE(nullptr, Impl());
    EXPECT_FALSE(Impl()->IsInitialized());
    EXPECT_FALSE(GetCache(12, 1));
    EXPECT_FALSE(GetDB(12, 1));

    // The next request tries the whole start-up again.
    XKClient::TEST_SetReturnCode(0);
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    EXPECT_FALSE(Exists(StagingFolder()));
    EXPECT_EQ(1, CLiveBrowseCacheImpl::TEST_LiveImplementations());

    XKClient::TEST_SetReturnCode(3);
    CZoError err = instance->InitializeInTestMode(std::string());
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNoClientId)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("Failed to get client ID, retCode=3")) << err.AsString();
}

// Another browsing process of this host with databases staged in the shared
// staging folder keeps them when this process starts.
TEST_F(LiveBrowseCacheTest, StartUpLeavesAStagingFolderThatAnotherProcessUses) {
    ::mkdir(JobResultsFolder().c_str(), 0755);
    ::mkdir(LocalCacheFolder().c_str(), 0755);
    ::mkdir((LocalCacheFolder() + "/Temp").c_str(), 0755);
    ::mkdir(StagingFolder().c_str(), 0755);
    WriteWholeFile(StagingFolder() + "/afile_cache.db", "staged");
    ForkedUseHolder other(LocalCacheFolder() + ".staging.inuse");
    ASSERT_TRUE(other.Using());

    ASSERT_NE(nullptr, CLiveBrowseCache::GetInstance());
    EXPECT_EQ("staged", ReadWholeFile(StagingFolder() + "/afile_cache.db"));
    EXPECT_EQ(0u, CountContaining("Cleaning up Temp folder"));
    EXPECT_EQ(1u, Count(0, "Temp folder [" + StagingFolder() + "] is in use by another process; not cleaned"));
}

TEST_F(LiveBrowseCacheTest, RepeatedStartKeepsTheStagingFolderAndTheOnePeriodicThread) {
    const int before = LibraryThreads();
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    ASSERT_NE(nullptr, instance);
    boost::shared_ptr<PeriodicUtilityThread> periodic = Impl()->TEST_PeriodicThread();
    ASSERT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(before + 1, LibraryThreads());

    // Staged copies of open containers live here from now on.
    ::mkdir((LocalCacheFolder() + "/Temp").c_str(), 0755);
    ::mkdir(StagingFolder().c_str(), 0755);
    WriteWholeFile(StagingFolder() + "/afile_cache.db", "staged");

    ASSERT_FALSE(instance->Initialize(std::string()).IsError());
    ASSERT_FALSE(instance->InitializeInTestMode(JobResultsFolder()).IsError());
    EXPECT_EQ("staged", ReadWholeFile(StagingFolder() + "/afile_cache.db"));
    EXPECT_TRUE(periodic->TEST_TickNow(true));
    EXPECT_EQ(before + 1, LibraryThreads());
    EXPECT_EQ(1u, CountContaining("Live Browse Cache periodic thread STARTED"));
}

TEST_F(LiveBrowseCacheTest, TestModeStartsNoPeriodicThread) {
    // A failed start leaves a published service that was never started.
    XKClient::TEST_SetReturnCode(5);
    ASSERT_EQ(nullptr, CLiveBrowseCache::GetInstance());
    XKClient::TEST_SetReturnCode(0);
    CLiveBrowseCacheImplPtr impl = Impl();
    ASSERT_NE(nullptr, impl);

    ASSERT_FALSE(impl->Initialize(JobResultsFolder(), true).IsError());
    EXPECT_TRUE(impl->IsInitialized());
    EXPECT_FALSE(impl->TEST_PeriodicThread()->IsRunning());
    EXPECT_EQ(0u, CountContaining("Live Browse Cache periodic thread STARTED"));
}

TEST_F(LiveBrowseCacheTest, PathArgumentOnlyPicksTheFolderOfTheStartUp) {
    CLiveBrowseCache* instance = StartService();
    ASSERT_NE(nullptr, instance);
    const std::string other = temp.sub("OtherBase");
    ::mkdir(other.c_str(), 0755);
    ASSERT_FALSE(instance->InitializeInTestMode(other).IsError());
    EXPECT_TRUE(IsFolder(other + "/LiveBrowseCache"));

    // Locations still use the configured local cache folder.
    CachePtr cache = GetCache(40, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(LocalCacheFolder() + "/DATA", cache->GetCacheDataFolderPath());
    EXPECT_FALSE(Exists(other + "/LiveBrowseCache/DATA"));
}

TEST_F(LiveBrowseCacheTest, OnlyTheLibrarysOwnCode34IsAlreadyCached) {
    const struct {
        CZoError error;
        bool cached;
    } cases[] = {
        {CZoError::Success(), false},
        {FXErrorUtil::ErrorWin32(FXLOC, 34), false},
        {FXErrorUtil::ErrorInt(FXLOC, LBCError::kExtentAlreadyCached - 1), false},
        {FXErrorUtil::ErrorInt(FXLOC, LBCError::kExtentAlreadyCached), true},
    };
    for (auto c : cases) {
        EXPECT_EQ(c.cached, CLiveBrowseCache::IsErrorExtentAlreadyCached(c.error)) << c.error.AsString();
    }
}

TEST_F(LiveBrowseCacheTest, SetTestabilityTurnsOnTheMd5Record) {
    EXPECT_EQ(0, LIVE_BROWSE_CACHE_TESTABILITY.load());
    CLiveBrowseCache::SetTestability();  // also before any instance
    EXPECT_EQ(1, LIVE_BROWSE_CACHE_TESTABILITY.load());
}

// A host whose configuration keeps the cache off learns why from the debug
// log, where the README sends it: one line at level -1 naming the switch, its
// value as read and the configuration file, however often it asks.
class ClosedGateTest : public ::testing::Test {
protected:
    static constexpr const char* kDefaultLogFile = "/tmp/LiveBrowseCacheLogs/LiveBrowseCache.log";

    // Runs the gate host with LBC_CONFIG_FILE naming configFile (unset when
    // empty); its output is what it printed, its pid is returned.
    pid_t RunGateHost(const std::string& configFile, std::string& output) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::string(*e).compare(0, 16, "LBC_CONFIG_FILE=") != 0) env.push_back(*e);
        if (!configFile.empty()) env.push_back("LBC_CONFIG_FILE=" + configFile);
        std::vector<char*> envp;
        for (std::string& entry : env) envp.push_back(&entry[0]);
        envp.push_back(nullptr);

        const std::string outFile = temp.sub("host.out");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string host = LBC_GATE_HOST;
        char* argv[] = {&host[0], nullptr};
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, host.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
        output = ReadWholeFile(outFile);
        return pid;
    }

    // The messages of the level -1 lines that process pid wrote to the log
    // file ("time pid thread level [function:line] message").
    static std::vector<std::string> FailureLinesOf(const std::string& logFile, pid_t pid) {
        std::vector<std::string> messages;
        std::istringstream lines(ReadWholeFile(logFile));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string date, time, linePid, thread, level;
            fields >> date >> time >> linePid >> thread >> level;
            const size_t at = line.find("] ");
            if (linePid == std::to_string(pid) && level == "-1" && at != std::string::npos)
                messages.push_back(line.substr(at + 2));
        }
        return messages;
    }

    TempDir temp;
};

TEST_F(ClosedGateTest, TheDebugLogSaysOnceWhichSwitchKeepsTheCacheOff) {
    const std::string logs = temp.sub("logs");
    const std::string conf = temp.sub("lbc.conf");
    const std::string off = "Live browse cache is off by configuration: ";
    const std::string rule =
        "; it is on when bEnableMetadataRestoreOptimization is true and bEnableLiveBrowseCache is not false";
    const std::string fromFile = " (configuration file [" + conf + "])";
    const struct {
        const char* name;
        const char* switches;  // nullptr: no configuration file at all
        std::vector<std::string> expected;
    } cases[] = {
        {"a file without the switch", "bEnableLiveBrowseCache=true\n",
         {off + "bEnableMetadataRestoreOptimization is absent (default false)" + rule + fromFile}},
        {"the switch misspelt", "bEnableMetadataRestoreOptimization=ture\n",
         {"Configuration value [VirtualServer\\bEnableMetadataRestoreOptimization] = [ture] is not a boolean; "
          "taken as absent",
          off + "bEnableMetadataRestoreOptimization = [ture] is not a boolean, taken as absent (default false)" +
              rule + fromFile}},
        {"the second switch off", "bEnableMetadataRestoreOptimization=true\nbEnableLiveBrowseCache=off\n",
         {off + "bEnableLiveBrowseCache = [off]" + rule + fromFile}},
        // Last: it may be skipped where the default log folder belongs to another user.
        {"no configuration file", nullptr,
         {off + "bEnableMetadataRestoreOptimization is absent (default false)" + rule +
          " (no configuration file: LBC_CONFIG_FILE is not set)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string logFile = kDefaultLogFile;
        if (c.switches != nullptr) {
            logFile = logs + "/LiveBrowseCache.log";
            WriteWholeFile(conf, std::string(c.switches) + "sLBCLogFolder=" + logs + "\n[Platform]\n" +
                                     "JobResultsDirectory=" + temp.sub("JobResults") + "\n");
        } else if (::access(kDefaultLogFile, W_OK) != 0 && errno != ENOENT) {
            // Made by another user (root's demo, say): this host cannot log there.
            GTEST_SKIP() << kDefaultLogFile << " is not writable by this user: " << std::strerror(errno);
        }
        std::string output;
        const pid_t pid = RunGateHost(c.switches != nullptr ? conf : std::string(), output);
        ASSERT_GT(pid, 0);
        EXPECT_EQ("null\nnull\n", output);
        EXPECT_EQ(c.expected, FailureLinesOf(logFile, pid));
    }
}

}  // namespace
