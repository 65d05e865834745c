// Injected faults through the file layer and the loopback FS client: a data
// server that goes away mid-run and comes back, flat-file writes that fail,
// a database copy-back that fails, flushes that fail. Each request fails
// with a clear error, nothing wrong is ever served, and the cache works
// again once the fault is gone.

#include "reliability/FaultTestSupport.h"

#include <cerrno>
#include <ostream>
#include <string>

namespace faults {
namespace {

constexpr long long kAfile = 654;

class FaultInjectionTest : public FaultFixture {};

TEST_F(FaultInjectionTest, DataServerDisconnectsMidRunAndComesBack) {
    UseRemote(kAfile);
    std::vector<std::string> bytes;
    for (int i = 0; i < 3; ++i) {
        bytes.push_back(Payload(4000 + i, i));
        ASSERT_FALSE(WriteExtent(kAfile, i * 8192, bytes.back()).IsError());
    }

    // A Writer admitted before the server goes cannot put its region there.
    const std::string late = Payload(3000, 9);
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 3 * 8192, kTessarel, kCopy, kJob, writer).IsError());
    ASSERT_FALSE(writer->Write(late.data(), late.size()).IsError());
    LoopbackFS::TEST_SetConnected(kRemoteHost, false);
    CZoError err = writer->Close();
    EXPECT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.AsString().find("is not connected")) << err.AsString();
    writer.reset();

    // The next item finds the location gone: the cache is unavailable, and
    // every read and write is refused with 85 until it is back.
    err = WriteExtent(kAfile, 4 * 8192, Payload(1000, 10));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 85)) << err.AsString();
    err = ExpectNoRead(kAfile, 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 85)) << err.AsString();
    err = WriteExtent(kAfile, 0, bytes[0]);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 85)) << err.AsString();

    // A pruner tick while the server is away keeps it unavailable.
    ClearLines();
    TickPruner(kAfile);
    EXPECT_LE(1u, CountContaining("Cache path continues to be offline"));
    err = ExpectNoRead(kAfile, 8192);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 85)) << err.AsString();

    // Back: the next tick makes the cache available, writes succeed again
    // and every byte written before the fault reads back.
    LoopbackFS::TEST_SetConnected(kRemoteHost, true);
    TickPruner(kAfile);
    EXPECT_EQ(1u, CountContaining("Marking cache path available"));
    for (int i = 0; i < 3; ++i) ExpectReads(kAfile, i * 8192, bytes[i]);
    bool cached = true, recorded = true;
    Presence(kAfile, 3 * 8192, cached, recorded);
    EXPECT_FALSE(cached);
    EXPECT_NE(ReadExtent(kAfile, 3 * 8192, err), late);
    ASSERT_FALSE(WriteExtent(kAfile, 3 * 8192, late).IsError());
    const std::string fifth = Payload(1000, 10);
    ASSERT_FALSE(WriteExtent(kAfile, 4 * 8192, fifth).IsError());
    ExpectReads(kAfile, 3 * 8192, late);
    ExpectReads(kAfile, 4 * 8192, fifth);

    // And after the service starts again from what reached the server.
    StopService();
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
    for (int i = 0; i < 3; ++i) ExpectReads(kAfile, i * 8192, bytes[i]);
    ExpectReads(kAfile, 3 * 8192, late);
    ExpectReads(kAfile, 4 * 8192, fifth);
}

TEST_F(FaultInjectionTest, DisconnectDuringWriteBackLosesOnlyRowsNotWrittenBack) {
    UseRemote(kAfile);
    const std::string first = Payload(5000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    const std::string before = ReadWholeFile(dbFile);
    ASSERT_FALSE(before.empty());

    const std::string second = Payload(6000, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 65536, second).IsError());
    LoopbackFS::TEST_SetConnected(kRemoteHost, false);
    ClearLines();
    ReleaseContainer(kAfile);
    EXPECT_LE(1u, CountContaining("is not connected"));
    EXPECT_TRUE(ReadWholeFile(dbFile) == before);

    LoopbackFS::TEST_SetConnected(kRemoteHost, true);
    TickPruner(kAfile);
    // The lock file was let go with its handle: a new container takes it.
    ExpectReads(kAfile, 0, first);
    CZoError err = ExpectNoRead(kAfile, 65536);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();
    ASSERT_FALSE(WriteExtent(kAfile, 65536, second).IsError());
    ReleaseContainer(kAfile);
    ExpectReads(kAfile, 0, first);
    ExpectReads(kAfile, 65536, second);
}

// ---- flat-file writes that fail

struct WriteFault {
    const char* name;
    bool remote;
    int error;       // errno of the failing write; 0: a short transfer
    int expectCode;  // the Close's code
};
std::ostream& operator<<(std::ostream& out, const WriteFault& f) { return out << f.name; }

class FlatFileWriteFaultTest : public FaultFixture, public ::testing::WithParamInterface<WriteFault> {
protected:
    void Inject() {
        const WriteFault& f = GetParam();
        if (!f.remote)
            FXFile::TEST_FailNextWrites(1, f.error);
        else if (f.error != 0)
            LoopbackFS::TEST_FailNextWrites(kRemoteHost, 1, f.error);
        else
            LoopbackFS::TEST_SetMaxTransfer(kRemoteHost, 1000);
    }
    void Clear() {
        FXFile::TEST_FailNextWrites(0, 0);
        if (GetParam().remote) {
            LoopbackFS::TEST_FailNextWrites(kRemoteHost, 0);
            LoopbackFS::TEST_SetMaxTransfer(kRemoteHost, 0);
        }
    }
};

TEST_P(FlatFileWriteFaultTest, FailedWriteFailsTheCloseRemovesTheRowAndServesNothing) {
    const WriteFault& f = GetParam();
    if (f.remote) UseRemote(kAfile);
    const std::string good = Payload(3000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, good).IsError());

    const std::string lost = Payload(5000, 2);
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 1 << 20, kTessarel, kCopy, kJob, writer).IsError());
    ASSERT_FALSE(writer->Write(lost.data(), lost.size()).IsError());
    Inject();
    CZoError err = writer->Close();
    Clear();
    writer.reset();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, f.expectCode)) << err.AsString();
    if (f.error != 0) {
        EXPECT_NE(std::string::npos, err.AsString().find("ErrNo error " + std::to_string(f.error)))
            << err.AsString();
    }

    bool cached = true, recorded = true;
    Presence(kAfile, 1 << 20, cached, recorded);
    EXPECT_FALSE(recorded);
    EXPECT_FALSE(cached);
    err = ExpectNoRead(kAfile, 1 << 20);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();
    ExpectReads(kAfile, 0, good);
    // The reserved region stays as dead space; the next write appends.
    const std::string flat = LocalFlatFile(kAfile);
    EXPECT_EQ(static_cast<long long>(good.size() + lost.size()), FileSize(flat));

    ASSERT_FALSE(WriteExtent(kAfile, 1 << 20, lost).IsError());
    EXPECT_EQ(static_cast<long long>(good.size() + 2 * lost.size()), FileSize(flat));
    ExpectReads(kAfile, 1 << 20, lost);

    StopService();
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
    ExpectReads(kAfile, 0, good);
    ExpectReads(kAfile, 1 << 20, lost);
}

INSTANTIATE_TEST_SUITE_P(Faults, FlatFileWriteFaultTest,
                         ::testing::Values(WriteFault{"LocalEIO", false, EIO, 49},
                                           WriteFault{"LocalENOSPC", false, ENOSPC, 49},
                                           WriteFault{"DataServerEIO", true, EIO, 49},
                                           WriteFault{"DataServerENOSPC", true, ENOSPC, 49},
                                           WriteFault{"DataServerShortTransfer", true, 0, 52}),
                         [](const ::testing::TestParamInfo<WriteFault>& info) { return info.param.name; });

// ---- a copy-back that fails

struct CopyBackFault {
    const char* name;
    bool remote;
    bool flush;  // the flush of the copy fails, not one of its writes
    int error;
};
std::ostream& operator<<(std::ostream& out, const CopyBackFault& f) { return out << f.name; }

class CopyBackFaultTest : public FaultFixture, public ::testing::WithParamInterface<CopyBackFault> {};

TEST_P(CopyBackFaultTest, FailedCopyBackKeepsThePreviousDatabaseAndTheNextOneSucceeds) {
    const CopyBackFault& f = GetParam();
    if (f.remote) UseRemote(kAfile);
    const std::string first = Payload(4000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    const std::string dbFolder = dbFile.substr(0, dbFile.rfind('/'));
    const std::string before = ReadWholeFile(dbFile);
    ASSERT_FALSE(before.empty());

    const std::string second = Payload(4500, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 65536, second).IsError());
    if (f.flush)
        FXFile::TEST_FailNextFlushes(1, f.error);
    else if (f.remote)
        LoopbackFS::TEST_FailNextWrites(kRemoteHost, 1, f.error);
    else
        FXFile::TEST_FailNextWrites(1, f.error);
    ClearLines();
    ReleaseContainer(kAfile);
    FXFile::TEST_FailNextWrites(0, 0);
    FXFile::TEST_FailNextFlushes(0, 0);
    if (f.remote) LoopbackFS::TEST_FailNextWrites(kRemoteHost, 0);

    // The copy never replaced the database in place, and nothing of it is left.
    EXPECT_LE(1u, CountContaining("Int error 18"));
    EXPECT_TRUE(ReadWholeFile(dbFile) == before);
    EXPECT_FALSE(Exists(dbFolder + ".upload"));
    // The rows not written back are lost to the cache; nothing else is.
    ExpectReads(kAfile, 0, first);
    CZoError err = ExpectNoRead(kAfile, 65536);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();

    // The next write-back succeeds.
    const std::string third = Payload(3500, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 2 * 65536, third).IsError());
    ClearLines();
    ReleaseContainer(kAfile);
    EXPECT_EQ(0u, CountContaining("Int error 18"));
    EXPECT_FALSE(ReadWholeFile(dbFile) == before);
    EXPECT_EQ((std::vector<std::string>{"0", "131072"}),
              QueryColumn(dbFile, "SELECT AfileOffset FROM Extents WHERE CacheLocation <> '' ORDER BY AfileOffset"));
    ExpectReads(kAfile, 0, first);
    ExpectReads(kAfile, 2 * 65536, third);
}

INSTANTIATE_TEST_SUITE_P(Faults, CopyBackFaultTest,
                         ::testing::Values(CopyBackFault{"LocalWriteENOSPC", false, false, ENOSPC},
                                           CopyBackFault{"LocalFlushEIO", false, true, EIO},
                                           CopyBackFault{"DataServerWriteEIO", true, false, EIO},
                                           CopyBackFault{"DataServerFlushEIO", true, true, EIO}),
                         [](const ::testing::TestParamInfo<CopyBackFault>& info) { return info.param.name; });

// ---- flushes of the flat file that fail

struct FlushCase {
    const char* name;
    bool remote;
};
std::ostream& operator<<(std::ostream& out, const FlushCase& c) { return out << c.name; }

class FlushFaultTest : public FaultFixture, public ::testing::WithParamInterface<FlushCase> {
protected:
    void SetUp() override {
        FaultFixture::SetUp();
        if (GetParam().remote) UseRemote(kAfile);
    }
};

TEST_P(FlushFaultTest, RowOutsideATransactionIsNotRecordedWhenItsFlushFails) {
    const std::string first = Payload(3000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());

    // 30 s on, the admission's own deferred commit closes the transaction,
    // so the Close records its row by itself, after a flush that fails.
    SystemClock::TEST_AdvanceSeconds(30);
    const std::string second = Payload(3100, 2);
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, writer).IsError());
    ASSERT_FALSE(writer->Write(second.data(), second.size()).IsError());
    FXFile::TEST_FailNextFlushes(1, EIO);
    CZoError err = writer->Close();
    FXFile::TEST_FailNextFlushes(0, 0);
    writer.reset();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, CacheDB::kErrorRegionsNotFlushed)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("ErrNo error 5")) << err.AsString();

    bool cached = true, recorded = true;
    Presence(kAfile, 4096, cached, recorded);
    EXPECT_FALSE(recorded);
    err = ExpectNoRead(kAfile, 4096);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();
    ExpectReads(kAfile, 0, first);

    ASSERT_FALSE(WriteExtent(kAfile, 4096, second).IsError());
    ExpectReads(kAfile, 4096, second);
}

TEST_P(FlushFaultTest, SharedTransactionIsDiscardedWhenTheFlushBeforeItsCommitFails) {
    const std::string first = Payload(3000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    // Two writes in the same second: their rows wait in the shared transaction.
    const std::string second = Payload(3100, 2);
    const std::string third = Payload(3200, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 4096, second).IsError());
    ASSERT_FALSE(WriteExtent(kAfile, 8192, third).IsError());

    // The deferred commit comes with the next request 30 s on; its flush
    // fails, so the rows that name the unflushed regions are given up.
    SystemClock::TEST_AdvanceSeconds(30);
    FXFile::TEST_FailNextFlushes(1, EIO);
    ClearLines();
    ExpectReads(kAfile, 0, first);
    FXFile::TEST_FailNextFlushes(0, 0);
    EXPECT_EQ(1u, CountContaining("Failed to execute SQL COMMIT transaction"));
    for (long long offset : {4096LL, 8192LL}) {
        bool cached = true, recorded = true;
        Presence(kAfile, offset, cached, recorded);
        EXPECT_FALSE(recorded) << offset;
        CZoError err = ExpectNoRead(kAfile, offset);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();
    }

    // Written again, they commit with the next flush and survive a restart.
    ASSERT_FALSE(WriteExtent(kAfile, 4096, second).IsError());
    ASSERT_FALSE(WriteExtent(kAfile, 8192, third).IsError());
    SystemClock::TEST_AdvanceSeconds(30);
    ExpectReads(kAfile, 0, first);
    StopService();
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
    ExpectReads(kAfile, 0, first);
    ExpectReads(kAfile, 4096, second);
    ExpectReads(kAfile, 8192, third);
}

INSTANTIATE_TEST_SUITE_P(Locations, FlushFaultTest,
                         ::testing::Values(FlushCase{"Local", false}, FlushCase{"DataServer", true}),
                         [](const ::testing::TestParamInfo<FlushCase>& info) { return info.param.name; });

}  // namespace
}  // namespace faults
