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
#include "pruning/CachePruner.h"
#include "reliability/StressSupport.h"
#include "store/CacheNamespace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
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
// of them (a Close under way included), nothing else.
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

private:
    std::mutex lock;
    std::map<std::pair<long long, long long>, std::set<uint32_t>> closing;  // guarded by lock
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

    void Verify(long long afile, long long offset, const std::string& bytes, bool chunked) {
        uint32_t generation = 0;
        std::string why;
        if (!CheckExtentBytes(afile, offset, bytes.data(), bytes.size(), generation, why)) {
            Violation("afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": " + why);
        } else if (!ledger.WasClosing(afile, offset, generation)) {
            Violation("afile " + std::to_string(afile) + " offset " + std::to_string(offset) + ": generation " +
                      std::to_string(generation) + " was never closed");
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
        err = writer->Close();
        if (err.IsError()) return Tally(err);
        ++figures.writesClosed;
    }

    void Read(Random& random, long long afile, long long offset, bool chunked) {
        const long long flags = random.Percent(30) ? kPartial : 0;
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
        Verify(afile, offset, bytes, chunked);
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

    CLiveBrowseCache* lbc = nullptr;
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
