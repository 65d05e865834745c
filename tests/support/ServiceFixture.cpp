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

#include <sys/stat.h>

#include <algorithm>
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

size_t ServiceFixture::CountAt(int level, const std::string& text) {
    size_t n = 0;
    for (const EvDebug::CapturedLine& line : Lines())
        if (line.level == level && line.text.find(text) != std::string::npos) ++n;
    return n;
}

bool ServiceFixture::Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool ServiceFixture::IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void StartedServiceFixture::SetUp() {
    ServiceFixture::SetUp();
    BeforeStart();
    SystemClock::TEST_Freeze(kNow);
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
}

CZoError StartedServiceFixture::WriteExtent(long long afile, long long offset, const std::string& bytes,
                                            long long flags, size_t chunk) {
    CLiveBrowseCache::WriterPtr writer;
    CZoError err = lbc->GetWriterObject(afile, offset, kTessarel, kCopy, kJob, flags, writer);
    if (err.IsError()) return err;
    const size_t step = chunk == 0 ? bytes.size() : chunk;
    for (size_t at = 0; at < bytes.size(); at += step) {
        err = writer->Write(bytes.data() + at, std::min(step, bytes.size() - at));
        if (err.IsError()) return err;
    }
    return writer->Close();
}

std::string StartedServiceFixture::ReadExtent(long long afile, long long offset, CZoError& err, long long flags) {
    CLiveBrowseCache::ReaderPtr reader;
    err = lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, flags, reader);
    if (err.IsError()) return std::string();
    CAutoMemory<char> buffer;
    err = reader->Read(buffer);
    if (err.IsError()) return std::string();
    return std::string(buffer.Ptr() == nullptr ? "" : buffer.Ptr(), buffer.Size());
}
