#include "metadb/SQLiteAdapter.h"
#include "support/TempDir.h"

#include <atomic>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// One adapter shared by request threads and a committer, with no lock of the
// callers around it, as a per-afile container uses it.
TEST(SQLiteAdapterConcurrency, EightWorkersAndACommitterShareOneConnection) {
    TempDir dir;
    const int workers = 8;
    const int rowsPerWorker = 150;
    auto adapter = boost::make_shared<SQLiteAdapter>(dir.path(), "afile_cache");
    ASSERT_FALSE(adapter->Open().IsError());

    std::mutex errorsLock;
    std::vector<std::string> errors;
    auto fail = [&](const std::string& what, const CZoError& err) {
        std::lock_guard<std::mutex> guard(errorsLock);
        errors.push_back(what + ": " + err.AsString());
    };
    std::atomic<int> running{workers};
    std::atomic<int> commits{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < workers; ++t) {
        threads.emplace_back([&, t] {
            const long long afile = 1000 + t;
            const long long job = 50 + t;
            for (int i = 0; i < rowsPerWorker; ++i) {
                Extent e(afile, i, 2, 1, job);
                e.Flags = 1;
                e.CacheLocation = "loc:C1/f.cache:" + std::to_string(i) + ":10";
                CZoError err = adapter->UpdateExtent(e);
                if (err.IsError()) fail("UpdateExtent", err);

                Extent row(0, 0, 2, 1, 0);
                err = adapter->GetExtent(ExtentParam{afile, i, 2, 1, job, 1}, row);
                if (err.IsError()) fail("GetExtent", err);
                else if (row.CacheLocation != e.CacheLocation) fail("GetExtent location " + row.CacheLocation, err);

                err = adapter->InsertUpdateVM(VM(2, 1, afile, "guid", job, i, "valid"), false);
                if (err.IsError()) fail("InsertUpdateVM", err);

                VM vm(2, 1, afile, "", 0, 0, "");
                err = adapter->GetVMJob(vm);
                if (err.IsError()) fail("GetVMJob", err);
                else if (vm.LastReferenceTime != i) fail("GetVMJob time", err);
            }
            running.fetch_sub(1);
        });
    }
    threads.emplace_back([&] {
        // Keeps opening and committing the shared transaction until every
        // worker is done, and at least a few times.
        while (running.load() > 0 || commits.load() < 5) {
            CZoError err = adapter->BeginTransaction();
            if (err.IsError()) fail("BeginTransaction", err);
            err = adapter->CommitTransaction();
            if (err.IsError()) fail("CommitTransaction", err);
            commits.fetch_add(1);
        }
    });
    for (auto& th : threads) th.join();

    EXPECT_TRUE(errors.empty()) << errors.size() << " errors, first: " << (errors.empty() ? "" : errors.front());
    EXPECT_GE(commits.load(), 5);
    ASSERT_FALSE(adapter->CommitTransaction().IsError());

    adapter.reset();
    SQLiteAdapter reopened(dir.path(), "afile_cache");
    ASSERT_FALSE(reopened.Open().IsError());
    long long extents = 0;
    long long vms = 0;
    ASSERT_FALSE(reopened.GetExtentCount(ExtentsParam(), extents).IsError());
    ASSERT_FALSE(reopened.GetVMCount(VMJobParam(), vms).IsError());
    EXPECT_EQ(workers * rowsPerWorker, extents);
    EXPECT_EQ(workers, vms);
}

}  // namespace
