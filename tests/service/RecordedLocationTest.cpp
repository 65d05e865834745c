// Where the first write of a container life learns that the regions recorded
// under the VM's validity GUID end: from the copy's newest rows, not from a
// walk over all of them, and still precisely enough that a flat file cut
// below the last region is found lost, and one that is whole is kept.

#include "service/MainRoadSupport.h"

#include "metadb/SQLiteAdapter.h"

#include <boost/make_shared.hpp>

#include <functional>
#include <vector>

namespace {

class RecordedLocationTest : public MainRoadTest {
protected:
    static void ReleaseIdleContainers() {
        SystemClock::TEST_AdvanceSeconds(31);
        ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, DB()->TEST_ContainerCount());
    }
    static boost::shared_ptr<SQLiteAdapter> Adapter() {
        CacheDBPtr container;
        VM key(kTessarel, kCopy, kAfile, std::string(), kJob, 0, std::string());
        EXPECT_FALSE(DB()->GetCacheDB(key, container, true, true).IsError());
        return container ? boost::dynamic_pointer_cast<SQLiteAdapter>(container->TEST_Implementation())
                         : boost::shared_ptr<SQLiteAdapter>();
    }
    // A row of the copy written straight into the database, as newer rows
    // than the ones the writes made.
    static void AddRow(long long afile, long long offset, const std::string& location,
                       const std::string& validityGUID) {
        Extent row(afile, offset, kTessarel, kCopy, kJob);
        row.CacheLocation = location;
        row.ValidityGUID = validityGUID;
        row.Flags = 1;
        CZoError err = DB(afile)->AddExtent(row);
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }
    static std::string Location(long long afile, long long offset) {
        Extent row(0, 0, 0, 0, 0);
        EXPECT_TRUE(Row(offset, row, afile));
        return row.CacheLocation;
    }
};

TEST_F(RecordedLocationTest, TheFirstWriteAfterAnIdleReleaseReadsOnlyTheNewestRows) {
    const int rows = 20000;
    ASSERT_FALSE(WriteExtent(kAfile, 0, Payload(100, 1)).IsError());
    const std::string location = Location(kAfile, 0);
    const std::string guid = VMRow().ValidityGUID;
    {
        // One transaction for them all, as the write road shares one.
        CacheDB::CTransactionContextPtr context =
            DB()->BeginTransaction(boost::make_shared<Extent>(kAfile, 0, kTessarel, kCopy, kJob));
        ASSERT_TRUE(context);
        for (int i = 1; i <= rows; ++i) AddRow(kAfile, static_cast<long long>(i) * 4096, location, guid);
    }
    ASSERT_FALSE(WriteExtent(kAfile, (rows + 1) * 4096LL, Payload(100, 2)).IsError());
    ReleaseIdleContainers();

    // The container of the next life, made by a read, which learns nothing
    // of where the regions end.
    CZoError err;
    ASSERT_EQ(Payload(100, 1), ReadExtent(kAfile, 0, err)) << err.AsString();
    boost::shared_ptr<SQLiteAdapter> adapter = Adapter();
    ASSERT_TRUE(adapter);
    const uint64_t before = adapter->TEST_ExtentRowsRead();
    ASSERT_FALSE(WriteExtent(kAfile, (rows + 2) * 4096LL, Payload(100, 3)).IsError());
    const uint64_t read = adapter->TEST_ExtentRowsRead() - before;
    EXPECT_LT(read, static_cast<uint64_t>(rows / 4)) << "the first write read " << read << " extent rows";
    EXPECT_EQ(guid, VMRow().ValidityGUID);
    EXPECT_EQ(Payload(100, 3), ReadExtent(kAfile, (rows + 2) * 4096LL, err)) << err.AsString();
}

TEST_F(RecordedLocationTest, TheLastRegionCountsBehindNewerRowsThatRecordNoLaterOne) {
    // Rows written after the last region's, each recording no later region
    // under the VM's GUID.
    struct Newer {
        const char* name;
        std::function<void(long long afile, long long offset, const std::string& guid, const std::string& relative)>
            add;
    };
    const std::vector<Newer> newer = {
        {"no location",
         [](long long afile, long long offset, const std::string& guid, const std::string&) {
             AddRow(afile, offset, std::string(), guid);
         }},
        {"a later region under another GUID",
         [](long long afile, long long offset, const std::string&, const std::string& relative) {
             AddRow(afile, offset, "loc:" + relative + ":100000:100", "another-guid");
         }},
        {"an unusable location",
         [](long long afile, long long offset, const std::string& guid, const std::string& relative) {
             AddRow(afile, offset, "loc:" + relative + ":100000", guid);
         }},
        {"the first region",
         [](long long afile, long long offset, const std::string& guid, const std::string&) {
             AddRow(afile, offset, Location(afile, 0), guid);
         }},
    };
    long long afile = kAfile;
    for (const Newer& n : newer) {
        for (bool cut : {false, true}) {
            SCOPED_TRACE(std::string(n.name) + (cut ? ", file cut inside the last region" : ", file whole"));
            ++afile;
            const std::string a = Payload(100, 1), b = Payload(100, 2), fresh = Payload(100, 3);
            ASSERT_FALSE(WriteExtent(afile, 0, a).IsError());
            ASSERT_FALSE(WriteExtent(afile, 4096, b).IsError());
            const std::string guid = VMRow(afile).ValidityGUID;
            const std::string location = Location(afile, 0).substr(4);
            const std::string relative = location.substr(0, location.find(':'));
            for (long long i = 0; i < 50; ++i) n.add(afile, 100000 + i * 4096, guid, relative);
            ReleaseIdleContainers();
            if (cut) {
                ASSERT_EQ(0, ::truncate(FlatFilePath(afile).c_str(), 150));
            }

            ASSERT_FALSE(WriteExtent(afile, 8192, fresh).IsError());
            CZoError err;
            EXPECT_EQ(fresh, ReadExtent(afile, 8192, err)) << err.AsString();
            const std::string gotB = ReadExtent(afile, 4096, err);
            if (cut) {
                EXPECT_NE(guid, VMRow(afile).ValidityGUID) << "the cut file was not found lost";
                EXPECT_NE(fresh, gotB) << "the last region served the new extent's bytes";
                EXPECT_TRUE(err.IsError());
            } else {
                EXPECT_EQ(guid, VMRow(afile).ValidityGUID) << "the whole file was found lost";
                EXPECT_EQ(b, gotB) << err.AsString();
            }
        }
    }
}

}  // namespace
