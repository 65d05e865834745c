// Many host threads on every request of the facade at once, over a few afiles
// and overlapping extents, while the pruner and the periodic thread tick fast
// (time moved through the clock seam) and prune afiles under the hosts' feet.
// Every byte a host is handed must belong to one whole write of that extent
// that was closed; an error is always allowed, another extent's bytes never.

#include "support/ServiceFixture.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/EvDebug.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "metadb/CacheDB.h"
#include "metadb/SQLiteAdapter.h"
#include "pruning/CachePruner.h"
#include "reliability/StressSupport.h"
#include "store/CacheLookup.h"
#include "store/CacheNamespace.h"

#include <boost/make_shared.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using stress::CheckExtentBytes;
using stress::ExtentBytes;
using stress::Random;

constexpr long long kAfiles[] = {7001, 7002, 7003, 7004};
constexpr long long kOffsets[] = {0, 1000, 2000, 3000, 4000, 5000, 6000, 7000};
constexpr unsigned int kTessarel = 5;
constexpr unsigned int kCopy = 2;
constexpr long long kJob = 77;
constexpr long long kPartial = 0x400000000LL;
constexpr long long kDay = 86400;

// Longer than the distance between offsets, so the extents overlap in the
// afile; a third of the rewrites change the length, the rest keep it (once
// written over the old region while readers streamed it).
size_t ExtentLength(long long offset, uint32_t generation) {
    return 1500 + static_cast<size_t>(offset / 1000) * 200 + (generation % 3 == 0 ? 250 : 0);
}

// The generations handed to Close, per extent: a reader may be served any
// of them (a Close under way included), nothing else. And the latest whose
// Close succeeded: one extent has one Writer at a time, so a read admitted
// after that Close returned is served that generation or a later one.
class Ledger {
public:
    void Closing(long long afile, long long offset, uint32_t generation) {
        std::lock_guard<std::mutex> guard(lock);
        closing[{afile, offset}].insert(generation);
    }
    bool WasClosing(long long afile, long long offset, uint32_t generation) {
        std::lock_guard<std::mutex> guard(lock);
        auto found = closing.find({afile, offset});
        return found != closing.end() && found->second.count(generation) != 0;
    }
    void Closed(long long afile, long long offset, uint32_t generation) {
        std::lock_guard<std::mutex> guard(lock);
        uint32_t& latest = closed[{afile, offset}];
        latest = std::max(latest, generation);
    }
    uint32_t LatestClosed(long long afile, long long offset) {
        std::lock_guard<std::mutex> guard(lock);
        auto found = closed.find({afile, offset});
        return found == closed.end() ? 0 : found->second;
    }

private:
    std::mutex lock;
    // guarded by lock
    std::map<std::pair<long long, long long>, std::set<uint32_t>> closing;
    std::map<std::pair<long long, long long>, uint32_t> closed;
};

// Lets the outside cut a flat file only while no Writer's Close is under
// way. Close reserves its region (looks at the file's end, grows the file) and
// then writes its bytes; a cut inside that span is grown back over by them,
// older regions read as zeros under their rows' GUID, and the file's length
// alone cannot tell (only checksums of the bytes could). A cut at any other
// moment, also between a Writer's admission and its Close, is the test's.
class WriteGate {
public:
    // Around one Writer's Close.
    void Enter() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return !shut; });
        ++writing;
    }
    void Leave() {
        std::lock_guard<std::mutex> guard(lock);
        --writing;
        changed.notify_all();
    }
    // Runs `step` once no write is under way, keeping new ones out meanwhile.
    void WhileNoWrite(const std::function<void()>& step) {
        std::unique_lock<std::mutex> guard(lock);
        shut = true;
        changed.wait(guard, [&] { return writing == 0; });
        step();
        shut = false;
        changed.notify_all();
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    // guarded by lock
    bool shut = false;
    int writing = 0;
};

struct Figures {
    std::atomic<long long> ops{0};
    std::atomic<long long> writesClosed{0};
    std::atomic<long long> writesAbandoned{0};
    std::atomic<long long> readsServed{0};
    std::atomic<long long> chunkedReadsServed{0};
    std::atomic<long long> bytesVerified{0};
    std::atomic<long long> listed{0};
    std::atomic<long long> aged{0};
    std::atomic<long long> ticks{0};
};

class ThreadsStressTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        now = static_cast<int64_t>(::time(nullptr));
        SystemClock::TEST_Freeze(now);
        XKPlatformInfo::TEST_SetNumber(kKey, "nLiveBrowseCacheAfileIdleTime", 2);
        XKPlatformInfo::TEST_SetNumber(kKey, "nLBCPruningInterval", 0);
        XKPlatformInfo::TEST_SetNumber(kKey, "nLiveBrowseCacheMaxDaysRetention", 1);
        lbc = StartService();
        ASSERT_NE(nullptr, lbc);
        // Level-1 lines and failures only: the per-request trace would
        // dominate the run.
        EvDebug::TEST_SetDebugLevel(1);
        ClearLines();
    }

    // Every failure a host sees is allowed; a wrong byte never is.
    void Violation(const std::string& what) {
        std::lock_guard<std::mutex> guard(violationsLock);
        if (violations.size() < 20) violations.push_back(what);
        ++violationCount;
    }

    void Tally(const CZoError& err) {
        std::lock_guard<std::mutex> guard(tallyLock);
        errors.Add(stress::ErrorCode(err));
    }

    // `floor`: the latest generation closed before the read was admitted
    // (checked only when the test says so).
    void Verify(long long afile, long long offset, const std::string& bytes, bool chunked, uint32_t floor) {
        uint32_t generation = 0;
        std::string why;
        if (!CheckExtentBytes(afile, offset, bytes.data(), bytes.size(), generation, why)) {
            Violation("afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": " + why);
        } else if (!ledger.WasClosing(afile, offset, generation)) {
            Violation("afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": generation " +
                      std::to_string(generation) + " was never closed");
        } else if (checkOrder && generation < floor) {
            Violation("afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": generation " +
                      std::to_string(generation) + " served after generation " + std::to_string(floor) +
                      " was closed");
        } else {
            ++(chunked ? figures.chunkedReadsServed : figures.readsServed);
            figures.bytesVerified += static_cast<long long>(bytes.size());
        }
    }

    void Write(Random& random, long long afile, long long offset) {
        const long long flags = random.Percent(20) ? kPartial : 0;
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, offset, kTessarel, kCopy, kJob, flags, writer);
        if (err.IsError()) return Tally(err);
        const uint32_t generation = nextGeneration++;
        const std::string bytes = ExtentBytes(afile, offset, generation, ExtentLength(offset, generation));
        const size_t chunks = 1 + random.Below(4);
        const size_t step = (bytes.size() + chunks - 1) / chunks;
        const bool abandon = random.Percent(8);
        const size_t stopAt = abandon ? random.Below(bytes.size()) : bytes.size();
        for (size_t at = 0; at < stopAt; at += step) {
            err = writer->Write(bytes.data() + at, static_cast<unsigned long>(std::min(step, bytes.size() - at)));
            if (err.IsError()) return Tally(err);
        }
        if (abandon) {
            ++figures.writesAbandoned;  // released without Close
            return;
        }
        ledger.Closing(afile, offset, generation);
        gate.Enter();
        err = writer->Close();
        gate.Leave();
        if (err.IsError()) return Tally(err);
        ledger.Closed(afile, offset, generation);
        ++figures.writesClosed;
    }

    void Read(Random& random, long long afile, long long offset, bool chunked) {
        const long long flags = random.Percent(30) ? kPartial : 0;
        const uint32_t floor = ledger.LatestClosed(afile, offset);
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, flags, reader);
        if (err.IsError()) return Tally(err);
        std::string bytes;
        if (!chunked) {
            CAutoMemory<char> buffer;
            err = reader->Read(buffer);
            if (err.IsError()) return Tally(err);
            if (buffer.Ptr() != nullptr) bytes.assign(buffer.Ptr(), buffer.Size());
        } else {
            const unsigned long chunk = 1 + static_cast<unsigned long>(random.Below(900));
            const bool intoMemory = random.Percent(50);
            std::vector<char> memory(chunk);
            for (int calls = 0; calls < 10000; ++calls) {
                unsigned long size = chunk;
                if (intoMemory) {
                    err = reader->Read(static_cast<void*>(memory.data()), size);
                    if (err.IsError()) return Tally(err);
                    bytes.append(memory.data(), size);
                } else {
                    CAutoMemory<char> buffer;
                    err = reader->Read(buffer, size);
                    if (err.IsError()) return Tally(err);
                    if (size > 0 && buffer.Ptr() != nullptr) bytes.append(buffer.Ptr(), size);
                }
                if (size == 0) break;
            }
            if (reader->Size() != bytes.size())
                Violation("afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": Size() " +
                          std::to_string(reader->Size()) + " but " + std::to_string(bytes.size()) + " bytes streamed");
        }
        Verify(afile, offset, bytes, chunked, floor);
    }

    void ListExtents(Random& random, long long afile) {
        boost::shared_ptr<CLiveBrowseCache::ExtentIterator> iterator;
        CZoError err = lbc->GetExtentIterator(0, afile, kTessarel, kCopy, 1 + random.Below(7), iterator);
        if (err.IsError()) return Tally(err);
        for (int n = 0; n < 1000; ++n) {
            long long listedAfile = 0, offset = 0;
            unsigned int copy = 0, tessarel = 0;
            std::string guid;
            err = iterator->GetNextExtentInfo(listedAfile, offset, copy, tessarel, guid);
            if (FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) break;
            if (err.IsError()) return Tally(err);
            bool known = false;
            for (long long o : kOffsets) known = known || o == offset;
            if (listedAfile != afile || copy != kCopy || tessarel != kTessarel || !known)
                Violation("extent iterator of afile " + std::to_string(afile) + " listed afile " +
                          std::to_string(listedAfile) + " offset " + std::to_string(offset));
            ++figures.listed;
        }
    }

    void ListJobs(Random& random, long long afile) {
        boost::shared_ptr<CLiveBrowseCache::JobIterator> iterator;
        CZoError err = lbc->GetCachedJobIterator(0, afile, kTessarel, kCopy, 1 + random.Below(3), iterator);
        if (err.IsError()) return Tally(err);
        for (int n = 0; n < 100; ++n) {
            long long listedAfile = 0, job = 0;
            unsigned int copy = 0, tessarel = 0;
            std::string guid;
            time_t lastReference = 0;
            err = iterator->GetNextVMInfo(listedAfile, job, copy, tessarel, guid, lastReference);
            if (FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) break;
            if (err.IsError()) return Tally(err);
            if (listedAfile != afile || copy != kCopy || tessarel != kTessarel)
                Violation("job iterator of afile " + std::to_string(afile) + " listed afile " +
                          std::to_string(listedAfile));
            ++figures.listed;
        }
    }

    void Host(int index, int operations) {
        Random random(seed * 1000 + static_cast<uint64_t>(index));
        for (int i = 0; i < operations; ++i) {
            const long long afile = kAfiles[random.Below(4)];
            const long long offset = kOffsets[random.Below(8)];
            const uint64_t pick = random.Below(100);
            if (pick < 35) {
                Write(random, afile, offset);
            } else if (pick < 60) {
                Read(random, afile, offset, false);
            } else if (pick < 80) {
                Read(random, afile, offset, true);
            } else if (pick < 87) {
                bool cached = false, recorded = false;
                CZoError err = lbc->IsExtentInCache(afile, offset, kTessarel, kCopy, cached, recorded);
                if (err.IsError()) Tally(err);
                if (!err.IsError() && cached && !recorded) Violation("cached but not recorded");
            } else if (pick < 93) {
                ListExtents(random, afile);
            } else if (pick < 97) {
                ListJobs(random, afile);
            } else {
                CZoError err = lbc->AgeCachedJob(0, afile, kTessarel, kCopy, static_cast<unsigned>(random.Below(3)));
                if (err.IsError()) Tally(err);
                else ++figures.aged;
            }
            ++figures.ops;
        }
    }

    std::string DBFile(long long afile) {
        std::string folder;
        CZoError err = CacheNamespace::GenerateAfileDBFolderPath(afile, kTessarel, kCopy,
                                                                 LocalCacheFolder() + "/DB", folder);
        return err.IsError() ? std::string() : folder + "/afile_cache.db";
    }

    // One round of the background duties, a few seconds later each time:
    // idle afiles are released, listed and aged ones pruned.
    void Tick(long long round) {
        SystemClock::TEST_AdvanceSeconds(31);
        if (round % 5 == 0)
            XKPlatformInfo::TEST_SetList(kKey, "sTestLiveBrowseCachePruneAfiles",
                                         {std::to_string(kAfiles[(round / 5) % 4])});
        if (round % 7 == 0) {
            // Older than the retention: the days-based policy takes it.
            struct timespec times[2];
            times[0].tv_sec = static_cast<time_t>(SystemClock::Time() - 3 * kDay);
            times[0].tv_nsec = 0;
            times[1] = times[0];
            ::utimensat(AT_FDCWD, DBFile(kAfiles[(round / 7) % 4]).c_str(), times, 0);
        }
        CLiveBrowseCacheImplPtr impl = Impl();
        for (const CachePrunerPtr& pruner : impl->TEST_Pruners()) pruner->TEST_TickNow(true);
        if (round % 4 == 0) impl->TEST_PeriodicThread()->TEST_TickNow(true);
        ++figures.ticks;
    }

    // The things done to one afile from outside its hosts, in turn.
    struct OneAfileEvents {
        long long released = 0;
        long long flatFilesDeleted = 0;
        long long flatFilesCut = 0;
        long long commitsFailed = 0;
    };

    // Another round of the outside events of the one-afile test.
    void OneAfileEvent(long long afile, long long round, OneAfileEvents& events) {
        CacheDBPtr db = GetDB(afile, kCopy);
        ASSERT_TRUE(db);
        SystemClock::TEST_AdvanceSeconds(31);
        const VM key(kTessarel, kCopy, afile, std::string(), kJob, 0, std::string());
        std::string flatFile;
        ASSERT_FALSE(GetCache(afile, kCopy)->GetCacheFilePath(key, flatFile).IsError());
        switch (round % 4) {
            case 0:
                // The idle pass (its containers may or may not be idle now),
                // then the release of the afile's container whatever it is.
                db->ReleaseIdleResources();
                db->ReleaseResources({key});
                ++events.released;
                break;
            case 1:
                if (::unlink(flatFile.c_str()) == 0) ++events.flatFilesDeleted;
                break;
            case 2:
                gate.WhileNoWrite([&] {
                    struct stat st;
                    if (::stat(flatFile.c_str(), &st) == 0 && st.st_size > 0 &&
                        ::truncate(flatFile.c_str(), st.st_size / 2) == 0)
                        ++events.flatFilesCut;
                });
                break;
            default: {
                // The next COMMIT of the container fails as a busy database's
                // does, leaving its transaction open: it is taken by the
                // forced commit here, or by one a host's release makes first.
                // Disarmed before the container is let go, so that no
                // release's last commit fails and loses rows.
                CacheDBPtr container;
                ASSERT_FALSE(db->GetCacheDB(key, container, true, true).IsError());
                auto* adapter = dynamic_cast<SQLiteAdapter*>(container->TEST_Implementation().get());
                ASSERT_NE(nullptr, adapter);
                ExtentPtr extent = boost::make_shared<Extent>(afile, kOffsets[0], kTessarel, kCopy, kJob);
                adapter->TEST_Database().TEST_FailNextCommit(5);
                CacheDB::CTransactionContextPtr open = container->BeginTransaction(extent);
                if (container->CommitTransaction(true).IsError()) ++events.commitsFailed;
                adapter->TEST_Database().TEST_FailNextCommit(0);
                break;
            }
        }
    }

    void OneAfileHost(int index, int operations, long long afile) {
        Random random(seed * 7000 + static_cast<uint64_t>(index));
        for (int i = 0; i < operations; ++i) {
            const long long offset = kOffsets[random.Below(8)];
            const uint64_t pick = random.Below(100);
            if (pick < 45) {
                Write(random, afile, offset);
            } else if (pick < 70) {
                Read(random, afile, offset, false);
            } else if (pick < 92) {
                Read(random, afile, offset, true);
            } else {
                bool cached = false, recorded = false;
                CZoError err = lbc->IsExtentInCache(afile, offset, kTessarel, kCopy, cached, recorded);
                if (err.IsError()) Tally(err);
            }
            ++figures.ops;
        }
    }

    WriteGate gate;
    CLiveBrowseCache* lbc = nullptr;
    // Also check that no read is served an older generation than one closed
    // before it was admitted.
    bool checkOrder = false;
    int64_t now = 0;
    uint64_t seed = stress::RunSeed(1234);
    Ledger ledger;
    Figures figures;
    std::atomic<uint32_t> nextGeneration{1};
    std::mutex violationsLock;
    std::vector<std::string> violations;  // guarded by violationsLock
    std::atomic<long long> violationCount{0};
    std::mutex tallyLock;
    stress::ErrorTally errors;  // guarded by tallyLock
};

}  // namespace

TEST_F(ThreadsStressTest, SixteenHostsWhilePruningNeverGetOtherBytes) {
    const int kThreads = 16;
    const int kOperations = stress::UnderSanitizer() ? 250 : 600;
    const long long kOpsPerTick = 40;
    const auto started = std::chrono::steady_clock::now();

    // Make the location (and so its pruner) before the first tick.
    ASSERT_TRUE(GetCache(kAfiles[0], kCopy));
    std::atomic<bool> hostsDone{false};
    std::thread ticker([&] {
        long long round = 0;
        for (;;) {
            const long long due = (round + 1) * kOpsPerTick;
            WaitFor([&] { return hostsDone.load() || figures.ops.load() >= due; },
                std::chrono::milliseconds(120000));
            if (hostsDone.load()) break;
            Tick(++round);
        }
    });
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) hosts.emplace_back([this, t, kOperations] { Host(t, kOperations); });
    for (std::thread& host : hosts) host.join();
    hostsDone = true;
    ticker.join();

    // Quiet now: every extent still readable must carry its own closed bytes.
    Random random(seed);
    for (long long afile : kAfiles)
        for (long long offset : kOffsets) Read(random, afile, offset, false);

    long long released = 0, pruned = 0;
    for (const EvDebug::CapturedLine& line : Lines()) {
        if (line.text.compare(0, 25, "Releasing cache container") == 0) ++released;
        unsigned items = 0;
        if (std::sscanf(line.text.c_str(), "Items pruned [%u]", &items) == 1) pruned += items;
    }
    StopService();
    const stress::LocationCheck check =
        stress::CheckLocation(LocalCacheFolder() + "/DB", LocalCacheFolder() + "/DATA");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::cout << "[ FIGURES  ] threads=" << kThreads << " operations=" << figures.ops.load()
              << " writes closed=" << figures.writesClosed.load()
              << " abandoned=" << figures.writesAbandoned.load() << " reads served whole="
              << figures.readsServed.load() << " chunked=" << figures.chunkedReadsServed.load()
              << " bytes verified=" << figures.bytesVerified.load() << " listed=" << figures.listed.load()
              << " aged=" << figures.aged.load() << " ticks=" << figures.ticks.load()
              << " containers released=" << released << " afiles pruned=" << pruned
              << " seconds=" << seconds << "\n[ FIGURES  ] refusals: " << errors.AsText()
              << "\n[ FIGURES  ] on disk: databases=" << check.databases << " rows=" << check.extentRows
              << " served rows=" << check.servedRows << " bytes=" << check.bytesChecked << std::endl;

    EXPECT_EQ(0, violationCount.load());
    for (const std::string& violation : violations) ADD_FAILURE() << violation;
    for (const std::string& problem : check.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(kThreads * kOperations, figures.ops.load());
    // The run did real work on every road.
    EXPECT_GT(figures.writesClosed.load(), 0);
    EXPECT_GT(figures.readsServed.load(), 0);
    EXPECT_GT(figures.chunkedReadsServed.load(), 0);
    EXPECT_GT(figures.ticks.load(), 0);
    EXPECT_GT(released, 0);
}

TEST_F(ThreadsStressTest, AReaderKeepsItsBytesWhileItsExtentIsRewritten) {
    const long long afile = kAfiles[0], offset = kOffsets[2];
    const size_t length = 2500;
    const std::string first = ExtentBytes(afile, offset, 1, length);
    const std::string second = ExtentBytes(afile, offset, 2, length);
    auto write = [&](const std::string& bytes) {
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, offset, kTessarel, kCopy, kJob, 0, writer);
        if (!err.IsError()) err = writer->Write(bytes.data(), static_cast<unsigned long>(bytes.size()));
        if (!err.IsError()) err = writer->Close();
        return err;
    };
    ASSERT_FALSE(write(first).IsError());

    // A host streams the extent; another rewrites it (same length) meanwhile.
    CLiveBrowseCache::ReaderPtr reader;
    ASSERT_FALSE(lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, 0, reader).IsError());
    CAutoMemory<char> buffer;
    unsigned long size = 1000;
    ASSERT_FALSE(reader->Read(buffer, size).IsError());
    std::string streamed(buffer.Ptr(), size);
    ASSERT_FALSE(write(second).IsError());
    for (;;) {
        size = 1000;
        CZoError err = reader->Read(buffer, size);
        if (err.IsError()) {
            streamed.clear();  // an error is allowed, mixed bytes are not
            break;
        }
        if (size == 0) break;
        streamed.append(buffer.Ptr(), size);
    }
    CAutoMemory<char> whole;
    CZoError err = reader->Read(whole);
    const std::string wholeBytes = err.IsError() ? std::string() : std::string(whole.Ptr(), whole.Size());
    reader.reset();

    if (!streamed.empty()) {
        uint32_t generation = 0;
        std::string why;
        EXPECT_TRUE(CheckExtentBytes(afile, offset, streamed.data(), streamed.size(), generation, why) &&
                    generation == 1)
            << "a stream begun on one write went on with another: " << why;
    }
    if (!wholeBytes.empty()) {
        EXPECT_TRUE(wholeBytes == first || wholeBytes == second);
    }
    // And a new reader gets the new bytes.
    CLiveBrowseCache::ReaderPtr fresh;
    ASSERT_FALSE(lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, 0, fresh).IsError());
    CAutoMemory<char> latest;
    ASSERT_FALSE(fresh->Read(latest).IsError());
    EXPECT_EQ(second, std::string(latest.Ptr(), latest.Size()));
}

// Eight hosts on the extents of one afile (reads whole and in chunks,
// rewrites, Writers released without Close) while, from outside, its
// container is released, its flat file deleted or cut (so that the next write
// renews its validity GUID) and its commits fail. Every byte served belongs
// to one whole closed write of its extent, never older than one closed
// before the read was admitted.
TEST_F(ThreadsStressTest, EightHostsOnOneAfileThroughReleasesRenewalsAndFailedCommitsGetTheirLatestBytes) {
    checkOrder = true;
    const long long afile = kAfiles[1];
    const int kThreads = 8;
    const int kOperations = stress::UnderSanitizer() ? 300 : 1000;
    const long long kOpsPerEvent = 60;
    const auto started = std::chrono::steady_clock::now();

    ASSERT_TRUE(GetCache(afile, kCopy));
    OneAfileEvents events;
    long long rounds = 0;
    std::atomic<bool> hostsDone{false};
    std::thread outside([&] {
        for (;;) {
            const long long due = (rounds + 1) * kOpsPerEvent;
            WaitFor([&] { return hostsDone.load() || figures.ops.load() >= due; },
                    std::chrono::milliseconds(120000));
            if (hostsDone.load()) break;
            OneAfileEvent(afile, rounds++, events);
        }
    });
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t)
        hosts.emplace_back([this, t, kOperations, afile] { OneAfileHost(t, kOperations, afile); });
    for (std::thread& host : hosts) host.join();
    hostsDone = true;
    outside.join();

    // Quiet now: every extent written once more (a file cut or deleted last
    // is found lost by the first write, which renews its GUID), then read:
    // every extent still readable carries its latest closed bytes.
    Random random(seed);
    for (long long offset : kOffsets) Write(random, afile, offset);
    for (long long offset : kOffsets) Read(random, afile, offset, false);

    long long renewals = 0;
    for (const EvDebug::CapturedLine& line : Lines())
        if (line.text.find("it is treated as lost") != std::string::npos) ++renewals;
    StopService();
    const stress::LocationCheck check =
        stress::CheckLocation(LocalCacheFolder() + "/DB", LocalCacheFolder() + "/DATA");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::cout << "[ FIGURES  ] threads=" << kThreads << " operations=" << figures.ops.load()
              << " writes closed=" << figures.writesClosed.load() << " abandoned=" << figures.writesAbandoned.load()
              << " reads served whole=" << figures.readsServed.load()
              << " chunked=" << figures.chunkedReadsServed.load() << " bytes verified=" << figures.bytesVerified.load()
              << " events=" << rounds << " released=" << events.released
              << " flat files deleted=" << events.flatFilesDeleted << " cut=" << events.flatFilesCut
              << " renewals=" << renewals << " commits failed=" << events.commitsFailed << " seconds=" << seconds
              << "\n[ FIGURES  ] refusals: " << errors.AsText() << "\n[ FIGURES  ] on disk: databases="
              << check.databases << " rows=" << check.extentRows << " served rows=" << check.servedRows << std::endl;

    EXPECT_EQ(0, violationCount.load());
    for (const std::string& violation : violations) ADD_FAILURE() << violation;
    for (const std::string& problem : check.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(kThreads * kOperations, figures.ops.load());
    EXPECT_GT(figures.writesClosed.load(), 0);
    EXPECT_GT(figures.writesAbandoned.load(), 0);
    EXPECT_GT(figures.readsServed.load(), 0);
    EXPECT_GT(figures.chunkedReadsServed.load(), 0);
    EXPECT_GT(events.released, 0);
    EXPECT_GT(events.flatFilesDeleted + events.flatFilesCut, 0);
    EXPECT_GT(renewals, 0);
}
