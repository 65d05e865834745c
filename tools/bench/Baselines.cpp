#include "bench/Baselines.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

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
    if (sqlite3_prepare_v2(handle, sql, -1, &stmt, nullptr) != SQLITE_OK)
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
