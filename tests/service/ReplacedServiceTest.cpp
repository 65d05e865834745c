// A service replaced (DestroyInstance, then GetInstance) while the host still
// holds a handle: the old service lets go of every afile copy it made, except
// the one an open Writer still writes, which goes at the Writer's Close. A held
// Reader keeps serving its extent without any container.

#include "service/MainRoadSupport.h"

#include <sqlite3.h>

#include <string>
#include <vector>

namespace {

enum class Held { Reader, Writer, Nothing };

class ReplacedServiceTest : public MainRoadTest {
protected:
    static constexpr long long kX = 301;
    static constexpr long long kY = 302;
    static constexpr long long kZ = 303;

    // The afile copy's database in the cache location (not its staged copy).
    static std::string LocationDBFile(long long afile) {
        std::string path;
        VM vm(kTessarel, kCopy, afile, std::string(), 0, 0, std::string());
        CZoError err = DB(afile)->GetCacheDBFilePath(vm, path);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return path;
    }

    // Rows of the extent at that offset with a recorded location, in the
    // cache location's database, read through the sqlite3 library; -1 when
    // the file is not there or cannot be read.
    static long long LocatedRowsInLocation(long long afile, long long offset) {
        const std::string file = LocationDBFile(afile);
        if (!Exists(file)) return -1;
        sqlite3* db = nullptr;
        long long count = -1;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            const std::string sql = "SELECT COUNT(*) FROM Extents WHERE AfileOffset = " + std::to_string(offset) +
                                    " AND CacheLocation <> ''";
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
                count = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return count;
    }

    // DestroyInstance, then GetInstance: the old service is destroyed there.
    void ReplaceService() {
        CLiveBrowseCache::DestroyInstance();
        lbc = StartService();
        ASSERT_NE(nullptr, lbc);
        EXPECT_EQ(1, CLiveBrowseCacheImpl::TEST_LiveImplementations());
    }

    // The new service's idle release, the clock past the idle time.
    static void NewServiceIdleRelease() {
        SystemClock::TEST_AdvanceSeconds(3600);
        ASSERT_FALSE(DB(kX)->ReleaseIdleResources().IsError());
    }

    // An open Writer of the extent with its bytes written, not closed.
    void OpenWriter(long long afile, long long offset, const std::string& bytes, CLiveBrowseCache::WriterPtr& writer) {
        CZoError err = lbc->GetWriterObject(afile, offset, kTessarel, kCopy, kJob, 0, writer);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        err = writer->Write(bytes.data(), bytes.size());
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }

    // The whole extent and the extent streamed in small chunks, through the Reader.
    static void ExpectReads(CLiveBrowseCache::Reader& reader, const std::string& bytes) {
        CAutoMemory<char> whole;
        CZoError err = reader.Read(whole);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(bytes, std::string(whole.Ptr() == nullptr ? "" : whole.Ptr(), whole.Size()));
        std::string streamed;
        for (;;) {
            CAutoMemory<char> chunk;
            unsigned long size = 256;
            err = reader.Read(chunk, size);
            ASSERT_FALSE(err.IsError()) << err.AsString();
            if (size == 0) break;
            streamed.append(chunk.Ptr(), size);
        }
        EXPECT_EQ(bytes, streamed);
    }
};

class ReplacedServiceHoldingTest : public ReplacedServiceTest, public ::testing::WithParamInterface<Held> {};

std::string HeldName(const ::testing::TestParamInfo<Held>& info) {
    switch (info.param) {
        case Held::Reader: return "AReaderOfX";
        case Held::Writer: return "AnOpenWriterOfZ";
        case Held::Nothing: return "Nothing";
    }
    return "Unknown";
}

}  // namespace

TEST_P(ReplacedServiceHoldingTest, EveryCopyNoLiveHandleNeedsIsWrittenBackAndUnlocked) {
    const std::string x = Payload(700, 1);
    const std::string y = Payload(800, 2);
    const std::string z = Payload(900, 3);
    ASSERT_FALSE(WriteExtent(kX, 0, x).IsError());
    ASSERT_FALSE(WriteExtent(kY, 0, y).IsError());
    const std::vector<std::string> released = {LockFilePath(kX), LockFilePath(kY)};
    const std::string lockOfZ = LockFilePath(kZ);

    CLiveBrowseCache::ReaderPtr reader;
    CLiveBrowseCache::WriterPtr writer;
    if (GetParam() == Held::Reader) {
        CZoError err = lbc->GetReaderObject(kX, 0, kTessarel, kCopy, kJob, 0, reader);
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }
    if (GetParam() == Held::Writer) {
        ASSERT_NO_FATAL_FAILURE(OpenWriter(kZ, 0, z, writer));
    }

    ASSERT_NO_FATAL_FAILURE(ReplaceService());
    ASSERT_NO_FATAL_FAILURE(NewServiceIdleRelease());

    EXPECT_EQ(std::vector<std::string>(), LockedByOtherProcess(released));
    EXPECT_EQ(1, LocatedRowsInLocation(kX, 0));
    EXPECT_EQ(1, LocatedRowsInLocation(kY, 0));

    if (reader) {
        ASSERT_NO_FATAL_FAILURE(ExpectReads(*reader, x));
    }
    if (writer) {
        // Its region is not yet closed: no other host may take the copy.
        EXPECT_FALSE(OtherProcessCanLock(lockOfZ));
        CZoError err = writer->Close();
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(1, LocatedRowsInLocation(kZ, 0));
        EXPECT_TRUE(OtherProcessCanLock(lockOfZ));
    }
    reader.reset();
    writer.reset();

    CZoError err;
    EXPECT_EQ(x, ReadExtent(kX, 0, err)) << err.AsString();
    EXPECT_EQ(y, ReadExtent(kY, 0, err)) << err.AsString();
    if (GetParam() == Held::Writer) {
        EXPECT_EQ(z, ReadExtent(kZ, 0, err)) << err.AsString();
    }
}

INSTANTIATE_TEST_SUITE_P(Held, ReplacedServiceHoldingTest,
                         ::testing::Values(Held::Reader, Held::Writer, Held::Nothing), HeldName);

// The new service's request for the copy an old Writer still writes joins that
// Writer's container: one lock holder, and both rows reach the location.
TEST_F(ReplacedServiceTest, TheNewServiceJoinsTheCopyAnOldWriterStillWrites) {
    const std::string early = Payload(900, 3);
    const std::string late = Payload(600, 4);
    CLiveBrowseCache::WriterPtr old;
    ASSERT_NO_FATAL_FAILURE(OpenWriter(kZ, 0, early, old));
    ASSERT_NO_FATAL_FAILURE(ReplaceService());

    ASSERT_FALSE(WriteExtent(kZ, 4096, late).IsError());
    CZoError err = old->Close();
    ASSERT_FALSE(err.IsError()) << err.AsString();
    old.reset();
    // The joined container, now the new service's alone.
    EXPECT_FALSE(OtherProcessCanLock(LockFilePath(kZ)));

    ASSERT_NO_FATAL_FAILURE(NewServiceIdleRelease());
    EXPECT_TRUE(OtherProcessCanLock(LockFilePath(kZ)));
    EXPECT_EQ(1, LocatedRowsInLocation(kZ, 0));
    EXPECT_EQ(1, LocatedRowsInLocation(kZ, 4096));
    EXPECT_EQ(early, ReadExtent(kZ, 0, err)) << err.AsString();
    EXPECT_EQ(late, ReadExtent(kZ, 4096, err)) << err.AsString();
}
