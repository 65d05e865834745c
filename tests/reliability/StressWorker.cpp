#include "reliability/StressWorker.h"

#include "LiveBrowseCache.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/EvDebug.h"
#include "platform/FXErrorUtil.h"
#include "platform/LoopbackFS.h"
#include "platform/SystemClock.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CachePruner.h"
#include "reliability/StressSupport.h"
#include "service/LiveBrowseCacheImpl.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace stress {

namespace {

constexpr const char* kKey = "VirtualServer";
constexpr const char* kEnvRole = "LBC_STRESS_ROLE";
constexpr const char* kEnvRoot = "LBC_STRESS_ROOT";
constexpr const char* kEnvIndex = "LBC_STRESS_INDEX";
constexpr const char* kEnvOps = "LBC_STRESS_OPS";
constexpr const char* kEnvSeed = "LBC_STRESS_WORKER_SEED";
constexpr const char* kEnvRemote = "LBC_STRESS_REMOTE";
constexpr int kReportFd = 3;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void MakeFolder(const std::string& path) { ::mkdir(path.c_str(), 0755); }

std::string StatsFile(const std::string& root, int index) { return root + "/stats-" + std::to_string(index); }

// Rewrites of the same length and of another length both happen.
size_t ExtentLength(long long offset, uint32_t generation) {
    return 2000 + static_cast<size_t>(offset / 4096) * 900 + (generation % 4 == 0 ? 300 : 0);
}

class Worker {
public:
    Worker(const WorkerOptions& options, CLiveBrowseCache* lbc)
        : options(options), lbc(lbc), random(options.seed), jobId(100 + options.index) {}

    void RandomOperation() {
        ++stats.ops;
        const long long afile = kWorkerAfiles[random.Below(3)];
        const long long offset = kWorkerOffsets[random.Below(6)];
        const uint64_t pick = random.Below(100);
        if (pick < 45) {
            Write(afile, offset);
        } else if (pick < 90) {
            Read(afile, offset);
        } else if (pick < 95) {
            bool cached = false, recorded = false;
            Count(lbc->IsExtentInCache(afile, offset, kWorkerTessarel, kWorkerCopy, cached, recorded));
        } else {
            Tick();
        }
    }

    // Writes one extent; true when its Close succeeded.
    bool Write(long long afile, long long offset) {
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, offset, kWorkerTessarel, kWorkerCopy, jobId, 0, writer);
        if (err.IsError()) {
            Count(err);
            return false;
        }
        const uint32_t generation = static_cast<uint32_t>(random.Next());
        const std::string bytes = ExtentBytes(afile, offset, generation, ExtentLength(offset, generation));
        const size_t chunks = 1 + random.Below(3);
        const size_t step = (bytes.size() + chunks - 1) / chunks;
        for (size_t at = 0; at < bytes.size(); at += step) {
            err = writer->Write(bytes.data() + at, static_cast<unsigned long>(std::min(step, bytes.size() - at)));
            if (err.IsError()) {
                Count(err);
                return false;
            }
        }
        if (random.Percent(5)) {
            ++stats.writesAbandoned;  // released without Close: rolled back
            return false;
        }
        err = writer->Close();
        if (err.IsError()) {
            Count(err);
            return false;
        }
        ++stats.writesClosed;
        return true;
    }

    // Reads one extent whole or in chunks and checks every byte; true when
    // it was served.
    bool Read(long long afile, long long offset) {
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(afile, offset, kWorkerTessarel, kWorkerCopy, jobId, 0, reader);
        if (err.IsError()) {
            if (FXErrorUtil::IsInt(err, LBCError::kNotFound) || FXErrorUtil::IsInt(err, LBCError::kNoItemLocation) ||
                FXErrorUtil::IsInt(err, LBCError::kInvalidLocation))
                ++stats.readsMissed;
            else
                Count(err);
            return false;
        }
        std::string bytes;
        if (random.Percent(50)) {
            CAutoMemory<char> buffer;
            err = reader->Read(buffer);
            if (!err.IsError() && buffer.Ptr() != nullptr) bytes.assign(buffer.Ptr(), buffer.Size());
        } else {
            std::vector<char> chunk(100 + random.Below(2000));
            for (;;) {
                unsigned long size = static_cast<unsigned long>(chunk.size());
                err = reader->Read(static_cast<void*>(chunk.data()), size);
                if (err.IsError() || size == 0) break;
                bytes.append(chunk.data(), size);
            }
        }
        if (err.IsError()) {
            Count(err);
            return false;
        }
        uint32_t generation = 0;
        std::string why;
        if (!CheckExtentBytes(afile, offset, bytes.data(), bytes.size(), generation, why)) {
            Mismatch(afile, offset, why);
            return false;
        }
        ++stats.readsServed;
        return true;
    }

    // The background duties, moved on through the clock seam: the short
    // idle time makes every tick hand the afiles' lock files back.
    void Tick() {
        SystemClock::TEST_AdvanceSeconds(31);
        if (random.Percent(10))
            XKPlatformInfo::TEST_SetList(kKey, "sTestLiveBrowseCachePruneAfiles",
                                         {std::to_string(kWorkerAfiles[random.Below(3)])});
        CLiveBrowseCacheImplPtr impl = LoadCacheImpl();
        if (!impl) return;
        for (const CachePrunerPtr& pruner : impl->TEST_Pruners()) pruner->TEST_TickNow(true);
        if (random.Percent(20) && impl->TEST_PeriodicThread()) impl->TEST_PeriodicThread()->TEST_TickNow(true);
    }

    // Every extent that reads back must carry its own bytes.
    void ReadBackAll() {
        for (long long afile : kWorkerAfiles)
            for (long long offset : kWorkerOffsets) Read(afile, offset);
    }

    // A fresh process must be able to cache: one extent written and read
    // back, retried while another process holds the afile.
    bool CacheOne() {
        for (int attempt = 0; attempt < 200; ++attempt) {
            const long long afile = kWorkerAfiles[random.Below(3)];
            const long long offset = kWorkerOffsets[random.Below(6)];
            if (Write(afile, offset) && Read(afile, offset)) return true;
        }
        return false;
    }

    void Mismatch(long long afile, long long offset, const std::string& why) {
        ++stats.mismatches;
        const std::string line = "worker " + std::to_string(options.index) + " pid " + std::to_string(::getpid()) +
                                 ": afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": " +
                                 why + "\n";
        std::ofstream(options.root + "/mismatch-" + std::to_string(options.index) + "-" +
                          std::to_string(::getpid()),
                      std::ios::app)
            << line;
        std::fputs(line.c_str(), stderr);
        if (options.role != "share") ::_exit(3);
    }

    void Count(const CZoError& err) {
        if (!err.IsError()) return;
        if (FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) ++stats.lockRefusals;
        const std::string code = ErrorCode(err);
        // The first of each kind in full, for the test's report.
        if (errors.Of(code) == 0) std::fprintf(stderr, "first %s: %s\n", code.c_str(), err.AsString().c_str());
        errors.Add(code);
    }

    void WriteStats() {
        stats.errors = errors.AsText();
        for (const EvDebug::CapturedLine& line : EvDebug::TEST_CapturedLines()) {
            if (line.text.compare(0, 25, "Releasing cache container") == 0) ++stats.releases;
            unsigned items = 0;
            if (std::sscanf(line.text.c_str(), "Items pruned [%u]", &items) == 1) stats.prunes += items;
            if (line.level < 0) std::fprintf(stderr, "logged: %s\n", line.text.c_str());
        }
        std::ofstream out(StatsFile(options.root, options.index));
        out << stats.ops << " " << stats.writesClosed << " " << stats.writesAbandoned << " " << stats.readsServed
            << " " << stats.readsMissed << " " << stats.lockRefusals << " " << stats.releases << " " << stats.prunes
            << " " << stats.mismatches << "\n"
            << stats.errors << "\n";
    }

    WorkerStats stats;

private:
    const WorkerOptions options;
    CLiveBrowseCache* const lbc;
    Random random;
    const long long jobId;
    ErrorTally errors;
};

void Report(char c) {
    if (::write(kReportFd, &c, 1) != 1) std::fputs("report pipe gone\n", stderr);
}

void Configure(const WorkerOptions& options) {
    const std::string jobResults = options.root + "/jr" + std::to_string(options.index);
    MakeFolder(jobResults);
    XKPlatformInfo::TEST_SetJobResultsDirectory(jobResults);
    XKPlatformInfo::TEST_Set(kKey, "sLiveBrowseCacheLocation", options.root + "/shared");
    XKPlatformInfo::TEST_Set(kKey, "sLBCLogFolder", options.root + "/logs" + std::to_string(options.index));
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableMetadataRestoreOptimization", true);
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableLiveBrowseCache", true);
    XKPlatformInfo::TEST_SetNumber(kKey, "nLiveBrowseCacheAfileIdleTime", 1);
    XKPlatformInfo::TEST_SetNumber(kKey, "nLBCPruningInterval", 0);
    XKPlatformInfo::TEST_SetNumber(kKey, "nLBCDebugLevel", 1);
    SystemClock::TEST_Freeze(static_cast<int64_t>(::time(nullptr)));
    if (options.remote) {
        LoopbackFS::TEST_ServeHost(kLoopbackHost, options.root + "/served");
        MediaManager::MountPathInfo mountPath;
        mountPath.setMMPathId(7);
        mountPath.setPath(std::string("IP|10|20|") + kLoopbackHost + "|30|/vol");
        XKMMmountPath::TEST_Answer answer;
        answer.mountPaths.push_back(mountPath);
        XKMMmountPath::TEST_SetDefaultAnswer(answer);
    }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> WorkerEnvironment(const WorkerOptions& options) {
    return {{kEnvRole, options.role},
            {kEnvRoot, options.root},
            {kEnvIndex, std::to_string(options.index)},
            {kEnvOps, std::to_string(options.ops)},
            {kEnvSeed, std::to_string(options.seed)},
            {kEnvRemote, options.remote ? "1" : "0"}};
}

void MakeWorkerFolders(const std::string& root) {
    MakeFolder(root + "/shared");
    MakeFolder(root + "/served");
    MakeFolder(root + "/served/vol");
}

std::string WorkerLocation(const std::string& root, bool remote) {
    return remote ? root + "/served/vol" : root + "/shared/LiveBrowseCache";
}

bool ReadWorkerStats(const std::string& root, int index, WorkerStats& stats) {
    std::ifstream in(StatsFile(root, index));
    if (!(in >> stats.ops >> stats.writesClosed >> stats.writesAbandoned >> stats.readsServed >> stats.readsMissed >>
          stats.lockRefusals >> stats.releases >> stats.prunes >> stats.mismatches))
        return false;
    std::string rest;
    std::getline(in, rest);
    std::getline(in, stats.errors);
    return true;
}

std::vector<std::string> WorkerMismatches(const std::string& root) {
    std::vector<std::string> reports;
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) return reports;
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, 9, "mismatch-") != 0) continue;
        std::ifstream in(root + "/" + name);
        std::ostringstream text;
        text << in.rdbuf();
        reports.push_back(text.str());
    }
    ::closedir(dir);
    return reports;
}

}  // namespace stress

// The child's side: does nothing unless a test started it.
TEST(StressWorker, DISABLED_Host) {
    using namespace stress;
    WorkerOptions options;
    options.role = Env(kEnvRole);
    if (options.role.empty()) GTEST_SKIP() << "started only by the multi-process and crash tests";
    options.root = Env(kEnvRoot);
    options.index = std::atoi(Env(kEnvIndex).c_str());
    options.ops = std::atoll(Env(kEnvOps).c_str());
    options.seed = std::strtoull(Env(kEnvSeed).c_str(), nullptr, 10);
    options.remote = Env(kEnvRemote) == "1";

    Configure(options);
    const bool bounded = options.role != "crash";
    if (bounded) EvDebug::TEST_StartCapture();
    CLiveBrowseCache* lbc = CLiveBrowseCache::GetInstance();
    if (lbc == nullptr) {
        if (!bounded) Report('F');
        FAIL() << "no cache instance";
    }
    Worker worker(options, lbc);

    if (options.role != "share") {
        worker.ReadBackAll();
        if (!worker.CacheOne()) {
            Report('F');
            FAIL() << "a fresh process could not cache an extent";
        }
        Report('R');
    }
    for (long long op = 0; !bounded || op < options.ops; ++op) worker.RandomOperation();

    CLiveBrowseCache::DestroyInstance();
    ReleasePublishedCacheImpl();
    worker.WriteStats();
    EXPECT_EQ(0, worker.stats.mismatches);
}
