#pragma once
// Shared by the pruning tests: a cache location (local, or behind the
// loopback data server) with its Cache, top-level CacheDB and a pruner that
// is not started, the clock frozen at the present, and helpers that put a VM
// job's database and flat file in place and age its database file.

#include "metadb/CacheDBTestSupport.h"
#include "platform/ArMgrClientAPI.h"
#include "platform/FXErrorUtil.h"
#include "platform/XKTessaRel.h"
#include "pruning/CachePruner.h"
#include "store/CacheTestSupport.h"

#include <boost/make_shared.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <list>
#include <string>

namespace pruning_test {

constexpr const char* kKey = "VirtualServer";
constexpr unsigned kCell = 2;
constexpr unsigned kCopy = 1;
constexpr long long kDay = 86400;

// Sets a file's modification (and access) time.
inline bool SetModificationTime(const std::string& path, long long unixSeconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

inline bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The parent folder of a path.
inline std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

class PruningLocation {
public:
    explicit PruningLocation(bool remote = false, const std::string& locationName = "loc")
        : db(remote, locationName) {
        ArMgrClientAPI::TEST_ResetAll();
        XKTessaRel::TEST_ResetAll();
        now = static_cast<long long>(::time(nullptr));
        SystemClock::TEST_Freeze(now);
        cache = MakeCache(db.location);
        db.Open();
    }
    ~PruningLocation() {
        pruner.reset();
        db.top.reset();
        cache.reset();
        ArMgrClientAPI::TEST_ResetAll();
        XKTessaRel::TEST_ResetAll();
    }
    PruningLocation(const PruningLocation&) = delete;
    PruningLocation& operator=(const PruningLocation&) = delete;

    CachePrunerPtr MakePruner() {
        pruner = boost::make_shared<CachePruner>(cache, db.top);
        pruner->Configure();
        return pruner;
    }

    static VM Job(long long afile) { return VM(kCell, kCopy, afile, "vm-guid", 0, 0, std::string()); }

    // A VM job of the afile as a host leaves it: a database with its VM row
    // and one extent row, written back to the location, and a flat file
    // holding the bytes. The database file's time is then set to `age`
    // seconds before now.
    void AddJob(long long afile, long long age, const std::string& bytes = Payload(4096, 1)) {
        VM vm(kCell, kCopy, afile, "vm-guid", 7, now, "validity");
        ASSERT_FALSE(db.top->InsertVM(vm).IsError());
        Extent extent = TestExtent(afile, 0, kCell, kCopy);
        ASSERT_FALSE(db.top->AddExtent(extent).IsError());
        ReleaseContainer(afile);
        ASSERT_TRUE(Exists(DBFile(afile)));
        MakeFolders(DataFolder(afile));
        WriteWholeFile(FlatFile(afile), bytes);
        Age(afile, age);
    }
    void Age(long long afile, long long age) { ASSERT_TRUE(SetModificationTime(DBFile(afile), now - age)); }
    // Drops the afile's container from the map: destroyed (written back and
    // unlocked) when nothing else holds it.
    void ReleaseContainer(long long afile) {
        ASSERT_FALSE(db.top->ReleaseResources(std::list<VM>(1, Job(afile))).IsError());
    }

    // Paths on the local disk (for a remote location, of the served folder).
    std::string DataRoot() const { return db.location.Local("DATA"); }
    std::string FlatFile(long long afile) const { return FlatFileOf(DataRoot(), afile, kCell, kCopy); }
    std::string DataFolder(long long afile) const { return Parent(FlatFile(afile)); }
    std::string DataBucket(long long afile) const { return Parent(DataFolder(afile)); }
    std::string PrunedFile(long long afile) const {
        std::string flat = FlatFile(afile);
        return DataFolder(afile) + "/pruned." + flat.substr(flat.rfind('/') + 1);
    }
    std::string DBFolder(long long afile) const { return db.LocalAfileFolder(afile, kCell, kCopy); }
    std::string DBBucket(long long afile) const { return Parent(DBFolder(afile)); }
    std::string DBFile(long long afile) const { return DBFolder(afile) + "/afile_cache.db"; }
    std::string LockFile(long long afile) const { return DBFolder(afile) + "/lockfile"; }

    // Nothing of the afile copy is left but its two bucket folders.
    void ExpectPruned(long long afile) {
        EXPECT_FALSE(Exists(DataFolder(afile))) << DataFolder(afile);
        EXPECT_FALSE(Exists(DBFolder(afile))) << DBFolder(afile);
        EXPECT_TRUE(IsFolder(DataBucket(afile)));
        EXPECT_TRUE(IsFolder(DBBucket(afile)));
    }
    // The afile copy is as AddJob left it.
    void ExpectUntouched(long long afile, const std::string& bytes = Payload(4096, 1)) {
        EXPECT_TRUE(Exists(DBFile(afile)));
        EXPECT_EQ(CountRows(DBFile(afile), "Extents"), 1);
        EXPECT_EQ(ReadWholeFile(FlatFile(afile)), bytes);
        EXPECT_FALSE(Exists(PrunedFile(afile)));
    }

    CacheDBFixture db;
    long long now = 0;
    CachePtr cache;
    CachePrunerPtr pruner;
};

}  // namespace pruning_test
