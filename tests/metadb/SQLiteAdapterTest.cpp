#include "support/LogCapture.h"
#include "DatabaseFullSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/PerfCounters.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"
#include "support/TempDir.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

namespace {

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

Extent Row(long long afile, long long offset, unsigned cell, unsigned copy, long long job) {
    Extent e(afile, offset, cell, copy, job);
    e.Flags = 1;
    e.CacheLocation = "loc:C1/afile_1/f.cache:" + std::to_string(offset) + ":10";
    e.ValidityGUID = "valid";
    return e;
}

// Counts the queries of VM rows ("SELECT * FROM VMs ...") that SQLite runs on
// the connections opened while it lives.
class VMRowQueryTrace {
public:
    VMRowQueryTrace() {
        count.store(0);
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&Install));
    }
    ~VMRowQueryTrace() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&Install)); }
    VMRowQueryTrace(const VMRowQueryTrace&) = delete;
    VMRowQueryTrace& operator=(const VMRowQueryTrace&) = delete;

    long long Queries() const { return count.load(); }

private:
    static int Install(sqlite3* db, char**, const sqlite3_api_routines*) {
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &Traced, nullptr);
        return SQLITE_OK;
    }
    static int Traced(unsigned, void*, void* statement, void*) {
        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        if (sql != nullptr && std::string(sql).rfind("SELECT * FROM VMs", 0) == 0) ++count;
        return 0;
    }
    static std::atomic<long long> count;
};
std::atomic<long long> VMRowQueryTrace::count{0};

class SQLiteAdapterTest : public ::testing::Test {
protected:
    void SetUp() override { Reopen(); }

    void Reopen() {
        adapter.reset();
        adapter = boost::make_shared<SQLiteAdapter>(dir.path(), "afile_cache");
        CZoError err = adapter->Open();
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }
    void Put(const Extent& e) {
        CZoError err = adapter->UpdateExtent(e);
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }
    void PutVM(const VM& vm) {
        CZoError err = adapter->InsertUpdateVM(vm, false);
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }
    long long ExtentCount(ExtentsParam filter = ExtentsParam()) {
        long long count = -1;
        CZoError err = adapter->GetExtentCount(filter, count);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return count;
    }
    long long VMCount(VMJobParam filter = VMJobParam()) {
        long long count = -1;
        CZoError err = adapter->GetVMCount(filter, count);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return count;
    }

    TempDir dir;
    boost::shared_ptr<SQLiteAdapter> adapter;
};

TEST_F(SQLiteAdapterTest, ConstructionTouchesNoDiskAndOpenCreatesTheFile) {
    TempDir other;
    SQLiteAdapter a(other.path(), "afile_cache");
    EXPECT_FALSE(FileExists(other.sub("afile_cache.db")));
    Extent row(0, 0, 0, 0, 0);
    EXPECT_TRUE(a.GetExtent(ExtentParam{1, 0, 0, 0, 0, 0}, row).IsError());
    ASSERT_FALSE(a.Open().IsError());
    EXPECT_TRUE(FileExists(other.sub("afile_cache.db")));
    EXPECT_FALSE(a.Open().IsError());
    EXPECT_FALSE(a.Close().IsError());
    EXPECT_FALSE(a.Close().IsError());
}

TEST_F(SQLiteAdapterTest, GarbageFileFailsOpenWithCode9AndKeepsItsBytes) {
    TempDir other;
    const std::string garbage(2048, '\x5a');
    WriteWholeFile(other.sub("afile_cache.db"), garbage);
    ScopedLogCapture log;
    {
        SQLiteAdapter a(other.path(), "afile_cache");
        CZoError err = a.Open();
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kAdapterInitFailed)) << err.AsString();
        EXPECT_NE(std::string::npos, err.AsString().find("error="));
        EXPECT_NE(std::string::npos, err.AsString().find("DB is found to be corrupt"));
        EXPECT_EQ(1u, log->Count(-1, "DB is found to be corrupt [" + other.path() + "]"));
        // Closed again at once: nothing holds the file when the container deals with it.
        EXPECT_FALSE(a.TEST_Database().IsOpen());
    }
    EXPECT_EQ(garbage, ReadWholeFile(other.sub("afile_cache.db")));
}

TEST_F(SQLiteAdapterTest, OpenInAMissingFolderIsCode9) {
    SQLiteAdapter a(dir.sub("missing"), "afile_cache");
    CZoError err = a.Open();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kAdapterInitFailed)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("Failed to open DB"));
}

TEST_F(SQLiteAdapterTest, GetExtentReadsTheRowButKeepsTheCallersCellAndCopy) {
    Extent stored = Row(5, 4096, 2, 1, 7);
    stored.Signature = "sig";
    stored.ExtentID = 33;
    stored.VMGUID = "vm";
    stored.DiskID = "disk";
    stored.Reserved1 = "md5";
    Put(stored);

    Extent row(0, 0, 2, 9, 0);
    CZoError err = adapter->GetExtent(ExtentParam{5, 4096, 2, 0, 7, 0}, row);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(5, row.AfileID);
    EXPECT_EQ(4096, row.AfileOffset);
    EXPECT_EQ(2u, row.TessarelID);
    EXPECT_EQ(9u, row.CopyID);
    EXPECT_EQ(stored.CacheLocation, row.CacheLocation);
    EXPECT_EQ("sig", row.Signature);
    EXPECT_EQ(33, row.ExtentID);
    EXPECT_EQ("vm", row.VMGUID);
    EXPECT_EQ("disk", row.DiskID);
    EXPECT_EQ(7, row.JobID);
    EXPECT_EQ(1, row.Flags);
    EXPECT_EQ("valid", row.ValidityGUID);
    EXPECT_EQ("md5", row.Reserved1);

    DBObjectCollection<Extent> page;
    ASSERT_FALSE(adapter->GetExtents(ExtentsParam(), page).IsError());
    ASSERT_EQ(1u, page.count());
    EXPECT_EQ(1u, page.iterator()->CopyID);
    EXPECT_EQ(2u, page.iterator()->TessarelID);
}

TEST_F(SQLiteAdapterTest, GetExtentMatchesCopyAndFlagsOnlyWhenSet) {
    Extent full = Row(5, 0, 2, 1, 7);
    Extent partial = Row(5, 0, 2, 3, 7);
    partial.Flags = 2;
    partial.CacheLocation = "partial";
    Put(full);
    Put(partial);
    struct Case {
        ExtentParam key;
        int code;  // 0 success
        const char* location;
    } cases[] = {
        {{5, 0, 2, 0, 0, 0}, 0, nullptr},  // several rows: the first one fills the record
        {{5, 0, 2, 3, 0, 0}, 0, "partial"},
        {{5, 0, 2, 0, 0, 2}, 0, "partial"},
        {{5, 0, 2, 1, 0, 2}, LBCError::kNotFound, nullptr},
        {{5, 0, 4, 0, 0, 0}, LBCError::kNotFound, nullptr},
        {{5, 1, 2, 0, 0, 0}, LBCError::kNotFound, nullptr},
    };
    ScopedLogCapture log;
    for (const auto& c : cases) {
        Extent row(0, 0, 0, 0, 0);
        CZoError err = adapter->GetExtent(c.key, row);
        if (c.code == 0) {
            EXPECT_FALSE(err.IsError()) << err.AsString();
            if (c.location != nullptr) {
                EXPECT_EQ(c.location, row.CacheLocation);
            }
        } else {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, c.code)) << err.AsString();
            EXPECT_NE(std::string::npos,
                      err.AsString().find(FXString::Format(
                          "DB entry for extent (AfileID = 5, AfileOffset = %lld) not found", c.key.AfileOffset)));
        }
    }
    EXPECT_EQ(0u, log->Count(-1, ""));
}

// FindExtent reads as GetExtent does, with its trace line and its counter;
// a missing row is an answer, found false, and no error.
TEST_F(SQLiteAdapterTest, FindExtentAnswersAMissingRowWithoutAnError) {
    const long long job = 434343;
    Extent stored = Row(5, 0, 2, 1, job);
    stored.CacheLocation = "loc:here";
    Put(stored);
    const long long before =
        GetPerJobPerfCounters(job)->Counter(LBCPerfCounters::SlotCacheDBGetExtent)->GetTimer().GetTotalSamples();
    ScopedLogCapture log;
    const struct {
        ExtentParam key;
        bool found;
    } cases[] = {{{5, 0, 2, 1, job, 0}, true}, {{5, 4096, 2, 1, job, 0}, false}, {{5, 0, 2, 1, job, 2}, false}};
    for (const auto& c : cases) {
        Extent row(0, 0, 2, 1, 0);
        bool found = !c.found;
        CZoError err = adapter->FindExtent(c.key, row, found);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(c.found, found);
        EXPECT_EQ(c.found ? "loc:here" : "", row.CacheLocation);
    }
    EXPECT_EQ(3u, log->Count(4, "Get extent with afileID [5]"));
    EXPECT_EQ(before + 3,
              GetPerJobPerfCounters(job)->Counter(LBCPerfCounters::SlotCacheDBGetExtent)->GetTimer().GetTotalSamples());
}

TEST_F(SQLiteAdapterTest, ExtentBatchesOfTwoTwoOneThenEmpty) {
    // Inserted out of key order: the pages come in key order.
    for (long long offset : {40, 10, 30, 0, 20}) Put(Row(5, offset, 2, 1, 7));
    Put(Row(6, 0, 2, 1, 7));  // filtered out
    ScopedLogCapture log(4);
    ExtentsParam filter;
    filter.AfileID = 5;
    DBObjectCollection<Extent> batch;
    std::vector<std::vector<long long>> expected = {{0, 10}, {20, 30}, {40}, {}, {}};
    std::vector<size_t> offsets = {0, 2, 4, 5, 5};
    for (size_t i = 0; i < expected.size(); ++i) {
        CZoError err = adapter->GetExtentsInBatches(filter, 2, batch);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(offsets[i], batch.getBatchOffset());
        std::vector<long long> got;
        for (auto it = batch.iterator(); !batch.isEnd(it); ++it) got.push_back(it->AfileOffset);
        EXPECT_EQ(expected[i], got) << "batch " << i;
    }
    EXPECT_EQ(5u, log->Count(4, "Fetch next batch of extents for [VM=[] JobID=[0] TRID=[0] CopyID=[0] AfileID=[5]"));
    EXPECT_EQ(5u, log->Count(4, "[batch size = 2]"));
    EXPECT_EQ(1u, log->Count(4, "[offset = 2]"));
    EXPECT_EQ(1u, log->Count(4, "[offset = 4]"));
    EXPECT_EQ(2u, log->Count(4, "[offset = 5]"));
    EXPECT_EQ(5u, log->Count(4, "Done fetching."));
    EXPECT_EQ(10u, log->Count(4, std::string(67, '*')));
}

TEST_F(SQLiteAdapterTest, VMBatchesOrderAfileDescendingWithinCellAndCopy) {
    PutVM(VM(2, 1, 10, "a", 7, 1, "v"));
    PutVM(VM(2, 1, 30, "b", 7, 2, "v"));
    PutVM(VM(1, 5, 20, "c", 8, 3, "v"));
    PutVM(VM(2, 0, 40, "d", 7, 4, "v"));
    PutVM(VM(2, 1, 20, "e", 7, 5, "v"));
    VMJobParam filter;
    DBObjectCollection<VM> batch;
    std::vector<std::string> order;
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(adapter->GetVMsInBatches(filter, 2, batch).IsError());
        for (auto it = batch.iterator(); !batch.isEnd(it); ++it) order.push_back(it->GUID);
    }
    EXPECT_EQ((std::vector<std::string>{"c", "d", "b", "e", "a"}), order);
    EXPECT_EQ(0u, batch.count());

    filter.JobID = 7;
    DBObjectCollection<VM> onlyJob7;
    ASSERT_FALSE(adapter->GetVMsInBatches(filter, 10, onlyJob7).IsError());
    EXPECT_EQ(4u, onlyJob7.count());
}

TEST_F(SQLiteAdapterTest, BatchSizeZeroHandsOutEveryRowOnceThenEnds) {
    for (long long offset = 0; offset < 5; ++offset) Put(Row(5, offset, 2, 1, 7));
    for (long long afile = 1; afile <= 3; ++afile) PutVM(VM(2, 1, afile, "g", 7, afile, "v"));
    DBObjectCollection<Extent> extents;
    DBObjectCollection<VM> vms;
    ASSERT_FALSE(adapter->GetExtentsInBatches(ExtentsParam(), 0, extents).IsError());
    ASSERT_FALSE(adapter->GetVMsInBatches(VMJobParam(), 0, vms).IsError());
    EXPECT_EQ(5u, extents.count());
    EXPECT_EQ(3u, vms.count());
    for (int i = 0; i < 2; ++i) {
        ASSERT_FALSE(adapter->GetExtentsInBatches(ExtentsParam(), 0, extents).IsError());
        ASSERT_FALSE(adapter->GetVMsInBatches(VMJobParam(), 0, vms).IsError());
        EXPECT_EQ(0u, extents.count());
        EXPECT_EQ(0u, vms.count());
    }
}

// The newest rows are those last inserted or replaced, whatever their keys;
// the filter applies to them only, and the rows before them are not read.
TEST_F(SQLiteAdapterTest, NewestExtentsAreTheRowsLastWrittenAndNoOthers) {
    for (long long offset = 1; offset <= 10; ++offset) Put(Row(1, offset, 7, 1, 5));
    Put(Row(1, 3, 7, 1, 5));   // replaced: newest now
    Put(Row(1, 11, 7, 2, 5));  // another copy
    struct Case {
        size_t count;
        unsigned copy;
        std::vector<long long> offsets;  // in any order
    };
    const std::vector<Case> cases = {
        {1, 0, {11}},   {3, 0, {11, 3, 10}}, {3, 1, {3, 10}},
        {2, 2, {11}},   {100, 2, {11}},      {12, 1, {3, 10, 9, 8, 7, 6, 5, 4, 2, 1}},
    };
    for (const Case& c : cases) {
        ExtentsParam filter;
        filter.AfileID = 1;
        filter.CopyID = c.copy;
        std::vector<long long> offsets;
        const uint64_t before = adapter->TEST_ExtentRowsRead();
        CZoError err = adapter->VisitNewestExtents(filter, c.count, [&offsets](const Extent& row) {
            offsets.push_back(row.AfileOffset);
        });
        ASSERT_FALSE(err.IsError()) << err.AsString();
        std::vector<long long> expected = c.offsets;
        std::sort(expected.begin(), expected.end());
        std::sort(offsets.begin(), offsets.end());
        EXPECT_EQ(expected, offsets) << "newest " << c.count << " of copy " << c.copy;
        EXPECT_EQ(c.offsets.size(), adapter->TEST_ExtentRowsRead() - before);
    }
}

TEST_F(SQLiteAdapterTest, EmptyTablesReadAsNothing) {
    std::list<VM> vms{VM(9, 9, 9, "kept", 0, 0, "")};
    ASSERT_FALSE(adapter->GetVMJobs(vms).IsError());
    ASSERT_EQ(1u, vms.size());
    EXPECT_EQ("kept", vms.front().GUID);
    DBObjectCollection<Extent> batch;
    ASSERT_FALSE(adapter->GetExtentsInBatches(ExtentsParam(), 10, batch).IsError());
    EXPECT_EQ(0u, batch.count());
    EXPECT_EQ(0, ExtentCount());
    EXPECT_EQ(0, VMCount());
}

TEST_F(SQLiteAdapterTest, PageReadsAppendAfterWhatIsHeld) {
    Put(Row(5, 0, 2, 1, 7));
    Put(Row(5, 1, 2, 1, 7));
    DBObjectCollection<Extent> page;
    Extent mine(99, 99, 0, 0, 0);
    page.append(mine);
    ASSERT_FALSE(adapter->GetExtents(ExtentsParam(), page, 0, 0).IsError());
    ASSERT_EQ(3u, page.count());
    EXPECT_EQ(99, page.iterator()->AfileID);
    EXPECT_EQ(0u, page.getBatchOffset());

    PutVM(VM(2, 1, 5, "new", 7, 200, "v"));
    PutVM(VM(2, 1, 6, "old", 7, 100, "v"));
    std::list<VM> vms{VM(9, 9, 9, "kept", 0, 0, "")};
    ASSERT_FALSE(adapter->GetVMJobs(vms).IsError());
    std::vector<std::string> guids;
    for (const VM& vm : vms) guids.push_back(vm.GUID);
    EXPECT_EQ((std::vector<std::string>{"kept", "old", "new"}), guids);
}

TEST_F(SQLiteAdapterTest, GetVMJobReplacesTheRecordOrLeavesItOnCode5) {
    PutVM(VM(2, 1, 812, "guid", 7, 1700000000, "valid"));
    VM missing(2, 1, 813, "mine", 1, 2, "v");
    ScopedLogCapture log;
    CZoError err = adapter->GetVMJob(missing);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("DB entry for VM AfileID=[813] TessarelID=[2] CopyID=[1] "
                                                     "VMGUID=[mine] jobID=[1] LastReferenceTime[2] validityGUID[v] "
                                                     "not found"));
    EXPECT_EQ("mine", missing.GUID);
    EXPECT_EQ(1, missing.JobID);
    EXPECT_EQ(0u, log->Count(-1, ""));

    VM any(2, 0, 812, "", 0, 0, "");
    ASSERT_FALSE(adapter->GetVMJob(any).IsError());
    EXPECT_EQ("guid", any.GUID);
    EXPECT_EQ(7, any.JobID);
    EXPECT_EQ(1700000000, any.LastReferenceTime);
    EXPECT_EQ("valid", any.ValidityGUID);
    EXPECT_EQ(1u, any.CopyID);
    EXPECT_EQ(2u, any.TessarelID);
    EXPECT_EQ(812, any.AfileID);
}

TEST_F(SQLiteAdapterTest, CountsApplyTheirFilters) {
    Put(Row(5, 0, 2, 1, 7));
    Extent partial = Row(5, 1, 2, 1, 8);
    partial.Flags = 2;
    Put(partial);
    Put(Row(5, 2, 2, 3, 7));
    PutVM(VM(2, 1, 5, "g", 7, 1, "v"));
    PutVM(VM(2, 3, 5, "g", 8, 1, "v"));
    ExtentsParam flags2;
    flags2.Flags = 2;
    ExtentsParam job7;
    job7.JobID = 7;
    ExtentsParam copy3;
    copy3.CopyID = 3;
    copy3.VM = "not-a-filter";
    EXPECT_EQ(3, ExtentCount());
    EXPECT_EQ(1, ExtentCount(flags2));
    EXPECT_EQ(2, ExtentCount(job7));
    EXPECT_EQ(1, ExtentCount(copy3));
    VMJobParam vmJob8;
    vmJob8.JobID = 8;
    EXPECT_EQ(2, VMCount());
    EXPECT_EQ(1, VMCount(vmJob8));
}

TEST_F(SQLiteAdapterTest, QuotesNegativeAndLargeValuesRoundTrip) {
    Extent e(-5, -1, 4294967295u, 0x80000001u, -7);
    e.Flags = -1;
    e.ExtentID = -3;
    e.CacheLocation = "loc:it's/a'b.cache:0:10";
    e.Signature = "'); DROP TABLE Extents; --";
    e.VMGUID = "''";
    e.DiskID = "%s%n";
    e.ValidityGUID = "a'b";
    e.Reserved1 = "'";
    Put(e);

    Extent row(0, 0, 4294967295u, 0x80000001u, 0);
    ASSERT_FALSE(adapter->GetExtent(ExtentParam{-5, -1, 4294967295u, 0x80000001u, -7, -1}, row).IsError());
    DBObjectCollection<Extent> page;
    ExtentsParam filter;
    filter.AfileID = -5;
    filter.JobID = -7;
    filter.Flags = -1;
    filter.TessarelID = 4294967295u;
    filter.CopyID = 0x80000001u;
    ASSERT_FALSE(adapter->GetExtents(filter, page).IsError());
    ASSERT_EQ(1u, page.count());
    for (const Extent* r : {&row, &*page.iterator()}) {
        EXPECT_EQ(-5, r->AfileID);
        EXPECT_EQ(-1, r->AfileOffset);
        EXPECT_EQ(4294967295u, r->TessarelID);
        EXPECT_EQ(0x80000001u, r->CopyID);
        EXPECT_EQ(-7, r->JobID);
        EXPECT_EQ(-1, r->Flags);
        EXPECT_EQ(-3, r->ExtentID);
        EXPECT_EQ(e.CacheLocation, r->CacheLocation);
        EXPECT_EQ(e.Signature, r->Signature);
        EXPECT_EQ(e.VMGUID, r->VMGUID);
        EXPECT_EQ(e.DiskID, r->DiskID);
        EXPECT_EQ(e.ValidityGUID, r->ValidityGUID);
        EXPECT_EQ(e.Reserved1, r->Reserved1);
    }
    EXPECT_EQ(1, ExtentCount(filter));

    VM vm(4294967295u, 7, -812, "it's", -9, -100, "'");
    PutVM(vm);
    VM back(4294967295u, 7, -812, "", 0, 0, "");
    ASSERT_FALSE(adapter->GetVMJob(back).IsError());
    EXPECT_EQ("it's", back.GUID);
    EXPECT_EQ(-9, back.JobID);
    EXPECT_EQ(-100, back.LastReferenceTime);
    EXPECT_EQ("'", back.ValidityGUID);
    VMJobParam vmFilter;
    vmFilter.AfileID = -812;
    vmFilter.JobID = -9;
    EXPECT_EQ(1, VMCount(vmFilter));

    ASSERT_FALSE(adapter->DeleteExtent(e).IsError());
    EXPECT_EQ(0, ExtentCount());
}

TEST_F(SQLiteAdapterTest, RowWritesInsertReplaceAndDelete) {
    ScopedLogCapture log(4);
    Extent first = Row(5, 0, 2, 1, 7);
    ASSERT_FALSE(adapter->AddExtent(first).IsError());
    Extent second = Row(5, 0, 2, 1, 8);
    second.CacheLocation = "other";
    log->Clear();
    CZoError err = adapter->AddExtent(second);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 1555)) << err.AsString();
    EXPECT_EQ(1u, log->Count(4, "Adding extent [afileID=[5] afileOffset=[0] cacheLocation[other]]"));
    EXPECT_EQ(1u, log->Count(-1, "Error:"));
    Extent row(0, 0, 2, 1, 0);
    ASSERT_FALSE(adapter->GetExtent(ExtentParam{5, 0, 2, 1, 0, 0}, row).IsError());
    EXPECT_EQ(first.CacheLocation, row.CacheLocation);

    ASSERT_FALSE(adapter->UpdateExtent(second).IsError());
    ASSERT_FALSE(adapter->GetExtent(ExtentParam{5, 0, 2, 1, 0, 0}, row).IsError());
    EXPECT_EQ("other", row.CacheLocation);
    EXPECT_EQ(8, row.JobID);

    // Only the four key fields select the row to delete.
    Extent differentJob = Row(5, 0, 2, 1, 99);
    differentJob.Flags = 2;
    log->Clear();
    ASSERT_FALSE(adapter->DeleteExtent(differentJob).IsError());
    EXPECT_EQ(1u, log->Count(4, "Deleting extent [afileID=[5] afileOffset=[0]"));
    EXPECT_EQ(0, ExtentCount());
    EXPECT_FALSE(adapter->DeleteExtent(differentJob).IsError());

    Put(Row(5, 1, 2, 1, 7));
    Put(Row(5, 2, 2, 1, 7));
    ExtentsParam all;
    log->Clear();
    ASSERT_FALSE(adapter->DeleteExtents(all, 0).IsError());
    EXPECT_EQ(1u, log->Count(4, "Deleting extents from cache for [VM=[] JobID=[0]"));
    EXPECT_EQ(0, ExtentCount());
}

TEST_F(SQLiteAdapterTest, InsertOnlyVMClashIs1555WithoutLogAndReplaceTakesAllColumns) {
    ScopedLogCapture log(4);
    ASSERT_FALSE(adapter->InsertUpdateVM(VM(2, 1, 5, "g1", 7, 100, "v1"), true).IsError());
    log->Clear();
    CZoError err = adapter->InsertUpdateVM(VM(2, 1, 5, "g2", 8, 200, "v2"), true);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 1555)) << err.AsString();
    EXPECT_EQ(0u, log->Count(-1, ""));
    EXPECT_EQ(1u, log->Count(4, "Updating vm [AfileID=[5] TessarelID=[2] CopyID=[1] VMGUID=[g2]"));
    VM vm(2, 1, 5, "", 0, 0, "");
    ASSERT_FALSE(adapter->GetVMJob(vm).IsError());
    EXPECT_EQ("g1", vm.GUID);

    ASSERT_FALSE(adapter->InsertUpdateVM(VM(2, 1, 5, "g2", 8, 200, "v2"), false).IsError());
    ASSERT_FALSE(adapter->GetVMJob(vm).IsError());
    EXPECT_EQ("g2", vm.GUID);
    EXPECT_EQ(8, vm.JobID);
    EXPECT_EQ(200, vm.LastReferenceTime);
    EXPECT_EQ("v2", vm.ValidityGUID);
}

TEST_F(SQLiteAdapterTest, CommitMadeToFailOnceLosesNoRows) {
    ASSERT_FALSE(adapter->BeginTransaction().IsError());
    for (long long offset = 0; offset < 3; ++offset)
        ASSERT_FALSE(adapter->AddExtent(Row(5, offset, 2, 1, 7)).IsError());
    adapter->TEST_Database().TEST_FailNextCommit(5);
    CZoError err = adapter->CommitTransaction();
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 5)) << err.AsString();
    // The transaction is still open: BEGIN is a no-op, later rows join it.
    ASSERT_FALSE(adapter->BeginTransaction().IsError());
    for (long long offset = 3; offset < 5; ++offset)
        ASSERT_FALSE(adapter->AddExtent(Row(5, offset, 2, 1, 7)).IsError());
    err = adapter->CommitTransaction();
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(adapter->CommitTransaction().IsError());
    Reopen();
    EXPECT_EQ(5, ExtentCount());
}

TEST_F(SQLiteAdapterTest, ACommitThatFindsItsTransactionRolledBackBySQLiteIsAnError) {
    ASSERT_FALSE(adapter->BeginTransaction().IsError());
    ASSERT_FALSE(adapter->AddExtent(Row(5, 0, 2, 1, 7)).IsError());
    CapDatabaseSize(adapter->TEST_Database(), 2);
    WriteUntilFull([&](long long n) {
        Extent row = Row(5, n + 1, 2, 1, 7);
        row.CacheLocation = LongLocation(n);
        return adapter->AddExtent(row);
    });
    UncapDatabaseSize(adapter->TEST_Database());

    CZoError err = adapter->CommitTransaction();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kTransactionLost)) << err.AsString();
    // Nothing is left to commit, and the next transaction is a fresh one.
    EXPECT_FALSE(adapter->CommitTransaction().IsError());
    ASSERT_FALSE(adapter->BeginTransaction().IsError());
    ASSERT_FALSE(adapter->AddExtent(Row(5, 0, 2, 1, 7)).IsError());
    ASSERT_FALSE(adapter->CommitTransaction().IsError());
    Reopen();
    EXPECT_EQ(1, ExtentCount());
}

TEST_F(SQLiteAdapterTest, ExceptionsOfQueriesAndCountsBecomeSQLiteErrors) {
    Put(Row(5, 0, 2, 1, 7));
    Put(Row(5, 1, 2, 1, 7));
    Put(Row(5, 2, 2, 1, 7));
    PutVM(VM(2, 1, 5, "g", 7, 1, "v"));
    ScopedLogCapture log;
    struct Case {
        const char* name;
        const char* message;
        std::function<CZoError()> call;
    } cases[] = {
        {"GetExtent", nullptr,
         [&] {
             Extent r(0, 0, 2, 1, 0);
             return adapter->GetExtent(ExtentParam{5, 0, 2, 1, 0, 0}, r);
         }},
        {"GetVMJob", "busy",
         [&] {
             VM v(2, 1, 5, "", 0, 0, "");
             return adapter->GetVMJob(v);
         }},
        {"GetVMJobs", nullptr,
         [&] {
             std::list<VM> l;
             return adapter->GetVMJobs(l);
         }},
        {"GetExtentsInBatches", "io",
         [&] {
             DBObjectCollection<Extent> c;
             return adapter->GetExtentsInBatches(ExtentsParam(), 2, c);
         }},
        {"GetVMsInBatches", nullptr,
         [&] {
             DBObjectCollection<VM> c;
             return adapter->GetVMsInBatches(VMJobParam(), 2, c);
         }},
        {"GetExtentCount", "locked",
         [&] {
             long long n = 0;
             return adapter->GetExtentCount(ExtentsParam(), n);
         }},
        {"GetVMCount", nullptr,
         [&] {
             long long n = 0;
             return adapter->GetVMCount(VMJobParam(), n);
         }},
        {"AddExtent", "full", [&] { return adapter->AddExtent(Row(5, 9, 2, 1, 7)); }},
        {"InsertUpdateVM", nullptr, [&] { return adapter->InsertUpdateVM(VM(2, 1, 6, "g", 7, 1, "v"), false); }},
    };
    for (const auto& c : cases) {
        adapter->TEST_Database().TEST_ThrowOnNextCall(10, c.message);
        CZoError err = c.call();
        EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 10)) << c.name << ": " << err.AsString();
        std::string text =
            c.message != nullptr ? std::string("SQLite Exception, ") + c.message + " [" : "SQLite Exception [";
        EXPECT_NE(std::string::npos, err.AsString().find(text)) << c.name << ": " << err.AsString();
    }
    EXPECT_EQ(0u, log->Count(-1, ""));
    EXPECT_EQ(3, ExtentCount());
}

TEST_F(SQLiteAdapterTest, FailureOnTheThirdRowKeepsTheFirstTwo) {
    for (long long offset = 0; offset < 5; ++offset) Put(Row(5, offset, 2, 1, 7));
    DBObjectCollection<Extent> page;
    adapter->TEST_Database().TEST_ThrowOnNextCall(11, "malformed", 2);
    CZoError err = adapter->GetExtents(ExtentsParam(), page, 0, 0);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, 11)) << err.AsString();
    EXPECT_EQ(2u, page.count());
}

TEST_F(SQLiteAdapterTest, OperationsFeedTheirCounterSlots) {
    auto processSet = boost::make_shared<LBCPerfCounters>();
    StoreLBCPerfCounters(processSet);
    const long long job = 424242;
    Extent e = Row(5, 0, 2, 1, job);
    VM vm(2, 1, 5, "g", job, 1, "v");
    Extent row(0, 0, 2, 1, 0);
    DBObjectCollection<Extent> page;
    std::list<VM> vms;
    long long n = 0;
    ExtentsParam jobFilter;
    jobFilter.JobID = job;
    ASSERT_FALSE(adapter->AddExtent(e).IsError());
    ASSERT_FALSE(adapter->UpdateExtent(e).IsError());
    ASSERT_FALSE(adapter->InsertUpdateVM(vm, false).IsError());
    ASSERT_FALSE(adapter->GetExtent(ExtentParam{5, 0, 2, 1, job, 0}, row).IsError());
    ASSERT_FALSE(adapter->GetExtents(jobFilter, page, 10, 0).IsError());
    // Of any copy: the row just written is not its kept answer, so it is queried.
    VM anyCopy(2, 0, 5, "", job, 0, "");
    ASSERT_FALSE(adapter->GetVMJob(anyCopy).IsError());
    ASSERT_FALSE(adapter->GetVMJobs(vms).IsError());
    ASSERT_FALSE(adapter->GetExtentCount(jobFilter, n).IsError());

    auto jobSet = GetPerJobPerfCounters(job);
    auto samples = [](const boost::shared_ptr<LBCPerfCounters>& set, LBCPerfCounters::Slot slot) {
        return set->Counter(slot)->GetTimer().GetTotalSamples();
    };
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotDbInsertExtent));
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotDbUpdateExtent));
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotDbUpsertVM));
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotCacheDBGetExtent));
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotDbQueryExtent));
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotDbGetExtents));
    EXPECT_EQ(1, samples(jobSet, LBCPerfCounters::SlotDbQueryExtents));
    EXPECT_EQ(2, samples(processSet, LBCPerfCounters::SlotDbQueryVM));
    EXPECT_EQ(1, samples(processSet, LBCPerfCounters::SlotDbQueryExtents));
    StoreLBCPerfCounters(boost::shared_ptr<LBCPerfCounters>());
}

TEST_F(SQLiteAdapterTest, ClosedFileIsCompleteAndReadableByAnotherConnection) {
    for (long long offset = 0; offset < 3; ++offset) Put(Row(5, offset, 2, 1, 7));
    ASSERT_FALSE(adapter->BeginTransaction().IsError());
    Put(Row(5, 3, 2, 1, 7));
    ASSERT_FALSE(adapter->CommitTransaction().IsError());
    ASSERT_FALSE(adapter->Close().IsError());
    EXPECT_FALSE(FileExists(dir.sub("afile_cache.db-journal")));

    TempDir copy;
    WriteWholeFile(copy.sub("afile_cache.db"), ReadWholeFile(dir.sub("afile_cache.db")));
    SQLiteAdapter other(copy.path(), "afile_cache");
    ASSERT_FALSE(other.Open().IsError());
    long long count = 0;
    ASSERT_FALSE(other.GetExtentCount(ExtentsParam(), count).IsError());
    EXPECT_EQ(4, count);
}

}  // namespace

// "[DBQuery] VM" takes one sample per VM row look-up, whether the engine
// answers it or the row kept by the adapter does, and one per listing.
TEST_F(SQLiteAdapterTest, EveryVMRowLookUpTakesOneSampleKeptAnswersIncluded) {
    auto processSet = boost::make_shared<LBCPerfCounters>();
    StoreLBCPerfCounters(processSet);
    auto samples = [&] { return processSet->Counter(LBCPerfCounters::SlotDbQueryVM)->GetTimer().GetTotalSamples(); };
    PutVM(VM(2, 1, 5, "g1", 7, 100, "v1"));
    const struct {
        const char* step;
        unsigned copy;
        bool listing;
    } lookUps[] = {
        {"the row as written, kept", 1, false},
        {"again, kept", 1, false},
        {"of any copy, queried", 0, false},
        {"the listing", 1, true},
        {"kept once more", 1, false},
    };
    long long expected = 0;
    for (const auto& lookUp : lookUps) {
        SCOPED_TRACE(lookUp.step);
        if (lookUp.listing) {
            std::list<VM> all;
            ASSERT_FALSE(adapter->GetVMJobs(all).IsError());
        } else {
            VM vm(2, lookUp.copy, 5, "", 0, 0, "");
            CZoError err = adapter->GetVMJob(vm);
            ASSERT_FALSE(err.IsError()) << err.AsString();
            EXPECT_EQ("g1", vm.GUID);
        }
        EXPECT_EQ(++expected, samples());
    }
    StoreLBCPerfCounters(boost::shared_ptr<LBCPerfCounters>());
}

// The VM row read again is answered without a query while the VMs table is
// unchanged, and by the engine once anything could have changed it: a row
// write, a rollback, the close. Counted by the queries of VM rows the engine
// runs, as SQLite traces them on the adapter's connection.
TEST_F(SQLiteAdapterTest, AVMRowReadAgainIsTheEnginesAnswerWithoutAQueryWhileItsTableIsUnchanged) {
    VMRowQueryTrace trace;
    Reopen();
    auto queries = [&] { return trace.Queries(); };
    // The engine's own answer, through a listing (never kept), less the
    // query counted for it.
    auto engine = [&](unsigned copy) {
        std::list<VM> all;
        EXPECT_FALSE(adapter->GetVMJobs(all).IsError());
        for (const VM& vm : all)
            if (vm.TessarelID == 2 && vm.AfileID == 5 && vm.CopyID == copy) return vm;
        return VM(0, 0, 0, "", 0, 0, "");
    };
    auto read = [&](const char* step, const std::string& guid, long long expectedQueries, unsigned copy = 1) {
        VM vm(2, copy, 5, "", 0, 0, "");
        CZoError err = adapter->GetVMJob(vm);
        ASSERT_FALSE(err.IsError()) << step << ": " << err.AsString();
        EXPECT_EQ(guid, vm.GUID) << step;
        EXPECT_EQ(expectedQueries, queries()) << step;
        const VM truth = engine(copy);
        EXPECT_EQ(truth.description(), vm.description()) << step;
        EXPECT_EQ(truth.LastReferenceTime, vm.LastReferenceTime) << step;
        EXPECT_EQ(truth.ValidityGUID, vm.ValidityGUID) << step;
        EXPECT_EQ(truth.GUID, vm.GUID) << step;
        EXPECT_EQ(truth.JobID, vm.JobID) << step;
        EXPECT_EQ(truth.CopyID, vm.CopyID) << step;
    };
    // Counted before the engine's look-up, which is one query more.
    PutVM(VM(2, 1, 5, "g1", 7, 100, "v1"));
    read("after the VM row's first write: the written row", "g1", 0);
    read("again", "g1", 1);
    Put(Row(5, 0, 2, 1, 7));
    read("after an extent row", "g1", 2);
    PutVM(VM(2, 1, 5, "g2", 7, 101, "v2"));
    read("after the VM row's write", "g2", 3);
    read("again", "g2", 4);

    ASSERT_FALSE(adapter->BeginTransaction().IsError());
    PutVM(VM(2, 1, 5, "g3", 7, 102, "v3"));
    read("inside the transaction", "g3", 5);
    ASSERT_FALSE(adapter->RollbackTransaction().IsError());
    read("after the rollback: queried again", "g2", 7);
    read("again", "g2", 8);

    // A refused insert-only write changes nothing and keeps nothing.
    EXPECT_TRUE(adapter->InsertUpdateVM(VM(2, 1, 5, "refused", 7, 103, "v9"), true).IsError());
    read("after a refused insert: queried again", "g2", 10);

    // Another copy's row is its own answer; a key of any copy is queried.
    PutVM(VM(2, 2, 5, "other", 7, 100, "v"));
    read("the other copy", "other", 11, 2);
    read("the first copy after another's write: queried again", "g2", 13);
    VM anyCopy(2, 0, 5, "", 0, 0, "");
    ASSERT_FALSE(adapter->GetVMJob(anyCopy).IsError());
    EXPECT_EQ(15, queries()) << "a key of any copy";

    ASSERT_FALSE(adapter->Close().IsError());
    VM closed(2, 1, 5, "", 0, 0, "");
    EXPECT_TRUE(adapter->GetVMJob(closed).IsError());
    EXPECT_EQ("", closed.GUID);
}
