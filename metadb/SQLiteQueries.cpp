#include "metadb/SQLiteQueries.h"

#include "platform/FXString.h"

#include <atomic>

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

// The formats of the statements of every request. Signed values print as
// %lld and %d print them, as SqlText prints them in the filter texts.
const char* const c_extentValues =
    " VALUES ('%lld', '%lld', '%u', '%u', '%s', '%s', '%lld', '%s', '%s', '%lld', '%lld', '%d', '%s', '%s', '%u')";
const char* const c_queryExtent = "SELECT * FROM Extents WHERE AfileID=%lld AND AfileOffset=%lld AND TessarelID=%u ";
const char* const c_queryExtentCopy = "AND CopyID = %u ";
const char* const c_queryExtentFlags = "AND Flags = %d";
const char* const c_queryVM = "SELECT * FROM VMs WHERE TessarelID=%u AND AfileID=%lld ";
const char* const c_queryVMCopy = "AND CopyID = %u";
const char* const c_deleteExtent =
    "DELETE FROM Extents WHERE AfileID='%lld' AND AfileOffset='%lld' AND TessarelID='%u' AND CopyId='%u'";
const char* const c_vmRow =
    " (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) VALUES ('%s', '%lld', "
    "'%lld', '%s', '%lld', '%u', '%u')";

SqlStatement ExtentRow(const SqlFormat& format, const Extent& row, long long insertionTime) {
    SqlStatement statement(format);
    statement << row.AfileID << row.AfileOffset << row.TessarelID << row.CopyID << row.CacheLocation << row.Signature
              << row.ExtentID << row.VMGUID << row.DiskID << row.JobID << insertionTime << row.Flags
              << row.ValidityGUID << row.Reserved1 << 0u;
    return statement;
}

// Formats live for the program's life (each is a function's static), so a
// slot is never given to another text.
int NextSlot() {
    static std::atomic<int> next{0};
    const int slot = next.fetch_add(1);
    return slot < FX::CompiledSql::kSlots ? slot : -1;
}

void AppendSigned(std::string& text, long long value) {
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) {
        text += '-';
        magnitude = 0ULL - magnitude;
    }
    FXString::AppendDecimal(text, magnitude);
}

}  // namespace

SqlFormat::SqlFormat(const std::string& format) : slot(NextSlot()) {
    // The full text's piece before the next conversion; it opens with the
    // closing quote of a quoted conversion before it, which the compiled
    // text drops as it drops the opening one.
    std::string piece;
    bool closingQuote = false;
    size_t i = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            piece += format[i++];
            continue;
        }
        size_t at = i + 1;
        while (at < format.size() && format[at] == 'l') ++at;
        const char conversion = at < format.size() ? format[at] : '\0';
        const size_t after = at + 1;
        const bool quoted = !piece.empty() && piece.back() == '\'' && after < format.size() && format[after] == '\'';
        Conversion c;
        c.isUnsigned = conversion == 'u';
        c.kind = conversion == 's' ? FX::CompiledSql::Value::Text
                                   : quoted ? FX::CompiledSql::Value::IntegerText : FX::CompiledSql::Value::Integer;
        const size_t from = closingQuote ? 1 : 0;
        const size_t to = quoted ? piece.size() - 1 : piece.size();
        compiled.append(piece, from, to > from ? to - from : 0);
        compiled += '?';
        pieces.push_back(piece);
        conversions.push_back(c);
        piece.clear();
        closingQuote = quoted;
        i = after;
    }
    compiled.append(piece, closingQuote && !piece.empty() ? 1 : 0, std::string::npos);
    pieces.push_back(piece);
}

std::string SqlFormat::Print(const FX::CompiledSql::Value* values, size_t count) const {
    std::string text;
    size_t expected = compiled.size() + 24 * conversions.size();
    for (size_t i = 0; i < count; ++i) expected += values[i].size;
    text.reserve(expected);
    text += pieces[0];
    for (size_t i = 0; i < conversions.size(); ++i) {
        if (i < count) {
            const FX::CompiledSql::Value& v = values[i];
            if (conversions[i].kind == FX::CompiledSql::Value::Text) {
                // Escaped to stand between its single quotes.
                for (size_t k = 0; k < v.size; ++k) {
                    text += v.text[k];
                    if (v.text[k] == '\'') text += '\'';
                }
            } else if (conversions[i].isUnsigned) {
                FXString::AppendDecimal(text, static_cast<unsigned long long>(v.number));
            } else {
                AppendSigned(text, v.number);
            }
        }
        text += pieces[i + 1];
    }
    return text;
}

void SqlStatement::BindQuotedNumbersAsNumbers() {
    for (size_t i = 0; i < count; ++i)
        if (values[i].kind == Value::IntegerText) values[i].kind = Value::Integer;
}

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

std::string SQLiteQueries::QueryExtent(const ExtentParam& key) { return QueryExtentStatement(key).FullText(); }

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

std::string SQLiteQueries::QueryVM(const VM& vm) { return QueryVMStatement(vm).FullText(); }

std::string SQLiteQueries::QueryNewestExtents(const ExtentsParam& filter, size_t count) {
    SqlText text(256);
    text << "SELECT * FROM (SELECT * FROM Extents ORDER BY rowid DESC LIMIT " << static_cast<unsigned long>(count)
         << ") ";
    AppendClause(text, filter);
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
    return InsertExtentStatement(row, insertionTime).FullText();
}

std::string SQLiteQueries::UpdateExtent(const Extent& row, long long insertionTime) {
    return UpdateExtentStatement(row, insertionTime).FullText();
}

std::string SQLiteQueries::DeleteExtent(const ExtentParam& key) { return DeleteExtentStatement(key).FullText(); }

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
    return InsertUpdateVMStatement(vm, insertOnly).FullText();
}

SqlStatement SQLiteQueries::QueryExtentStatement(const ExtentParam& key) {
    static const SqlFormat formats[4] = {
        SqlFormat(c_queryExtent), SqlFormat(std::string(c_queryExtent) + c_queryExtentCopy),
        SqlFormat(std::string(c_queryExtent) + c_queryExtentFlags),
        SqlFormat(std::string(c_queryExtent) + c_queryExtentCopy + c_queryExtentFlags)};
    SqlStatement statement(formats[(key.CopyID != 0 ? 1 : 0) + (key.Flags != 0 ? 2 : 0)]);
    statement << key.AfileID << key.AfileOffset << key.TessarelID;
    if (key.CopyID != 0) statement << key.CopyID;
    if (key.Flags != 0) statement << key.Flags;
    return statement;
}

SqlStatement SQLiteQueries::QueryVMStatement(const VM& vm) {
    static const SqlFormat formats[2] = {SqlFormat(c_queryVM), SqlFormat(std::string(c_queryVM) + c_queryVMCopy)};
    SqlStatement statement(formats[vm.CopyID != 0 ? 1 : 0]);
    statement << vm.TessarelID << vm.AfileID;
    if (vm.CopyID != 0) statement << vm.CopyID;
    return statement;
}

SqlStatement SQLiteQueries::InsertExtentStatement(const Extent& row, long long insertionTime) {
    static const SqlFormat format(std::string("INSERT INTO Extents ") + c_extentColumns + c_extentValues);
    return ExtentRow(format, row, insertionTime);
}

SqlStatement SQLiteQueries::UpdateExtentStatement(const Extent& row, long long insertionTime) {
    static const SqlFormat format(std::string("INSERT OR REPLACE INTO Extents ") + c_extentColumns + c_extentValues);
    return ExtentRow(format, row, insertionTime);
}

SqlStatement SQLiteQueries::DeleteExtentStatement(const ExtentParam& key) {
    static const SqlFormat format(c_deleteExtent);
    SqlStatement statement(format);
    statement << key.AfileID << key.AfileOffset << key.TessarelID << key.CopyID;
    return statement;
}

SqlStatement SQLiteQueries::InsertUpdateVMStatement(const VM& vm, bool insertOnly) {
    static const SqlFormat insert(std::string("INSERT INTO VMs") + c_vmRow);
    static const SqlFormat replace(std::string("INSERT OR REPLACE INTO VMs") + c_vmRow);
    SqlStatement statement(insertOnly ? insert : replace);
    statement << vm.GUID << vm.JobID << vm.LastReferenceTime << vm.ValidityGUID << vm.AfileID << vm.TessarelID
              << vm.CopyID;
    return statement;
}
