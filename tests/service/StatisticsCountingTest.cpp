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

}  // namespace
