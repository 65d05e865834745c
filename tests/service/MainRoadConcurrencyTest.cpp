// Many host threads on the write and read roads at once.

#include "LiveBrowseCacheCodes.h"
#include "service/MainRoadSupport.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

class MainRoadConcurrencyTest : public MainRoadTest {};

}  // namespace

TEST_F(MainRoadConcurrencyTest, SixteenThreadsWritingAndReadingOneAfileGetEveryByteRight) {
    const int kThreads = 16;
    const int kExtentsPerThread = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &failures] {
            for (int i = 0; i < kExtentsPerThread; ++i) {
                const long long offset = (static_cast<long long>(t) * kExtentsPerThread + i) * 65536;
                const unsigned seed = static_cast<unsigned>(t * 100 + i);
                const std::string bytes = Payload(1000 + 37 * t + i, seed);
                CZoError err = WriteExtent(kAfile, offset, bytes, i % 2 == 0 ? 0 : kPartial, 333);
                if (err.IsError()) {
                    ADD_FAILURE() << "write " << t << "/" << i << ": " << err.AsString();
                    ++failures;
                    continue;
                }
                std::string read = ReadExtent(kAfile, offset, err, kPartial);
                if (err.IsError() || read != bytes) {
                    ADD_FAILURE() << "read " << t << "/" << i << ": " << err.AsString();
                    ++failures;
                }
                // Streamed in chunks into the caller's memory as well.
                CLiveBrowseCache::ReaderPtr reader;
                err = lbc->GetReaderObject(kAfile, offset, kTessarel, kCopy, kJob, kPartial, reader);
                if (err.IsError()) {
                    ++failures;
                    continue;
                }
                std::string streamed;
                char chunk[128];
                for (;;) {
                    unsigned long size = sizeof(chunk);
                    if (reader->Read(static_cast<void*>(chunk), size).IsError()) {
                        ++failures;
                        break;
                    }
                    if (size == 0) break;
                    streamed.append(chunk, size);
                }
                if (streamed != bytes) {
                    ADD_FAILURE() << "streamed " << t << "/" << i;
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());

    // Every extent is still there afterwards, once, with its own bytes.
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kExtentsPerThread; ++i) {
            const long long offset = (static_cast<long long>(t) * kExtentsPerThread + i) * 65536;
            CZoError err;
            EXPECT_EQ(Payload(1000 + 37 * t + i, static_cast<unsigned>(t * 100 + i)), ReadExtent(kAfile, offset, err, kPartial))
                << err.AsString();
        }
    }
    long long total = 0;
    boost::shared_ptr<CLiveBrowseCache::ExtentIterator> iterator;
    ASSERT_FALSE(lbc->GetExtentIterator(0, kAfile, kTessarel, kCopy, 50, iterator).IsError());
    ASSERT_FALSE(iterator->GetTotalCount(total).IsError());
    EXPECT_EQ(kThreads * kExtentsPerThread, total);
}

TEST_F(MainRoadConcurrencyTest, WritersOfOneExtentAreKeptApartAndTheLastCommitWins) {
    const int kThreads = 8;
    std::atomic<int> written{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &written] {
            for (int round = 0; round < 5; ++round) {
                CZoError err = WriteExtent(kAfile, 0, Payload(500, static_cast<unsigned>(t)));
                if (!err.IsError())
                    ++written;
                else
                    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kWriteInProgress)) << err.AsString();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_GT(written.load(), 0);

    // Whichever writer committed last, the extent holds one writer's bytes whole.
    CZoError err;
    const std::string read = ReadExtent(kAfile, 0, err);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    bool matched = false;
    for (int t = 0; t < kThreads; ++t) matched = matched || read == Payload(500, static_cast<unsigned>(t));
    EXPECT_TRUE(matched);
}
