#pragma once
// Every SQL text run against the tables of an afile database. The filter
// texts are built for the one call, their values printed into them; the
// statements of every request are formats, compiled once with each value a
// parameter, and printed in full only when asked (SqlStatement).
//
// Signed values (afile id, offset, extent id, job id, times, flags) are
// printed as signed, so a negative value round-trips; a text value has its
// single quotes doubled, so it cannot end its literal early. Both leave the
// text of every ordinary value unchanged.

#include "Extent.h"
#include "QueryParams.h"
#include "VM.h"
#include "platform/FXDatabase.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// A text of this file as a printf-style format, parsed once: its literal
// pieces, its conversions (%s, %d, %u and %lld; every %s between single
// quotes) and the text SQLite compiles from it, each conversion a parameter
// (?) with the single quotes around it dropped.
class SqlFormat {
public:
    explicit SqlFormat(const std::string& format);
    SqlFormat(const SqlFormat&) = delete;
    SqlFormat& operator=(const SqlFormat&) = delete;

    const std::string& Compiled() const { return compiled; }
    // The connection's slot for its compiled statement (CompiledSql::Slot):
    // each format has its own while there are slots left, -1 after.
    int Slot() const { return slot; }
    size_t Conversions() const { return conversions.size(); }
    // How conversion i's value is bound: an integer, or text where the
    // format quotes it.
    FX::CompiledSql::Value::Kind KindAt(size_t i) const { return conversions[i].kind; }
    // The full text with these values, as printf prints them, each text
    // value with its single quotes doubled.
    std::string Print(const FX::CompiledSql::Value* values, size_t count) const;

private:
    struct Conversion {
        FX::CompiledSql::Value::Kind kind;
        bool isUnsigned;
    };
    // pieces[i] stands before conversion i; the last one after the last
    std::vector<std::string> pieces;
    std::vector<Conversion> conversions;
    std::string compiled;
    int slot;
};

// One statement as its format and its values, given in the order of the
// format's conversions: run compiled, its full text printed only when asked.
class SqlStatement : public FX::CompiledSql {
public:
    explicit SqlStatement(const SqlFormat& format) : format(format) {}

    SqlStatement& operator<<(long long value) { return Number(value); }
    SqlStatement& operator<<(int value) { return Number(value); }
    SqlStatement& operator<<(unsigned int value) { return Number(value); }
    // Inline, as the numbers: an extent row takes six texts.
    SqlStatement& operator<<(const std::string& value) {
        if (!Next()) return *this;
        if (format.KindAt(count) != Value::Text || memchr(value.data(), '\0', value.size()) != nullptr)
            bindable = false;
        values[count++] = Value{Value::Text, 0, value.data(), value.size()};
        return *this;
    }
    // The quoted numbers bound as the numbers they print, for tables in
    // which that stores and compares the same (CSQLiteDB); the full text is
    // unchanged.
    void BindQuotedNumbersAsNumbers();

    const std::string& Compiled() const override { return format.Compiled(); }
    int Slot() const override { return format.Slot(); }
    size_t ValueCount() const override { return count; }
    const Value* Values() const override { return values; }
    // A text holding a NUL is not bound: its full text ends there, as it
    // always has. Nor is a value of another kind than its conversion's.
    bool Bindable() const override { return bindable && count == format.Conversions(); }
    std::string FullText() const override { return format.Print(values, count); }

private:
    static const size_t kMaxValues = 16;
    // Inline: a row statement takes 15 values on every write.
    SqlStatement& Number(long long value) {
        if (!Next()) return *this;
        const Value::Kind kind = format.KindAt(count);
        if (kind == Value::Text) bindable = false;
        values[count++] = Value{kind, value, nullptr, 0};
        return *this;
    }
    // false when the value has no place
    bool Next() {
        if (count < kMaxValues && count < format.Conversions()) return true;
        bindable = false;
        return false;
    }

    const SqlFormat& format;
    Value values[kMaxValues];
    size_t count = 0;
    bool bindable = true;
};

class SQLiteQueries {
public:
    // "WHERE " and one condition per non-zero number joined by " AND ", or
    // the empty text when every number is 0.
    static std::string Clause(const ExtentsParam& filter);
    static std::string Clause(const VMJobParam& filter);

    static std::string QueryExtent(const ExtentParam& key);
    // LIMIT offset,batchSize only when batchSize is not 0.
    static std::string QueryExtents(const ExtentsParam& filter, size_t batchSize, size_t offset);
    static std::string QueryVMs(const VMJobParam& filter, size_t batchSize, size_t offset);
    static std::string QueryAllVMs();
    static std::string QueryVM(const VM& vm);
    static std::string QueryExtentsCount(const ExtentsParam& filter);
    // The `count` rows last written to the table (rowid descending: an
    // insert, and a replace, gives its row a rowid above every other), those
    // matching the filter; SQLite stops after them, whatever the table holds.
    static std::string QueryNewestExtents(const ExtentsParam& filter, size_t count);
    static std::string QueryVMCount(const VMJobParam& filter);

    // insertionTime: seconds since 1970, stamped on every insert and replace.
    static std::string InsertExtent(const Extent& row, long long insertionTime);
    static std::string UpdateExtent(const Extent& row, long long insertionTime);
    static std::string DeleteExtent(const ExtentParam& key);
    // LIMIT only when limit is not 0.
    static std::string DeleteExtents(const ExtentsParam& filter, size_t limit);
    static std::string ResetExtentsCacheLocation(const ExtentsParam& filter);
    static std::string InsertUpdateVM(const VM& vm, bool insertOnly);

    // The statements of every request, compiled from their formats; each
    // one's full text is the text of the function of the same name above.
    static SqlStatement QueryExtentStatement(const ExtentParam& key);
    static SqlStatement QueryVMStatement(const VM& vm);
    static SqlStatement InsertExtentStatement(const Extent& row, long long insertionTime);
    static SqlStatement UpdateExtentStatement(const Extent& row, long long insertionTime);
    static SqlStatement DeleteExtentStatement(const ExtentParam& key);
    static SqlStatement InsertUpdateVMStatement(const VM& vm, bool insertOnly);
};
