// What the write road does when a flat file no longer holds what the rows
// record of it: deleted or cut short from outside, or a row whose recorded
// location is unusable. No row may ever read bytes that were written for
// another extent.

#include "service/MainRoadSupport.h"

#include "metadb/DatabaseFullSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXFile.h"
#include "store/FlatFileCacheItem.h"

#include <boost/make_shared.hpp>

#include <functional>
#include <vector>

namespace {

class FlatFileIntegrityTest : public MainRoadTest {
protected:
    // The per-afile container, to force the commit of its shared transaction.
    static CacheDBPtr Container(long long afile = current) {
        CacheDBPtr container;
        VM key(kTessarel, kCopy, afile, std::string(), kJob, 0, std::string());
        EXPECT_FALSE(DB(afile)->GetCacheDB(key, container, true, true).IsError());
        return container;
    }
    // Extent A at the flat file's start, B after it.
    void WriteAAndB(long long afile, const std::string& a, const std::string& b) {
        ASSERT_FALSE(WriteExtent(afile, 0, a, 0).IsError());
        ASSERT_FALSE(WriteExtent(afile, 4096, b, 0).IsError());
    }
    // The afile the roll-back roads work on.
    static long long current;
    // The flat file's path relative to the data folder, as a row records it.
    std::string RelativeFlatFile() {
        Extent row(0, 0, 0, 0, 0);
        EXPECT_TRUE(Row(0, row));
        const std::string location = row.CacheLocation.substr(4);
        return location.substr(0, location.find(':'));
    }
};

long long FlatFileIntegrityTest::current = 0;

TEST_F(FlatFileIntegrityTest, ARowWithAnUnusableLocationFailsReadsAndIsReplacedByAWrite) {
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(100, 1)).IsError());
    const std::string relative = RelativeFlatFile();
    const std::vector<std::string> locations = {
        "loc:../" + relative + ":0:100",   "loc:/" + relative + ":0:100", "loc:" + relative + ":-1:100",
        "loc:" + relative + ":0:-100",     "loc:" + relative,             "loc:a/../../" + relative + ":0:100"};
    unsigned seed = 10;
    for (const std::string& location : locations) {
        Extent row(0, 0, 0, 0, 0);
        ASSERT_TRUE(Row(0, row));
        row.TessarelID = kTessarel;
        row.CopyID = kCopy;
        row.CacheLocation = location;
        row.ValidityGUID = VMRow().ValidityGUID;
        ASSERT_FALSE(DB()->UpdateExtent(row).IsError());

        CZoError err;
        EXPECT_EQ("", ReadExtent(kAfile, 0, err)) << location;
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << location << ": " << err.AsString();

        const std::string bytes = Payload(100, ++seed);
        err = WriteExtent(kAfile, 0, bytes);
        ASSERT_FALSE(err.IsError()) << location << ": " << err.AsString();
        EXPECT_EQ(bytes, ReadExtent(kAfile, 0, err)) << location << ": " << err.AsString();
    }
}

TEST_F(FlatFileIntegrityTest, AWriteAfterTheFlatFileWasDeletedOrCutServesNoOldRow) {
    struct Case {
        const char* name;
        long long cutTo;  // -1: deleted
    };
    const std::vector<Case> cases = {{"deleted", -1}, {"cut inside the second region", 150}, {"cut to zero", 0}};
    long long afile = kAfile;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++afile;
        const std::string a = Payload(100, 1), b = Payload(100, 2), fresh = Payload(100, 3);
        WriteAAndB(afile, a, b);
        if (c.cutTo < 0)
            ASSERT_EQ(0, ::unlink(FlatFilePath(afile).c_str()));
        else
            ASSERT_EQ(0, ::truncate(FlatFilePath(afile).c_str(), c.cutTo));

        // An extent that has no row yet.
        ASSERT_FALSE(WriteExtent(afile, 8192, fresh, 0).IsError());
        CZoError err;
        EXPECT_EQ(fresh, ReadExtent(afile, 8192, err, 0)) << err.AsString();
        for (long long offset : {0LL, 4096LL}) {
            const std::string got = ReadExtent(afile, offset, err, 0);
            EXPECT_NE(fresh, got) << "extent " << offset << " served the new extent's bytes";
            if (!err.IsError()) {
                EXPECT_EQ(offset == 0 ? a : b, got);
            }
        }
    }
}

TEST_F(FlatFileIntegrityTest, AWriterAdmittedBeforeTheFlatFileWasDeletedPlacesNoBytesUnderOldRows) {
    const std::string a = Payload(100, 1), late = Payload(100, 2), next = Payload(100, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, writer).IsError());
    ASSERT_FALSE(writer->Write(late.data(), late.size()).IsError());
    ASSERT_EQ(0, ::unlink(FlatFilePath().c_str()));
    CZoError err = writer->Close();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kFlatFileLost)) << err.AsString();
    writer.reset();
    EXPECT_NE(late, ReadExtent(kAfile, 0, err));
    EXPECT_TRUE(err.IsError());

    // The next write finds the file lost and starts it under a new GUID.
    const std::string oldGUID = VMRow().ValidityGUID;
    ASSERT_FALSE(WriteExtent(kAfile, 8192, next).IsError());
    EXPECT_NE(oldGUID, VMRow().ValidityGUID);
    EXPECT_EQ(next, ReadExtent(kAfile, 8192, err)) << err.AsString();
    EXPECT_NE(next, ReadExtent(kAfile, 0, err));
    EXPECT_TRUE(err.IsError());
}

TEST_F(FlatFileIntegrityTest, ARolledBackTransactionNeverBringsBackTheOldValidityGUID) {
    // The roads by which the shared transaction is rolled back.
    struct Road {
        const char* name;
        std::function<void()> rollBack;
    };
    const std::vector<Road> roads = {
        {"the flush before the commit fails",
         [] {
             FXFile::TEST_FailNextFlushes(1, EIO);
             EXPECT_TRUE(Container()->CommitTransaction(true).IsError());
             FXFile::TEST_FailNextFlushes(0, 0);
         }},
        {"the staged database cannot grow",
         [] {
             boost::shared_ptr<SQLiteAdapter> adapter =
                 boost::dynamic_pointer_cast<SQLiteAdapter>(Container()->TEST_Implementation());
             ASSERT_TRUE(adapter);
             CapDatabaseSize(adapter->TEST_Database(), 2);
             WriteUntilFull([&](long long n) {
                 Extent row(current, 1000000 + n, kTessarel, kCopy, kJob);
                 row.CacheLocation = LongLocation(n);
                 return DB(current)->AddExtent(row);
             });
             UncapDatabaseSize(adapter->TEST_Database());
         }},
    };
    long long afile = kAfile;
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        ++afile;
        const std::string a = Payload(100, 1), b = Payload(100, 2), rewritten = Payload(100, 3);
        WriteAAndB(afile, a, b);
        ASSERT_FALSE(Container(afile)->CommitTransaction(true).IsError());

        ASSERT_EQ(0, ::unlink(FlatFilePath(afile).c_str()));
        // The rewrite starts a new flat file, B's bytes at its start; another
        // request shares the transaction its row is written in.
        CLiveBrowseCache::WriterPtr writer;
        ASSERT_FALSE(lbc->GetWriterObject(afile, 4096, kTessarel, kCopy, kJob, writer).IsError());
        CacheDB::CTransactionContextPtr other =
            DB(afile)->BeginTransaction(boost::make_shared<Extent>(afile, 0, kTessarel, kCopy, kJob));
        ASSERT_TRUE(other);
        ASSERT_FALSE(writer->Write(rewritten.data(), rewritten.size()).IsError());
        ASSERT_FALSE(writer->Close().IsError());
        CZoError err;
        EXPECT_EQ(rewritten, ReadExtent(afile, 4096, err, 0)) << err.AsString();

        current = afile;
        road.rollBack();
        other.reset();

        const std::string got = ReadExtent(afile, 0, err, 0);
        EXPECT_NE(rewritten, got) << "extent 0 served the rewritten extent's bytes";
        EXPECT_TRUE(err.IsError());
    }
}

}  // namespace
