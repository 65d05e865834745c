// A host process writes and reads in a loop and is killed with SIGKILL at a
// random moment, again and again, a fresh process each time. After every
// kill the cache location must be sound: every afile database passes
// SQLite's integrity check, every region a row points at holds its own
// bytes, no lock file stays locked, and the next process reads back every
// extent it is served correctly and caches again.

#include "reliability/StressSupport.h"
#include "reliability/StressWorker.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace stress;

// Local, or behind the loopback data server (whose locks are held per open
// file and go with the process just the same).
class CrashTest : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(CrashTest, KilledHostsLeaveASoundCacheAndTheNextOneCachesAgain) {
    const bool remote = GetParam();
    const int kKills = 30;
    const uint64_t seed = RunSeed(remote ? 20240614 : 20240613);
    Random random(seed);
    TempDir temp;
    const std::string root = temp.path();
    MakeWorkerFolders(root);
    const std::string location = WorkerLocation(root, remote);
    const auto started = std::chrono::steady_clock::now();

    int survived = 0;
    long long servedRows = 0, databases = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill + 1) + ", seed " + std::to_string(seed));
        WorkerOptions options;
        options.role = "crash";
        options.root = root;
        options.index = 0;  // the same host restarted: its staging folder is cleaned at start
        options.seed = random.Next();
        options.remote = remote;
        ChildProcess child(kWorkerTest, WorkerEnvironment(options), root + "/out-" + std::to_string(kill));
        ASSERT_TRUE(child.Started());

        // The child reports once it has read back every extent and cached one.
        char report = '?';
        ASSERT_TRUE(child.WaitForReport(report, std::chrono::milliseconds(60000))) << child.Output();
        ASSERT_EQ('R', report) << child.Output();

        // A random moment of its loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random.Below(181)));
        child.Kill();
        int status = 0;
        ASSERT_TRUE(child.Wait(status, std::chrono::milliseconds(10000)));
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the host ended by itself, status " << status << ":\n" << child.Output();

        const LocationCheck check = CheckLocation(location + "/DB", location + "/DATA");
        for (const std::string& problem : check.problems) ADD_FAILURE() << problem;
        const std::vector<std::string> locked = LockedByOtherProcess(FindLockFiles(location + "/DB"));
        for (const std::string& file : locked) ADD_FAILURE() << "still locked: " << file;
        const std::vector<std::string> mismatches = WorkerMismatches(root);
        for (const std::string& mismatch : mismatches) ADD_FAILURE() << mismatch;
        ASSERT_TRUE(check.problems.empty() && locked.empty() && mismatches.empty()) << child.Output();
        servedRows += check.servedRows;
        databases += check.databases;
        ++survived;
    }

    // A last host runs to a clean end and leaves the location sound.
    WorkerOptions options;
    options.role = "final";
    options.root = root;
    options.index = 0;
    options.ops = 200;
    options.seed = random.Next();
    options.remote = remote;
    ChildProcess last(kWorkerTest, WorkerEnvironment(options), root + "/out-final");
    char report = '?';
    EXPECT_TRUE(last.WaitForReport(report, std::chrono::milliseconds(60000)) && report == 'R') << last.Output();
    int status = 0;
    EXPECT_TRUE(last.Wait(status, std::chrono::milliseconds(120000)) && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0)
        << last.Output();
    const LocationCheck check = CheckLocation(location + "/DB", location + "/DATA");
    for (const std::string& problem : check.problems) ADD_FAILURE() << problem;
    EXPECT_GT(check.servedRows, 0);
    for (const std::string& file : LockedByOtherProcess(FindLockFiles(location + "/DB")))
        ADD_FAILURE() << "still locked: " << file;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "[ FIGURES  ] " << (remote ? "loopback" : "local") << " kills survived=" << survived << " of " << kKills << " seed=" << seed
              << " databases checked=" << databases << " served rows checked=" << servedRows
              << " seconds=" << seconds << std::endl;
    EXPECT_EQ(kKills, survived);
}

INSTANTIATE_TEST_SUITE_P(Locations, CrashTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Loopback") : std::string("Local");
                         });
