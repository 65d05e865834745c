// Shared deferred transactions and the release of idle containers, with the
// clock moved through its seam.

#include "CacheDBTestSupport.h"
#include "DatabaseFullSupport.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"

#include <functional>
#include <vector>

namespace {

const long long kAfile = 812;
const int64_t kStart = 1700000000;

class CacheDBTransactionsTest : public ::testing::Test {
protected:
    CacheDBTransactionsTest() : f(false) { SystemClock::TEST_Freeze(kStart); }

    CacheDB::CTransactionContextPtr Begin(long long afile = kAfile, long long job = 0) {
        return f.top->BeginTransaction(boost::make_shared<Extent>(TestExtent(afile, 0, 2, 1, job)));
    }
    CacheDBPtr Container(long long afile = kAfile) {
        CacheDBPtr container;
        EXPECT_FALSE(f.top->GetCacheDB(TestVM(afile), container, true, true).IsError());
        return container;
    }
    // Rows a second connection sees in the staged database: only committed ones.
    long long CommittedRows(long long afile = kAfile) {
        return CountRows(f.StageFolder(afile) + "/afile_cache.db", "Extents");
    }
    size_t Released() { return f.log->Count(0, "Releasing cache container"); }

    CacheDBFixture f;
};

TEST_F(CacheDBTransactionsTest, ContextsShareOneTransactionCommittedAtMostEvery29Seconds) {
    f.Open();
    CacheDB::CTransactionContextPtr first = Begin();
    ASSERT_TRUE(first);
    CacheDBPtr container = first->container;
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 1)).IsError());
    EXPECT_EQ(0, CommittedRows());
    first.reset();  // never committed before: commits at once
    EXPECT_EQ(1, CommittedRows());
    EXPECT_EQ(kStart, container->TEST_LastCommitTime());
    EXPECT_FALSE(container->TEST_TransactionOpen());

    struct Step {
        int64_t advance;
        bool committed;
    };
    // Seconds after the previous step; whether the context's release commits.
    const std::vector<Step> steps = {{10, false}, {9, false}, {10, false}, {1, true}, {29, false}, {1, true}};
    int64_t now = kStart;
    long long rows = 1;
    for (const Step& step : steps) {
        SystemClock::TEST_AdvanceSeconds(step.advance);
        now += step.advance;
        CacheDB::CTransactionContextPtr context = Begin();
        ASSERT_TRUE(context);
        EXPECT_EQ(container, context->container);
        ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, ++rows)).IsError());
        context.reset();
        EXPECT_EQ(!step.committed, container->TEST_TransactionOpen()) << "at " << now - kStart;
        if (step.committed) {
            EXPECT_EQ(rows, CommittedRows());
        }
    }
    // Two contexts at once share it; neither commits within 29 s.
    CacheDB::CTransactionContextPtr a = Begin(), b = Begin();
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, ++rows)).IsError());
    a.reset();
    b.reset();
    EXPECT_TRUE(container->TEST_TransactionOpen());
    EXPECT_EQ(rows - 1, CommittedRows());

    // Releasing the container commits whatever is open.
    EXPECT_FALSE(f.top->CommitTransaction(true).IsError()) << "a top-level commit does nothing";
    container.reset();
    ASSERT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());
    EXPECT_EQ(rows, CountRows(f.LocalDBFile(kAfile), "Extents"));
}

TEST_F(CacheDBTransactionsTest, FailedCommitKeepsTheTransactionAndLosesNoRow) {
    f.Open();
    CacheDB::CTransactionContextPtr context = Begin();
    ASSERT_TRUE(context);
    CacheDBPtr container = context->container;
    boost::shared_ptr<SQLiteAdapter> adapter =
        boost::dynamic_pointer_cast<SQLiteAdapter>(container->TEST_Implementation());
    ASSERT_TRUE(adapter);
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 1)).IsError());
    adapter->TEST_Database().TEST_FailNextCommit(SQLITE_BUSY);
    context.reset();
    EXPECT_EQ(1u, f.log->Count(-1, "Failed to execute SQL COMMIT transaction ["));
    EXPECT_TRUE(container->TEST_TransactionOpen());

    // The next BEGIN issues nothing new; the forced commit at release saves all.
    context = Begin();
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 2)).IsError());
    context.reset();
    container.reset();
    adapter.reset();
    SystemClock::TEST_AdvanceSeconds(30);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(2, CountRows(f.LocalDBFile(kAfile), "Extents"));
}

TEST_F(CacheDBTransactionsTest, ATransactionSQLiteRolledBackIsReportedAtTheFailedStatementAndTheNextRequestBeginsAfresh) {
    f.Open();
    Begin().reset();  // the first commit, at once
    CacheDB::CTransactionContextPtr first = Begin(), second = Begin();
    ASSERT_TRUE(first && second);
    CacheDBPtr container = first->container;
    boost::shared_ptr<SQLiteAdapter> adapter =
        boost::dynamic_pointer_cast<SQLiteAdapter>(container->TEST_Implementation());
    ASSERT_TRUE(adapter);
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 1)).IsError());
    CapDatabaseSize(adapter->TEST_Database(), 2);
    WriteUntilFull([&](long long n) {
        Extent row = TestExtent(kAfile, 100 + n);
        row.CacheLocation = LongLocation(n);
        return f.top->AddExtent(row);
    });
    UncapDatabaseSize(adapter->TEST_Database());
    // Found out at the failed statement: later rows are not written outside
    // a transaction the container still believes open.
    EXPECT_FALSE(container->TEST_TransactionOpen());
    EXPECT_EQ(1u, f.log->Count(-1, "Transaction of [afile_812_1_2] was rolled back by the database: the rows of 2 "
                                   "requests are lost"));
    first.reset();
    SystemClock::TEST_AdvanceSeconds(30);
    second.reset();
    EXPECT_EQ(0u, f.log->Count(-1, "Failed to execute SQL COMMIT transaction ["));
    EXPECT_EQ(0, CommittedRows());

    // A later request opens a fresh transaction, whose rows are committed.
    SystemClock::TEST_AdvanceSeconds(30);
    CacheDB::CTransactionContextPtr later = Begin();
    EXPECT_TRUE(container->TEST_TransactionOpen());
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 2)).IsError());
    later.reset();
    EXPECT_EQ(1, CommittedRows());
}

// A row write that fails while SQLite keeps the transaction open (a
// constraint, a busy database) leaves the shared transaction to its regular
// commit: the rows written before it are not committed early.
TEST_F(CacheDBTransactionsTest, RowWriteFailingInsideAnOpenTransactionCommitsNothingEarly) {
    f.Open();
    // A second connection holding the write lock of the staged database.
    struct WriteLockHolder {
        sqlite3* db = nullptr;
        ~WriteLockHolder() { Release(); }
        void Take(const std::string& file) {
            ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
            ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
        }
        void Release() {
            if (db != nullptr) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            db = nullptr;
        }
    };
    struct Case {
        const char* name;
        // Rows written in the transaction before the failing write.
        int rowsBefore;
        std::function<CZoError(CacheDB& top, SQLiteAdapter& adapter, long long afile, WriteLockHolder& other)> fail;
    };
    const std::vector<Case> cases = {
        {"extent key clash", 1,
         [](CacheDB& top, SQLiteAdapter&, long long afile, WriteLockHolder&) {
             return top.AddExtent(TestExtent(afile, 1));
         }},
        {"VM key clash", 1,
         [](CacheDB& top, SQLiteAdapter&, long long afile, WriteLockHolder&) {
             EXPECT_FALSE(top.InsertVM(TestVM(afile)).IsError());
             return top.InsertVM(TestVM(afile));
         }},
        {"busy statement", 1,
         [](CacheDB& top, SQLiteAdapter& adapter, long long afile, WriteLockHolder&) {
             adapter.TEST_Database().TEST_ThrowOnNextCall(SQLITE_BUSY, "database is locked");
             return top.AddExtent(TestExtent(afile, 2));
         }},
        {"database locked by another connection", 0,
         [this](CacheDB& top, SQLiteAdapter&, long long afile, WriteLockHolder& other) {
             other.Take(f.StageFolder(afile) + "/afile_cache.db");
             return top.AddExtent(TestExtent(afile, 2));
         }},
    };
    long long afile = 700;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++afile;
        SystemClock::TEST_Freeze(kStart);
        Begin(afile).reset();  // the first commit, at once
        SystemClock::TEST_AdvanceSeconds(5);
        CacheDB::CTransactionContextPtr context = Begin(afile);
        ASSERT_TRUE(context);
        CacheDBPtr container = context->container;
        boost::shared_ptr<SQLiteAdapter> adapter =
            boost::dynamic_pointer_cast<SQLiteAdapter>(container->TEST_Implementation());
        ASSERT_TRUE(adapter);
        for (int n = 0; n < c.rowsBefore; ++n) ASSERT_FALSE(f.top->AddExtent(TestExtent(afile, 1 + n)).IsError());

        WriteLockHolder other;
        EXPECT_TRUE(c.fail(*f.top, *adapter, afile, other).IsError());
        other.Release();
        EXPECT_TRUE(container->TEST_TransactionOpen());
        EXPECT_EQ(kStart, container->TEST_LastCommitTime()) << "committed at the failed write";
        EXPECT_EQ(0, CommittedRows(afile));

        // The regular commit saves what was written before the failure.
        SystemClock::TEST_AdvanceSeconds(30);
        context.reset();
        EXPECT_FALSE(container->TEST_TransactionOpen());
        EXPECT_EQ(c.rowsBefore, CommittedRows(afile));
    }
    EXPECT_EQ(0u, f.log->Count(-1, "was rolled back by the database"));
}

TEST_F(CacheDBTransactionsTest, IdleExactlyAtTheConfiguredIdleTime) {
    XKPlatformInfo::TEST_SetNumber("VirtualServer", "nLiveBrowseCacheAfileIdleTime", 100);
    f.Open();
    Container();
    Begin().reset();  // commits at kStart
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, Released()) << "nothing is logged for a pass that releases nothing";
    SystemClock::TEST_AdvanceSeconds(99);
    EXPECT_TRUE(f.top->GetIdleAfiles().empty());
    SystemClock::TEST_AdvanceSeconds(1);
    std::list<std::pair<VM, CacheDBPtr>> idle = f.top->GetIdleAfiles();
    ASSERT_EQ(1u, idle.size());
    EXPECT_EQ(kAfile, idle.front().first.AfileID);
    EXPECT_EQ("validity", idle.front().first.ValidityGUID) << "the stored key is the making call's VM";
}

TEST_F(CacheDBTransactionsTest, ContainerNeverCommittedIsIdleAtTheFirstPass) {
    f.Open();
    ASSERT_FALSE(f.top->AcquireLock(TestVM(kAfile)).IsError());
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(1u, Released());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
}

TEST_F(CacheDBTransactionsTest, ConsumerJobStateDecidesBeforeTheIdleTime) {
    XKPlatformInfo::TEST_SetHubServerHostName("hs-1");
    f.Open();
    struct Case {
        int state;
        bool released;
    };
    const std::vector<Case> cases = {{1, false}, {2, false}, {3, false}, {4, true}, {-1, true}, {0, true}};
    long long job = 500;
    for (const Case& c : cases) {
        ++job;
        XKJobQuery::TEST_SetJobState(job, c.state);
        Begin(kAfile, job).reset();
        f.log->Clear();
        ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
        EXPECT_EQ(c.released ? 0u : 1u, f.top->TEST_ContainerCount()) << "state " << c.state;
        EXPECT_EQ(c.released ? 1u : 0u,
                  f.log->Count(0, "Job [" + std::to_string(job) + "] complete. Freeing up cache file used by this job."));
        EXPECT_EQ("hs-1", XKJobQuery::TEST_LastInitHost());
        EXPECT_EQ(2, XKJobQuery::TEST_LastPlatformType());
        ASSERT_FALSE(f.top->ReleaseResources({TestVM(kAfile)}).IsError());
    }
}

TEST_F(CacheDBTransactionsTest, JobQueryFailuresKeepTheContainer) {
    f.Open();
    XKJobQuery::TEST_SetJobState(77, 4);
    Begin(kAfile, 77).reset();
    Begin(900, 0).reset();  // no consumer job: released by its idle time alone
    // No control-server host name: logged once per pass and container asked about.
    for (int pass = 0; pass < 2; ++pass) ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(2u, f.log->Count(-1, "Failed to get HS name from the registry"));
    EXPECT_EQ(2u, f.top->TEST_ContainerCount());

    XKPlatformInfo::TEST_SetHubServerHostName("hs-2");
    XKJobQuery::TEST_SetInitFails(true);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(1u, f.log->Count(-1, "Failed to initialize XK Job Query object for HS [hs-2]"));
    EXPECT_EQ(2u, f.top->TEST_ContainerCount());

    XKJobQuery::TEST_SetInitFails(false);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(1, XKJobQuery::TEST_GetJobStateCalls());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    EXPECT_EQ(1u, f.log->Count(0, "Releasing cache container [afile_812_1_2]"));
}

TEST_F(CacheDBTransactionsTest, OpenWriterKeepsItsContainerAndLockFile) {
    f.Open();
    CacheDB::CWriterHoldPtr hold;
    ASSERT_FALSE(f.top->HoldForWriter(KeyOf(TestExtent(kAfile, 0)), hold).IsError());
    EXPECT_EQ(1, hold->Container()->TEST_OpenWriters());
    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount());
    EXPECT_FALSE(f.OthersCanLock(kAfile));

    hold.reset();
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    EXPECT_TRUE(f.OthersCanLock(kAfile));
}

// A Writer holds the container its request resolved, as it is: one the idle
// pass released while the request held it stays alive and locked under the
// hold, the next request takes that same container up again, and it is
// written back and unlocked once the last holder lets it go.
TEST_F(CacheDBTransactionsTest, AWritersHoldOnItsRequestsContainerOutlastsTheContainersRelease) {
    f.Open();
    CacheDBPtr resolved;
    ASSERT_FALSE(f.top->GetCacheDB(TestExtent(kAfile, 0), resolved).IsError());
    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());

    CacheDB::CWriterHoldPtr hold;
    ASSERT_FALSE(resolved->HoldForWriter(KeyOf(TestExtent(kAfile, 0)), hold).IsError());
    EXPECT_EQ(resolved.get(), hold->Container().get());
    EXPECT_EQ(1, resolved->TEST_OpenWriters());
    resolved.reset();
    EXPECT_FALSE(f.OthersCanLock(kAfile));

    CacheDBPtr next;
    ASSERT_FALSE(f.top->GetCacheDB(TestExtent(kAfile, 0), next).IsError());
    EXPECT_EQ(hold->Container().get(), next.get());
    next.reset();
    SystemClock::TEST_AdvanceSeconds(3600);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(1u, f.top->TEST_ContainerCount()) << "an open Writer keeps it";
    hold.reset();
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_EQ(0u, f.top->TEST_ContainerCount());
    EXPECT_TRUE(f.OthersCanLock(kAfile));
}

TEST_F(CacheDBTransactionsTest, ContextReleasedAfterItsContainerLeftTheMapCommitsAtDestruction) {
    f.Open();
    Begin().reset();  // first commit
    CacheDB::CTransactionContextPtr context = Begin();
    ASSERT_FALSE(f.top->AddExtent(TestExtent(kAfile, 9)).IsError());
    SystemClock::TEST_AdvanceSeconds(30);
    ASSERT_FALSE(f.top->ReleaseIdleResources().IsError());
    EXPECT_FALSE(Exists(f.LocalDBFile(kAfile))) << "still held: not written back";
    context.reset();
    EXPECT_EQ(1, CountRows(f.LocalDBFile(kAfile), "Extents"));
}

}  // namespace
