// Databases that older hosts wrote reach this library through the cache
// location: values printed unsigned ('%llu'), no "SingleInstance" table, a
// cell id above 2^31. They open, read, update and gain the missing table.

#include "CacheDBTestSupport.h"
#include "metadb/SQLiteAdapter.h"
#include "support/TempDir.h"

namespace {

constexpr unsigned kCell = 3000000000u;  // above 2^31
constexpr long long kAfile = 812;

// The database of an older host, written through the sqlite3 library alone.
void WriteOlderHostDatabase(const std::string& file) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
    const char* const statements[] = {
        "CREATE TABLE Extents (AfileID BIGINT NOT NULL, AfileOffset BIGINT NOT NULL, TessarelID INT NOT NULL, "
        "CopyID INT NOT NULL, CacheLocation VARCHAR COLLATE NOCASE, Signature VARCHAR COLLATE NOCASE, ExtentID BIGINT, "
        "VMGUID VARCHAR COLLATE NOCASE, DiskID VARCHAR COLLATE NOCASE, JobID BIGINT, InsertionTime BIGINT DEFAULT 0, "
        "Flags INT DEFAULT 0, ValidityGUID VARCHAR COLLATE NOCASE, Reserved1 VARCHAR COLLATE NOCASE, Reserved2 INT, "
        "PRIMARY KEY(TessarelID,CopyID,AfileID,AfileOffset), FOREIGN KEY(Signature) REFERENCES "
        "SingleInstance(Signature), FOREIGN KEY(VMGUID, JobID) REFERENCES VM(GUID, JobID))",
        "CREATE TABLE VMs (GUID VARCHAR COLLATE NOCASE NOT NULL, BackupJobID BIGINT NOT NULL, LastReferenceTime "
        "BIGINT, ValidityGUID VARCHAR COLLATE NOCASE NOT NULL, AfileID BIGINT, TessarelID INT, CopyID INT, PRIMARY "
        "KEY(TessarelID, CopyID, AfileID))",
        "INSERT INTO Extents (AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, VMGUID, "
        "DiskID, JobID, InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) VALUES ('812', '4096', "
        "'3000000000', '1', 'loc:AB/812_1_3000000000.cache:0:10', '', '0', '', '', '77', '1600000000', '1', "
        "'valid', '', '0')",
        "INSERT INTO VMs (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) VALUES "
        "('', '77', '1600000000', 'valid', '812', '3000000000', '1')",
    };
    for (const char* sql : statements) EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)) << sql;
    sqlite3_close(db);
}

TEST(OlderHostFiles, OpenReadUpdateAndGainTheMissingTable) {
    TempDir dir;
    const std::string file = dir.path() + "/afile_cache.db";
    WriteOlderHostDatabase(file);
    ASSERT_EQ(-1, CountRows(file, "SingleInstance"));

    {
        boost::shared_ptr<SQLiteAdapter> adapter = boost::make_shared<SQLiteAdapter>(dir.path(), "afile_cache");
        CZoError err = adapter->Open();
        ASSERT_FALSE(err.IsError()) << err.AsString();

        Extent row(0, 0, kCell, 1, 0);
        err = adapter->GetExtent(ExtentParam{kAfile, 4096, kCell, 1, 77, 0}, row);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ("loc:AB/812_1_3000000000.cache:0:10", row.CacheLocation);
        EXPECT_EQ(kCell, row.TessarelID);
        EXPECT_EQ(77, row.JobID);
        EXPECT_EQ("valid", row.ValidityGUID);

        VM vm(kCell, 1, kAfile, "", 0, 0, "");
        err = adapter->GetVMJob(vm);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(1600000000, vm.LastReferenceTime);
        EXPECT_EQ(77, vm.JobID);

        // Updates land on the same rows, not beside them.
        vm.LastReferenceTime = 1700000000;
        ASSERT_FALSE(adapter->InsertUpdateVM(vm, false).IsError());
        row.CacheLocation = "loc:AB/812_1_3000000000.cache:10:20";
        ASSERT_FALSE(adapter->UpdateExtent(row).IsError());
        ASSERT_FALSE(adapter->CommitTransaction().IsError());
    }
    EXPECT_EQ(1, CountRows(file, "Extents"));
    EXPECT_EQ(1, CountRows(file, "VMs"));
    EXPECT_EQ(0, CountRows(file, "SingleInstance"));

    boost::shared_ptr<SQLiteAdapter> reopened = boost::make_shared<SQLiteAdapter>(dir.path(), "afile_cache");
    ASSERT_FALSE(reopened->Open().IsError());
    Extent row(0, 0, kCell, 1, 0);
    ASSERT_FALSE(reopened->GetExtent(ExtentParam{kAfile, 4096, kCell, 1, 77, 0}, row).IsError());
    EXPECT_EQ("loc:AB/812_1_3000000000.cache:10:20", row.CacheLocation);
    VM vm(kCell, 1, kAfile, "", 0, 0, "");
    ASSERT_FALSE(reopened->GetVMJob(vm).IsError());
    EXPECT_EQ(1700000000, vm.LastReferenceTime);
}

}  // namespace
