// The VM listing of a location's database folder, whole and in batches.

#include "CacheDBTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/XkThread.h"
#include "support/Waits.h"

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <set>
#include <vector>

namespace {

// An afile database file with the given modification time.
void MakeAfileDB(CacheDBFixture& f, long long afile, unsigned cell, unsigned copy, long long mtime = 1600000000,
                 const std::string& name = "afile_cache.db") {
    std::string folder = f.LocalAfileFolder(afile, cell, copy);
    MakeFolders(folder);
    WriteWholeFile(folder + "/" + name, "db");
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, ::utimes((folder + "/" + name).c_str(), times));
}

class CacheDBListingTest : public ::testing::TestWithParam<bool> {
protected:
    CacheDBListingTest() : f(GetParam()) { f.Open(); }

    void MakeDB(long long afile, unsigned cell, unsigned copy, long long mtime = 1600000000,
                const std::string& name = "afile_cache.db") {
        MakeAfileDB(f, afile, cell, copy, mtime, name);
    }
    std::vector<size_t> BatchSizes(size_t batchSize, VMJobParam filter = VMJobParam(), std::set<long long>* afiles = nullptr) {
        DBObjectCollection<VM> batch;
        std::vector<size_t> sizes;
        for (int call = 0; call < 20; ++call) {
            CZoError err = f.top->GetVMsInBatches(filter, batchSize, batch);
            if (FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) {
                EXPECT_EQ(0u, batch.count());
                return sizes;
            }
            EXPECT_FALSE(err.IsError()) << err.AsString();
            sizes.push_back(batch.count());
            for (auto it = batch.iterator(); !batch.isEnd(it); ++it)
                if (afiles != nullptr) afiles->insert(it->AfileID);
        }
        ADD_FAILURE() << "no end";
        return sizes;
    }

    CacheDBFixture f;
};

TEST_P(CacheDBListingTest, BatchesOfTwoOverFiveAndFourDatabases) {
    for (long long afile = 1; afile <= 4; ++afile) MakeDB(afile, 2, 1);
    EXPECT_EQ((std::vector<size_t>{2, 2, 0}), BatchSizes(2));
    MakeDB(5, 2, 1);
    std::set<long long> afiles;
    EXPECT_EQ((std::vector<size_t>{2, 2, 1}), BatchSizes(2, VMJobParam(), &afiles));
    EXPECT_EQ((std::set<long long>{1, 2, 3, 4, 5}), afiles);
}

TEST_P(CacheDBListingTest, EmptyFolderListsNothing) {
    EXPECT_EQ((std::vector<size_t>{0}), BatchSizes(3));
    std::list<VM> vms;
    EXPECT_FALSE(f.top->GetVMJobs(vms).IsError());
    EXPECT_TRUE(vms.empty());
    long long count = -1;
    EXPECT_FALSE(f.top->GetVMCount(VMJobParam(), count).IsError());
    EXPECT_EQ(0, count);
}

TEST_P(CacheDBListingTest, ListedVMsCarryTheFolderIdentityAndTheFileTime) {
    MakeDB(7, 3, 9, 1650000123);
    for (int form = 0; form < 2; ++form) {
        std::list<VM> vms;
        if (form == 0) {
            ASSERT_FALSE(f.top->GetVMJobs(vms).IsError());
        } else {
            DBObjectCollection<VM> batch;
            ASSERT_FALSE(f.top->GetVMsInBatches(VMJobParam(), 10, batch).IsError());
            for (auto it = batch.iterator(); !batch.isEnd(it); ++it) vms.push_back(*it);
        }
        ASSERT_EQ(1u, vms.size()) << form;
        const VM& vm = vms.front();
        EXPECT_EQ(7, vm.AfileID);
        EXPECT_EQ(3u, vm.TessarelID);
        EXPECT_EQ(9u, vm.CopyID);
        EXPECT_EQ(1650000123, vm.LastReferenceTime);
        EXPECT_EQ(0, vm.JobID);
        EXPECT_EQ("", vm.GUID);
        EXPECT_EQ("", vm.ValidityGUID);
    }
}

TEST_P(CacheDBListingTest, FilterSelectsAfileFoldersButTheCountIgnoresIt) {
    MakeDB(7, 2, 1);
    MakeDB(7, 3, 4);
    MakeDB(77, 2, 1);
    MakeDB(8, 2, 1, 1600000000, "AFILE_CACHE.DB");
    VMJobParam filter;
    filter.AfileID = 7;
    filter.JobID = 12345;  // not a filter of the listing
    std::set<long long> afiles;
    EXPECT_EQ((std::vector<size_t>{2}), BatchSizes(5, filter, &afiles));
    EXPECT_EQ((std::set<long long>{7}), afiles);

    afiles.clear();
    EXPECT_EQ((std::vector<size_t>{4}), BatchSizes(5, VMJobParam(), &afiles));
    EXPECT_EQ((std::set<long long>{7, 8, 77}), afiles) << "the name is compared ignoring case";

    long long count = -1;
    ASSERT_FALSE(f.top->GetVMCount(filter, count).IsError());
    EXPECT_EQ(4, count);
}

TEST_P(CacheDBListingTest, StrayFilesOutsideAfileFoldersAreSkippedByBothForms) {
    MakeDB(5, 2, 1);
    // A database in a bucket folder, and one in an upload folder left behind.
    std::string bucket = f.LocalAfileFolder(5);
    bucket = bucket.substr(0, bucket.rfind('/'));
    WriteWholeFile(bucket + "/afile_cache.db", "stray");
    MakeFolders(f.LocalAfileFolder(5) + ".upload");
    WriteWholeFile(f.LocalAfileFolder(5) + ".upload/afile_cache.db", "stray");

    std::list<VM> vms;
    CZoError err = f.top->GetVMJobs(vms);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    ASSERT_EQ(1u, vms.size());
    EXPECT_EQ(5, vms.front().AfileID);
    EXPECT_EQ((std::vector<size_t>{1}), BatchSizes(10));
}

TEST_P(CacheDBListingTest, AbandonedListingLeavesNoThread) {
    for (long long afile = 1; afile <= 5; ++afile) MakeDB(afile, 2, 1);
    // A first full listing, whose walker ends with it.
    const int initial = LibraryThreads();
    BatchSizes(2);
    WaitFor([&] { return LibraryThreads() == initial; });
    const int before = LibraryThreads();
    {
        DBObjectCollection<VM> batch;
        ASSERT_FALSE(f.top->GetVMsInBatches(VMJobParam(), 2, batch).IsError());
        EXPECT_EQ(2u, batch.count());
        EXPECT_EQ(before + 1, LibraryThreads()) << "the walker waits for the next request";
    }
    EXPECT_TRUE(WaitFor([&] { return LibraryThreads() == before; }));

    // A listing that ran to its end has no thread left either.
    BatchSizes(2);
    EXPECT_TRUE(WaitFor([&] { return LibraryThreads() == before; }));
}

TEST_P(CacheDBListingTest, WalkerThatCannotStartIsCode12AndTheNextCallStartsAfresh) {
    MakeDB(1, 2, 1);
    DBObjectCollection<VM> batch;
    XkThread::TEST_FailNextCreate(true);
    CZoError err = f.top->GetVMsInBatches(VMJobParam(), 2, batch);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kListingThreadFailed)) << err.AsString();
    EXPECT_TRUE(batch.getContext().empty());
    ASSERT_FALSE(f.top->GetVMsInBatches(VMJobParam(), 2, batch).IsError());
    EXPECT_EQ(1u, batch.count());

    boost::any foreign = std::string("not a listing");
    std::list<VM> vms;
    EXPECT_TRUE(
        FXErrorUtil::IsInt(f.top->GetVMInfoFromCacheContent(vms, 2, VMJobParam(), foreign), LBCError::kListingFailed));
}

INSTANTIATE_TEST_SUITE_P(Locations, CacheDBListingTest, ::testing::Bool(), LocationName);

// The identity comes from the afile folder's own name, whatever the folders
// above the location are called: a component that starts with "afile" in the
// base folder neither fails the listing nor names the listed VMs.
TEST(CacheDBListingBaseFolderTest, ListedIdentityIgnoresAfileLikeFoldersAboveTheLocation) {
    const char* const bases[] = {"afiles/cache", "afile_2024_01_05", "AFILE_5_6_7/cache"};
    for (const char* base : bases) {
        SCOPED_TRACE(base);
        CacheDBFixture f(false, base);
        f.Open();
        ASSERT_NE(std::string::npos, f.LocalAfileFolder(812).find(std::string("/") + base + "/DB/"));
        MakeAfileDB(f, 812, 2, 1, 1650000000);
        MakeAfileDB(f, 7, 3, 9, 1650000123);
        const std::set<std::vector<long long>> expected = {{812, 2, 1, 1650000000}, {7, 3, 9, 1650000123}};

        std::list<VM> vms;
        CZoError err = f.top->GetVMJobs(vms);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        std::set<std::vector<long long>> listed;
        for (const VM& vm : vms) listed.insert({vm.AfileID, vm.TessarelID, vm.CopyID, vm.LastReferenceTime});
        EXPECT_EQ(expected, listed);

        DBObjectCollection<VM> batch;
        err = f.top->GetVMsInBatches(VMJobParam(), 10, batch);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        listed.clear();
        for (auto it = batch.iterator(); !batch.isEnd(it); ++it)
            listed.insert({it->AfileID, it->TessarelID, it->CopyID, it->LastReferenceTime});
        EXPECT_EQ(expected, listed);
    }
}

// A database removed between the search and the reading of its time stamp
// is skipped, not the end of every later pass (the loopback server lets a
// test act on each entry its walk hands out).
TEST(CacheDBListingRemoteTest, DatabaseThatVanishesDuringTheListingIsSkipped) {
    CacheDBFixture f(true);
    f.Open();
    for (long long afile = 1; afile <= 3; ++afile) {
        MakeFolders(f.LocalAfileFolder(afile));
        WriteWholeFile(f.LocalDBFile(afile), "db");
    }
    const std::string doomed = f.LocalDBFile(2);
    LoopbackFS::TEST_SetWalkHook(TestLocation::kHost, [&](const std::string& folder, const std::string& name) {
        if (name == "afile_cache.db" && folder.find("afile_2_1_2") != std::string::npos) ::unlink(doomed.c_str());
    });
    std::list<VM> vms;
    CZoError err = f.top->GetVMJobs(vms);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(2u, vms.size());
    EXPECT_EQ(1u, f.log->Count(-1, "vanished while listing VMs"));

    WriteWholeFile(doomed, "db");
    DBObjectCollection<VM> batch;
    ASSERT_FALSE(f.top->GetVMsInBatches(VMJobParam(), 10, batch).IsError());
    EXPECT_EQ(2u, batch.count());
    LoopbackFS::TEST_SetWalkHook(TestLocation::kHost, nullptr);
}

}  // namespace
