#include "metadb/SQLiteQueries.h"

#include "platform/FXString.h"

namespace {

const char* const c_extentColumns =
    "(AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, VMGUID, DiskID, JobID, "
    "InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2)";

// One text built in one string: fixed pieces as they stand, numbers as
// printf's %lld, %d and %u print them, text values with their single quotes
// doubled as FX::CDatabaseBase::EscapeText doubles them. These texts run on every request,
// and the printf machinery costs more than the statement's own work here.
class SqlText {
public:
    explicit SqlText(size_t expected) { text.reserve(expected); }
    SqlText& operator<<(const char* piece) {
        text += piece;
        return *this;
    }
    SqlText& operator<<(long long value) {
        unsigned long long magnitude = static_cast<unsigned long long>(value);
        if (value < 0) {
            text += '-';
            magnitude = 0ULL - magnitude;
        }
        return Digits(magnitude);
    }
    SqlText& operator<<(int value) { return *this << static_cast<long long>(value); }
    SqlText& operator<<(unsigned int value) { return Digits(value); }
    SqlText& operator<<(unsigned long value) { return Digits(value); }
    // A text value, escaped to stand between single quotes.
    SqlText& operator<<(const std::string& value) {
        if (value.find('\'') == std::string::npos) {
            text += value;
            return *this;
        }
        for (char c : value) {
            text += c;
            if (c == '\'') text += '\'';
        }
        return *this;
    }
    std::string Take() { return std::move(text); }

private:
    SqlText& Digits(unsigned long long value) {
        FXString::AppendDecimal(text, value);
        return *this;
    }

    std::string text;
};

// "WHERE " and the conditions joined by " AND ", or nothing when none is set.
class Conditions {
public:
    explicit Conditions(SqlText& text) : text(text) {}
    SqlText& Next() {
        text << (any ? " AND " : "WHERE ");
        any = true;
        return text;
    }

private:
    SqlText& text;
    bool any = false;
};

void AppendClause(SqlText& text, const ExtentsParam& filter) {
    Conditions c(text);
    if (filter.AfileID != 0) c.Next() << "AfileID=" << filter.AfileID;
    if (filter.JobID != 0) c.Next() << "JobID=" << filter.JobID;
    if (filter.TessarelID != 0) c.Next() << "TessarelID=" << filter.TessarelID;
    if (filter.CopyID != 0) c.Next() << "CopyID=" << filter.CopyID;
    if (filter.Flags != 0) c.Next() << "Flags=" << filter.Flags;
}

void AppendClause(SqlText& text, const VMJobParam& filter) {
    Conditions c(text);
    if (filter.AfileID != 0) c.Next() << "AfileID=" << filter.AfileID;
    if (filter.JobID != 0) c.Next() << "BackupJobID=" << filter.JobID;
    if (filter.TessarelID != 0) c.Next() << "TessarelID=" << filter.TessarelID;
    if (filter.CopyID != 0) c.Next() << "CopyID=" << filter.CopyID;
}

void AppendLimit(SqlText& text, size_t batchSize, size_t offset) {
    if (batchSize != 0)
        text << "LIMIT " << static_cast<unsigned long>(offset) << "," << static_cast<unsigned long>(batchSize);
}

std::string ExtentRow(const char* verb, const Extent& row, long long insertionTime) {
    SqlText text(512);
    text << verb << c_extentColumns << " VALUES ('" << row.AfileID << "', '" << row.AfileOffset << "', '"
         << row.TessarelID << "', '" << row.CopyID << "', '" << row.CacheLocation << "', '" << row.Signature << "', '"
         << row.ExtentID << "', '" << row.VMGUID << "', '" << row.DiskID << "', '" << row.JobID << "', '"
         << insertionTime << "', '" << row.Flags << "', '" << row.ValidityGUID << "', '" << row.Reserved1 << "', '"
         << 0u << "')";
    return text.Take();
}

}  // namespace

std::string SQLiteQueries::Clause(const ExtentsParam& filter) {
    SqlText text(128);
    AppendClause(text, filter);
    return text.Take();
}

std::string SQLiteQueries::Clause(const VMJobParam& filter) {
    SqlText text(128);
    AppendClause(text, filter);
    return text.Take();
}

std::string SQLiteQueries::QueryExtent(const ExtentParam& key) {
    SqlText text(160);
    text << "SELECT * FROM Extents WHERE AfileID=" << key.AfileID << " AND AfileOffset=" << key.AfileOffset
         << " AND TessarelID=" << key.TessarelID << " ";
    if (key.CopyID != 0) text << "AND CopyID = " << key.CopyID << " ";
    if (key.Flags != 0) text << "AND Flags = " << key.Flags;
    return text.Take();
}

std::string SQLiteQueries::QueryExtents(const ExtentsParam& filter, size_t batchSize, size_t offset) {
    SqlText text(256);
    text << "SELECT * FROM Extents ";
    AppendClause(text, filter);
    text << " ORDER BY TessaRelID,CopyID,AfileID,AfileOffset ";
    AppendLimit(text, batchSize, offset);
    return text.Take();
}

std::string SQLiteQueries::QueryVMs(const VMJobParam& filter, size_t batchSize, size_t offset) {
    SqlText text(256);
    text << "SELECT * FROM VMs ";
    AppendClause(text, filter);
    text << " ORDER BY TessaRelID,CopyID,AfileID DESC ";
    AppendLimit(text, batchSize, offset);
    return text.Take();
}

std::string SQLiteQueries::QueryAllVMs() { return "SELECT * FROM VMs ORDER BY LastReferenceTime ASC"; }

std::string SQLiteQueries::QueryVM(const VM& vm) {
    SqlText text(96);
    text << "SELECT * FROM VMs WHERE TessarelID=" << vm.TessarelID << " AND AfileID=" << vm.AfileID << " ";
    if (vm.CopyID != 0) text << "AND CopyID = " << vm.CopyID;
    return text.Take();
}

std::string SQLiteQueries::QueryExtentsCount(const ExtentsParam& filter) {
    SqlText text(160);
    text << "SELECT COUNT(*) FROM Extents ";
    AppendClause(text, filter);
    return text.Take();
}

std::string SQLiteQueries::QueryVMCount(const VMJobParam& filter) {
    SqlText text(160);
    text << "SELECT COUNT(*) FROM VMs ";
    AppendClause(text, filter);
    return text.Take();
}

std::string SQLiteQueries::InsertExtent(const Extent& row, long long insertionTime) {
    return ExtentRow("INSERT INTO Extents ", row, insertionTime);
}

std::string SQLiteQueries::UpdateExtent(const Extent& row, long long insertionTime) {
    return ExtentRow("INSERT OR REPLACE INTO Extents ", row, insertionTime);
}

std::string SQLiteQueries::DeleteExtent(const ExtentParam& key) {
    SqlText text(128);
    text << "DELETE FROM Extents WHERE AfileID='" << key.AfileID << "' AND AfileOffset='" << key.AfileOffset
         << "' AND TessarelID='" << key.TessarelID << "' AND CopyId='" << key.CopyID << "'";
    return text.Take();
}

std::string SQLiteQueries::DeleteExtents(const ExtentsParam& filter, size_t limit) {
    SqlText text(160);
    text << "DELETE FROM Extents ";
    AppendClause(text, filter);
    if (limit != 0) text << " LIMIT " << static_cast<unsigned long>(limit);
    return text.Take();
}

std::string SQLiteQueries::ResetExtentsCacheLocation(const ExtentsParam& filter) {
    SqlText text(160);
    text << "UPDATE OR IGNORE Extents SET CacheLocation=NULL WHERE VMGUID='" << filter.VM << "' AND JobID='"
         << filter.JobID << "' AND TessarelID='" << filter.TessarelID << "'";
    return text.Take();
}

std::string SQLiteQueries::InsertUpdateVM(const VM& vm, bool insertOnly) {
    SqlText text(256);
    text << (insertOnly ? "INSERT INTO VMs" : "INSERT OR REPLACE INTO VMs")
         << " (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) VALUES ('" << vm.GUID
         << "', '" << vm.JobID << "', '" << vm.LastReferenceTime << "', '" << vm.ValidityGUID << "', '" << vm.AfileID
         << "', '" << vm.TessarelID << "', '" << vm.CopyID << "')";
    return text.Take();
}
