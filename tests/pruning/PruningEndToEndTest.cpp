// Pruning through the public facade: extents written and read by the host,
// the location's own pruner ticked through its thread's test hook, time
// moved through the clock seam.

#include "support/ServiceFixture.h"

#include "metadb/CacheDB.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CachePruner.h"
#include "store/CacheNamespace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr long long kAfile = 812;
constexpr unsigned int kCell = 2;
constexpr unsigned int kCopy = 1;
constexpr long long kJob = 55;
constexpr long long kDay = 86400;

std::string Bytes(long long offset, unsigned generation, size_t length = 3000) {
    std::string bytes = "TAGHD01";
    for (size_t i = bytes.size(); i < length; ++i)
        bytes.push_back(static_cast<char>((i * 131 + offset * 17 + generation * 7) & 0xff));
    return bytes;
}

class PruningEndToEndTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        SystemClock::TEST_Freeze(static_cast<int64_t>(::time(nullptr)));
    }
    void TearDown() override {
        pruner.reset();
        ServiceFixture::TearDown();
        SystemClock::TEST_Reset();
    }

    void Start() {
        lbc = StartService();
        ASSERT_NE(nullptr, lbc);
    }

    CZoError Write(long long offset, const std::string& bytes) {
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(kAfile, offset, kCell, kCopy, kJob, 0, writer);
        if (err.IsError()) return err;
        err = writer->Write(bytes.data(), static_cast<unsigned long>(bytes.size()));
        if (err.IsError()) return err;
        return writer->Close();
    }
    std::string Read(long long offset, CZoError& err) {
        CLiveBrowseCache::ReaderPtr reader;
        err = lbc->GetReaderObject(kAfile, offset, kCell, kCopy, kJob, 0, reader);
        if (err.IsError()) return std::string();
        CAutoMemory<char> buffer;
        err = reader->Read(buffer);
        if (err.IsError() || buffer.Ptr() == nullptr) return std::string();
        return std::string(buffer.Ptr(), buffer.Size());
    }

    // The location's pruner, once the first request has made it.
    void FindPruner() {
        std::vector<CachePrunerPtr> pruners = Impl()->TEST_Pruners();
        ASSERT_EQ(1u, pruners.size());
        pruner = pruners[0];
        std::string dbRoot = pruner->TEST_CacheDB()->GetCacheDBFolderPath();
        ASSERT_FALSE(CacheNamespace::GenerateFlatFilePath(kAfile, kCell, kCopy,
                                                          pruner->TEST_Cache()->GetCacheDataFolderPath(), flatFile)
                         .IsError());
        ASSERT_FALSE(CacheNamespace::GenerateAfileDBFolderPath(kAfile, kCell, kCopy, dbRoot, dbFolder).IsError());
        dataFolder = flatFile.substr(0, flatFile.rfind('/'));
        prunedFile = dataFolder + "/pruned." + flatFile.substr(flatFile.rfind('/') + 1);
        dbFile = dbFolder + "/afile_cache.db";
    }
    void TickAfter(long long seconds) {
        SystemClock::TEST_AdvanceSeconds(seconds);
        ASSERT_TRUE(pruner->TEST_TickNow(true));
    }
    void AgeDatabase(long long seconds) {
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(SystemClock::Time() - seconds);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, dbFile.c_str(), times, 0)) << dbFile;
    }
    static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

    CLiveBrowseCache* lbc = nullptr;
    CachePrunerPtr pruner;
    std::string flatFile, dataFolder, prunedFile, dbFolder, dbFile;
};

TEST_F(PruningEndToEndTest, AnAgedJobIsPrunedAndTheAfileCanBeCachedAgain) {
    Start();
    const std::string first = Bytes(0, 1);
    ASSERT_FALSE(Write(0, first).IsError());
    FindPruner();
    CZoError err;
    ASSERT_EQ(first, Read(0, err)) << err.AsString();

    // The container is released on the next tick (no pass yet), which writes
    // the database back to the location.
    TickAfter(31);
    EXPECT_EQ(0u, pruner->TEST_CacheDB()->TEST_ContainerCount());
    ASSERT_TRUE(Exists(dbFile));
    ASSERT_TRUE(Exists(flatFile));
    AgeDatabase(8 * kDay);
    // The maintenance window was just used, so this tick's pass leaves the
    // bucket folders to a later one.
    ASSERT_TRUE(pruner->TEST_Cache()->SetCacheInMaintenance(true));
    ASSERT_TRUE(pruner->TEST_Cache()->SetCacheInMaintenance(false));

    TickAfter(300 - 31);
    EXPECT_EQ(1u, CountContaining("Done pruning ["));
    EXPECT_FALSE(Exists(dataFolder));
    EXPECT_FALSE(Exists(dbFolder));
    EXPECT_FALSE(Exists(prunedFile));
    EXPECT_FALSE(Exists(dbFolder + "/lockfile"));
    EXPECT_TRUE(IsFolder(Parent(dataFolder)));
    EXPECT_TRUE(IsFolder(Parent(dbFolder)));

    bool cached = true, recorded = true;
    ASSERT_FALSE(lbc->IsExtentInCache(kAfile, 0, kCell, kCopy, cached, recorded).IsError());
    EXPECT_FALSE(cached);
    EXPECT_EQ("", Read(0, err));
    EXPECT_TRUE(err.IsError());

    const std::string second = Bytes(0, 2, 1234);
    ASSERT_FALSE(Write(0, second).IsError());
    EXPECT_EQ(second, Read(0, err)) << err.AsString();
}

// Ageing a job makes the days-based pass prune it: the write-back of the aged
// row leaves the database file with the time the ageing set, not the time of
// the write-back. A job referenced again after its ageing is young again.
TEST_F(PruningEndToEndTest, AJobAgedThroughTheFacadeIsPrunedByTheNextPass) {
    Start();
    ASSERT_FALSE(Write(0, Bytes(0, 1)).IsError());
    FindPruner();
    TickAfter(31);  // written back: the job is listed from now on
    ASSERT_FALSE(lbc->AgeCachedJob(kJob, kAfile, kCell, kCopy, 0).IsError());
    TickAfter(31);  // releases the container: the aged row is written back
    ASSERT_EQ(0u, pruner->TEST_CacheDB()->TEST_ContainerCount());
    struct stat st;
    ASSERT_EQ(0, ::stat(dbFile.c_str(), &st));
    EXPECT_EQ(SystemClock::Time() - 31 - 8 * kDay, static_cast<int64_t>(st.st_mtime));

    TickAfter(300 - 62);
    EXPECT_EQ(1u, CountContaining("Done pruning ["));
    EXPECT_FALSE(Exists(dbFolder));
    EXPECT_FALSE(Exists(flatFile));
}

TEST_F(PruningEndToEndTest, AJobReadAfterItsAgeingIsKept) {
    Start();
    ASSERT_FALSE(Write(0, Bytes(0, 1)).IsError());
    FindPruner();
    TickAfter(31);
    ASSERT_FALSE(lbc->AgeCachedJob(kJob, kAfile, kCell, kCopy, 0).IsError());
    CZoError err;
    ASSERT_EQ(Bytes(0, 1), Read(0, err)) << err.AsString();
    TickAfter(31);
    TickAfter(300 - 62);
    EXPECT_EQ(0u, CountContaining("Done pruning ["));
    EXPECT_TRUE(Exists(dbFile));
    EXPECT_TRUE(Exists(flatFile));
}

TEST_F(PruningEndToEndTest, AListedAfileIsPrunedOnTheNextPass) {
    XKPlatformInfo::TEST_SetNumber(kKey, "nLBCPruningInterval", 0);
    Start();
    ASSERT_FALSE(Write(0, Bytes(0, 1)).IsError());
    FindPruner();
    TickAfter(31);  // releases the container; the database is young: nothing pruned
    ASSERT_TRUE(Exists(dbFile));
    XKPlatformInfo::TEST_SetList(kKey, "sTestLiveBrowseCachePruneAfiles", {std::to_string(kAfile)});

    TickAfter(1);
    EXPECT_FALSE(Exists(dataFolder));
    EXPECT_FALSE(Exists(dbFolder));
    EXPECT_FALSE(XKPlatformInfo::TEST_Has(kKey, "sTestLiveBrowseCachePruneAfiles"));
    CZoError err;
    EXPECT_EQ("", Read(0, err));
}

// A host thread writes and reads the afile's extents while the pruner prunes
// it again and again. Every extent always gets the same bytes, so any other
// bytes a read returns are another extent's.
TEST_F(PruningEndToEndTest, AHostWritingAndReadingWhileItsAfileIsPrunedNeverReadsOtherBytes) {
    XKPlatformInfo::TEST_SetNumber(kKey, "nLBCPruningInterval", 0);
    Start();
    const int kExtents = 6;
    for (int offset = 0; offset < kExtents; ++offset)
        ASSERT_FALSE(Write(offset * 4096, Bytes(offset, 0, 1000 + 300 * offset)).IsError());
    FindPruner();

    std::mutex lock;
    std::condition_variable changed;
    bool pauseRequested = false, paused = false, stop = false;  // guarded by lock
    std::atomic<int> goodReads{0}, wrongReads{0}, iterations{0};

    std::thread host([&] {
        for (unsigned i = 0;; ++i) {
            {
                std::unique_lock<std::mutex> guard(lock);
                if (pauseRequested) {
                    paused = true;
                    changed.notify_all();
                    changed.wait(guard, [&] { return !pauseRequested || stop; });
                    paused = false;
                }
                if (stop) return;
            }
            const int offset = static_cast<int>(i % kExtents);
            Write(offset * 4096, Bytes(offset, 0, 1000 + 300 * offset));  // refusals are expected
            for (int probe : {offset, static_cast<int>((i * 5 + 1) % kExtents)}) {
                CZoError err;
                std::string got = Read(probe * 4096, err);
                if (err.IsError()) continue;
                if (got == Bytes(probe, 0, 1000 + 300 * probe))
                    ++goodReads;
                else
                    ++wrongReads;
            }
            ++iterations;
        }
    });

    auto setPause = [&](bool on) {
        std::unique_lock<std::mutex> guard(lock);
        pauseRequested = on;
        changed.notify_all();
        if (on) changed.wait(guard, [&] { return paused; });
    };

    const int kRounds = 30;
    for (int round = 0; round < kRounds; ++round) {
        // With the host idle, a tick releases its container and so writes
        // the database back; then the afile is listed for the next pass.
        setPause(true);
        TickAfter(31);
        XKPlatformInfo::TEST_SetList(kKey, "sTestLiveBrowseCachePruneAfiles", {std::to_string(kAfile)});
        const size_t totals = CountContaining("Total items pruned");
        SystemClock::TEST_AdvanceSeconds(1);
        ASSERT_TRUE(pruner->TEST_TickNow(false));
        if (round % 2 == 1) {
            // Every other round the host resumes only once the pruner holds
            // the afile, so that it meets the pruning's later steps.
            ASSERT_TRUE(WaitFor([&] { return !Exists(dbFile) || CountContaining("Total items pruned") > totals; }));
        }
        setPause(false);
        const int before = iterations.load();
        ASSERT_TRUE(WaitFor([&] { return iterations.load() >= before + 3; }));
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        stop = true;
        changed.notify_all();
    }
    host.join();
    ASSERT_TRUE(pruner->TEST_TickNow(true));

    EXPECT_EQ(0, wrongReads.load());
    EXPECT_GT(goodReads.load(), 0);
    EXPECT_GE(CountContaining("Done pruning ["), static_cast<size_t>(kRounds / 2));
}

}  // namespace
