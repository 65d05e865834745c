// An afile copy whose cache location changes while the service runs: after
// the daily clear of the afile-to-location map the media manager may name
// another mount path (or fail, so the local cache folder is used), while the
// container at the first location is still open. Each location keeps its own
// rows and bytes.

#include "service/MainRoadSupport.h"

#include "foundation/PeriodicUtilityThread.h"
#include "platform/XKMMmountPath.h"
#include "platform/XKPlatformInfo.h"

#include <sys/stat.h>
#include <unistd.h>

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
    static void Answer(long long id, const std::string& folder) {
        XKMMmountPath::TEST_Answer answer;
        answer.status = folder.empty() ? -1 : 0;
        if (!folder.empty()) {
            MediaManager::MountPathInfo mountPath;
            mountPath.setMMPathId(id);
            mountPath.setPath(folder);
            answer.mountPaths.push_back(mountPath);
        }
        XKMMmountPath::TEST_SetAnswer(kAfile, kCopy, answer);
    }

    // The daily clear, through the periodic thread and the clock seam.
    void DailyClear() {
        SystemClock::TEST_AdvanceSeconds(86400);
        ASSERT_TRUE(Impl()->TEST_PeriodicThread()->TEST_TickNow(true));
        ASSERT_EQ(0u, Impl()->TEST_AfileMappingCount());
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
        ASSERT_FALSE(WriteExtent(first, a).IsError());
        CacheDBPtr atP = DB();
        ASSERT_EQ(p + "/DB", atP->GetCacheDBFolderPath());

        DailyClear();
        Answer(idQ, c.secondIsLocal ? std::string() : q);
        ASSERT_FALSE(WriteExtent(second, b).IsError());
        CacheDBPtr atSecond = DB();
        ASSERT_NE(atP, atSecond);

        // P's container goes while the second location's is still open.
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, atP->TEST_ContainerCount());

        CZoError err;
        EXPECT_EQ(b, ReadExtent(second, err)) << err.AsString();
        err = CZoError();
        EXPECT_EQ("", ReadExtent(first, err));
        EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();

        DailyClear();
        Answer(idP, p);
        EXPECT_EQ(a, ReadExtent(first, err)) << err.AsString();
        err = CZoError();
        EXPECT_EQ("", ReadExtent(second, err));
        EXPECT_TRUE(FXErrorUtil::IsInt(err, 5)) << err.AsString();

        // Both written back as they are: each location's database holds its own row only.
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_FALSE(atSecond->ReleaseIdleResources().IsError());
        EXPECT_EQ(0u, CountContaining("not written back"));
        DailyClear();
        Answer(idP, p);
        EXPECT_EQ(a, ReadExtent(first, err)) << err.AsString();
        DailyClear();
        Answer(idQ, c.secondIsLocal ? std::string() : q);
        EXPECT_EQ(b, ReadExtent(second, err)) << err.AsString();
        ASSERT_FALSE(atP->ReleaseIdleResources().IsError());
        ASSERT_FALSE(atSecond->ReleaseIdleResources().IsError());
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
            EXPECT_EQ(a, ReadExtent(0, err)) << err.AsString();
            EXPECT_EQ(b, ReadExtent(4096, err)) << err.AsString();
            Extent row(0, 0, 0, 0, 0);
            EXPECT_TRUE(Row(0, row));
            EXPECT_TRUE(Row(4096, row));
            EXPECT_TRUE(IsFolder(plain + "/DATA"));
            EXPECT_EQ(1u, CountContaining("Added cache path: [" + plain + "/DATA] [" + plain + "/DB]"));
            EXPECT_EQ(1u, CountContaining("(MMPathId=6) shares the cache location at [" + plain + "]"));
        }
    }
}
