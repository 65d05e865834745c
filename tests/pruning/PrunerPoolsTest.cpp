// The data-pruner and database-pruner pools.

#include "support/ServiceFixture.h"

#include "LiveBrowseCacheCodes.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "pruning/CacheDBPruner.h"
#include "pruning/CacheDataPruner.h"
#include "store/CacheFileIO.h"

#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kDataStarted[] = "Live Browse Cache data pruner threadpool STARTED";
const char kDataStopped[] = "Live Browse Cache data pruner threadpool STOPPED";

CCacheFileIOPtr LocalIO() {
    boost::any local;
    return boost::make_shared<CCacheFileIO>(local);
}

// What the callbacks of one pool saw.
struct Completions {
    std::mutex lock;
    std::vector<std::pair<std::thread::id, CZoError>> calls;  // guarded by lock

    CacheDataPruner::Callback Callback() {
        return [this](CZoError result) {
            std::lock_guard<std::mutex> guard(lock);
            calls.emplace_back(std::this_thread::get_id(), result);
            return CZoError::Success();
        };
    }
    size_t Size() {
        std::lock_guard<std::mutex> guard(lock);
        return calls.size();
    }
};

class PrunerPoolsTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        pool.SetFSIO(LocalIO());
    }

    std::string MakeFile(const std::string& name) {
        std::string path = temp.sub(name);
        WriteWholeFile(path, "pruned bytes");
        return path;
    }

    CacheDataPruner pool;
    Completions completions;
};

TEST_F(PrunerPoolsTest, NotStartedRunsTheRequestInlineBeforeReturning) {
    const std::string file = MakeFile("pruned.1_1_2.cache");
    ASSERT_FALSE(pool.DeleteCacheFile(file, completions.Callback()).IsError());
    ASSERT_EQ(1u, completions.Size());
    EXPECT_EQ(std::this_thread::get_id(), completions.calls[0].first);
    EXPECT_FALSE(completions.calls[0].second.IsError()) << completions.calls[0].second.AsString();
    EXPECT_FALSE(Exists(file));
}

TEST_F(PrunerPoolsTest, AFailedRemovalReportsCode70ToTheCallbackOnly) {
    // A folder cannot be removed as a file; it stays.
    const std::string folder = temp.sub("not-a-file");
    ::mkdir(folder.c_str(), 0755);
    ASSERT_FALSE(pool.DeleteCacheFile(folder, completions.Callback()).IsError());
    ASSERT_EQ(1u, completions.Size());
    const CZoError& result = completions.calls[0].second;
    EXPECT_TRUE(FXErrorUtil::IsInt(result, LBCError::kPruneFileRemoveFailed)) << result.AsString();
    EXPECT_NE(std::string::npos, result.AsString().find("(error=")) << result.AsString();
    EXPECT_NE(std::string::npos, result.AsString().find(folder)) << result.AsString();
    EXPECT_TRUE(IsFolder(folder));
}

TEST_F(PrunerPoolsTest, AnEmptyPathRemovesNothingAndSucceeds) {
    ASSERT_FALSE(pool.Start().IsError());
    ASSERT_FALSE(pool.DeleteCacheFile(std::string(), completions.Callback()).IsError());
    ASSERT_FALSE(pool.Stop(true).IsError());
    ASSERT_EQ(1u, completions.Size());
    EXPECT_FALSE(completions.calls[0].second.IsError()) << completions.calls[0].second.AsString();
}

TEST_F(PrunerPoolsTest, SingleItemsAreNotPruned) {
    ASSERT_FALSE(pool.PruneCacheItem(CacheItemPtr(), completions.Callback()).IsError());
    ASSERT_EQ(1u, completions.Size());
    EXPECT_TRUE(FXErrorUtil::IsInt(completions.calls[0].second, LBCError::kPruneItemNotSupported))
        << completions.calls[0].second.AsString();
    EXPECT_EQ(nullptr, CacheDataPruner::ProcessDataPrunerRequest(nullptr));
}

TEST_F(PrunerPoolsTest, StartedPoolRunsEveryRequestOnceOnItsThreads) {
    ASSERT_FALSE(pool.Start().IsError());
    ASSERT_FALSE(pool.Start().IsError());
    EXPECT_EQ(1u, Count(0, kDataStarted));

    std::vector<std::string> files;
    for (int i = 0; i < 40; ++i) files.push_back(MakeFile("pruned." + std::to_string(i) + ".cache"));
    for (const std::string& file : files) ASSERT_FALSE(pool.DeleteCacheFile(file, completions.Callback()).IsError());
    ASSERT_FALSE(pool.Stop(true).IsError());

    ASSERT_EQ(files.size(), completions.Size());
    for (const auto& call : completions.calls) {
        EXPECT_NE(std::this_thread::get_id(), call.first);
        EXPECT_FALSE(call.second.IsError()) << call.second.AsString();
    }
    for (const std::string& file : files) EXPECT_FALSE(Exists(file)) << file;
    EXPECT_EQ(1u, Count(0, kDataStopped));
}

TEST_F(PrunerPoolsTest, AStoppedPoolStillRunsEachRequestOnce) {
    ASSERT_FALSE(pool.Start().IsError());
    ASSERT_FALSE(pool.Stop(false).IsError());
    EXPECT_EQ(1u, Count(0, kDataStopped));
    // The pool refuses new work now: the request runs here.
    const std::string file = MakeFile("pruned.late.cache");
    ASSERT_FALSE(pool.DeleteCacheFile(file, completions.Callback()).IsError());
    ASSERT_EQ(1u, completions.Size());
    EXPECT_EQ(std::this_thread::get_id(), completions.calls[0].first);
    EXPECT_FALSE(Exists(file));
}

TEST_F(PrunerPoolsTest, AThrowingCallbackNeverLeavesItsThread) {
    auto throwing = [](CZoError) -> CZoError { throw std::runtime_error("callback failed"); };
    EXPECT_NO_THROW(pool.DeleteCacheFile(MakeFile("a.cache"), throwing));

    ASSERT_FALSE(pool.Start().IsError());
    ASSERT_FALSE(pool.DeleteCacheFile(MakeFile("b.cache"), throwing).IsError());
    const std::string after = MakeFile("c.cache");
    ASSERT_FALSE(pool.DeleteCacheFile(after, completions.Callback()).IsError());
    ASSERT_FALSE(pool.Stop(true).IsError());
    EXPECT_EQ(1u, completions.Size());
    EXPECT_FALSE(Exists(after));
    EXPECT_EQ(2u, CountContaining("Data pruner completion failed, error=callback failed"));
}

TEST_F(PrunerPoolsTest, StopOfANeverStartedPoolDoesNothing) {
    EXPECT_FALSE(pool.Stop(false).IsError());
    EXPECT_FALSE(pool.Stop(true).IsError());
    CacheDBPruner dbPool((CacheDBPtr()));
    EXPECT_FALSE(dbPool.Stop(false).IsError());
    EXPECT_FALSE(dbPool.IsStarted());
    EXPECT_EQ(0u, CountContaining("threadpool STOPPED"));
}

TEST_F(PrunerPoolsTest, DatabasePoolStartsOnceAndStops) {
    const struct {
        bool wait;
    } cases[] = {{false}, {true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wait);
        ClearLines();
        CacheDBPruner dbPool((CacheDBPtr()));
        ASSERT_FALSE(dbPool.Start().IsError());
        ASSERT_FALSE(dbPool.Start().IsError());
        EXPECT_TRUE(dbPool.IsStarted());
        EXPECT_EQ(1u, Count(0, "Live Browse Cache db pruner threadpool STARTED"));
        ASSERT_FALSE(dbPool.Stop(c.wait).IsError());
        EXPECT_EQ(1u, Count(0, "Live Browse Cache db pruner threadpool STOPPED"));
    }
}

}  // namespace
