#include "platform/FXDatabase.h"
#include "platform/DurabilityTrace.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPosixError.h"
#include "platform/LockOrder.h"
#include "platform/RecycledBlock.h"
#include "platform/SqlShape.h"

#include <boost/make_shared.hpp>
#include <atomic>
#include <vector>
#include <sqlite3.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace FX {

namespace detail {

// FieldIndex's answers for one compiled statement, kept with it while it is
// idle: the caller's name (its address, and its text, compared again on use
// as an address may be reused for another name) and the first column of that
// name. Valid while SQLite has not recompiled the statement, which it does
// after a schema change, when its columns and their names may differ.
// Callers ask for the columns of a row in the same order each time, so the
// entry after the last one answered is tried first.
struct FieldMemo {
    struct Entry {
        const char* name;
        std::string text;
        int index;
    };
    std::vector<Entry> entries;
    int recompiled = 0;  // SQLITE_STMTSTATUS_REPREPARE when the entries were found
};

// Enough for every column of the widest row the library reads.
const size_t kFieldMemoEntries = 32;

// The positions of one list of column names (CSQLite3Row) in a compiled
// statement's result, found when SQLite had compiled it `recompiled` times.
struct ColumnPositions {
    const char* const* names = nullptr;
    int recompiled = 0;
    std::vector<int> positions;
};

// One parameter's value as the statement holds it bound. A reset keeps the
// bindings, so the next use binds only the values that differ. Texts are
// bound from `text`, never from the caller's memory: a query object steps
// its statement after the call that bound it returned, and a binding kept
// for a later use must outlive every caller.
struct BoundValue {
    bool set = false;
    CompiledSql::Value::Kind kind = CompiledSql::Value::Integer;
    long long number = 0;
    std::string text;  // Text: its bytes; IntegerText: its decimal text
};

// What a compiled statement of a shape carries from one use to the next.
struct KeptWithStatement {
    FieldMemo fields;
    ColumnPositions columns;
    // One per parameter, sized once: the bound texts stay where they are as
    // the vector moves with the statement.
    std::vector<BoundValue> bound;
};

// Where a kept statement goes back once its user is done with it: the slot
// of its compiled text (CompiledSql::Slot), or its text in the set of idle
// statements; and the generation it was taken in. Neither: it is finalized.
struct KeptPlace {
    int slot = -1;
    const std::string* compiled = nullptr;  // the slot's text
    std::string shape;
    uint64_t taken = 0;
    bool Kept() const { return slot >= 0 || !shape.empty(); }
};

// Every live statement of one connection, so that closing the connection can
// finalize those whose query objects are still held somewhere; and the
// compiled statements that no one uses at the moment: one for each slot of a
// compiled text, found without comparing texts, and any others by their text.
// A statement is taken, handed out, reset and put back only holding the
// connection, so the connection's lock guards these too: no lock of their
// own is taken on the way of a request.
struct StatementRegistry {
    // Every use of the connection and of its statements is made holding it:
    // the connection is opened without SQLite's own mutex.
    RankedRecursiveMutex connection{LockRank::DatabaseConnection, "database connection"};

    // guarded by connection: the live handles, linked through their own fields
    StatementHandle* live = nullptr;

    void FinalizeAll();

    struct Idle {
        std::string shape;
        sqlite3_stmt* stmt;
        uint64_t lastUse;
        KeptWithStatement kept;
    };
    struct Slot {
        const std::string* compiled = nullptr;
        sqlite3_stmt* stmt = nullptr;
        KeptWithStatement kept;
    };
    // guarded by connection
    std::vector<Idle> idle;
    Slot slots[CompiledSql::kSlots];
    uint64_t uses = 0;
    size_t compiled = 0;
    // Moved on by every ATTACH and DETACH: a statement compiled before may
    // name another table now, and is not kept.
    uint64_t generation = 0;

    // Set by the connection's authorizer when a text attaches or detaches a
    // database (any thread, under the connection's mutex).
    std::atomic<bool> attachmentsChanged{false};

    // Whether a database is attached; no statement is kept meanwhile.
    // SQLite compiles a statement again when the schema of a database it
    // reads changes, and every statement when the temp schema changes; with
    // main and temp alone no other change can give a kept statement's name
    // another table (temp is searched first and changed by this connection
    // only). An attached database is searched after them: a table made in
    // main, on this connection or another one, hides the attached table a
    // kept statement reads, and nothing would compile it again. Written
    // under the connection's mutex after the text ran, read by any thread.
    std::atomic<bool> attached{false};
    // The change counts of the watched tables, named before the connection
    // is shared; advanced holding the connection, read without it.
    struct WatchedTable {
        std::string name;
        std::atomic<uint64_t> changes{0};
    };
    static constexpr int kMaxWatched = 4;
    WatchedTable watched[kMaxWatched];
    int watchedTables = 0;
    void TableChanged(const char* table) {
        for (int i = 0; i < watchedTables; ++i)
            if (strcasecmp(watched[i].name.c_str(), table) == 0) ++watched[i].changes;
    }
    void EveryTableChanged() {
        for (int i = 0; i < watchedTables; ++i) ++watched[i].changes;
    }
    // Row changes the update hook reported, holding the connection.
    uint64_t rowChangesSeen = 0;

    // An idle statement of that text, from the slot `place.slot` names
    // (when the slot holds that text) or else from the set by its text,
    // taken out (what it carries moved into `kept`), or null; `place` says
    // where it goes back, also for one the caller compiles now.
    sqlite3_stmt* Take(const std::string& text, KeptPlace& place, KeptWithStatement& kept);
    // Puts a reset statement back; returns the one to finalize outside the
    // lock (one evicted to keep the set small, or this one when it belongs
    // to an earlier generation), or null.
    sqlite3_stmt* Put(KeptPlace& place, sqlite3_stmt* stmt, KeptWithStatement& kept);
    std::vector<sqlite3_stmt*> TakeAllIdle();
    // Finalizes every idle statement and disowns those in use.
    void DropKept();
    void CountCompiled() { ++compiled; }
};

// Compiled statements kept per connection: enough for every shape the
// request road uses.
const size_t kIdleStatements = 32;

sqlite3_stmt* StatementRegistry::Take(const std::string& text, KeptPlace& place, KeptWithStatement& kept) {
    place.taken = generation;
    if (place.slot >= 0) {
        Slot& slot = slots[place.slot];
        if (slot.stmt != nullptr && slot.compiled == place.compiled) {
            sqlite3_stmt* stmt = slot.stmt;
            slot.stmt = nullptr;
            kept = std::move(slot.kept);
            return stmt;
        }
    }
    for (size_t i = 0; i < idle.size(); ++i) {
        if (idle[i].shape != text) continue;
        sqlite3_stmt* stmt = idle[i].stmt;
        place.shape.swap(idle[i].shape);
        kept = std::move(idle[i].kept);
        idle[i] = std::move(idle.back());
        idle.pop_back();
        return stmt;
    }
    if (place.slot < 0) place.shape = text;
    return nullptr;
}

sqlite3_stmt* StatementRegistry::Put(KeptPlace& place, sqlite3_stmt* stmt, KeptWithStatement& kept) {
    if (place.taken != generation) return stmt;
    if (place.slot >= 0) {
        Slot& slot = slots[place.slot];
        if (slot.stmt == nullptr) {
            slot.compiled = place.compiled;
            slot.stmt = stmt;
            slot.kept = std::move(kept);
            return nullptr;
        }
        // Another statement of the slot's text is idle already (threads
        // used the text at once): this one is kept by its text.
        if (place.shape.empty()) place.shape = *place.compiled;
    }
    idle.push_back(Idle{std::move(place.shape), stmt, ++uses, std::move(kept)});
    if (idle.size() <= kIdleStatements) return nullptr;
    size_t oldest = 0;
    for (size_t i = 1; i < idle.size(); ++i)
        if (idle[i].lastUse < idle[oldest].lastUse) oldest = i;
    sqlite3_stmt* evicted = idle[oldest].stmt;
    idle[oldest] = std::move(idle.back());
    idle.pop_back();
    return evicted;
}

void StatementRegistry::DropKept() {
    ++generation;
    for (sqlite3_stmt* stmt : TakeAllIdle()) sqlite3_finalize(stmt);
}

std::vector<sqlite3_stmt*> StatementRegistry::TakeAllIdle() {
    std::vector<sqlite3_stmt*> all;
    for (auto& entry : idle) all.push_back(entry.stmt);
    idle.clear();
    for (Slot& slot : slots) {
        if (slot.stmt != nullptr) all.push_back(slot.stmt);
        slot.stmt = nullptr;
        slot.kept = KeptWithStatement();
    }
    return all;
}

// Resets a statement of a shape and puts it back into the set; finalizes the
// one the set gives back. Its bindings stay, bound from the values kept with
// it: whoever takes it next binds only the values that differ before
// stepping it (a statement of a shape is taken with as many values as it has
// parameters).
void PutBack(StatementRegistry& registry, KeptPlace& place, sqlite3_stmt* stmt, KeptWithStatement& kept) {
    sqlite3_reset(stmt);
    sqlite3_finalize(registry.Put(place, stmt, kept));
}

class StatementHandle {
public:
    // A kept place puts the statement back into the connection's set when
    // the handle goes, instead of finalizing it.
    StatementHandle(const boost::shared_ptr<StatementRegistry>& registry, sqlite3_stmt* stmt,
                    KeptPlace&& place = KeptPlace(), KeptWithStatement&& kept = KeptWithStatement())
        : registry(registry), stmt(stmt), kept(std::move(kept)), place(std::move(place)) {
        next = registry->live;
        if (next != nullptr) next->previous = this;
        registry->live = this;
    }
    ~StatementHandle() {
        std::lock_guard<RankedRecursiveMutex> connection(registry->connection);
        if (stmt != nullptr) {
            if (place.Kept())
                PutBack(*registry, place, stmt, kept);
            else
                sqlite3_finalize(stmt);
        }
        if (previous != nullptr) previous->next = next;
        else registry->live = next;
        if (next != nullptr) next->previous = previous;
    }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    // constant after construction
    const boost::shared_ptr<StatementRegistry> registry;
    // cleared holding the connection when the connection closes first
    sqlite3_stmt* stmt;
    // used by the one query object holding the handle; its bound texts stay
    // until the statement is reset
    KeptWithStatement kept;

private:
    KeptPlace place;
    // guarded by registry->connection
    StatementHandle* previous = nullptr;
    StatementHandle* next = nullptr;
    friend struct StatementRegistry;
};

void StatementRegistry::FinalizeAll() {
    std::lock_guard<RankedRecursiveMutex> held(connection);
    for (StatementHandle* handle = live; handle != nullptr; handle = handle->next) {
        if (handle->stmt != nullptr) sqlite3_finalize(handle->stmt);
        handle->stmt = nullptr;
    }
    for (sqlite3_stmt* stmt : TakeAllIdle()) sqlite3_finalize(stmt);
}

}  // namespace detail

namespace {

// Tries of the connection lock before a waiter sleeps: some 20 to 40 us, more
// than most holds last (one statement with its row), while a waiter put to
// sleep and woken again costs more than that.
const int kConnectionTries = 1000;

// Holds the connection: a result code, its error text and the row count are
// read in the same hold as the call that produced them, so another thread's
// call cannot replace them in between. Recursive.
class ConnectionLock {
public:
    explicit ConnectionLock(detail::StatementRegistry& registry) : connection(registry.connection) {
        connection.lock_spinning(kConnectionTries);
    }
    ~ConnectionLock() { connection.unlock(); }
    ConnectionLock(const ConnectionLock&) = delete;
    ConnectionLock& operator=(const ConnectionLock&) = delete;

private:
    RankedRecursiveMutex& connection;
};

// Around the running of a text, holding the connection: rows it changed that
// the update hook did not report (a DELETE without a condition empties the
// table at once) advance every table's change count.
class RowChangeWatch {
public:
    RowChangeWatch(sqlite3* db, detail::StatementRegistry& registry)
        : db(db), registry(registry), total(sqlite3_total_changes64(db)), seen(registry.rowChangesSeen) {}
    ~RowChangeWatch() {
        const uint64_t changed = static_cast<uint64_t>(sqlite3_total_changes64(db) - total);
        if (changed > registry.rowChangesSeen - seen) registry.EveryTableChanged();
    }
    RowChangeWatch(const RowChangeWatch&) = delete;
    RowChangeWatch& operator=(const RowChangeWatch&) = delete;

private:
    sqlite3* const db;
    detail::StatementRegistry& registry;
    const sqlite3_int64 total;
    const uint64_t seen;
};

// The SQL of an error text, cut after 512 bytes: a statement with thousands
// of values would otherwise make one error, and every log line that carries
// it, hundreds of kilobytes long.
std::string SqlForText(const std::string& sql) {
    constexpr size_t kMaxSqlInText = 512;
    if (sql.size() <= kMaxSqlInText) return sql;
    return sql.substr(0, kMaxSqlInText) + "...[" + std::to_string(sql.size()) + " bytes]";
}

std::string ErrorText(sqlite3* db) {
    const char* text = db != nullptr ? sqlite3_errmsg(db) : nullptr;
    return text != nullptr ? text : "";
}

sqlite3_stmt* LiveStatement(const boost::shared_ptr<detail::StatementHandle>& handle) {
    return handle ? handle->stmt : nullptr;
}

CZoError NotOpen(const FXCodeLocation& at, const std::string& name) {
    return FXErrorUtil::ErrorSQLite(at, SQLITE_MISUSE, "database [%s] is not open", name.c_str());
}

struct ShapeBuffers {
    std::string shape;
    std::vector<SqlLiteral> literals;
    SqlShapeMemo memo;
};

// Each thread shapes into buffers of its own, which stop allocating once
// grown, and remembers the texts it shaped last. Set when they are destroyed; trivially destructible, so it is still
// readable afterwards: a thread that runs statements after its own thread
// objects went (at exit, while the unload releases the service and its
// databases commit) shapes into buffers of the call instead.
thread_local bool t_shapeBuffersGone = false;
struct ThreadShapeBuffers {
    ~ThreadShapeBuffers() { t_shapeBuffersGone = true; }
    ShapeBuffers buffers;
};
thread_local ThreadShapeBuffers t_shapeBuffers;

// An idle compiled statement of that text from the connection's set, or one
// compiled now; where it goes back goes into `place` (given its slot, or -1),
// what it carries into `kept`. Null when it does not compile with
// `parameters` parameters.
sqlite3_stmt* TakeCompiled(sqlite3* db, detail::StatementRegistry& registry, const std::string& text,
                           size_t parameters, detail::KeptPlace& place, detail::KeptWithStatement& kept) {
    sqlite3_stmt* stmt = registry.Take(text, place, kept);
    if (stmt != nullptr) return stmt;
    const char* tail = nullptr;
    if (sqlite3_prepare_v3(db, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                           &tail) != SQLITE_OK ||
        stmt == nullptr || sqlite3_bind_parameter_count(stmt) != static_cast<int>(parameters)) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    registry.CountCompiled();
    return stmt;
}

// The decimal text of a number, as %lld prints it, into `at` (20 bytes at most).
size_t PrintDecimal(char* at, long long value) {
    char digits[20];
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) magnitude = 0ULL - magnitude;
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t length = 0;
    if (value < 0) at[length++] = '-';
    while (n != 0) at[length++] = digits[--n];
    return length;
}

// Binds count values, value(i) giving the i-th (a CompiledSql::Value), each
// only when it differs from what the statement holds bound from its last
// use (`bound`). False when a bind fails; the statement is then finalized.
template <typename ValueAt>
bool BindValues(sqlite3_stmt* stmt, size_t count, ValueAt value, std::vector<detail::BoundValue>& bound) {
    if (bound.size() != count) {
        bound.clear();
        bound.resize(count);
    }
    for (size_t i = 0; i < count; ++i) {
        const CompiledSql::Value& v = value(i);
        detail::BoundValue& b = bound[i];
        if (b.set && b.kind == v.kind &&
            (v.kind == CompiledSql::Value::Text
                 ? b.text.size() == v.size && (v.size == 0 || memcmp(b.text.data(), v.text, v.size) == 0)
                 : b.number == v.number))
            continue;
        b.set = false;
        b.kind = v.kind;
        b.number = v.number;
        const int column = static_cast<int>(i) + 1;
        int rc;
        if (v.kind == CompiledSql::Value::Integer) {
            rc = sqlite3_bind_int64(stmt, column, v.number);
        } else {
            if (v.kind == CompiledSql::Value::IntegerText) {
                char digits[24];
                b.text.assign(digits, PrintDecimal(digits, v.number));
            } else {
                b.text.assign(v.text, v.size);
            }
            // data() is never null, so an empty text binds as '', not NULL
            rc = sqlite3_bind_text(stmt, column, b.text.data(), static_cast<int>(b.text.size()), SQLITE_STATIC);
        }
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return false;
        }
        b.set = true;
    }
    return true;
}

// The compiled statement of the text's shape with the text's literals bound:
// an idle one of the connection's set, or compiled now; where it goes back
// goes into `place`, what it carries into `kept`. Null when the text has no
// shape, or its shape does not compile as the text does; the caller then
// runs the text as it stands.
sqlite3_stmt* TakeShaped(sqlite3* db, detail::StatementRegistry& registry, const std::string& sql,
                         detail::KeptPlace& place, detail::KeptWithStatement& kept) {
    if (registry.attached.load()) return nullptr;
    // The limit is the text's, however short its shape.
    if (sql.size() > static_cast<size_t>(sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, -1))) return nullptr;
    ShapeBuffers callBuffers;
    ShapeBuffers& buffers = t_shapeBuffersGone ? callBuffers : t_shapeBuffers.buffers;
    std::string& shape = buffers.shape;
    std::vector<SqlLiteral>& literals = buffers.literals;
    if (!buffers.memo.Shape(sql.c_str(), shape, literals)) return nullptr;
    sqlite3_stmt* stmt = TakeCompiled(db, registry, shape, literals.size(), place, kept);
    if (stmt == nullptr) return nullptr;
    auto literal = [&](size_t i) {
        const SqlLiteral& l = literals[i];
        return l.isText ? CompiledSql::Value{CompiledSql::Value::Text, 0, l.TextData(sql.c_str()), l.TextSize()}
                        : CompiledSql::Value{CompiledSql::Value::Integer, l.number, nullptr, 0};
    };
    return BindValues(stmt, literals.size(), literal, kept.bound) ? stmt : nullptr;
}

}  // namespace

namespace detail {

// What a call runs: a text, shaped when it can be, or a compiled statement
// with its values; and the text it stands for, for an error message and for
// a run of the text as it stands.
class StatementSource {
public:
    explicit StatementSource(const std::string& sql) : sql(&sql), compiled(nullptr) {}
    explicit StatementSource(const CompiledSql& compiled) : sql(nullptr), compiled(&compiled) {}
    StatementSource(const StatementSource&) = delete;
    StatementSource& operator=(const StatementSource&) = delete;

    // The statement with its values bound, or null: the caller then runs Text().
    sqlite3_stmt* Take(sqlite3* db, StatementRegistry& registry, KeptPlace& place, KeptWithStatement& kept) const {
        if (sql != nullptr) return TakeShaped(db, registry, *sql, place, kept);
        if (!compiled->Bindable() || LongerThanLimit(db)) return nullptr;
        const std::string& text = compiled->Compiled();
        const int slot = compiled->Slot();
        if (slot >= 0 && slot < CompiledSql::kSlots) {
            place.slot = slot;
            place.compiled = &text;
        }
        const size_t count = compiled->ValueCount();
        sqlite3_stmt* stmt = TakeCompiled(db, registry, text, count, place, kept);
        if (stmt == nullptr) return nullptr;
        const CompiledSql::Value* values = compiled->Values();
        auto value = [values](size_t i) -> const CompiledSql::Value& { return values[i]; };
        return BindValues(stmt, count, value, kept.bound) ? stmt : nullptr;
    }

    // Printed once, when first asked for.
    const std::string& Text() const {
        if (sql != nullptr) return *sql;
        if (!printed) {
            text = compiled->FullText();
            printed = true;
        }
        return text;
    }

private:
    // The limit is the full text's: it may be longer than the compiled text
    // with its values by their quotes and doubled quotes only.
    bool LongerThanLimit(sqlite3* db) const {
        size_t length = compiled->Compiled().size();
        const CompiledSql::Value* values = compiled->Values();
        const size_t count = compiled->ValueCount();
        for (size_t i = 0; i < count; ++i) length += 2 * values[i].size + 22;
        return length > static_cast<size_t>(sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, -1));
    }

    const std::string* const sql;
    const CompiledSql* const compiled;
    mutable bool printed = false;
    mutable std::string text;
};

}  // namespace detail

CSQLite3Exception::CSQLite3Exception(int errorCode, const char* errorMessage)
    : code(errorCode), hasMessage(errorMessage != nullptr), message(errorMessage != nullptr ? errorMessage : "") {}

CSQLite3Statement::CSQLite3Statement() = default;
CSQLite3Statement::~CSQLite3Statement() = default;

bool CSQLite3Statement::IsCompiled() const { return LiveStatement(handle) != nullptr; }

void CSQLite3Statement::Finalize() { handle.reset(); }

CSQLite3Query::CSQLite3Query() = default;
CSQLite3Query::~CSQLite3Query() = default;

void CSQLite3Query::Finalize() {
    handle.reset();
    eof = true;
    rowNumber = 0;
    nextField = 0;
    faultAtRow = -1;
}

void CSQLite3Query::NextRow() {
    if (!handle) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    ConnectionLock lock(*handle->registry);
    sqlite3_stmt* stmt = handle->stmt;
    if (stmt == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    if (eof) throw CSQLite3Exception(SQLITE_MISUSE, "query is past its last row");
    if (faultAtRow == rowNumber + 1) {
        faultAtRow = -1;
        eof = true;
        throw CSQLite3Exception(faultCode, faultHasMessage ? faultMessage.c_str() : nullptr);
    }
    const int rc = sqlite3_step(stmt);
    std::string text;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        text = ErrorText(sqlite3_db_handle(stmt));
        handle->registry->EveryTableChanged();
    }
    if (rc == SQLITE_ROW) {
        ++rowNumber;
        return;
    }
    eof = true;
    if (rc != SQLITE_DONE) throw CSQLite3Exception(rc, text.c_str());
}

// Called holding the connection.
void CSQLite3Query::CheckField(int field) const {
    sqlite3_stmt* stmt = LiveStatement(handle);
    if (stmt == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    if (eof) throw CSQLite3Exception(SQLITE_MISUSE, "query has no current row");
    if (field < 0 || field >= sqlite3_column_count(stmt))
        throw CSQLite3Exception(SQLITE_RANGE, "field index out of range");
}

int CSQLite3Query::FieldIndex(const char* name) {
    if (!handle) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    ConnectionLock lock(*handle->registry);
    sqlite3_stmt* stmt = handle->stmt;
    if (stmt == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    if (name != nullptr) {
        // Only this query steps the statement, so nothing recompiles it
        // while the memo is read.
        detail::FieldMemo& memo = handle->kept.fields;
        const int recompiled = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
        if (memo.recompiled != recompiled) {
            memo.entries.clear();
            memo.recompiled = recompiled;
        }
        const size_t known = memo.entries.size();
        auto answers = [name](const detail::FieldMemo::Entry& entry) {
            return entry.name == name && strcmp(entry.text.c_str(), name) == 0;
        };
        if (nextField < known && answers(memo.entries[nextField])) return memo.entries[nextField++].index;
        for (size_t k = 0; k < known; ++k) {
            if (!answers(memo.entries[k])) continue;
            nextField = k + 1;
            return memo.entries[k].index;
        }
        int columns = sqlite3_column_count(stmt);
        for (int i = 0; i < columns; ++i) {
            const char* column = sqlite3_column_name(stmt, i);
            if (column != nullptr && strcasecmp(column, name) == 0) {
                if (known < detail::kFieldMemoEntries) {
                    memo.entries.push_back({name, name, i});
                    nextField = known + 1;
                }
                return i;
            }
        }
    }
    std::string text = "no such column [";
    text += name != nullptr ? name : "";
    text += "]";
    throw CSQLite3Exception(SQLITE_ERROR, text.c_str());
}

std::string CSQLite3Query::FieldName(int field) {
    if (!handle) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    ConnectionLock lock(*handle->registry);
    sqlite3_stmt* stmt = handle->stmt;
    if (stmt == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    if (field < 0 || field >= sqlite3_column_count(stmt))
        throw CSQLite3Exception(SQLITE_RANGE, "field index out of range");
    const char* name = sqlite3_column_name(stmt, field);
    return name != nullptr ? name : "";
}

int CSQLite3Query::GetIntField(int field, int defaultValue) {
    if (!handle) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    ConnectionLock lock(*handle->registry);
    CheckField(field);
    sqlite3_stmt* stmt = handle->stmt;
    if (sqlite3_column_type(stmt, field) == SQLITE_NULL) return defaultValue;
    // The low 32 bits: an unsigned id stored above INT_MAX comes back whole
    // once the caller takes it as unsigned.
    return static_cast<int>(static_cast<uint32_t>(sqlite3_column_int64(stmt, field)));
}

long long CSQLite3Query::GetBigIntField(int field, long long defaultValue) {
    if (!handle) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    ConnectionLock lock(*handle->registry);
    CheckField(field);
    sqlite3_stmt* stmt = handle->stmt;
    if (sqlite3_column_type(stmt, field) == SQLITE_NULL) return defaultValue;
    return sqlite3_column_int64(stmt, field);
}

std::string CSQLite3Query::GetStringField(int field, const char* defaultValue) {
    if (!handle) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    ConnectionLock lock(*handle->registry);
    CheckField(field);
    sqlite3_stmt* stmt = handle->stmt;
    if (sqlite3_column_type(stmt, field) == SQLITE_NULL) return defaultValue != nullptr ? defaultValue : "";
    const unsigned char* text = sqlite3_column_text(stmt, field);
    int bytes = sqlite3_column_bytes(stmt, field);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

CSQLite3Row::CSQLite3Row(CSQLite3Query& query, const CDatabaseBase::ConnectionHold&, const CSQLite3Columns& columns)
    : stmt(LiveStatement(query.handle)), positions(nullptr) {
    if (stmt == nullptr) throw CSQLite3Exception(SQLITE_MISUSE, "query has no statement");
    if (query.eof) throw CSQLite3Exception(SQLITE_MISUSE, "query has no current row");
    // Only this query steps the statement, so nothing recompiles it while
    // the positions are read.
    detail::ColumnPositions& found = query.handle->kept.columns;
    const int recompiled = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
    if (found.names != columns.names || found.positions.size() != columns.count || found.recompiled != recompiled) {
        found.names = nullptr;
        found.positions.resize(columns.count);
        for (size_t i = 0; i < columns.count; ++i) found.positions[i] = query.FieldIndex(columns.names[i]);
        found.names = columns.names;
        found.recompiled = recompiled;
    }
    positions = found.positions.data();
}

long long CSQLite3Row::BigInt(size_t column) const { return sqlite3_column_int64(stmt, positions[column]); }

int CSQLite3Row::Int(size_t column) const {
    return static_cast<int>(static_cast<uint32_t>(sqlite3_column_int64(stmt, positions[column])));
}

void CSQLite3Row::Text(size_t column, std::string& value) const {
    const int field = positions[column];
    const unsigned char* text = sqlite3_column_text(stmt, field);
    if (text == nullptr) {
        value.clear();
        return;
    }
    value.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, field)));
}

namespace {
bool ChangesSchema(int action) {
    switch (action) {
        case SQLITE_CREATE_INDEX: case SQLITE_CREATE_TABLE: case SQLITE_CREATE_TEMP_INDEX:
        case SQLITE_CREATE_TEMP_TABLE: case SQLITE_CREATE_TEMP_TRIGGER: case SQLITE_CREATE_TEMP_VIEW:
        case SQLITE_CREATE_TRIGGER: case SQLITE_CREATE_VIEW: case SQLITE_DROP_INDEX: case SQLITE_DROP_TABLE:
        case SQLITE_DROP_TEMP_INDEX: case SQLITE_DROP_TEMP_TABLE: case SQLITE_DROP_TEMP_TRIGGER:
        case SQLITE_DROP_TEMP_VIEW: case SQLITE_DROP_TRIGGER: case SQLITE_DROP_VIEW: case SQLITE_ALTER_TABLE:
        case SQLITE_REINDEX: case SQLITE_CREATE_VTABLE: case SQLITE_DROP_VTABLE: case SQLITE_ATTACH:
        case SQLITE_DETACH:
            return true;
        default:
            return false;
    }
}

// Allows everything. Notes every text that attaches or detaches a database.
// A text that changes the schema (every such text is compiled where it runs,
// in one hold of the connection: only row statements are kept) advances
// every table's change count.
int WatchAttachments(void* context, int action, const char*, const char*, const char*, const char*) {
    auto* registry = static_cast<detail::StatementRegistry*>(context);
    if (action == SQLITE_ATTACH || action == SQLITE_DETACH) registry->attachmentsChanged.store(true);
    if (ChangesSchema(action)) registry->EveryTableChanged();
    return SQLITE_OK;
}

// Every row inserted, updated or deleted, called inside the statement;
// except the rows of a table emptied whole, see RowChangesUnseen.
void CountRowChange(void* context, int, const char*, const char* table, sqlite3_int64) {
    auto* registry = static_cast<detail::StatementRegistry*>(context);
    ++registry->rowChangesSeen;
    if (table != nullptr) registry->TableChanged(table);
}

// A transaction rolled back, explicitly or by the database after an error.
void CountRollback(void* context) { static_cast<detail::StatementRegistry*>(context)->EveryTableChanged(); }

// Every commit of the connection, an autocommitted statement's included, is
// reported before it becomes final.
int ReportCommit(void* handle) {
    if (DurabilityTrace::Observed()) {
        const char* file = sqlite3_db_filename(static_cast<sqlite3*>(handle), "main");
        DurabilityTrace::Record(DurabilityTrace::COMMITTED, file != nullptr ? file : "");
    }
    return 0;
}
}  // namespace

CDatabaseBase::CDatabaseBase() : registry(boost::make_shared<detail::StatementRegistry>()) {}

CDatabaseBase::ConnectionHold::ConnectionHold(CDatabaseBase& database) : registry(*database.registry) {
    registry.connection.lock_spinning(kConnectionTries);
}

CDatabaseBase::ConnectionHold::~ConnectionHold() { registry.connection.unlock(); }

CDatabaseBase::~CDatabaseBase() {
    // A failure cannot be reported from here; owners that must know call
    // CloseDatabase themselves first.
    CloseDatabase();
}

CZoError CDatabaseBase::OpenDatabase() {
    if (db != nullptr) return CZoError::Success();
    std::string path = databasePath;
    if (!path.empty() && path.back() != '/') path += '/';
    path += databaseName;

    ConnectionLock lock(*registry);
    sqlite3* handle = nullptr;
    // SQLite's memory statistics take one process-wide mutex on every
    // allocation, which would serialise the connections of different afiles
    // (most of the contended waits with 8 threads on 8 afiles). Process-wide:
    // it switches the statistics and the soft heap limit off for the host's
    // own SQLite use too (sqlite3_memory_used and sqlite3_status report
    // nothing), and takes effect only before SQLite is first
    // initialised in the process (afterwards SQLite refuses it, harmlessly).
    static const int memStatusOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    (void)memStatusOff;
    int rc = sqlite3_open_v2(path.c_str(), &handle,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string text = handle != nullptr ? ErrorText(handle) : sqlite3_errstr(rc);
        sqlite3_close(handle);
        return FXErrorUtil::ErrorSQLite(FXLOC, rc, "cannot open [%s]: %s", path.c_str(), text.c_str());
    }
    sqlite3_extended_result_codes(handle, 1);
    // Never enforced: the schema's second foreign-key clause names a table
    // that does not exist and would refuse every extent row.
    char* message = nullptr;
    rc = sqlite3_exec(handle, "PRAGMA foreign_keys = OFF", nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string text = message != nullptr ? message : ErrorText(handle);
        sqlite3_free(message);
        sqlite3_close(handle);
        return FXErrorUtil::ErrorSQLite(FXLOC, rc, "cannot set up [%s]: %s", path.c_str(), text.c_str());
    }
    sqlite3_commit_hook(handle, &ReportCommit, handle);
    sqlite3_set_authorizer(handle, &WatchAttachments, registry.get());
    sqlite3_update_hook(handle, &CountRowChange, registry.get());
    sqlite3_rollback_hook(handle, &CountRollback, registry.get());
    db = handle;
    return CZoError::Success();
}

CZoError CDatabaseBase::CopyCommittedTo(const std::string& path) {
    if (db == nullptr) return NotOpen(FXLOC, databaseName);
    ConnectionLock lock(*registry);
    if (sqlite3_get_autocommit(db) == 0)
        return FXErrorUtil::ErrorSQLite(FXLOC, SQLITE_MISUSE, "cannot copy [%s] while a transaction is open",
                                        databaseName.c_str());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return FXPosixError::FromErrNo(FXLOC, errno, "replace", path);
    sqlite3* copy = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string text;
    if (rc == SQLITE_OK) {
        sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db, "main");
        if (backup == nullptr) {
            rc = sqlite3_errcode(copy);
        } else {
            rc = sqlite3_backup_step(backup, -1);
            const int finished = sqlite3_backup_finish(backup);
            rc = rc == SQLITE_DONE ? finished : rc;
        }
    }
    if (rc != SQLITE_OK) text = copy != nullptr ? ErrorText(copy) : sqlite3_errstr(rc);
    if (sqlite3_close(copy) != SQLITE_OK && rc == SQLITE_OK) {
        rc = SQLITE_ERROR;
        text = "the copy did not close";
    }
    if (rc != SQLITE_OK)
        return FXErrorUtil::ErrorSQLite(FXLOC, rc, "cannot copy [%s] to [%s]: %s", databaseName.c_str(), path.c_str(),
                                        text.c_str());
    return CZoError::Success();
}

CZoError CDatabaseBase::CloseDatabase() {
    if (db == nullptr) return CZoError::Success();
    ConnectionLock lock(*registry);
    // Nothing read before the close is answered from the tables after it.
    registry->EveryTableChanged();
    // sqlite3_close refuses while a statement lives; finalize them all first
    // so the file is really closed when this returns.
    registry->FinalizeAll();
    int rc = sqlite3_close(db);
    if (rc != SQLITE_OK) {
        std::string text = ErrorText(db);
        return FXErrorUtil::ErrorSQLite(FXLOC, rc, "cannot close [%s]: %s", databaseName.c_str(), text.c_str());
    }
    db = nullptr;
    return CZoError::Success();
}

CDatabaseBase::InjectedFault CDatabaseBase::TakeInjectedFault() {
    // Every call asks; a test arms a fault now and then.
    if (!faultArmed.load(std::memory_order_acquire)) return InjectedFault();
    std::lock_guard<RankedMutex> guard(hookLock);
    InjectedFault fault = nextFault;
    nextFault = InjectedFault();
    faultArmed.store(false, std::memory_order_relaxed);
    return fault;
}

void CDatabaseBase::TEST_FailNextCommit(int sqliteCode) {
    std::lock_guard<RankedMutex> guard(hookLock);
    failNextCommitCode = sqliteCode;
}

void CDatabaseBase::TEST_ThrowOnNextCall(int sqliteCode, const char* message, int atRow) {
    // The next read of a table reaches the engine, whatever was read before.
    registry->EveryTableChanged();
    std::lock_guard<RankedMutex> guard(hookLock);
    nextFault.armed = true;
    nextFault.code = sqliteCode;
    nextFault.hasMessage = message != nullptr;
    nextFault.message = message != nullptr ? message : "";
    nextFault.atRow = atRow;
    faultArmed.store(true, std::memory_order_release);
}

CZoError CDatabaseBase::ExecLocked(const FXCodeLocation& at, const std::string& sql, int& rows) {
    return ExecLocked(at, detail::StatementSource(sql), rows);
}

CZoError CDatabaseBase::ExecLocked(const FXCodeLocation& at, const detail::StatementSource& sql, int& rows) {
    if (db == nullptr) return NotOpen(at, databaseName);
    int rc;
    std::string text;
    {
        ConnectionLock lock(*registry);
        RowChangeWatch watch(db, *registry);
        sqlite3_int64 before = sqlite3_total_changes64(db);
        detail::KeptPlace place;
        detail::KeptWithStatement kept;
        sqlite3_stmt* shaped = reuseStatements ? sql.Take(db, *registry, place, kept) : nullptr;
        if (shaped != nullptr) {
            do {
                rc = sqlite3_step(shaped);
            } while (rc == SQLITE_ROW);
            if (rc == SQLITE_DONE) rc = SQLITE_OK;
        } else {
            rc = sqlite3_exec(db, sql.Text().c_str(), nullptr, nullptr, nullptr);
        }
        if (rc == SQLITE_OK) {
            rows = static_cast<int>(sqlite3_total_changes64(db) - before);
        } else {
            rc = sqlite3_extended_errcode(db);
            text = ErrorText(db);
            // It may have undone more than its own changes.
            registry->EveryTableChanged();
        }
        // reset only once the error has been read
        if (shaped != nullptr) detail::PutBack(*registry, place, shaped, kept);
        DropKeptAfterAttachments();
    }
    if (rc != SQLITE_OK)
        return FXErrorUtil::ErrorSQLite(at, rc, "%s (sql=%s)", text.c_str(), SqlForText(sql.Text()).c_str());
    return CZoError::Success();
}

void CDatabaseBase::DropKeptAfterAttachments() {
    if (!registry->attachmentsChanged.exchange(false)) return;
    // Before the drop: a statement taken from now on is not kept.
    registry->attached.store(sqlite3_db_name(db, 2) != nullptr);
    registry->DropKept();
}

CZoError CDatabaseBase::Prepare(const FXCodeLocation& at, const detail::StatementSource& source,
                                boost::shared_ptr<detail::StatementHandle>& handle) {
    if (db == nullptr) return NotOpen(at, databaseName);
    const std::string& sql = source.Text();
    ConnectionLock lock(*registry);
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        const std::string text = ErrorText(db);
        sqlite3_finalize(stmt);
        return FXErrorUtil::ErrorSQLite(at, rc, "%s (sql=%s)", text.c_str(), SqlForText(sql).c_str());
    }
    if (stmt == nullptr) return FXErrorUtil::ErrorSQLite(at, SQLITE_MISUSE, "no statement in (sql=%s)", SqlForText(sql).c_str());
    handle = boost::make_shared<detail::StatementHandle>(registry, stmt);
    return CZoError::Success();
}

CZoError CDatabaseBase::PrepareOrReuse(const FXCodeLocation& at, const detail::StatementSource& sql,
                                       boost::shared_ptr<detail::StatementHandle>& handle) {
    ConnectionLock lock(*registry);
    detail::KeptPlace place;
    detail::KeptWithStatement kept;
    sqlite3_stmt* shaped = db != nullptr && reuseStatements ? sql.Take(db, *registry, place, kept) : nullptr;
    if (shaped == nullptr) return Prepare(at, sql, handle);
    // One per query: its block is recycled.
    handle = boost::allocate_shared<detail::StatementHandle>(RecycledBlock<detail::StatementHandle>(), registry, shaped,
                                                             std::move(place), std::move(kept));
    return CZoError::Success();
}

void CDatabaseBase::TEST_ReuseStatements(bool reuse) { reuseStatements = reuse; }

int CDatabaseBase::WatchTable(const std::string& name) {
    if (registry->watchedTables == detail::StatementRegistry::kMaxWatched) return -1;
    registry->watched[registry->watchedTables].name = name;
    return registry->watchedTables++;
}

uint64_t CDatabaseBase::TableChanges(int table) const {
    if (table < 0 || table >= registry->watchedTables) return 0;
    return registry->watched[table].changes.load();
}

size_t CDatabaseBase::TEST_IdleStatements() {
    ConnectionLock lock(*registry);
    size_t idle = registry->idle.size();
    for (const auto& slot : registry->slots) idle += slot.stmt != nullptr ? 1 : 0;
    return idle;
}

size_t CDatabaseBase::TEST_ShapesCompiled() {
    ConnectionLock lock(*registry);
    return registry->compiled;
}

CZoError CDatabaseBase::CreateTable(const std::string& name, const std::string& columns) {
    int rows = 0;
    CZoError err = ExecLocked(FXLOC, "CREATE TABLE IF NOT EXISTS " + name + " " + columns, rows);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CDatabaseBase::CompileStatement(const std::string& sql, boost::shared_ptr<CSQLite3Statement>& statement) {
    boost::shared_ptr<detail::StatementHandle> handle;
    CZoError err = Prepare(FXLOC, detail::StatementSource(sql), handle);
    if (err.IsError()) return err;
    if (!statement) statement = boost::make_shared<CSQLite3Statement>();
    statement->handle = handle;
    return CZoError::Success();
}

CZoError CDatabaseBase::Execute(const std::string& sql, int& rows) {
    InjectedFault fault = TakeInjectedFault();
    if (fault.armed) throw CSQLite3Exception(fault.code, fault.hasMessage ? fault.message.c_str() : nullptr);
    return ExecLocked(FXLOC, sql, rows);
}

CZoError CDatabaseBase::Execute(const CompiledSql& sql, int& rows) {
    InjectedFault fault = TakeInjectedFault();
    if (fault.armed) throw CSQLite3Exception(fault.code, fault.hasMessage ? fault.message.c_str() : nullptr);
    return ExecLocked(FXLOC, detail::StatementSource(sql), rows);
}

CZoError CDatabaseBase::Query(const std::string& sql, boost::shared_ptr<CSQLite3Query>& query) {
    return RunQuery(FXLOC, detail::StatementSource(sql), query);
}

CZoError CDatabaseBase::Query(const CompiledSql& sql, boost::shared_ptr<CSQLite3Query>& query) {
    return RunQuery(FXLOC, detail::StatementSource(sql), query);
}

CZoError CDatabaseBase::RunQuery(const FXCodeLocation& at, const detail::StatementSource& sql,
                                 boost::shared_ptr<CSQLite3Query>& query) {
    InjectedFault fault = TakeInjectedFault();
    if (fault.armed && fault.atRow < 1)
        throw CSQLite3Exception(fault.code, fault.hasMessage ? fault.message.c_str() : nullptr);
    if (!query) query = boost::make_shared<CSQLite3Query>();
    // The compiling, the first step and the release of a failed statement in
    // one hold.
    ConnectionLock lock(*registry);
    query->Finalize();

    boost::shared_ptr<detail::StatementHandle> handle;
    CZoError err = PrepareOrReuse(at, sql, handle);
    if (err.IsError()) return err;
    RowChangeWatch watch(db, *registry);
    const int rc = sqlite3_step(handle->stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        const std::string text = ErrorText(db);
        registry->EveryTableChanged();
        DropKeptAfterAttachments();
        return FXErrorUtil::ErrorSQLite(at, rc, "%s (sql=%s)", text.c_str(), SqlForText(sql.Text()).c_str());
    }
    DropKeptAfterAttachments();
    query->handle = handle;
    query->eof = rc == SQLITE_DONE;
    if (fault.armed) {
        query->faultAtRow = fault.atRow;
        query->faultCode = fault.code;
        query->faultHasMessage = fault.hasMessage;
        query->faultMessage = fault.message;
    }
    return CZoError::Success();
}

CZoError CDatabaseBase::QueryScalar(const std::string& sql, long& value, long defaultValue) {
    InjectedFault fault = TakeInjectedFault();
    if (fault.armed) throw CSQLite3Exception(fault.code, fault.hasMessage ? fault.message.c_str() : nullptr);

    ConnectionLock lock(*registry);
    boost::shared_ptr<detail::StatementHandle> handle;
    const detail::StatementSource source(sql);
    CZoError err = PrepareOrReuse(FXLOC, source, handle);
    if (err.IsError()) return err;
    int rc;
    std::string text;
    long result = defaultValue;
    rc = sqlite3_step(handle->stmt);
    if (rc == SQLITE_ROW) {
        if (sqlite3_column_count(handle->stmt) > 0 && sqlite3_column_type(handle->stmt, 0) != SQLITE_NULL)
            result = static_cast<long>(sqlite3_column_int64(handle->stmt, 0));
    } else if (rc != SQLITE_DONE) {
        text = ErrorText(db);
        registry->EveryTableChanged();
    }
    DropKeptAfterAttachments();
    handle.reset();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return FXErrorUtil::ErrorSQLite(FXLOC, rc, "%s (sql=%s)", text.c_str(), SqlForText(sql).c_str());
    value = result;
    return CZoError::Success();
}

CZoError CDatabaseBase::BeginTransaction() {
    if (db == nullptr) return NotOpen(FXLOC, databaseName);
    // The test and the BEGIN in one hold of the connection:
    // no other thread can open or close a transaction in between.
    ConnectionLock lock(*registry);
    if (sqlite3_get_autocommit(db) == 0) return CZoError::Success();
    int rows = 0;
    CZoError err = ExecLocked(FXLOC, "BEGIN", rows);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CDatabaseBase::CommitTransaction() {
    if (db == nullptr) return NotOpen(FXLOC, databaseName);
    ConnectionLock lock(*registry);
    if (sqlite3_get_autocommit(db) != 0) return CZoError::Success();
    int injected;
    {
        std::lock_guard<RankedMutex> guard(hookLock);
        injected = failNextCommitCode;
        failNextCommitCode = 0;
    }
    if (injected != 0)
        return FXErrorUtil::ErrorSQLite(FXLOC, injected, "cannot commit transaction (injected failure)");
    int rows = 0;
    CZoError err = ExecLocked(FXLOC, "COMMIT", rows);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CDatabaseBase::RollbackTransaction() {
    if (db == nullptr) return NotOpen(FXLOC, databaseName);
    ConnectionLock lock(*registry);
    if (sqlite3_get_autocommit(db) != 0) return CZoError::Success();
    int rows = 0;
    CZoError err = ExecLocked(FXLOC, "ROLLBACK", rows);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

bool CDatabaseBase::InTransaction() {
    if (db == nullptr) return false;
    ConnectionLock lock(*registry);
    return sqlite3_get_autocommit(db) == 0;
}

std::string CDatabaseBase::EscapeText(const std::string& text) {
    if (text.find('\'') == std::string::npos) return text;
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

CDatabaseWithStorage::CDatabaseWithStorage(int) {}

CDatabaseWithStorage::~CDatabaseWithStorage() = default;

CZoError CDatabaseWithStorage::CreateStorageTables() {
    sqlite3* db = Handle();
    if (db == nullptr) return NotOpen(FXLOC, GetDatabaseName());
    sqlite3_stmt* stmt = nullptr;
    int rc;
    std::string text;
    {
        ConnectionHold hold(*this);
        // Compiling reads the schema from page 1: a file that is not a
        // database is recognised here, and nothing is written to it.
        rc = sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM sqlite_master", -1, &stmt, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
        }
        if (rc != SQLITE_OK) text = ErrorText(db);
        sqlite3_finalize(stmt);
    }
    if (rc == SQLITE_NOTADB)
        return FXErrorUtil::ErrorWin32(FXLOC, 26, "[%s] %s", GetDatabaseName().c_str(), text.c_str());
    if (rc != SQLITE_OK) return FXErrorUtil::ErrorSQLite(FXLOC, rc, "%s", text.c_str());
    return CZoError::Success();
}

}  // namespace FX
