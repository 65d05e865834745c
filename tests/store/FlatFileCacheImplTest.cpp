// The flat-file back end: items made, opened, read and closed through it, the
// validity of recorded locations, sizes and paths, and availability.

#include "store/FlatFileCacheImpl.h"

#include "CacheTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/PerfCounters.h"
#include "platform/FXErrorUtil.h"
#include "store/FlatFileCacheItem.h"
#include "store/FlatFileHandle.h"

#include <gtest/gtest.h>

namespace {

class FlatFileCacheImplTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        loc = TestLocation::Make(dir, GetParam());
        dataFolder = loc.Path("DATA");
        MakeFolders(loc.Local("DATA"));
        impl = boost::make_shared<FlatFileCacheImpl>(dataFolder);
        impl->SetFSIO(loc.NewIO(), loc.info);
        relative = FlatFileOf(dataFolder, 812).substr(dataFolder.size() + 1);
        localFlatFile = loc.Local("DATA/" + relative);
    }
    void TearDown() override { LoopbackFS::TEST_Reset(); }

    // Writes one extent through the back end; answers its extent row.
    ExtentPtr Store(long long afileOffset, const std::string& bytes) {
        ExtentPtr extent = MakeExtent(812, afileOffset);
        CacheItemPtr item;
        CZoError err = impl->CreateItem(extent, "guid", Cache::INTENDED_OP_WRITE, item);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_FALSE(impl->AppendToItem(item, bytes.data(), bytes.size()).IsError());
        err = impl->CloseItem(item);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return extent;
    }

    TempDir dir;
    TestLocation loc;
    std::string dataFolder;
    std::string relative;
    std::string localFlatFile;
    boost::shared_ptr<FlatFileCacheImpl> impl;
};

INSTANTIATE_TEST_SUITE_P(Both, FlatFileCacheImplTest, testing::Bool(), LocationName);

// A read by location opens an item for reading: one sample of
// "[READS] Num extents" for its job and one in the process totals; a location
// whose file cannot be opened opens none.
TEST_P(FlatFileCacheImplTest, AReadByLocationCountsTheItemItOpened) {
    const long long job = 913;
    const std::string bytes = Payload(300, 4);
    ExtentPtr extent = Store(0, bytes);
    auto samples = [](long long set) {
        return GetPerJobPerfCounters(set)->Counter(LBCPerfCounters::SlotItemOpenForRead)->GetTimer().GetTotalSamples();
    };
    const struct {
        const char* name;
        std::string location;
        bool opened;
    } reads[] = {
        {"the extent's region", extent->CacheLocation, true},
        {"a location in a missing flat file", "loc:C1/afile_1/none.cache:0:10", false},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(read.name);
        const long long jobBefore = samples(job), processBefore = samples(0);
        CAutoMemory<char> buffer;
        CZoError err = impl->ReadItem(job, read.location, buffer);
        EXPECT_EQ(!read.opened, err.IsError()) << err.AsString();
        if (read.opened) {
            EXPECT_EQ(bytes, std::string(buffer.Ptr(), buffer.Size()));
        }
        const long long added = read.opened ? 1 : 0;
        EXPECT_EQ(jobBefore + added, samples(job));
        EXPECT_EQ(processBefore + added, samples(0));
    }
}

TEST_P(FlatFileCacheImplTest, WrittenExtentRecordsItsLocationAndReadsBack) {
    const std::string bytes = Payload(500, 1);
    ExtentPtr extent = Store(4096, bytes);
    EXPECT_EQ("loc:" + relative + ":0:500", extent->CacheLocation);

    CAutoMemory<char> buffer;
    ASSERT_FALSE(impl->ReadItem(900, extent->CacheLocation, buffer).IsError());
    EXPECT_EQ(bytes, std::string(buffer.Ptr(), buffer.Size()));

    // Streaming through an opened item.
    CacheItemPtr item;
    ASSERT_FALSE(impl->GetItem(900, extent->CacheLocation, Cache::INTENDED_OP_READ, item).IsError());
    size_t size = 200;
    ASSERT_FALSE(impl->ReadItem(900, item, size, buffer).IsError());
    EXPECT_EQ(bytes.substr(0, 200), std::string(buffer.Ptr(), size));
    // A read item's close records its own blank extent, not the caller's row.
    ASSERT_FALSE(impl->CloseItem(item).IsError());
    EXPECT_EQ(extent->CacheLocation, item->GetExtent()->CacheLocation);
    EXPECT_EQ(0, item->GetExtent()->AfileID);

    // The same when the blank row was looked at before the close.
    CacheItemPtr looked;
    ASSERT_FALSE(impl->GetItem(900, extent->CacheLocation, Cache::INTENDED_OP_READ, looked).IsError());
    const ExtentPtr before = looked->GetExtent();
    EXPECT_EQ("", before->CacheLocation);
    ASSERT_FALSE(impl->CloseItem(looked).IsError());
    EXPECT_EQ(before, looked->GetExtent());
    EXPECT_EQ(extent->CacheLocation, before->CacheLocation);
}

// An item of the kept file's own path takes the kept handle up; any other
// location is joined and opened as without one, and is refused as it would be.
TEST_P(FlatFileCacheImplTest, AnItemGivenTheKeptFileReadsWhatItsLocationNames) {
    const std::string bytes = Payload(300, 3);
    ExtentPtr extent = Store(0, bytes);
    const std::string ownPath = dataFolder + "/" + relative;
    const std::string otherRelative = FlatFileOf(dataFolder, 813).substr(dataFolder.size() + 1);
    struct Case {
        const char* name;
        std::string location;
        std::string keptPath;
        // 0: served, the item's file being the location's
        int code;
    };
    const Case cases[] = {
        {"own file", extent->CacheLocation, ownPath, 0},
        {"another file kept", extent->CacheLocation, FlatFileOf(dataFolder, 813), 0},
        {"the kept file spelt with a doubled slash", extent->CacheLocation, dataFolder + "//" + relative, 0},
        {"a path outside the data folder", "loc:../" + relative + ":0:300", ownPath, LBCError::kInvalidLocation},
        {"a file never written", "loc:" + otherRelative + ":0:10", ownPath, LBCError::kFlatFileOpenFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CacheItemPtr item;
        CZoError err = impl->GetItemOfKeptFile(900, c.location, Cache::INTENDED_OP_READ,
                                               FlatFileHandle::ForPath(c.keptPath), item);
        if (c.code != 0) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, c.code)) << err.AsString();
            EXPECT_FALSE(item);
            continue;
        }
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(ownPath, boost::dynamic_pointer_cast<FlatFileCacheItem>(item)->GetFlatFilePath());
        CAutoMemory<char> buffer;
        ASSERT_FALSE(item->Read(buffer).IsError());
        EXPECT_EQ(bytes, std::string(buffer.Ptr(), buffer.Size()));
        ASSERT_FALSE(impl->CloseItem(item).IsError());
        EXPECT_EQ(extent->CacheLocation, item->GetExtent()->CacheLocation);
    }
}

TEST_P(FlatFileCacheImplTest, RewriteThroughTheBackEnd) {
    ExtentPtr extent = Store(0, Payload(64, 1));
    const std::string old = extent->CacheLocation;

    CacheItemPtr item;
    ASSERT_FALSE(impl->GetItem(900, old, Cache::INTENDED_OP_REWRITE, item).IsError());
    const std::string same = Payload(64, 2);
    impl->AppendToItem(item, same.data(), same.size());
    ASSERT_FALSE(impl->CloseItem(item).IsError());
    // A region of its own; the old one stays as it was.
    EXPECT_EQ("loc:" + relative + ":64:64", item->GetExtent()->CacheLocation);
    EXPECT_EQ(Payload(64, 1) + same, ReadWholeFile(localFlatFile));
}

TEST_P(FlatFileCacheImplTest, GetItemFailuresLeaveTheItemParameter) {
    CacheItemPtr before = boost::make_shared<FlatFileCacheItem>(MakeExtent(1, 0), "x", Cache::INTENDED_OP_WRITE,
                                                                dataFolder, loc.info, 0);
    struct Case {
        std::string location;
        int code;
    };
    const Case cases[] = {
        {"loc:" + relative + ":0:10", LBCError::kFlatFileOpenFailed},  // no flat file yet
        {relative + ":0:10", LBCError::kInvalidLocation},              // no prefix
        {"loc:" + relative + ":0", LBCError::kInvalidLocation},        // too few fields
        {"loc:../../x.cache:0:10", LBCError::kInvalidLocation},
    };
    for (const Case& c : cases) {
        CacheItemPtr item = before;
        CZoError err = impl->GetItem(900, c.location, Cache::INTENDED_OP_READ, item);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, c.code)) << c.location << " " << err.AsString();
        EXPECT_EQ(before.get(), item.get()) << c.location;
    }
    EXPECT_TRUE(impl->IsAvailable());
}

TEST_P(FlatFileCacheImplTest, DeleteItemIsRefusedAsWin32Error50) {
    ExtentPtr extent = Store(0, Payload(30, 1));
    CacheItemPtr item;
    ASSERT_FALSE(impl->GetItem(900, extent->CacheLocation, Cache::INTENDED_OP_READ, item).IsError());
    CZoError err = impl->DeleteItem(item);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 50));
    EXPECT_FALSE(FXErrorUtil::IsInt(err, LBCError::kWriteInProgress));
    EXPECT_EQ(Payload(30, 1), ReadWholeFile(localFlatFile));
}

TEST_P(FlatFileCacheImplTest, ValidityOfRecordedLocations) {
    ScopedLogCapture log;
    ExtentPtr stored = Store(0, Payload(30, 1));
    VM vm(2, 1, 812, "vm", 900, 0, "GUID-1");

    struct Case {
        std::string location;
        std::string extentGuid;
        bool valid;
        Cache::INVALIDITY_REASON reason;
        int code;        // 0: success
        int logLines;    // "Failed to open flat file for extent"
    };
    const Case cases[] = {
        {stored->CacheLocation, "guid-1", true, Cache::INVALIDITY_NONE, 0, 0},
        {"", "guid-1", false, Cache::INVALIDITY_NO_LOCATION, 0, 0},
        {stored->CacheLocation, "guid-2", false, Cache::INVALIDITY_GUID_MISMATCH, 0, 0},
        {"loc:C1/afile_9_1_2/9_1_2.cache:0:30", "GUID-1", false, Cache::INVALIDITY_FILE_NOT_OPENED, 0, 1},
        // The region is not compared with the file's length.
        {"loc:" + relative + ":1000:30", "GUID-1", true, Cache::INVALIDITY_NONE, 0, 0},
        {"loc:" + relative + ":0", "GUID-1", false, Cache::INVALIDITY_NONE, LBCError::kInvalidLocation, 0},
        {"loc:/etc/passwd:0:30", "GUID-1", false, Cache::INVALIDITY_NONE, LBCError::kInvalidLocation, 0},
        {"loc:" + relative + ":-30:30", "GUID-1", false, Cache::INVALIDITY_NONE, LBCError::kInvalidLocation, 0},
    };
    for (const Case& c : cases) {
        Extent extent = *stored;
        extent.CacheLocation = c.location;
        extent.ValidityGUID = c.extentGuid;
        bool valid = !c.valid;
        Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
        const int before = log->Count(2, "Failed to open flat file for extent");
        CZoError err = impl->IsCacheLocationValid(extent, vm, valid, reason);
        if (c.code == 0)
            EXPECT_FALSE(err.IsError()) << c.location << " " << err.AsString();
        else
            EXPECT_TRUE(FXErrorUtil::IsInt(err, c.code)) << c.location << " " << err.AsString();
        EXPECT_EQ(c.valid, valid) << c.location;
        EXPECT_EQ(c.reason, reason) << c.location;
        EXPECT_EQ(c.logLines, log->Count(2, "Failed to open flat file for extent") - before) << c.location;
    }
    log.Uninstall();
}

TEST_P(FlatFileCacheImplTest, SizesAndPaths) {
    VM vm(2, 1, 812, "vm", 900, 0, "g");
    std::string path;
    ASSERT_FALSE(impl->GetCacheFilePath(vm, path).IsError());
    EXPECT_EQ(dataFolder + "/" + relative, path);

    long long size = 77;
    EXPECT_TRUE(FXErrorUtil::IsInt(impl->GetCacheSize(vm, size), LBCError::kSizeFailed));
    EXPECT_EQ(77, size);

    Store(0, Payload(100, 1));
    Store(1, Payload(23, 2));
    ASSERT_FALSE(impl->GetCacheSize(vm, size).IsError());
    EXPECT_EQ(123, size);

    WriteWholeFile(loc.Local("DATA/loose.bin"), std::string(1000, 'x'));
    unsigned long long total = 0;
    ASSERT_FALSE(impl->GetCacheSize(total).IsError());
    EXPECT_EQ(1123u, total);

    unsigned long long volumeTotal = 0;
    unsigned long long volumeAvailable = 0;
    ASSERT_FALSE(impl->GetSpaceUsage(dataFolder, volumeTotal, volumeAvailable).IsError());
    EXPECT_GT(volumeTotal, 0u);
    EXPECT_LE(volumeAvailable, volumeTotal);
}

TEST_P(FlatFileCacheImplTest, PathsComeFromTheOwnDataFolderNotFromTheLookup) {
    // The service now places the afile copy elsewhere.
    TempDir other;
    ScopedCacheLookup lookup(CachePtr(), other.path());
    ExtentPtr extent = Store(0, Payload(10, 1));
    EXPECT_EQ("loc:" + relative + ":0:10", extent->CacheLocation);
    EXPECT_TRUE(Exists(localFlatFile));

    std::string path;
    ASSERT_FALSE(impl->GetCacheFilePath(VM(2, 1, 812, "vm", 900, 0, "g"), path).IsError());
    EXPECT_EQ(dataFolder + "/" + relative, path);
}

TEST_P(FlatFileCacheImplTest, EmptyFoldersGoAndTheDataFolderStays) {
    MakeFolders(loc.Local("DATA/AB/afile_1_1_1"));
    Store(0, Payload(10, 1));
    ASSERT_FALSE(impl->DeleteEmptyFolders(10000).IsError());
    EXPECT_FALSE(Exists(loc.Local("DATA/AB")));
    EXPECT_TRUE(Exists(localFlatFile));
    EXPECT_TRUE(Exists(loc.Local("DATA")));
}

TEST_P(FlatFileCacheImplTest, DeleteFlatFile) {
    Store(0, Payload(10, 1));
    ASSERT_FALSE(impl->DeleteFlatFile(dataFolder + "/" + relative).IsError());
    EXPECT_FALSE(Exists(localFlatFile));
    EXPECT_FALSE(impl->DeleteFlatFile(dataFolder + "/" + relative).IsError());
}

TEST_P(FlatFileCacheImplTest, UnreachableLocationMarksTheBackEndUnavailable) {
    bool available = false;
    ASSERT_FALSE(impl->CheckAvailibility(available).IsError());
    EXPECT_TRUE(available);
    if (!GetParam()) return;  // a local location is always reachable

    ExtentPtr stored = Store(0, Payload(10, 1));
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    ASSERT_FALSE(impl->CheckAvailibility(available).IsError());
    EXPECT_FALSE(available);
    EXPECT_TRUE(impl->IsAvailable());  // the test leaves the flag alone

    CacheItemPtr item;
    CZoError err = impl->CreateItem(MakeExtent(812, 1), "", Cache::INTENDED_OP_WRITE, item);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();
    EXPECT_TRUE(item);
    EXPECT_FALSE(impl->IsAvailable());

    impl->MarkAvailable();
    item.reset();
    err = impl->GetItem(900, stored->CacheLocation, Cache::INTENDED_OP_REWRITE, item);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();
    EXPECT_TRUE(item);
    EXPECT_FALSE(impl->IsAvailable());

    // A read or validity test that cannot open the file of an unreachable
    // location reports it unavailable, not the file missing.
    impl->MarkAvailable();
    item.reset();
    err = impl->GetItem(900, stored->CacheLocation, Cache::INTENDED_OP_READ, item);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();
    EXPECT_FALSE(item);
    EXPECT_FALSE(impl->IsAvailable());

    impl->MarkAvailable();
    Extent extent = *stored;
    extent.ValidityGUID = "g";
    bool valid = false;
    Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_NONE;
    err = impl->IsCacheLocationValid(extent, VM(2, 1, 812, "vm", 900, 0, "g"), valid, reason);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();
    EXPECT_EQ(Cache::INVALIDITY_NONE, reason);

    LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);
    ASSERT_FALSE(impl->CheckAvailibility(available).IsError());
    EXPECT_TRUE(available);
}

}  // namespace
