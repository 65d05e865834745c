#include "bench/Baselines.h"
#include "metadb/SqLiteDB.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The library's row statements, word for word, with parameters where the
// library formats its values into the text.
const std::string kExtentRow =
    "(AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, Signature, ExtentID, VMGUID, DiskID, JobID, "
    "InsertionTime, Flags, ValidityGUID, Reserved1, Reserved2) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const std::string kVMRow =
    " (GUID, BackupJobID, LastReferenceTime, ValidityGUID, AfileID, TessarelID, CopyID) VALUES (?, ?, ?, ?, ?, ?, ?)";
const char* const kSelectExtent =
    "SELECT * FROM Extents WHERE AfileID=? AND AfileOffset=? AND TessarelID=? AND CopyID = ? ";
const char* const kSelectExtentWithFlags =
    "SELECT * FROM Extents WHERE AfileID=? AND AfileOffset=? AND TessarelID=? AND CopyID = ? AND Flags = ?";
const char* const kSelectVM = "SELECT * FROM VMs WHERE TessarelID=? AND AfileID=? AND CopyID = ?";

// Column positions in the rows of SELECT *.
const int kExtentLocationColumn = 4;
const int kExtentValidityColumn = 12;
const int kVMValidityColumn = 3;
const int kFullExtentFlags = 1;

// The afile database in `folder`, created by the library's own code, so the
// schema is the library's to the letter.
std::string LibraryDatabase(const std::string& folder) {
    CSQLiteDB schema;
    CZoError err = schema.Initialize("afile_cache", folder);
    if (err.IsError()) throw std::runtime_error("cannot create the afile database: " + err.AsString());
    return folder + "/afile_cache.db";
}

std::string Text(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace

TimedTransactionDB::TimedTransactionDB(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open " + path);
    lastCommit = std::chrono::steady_clock::now();
}

TimedTransactionDB::~TimedTransactionDB() {
    Commit();
    sqlite3_close_v2(handle);
}

void TimedTransactionDB::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(handle, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "?";
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

sqlite3_stmt* TimedTransactionDB::Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(handle, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(handle));
    return stmt;
}

void TimedTransactionDB::MaybeCommit() {
    if (!open) {
        Exec("BEGIN");
        open = true;
        return;
    }
    if (std::chrono::steady_clock::now() - lastCommit > std::chrono::seconds(30)) Commit();
}

void TimedTransactionDB::Commit() {
    if (open) Exec("COMMIT");
    open = false;
    lastCommit = std::chrono::steady_clock::now();
}

RawStore::RawStore(const std::string& folder) : folder(folder), db(folder + "/raw.db") {
    db.Exec("CREATE TABLE IF NOT EXISTS Extents(AfileID BIGINT, AfileOffset BIGINT, FileOffset BIGINT, "
            "Length BIGINT, PRIMARY KEY(AfileID, AfileOffset))");
    insert = db.Prepare("INSERT OR REPLACE INTO Extents VALUES(?,?,?,?)");
    select = db.Prepare("SELECT FileOffset, Length FROM Extents WHERE AfileID=? AND AfileOffset=?");
}

RawStore::~RawStore() {
    sqlite3_finalize(insert);
    sqlite3_finalize(select);
    for (auto& f : files) close(f.second);
}

int RawStore::FileFor(long long afileId) {
    for (size_t i = 0; i < files.size(); ++i)
        if (files[i].first == afileId) return static_cast<int>(i);
    std::string path = folder + "/" + std::to_string(afileId) + ".raw";
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    files.emplace_back(afileId, fd);
    ends.push_back(lseek(fd, 0, SEEK_END));
    return static_cast<int>(files.size() - 1);
}

bool RawStore::Write(const ExtentKey& key, const char* data, size_t size) {
    int i = FileFor(key.afileId);
    long long at = ends[i];
    ends[i] += static_cast<long long>(size);
    if (pwrite(files[i].second, data, size, at) != static_cast<ssize_t>(size)) return false;
    db.MaybeCommit();
    sqlite3_bind_int64(insert, 1, key.afileId);
    sqlite3_bind_int64(insert, 2, key.offset);
    sqlite3_bind_int64(insert, 3, at);
    sqlite3_bind_int64(insert, 4, static_cast<long long>(size));
    bool ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    return ok;
}

bool RawStore::Read(const ExtentKey& key, const char*& data, size_t& size) {
    sqlite3_bind_int64(select, 1, key.afileId);
    sqlite3_bind_int64(select, 2, key.offset);
    bool found = sqlite3_step(select) == SQLITE_ROW;
    long long at = found ? sqlite3_column_int64(select, 0) : 0;
    long long length = found ? sqlite3_column_int64(select, 1) : 0;
    sqlite3_reset(select);
    if (!found) return false;
    buffer.resize(static_cast<size_t>(length));
    int i = FileFor(key.afileId);
    data = buffer.data();
    size = buffer.size();
    return pread(files[i].second, buffer.data(), buffer.size(), at) == static_cast<ssize_t>(length);
}

bool RawStore::Contains(const ExtentKey& key) {
    sqlite3_bind_int64(select, 1, key.afileId);
    sqlite3_bind_int64(select, 2, key.offset);
    bool found = sqlite3_step(select) == SQLITE_ROW;
    sqlite3_reset(select);
    return found;
}

BlobStore::BlobStore(const std::string& folder) : db(folder + "/blob.db") {
    db.Exec("CREATE TABLE IF NOT EXISTS Extents(AfileID BIGINT, AfileOffset BIGINT, Data BLOB, "
            "PRIMARY KEY(AfileID, AfileOffset))");
    insert = db.Prepare("INSERT OR REPLACE INTO Extents VALUES(?,?,?)");
    select = db.Prepare("SELECT Data FROM Extents WHERE AfileID=? AND AfileOffset=?");
}

BlobStore::~BlobStore() {
    sqlite3_finalize(insert);
    sqlite3_finalize(select);
}

bool BlobStore::Write(const ExtentKey& key, const char* data, size_t size) {
    db.MaybeCommit();
    sqlite3_bind_int64(insert, 1, key.afileId);
    sqlite3_bind_int64(insert, 2, key.offset);
    sqlite3_bind_blob(insert, 3, data, static_cast<int>(size), SQLITE_STATIC);
    bool ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    return ok;
}

bool BlobStore::Read(const ExtentKey& key, const char*& data, size_t& size) {
    sqlite3_bind_int64(select, 1, key.afileId);
    sqlite3_bind_int64(select, 2, key.offset);
    bool found = sqlite3_step(select) == SQLITE_ROW;
    if (found) {
        const char* p = static_cast<const char*>(sqlite3_column_blob(select, 0));
        buffer.assign(p, p + sqlite3_column_bytes(select, 0));
        data = buffer.data();
        size = buffer.size();
    }
    sqlite3_reset(select);
    return found;
}

bool BlobStore::Contains(const ExtentKey& key) {
    sqlite3_bind_int64(select, 1, key.afileId);
    sqlite3_bind_int64(select, 2, key.offset);
    bool found = sqlite3_step(select) == SQLITE_ROW;
    sqlite3_reset(select);
    return found;
}

FloorStore::FloorStore(const std::string& folder, bool withCopy)
    : folder(folder), withCopy(withCopy), db(LibraryDatabase(folder)) {
    // As the library's connections have them.
    db.Exec("PRAGMA foreign_keys = OFF");
    db.Exec("PRAGMA read_uncommitted = true");
    selectExtent = db.Prepare(kSelectExtent);
    selectExtentWithFlags = db.Prepare(kSelectExtentWithFlags);
    selectVM = db.Prepare(kSelectVM);
    insertVM = db.Prepare(("INSERT INTO VMs" + kVMRow).c_str());
    replaceVM = db.Prepare(("INSERT OR REPLACE INTO VMs" + kVMRow).c_str());
    insertExtent = db.Prepare(("INSERT INTO Extents " + kExtentRow).c_str());
    replaceExtent = db.Prepare(("INSERT OR REPLACE INTO Extents " + kExtentRow).c_str());
}

FloorStore::~FloorStore() {
    for (sqlite3_stmt* stmt :
         {selectExtent, selectExtentWithFlags, selectVM, insertVM, replaceVM, insertExtent, replaceExtent})
        sqlite3_finalize(stmt);
    for (auto& f : files) close(f.fd);
}

FloorStore::FlatFile& FloorStore::FileFor(long long afileId) {
    for (auto& f : files)
        if (f.afileId == afileId) return f;
    std::string name = std::to_string(afileId) + ".flat";
    std::string path = folder + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    files.push_back({afileId, fd, lseek(fd, 0, SEEK_END), path, name});
    return files.back();
}

bool FloorStore::StepKey(sqlite3_stmt* stmt, const ExtentKey& key, bool withFlags) {
    sqlite3_bind_int64(stmt, 1, key.afileId);
    sqlite3_bind_int64(stmt, 2, key.offset);
    sqlite3_bind_int(stmt, 3, static_cast<int>(kBenchTessarel));
    sqlite3_bind_int(stmt, 4, static_cast<int>(kBenchCopy));
    if (withFlags) sqlite3_bind_int(stmt, 5, kFullExtentFlags);
    return sqlite3_step(stmt) == SQLITE_ROW;
}

bool FloorStore::ReadVM(long long afileId, std::string& guid) {
    sqlite3_bind_int(selectVM, 1, static_cast<int>(kBenchTessarel));
    sqlite3_bind_int64(selectVM, 2, afileId);
    sqlite3_bind_int(selectVM, 3, static_cast<int>(kBenchCopy));
    bool found = sqlite3_step(selectVM) == SQLITE_ROW;
    if (found) guid = Text(selectVM, kVMValidityColumn);
    sqlite3_reset(selectVM);
    return found;
}

bool FloorStore::WriteVM(sqlite3_stmt* stmt, long long afileId, const std::string& guid) {
    sqlite3_bind_text(stmt, 1, "", 0, SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 2, kBenchJob);
    sqlite3_bind_int64(stmt, 3, static_cast<long long>(time(nullptr)));
    sqlite3_bind_text(stmt, 4, guid.data(), static_cast<int>(guid.size()), SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 5, afileId);
    sqlite3_bind_int(stmt, 6, static_cast<int>(kBenchTessarel));
    sqlite3_bind_int(stmt, 7, static_cast<int>(kBenchCopy));
    bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return ok;
}

bool FloorStore::WriteExtent(sqlite3_stmt* stmt, const ExtentKey& key, const char* location,
                             const std::string& guid) {
    sqlite3_bind_int64(stmt, 1, key.afileId);
    sqlite3_bind_int64(stmt, 2, key.offset);
    sqlite3_bind_int(stmt, 3, static_cast<int>(kBenchTessarel));
    sqlite3_bind_int(stmt, 4, static_cast<int>(kBenchCopy));
    sqlite3_bind_text(stmt, 5, location, -1, SQLITE_STATIC);
    for (int empty : {6, 8, 9, 14}) sqlite3_bind_text(stmt, empty, "", 0, SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 7, 0);
    sqlite3_bind_int64(stmt, 10, kBenchJob);
    sqlite3_bind_int64(stmt, 11, static_cast<long long>(time(nullptr)));
    sqlite3_bind_int(stmt, 12, kFullExtentFlags);
    sqlite3_bind_text(stmt, 13, guid.data(), static_cast<int>(guid.size()), SQLITE_STATIC);
    sqlite3_bind_int(stmt, 15, 0);
    bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return ok;
}

bool FloorStore::Write(const ExtentKey& key, const char* data, size_t size) {
    db.MaybeCommit();
    // Admission: no row yet, the VM row read and stamped, the row without a location.
    bool found = StepKey(selectExtent, key, false);
    sqlite3_reset(selectExtent);
    if (found) return false;  // the bench writes every extent once
    if (!ReadVM(key.afileId, vmGUID)) {
        char guid[40];
        snprintf(guid, sizeof guid, "%08llx-0000-4000-8000-000000000000", key.afileId);
        vmGUID = guid;
        if (!WriteVM(insertVM, key.afileId, vmGUID)) return false;
    }
    if (!WriteVM(replaceVM, key.afileId, vmGUID) || !WriteExtent(insertExtent, key, "", std::string()))
        return false;
    const char* bytes = data;
    if (withCopy) {
        item.assign(data, data + size);
        bytes = item.data();
    }
    // Close: the region, then the row re-read, the VM re-read and the location recorded.
    FlatFile& f = FileFor(key.afileId);
    struct stat st;
    if (stat(f.path.c_str(), &st) != 0) return false;
    long long at = f.end;
    f.end += static_cast<long long>(size);
    if (withCopy && ftruncate(f.fd, f.end) != 0) return false;
    if (pwrite(f.fd, bytes, size, at) != static_cast<ssize_t>(size)) return false;
    found = StepKey(selectExtentWithFlags, key, true);
    bool located = found && sqlite3_column_bytes(selectExtentWithFlags, kExtentLocationColumn) > 0;
    sqlite3_reset(selectExtentWithFlags);
    if (!found || located || !ReadVM(key.afileId, vmGUID)) return false;
    char text[256];
    snprintf(text, sizeof text, "loc:%s:%lld:%zu", f.name.c_str(), at, size);
    return WriteExtent(replaceExtent, key, text, vmGUID);
}

bool FloorStore::Read(const ExtentKey& key, const char*& data, size_t& size) {
    db.MaybeCommit();
    bool found = StepKey(selectExtentWithFlags, key, true);
    if (found) {
        location = Text(selectExtentWithFlags, kExtentLocationColumn);
        rowGUID = Text(selectExtentWithFlags, kExtentValidityColumn);
    }
    sqlite3_reset(selectExtentWithFlags);
    if (!found || location.empty()) return false;
    if (!ReadVM(key.afileId, vmGUID) || strcasecmp(rowGUID.c_str(), vmGUID.c_str()) != 0) return false;
    if (!WriteVM(replaceVM, key.afileId, vmGUID)) return false;
    size_t lengthAt = location.rfind(':');
    size_t offsetAt = lengthAt == std::string::npos || lengthAt == 0 ? std::string::npos
                                                                     : location.rfind(':', lengthAt - 1);
    if (offsetAt == std::string::npos) return false;
    long long at = strtoll(location.c_str() + offsetAt + 1, nullptr, 10);
    long long length = strtoll(location.c_str() + lengthAt + 1, nullptr, 10);
    FlatFile& f = FileFor(key.afileId);
    struct stat st;
    if (stat(f.path.c_str(), &st) != 0) return false;
    buffer.resize(static_cast<size_t>(length));
    data = buffer.data();
    size = buffer.size();
    return pread(f.fd, buffer.data(), buffer.size(), at) == static_cast<ssize_t>(length);
}

bool FloorStore::Contains(const ExtentKey& key) {
    db.MaybeCommit();
    bool found = StepKey(selectExtent, key, false);
    sqlite3_reset(selectExtent);
    return found;
}
