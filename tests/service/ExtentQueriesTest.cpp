// The extent query, the batched iterators and the ageing of cached jobs,
// through the facade.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/XKMMmountPath.h"

#include <boost/shared_ptr.hpp>

#include <set>
#include <vector>

namespace {

class ExtentQueriesTest : public MainRoadTest {
protected:
    // Stops the service, so that every afile database is written back to the
    // cache location where the job listing finds it, and starts it again.
    void Restart() {
        StopService();
        lbc = StartService();
        ASSERT_NE(nullptr, lbc);
    }

    struct Presence {
        bool cached;
        bool recorded;
    };
    Presence Ask(long long offset, long long afile = kAfile) {
        Presence p{true, true};
        CZoError err = lbc->IsExtentInCache(afile, offset, kTessarel, kCopy, p.cached, p.recorded);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return p;
    }

    size_t RefillLines() { return CountContaining("Fetch next batch of extents for ["); }
};

}  // namespace

TEST_F(ExtentQueriesTest, PresenceIsTheRowAndItsLocationWithoutAValidityTest) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(10, 1)).IsError());
    ASSERT_FALSE(WriteExtent(kAfile, 4096, Payload(10, 2), kPartial).IsError());
    CLiveBrowseCache::WriterPtr open;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 8192, kTessarel, kCopy, kJob, open).IsError());

    struct Case {
        long long offset;
        bool cached;
        bool recorded;
    };
    const Case cases[] = {{0, true, true}, {4096, true, true}, {8192, false, true}, {12288, false, false}};
    for (const Case& c : cases) {
        Presence p = Ask(c.offset);
        EXPECT_EQ(c.cached, p.cached) << c.offset;
        EXPECT_EQ(c.recorded, p.recorded) << c.offset;
    }

    // A location gone stale still counts: no validity test is made.
    VM vm = VMRow();
    vm.ValidityGUID = "00000000-0000-0000-0000-000000000000";
    ASSERT_FALSE(DB()->UpdateVM(vm).IsError());
    Presence stale = Ask(0);
    EXPECT_TRUE(stale.cached);
    EXPECT_TRUE(stale.recorded);
}

TEST_F(ExtentQueriesTest, TwoHundredFiftyExtentsComeInBatchesOf100ThenTheEnd) {
    for (int i = 0; i < 250; ++i) ASSERT_FALSE(WriteExtent(kAfile, i * 4096LL, Payload(16, i)).IsError()) << i;
    ASSERT_FALSE(WriteExtent(kAfile + 1, 0, Payload(16, 1), 0).IsError());  // another afile: not listed

    boost::shared_ptr<CLiveBrowseCache::ExtentIterator> iterator;
    ASSERT_FALSE(lbc->GetExtentIterator(0, kAfile, kTessarel, kCopy, 100, iterator).IsError());
    ClearLines();

    std::vector<size_t> refillsAfter;
    std::set<long long> offsets;
    for (int i = 0; i < 250; ++i) {
        long long afile = 0, offset = 0;
        unsigned int copy = 0, tessarel = 0;
        std::string guid;
        CZoError err = iterator->GetNextExtentInfo(afile, offset, copy, tessarel, guid);
        ASSERT_FALSE(err.IsError()) << i << " " << err.AsString();
        EXPECT_EQ(kAfile, afile);
        EXPECT_EQ(kCopy, copy);
        EXPECT_EQ(kTessarel, tessarel);
        EXPECT_EQ(VMRow().ValidityGUID, guid);
        offsets.insert(offset);
        refillsAfter.push_back(RefillLines());
    }
    EXPECT_EQ(250u, offsets.size());
    // One refill at the first, the 101st and the 201st record.
    EXPECT_EQ(1u, refillsAfter[99]);
    EXPECT_EQ(2u, refillsAfter[100]);
    EXPECT_EQ(2u, refillsAfter[199]);
    EXPECT_EQ(3u, refillsAfter[200]);
    EXPECT_EQ(3u, refillsAfter[249]);

    for (size_t extra = 1; extra <= 2; ++extra) {
        long long afile = 0, offset = 0;
        unsigned int copy = 0, tessarel = 0;
        std::string guid, md5;
        CZoError err = iterator->GetNextExtentInfo(afile, offset, copy, tessarel, guid, md5);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) << err.AsString();
        EXPECT_EQ(3u + extra, RefillLines());  // every call after the end asks again
    }
    long long total = 0;
    ASSERT_FALSE(iterator->GetTotalCount(total).IsError());
    EXPECT_EQ(250, total);
}

TEST_F(ExtentQueriesTest, AnIteratorWithBatchSize0EndsAtOnce) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(16, 1)).IsError());
    boost::shared_ptr<CLiveBrowseCache::ExtentIterator> extents;
    ASSERT_FALSE(lbc->GetExtentIterator(0, kAfile, kTessarel, kCopy, 0, extents).IsError());
    long long afile = 0, offset = 0;
    unsigned int copy = 0, tessarel = 0;
    std::string guid;
    EXPECT_TRUE(
        FXErrorUtil::IsInt(extents->GetNextExtentInfo(afile, offset, copy, tessarel, guid), LBCError::kEndOfListing));

    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    ASSERT_FALSE(lbc->GetCachedJobIterator(0, kAfile, kTessarel, kCopy, 0, jobs).IsError());
    long long job = 0;
    time_t when = 0;
    EXPECT_TRUE(
        FXErrorUtil::IsInt(jobs->GetNextVMInfo(afile, job, copy, tessarel, guid, when), LBCError::kEndOfListing));
}

TEST_F(ExtentQueriesTest, AnIteratorOfAnUnresolvableAfileIs81AtItsFirstUse) {
    const long long afile = 4242;
    XKMMmountPath::TEST_Answer answer;
    MediaManager::MountPathInfo unusable;
    unusable.setPath(temp.sub("not-a-folder"));
    unusable.setMMPathId(77);
    WriteWholeFile(temp.sub("not-a-folder"), "a file where the cache folder would be");
    answer.mountPaths.push_back(unusable);
    XKMMmountPath::TEST_SetAnswer(afile, kCopy, answer);

    boost::shared_ptr<CLiveBrowseCache::ExtentIterator> extents;
    ASSERT_FALSE(lbc->GetExtentIterator(0, afile, kTessarel, kCopy, 10, extents).IsError());
    for (int i = 0; i < 2; ++i) {
        long long outAfile = -1, offset = -1;
        unsigned int copy = 99, tessarel = 99;
        std::string guid = "unchanged";
        EXPECT_TRUE(FXErrorUtil::IsInt(extents->GetNextExtentInfo(outAfile, offset, copy, tessarel, guid),
                                       LBCError::kNoDatabase));
        EXPECT_EQ("unchanged", guid);
        long long total = -1;
        EXPECT_TRUE(FXErrorUtil::IsInt(extents->GetTotalCount(total), LBCError::kNoDatabase));
        EXPECT_EQ(-1, total);
    }
    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    ASSERT_FALSE(lbc->GetCachedJobIterator(0, afile, kTessarel, kCopy, 10, jobs).IsError());
    long long total = -1;
    EXPECT_TRUE(FXErrorUtil::IsInt(jobs->GetTotalCount(total), LBCError::kNoDatabase));
}

TEST_F(ExtentQueriesTest, TheJobIteratorListsEveryAfileDatabaseOfTheLocation) {
    for (long long afile : {201LL, 202LL, 203LL}) ASSERT_FALSE(WriteExtent(afile, 0, Payload(16, 1), 0).IsError());
    Restart();

    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    ASSERT_FALSE(lbc->GetCachedJobIterator(kJob, 0, 0, 0, 2, jobs).IsError());
    std::set<long long> afiles;
    for (int i = 0; i < 3; ++i) {
        long long afile = 0, job = -1;
        unsigned int copy = 0, tessarel = 0;
        std::string guid = "x";
        time_t when = 0;
        CZoError err = jobs->GetNextVMInfo(afile, job, copy, tessarel, guid, when);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        afiles.insert(afile);
        EXPECT_EQ(0, job);
        EXPECT_EQ("", guid);
        EXPECT_EQ(kCopy, copy);
        EXPECT_EQ(kTessarel, tessarel);
        EXPECT_GT(when, 0);
    }
    EXPECT_EQ((std::set<long long>{201, 202, 203}), afiles);
    for (int i = 0; i < 2; ++i) {
        long long afile = 0, job = 0;
        unsigned int copy = 0, tessarel = 0;
        std::string guid;
        time_t when = 0;
        EXPECT_TRUE(
            FXErrorUtil::IsInt(jobs->GetNextVMInfo(afile, job, copy, tessarel, guid, when), LBCError::kEndOfListing));
    }
    long long total = 0;
    ASSERT_FALSE(jobs->GetTotalCount(total).IsError());
    EXPECT_EQ(3, total);
}

TEST_F(ExtentQueriesTest, AgeingMovesTheReferenceTimeBackWhateverTheJob) {
    for (long long afile : {201LL, 202LL, 203LL}) ASSERT_FALSE(WriteExtent(afile, 0, Payload(16, 1), 0).IsError());
    Restart();

    ASSERT_FALSE(lbc->AgeCachedJob(999, 202, kTessarel, kCopy, 3).IsError());
    EXPECT_EQ(kNow - 259200, VMRow(202).LastReferenceTime);
    EXPECT_EQ(kNow, VMRow(201).LastReferenceTime);
    EXPECT_EQ(kNow, VMRow(203).LastReferenceTime);
    const std::string guid = VMRow(202).ValidityGUID;

    // Within the same second the same value; a second later the row is
    // older than the new ageing time and stays.
    ASSERT_FALSE(lbc->AgeCachedJob(999, 202, kTessarel, kCopy, 3).IsError());
    EXPECT_EQ(kNow - 259200, VMRow(202).LastReferenceTime);
    SystemClock::TEST_AdvanceSeconds(1);
    ASSERT_FALSE(lbc->AgeCachedJob(999, 202, kTessarel, kCopy, 3).IsError());
    EXPECT_EQ(kNow - 259200, VMRow(202).LastReferenceTime);
    EXPECT_EQ(guid, VMRow(202).ValidityGUID);

    // Days 0: the retention (7 by default) plus one.
    ASSERT_FALSE(lbc->AgeCachedJob(kJob, 203, kTessarel, kCopy, 0).IsError());
    EXPECT_EQ(kNow + 1 - 691200, VMRow(203).LastReferenceTime);

    // A very long age does not wrap around.
    ASSERT_FALSE(lbc->AgeCachedJob(kJob, 201, kTessarel, kCopy, 60000).IsError());
    EXPECT_EQ(kNow + 1 - 60000LL * 86400, VMRow(201).LastReferenceTime);

    // Nothing to age is success.
    EXPECT_FALSE(lbc->AgeCachedJob(kJob, 555, kTessarel, kCopy, 3).IsError());
}
