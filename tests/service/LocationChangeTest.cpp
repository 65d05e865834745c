// An afile copy whose cache location changes while the service runs: after
// the daily clear of the afile-to-location map the media manager may name
// another mount path (or fail, so the local cache folder is used), while the
// container at the first location is still open. Each location keeps its own
// rows and bytes.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/PeriodicUtilityThread.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"
#include "pruning/CachePruner.h"

#include <boost/make_shared.hpp>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>

namespace {

class LocationChangeTest : public MainRoadTest {
protected:
    void TearDown() override {
        MainRoadTest::TearDown();
        XKMMmountPath::TEST_ResetAll();
    }

    // The media manager's next answer for the afile copy: the mount path
    // `folder` with the id, or a failure when `folder` is empty.
    static void Answer(long long id, const std::string& folder, long long afile = kAfile) {
        XKMMmountPath::TEST_Answer answer;
        answer.status = folder.empty() ? -1 : 0;
        if (!folder.empty()) {
            MediaManager::MountPathInfo mountPath;
            mountPath.setMMPathId(id);
            mountPath.setPath(folder);
            answer.mountPaths.push_back(mountPath);
        }
        XKMMmountPath::TEST_SetAnswer(afile, kCopy, answer);
    }

    // The daily clear, through the periodic thread and the clock seam.
    void DailyClear() {
        SystemClock::TEST_AdvanceSeconds(86400);
        ASSERT_TRUE(Impl()->TEST_PeriodicThread()->TEST_TickNow(true));
        ASSERT_EQ(0u, Impl()->TEST_AfileMappingCount());
    }

    // The pruner of the location whose top-level database is `db`.
    static CachePrunerPtr PrunerOf(const CacheDBPtr& db) {
        for (const CachePrunerPtr& pruner : Impl()->TEST_Pruners())
            if (pruner->TEST_CacheDB() == db) return pruner;
        return CachePrunerPtr();
    }

    std::string Folder(const std::string& name) const {
        const std::string path = temp.sub(name);
        ::mkdir(path.c_str(), 0755);
        return path;
    }
};

}  // namespace

TEST_F(LocationChangeTest, EachLocationOfAnAfileCopyKeepsItsOwnRowsAndBytes) {
    const struct {
        const char* name;
        bool secondIsLocal;  // the media manager fails the second time
    } cases[] = {{"another mount path", false}, {"media manager fails", true}};
    long long next = 0;
    long long id = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = Folder(std::string("P-") + c.name[0]);
        const std::string q = Folder(std::string("Q-") + c.name[0]);
        const long long first = 0 + next;
        const long long second = 4096 + next;
        next += 65536;
        const long long idP = id++;
        const long long idQ = id++;
        const std::string a = Payload(100, 1);
        const std::string b = Payload(100, 2);

        Answer(idP, p);
        ASSERT_FALSE(WriteExtent(kAfile, first, a).IsError());
        CacheDBPtr atP = DB();
        ASSERT_EQ(p + "/DB", atP->GetCacheDBFolderPath());

        DailyClear();
        Answer(idQ, c.secondIsLocal ? std::string() : q);
        ASSERT_FALSE(WriteExtent(kAfile, second, b).IsError());
        CacheDBPtr atSecond = DB();
        ASSERT_NE(atP, atSecond);

        // P's container goes while the second location's is still open.
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, atP->TEST_ContainerCount());

        CZoError err;
        EXPECT_EQ(b, ReadExtent(kAfile, second, err)) << err.AsString();
        err = CZoError();
        EXPECT_EQ("", ReadExtent(kAfile, first, err));
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();

        DailyClear();
        Answer(idP, p);
        EXPECT_EQ(a, ReadExtent(kAfile, first, err)) << err.AsString();
        err = CZoError();
        EXPECT_EQ("", ReadExtent(kAfile, second, err));
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();

        // Both written back as they are: each location's database holds its own row only.
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_FALSE(atSecond->ReleaseIdleResources().IsError());
        EXPECT_EQ(0u, CountContaining("not written back"));
        DailyClear();
        Answer(idP, p);
        EXPECT_EQ(a, ReadExtent(kAfile, first, err)) << err.AsString();
        DailyClear();
        Answer(idQ, c.secondIsLocal ? std::string() : q);
        EXPECT_EQ(b, ReadExtent(kAfile, second, err)) << err.AsString();
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_FALSE(atSecond->ReleaseIdleResources().IsError());
        DailyClear();
    }
}

// The afile copy moved from P to Q; P's pruner then prunes the copy it still
// holds while a Writer at Q closes. The mark of the pruning covers P only and
// ends with the pruner's write/prune lock: the Writer at Q records its row.
// Inside the window only the pruning thread can reach the lock (it is
// recursive), so the closes there run on it, as the pruner's hook.
TEST_F(LocationChangeTest, AWriterAtTheNewLocationRecordsItsRowWhileTheOldOneIsPruned) {
    const struct {
        const char* name;
        bool held;  // the Writer at Q closes inside the window, not just after it
    } cases[] = {{"inside the pruning window", true}, {"after the window, deletion pending", false}};
    long long afile = kAfile;
    long long id = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++afile;
        const std::string p = Folder(std::string("P-") + c.name[0]);
        const std::string q = Folder(std::string("Q-") + c.name[0]);
        const long long idP = id++;
        const long long idQ = id++;
        const std::string old = Payload(100, 1), fresh = Payload(200, 2), atPToo = Payload(50, 3);

        Answer(idP, p, afile);
        ASSERT_FALSE(WriteExtent(afile, 0, old, 0).IsError());
        CacheDBPtr atP = DB(afile);
        const VM pruned = VMRow(afile);
        CachePrunerPtr pruner = PrunerOf(atP);
        ASSERT_TRUE(pruner);

        DailyClear();
        Answer(idQ, q, afile);
        CLiveBrowseCache::WriterPtr atQ;
        ASSERT_FALSE(lbc->GetWriterObject(afile, 4096, kTessarel, kCopy, kJob, 0, atQ).IsError());
        ASSERT_NE(atP, DB(afile));
        ASSERT_FALSE(atQ->Write(fresh.data(), fresh.size()).IsError());
        // P's container is idle: the pruner can take the afile's lock there.
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, atP->TEST_ContainerCount());

        const size_t skippedBefore = CountContaining("is either being pruned. Do not commit this write to DB.");
        int windows = 0;
        CZoError closed = FXErrorUtil::ErrorInt(FXLOC, 1, "not closed");
        Extent rowAtP(0, 0, 0, 0, 0);
        pruner->TEST_SetPruneWindowHook([&](const VM& vm, bool held) {
            if (vm.AfileID != afile || held != c.held) return;
            ++windows;
            if (!held) {
                closed = std::async(std::launch::async, [&] { return atQ->Close(); }).get();
                return;
            }
            closed = atQ->Close();
            // A Writer of the copy at P itself, inside the window: its bytes
            // go with the pruned folders, so its row stays without a location.
            ExtentPtr extent = boost::make_shared<Extent>(afile, 8192, kTessarel, kCopy, kJob);
            ASSERT_FALSE(atP->AddExtent(*extent).IsError());
            CLiveBrowseCache::Writer writer(extent, [] {}, CacheItemPtr());
            writer.SetCache(pruner->TEST_Cache(), atP);
            ASSERT_FALSE(writer.Open().IsError());
            ASSERT_FALSE(writer.Write(atPToo.data(), atPToo.size()).IsError());
            EXPECT_FALSE(writer.Close().IsError());
            ExtentParam key;
            key.AfileID = afile;
            key.AfileOffset = 8192;
            key.TessarelID = kTessarel;
            key.CopyID = kCopy;
            ASSERT_FALSE(atP->GetExtent(key, rowAtP).IsError());
        });
        long long bytes = 0;
        ASSERT_FALSE(pruner->SubmitVMJobForPruning(pruned, bytes).IsError());
        pruner->WaitForAllPruningTasks();
        pruner->TEST_SetPruneWindowHook(CachePruner::PruneWindowHook());

        ASSERT_EQ(1, windows);
        EXPECT_FALSE(closed.IsError()) << closed.AsString();
        EXPECT_EQ(c.held ? 1u : 0u,
                  CountContaining("is either being pruned. Do not commit this write to DB.") - skippedBefore);
        if (c.held) {
            EXPECT_EQ("", rowAtP.CacheLocation);
        }
        atQ.reset();

        CZoError err;
        EXPECT_EQ(fresh, ReadExtent(afile, 4096, err, 0)) << err.AsString();
        bool cached = false, recorded = false;
        ASSERT_FALSE(lbc->IsExtentInCache(afile, 4096, kTessarel, kCopy, cached, recorded).IsError());
        EXPECT_TRUE(recorded);
        EXPECT_TRUE(cached);
        ASSERT_FALSE(DB(afile)->ReleaseIdleResources().IsError());
        DailyClear();
    }
}

// One folder named through two spellings (a symbolic link to it, a "/./" or a
// "//" inside its path) is one location: an afile copy whose Writers reach it
// through both while both are open has one container, one lock, both rows and
// the bytes of each in their own region. Through the configured local folder
// (the media manager answers the plain folder later) and through two
// media-manager mount paths.
TEST_F(LocationChangeTest, OneFolderThroughTwoSpellingsIsOneLocation) {
    const char* const spellings[] = {"symbolic link", "/./ inside", "// inside"};
    const char* const roads[] = {"configured", "media manager"};
    int n = 0;
    for (const char* road : roads) {
        for (const char* spelling : spellings) {
            SCOPED_TRACE(std::string(road) + ", " + spelling);
            const std::string tag = std::to_string(++n);
            const std::string parent = Folder("parent-" + tag);
            const std::string folder = parent + "/loc";
            ::mkdir(folder.c_str(), 0755);
            std::string spelled;
            if (spelling == spellings[0]) {
                spelled = temp.sub("link-" + tag);
                ASSERT_EQ(0, ::symlink(folder.c_str(), spelled.c_str()));
            } else {
                spelled = parent + (spelling == spellings[1] ? "/./loc" : "//loc");
            }
            const bool configured = road == roads[0];

            StopService();
            XKMMmountPath::TEST_ResetAll();
            XKPlatformInfo::TEST_Delete(kKey, "sLiveBrowseCacheLocation");
            if (configured) XKPlatformInfo::TEST_Set(kKey, "sLiveBrowseCacheLocation", spelled);
            lbc = StartService();
            ASSERT_NE(nullptr, lbc);
            // The plain folder of the location, and the two answers that reach it.
            const std::string plain = configured ? folder + "/LiveBrowseCache" : folder;
            if (configured)
                Answer(0, std::string());
            else
                Answer(5, folder);

            const std::string a = Payload(300, 1);
            const std::string b = Payload(300, 2);
            CLiveBrowseCache::WriterPtr first;
            ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, 0, first).IsError());
            ASSERT_FALSE(first->Write(a.data(), a.size()).IsError());
            CachePtr cache = GetCache(kAfile, kCopy);
            CacheDBPtr db = DB();
            ASSERT_TRUE(cache && db);

            DailyClear();
            Answer(6, configured ? plain : spelled);
            CLiveBrowseCache::WriterPtr second;
            CZoError err = lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, 0, second);
            ASSERT_FALSE(err.IsError()) << err.AsString();
            ASSERT_FALSE(second->Write(b.data(), b.size()).IsError());
            EXPECT_EQ(cache, GetCache(kAfile, kCopy));
            EXPECT_EQ(db, DB());
            EXPECT_EQ(1u, Impl()->TEST_Pruners().size());
            EXPECT_EQ(1u, db->TEST_ContainerCount());
            EXPECT_FALSE(second->Close().IsError());
            EXPECT_FALSE(first->Close().IsError());
            first.reset();
            second.reset();

            // Written back once, with both rows; each extent reads back whole.
            SystemClock::TEST_AdvanceSeconds(3600);  // the container is idle
            ASSERT_FALSE(db->ReleaseIdleResources().IsError());
            EXPECT_EQ(0u, db->TEST_ContainerCount());
            EXPECT_EQ(0u, CountContaining("not written back"));
            EXPECT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
            EXPECT_EQ(b, ReadExtent(kAfile, 4096, err)) << err.AsString();
            Extent row(0, 0, 0, 0, 0);
            EXPECT_TRUE(Row(0, row));
            EXPECT_TRUE(Row(4096, row));
            EXPECT_TRUE(IsFolder(plain + "/DATA"));
            EXPECT_EQ(1u, CountContaining("Added cache path: [" + plain + "/DATA] [" + plain + "/DB]"));
            EXPECT_EQ(1u, CountContaining("(MMPathId=6) shares the cache location at [" + plain + "]"));
        }
    }
}

// ---- one folder reached by a second path after its first use

namespace {

enum class Reach { MovedBehindALink, ParentMovedBehindALink, BindMount };

struct ReachCase {
    Reach reach;
    const char* name;
};
void PrintTo(const ReachCase& c, std::ostream* os) { *os << c.name; }

class AnotherPathTest : public LocationChangeTest, public testing::WithParamInterface<ReachCase> {
protected:
    // An afile copy is written at a folder through one mount path, the folder
    // is then reached by another path (moved behind a symbolic link, its
    // parent moved so, a bind mount) and the copy written through a second
    // mount path naming it so, while a Writer through the first one is still
    // open. Gives what went wrong, empty when nothing: it also runs in a child
    // process of a mount namespace of its own, where no assertion reaches the
    // test.
    std::string WriteThroughTwoPaths(Reach reach) {
        std::string problems;
        const auto problem = [&problems](const std::string& text) { problems += text + "\n"; };
        const std::string parent = Folder("parent");
        const std::string folder = parent + "/loc";
        ::mkdir(folder.c_str(), 0755);
        const int kExtents = 10;
        const auto offset = [](int i) { return 4096LL * i; };

        Answer(5, folder);
        CLiveBrowseCache::WriterPtr held;
        const std::string first = Payload(100, 0);
        CZoError err = lbc->GetWriterObject(kAfile, offset(0), kTessarel, kCopy, kJob, 0, held);
        if (!err.IsError()) err = held->Write(first.data(), first.size());
        if (err.IsError()) return "the held Writer: " + err.AsString();
        for (int i = 1; i < kExtents / 2; ++i) {
            err = WriteExtent(kAfile, offset(i), Payload(100, i));
            if (err.IsError()) problem("extent " + std::to_string(i) + ": " + err.AsString());
        }
        CacheDBPtr firstDB = DB();

        std::string other;
        switch (reach) {
            case Reach::MovedBehindALink:
                other = temp.sub("moved");
                if (::rename(folder.c_str(), other.c_str()) != 0 || ::symlink(other.c_str(), folder.c_str()) != 0)
                    return "folder not moved";
                break;
            case Reach::ParentMovedBehindALink:
                if (::rename(parent.c_str(), temp.sub("parent-moved").c_str()) != 0 ||
                    ::symlink(temp.sub("parent-moved").c_str(), parent.c_str()) != 0)
                    return "parent not moved";
                other = temp.sub("parent-moved/loc");
                break;
            case Reach::BindMount:
                other = Folder("bound");
                if (::mount(folder.c_str(), other.c_str(), nullptr, MS_BIND, nullptr) != 0)
                    return std::string("bind mount: ") + std::strerror(errno);
                break;
        }
        SystemClock::TEST_AdvanceSeconds(86400);
        if (!Impl()->TEST_PeriodicThread()->TEST_TickNow(true) || Impl()->TEST_AfileMappingCount() != 0)
            return "no daily clear";
        Answer(6, other);
        for (int i = kExtents / 2; i < kExtents; ++i) {
            err = WriteExtent(kAfile, offset(i), Payload(100, i));
            if (err.IsError()) problem("extent " + std::to_string(i) + ": " + err.AsString());
        }
        const std::string lockFile = LockFilePath();
        const std::string dbFile = lockFile.substr(0, lockFile.rfind('/')) + "/afile_cache.db";

        // The idle release through the second path: the open Writer's
        // container stays, and with it the copy's lock.
        SystemClock::TEST_AdvanceSeconds(3600);
        err = DB()->ReleaseIdleResources();
        if (err.IsError()) problem("idle release: " + err.AsString());
        if (OtherProcessCanLock(lockFile)) problem("the copy's lock file was free while the open Writer's container lived");

        err = held->Close();
        if (err.IsError()) problem("the held Writer's Close: " + err.AsString());
        held.reset();
        SystemClock::TEST_AdvanceSeconds(3600);
        for (const CacheDBPtr& db : {firstDB, DB()}) {
            err = db->ReleaseIdleResources();
            if (err.IsError()) problem("idle release: " + err.AsString());
        }
        if (!OtherProcessCanLock(lockFile)) problem("the copy's lock file is still held after the release");

        std::set<long long> rows = ExtentOffsetsIn(dbFile);
        std::string missing;
        for (int i = 0; i < kExtents; ++i)
            if (rows.count(offset(i)) == 0) missing += " " + std::to_string(offset(i));
        if (!missing.empty())
            problem(std::to_string(rows.size()) + " of " + std::to_string(kExtents) +
                    " accepted rows in the location's database; missing:" + missing);
        return problems;
    }

    // The AfileOffset of every extent row of an afile database file.
    static std::set<long long> ExtentOffsetsIn(const std::string& dbFile) {
        std::set<long long> offsets;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT AfileOffset FROM Extents", -1, &statement, nullptr) == SQLITE_OK)
                while (sqlite3_step(statement) == SQLITE_ROW) offsets.insert(sqlite3_column_int64(statement, 0));
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return offsets;
    }

    // Whether this process's root is a mount point: in a chroot it is not
    // (/proc/self/mountinfo lists only mounts below the root, by their paths
    // from it). True when it cannot be told.
    static bool RootIsMountPoint() {
        std::ifstream mounts("/proc/self/mountinfo");
        if (!mounts) return true;
        for (std::string line; std::getline(mounts, line);) {
            std::istringstream fields(line);
            std::string id, parent, device, root, mountPoint;
            if (fields >> id >> parent >> device >> root >> mountPoint && mountPoint == "/") return true;
        }
        return false;
    }

    // Why the kernel refuses a plain user a user namespace, where it can be told.
    static std::string UserNamespaceRefusal() {
        if (!RootIsMountPoint()) return ": this process runs in a chroot, where a plain user gets no user namespace";
        for (const char* setting : {"/proc/sys/kernel/unprivileged_userns_clone", "/proc/sys/user/max_user_namespaces"})
            if (ReadWholeFile(setting) == "0\n") return std::string(": ") + setting + " is 0";
        return std::string();
    }

    // A mount namespace of this process's own, its mounts private to it (and
    // a user namespace first where this process may not mount); empty when
    // made, else why not.
    static std::string OwnMountNamespace() {
        if (::unshare(CLONE_NEWNS) != 0) {
            const uid_t uid = ::getuid();
            const gid_t gid = ::getgid();
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
                const int error = errno;
                return std::string("no mount namespace: ") + std::strerror(error) +
                       (error == EPERM ? UserNamespaceRefusal() : std::string());
            }
            WriteWholeFile("/proc/self/setgroups", "deny");
            WriteWholeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
            WriteWholeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            const int error = errno;
            return std::string("mounts not made private: ") + std::strerror(error) +
                   (error == EINVAL && !RootIsMountPoint() ? ": the root is not a mount point, as in a chroot" : "");
        }
        return std::string();
    }
};

}  // namespace

// Every path to one folder is one location: the copy's lock stays held
// while a container of it lives, and every accepted row reaches the
// location's database.
TEST_P(AnotherPathTest, OneFolderReachedByAnotherPathKeepsItsLockAndEveryRow) {
    if (GetParam().reach != Reach::BindMount) {
        EXPECT_EQ("", WriteThroughTwoPaths(GetParam().reach));
        return;
    }
    // A bind mount is made in a child of a mount namespace of its own, which
    // starts a service of its own; 'S' and a reason when it cannot mount.
    StopService();
    ForkedChild child([this](ForkedChild& self) {
        std::string answer = OwnMountNamespace();
        std::string probe = Folder("probe-bound");
        if (answer.empty() && ::mount(Folder("probe").c_str(), probe.c_str(), nullptr, MS_BIND, nullptr) != 0)
            answer = std::string("bind mount not permitted: ") + std::strerror(errno);
        char kind = 'S';
        if (answer.empty()) {
            kind = 'R';
            lbc = StartService();
            answer = lbc ? WriteThroughTwoPaths(Reach::BindMount) : std::string("no service");
            if (lbc) StopService();
        }
        if (!self.Send(kind)) return 2;
        for (char c : answer)
            if (!self.Send(c)) return 2;
        return 0;
    });
    ASSERT_TRUE(child.Started());
    char kind = '?';
    ASSERT_TRUE(child.Receive(kind));
    std::string answer;
    for (char c; child.Receive(c);) answer.push_back(c);
    child.Wait();
    if (kind == 'S') GTEST_SKIP() << answer;
    EXPECT_EQ("", answer);
}

INSTANTIATE_TEST_SUITE_P(Reaches, AnotherPathTest,
                         testing::Values(ReachCase{Reach::MovedBehindALink, "MovedBehindALink"},
                                         ReachCase{Reach::ParentMovedBehindALink, "ParentMovedBehindALink"},
                                         ReachCase{Reach::BindMount, "BindMount"}),
                         [](const testing::TestParamInfo<ReachCase>& info) { return std::string(info.param.name); });
