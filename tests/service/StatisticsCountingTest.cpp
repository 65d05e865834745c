// The counters that requests feed through the facade: per job, and in the
// process totals (key 0), which receive no bytes. A job id lost on the way to
// the flat-file item would leave every job's report empty.

#include "MainRoadSupport.h"

#include "foundation/PerfCounters.h"

#include <map>

namespace {

class StatisticsCountingTest : public MainRoadTest {
protected:
    static long long Samples(long long job, LBCPerfCounters::Slot slot) {
        return GetPerJobPerfCounters(job)->Counter(slot)->GetTimer().GetTotalSamples();
    }

    // One write and one whole read of a fresh extent for the job.
    void WriteAndRead(long long job, long long offset, long long flags, const std::string& bytes) {
        CLiveBrowseCache::WriterPtr writer;
        ASSERT_FALSE(lbc->GetWriterObject(kAfile, offset, kTessarel, kCopy, job, flags, writer).IsError());
        ASSERT_FALSE(writer->Write(bytes.data(), static_cast<unsigned long>(bytes.size())).IsError());
        ASSERT_FALSE(writer->Close().IsError());
        writer.reset();
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(kAfile, offset, kTessarel, kCopy, job, flags, reader);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        CAutoMemory<char> buffer;
        ASSERT_FALSE(reader->Read(buffer).IsError());
        ASSERT_EQ(bytes.size(), buffer.Size());
    }
};

TEST_F(StatisticsCountingTest, ARequestOfEachKindCountsOnceForItsJobAndInTheProcessTotals) {
    WriteAndRead(71, 0, 0, Payload(1000, 1));
    WriteAndRead(72, 4096, kPartial, Payload(300, 2));

    using S = LBCPerfCounters;
    // Per slot: the samples of job 71 (full extent, 1000 bytes), of job 72
    // (partial, 300 bytes) and of the process totals.
    const struct {
        S::Slot slot;
        long long job71, job72, process;
    } rows[] = {
        {S::SlotWriterRequests, 1, 1, 2},  {S::SlotPartialWrites, 0, 1, 1},    {S::SlotWriteTime, 1, 1, 2},
        {S::SlotItemOpenForWrite, 1, 1, 2}, {S::SlotItemWrite, 1, 1, 2},       {S::SlotReaderRequests, 1, 1, 2},
        {S::SlotFullExtentReads, 1, 0, 1}, {S::SlotReadTime, 1, 1, 2},
        // Items opened for reading: the Reader's alone, which a whole read
        // reads through too.
        {S::SlotItemOpenForRead, 1, 1, 2},
        // Items closed: the Writer's and the Reader's.
        {S::SlotItemClose, 2, 2, 4},       {S::SlotWriteBytes, 1000, 300, 0}, {S::SlotReadBytes, 1000, 300, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.job71, Samples(71, row.slot)) << "slot " << row.slot;
        EXPECT_EQ(row.job72, Samples(72, row.slot)) << "slot " << row.slot;
        EXPECT_EQ(row.process, Samples(0, row.slot)) << "slot " << row.slot;
    }
}

// "[READS] Num extents" counts one item per Reader handed out: a read refused
// after its item was opened (its row's validity GUID is no longer the
// afile's) adds nothing, and a served one adds exactly one.
TEST_F(StatisticsCountingTest, OnlyAReaderHandedOutCountsAsAnItemOpenedForReading) {
    const long long job = 81;
    const std::string a = Payload(100, 1), c = Payload(100, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    // The flat file is lost: the next write starts it anew under another GUID.
    ASSERT_EQ(0, ::unlink(FlatFilePath().c_str()));
    ASSERT_FALSE(WriteExtent(kAfile, 4096, c).IsError());

    const struct {
        long long offset;
        bool served;
    } reads[] = {{0, false}, {4096, true}, {0, false}};
    for (const auto& read : reads) {
        SCOPED_TRACE("offset " + std::to_string(read.offset));
        const long long jobBefore = Samples(job, LBCPerfCounters::SlotItemOpenForRead);
        const long long processBefore = Samples(0, LBCPerfCounters::SlotItemOpenForRead);
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(kAfile, read.offset, kTessarel, kCopy, job, 0, reader);
        if (read.served) {
            ASSERT_FALSE(err.IsError()) << err.AsString();
            ASSERT_TRUE(reader);
        } else {
            ASSERT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << err.AsString();
        }
        const long long added = read.served ? 1 : 0;
        EXPECT_EQ(jobBefore + added, Samples(job, LBCPerfCounters::SlotItemOpenForRead));
        EXPECT_EQ(processBefore + added, Samples(0, LBCPerfCounters::SlotItemOpenForRead));
        if (reader) {
            // Reading through it, also whole, opens nothing more.
            CAutoMemory<char> buffer;
            ASSERT_FALSE(reader->Read(buffer).IsError());
            EXPECT_EQ(c, std::string(buffer.Ptr(), buffer.Size()));
            ASSERT_FALSE(reader->Open().IsError());
            EXPECT_EQ(jobBefore + 1, Samples(job, LBCPerfCounters::SlotItemOpenForRead));
        }
    }
}

// "[DBQuery] VM" (process-wide set) counts the VM row look-ups of the
// requests, also those its container answers from the row it keeps: every
// read admission looks the row up at least once.
TEST_F(StatisticsCountingTest, EveryReadAdmissionCountsItsVMRowLookUp) {
    const std::string a = Payload(100, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    CZoError err;
    ASSERT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
    auto lookUps = [] { return LoadLBCPerfCounters()->Counter(LBCPerfCounters::SlotDbQueryVM)->GetTimer().GetTotalSamples(); };
    const long long before = lookUps();
    const int kReads = 10;
    for (int i = 0; i < kReads; ++i) ASSERT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
    EXPECT_LE(before + kReads, lookUps());
}

// Job id 0's set is the process totals: a request of job 0 takes one sample
// there as its job's and one as the process's.
TEST_F(StatisticsCountingTest, AJobZeroRequestIsSampledTwiceInTheProcessTotals) {
    WriteAndRead(0, 0, 0, Payload(1000, 1));

    using S = LBCPerfCounters;
    const struct {
        S::Slot slot;
        long long process;
    } rows[] = {
        {S::SlotWriterRequests, 2}, {S::SlotWriteTime, 2},       {S::SlotItemOpenForWrite, 2},
        {S::SlotItemWrite, 2},      {S::SlotReaderRequests, 2},  {S::SlotFullExtentReads, 2},
        {S::SlotReadTime, 2},       {S::SlotItemOpenForRead, 2}, {S::SlotItemClose, 4},
        // Bytes go to a job's set alone, never to the process totals.
        {S::SlotWriteBytes, 0},     {S::SlotReadBytes, 0},
    };
    for (const auto& row : rows) EXPECT_EQ(row.process, Samples(0, row.slot)) << "slot " << row.slot;
}

}  // namespace
