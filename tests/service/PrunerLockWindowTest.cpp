// Host requests for an afile copy while the pruner holds its lock file
// through a container made only for that lock: they are refused at once with
// 14, leave nothing behind, and everything cached before stays.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "pruning/CachePruner.h"
#include "store/LiveBrowseCacheUtility.h"

#include <dirent.h>

#include <future>
#include <string>
#include <vector>

namespace {

class PrunerLockWindowTest : public MainRoadTest {
protected:
    // The pruner's lock requests run on a thread of their own, as on the
    // pruner thread.
    static CZoError AsPruner(const std::function<CZoError()>& step) {
        return std::async(std::launch::async, step).get();
    }
    static VM PrunedVM() { return VM(kTessarel, kCopy, kAfile, std::string(), 0, 0, std::string()); }

    // The afile copy's staging folder at its location.
    static std::string AfileStagingFolder() {
        const std::string lockFile = LockFilePath();
        std::string staged;
        EXPECT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation(lockFile.substr(0, lockFile.rfind('/')),
                                                                     DB()->GetCacheDBFolderPath(), staged)
                         .IsError());
        return staged;
    }
    // Every database file below a folder.
    static size_t DatabasesBelow(const std::string& folder) {
        size_t found = 0;
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) return 0;
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "/" + name;
            if (IsFolder(path))
                found += DatabasesBelow(path);
            else if (name.size() > 3 && name.compare(name.size() - 3, 3, ".db") == 0)
                ++found;
        }
        ::closedir(dir);
        return found;
    }
};

}  // namespace

TEST_F(PrunerLockWindowTest, RequestsWhileThePrunerHoldsTheLockAreRefusedAndNothingCachedIsLost) {
    const std::string first = Payload(100, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    // Idle: released, written back and unlocked, so the pruner can take the lock.
    SystemClock::TEST_AdvanceSeconds(31);
    ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
    ASSERT_EQ(0u, DB()->TEST_ContainerCount());

    ASSERT_FALSE(AsPruner([] { return DB()->AcquireLock(PrunedVM()); }).IsError());
    EXPECT_EQ(0u, DatabasesBelow(AfileStagingFolder())) << "the lock-only container stays out of the staging folder";

    CZoError err;
    EXPECT_EQ("", ReadExtent(kAfile, 0, err));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
    // Writers the host keeps: none may come out of this window.
    CLiveBrowseCache::WriterPtr held, heldToo;
    err = lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, 0, held);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
    // The six-argument form reports it as another host's lock.
    err = lbc->GetWriterObject(kAfile, 8192, kTessarel, kCopy, kJob, heldToo);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 5)) << err.AsString();
    bool cached = true, recorded = true;
    EXPECT_TRUE(FXErrorUtil::IsInt(lbc->IsExtentInCache(kAfile, 0, kTessarel, kCopy, cached, recorded),
                                   LBCError::kLockedByAnotherHost));

    // The pruner gives up on the VM (its flat file is in use, say): lock
    // released, its container let go.
    ASSERT_FALSE(AsPruner([] {
                     CZoError released = DB()->ReleaseLock(PrunedVM());
                     if (released.IsError()) return released;
                     return DB()->ReleaseResources({PrunedVM()});
                 }).IsError());
    EXPECT_EQ(0u, DatabasesBelow(StagingFolder())) << "nothing stale for the next lock-only container";

    EXPECT_EQ(first, ReadExtent(kAfile, 0, err)) << err.AsString();
    const std::string second = Payload(100, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 4096, second).IsError());
    EXPECT_EQ(second, ReadExtent(kAfile, 4096, err)) << err.AsString();
    SystemClock::TEST_AdvanceSeconds(31);
    ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
    EXPECT_EQ(first, ReadExtent(kAfile, 0, err)) << err.AsString();
    EXPECT_EQ(second, ReadExtent(kAfile, 4096, err)) << err.AsString();
    held.reset();
    heldToo.reset();
}

// The other half of the window: a Writer open at the location holds the
// afile's lock through its container, so the pruner skips the copy as in use
// and the Writer records its row. No Writer of this process can therefore
// close at the location while its copy is being pruned or deleted.
TEST_F(PrunerLockWindowTest, AnOpenWriterKeepsThePrunerOutAndRecordsItsRow) {
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, 0, writer).IsError());
    const std::string bytes = Payload(100, 1);
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    // An idle pass now would find the container held by the Writer.
    SystemClock::TEST_AdvanceSeconds(31);
    ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());

    std::vector<CachePrunerPtr> pruners = Impl()->TEST_Pruners();
    ASSERT_EQ(1u, pruners.size());
    long long pruned = 0;
    ASSERT_FALSE(AsPruner([&] { return pruners[0]->SubmitVMJobForPruning(PrunedVM(), pruned); }).IsError());
    pruners[0]->WaitForAllPruningTasks();
    EXPECT_EQ(1u, CountContaining("is in use. Skipping pruning for it."));
    EXPECT_EQ(0u, CountContaining("Done pruning ["));

    EXPECT_FALSE(writer->Close().IsError());
    writer.reset();
    EXPECT_EQ(0u, CountContaining("is either being pruned. Do not commit this write to DB."));
    CZoError err;
    EXPECT_EQ(bytes, ReadExtent(kAfile, 0, err)) << err.AsString();
}
