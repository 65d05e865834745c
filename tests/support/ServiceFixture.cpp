#include "support/ServiceFixture.h"

#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "metadb/CacheDB.h"
#include "platform/SystemClock.h"
#include "platform/XKClient.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheFileIO.h"
#include "store/FlatFileCacheItem.h"

#include <boost/any.hpp>
#include <boost/make_shared.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <mutex>
#include <thread>

void ServiceFixture::SetUp() {
    ReleasePublishedCacheImpl();
    XKPlatformInfo::TEST_Clear();
    XKMMmountPath::TEST_ResetAll();
    XKClient::TEST_ResetAll();
    SystemClock::TEST_Reset();
    TEST_ClearPerJobPerfCounters();
    LIVE_BROWSE_CACHE_TESTABILITY.store(0);

    ::mkdir(JobResultsFolder().c_str(), 0755);
    XKPlatformInfo::TEST_SetJobResultsDirectory(JobResultsFolder());
    XKPlatformInfo::TEST_Set(kKey, "sLBCLogFolder", LogFolder());
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableMetadataRestoreOptimization", true);
    XKPlatformInfo::TEST_SetBool(kKey, "bEnableLiveBrowseCache", true);

    EvDebug::TEST_SetDebugLevel(5);
    ASSERT_TRUE(CLiveBrowseCache::InitializeLogging());
    EvDebug::TEST_StartCapture();
}

void ServiceFixture::TearDown() {
    StopService();
    EvDebug::TEST_StopCapture();
    EvDebug::TEST_ClearDebugLevel();
    StoreLogWriterLBC(boost::shared_ptr<CLogWriterInterface>());
    LIVE_BROWSE_CACHE_TESTABILITY.store(0);
    TEST_ClearPerJobPerfCounters();
    SystemClock::TEST_Reset();
    XKClient::TEST_ResetAll();
    XKMMmountPath::TEST_ResetAll();
    XKPlatformInfo::TEST_Clear();
    XKPlatformInfo::TEST_SetJobResultsDirectory(std::string());
}

CLiveBrowseCache* ServiceFixture::StartService() {
    CLiveBrowseCache* instance = CLiveBrowseCache::GetInstance();
    EXPECT_NE(nullptr, instance);
    if (instance == nullptr) return nullptr;
    CZoError err = instance->InitializeInTestMode(JobResultsFolder());
    EXPECT_FALSE(err.IsError()) << err.AsString();
    return err.IsError() ? nullptr : instance;
}

void ServiceFixture::StopService() {
    CLiveBrowseCache::DestroyInstance();
    ReleasePublishedCacheImpl();
}

void ServiceFixture::MakeLocalLocation(const std::string& root, CachePtr& cache, CacheDBPtr& db) {
    cache = boost::make_shared<Cache>(Cache::FLAT_FILE_CACHE, root, true);
    cache->SetMountPathInfo(boost::any());
    CZoError err = cache->Initialize();
    ASSERT_FALSE(err.IsError()) << err.AsString();
    db = boost::make_shared<CacheDB>(CacheDB::DB_TYPE_SQLITE, root + "/DB", root + "/DB", false, true);
    boost::any local;
    db->SetRemoteFileIO(boost::make_shared<CCacheFileIO>(local));
    err = db->Initialize();
    ASSERT_FALSE(err.IsError()) << err.AsString();
}

std::vector<EvDebug::CapturedLine> ServiceFixture::Lines() { return EvDebug::TEST_CapturedLines(); }

size_t ServiceFixture::Count(int level, const std::string& text) {
    size_t n = 0;
    for (const EvDebug::CapturedLine& line : Lines())
        if (line.level == level && line.text == text) ++n;
    return n;
}

size_t ServiceFixture::CountContaining(const std::string& text) {
    size_t n = 0;
    for (const EvDebug::CapturedLine& line : Lines())
        if (line.text.find(text) != std::string::npos) ++n;
    return n;
}

int ServiceFixture::ThreadCount() {
    // A sanitizer starts a helper thread of its own with the first thread of
    // the process: make that happen before anything is counted.
    static std::once_flag settled;
    std::call_once(settled, [] { std::thread([] {}).join(); });
    int count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (struct dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}

bool ServiceFixture::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool ServiceFixture::Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool ServiceFixture::IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
