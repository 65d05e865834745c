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
#include <sys/stat.h>
#include <unistd.h>

#include <future>
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
