// Injected faults through the file layer and the loopback FS client: a data
// server that goes away mid-run and comes back, flat-file writes that fail,
// a database copy-back that fails, flushes that fail. Each request fails
// with a clear error, nothing wrong is ever served, and the cache works
// again once the fault is gone.

#include "LiveBrowseCacheCodes.h"
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
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();
    err = ExpectNoRead(kAfile, 0);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();
    err = WriteExtent(kAfile, 0, bytes[0]);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();

    // A pruner tick while the server is away keeps it unavailable.
    ClearLines();
    TickPruner(kAfile);
    EXPECT_LE(1u, CountContaining("Cache path continues to be offline"));
    err = ExpectNoRead(kAfile, 8192);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kCacheUnavailable)) << err.AsString();

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

TEST_F(FaultInjectionTest, DisconnectDuringWriteBackKeepsTheRowsUntilTheyAreWrittenBack) {
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
    // The next idle release writes the kept copy back.
    SystemClock::TEST_AdvanceSeconds(60);
    TickPruner(kAfile);
    EXPECT_EQ((std::vector<std::string>{"0", "65536"}),
              QueryColumn(dbFile, "SELECT AfileOffset FROM Extents WHERE CacheLocation <> '' ORDER BY AfileOffset"));
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
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
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
                         ::testing::Values(WriteFault{"LocalEIO", false, EIO, LBCError::kFlatFileWriteFailed},
                                           WriteFault{"LocalENOSPC", false, ENOSPC, LBCError::kFlatFileWriteFailed},
                                           WriteFault{"DataServerEIO", true, EIO, LBCError::kFlatFileWriteFailed},
                                           WriteFault{"DataServerENOSPC", true, ENOSPC, LBCError::kFlatFileWriteFailed},
                                           WriteFault{"DataServerShortTransfer", true, 0, LBCError::kShortWrite}),
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

TEST_P(CopyBackFaultTest, FailedCopyBackKeepsThePreviousDatabaseAndTheNextOneWritesEveryRow) {
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
    // The rows not written back are kept, and served, until a write-back succeeds.
    ExpectReads(kAfile, 0, first);
    ExpectReads(kAfile, 65536, second);

    // The next write-back succeeds.
    const std::string third = Payload(3500, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 2 * 65536, third).IsError());
    ClearLines();
    ReleaseContainer(kAfile);
    EXPECT_EQ(0u, CountContaining("Int error 18"));
    EXPECT_FALSE(ReadWholeFile(dbFile) == before);
    EXPECT_EQ((std::vector<std::string>{"0", "65536", "131072"}),
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

// ---- a write-back that fails keeps the staged database

// Offsets of the extent rows that name a region, in the database file.
std::vector<std::string> CachedOffsets(const std::string& dbFile) {
    return QueryColumn(dbFile, "SELECT AfileOffset FROM Extents WHERE CacheLocation <> '' ORDER BY AfileOffset");
}

enum class WriteBackFaultKind { LocationFull, UploadFolderBlocked, FlushIOError, DescriptorsExhausted, DataServerIOError };

struct WriteBackFault {
    const char* name;
    WriteBackFaultKind kind;
};
std::ostream& operator<<(std::ostream& out, const WriteBackFault& f) { return out << f.name; }

class WriteBackFaultTest : public FaultFixture, public ::testing::WithParamInterface<WriteBackFault> {
protected:
    bool Remote() const { return GetParam().kind == WriteBackFaultKind::DataServerIOError; }
    std::string UploadFolder() {
        const std::string dbFile = LocalDBFile(kAfile);
        return dbFile.substr(0, dbFile.rfind('/')) + ".upload";
    }
    // The fault lasts until Clear.
    void Inject() {
        switch (GetParam().kind) {
            case WriteBackFaultKind::LocationFull: FXFile::TEST_FailNextWrites(1000, ENOSPC); break;
            case WriteBackFaultKind::UploadFolderBlocked:
                blockedUpload = UploadFolder();
                WriteWholeFile(blockedUpload, "not a folder");
                break;
            case WriteBackFaultKind::FlushIOError: FXFile::TEST_FailNextFlushes(1000, EIO); break;
            case WriteBackFaultKind::DescriptorsExhausted: FXFile::TEST_FailNextOpens(1000, EMFILE); break;
            case WriteBackFaultKind::DataServerIOError: LoopbackFS::TEST_FailNextWrites(kRemoteHost, 1000, EIO); break;
        }
    }
    void Clear() {
        FXFile::TEST_FailNextWrites(0, 0);
        FXFile::TEST_FailNextFlushes(0, 0);
        FXFile::TEST_FailNextOpens(0, 0);
        LoopbackFS::TEST_FailNextWrites(kRemoteHost, 0);
        if (!blockedUpload.empty()) ::unlink(blockedUpload.c_str());
        blockedUpload.clear();
    }
    // The location's idle release, a pass later than the last one.
    void IdleRelease() {
        SystemClock::TEST_AdvanceSeconds(60);
        TickPruner(kAfile);
    }

    std::string blockedUpload;
};

TEST_P(WriteBackFaultTest, FailedWriteBackKeepsTheStagedRowsAndTheNextIdleReleaseWritesThemBack) {
    if (Remote()) UseRemote(kAfile);
    const std::string first = Payload(4000, 1), second = Payload(4500, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    const std::string before = ReadWholeFile(dbFile);
    ASSERT_FALSE(before.empty());

    ASSERT_FALSE(WriteExtent(kAfile, 65536, second).IsError());
    Inject();
    ClearLines();
    ReleaseContainer(kAfile);
    EXPECT_EQ(1u, CountAt(-1, "Failed to write back DB")) << "each failure is logged";
    EXPECT_TRUE(ReadWholeFile(dbFile) == before);
    if (!Remote()) {
        EXPECT_FALSE(OtherProcessCanLock(LocalLockFile(kAfile))) << "the kept copy keeps its lock";
    }
    // Tried again, and logged again, while the fault lasts.
    IdleRelease();
    EXPECT_EQ(2u, CountAt(-1, "Failed to write back DB"));
    EXPECT_TRUE(ReadWholeFile(dbFile) == before);

    Clear();
    ClearLines();
    IdleRelease();
    EXPECT_EQ(0u, CountAt(-1, "Failed to write back DB"));
    EXPECT_EQ((std::vector<std::string>{"0", "65536"}), CachedOffsets(dbFile));
    EXPECT_FALSE(Exists(UploadFolder()));
    if (!Remote()) {
        EXPECT_TRUE(OtherProcessCanLock(LocalLockFile(kAfile)));
    }

    StopService();
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
    ExpectReads(kAfile, 0, first);
    ExpectReads(kAfile, 65536, second);
}

TEST_P(WriteBackFaultTest, KeptCopyServesItsRowsAndTakesNewOnesUntilItIsWrittenBack) {
    if (Remote()) UseRemote(kAfile);
    const std::string first = Payload(4000, 1), second = Payload(4500, 2), third = Payload(3000, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    ASSERT_FALSE(WriteExtent(kAfile, 65536, second).IsError());
    Inject();
    ReleaseContainer(kAfile);
    Clear();

    // The next container of the afile copy works on the kept copy, not on
    // the older database of the location.
    ExpectReads(kAfile, 65536, second);
    ASSERT_FALSE(WriteExtent(kAfile, 2 * 65536, third).IsError());
    IdleRelease();
    EXPECT_EQ((std::vector<std::string>{"0", "65536", "131072"}), CachedOffsets(dbFile));
    ExpectReads(kAfile, 0, first);
    ExpectReads(kAfile, 2 * 65536, third);
}

TEST_P(WriteBackFaultTest, GivingUpAtShutdownLogsHowManyRowsAreLost) {
    if (Remote()) UseRemote(kAfile);
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(4000, 1)).IsError());
    ReleaseContainer(kAfile);
    const std::string lockFile = LocalLockFile(kAfile);
    ASSERT_FALSE(WriteExtent(kAfile, 65536, Payload(4500, 2)).IsError());
    Inject();
    ReleaseContainer(kAfile);
    ClearLines();
    StopService();
    Clear();
    size_t found = 0;
    for (const EvDebug::CapturedLine& line : Lines()) {
        if (line.level != -1 || line.text.find("Giving up writing back DB") == std::string::npos) continue;
        ++found;
        EXPECT_NE(std::string::npos, line.text.find(" rows written since its last write-back are lost"))
            << line.text;
        EXPECT_EQ(std::string::npos, line.text.find(": 0 rows")) << line.text;
    }
    EXPECT_EQ(1u, found);
    if (!Remote()) {
        EXPECT_TRUE(OtherProcessCanLock(lockFile));
    }
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriteBackFaultTest,
    ::testing::Values(WriteBackFault{"LocationFull", WriteBackFaultKind::LocationFull},
                      WriteBackFault{"UploadFolderBlockedByAFile", WriteBackFaultKind::UploadFolderBlocked},
                      WriteBackFault{"FlushIOError", WriteBackFaultKind::FlushIOError},
                      WriteBackFault{"DescriptorsExhausted", WriteBackFaultKind::DescriptorsExhausted},
                      WriteBackFault{"DataServerIOError", WriteBackFaultKind::DataServerIOError}),
    [](const ::testing::TestParamInfo<WriteBackFault>& info) { return info.param.name; });

TEST_F(FaultInjectionTest, AgedTimeThatCannotBeSetIsLoggedAndTheWriteBackStands) {
    const std::string bytes = Payload(4000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, bytes).IsError());
    // Jobs are listed from the location's database files.
    ReleaseContainer(kAfile);
    ASSERT_FALSE(lbc->AgeCachedJob(kJob, kAfile, kTessarel, kCopy, 3).IsError());
    FXFile::TEST_FailNextTimeChanges(1000, EPERM);
    ClearLines();
    ReleaseContainer(kAfile);
    FXFile::TEST_FailNextTimeChanges(0, 0);
    EXPECT_LE(1u, CountAt(-1, "Failed to set the time of the written-back DB"));
    EXPECT_EQ(0u, CountAt(-1, "Failed to write back DB"));
    const std::string dbFile = LocalDBFile(kAfile);
    EXPECT_EQ((std::vector<std::string>{"0"}), CachedOffsets(dbFile));
    EXPECT_EQ((std::vector<std::string>{std::to_string(kNow - 3 * 86400)}),
              QueryColumn(dbFile, "SELECT LastReferenceTime FROM VMs"));
    EXPECT_TRUE(OtherProcessCanLock(LocalLockFile(kAfile)));
}

// ---- a renewed validity GUID reaches the location before the file gets bytes

TEST_F(FaultInjectionTest, RenewedValidityGUIDIsWrittenBackBeforeTheCutFlatFileGetsBytes) {
    const std::string a = Payload(3000, 1), b = Payload(3000, 2), fresh = Payload(2000, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    const std::vector<std::string> oldGUID = QueryColumn(dbFile, "SELECT ValidityGUID FROM VMs");
    ASSERT_EQ(1u, oldGUID.size());
    ASSERT_FALSE(WriteExtent(kAfile, 65536, b).IsError());
    const std::string flat = LocalFlatFile(kAfile);
    ASSERT_EQ(0, ::truncate(flat.c_str(), 1000));

    // The location's database cannot be written: the write is refused.
    const std::string upload = dbFile.substr(0, dbFile.rfind('/')) + ".upload";
    WriteWholeFile(upload, "not a folder");
    CLiveBrowseCache::WriterPtr writer;
    CZoError err = lbc->GetWriterObject(kAfile, 2 * 65536, kTessarel, kCopy, kJob, 0, writer);
    EXPECT_TRUE(err.IsError()) << "a renewal that is not in the location's database must refuse the write";
    writer.reset();
    EXPECT_EQ(oldGUID, QueryColumn(dbFile, "SELECT ValidityGUID FROM VMs"));
    EXPECT_EQ(1000, FileSize(flat));

    ASSERT_EQ(0, ::unlink(upload.c_str()));
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 2 * 65536, kTessarel, kCopy, kJob, 0, writer).IsError());
    const std::vector<std::string> renewed = QueryColumn(dbFile, "SELECT ValidityGUID FROM VMs");
    ASSERT_EQ(1u, renewed.size());
    EXPECT_NE(oldGUID[0], renewed[0]) << "the new GUID is in the location's database before any byte";
    EXPECT_FALSE(renewed[0].empty());
    EXPECT_EQ(1000, FileSize(flat));
    ASSERT_FALSE(writer->Write(fresh.data(), fresh.size()).IsError());
    ASSERT_FALSE(writer->Close().IsError());
    writer.reset();
    ExpectReads(kAfile, 2 * 65536, fresh);
    ExpectNoRead(kAfile, 0);
    ExpectNoRead(kAfile, 65536);
}

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
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kRegionsNotFlushed)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("ErrNo error 5")) << err.AsString();

    bool cached = true, recorded = true;
    Presence(kAfile, 4096, cached, recorded);
    EXPECT_FALSE(recorded);
    err = ExpectNoRead(kAfile, 4096);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
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
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
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
