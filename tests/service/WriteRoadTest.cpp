// The write road through the facade: admission, Write, Close, roll-back.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PerfCounters.h"
#include "store/CacheSyncObject.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>

#include <regex>

namespace {

class WriteRoadTest : public MainRoadTest {};

long long FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

TEST_F(WriteRoadTest, FirstWriteOfAnAfileMakesTheVMRowAndRecordsTheLocationAtClose) {
    LIVE_BROWSE_CACHE_TESTABILITY.store(0);
    CLiveBrowseCache::SetTestability();
    const std::string bytes = Payload(1000, 1);
    CLiveBrowseCache::WriterPtr writer;
    CZoError err = lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, writer);
    ASSERT_FALSE(err.IsError()) << err.AsString();

    VM vm = VMRow();
    EXPECT_TRUE(std::regex_match(vm.ValidityGUID,
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
        << vm.ValidityGUID;
    EXPECT_EQ(kNow, vm.LastReferenceTime);
    EXPECT_EQ(kJob, vm.JobID);
    EXPECT_EQ(1u, CountContaining("Creating new cache file for ["));

    Extent row(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(4096, row));
    EXPECT_EQ("", row.CacheLocation);
    EXPECT_EQ(1, row.Flags);

    ASSERT_FALSE(writer->Write(bytes.data(), 600).IsError());
    ASSERT_FALSE(writer->Write(bytes.data() + 600, 400).IsError());
    EXPECT_EQ(-1, FileSize(FlatFilePath()));  // nothing reaches the file before Close
    err = writer->Close();
    ASSERT_FALSE(err.IsError()) << err.AsString();

    ASSERT_TRUE(Row(4096, row));
    EXPECT_EQ(0u, row.CacheLocation.find("loc:")) << row.CacheLocation;
    EXPECT_EQ(vm.ValidityGUID, row.ValidityGUID);
    EXPECT_EQ(32u, row.Reserved1.size());  // the MD5 text in test mode
    EXPECT_EQ(bytes, ReadWholeFile(FlatFilePath()));
    EXPECT_EQ(1u, CountContaining("Write done for "));

    bool cached = false, recorded = false;
    ASSERT_FALSE(lbc->IsExtentInCache(kAfile, 4096, kTessarel, kCopy, cached, recorded).IsError());
    EXPECT_TRUE(cached);
    EXPECT_TRUE(recorded);
    LIVE_BROWSE_CACHE_TESTABILITY.store(0);
}

TEST_F(WriteRoadTest, ASecondWriterOfTheSameExtentIsRefusedUntilTheFirstIsReleased) {
    CLiveBrowseCache::WriterPtr first;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, first).IsError());
    const uint32_t blockedBefore = LoadLBCPerfCounters()->blockedWrites.load();

    // Same key whatever the job or the flags.
    CLiveBrowseCache::WriterPtr second;
    CZoError err = lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob + 1, kPartial, second);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kWriteInProgress)) << err.AsString();
    EXPECT_NE(std::string::npos, Message(err).find("or cache under maintenance. Skipping write to cache for this "
                                                   "extent."));
    EXPECT_FALSE(second);
    EXPECT_EQ(blockedBefore + 1, LoadLBCPerfCounters()->blockedWrites.load());

    first.reset();
    err = lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob + 1, kPartial, second);
    EXPECT_FALSE(err.IsError()) << err.AsString();
}

TEST_F(WriteRoadTest, AWriterReleasedWithoutCloseLeavesNoRowAndTheFlatFileUnchanged) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(100, 1)).IsError());
    const std::string before = ReadWholeFile(FlatFilePath());
    {
        CLiveBrowseCache::WriterPtr writer;
        ASSERT_FALSE(lbc->GetWriterObject(kAfile, 8192, kTessarel, kCopy, kJob, writer).IsError());
        const std::string bytes = Payload(300, 2);
        ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    }
    bool cached = true, recorded = true;
    ASSERT_FALSE(lbc->IsExtentInCache(kAfile, 8192, kTessarel, kCopy, cached, recorded).IsError());
    EXPECT_FALSE(cached);
    EXPECT_FALSE(recorded);
    EXPECT_EQ(before, ReadWholeFile(FlatFilePath()));

    // The registration ended with the release.
    CLiveBrowseCache::WriterPtr again;
    EXPECT_FALSE(lbc->GetWriterObject(kAfile, 8192, kTessarel, kCopy, kJob, again).IsError());
}

TEST_F(WriteRoadTest, ARewriteOfAnyLengthAppendsANewRegion) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(500, 1)).IsError());
    Extent row(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(0, row));
    const std::string location = row.CacheLocation;

    {
        // While the rewrite is open, no reader finds the old copy.
        CLiveBrowseCache::WriterPtr writer;
        ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
        ASSERT_TRUE(Row(0, row));
        EXPECT_EQ("", row.CacheLocation);
        const std::string bytes = Payload(500, 2);
        ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
        ASSERT_FALSE(writer->Close().IsError());
    }
    // Never over the old region: a reader opened before may still read it.
    ASSERT_TRUE(Row(0, row));
    EXPECT_NE(location, row.CacheLocation);
    EXPECT_EQ(1000, FileSize(FlatFilePath()));
    CZoError err;
    EXPECT_EQ(Payload(500, 2), ReadExtent(kAfile, 0, err)) << err.AsString();

    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(200, 3)).IsError());
    ASSERT_TRUE(Row(0, row));
    EXPECT_NE(location, row.CacheLocation);
    EXPECT_EQ(1200, FileSize(FlatFilePath()));
    EXPECT_EQ(Payload(200, 3), ReadExtent(kAfile, 0, err)) << err.AsString();
}

TEST_F(WriteRoadTest, Bit34MarksAPartialExtentAndOtherBitsAreIgnored) {
    struct Case {
        long long flags;
        int rowFlags;
    };
    const Case cases[] = {{0, 1}, {kPartial, 2}, {0x3ffffffffLL, 1}, {kPartial | 0x1, 2}, {0x800000000LL, 1}};
    long long offset = 0;
    for (const Case& c : cases) {
        offset += 4096;
        ASSERT_FALSE(WriteExtent(kAfile, offset, Payload(64, 1), c.flags).IsError());
        Extent row(0, 0, 0, 0, 0);
        ASSERT_TRUE(Row(offset, row));
        EXPECT_EQ(c.rowFlags, row.Flags) << std::hex << c.flags;
    }
    // A full-extent read is served only from a full write.
    CZoError err;
    EXPECT_EQ("", ReadExtent(kAfile, 2 * 4096, err));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
    EXPECT_EQ(Payload(64, 1), ReadExtent(kAfile, 2 * 4096, err, kPartial)) << err.AsString();
    EXPECT_EQ(Payload(64, 1), ReadExtent(kAfile, 4096, err, kPartial)) << err.AsString();
}

TEST_F(WriteRoadTest, NoBytesIsRefusedAndTheWriterStaysUsable) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    const std::string bytes = Payload(50, 1);
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(nullptr, 10), LBCError::kNoBytes));
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(bytes.data(), 0), LBCError::kNoBytes));
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    ASSERT_FALSE(writer->Close().IsError());
    CZoError err;
    EXPECT_EQ(bytes, ReadExtent(kAfile, 0, err)) << err.AsString();
}

TEST_F(WriteRoadTest, WriteAndCloseAfterCloseFailAndTouchNothing) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    const std::string bytes = Payload(50, 1);
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    ASSERT_FALSE(writer->Close().IsError());
    Extent before(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(0, before));
    const std::string file = ReadWholeFile(FlatFilePath());
    ClearLines();

    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(bytes.data(), bytes.size()), LBCError::kWriterNotOpen));
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Close(), LBCError::kWriterNotOpen));
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Open(), LBCError::kWriterNotOpen));
    writer.reset();

    Extent after(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(0, after));
    EXPECT_EQ(before.CacheLocation, after.CacheLocation);
    EXPECT_EQ(file, ReadWholeFile(FlatFilePath()));
    EXPECT_EQ(0u, CountContaining("Write done for "));
}

TEST_F(WriteRoadTest, AWriterThatWasNeverOpenedRefusesWritesAndOnlyEndsTheRegistration) {
    ExtentPtr extent = boost::make_shared<Extent>(kAfile, 0, kTessarel, kCopy, kJob);
    ASSERT_TRUE(CCacheSyncObject::ExtentWriteBegin(extent));
    {
        CLiveBrowseCache::Writer writer(extent, [] {}, CacheItemPtr());
        const std::string bytes = Payload(10, 1);
        EXPECT_TRUE(FXErrorUtil::IsInt(writer.Write(bytes.data(), bytes.size()), LBCError::kWriterNotOpen));
        EXPECT_TRUE(FXErrorUtil::IsInt(writer.Close(), LBCError::kWriterNotOpen));
    }
    CLiveBrowseCache::WriterPtr again;
    EXPECT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, again).IsError());
}

TEST_F(WriteRoadTest, ACloseWhileTheVMIsBeingPrunedSucceedsWithoutRecordingALocation) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    const std::string bytes = Payload(50, 1);
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    {
        // The write/prune lock is recursive: this thread may hold it across Close.
        CCacheSyncObject pruning(boost::make_shared<VM>(kTessarel, kCopy, kAfile, "", 0, 0, ""),
                                 GetCache(kAfile, kCopy)->GetCacheDataFolderPath());
        pruning.MarkVMInPruning();
        EXPECT_FALSE(writer->Close().IsError());
    }
    Extent row(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(0, row));
    EXPECT_EQ("", row.CacheLocation);
    EXPECT_EQ(1u, CountContaining("is either being pruned. Do not commit this write to DB."));
    EXPECT_EQ(1u, CountContaining("Write done for "));
}

TEST_F(WriteRoadTest, ACloseThatFindsTheValidityGUIDClearedRecordsNoLocation) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    const std::string bytes = Payload(50, 1);
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    VM vm = VMRow();
    vm.ValidityGUID.clear();  // as the pruner leaves a pruned VM
    ASSERT_FALSE(DB()->UpdateVM(vm).IsError());

    EXPECT_FALSE(writer->Close().IsError());
    Extent row(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(0, row));
    EXPECT_EQ("", row.CacheLocation);
    EXPECT_EQ("", row.ValidityGUID);
    EXPECT_EQ(1u, CountContaining("is either being pruned. Do not commit this write to DB."));
}

TEST_F(WriteRoadTest, APrunedVMGetsANewValidityGUIDAndItsOldRowsStopBeingValid) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(50, 1)).IsError());
    VM vm = VMRow();
    const std::string oldGUID = vm.ValidityGUID;
    vm.ValidityGUID.clear();
    ASSERT_FALSE(DB()->UpdateVM(vm).IsError());
    ClearLines();

    ASSERT_FALSE(WriteExtent(kAfile, 4096, Payload(60, 2)).IsError());
    const VM renewed = VMRow();
    EXPECT_NE("", renewed.ValidityGUID);
    EXPECT_NE(oldGUID, renewed.ValidityGUID);
    EXPECT_EQ(1u, CountContaining("Existing entry corresponding to the vmjob/afileid found for ["));
    EXPECT_EQ(1u, CountContaining("Creating new cache file for ["));

    CZoError err;
    EXPECT_EQ("", ReadExtent(kAfile, 0, err));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << err.AsString();
    EXPECT_EQ(Payload(60, 2), ReadExtent(kAfile, 4096, err)) << err.AsString();
}

TEST_F(WriteRoadTest, AnOpenWriterKeepsItsAfileContainerThroughTheIdlePass) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    const std::string bytes = Payload(50, 1);
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());

    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
    EXPECT_EQ(1u, DB()->TEST_ContainerCount());
    // Another host cannot take the afile meanwhile.
    {
        ForkedLockHolder other(LockFilePath());
        EXPECT_FALSE(other.Locked());
    }
    ASSERT_FALSE(writer->Close().IsError());
    writer.reset();

    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, DB()->TEST_ContainerCount());
    CZoError err;
    EXPECT_EQ(bytes, ReadExtent(kAfile, 0, err)) << err.AsString();
}

TEST_F(WriteRoadTest, AnAfileLockedByAnotherHostIsWin32Error5InTheShortFormsAnd14InTheLongOnes) {
    const long long afile = 9001;
    const std::string lockFile = LockFilePath(afile);
    ASSERT_EQ(0, ::system(("mkdir -p '" + lockFile.substr(0, lockFile.rfind('/')) + "'").c_str()));
    {
        ForkedLockHolder other(lockFile);
        ASSERT_TRUE(other.Locked());

        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, 0, kTessarel, kCopy, kJob, writer);
        EXPECT_TRUE(FXErrorUtil::IsWin32(err, 5)) << err.AsString();
        EXPECT_EQ("Cache file for afileID [9001] locked by another host", Message(err));
        err = lbc->GetWriterObject(afile, 0, kTessarel, kCopy, kJob, 0, writer);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
        EXPECT_FALSE(writer);

        CLiveBrowseCache::ReaderPtr reader;
        err = lbc->GetReaderObject(afile, 0, kTessarel, kCopy, kJob, reader);
        EXPECT_TRUE(FXErrorUtil::IsWin32(err, 5)) << err.AsString();
        EXPECT_EQ("Cache file for afileID [9001] locked by another host", Message(err));
        err = lbc->GetReaderObject(afile, 0, kTessarel, kCopy, kJob, 0, reader);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
        EXPECT_FALSE(reader);
    }
    // The refused admissions left no registration behind.
    ASSERT_FALSE(WriteExtent(afile, 0, Payload(40, 1), 0).IsError());
    CZoError err;
    EXPECT_EQ(Payload(40, 1), ReadExtent(afile, 0, err, 0)) << err.AsString();
}
