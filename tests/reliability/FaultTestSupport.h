#pragma once
// Shared by the fault, bad-input and flush-order tests: a started service
// whose afiles live in the local cache folder or behind the loopback data
// server, helpers that write and read extents through the facade and find
// the files the library keeps for them, a recorder of the durability trace,
// and a snapshot of folder trees that must stay untouched.

#include "LiveBrowseCache.h"
#include "VM.h"
#include "metadb/CacheDB.h"
#include "platform/DurabilityTrace.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/LoopbackFS.h"
#include "platform/SystemClock.h"
#include "platform/XKMMmountPath.h"
#include "pruning/CachePruner.h"
#include "service/LiveBrowseCacheImpl.h"
#include "store/Cache.h"
#include "store/CacheFileIO.h"
#include "store/CacheLookup.h"
#include "support/LockProbes.h"
#include "support/Payloads.h"
#include "support/ServiceFixture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace faults {

constexpr const char* kRemoteHost = "h14-loopback";

// One statement on a database file through SQLite itself; false on failure.
inline bool ExecSql(const std::string& dbFile, const std::string& sql, std::string* why = nullptr) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    char* message = nullptr;
    if (ok) ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    if (!ok && why != nullptr) *why = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    sqlite3_close(db);
    return ok;
}

// The first column of every row of a query, as text; read-only, so only
// committed rows are seen.
inline std::vector<std::string> QueryColumn(const std::string& dbFile, const std::string& sql) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(stmt, 0);
                out.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

inline long long FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Every entry below a folder (the folder itself included): kind, size, time
// of the last change and, for files, the bytes. Equal snapshots mean nothing
// was created, changed or deleted there.
class TreeSnapshot {
public:
    explicit TreeSnapshot(const std::string& root) { Walk(root); }
    bool operator==(const TreeSnapshot& other) const { return entries == other.entries; }
    // The entries that differ, for the failure message.
    std::string Difference(const TreeSnapshot& other) const {
        std::string out;
        for (const auto& e : entries) {
            auto it = other.entries.find(e.first);
            if (it == other.entries.end())
                out += "gone: " + e.first + "\n";
            else if (it->second != e.second)
                out += "changed: " + e.first + "\n";
        }
        for (const auto& e : other.entries)
            if (entries.find(e.first) == entries.end()) out += "new: " + e.first + "\n";
        return out;
    }

private:
    void Walk(const std::string& path) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return;
        std::string facts = std::to_string(st.st_mode) + "/" + std::to_string(st.st_size) + "/" +
                            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) facts += "/" + ReadWholeFile(path);
        entries[path] = facts;
        if (!S_ISDIR(st.st_mode)) return;
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr) return;
        std::vector<std::string> names;
        while (dirent* d = ::readdir(dir)) {
            std::string name = d->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        for (const std::string& name : names) Walk(path + "/" + name);
    }

    std::map<std::string, std::string> entries;
};

// The durability trace of the library as it happens, with marks of the test's own.
class TraceRecorder {
public:
    enum Kind { FLUSHED, MOVED, COMMITTED, MARK };
    struct Event {
        Kind kind;
        std::string path;
    };

    TraceRecorder() {
        DurabilityTrace::TEST_SetObserver([this](DurabilityTrace::Step step, const std::string& path) {
            Kind kind = step == DurabilityTrace::FLUSHED ? FLUSHED : step == DurabilityTrace::MOVED ? MOVED : COMMITTED;
            std::lock_guard<std::mutex> guard(lock);
            events.push_back(Event{kind, path});
        });
    }
    ~TraceRecorder() { DurabilityTrace::TEST_SetObserver(DurabilityTrace::Observer()); }
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    void Mark(const std::string& label) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(Event{MARK, label});
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock);
        events.clear();
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
    // Index of the first event of that kind whose path ends with `suffix`, at
    // or after `from`; -1 when none.
    int Find(Kind kind, const std::string& suffix, int from = 0) {
        std::vector<Event> all = Events();
        for (size_t i = static_cast<size_t>(std::max(from, 0)); i < all.size(); ++i)
            if (all[i].kind == kind && EndsWith(all[i].path, suffix)) return static_cast<int>(i);
        return -1;
    }
    int Count(Kind kind, const std::string& suffix) {
        int n = 0;
        for (const Event& e : Events())
            if (e.kind == kind && EndsWith(e.path, suffix)) ++n;
        return n;
    }
    std::string AsText() {
        static const char* names[] = {"flushed", "moved", "committed", "mark"};
        std::string out;
        for (const Event& e : Events()) out += std::string(names[e.kind]) + " " + e.path + "\n";
        return out;
    }

    static bool EndsWith(const std::string& text, const std::string& suffix) {
        return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    }

private:
    std::mutex lock;
    // guarded by lock
    std::vector<Event> events;
};

// A started service, the clock frozen, logs captured. An afile given to
// UseRemote is cached behind the loopback data server (served from
// temp/served/vol); every other afile in the local cache folder.
class FaultFixture : public StartedServiceFixture {
protected:
    void BeforeStart() override {
        LoopbackFS::TEST_Reset();
        FXFile::TEST_FailNextWrites(0, 0);
        FXFile::TEST_FailNextFlushes(0, 0);
        FXFile::TEST_FailNextOpens(0, 0);
        FXFile::TEST_FailNextTimeChanges(0, 0);
    }
    void TearDown() override {
        FXFile::TEST_FailNextWrites(0, 0);
        FXFile::TEST_FailNextFlushes(0, 0);
        FXFile::TEST_FailNextOpens(0, 0);
        FXFile::TEST_FailNextTimeChanges(0, 0);
        StartedServiceFixture::TearDown();
        LoopbackFS::TEST_Reset();
    }

    // The afile's cache location is the loopback data server's folder.
    void UseRemote(long long afile) {
        ::mkdir(Served().c_str(), 0755);
        ::mkdir((Served() + "/vol").c_str(), 0755);
        LoopbackFS::TEST_ServeHost(kRemoteHost, Served());
        MediaManager::MountPathInfo mountPath;
        mountPath.setMMPathId(7);
        mountPath.setPath(std::string("IP|10|20|") + kRemoteHost + "|30|/vol");
        XKMMmountPath::TEST_Answer answer;
        answer.mountPaths.push_back(mountPath);
        XKMMmountPath::TEST_SetAnswer(afile, kCopy, answer);
    }
    std::string Served() const { return temp.sub("served"); }

    // A read must give exactly the expected bytes.
    void ExpectReads(long long afile, long long offset, const std::string& bytes) {
        CZoError err;
        std::string got = ReadExtent(afile, offset, err);
        EXPECT_FALSE(err.IsError()) << "afile " << afile << " offset " << offset << ": " << err.AsString();
        EXPECT_TRUE(got == bytes) << "afile " << afile << " offset " << offset << ": " << got.size()
                                  << " bytes, not the " << bytes.size() << " written";
    }

    // A read must fail; it never hands out bytes.
    CZoError ExpectNoRead(long long afile, long long offset) {
        CZoError err;
        std::string got = ReadExtent(afile, offset, err);
        EXPECT_TRUE(err.IsError()) << "afile " << afile << " offset " << offset << " served " << got.size()
                                   << " bytes";
        return err;
    }

    // Whether the extent has a row (recorded) that names a region (cached).
    void Presence(long long afile, long long offset, bool& cached, bool& recorded) {
        cached = recorded = false;
        CZoError err = lbc->IsExtentInCache(afile, offset, kTessarel, kCopy, cached, recorded);
        EXPECT_FALSE(err.IsError()) << err.AsString();
    }

    static VM Job(long long afile) { return VM(kTessarel, kCopy, afile, std::string(), 0, 0, std::string()); }

    // Drops the afile's container from the map: committed, closed, written
    // back and unlocked when nothing else holds it.
    static void ReleaseContainer(long long afile) {
        CacheDBPtr db = GetDB(afile, kCopy);
        ASSERT_TRUE(db);
        ASSERT_FALSE(db->ReleaseResources(std::list<VM>(1, Job(afile))).IsError());
    }

    // The paths of an afile copy's files as the library names them, and the
    // same on this machine's disk (for a remote afile, in the served folder).
    static std::string FlatFilePath(long long afile) {
        std::string path;
        CachePtr cache = GetCache(afile, kCopy);
        EXPECT_TRUE(cache);
        if (cache) {
            EXPECT_FALSE(cache->GetCacheFilePath(Job(afile), path).IsError());
        }
        return path;
    }
    static std::string DBFilePath(long long afile) {
        std::string path;
        CacheDBPtr db = GetDB(afile, kCopy);
        EXPECT_TRUE(db);
        if (db) {
            EXPECT_FALSE(db->GetCacheDBFilePath(Job(afile), path).IsError());
        }
        return path;
    }
    std::string Local(const std::string& path) const {
        return path.find('|') == std::string::npos ? path : Served() + CCacheFileIO::ConvertPath(path);
    }
    std::string LocalFlatFile(long long afile) const { return Local(FlatFilePath(afile)); }
    std::string LocalDBFile(long long afile) const { return Local(DBFilePath(afile)); }
    std::string LocalLockFile(long long afile) const {
        std::string db = LocalDBFile(afile);
        return db.substr(0, db.rfind('/')) + "/lockfile";
    }

    // The pruner of the afile's cache location, ticked once on its own thread.
    static void TickPruner(long long afile) {
        CachePtr cache;
        CacheDBPtr db;
        CachePrunerPtr pruner;
        CZoError err = Impl()->GetConfiguredCache(afile, kCopy, cache, db, pruner);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        ASSERT_TRUE(pruner);
        ASSERT_TRUE(pruner->TEST_TickNow(true));
    }
};

}  // namespace faults
