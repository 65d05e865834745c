#include "metadb/SQLiteQueries.h"
#include "metadb/SqLiteDB.h"

#include <gtest/gtest.h>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

ExtentsParam Extents(long long afile, long long job, unsigned cell, unsigned copy, int flags, const char* vm = "") {
    ExtentsParam p;
    p.VM = vm;
    p.AfileID = afile;
    p.JobID = job;
    p.TessarelID = cell;
    p.CopyID = copy;
    p.Flags = flags;
    return p;
}

VMJobParam VMs(long long afile, long long job, unsigned cell, unsigned copy, const char* vm = "") {
    VMJobParam p;
    p.AfileID = afile;
    p.JobID = job;
    p.TessarelID = cell;
    p.CopyID = copy;
    p.VM = vm;
    return p;
}

TEST(SQLiteQueries, ExtentFilterTexts) {
    struct Case {
        ExtentsParam filter;
        size_t batchSize, offset;
        const char* page;
        const char* count;
    } cases[] = {
        {Extents(0, 0, 0, 0, 0, "guid-is-never-a-filter"), 0, 0,
         "SELECT * FROM Extents  ORDER BY TessaRelID,CopyID,AfileID,AfileOffset ", "SELECT COUNT(*) FROM Extents "},
        {Extents(0, 0, 0, 0, -1), 0, 7,
         "SELECT * FROM Extents WHERE Flags=-1 ORDER BY TessaRelID,CopyID,AfileID,AfileOffset ",
         "SELECT COUNT(*) FROM Extents WHERE Flags=-1"},
        {Extents(12, 0, 0, 3, 0), 50, 100,
         "SELECT * FROM Extents WHERE AfileID=12 AND CopyID=3 ORDER BY TessaRelID,CopyID,AfileID,AfileOffset LIMIT "
         "100,50",
         "SELECT COUNT(*) FROM Extents WHERE AfileID=12 AND CopyID=3"},
        {Extents(12, 7, 2, 1, 2), 2, 0,
         "SELECT * FROM Extents WHERE AfileID=12 AND JobID=7 AND TessarelID=2 AND CopyID=1 AND Flags=2 ORDER BY "
         "TessaRelID,CopyID,AfileID,AfileOffset LIMIT 0,2",
         "SELECT COUNT(*) FROM Extents WHERE AfileID=12 AND JobID=7 AND TessarelID=2 AND CopyID=1 AND Flags=2"},
        {Extents(-5, -9, 4294967295u, 0, 0), 0, 0,
         "SELECT * FROM Extents WHERE AfileID=-5 AND JobID=-9 AND TessarelID=4294967295 ORDER BY "
         "TessaRelID,CopyID,AfileID,AfileOffset ",
         "SELECT COUNT(*) FROM Extents WHERE AfileID=-5 AND JobID=-9 AND TessarelID=4294967295"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.page, SQLiteQueries::QueryExtents(c.filter, c.batchSize, c.offset)) << c.filter.description();
        EXPECT_EQ(c.count, SQLiteQueries::QueryExtentsCount(c.filter)) << c.filter.description();
    }
    EXPECT_EQ("", CSQLiteDB::GetClause(Extents(0, 0, 0, 0, 0, "g")));
    EXPECT_EQ("WHERE AfileID=1 AND Flags=1", CSQLiteDB::GetClause(Extents(1, 0, 0, 0, 1)));
}

TEST(SQLiteQueries, VMFilterTexts) {
    struct Case {
        VMJobParam filter;
        size_t batchSize, offset;
        const char* page;
        const char* count;
    } cases[] = {
        {VMs(0, 0, 0, 0, "g"), 0, 9, "SELECT * FROM VMs  ORDER BY TessaRelID,CopyID,AfileID DESC ",
         "SELECT COUNT(*) FROM VMs "},
        {VMs(0, 7, 0, 0), 0, 0, "SELECT * FROM VMs WHERE BackupJobID=7 ORDER BY TessaRelID,CopyID,AfileID DESC ",
         "SELECT COUNT(*) FROM VMs WHERE BackupJobID=7"},
        {VMs(812, 7, 2, 1), 10, 20,
         "SELECT * FROM VMs WHERE AfileID=812 AND BackupJobID=7 AND TessarelID=2 AND CopyID=1 ORDER BY "
         "TessaRelID,CopyID,AfileID DESC LIMIT 20,10",
         "SELECT COUNT(*) FROM VMs WHERE AfileID=812 AND BackupJobID=7 AND TessarelID=2 AND CopyID=1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.page, SQLiteQueries::QueryVMs(c.filter, c.batchSize, c.offset)) << c.filter.description();
        EXPECT_EQ(c.count, SQLiteQueries::QueryVMCount(c.filter)) << c.filter.description();
    }
    EXPECT_EQ("SELECT * FROM VMs ORDER BY LastReferenceTime ASC", SQLiteQueries::QueryAllVMs());
}

TEST(SQLiteQueries, OneRowLookupTexts) {
    struct Case {
        ExtentParam key;
        const char* text;
    } cases[] = {
        {{5, 4096, 2, 0, 99, 0}, "SELECT * FROM Extents WHERE AfileID=5 AND AfileOffset=4096 AND TessarelID=2 "},
        {{5, 4096, 2, 1, 99, 0},
         "SELECT * FROM Extents WHERE AfileID=5 AND AfileOffset=4096 AND TessarelID=2 AND CopyID = 1 "},
        {{5, 4096, 2, 1, 99, 1},
         "SELECT * FROM Extents WHERE AfileID=5 AND AfileOffset=4096 AND TessarelID=2 AND CopyID = 1 AND Flags = 1"},
        {{-5, -1, 2, 0, 0, 2},
         "SELECT * FROM Extents WHERE AfileID=-5 AND AfileOffset=-1 AND TessarelID=2 AND Flags = 2"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, SQLiteQueries::QueryExtent(c.key));

    EXPECT_EQ("SELECT * FROM VMs WHERE TessarelID=2 AND AfileID=812 ",
              SQLiteQueries::QueryVM(VM(2, 0, 812, "g", 7, 0, "")));
    EXPECT_EQ("SELECT * FROM VMs WHERE TessarelID=2 AND AfileID=812 AND CopyID = 1",
              SQLiteQueries::QueryVM(VM(2, 1, 812, "g", 7, 0, "")));
}

TEST(SQLiteQueries, RowStatementTexts) {
    Extent e(5, 4096, 2, 1, 77);
    e.CacheLocation = "loc:AB/5_1_2.cache:0:10";
    e.ValidityGUID = "v'1";
    e.Flags = 1;
    EXPECT_EQ(
        "INSERT INTO Extents (AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, VMGUID, "
        "DiskID, JobID, InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) VALUES ('5', '4096', '2', '1', "
        "'loc:AB/5_1_2.cache:0:10', '', '0', '', '', '77', '1700000000', '1', 'v''1', '', '0')",
        SQLiteQueries::InsertExtent(e, 1700000000));
    EXPECT_EQ(
        "INSERT OR REPLACE INTO Extents (AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, "
        "VMGUID, DiskID, JobID, InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) VALUES ('5', '4096', '2', "
        "'1', 'loc:AB/5_1_2.cache:0:10', '', '0', '', '', '77', '1700000000', '1', 'v''1', '', '0')",
        SQLiteQueries::UpdateExtent(e, 1700000000));

    ExtentParam key{-5, 4096, 2, 1, 77, 1};
    EXPECT_EQ("DELETE FROM Extents WHERE AfileID='-5' AND AfileOffset='4096' AND TessarelID='2' AND CopyId='1'",
              SQLiteQueries::DeleteExtent(key));
    EXPECT_EQ("DELETE FROM Extents ", SQLiteQueries::DeleteExtents(Extents(0, 0, 0, 0, 0), 0));
    EXPECT_EQ("DELETE FROM Extents WHERE AfileID=5 LIMIT 3", SQLiteQueries::DeleteExtents(Extents(5, 0, 0, 0, 0), 3));
    EXPECT_EQ("UPDATE OR IGNORE Extents SET CacheLocation=NULL WHERE VMGUID='g' AND JobID='0' AND TessarelID='0'",
              SQLiteQueries::ResetExtentsCacheLocation(Extents(5, 0, 0, 3, 1, "g")));

    VM vm(2, 1, 812, "gu'id", -3, 1700000000, "valid");
    EXPECT_EQ(
        "INSERT INTO VMs (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) "
        "VALUES ('gu''id', '-3', '1700000000', 'valid', '812', '2', '1')",
        SQLiteQueries::InsertUpdateVM(vm, true));
    EXPECT_EQ(
        "INSERT OR REPLACE INTO VMs (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, "
        "CopyID) VALUES ('gu''id', '-3', '1700000000', 'valid', '812', '2', '1')",
        SQLiteQueries::InsertUpdateVM(vm, false));
}

// The texts are built without printf; every number prints as printf's
// conversion of its type prints it, the extremes included.
TEST(SQLiteQueries, NumbersPrintAsPrintfPrintsThem) {
    const long long bigs[] = {0, 1, -1, 9, 10, -10, 4096, LLONG_MAX, LLONG_MIN, LLONG_MIN + 1, 1000000000000LL};
    const unsigned smalls[] = {0u, 1u, 9u, 10u, 2147483648u, UINT_MAX};
    const int flags[] = {0, 1, -1, INT_MAX, INT_MIN};
    for (long long big : bigs) {
        // The offset runs the other way; LLONG_MIN has no negation.
        const long long mirrored = big == LLONG_MIN ? LLONG_MAX : -big;
        for (unsigned small : smalls) {
            for (int flag : flags) {
                Extent e(big, mirrored, small, small / 2, big / 3);
                e.ExtentID = big / 7;
                e.Flags = flag;
                e.Signature = "s'";
                char expected[1024];
                snprintf(expected, sizeof expected,
                         "INSERT INTO Extents (AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, "
                         "ExtentID, VMGUID, DiskID, JobID, InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) "
                         "VALUES ('%lld', '%lld', '%u', '%u', '', 's''', '%lld', '', '', '%lld', '%lld', '%d', '', '', "
                         "'0')",
                         e.AfileID, e.AfileOffset, e.TessarelID, e.CopyID, e.ExtentID, e.JobID, big, e.Flags);
                EXPECT_EQ(expected, SQLiteQueries::InsertExtent(e, big));
                ExtentParam key{big, mirrored, small, small / 2, 0, flag};
                snprintf(expected, sizeof expected,
                         "SELECT * FROM Extents WHERE AfileID=%lld AND AfileOffset=%lld AND TessarelID=%u ", big, mirrored,
                         small);
                std::string text = expected;
                if (small / 2 != 0) text += "AND CopyID = " + std::to_string(small / 2) + " ";
                if (flag != 0) text += "AND Flags = " + std::to_string(flag);
                EXPECT_EQ(text, SQLiteQueries::QueryExtent(key));
            }
            char vm[256];
            snprintf(vm, sizeof vm, "SELECT * FROM VMs WHERE TessarelID=%u AND AfileID=%lld ", small, big);
            EXPECT_EQ(vm, SQLiteQueries::QueryVM(VM(small, 0, big, "g", 0, 0, "")));
        }
    }
    const size_t sizes[] = {0, 1, 10, 4294967296ULL, SIZE_MAX};
    for (size_t batch : sizes) {
        for (size_t offset : sizes) {
            std::string expected = "SELECT * FROM VMs  ORDER BY TessaRelID,CopyID,AfileID DESC ";
            if (batch != 0) expected += "LIMIT " + std::to_string(offset) + "," + std::to_string(batch);
            EXPECT_EQ(expected, SQLiteQueries::QueryVMs(VMJobParam(), batch, offset));
        }
    }
}

// The statements of every request compile from their formats: each
// conversion a parameter, its quotes dropped; a quoted value binds as text,
// an unquoted number as a number; the full text is the text above.
TEST(SQLiteQueries, RequestStatementsCompileFromTheirFormats) {
    using Kind = FX::CompiledSql::Value::Kind;
    auto kinds = [](const SqlStatement& s) {
        std::string out;
        for (size_t i = 0; i < s.ValueCount(); ++i)
            out += s.ValueAt(i).kind == Kind::Integer ? 'n' : s.ValueAt(i).kind == Kind::IntegerText ? 'q' : 's';
        return out;
    };
    ExtentParam key{-5, 4096, 2, 1, 77, -1};
    SqlStatement lookup = SQLiteQueries::QueryExtentStatement(key);
    EXPECT_EQ("SELECT * FROM Extents WHERE AfileID=? AND AfileOffset=? AND TessarelID=? AND CopyID = ? AND Flags = ?",
              lookup.Compiled());
    EXPECT_EQ("nnnnn", kinds(lookup));
    EXPECT_EQ(-5, lookup.ValueAt(0).number);
    EXPECT_EQ(-1, lookup.ValueAt(4).number);
    EXPECT_EQ(SQLiteQueries::QueryExtent(key), lookup.FullText());
    EXPECT_EQ("SELECT * FROM Extents WHERE AfileID=? AND AfileOffset=? AND TessarelID=? ",
              SQLiteQueries::QueryExtentStatement(ExtentParam{5, 0, 2, 0, 0, 0}).Compiled());
    EXPECT_EQ("SELECT * FROM VMs WHERE TessarelID=? AND AfileID=? ",
              SQLiteQueries::QueryVMStatement(VM(2, 0, 812, "g", 7, 0, "")).Compiled());

    Extent e(5, 4096, 2, 1, 77);
    e.CacheLocation = "loc:AB/5_1_2.cache:0:10";
    e.ValidityGUID = "v'1";
    e.Flags = -1;
    SqlStatement insert = SQLiteQueries::InsertExtentStatement(e, 1700000000);
    EXPECT_EQ("INSERT INTO Extents (AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, "
              "VMGUID, DiskID, JobID, InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) VALUES (?, ?, ?, ?, "
              "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
              insert.Compiled());
    EXPECT_EQ("qqqqssqssqqqssq", kinds(insert));
    EXPECT_EQ("v'1", std::string(insert.ValueAt(12).text, insert.ValueAt(12).size));
    EXPECT_TRUE(insert.Bindable());
    EXPECT_EQ(SQLiteQueries::InsertExtent(e, 1700000000), insert.FullText());
    EXPECT_EQ(SQLiteQueries::UpdateExtent(e, 1700000000), SQLiteQueries::UpdateExtentStatement(e, 1700000000).FullText());

    SqlStatement remove = SQLiteQueries::DeleteExtentStatement(key);
    EXPECT_EQ("DELETE FROM Extents WHERE AfileID=? AND AfileOffset=? AND TessarelID=? AND CopyId=?", remove.Compiled());
    EXPECT_EQ("qqqq", kinds(remove));

    VM vm(2, 1, 812, "gu'id", -3, 1700000000, "valid");
    SqlStatement vmRow = SQLiteQueries::InsertUpdateVMStatement(vm, false);
    EXPECT_EQ("INSERT OR REPLACE INTO VMs (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, "
              "CopyID) VALUES (?, ?, ?, ?, ?, ?, ?)",
              vmRow.Compiled());
    EXPECT_EQ("sqqsqqq", kinds(vmRow));
    EXPECT_EQ(SQLiteQueries::InsertUpdateVM(vm, false), vmRow.FullText());

    // A NUL in a text would end its full text: such a statement is not bound.
    e.DiskID = std::string("a\0b", 3);
    SqlStatement withNul = SQLiteQueries::InsertExtentStatement(e, 1700000000);
    EXPECT_FALSE(withNul.Bindable());
    EXPECT_EQ(SQLiteQueries::InsertExtent(e, 1700000000), withNul.FullText());
}

}  // namespace
