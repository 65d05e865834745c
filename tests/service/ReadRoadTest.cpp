// The read road through the facade: admission and the Reader.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PerfCounters.h"
#include "foundation/PeriodicUtilityThread.h"

#include <cstring>
#include <memory>

namespace {

class ReadRoadTest : public MainRoadTest {
protected:
    void TearDown() override {
        g_bIsEnableLBCReadDuringValidation.store(true);
        MainRoadTest::TearDown();
    }

    CLiveBrowseCache::ReaderPtr OpenReader(long long offset) {
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(kAfile, offset, kTessarel, kCopy, kJob, reader);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return reader;
    }
};

}  // namespace

TEST_F(ReadRoadTest, StreamingStopsAtTheRegionsEndAndTheWholeReadLeavesThePositionAlone) {
    const std::string bytes = Payload(10, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(20, 1)).IsError());  // a region before it
    ASSERT_FALSE(WriteExtent(kAfile, 4096, bytes).IsError());
    ASSERT_FALSE(WriteExtent(kAfile, 8192, Payload(30, 2)).IsError());  // and one after
    CLiveBrowseCache::ReaderPtr reader = OpenReader(4096);
    ASSERT_TRUE(reader);
    EXPECT_EQ(10u, reader->Size());

    CAutoMemory<char> buffer;
    std::string streamed;
    unsigned long size = 4;
    ASSERT_FALSE(reader->Read(buffer, size).IsError());
    ASSERT_EQ(4u, size);
    streamed.append(buffer.Ptr(), size);

    CAutoMemory<char> whole;
    ASSERT_FALSE(reader->Read(whole).IsError());
    EXPECT_EQ(bytes, std::string(whole.Ptr(), whole.Size()));

    const unsigned long expected[] = {4, 2, 0, 0};
    for (unsigned long want : expected) {
        size = 4;
        ASSERT_FALSE(reader->Read(buffer, size).IsError());
        EXPECT_EQ(want, size);
        if (size != 0) streamed.append(buffer.Ptr(), size);
    }
    EXPECT_EQ(bytes, streamed);
    EXPECT_EQ(10u, reader->Size());

    CLiveBrowseCache::ReaderPtr big = OpenReader(4096);
    size = 100;
    ASSERT_FALSE(big->Read(buffer, size).IsError());
    EXPECT_EQ(10u, size);
}

TEST_F(ReadRoadTest, ReadIntoCallerMemoryOnlyBorrowsIt) {
    const std::string bytes = Payload(10, 4);
    ASSERT_FALSE(WriteExtent(kAfile, 0, bytes).IsError());
    CLiveBrowseCache::ReaderPtr reader = OpenReader(0);
    ASSERT_TRUE(reader);

    // Heap memory of exactly 4 bytes: a free or a write past it shows under ASan.
    std::unique_ptr<char[]> memory(new char[4]);
    std::string streamed;
    const unsigned long expected[] = {4, 4, 2, 0};
    for (unsigned long want : expected) {
        unsigned long size = 4;
        ASSERT_FALSE(reader->Read(memory.get(), size).IsError());
        EXPECT_EQ(want, size);
        streamed.append(memory.get(), size);
    }
    EXPECT_EQ(bytes, streamed);

    // A failing read (no bytes left is not one; a null pointer is) frees nothing either.
    unsigned long size = 4;
    EXPECT_TRUE(FXErrorUtil::IsInt(reader->Read(static_cast<void*>(nullptr), size), LBCError::kNoBytes));
    std::memset(memory.get(), 0, 4);
}

TEST_F(ReadRoadTest, ReadsSwitchedOffAreRefusedWithoutACounterOrALogLine) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(10, 1)).IsError());
    g_bIsEnableLBCReadDuringValidation.store(false);
    ClearLines();
    CLiveBrowseCache::ReaderPtr reader;
    CZoError err = lbc->GetReaderObject(kAfile, 0, kTessarel, kCopy, kJob, reader);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kReadsDisabled)) << err.AsString();
    EXPECT_FALSE(reader);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReadRoadTest, AnUncommittedExtentHasNoLocationAndLeavesTheVMRowAlone) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    SystemClock::TEST_AdvanceSeconds(100);
    CLiveBrowseCache::ReaderPtr reader;
    CZoError err = lbc->GetReaderObject(kAfile, 0, kTessarel, kCopy, kJob + 1, reader);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNoItemLocation)) << err.AsString();
    EXPECT_NE(std::string::npos, Message(err).find("No item location found for the specified extent "));
    EXPECT_EQ(kNow, VMRow().LastReferenceTime);
}

TEST_F(ReadRoadTest, ALocationOfAnotherValidityGUIDOrAMissingFlatFileIs37) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(10, 1)).IsError());
    VM vm = VMRow();
    const std::string guid = vm.ValidityGUID;
    vm.ValidityGUID = "00000000-0000-0000-0000-000000000000";
    ASSERT_FALSE(DB()->UpdateVM(vm).IsError());
    CZoError err;
    EXPECT_EQ("", ReadExtent(kAfile, 0, err));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << err.AsString();
    EXPECT_NE(std::string::npos, Message(err).find("Invalid cache location [loc:"));

    vm.ValidityGUID = guid;
    ASSERT_FALSE(DB()->UpdateVM(vm).IsError());
    EXPECT_EQ(Payload(10, 1), ReadExtent(kAfile, 0, err)) << err.AsString();
    ASSERT_EQ(0, ::unlink(FlatFilePath().c_str()));
    EXPECT_EQ("", ReadExtent(kAfile, 0, err));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << err.AsString();
}

TEST_F(ReadRoadTest, AReadRefreshesOnlyTheReferenceTimeAndTheJobOfTheVMRow) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(10, 1)).IsError());
    const VM written = VMRow();
    SystemClock::TEST_AdvanceSeconds(500);
    CLiveBrowseCache::ReaderPtr reader;
    CZoError err = lbc->GetReaderObject(kAfile, 0, kTessarel, kCopy, 777, reader);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    const VM read = VMRow();
    EXPECT_EQ(kNow + 500, read.LastReferenceTime);
    EXPECT_EQ(777, read.JobID);
    EXPECT_EQ(written.ValidityGUID, read.ValidityGUID);
    EXPECT_EQ(written.GUID, read.GUID);

    Extent row(0, 0, 0, 0, 0);
    ASSERT_TRUE(Row(0, row));
    EXPECT_EQ(kJob, row.JobID);  // the extent row is not written
}

// A row that already holds this second and this job is what the read would
// write: it is left alone, and "[DBUpdate] UpsertVM" counts the writes made.
TEST_F(ReadRoadTest, AReadWritesTheVMRowOnlyWhenThatChangesIt) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(10, 1)).IsError());
    auto upserts = [] {
        return GetPerJobPerfCounters(0)->Counter(LBCPerfCounters::SlotDbUpsertVM)->GetTimer().GetTotalSamples();
    };
    const struct {
        long long advance;
        long long job;
        bool written;
    } reads[] = {
        {0, kJob, false},  // the write referenced the row this second, for this job
        {0, 777, true},    // another job
        {0, 777, false},
        {1, 777, true},    // a second later
        {0, 777, false},
        {0, kJob, true},
    };
    for (const auto& read : reads) {
        SystemClock::TEST_AdvanceSeconds(read.advance);
        const VM before = VMRow();
        const long long counted = upserts();
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(kAfile, 0, kTessarel, kCopy, read.job, reader);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(read.written ? 1 : 0, upserts() - counted) << "job " << read.job << " +" << read.advance << " s";
        const VM after = VMRow();
        EXPECT_EQ(SystemClock::Time(), after.LastReferenceTime);
        EXPECT_EQ(read.job, after.JobID);
        EXPECT_EQ(before.ValidityGUID, after.ValidityGUID);
    }
}

TEST_F(ReadRoadTest, AnExtentWithoutARowIs5) {
    CZoError err;
    EXPECT_EQ("", ReadExtent(kAfile, 12345, err));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
}
