#pragma once
// What a user would otherwise build, measured beside the library in the same
// run: raw appends with a SQLite index, and a SQLite blob store. Both keep one
// transaction open and commit it every 30 s, like the library's containers.

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct ExtentKey {
    long long afileId;
    long long offset;
};

class BenchStore {
public:
    virtual ~BenchStore() = default;
    virtual const char* Name() const = 0;
    virtual bool Write(const ExtentKey& key, const char* data, size_t size) = 0;
    // Points `data` at the extent's bytes, read into the store's own buffer
    // (valid until its next read); false when absent. No store pays for a
    // copy the others do not make.
    virtual bool Read(const ExtentKey& key, const char*& data, size_t& size) = 0;
    virtual bool Contains(const ExtentKey& key) = 0;
    virtual void Flush() = 0;
};

// One SQLite connection with a transaction committed every 30 s.
class TimedTransactionDB {
public:
    explicit TimedTransactionDB(const std::string& path);
    ~TimedTransactionDB();
    TimedTransactionDB(const TimedTransactionDB&) = delete;
    TimedTransactionDB& operator=(const TimedTransactionDB&) = delete;

    sqlite3* db() { return handle; }
    void Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);
    // Commits when 30 s have passed since the last commit.
    void MaybeCommit();
    void Commit();

private:
    sqlite3* handle = nullptr;
    bool open = false;
    std::chrono::steady_clock::time_point lastCommit;
};

// Appends bytes to one file per afile with pwrite and records (offset, length)
// under an indexed key.
class RawStore : public BenchStore {
public:
    explicit RawStore(const std::string& folder);
    ~RawStore() override;
    const char* Name() const override { return "raw"; }
    bool Write(const ExtentKey& key, const char* data, size_t size) override;
    bool Read(const ExtentKey& key, const char*& data, size_t& size) override;
    bool Contains(const ExtentKey& key) override;
    void Flush() override { db.Commit(); }

private:
    int FileFor(long long afileId);

    std::string folder;
    TimedTransactionDB db;
    sqlite3_stmt* insert;
    sqlite3_stmt* select;
    std::vector<std::pair<long long, int>> files;  // afile id -> descriptor
    std::vector<long long> ends;                   // append position of each file
    std::vector<char> buffer;
};

// Keeps the bytes as a BLOB beside the key.
class BlobStore : public BenchStore {
public:
    explicit BlobStore(const std::string& folder);
    ~BlobStore() override;
    const char* Name() const override { return "blob store"; }
    bool Write(const ExtentKey& key, const char* data, size_t size) override;
    bool Read(const ExtentKey& key, const char*& data, size_t& size) override;
    bool Contains(const ExtentKey& key) override;
    void Flush() override { db.Commit(); }

private:
    TimedTransactionDB db;
    sqlite3_stmt* insert;
    sqlite3_stmt* select;
    std::vector<char> buffer;
};
