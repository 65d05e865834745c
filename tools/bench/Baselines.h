#pragma once
// What a user would otherwise build, measured beside the library in the same
// run: raw appends with a SQLite index, and a SQLite blob store; and the
// floor: the statements the library's own road runs for one extent, with
// nothing around them. All keep one transaction open and commit it every 30 s,
// like the library's containers.

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The afile copy and job every store is asked for.
const unsigned kBenchTessarel = 1;
const unsigned kBenchCopy = 1;
const long long kBenchJob = 7;

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
    // Compiled once and kept for the connection's life.
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

// The statements that write admission with Close (7 for a new extent of a
// known VM) and read admission (3) run, on the library's schema, compiled
// once and bound per call, plus one stat of the flat file and the pwrite or
// pread of the bytes: what no store of the same rows and files can go below.
// `withCopy` ("floor+copy") adds what the library's road does besides: the
// Writer's copy of the bytes in memory until Close, and the reservation of the
// region (ftruncate) before they are written.
class FloorStore : public BenchStore {
public:
    FloorStore(const std::string& folder, bool withCopy);
    ~FloorStore() override;
    FloorStore(const FloorStore&) = delete;
    FloorStore& operator=(const FloorStore&) = delete;
    const char* Name() const override { return withCopy ? "floor+copy" : "floor"; }
    bool Write(const ExtentKey& key, const char* data, size_t size) override;
    bool Read(const ExtentKey& key, const char*& data, size_t& size) override;
    bool Contains(const ExtentKey& key) override;
    void Flush() override { db.Commit(); }

private:
    struct FlatFile {
        long long afileId;
        int fd;
        long long end;
        std::string path;
        std::string name;  // as the location names it
    };
    FlatFile& FileFor(long long afileId);
    // Steps a bound SELECT; true when it stands on a row (reset by the caller).
    bool StepKey(sqlite3_stmt* stmt, const ExtentKey& key, bool withFlags);
    // The VM row's validity GUID into `guid`; false when there is no row.
    bool ReadVM(long long afileId, std::string& guid);
    bool WriteVM(sqlite3_stmt* stmt, long long afileId, const std::string& guid);
    bool WriteExtent(sqlite3_stmt* stmt, const ExtentKey& key, const char* location, const std::string& guid);

    // constant after construction
    std::string folder;
    bool withCopy;
    TimedTransactionDB db;
    sqlite3_stmt* selectExtent;           // any Flags: write admission
    sqlite3_stmt* selectExtentWithFlags;  // Close's re-read and read admission
    sqlite3_stmt* selectVM;
    sqlite3_stmt* insertVM;
    sqlite3_stmt* replaceVM;
    sqlite3_stmt* insertExtent;
    sqlite3_stmt* replaceExtent;
    // per call
    std::vector<FlatFile> files;
    std::vector<char> item;    // the Writer's bytes until Close (withCopy)
    std::vector<char> buffer;  // the last read
    std::string vmGUID;
    std::string rowGUID;
    std::string location;
};
