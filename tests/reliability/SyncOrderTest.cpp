// Power-loss ordering: metadata never names bytes that may not have reached
// the disk. The durability trace of the file layer and the database wrapper
// shows, in the order they happen, every flush of a file or folder, every
// move into place and every commit of a database.
//   - A region's flat file is flushed before the commit that records the
//     region, once per commit however many regions it records.
//   - A database copy written back to the cache location is flushed before
//     it is moved over the old one, and the folder after the move.
// Local cache folder and loopback data server alike.

#include "reliability/FaultTestSupport.h"

#include "store/LiveBrowseCacheUtility.h"

#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace faults {
namespace {

struct LocationCase {
    const char* name;
    bool remote;
};
std::ostream& operator<<(std::ostream& out, const LocationCase& c) { return out << c.name; }

class SyncOrderTest : public FaultFixture, public ::testing::WithParamInterface<LocationCase> {
protected:
    static constexpr long long kAfile = 321;

    void SetUp() override {
        FaultFixture::SetUp();
        if (GetParam().remote) UseRemote(kAfile);
    }

    // The afile's database as the library works on it: the staged copy.
    std::string StagedDBFile() const {
        const std::string db = DBFilePath(kAfile);
        const std::string folder = db.substr(0, db.rfind('/'));
        const std::string root = folder.substr(0, folder.rfind('/', folder.rfind('/') - 1));
        std::string staged;
        EXPECT_FALSE(LiveBrowseCacheUtility::GetAfileStageDBLocation(folder, root, staged).IsError());
        return staged + "/afile_cache.db";
    }

    // The extent rows of the staged copy that name a region, as another
    // connection sees them: only committed rows.
    std::vector<std::string> CommittedLocatedOffsets() const {
        return QueryColumn(StagedDBFile(),
                           "SELECT AfileOffset FROM Extents WHERE CacheLocation <> '' ORDER BY AfileOffset");
    }
};

TEST_P(SyncOrderTest, FlatFileIsFlushedBeforeTheCommitThatRecordsItsRegion) {
    TraceRecorder trace;
    const std::string first = Payload(5000, 1);

    // The first request of a fresh container commits at once, so its Close
    // records the region outside a transaction: flush, then that commit.
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    ASSERT_FALSE(writer->Write(first.data(), first.size()).IsError());
    trace.Clear();
    ASSERT_FALSE(writer->Close().IsError());
    writer.reset();

    const std::string flat = LocalFlatFile(kAfile);
    const std::string staged = StagedDBFile();
    const int flushed = trace.Find(TraceRecorder::FLUSHED, flat);
    const int committed = trace.Find(TraceRecorder::COMMITTED, staged);
    ASSERT_GE(flushed, 0) << trace.AsText();
    ASSERT_GE(committed, 0) << trace.AsText();
    EXPECT_LT(flushed, committed) << trace.AsText();
    EXPECT_EQ(std::vector<std::string>{"0"}, CommittedLocatedOffsets());

    // Three more writes in the same second share one open transaction:
    // nothing is flushed or committed until its deferred commit comes.
    std::vector<std::string> bytes;
    trace.Clear();
    for (int i = 1; i <= 3; ++i) {
        bytes.push_back(Payload(3000 + i, 10 + i));
        ASSERT_FALSE(WriteExtent(kAfile, i * 100000, bytes.back()).IsError());
    }
    EXPECT_EQ(0, trace.Count(TraceRecorder::FLUSHED, flat)) << trace.AsText();
    EXPECT_EQ(0, trace.Count(TraceRecorder::COMMITTED, staged)) << trace.AsText();
    EXPECT_EQ(std::vector<std::string>{"0"}, CommittedLocatedOffsets());

    // The first request more than 29 s later commits the shared transaction:
    // one flush of the flat file for the three regions, then the commit.
    SystemClock::TEST_AdvanceSeconds(30);
    trace.Clear();
    ExpectReads(kAfile, 0, first);
    EXPECT_EQ(1, trace.Count(TraceRecorder::FLUSHED, flat)) << trace.AsText();
    EXPECT_EQ(1, trace.Count(TraceRecorder::COMMITTED, staged)) << trace.AsText();
    EXPECT_LT(trace.Find(TraceRecorder::FLUSHED, flat), trace.Find(TraceRecorder::COMMITTED, staged))
        << trace.AsText();
    EXPECT_EQ((std::vector<std::string>{"0", "100000", "200000", "300000"}), CommittedLocatedOffsets());
    for (int i = 1; i <= 3; ++i) ExpectReads(kAfile, i * 100000, bytes[i - 1]);
}

TEST_P(SyncOrderTest, NoCommitFollowsARegionWithoutItsFlush) {
    // Writes spread over time, so that some rows are recorded outside a
    // transaction and some inside a shared one whose deferred commit comes
    // later. A mark goes in just before each Close, whose region is written
    // before its row: a commit of the database while a region written since
    // the last flush of the flat file is pending would break the order.
    TraceRecorder trace;
    const std::string flat = LocalFlatFile(kAfile);
    const std::string staged = StagedDBFile();
    std::vector<std::string> written;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 3; ++i) {
            written.push_back(Payload(1000 + round * 10 + i, round * 3 + i));
            CLiveBrowseCache::WriterPtr writer;
            ASSERT_FALSE(lbc->GetWriterObject(kAfile, (round * 3 + i) * 4096, kTessarel, kCopy, kJob, writer)
                             .IsError());
            ASSERT_FALSE(writer->Write(written.back().data(), written.back().size()).IsError());
            trace.Mark("closing");
            ASSERT_FALSE(writer->Close().IsError());
        }
        SystemClock::TEST_AdvanceSeconds(round % 2 == 0 ? 10 : 25);
    }
    ReleaseContainer(kAfile);

    bool regionPending = false;
    int commits = 0;
    int flushes = 0;
    for (const TraceRecorder::Event& e : trace.Events()) {
        if (e.kind == TraceRecorder::MARK) regionPending = true;
        if (e.kind == TraceRecorder::FLUSHED && e.path == flat) {
            regionPending = false;
            ++flushes;
        }
        if (e.kind == TraceRecorder::COMMITTED && e.path == staged) {
            ++commits;
            EXPECT_FALSE(regionPending) << "commit with a region not flushed\n" << trace.AsText();
        }
    }
    EXPECT_FALSE(regionPending) << "the last regions were never flushed\n" << trace.AsText();
    // Cheap: far fewer flushes than regions.
    EXPECT_GT(commits, 0);
    EXPECT_LT(flushes, static_cast<int>(written.size()));
    for (size_t i = 0; i < written.size(); ++i) ExpectReads(kAfile, static_cast<long long>(i) * 4096, written[i]);
}

TEST_P(SyncOrderTest, DatabaseCopyIsFlushedBeforeItIsMovedIntoPlace) {
    const std::string bytes = Payload(7000, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, bytes).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    const std::string before = ReadWholeFile(dbFile);
    ASSERT_FALSE(before.empty());

    // A second write-back, watched: the copy in the upload folder is flushed
    // while the cache location still holds the previous database, then moved
    // over it, then the folder is flushed.
    const std::string more = Payload(6000, 4);
    ASSERT_FALSE(WriteExtent(kAfile, 65536, more).IsError());
    const std::string dbFolder = dbFile.substr(0, dbFile.rfind('/'));
    const std::string upload = dbFolder + ".upload/afile_cache.db";
    std::string atCopyFlush;
    std::vector<std::pair<DurabilityTrace::Step, std::string>> steps;
    std::mutex lock;
    DurabilityTrace::TEST_SetObserver([&](DurabilityTrace::Step step, const std::string& path) {
        std::lock_guard<std::mutex> guard(lock);
        if (step == DurabilityTrace::FLUSHED && path == upload) atCopyFlush = ReadWholeFile(dbFile);
        steps.emplace_back(step, path);
    });
    ReleaseContainer(kAfile);
    DurabilityTrace::TEST_SetObserver(DurabilityTrace::Observer());

    auto find = [&](DurabilityTrace::Step step, const std::string& path) {
        for (size_t i = 0; i < steps.size(); ++i)
            if (steps[i].first == step && steps[i].second == path) return static_cast<int>(i);
        return -1;
    };
    std::string text;
    for (const auto& s : steps) text += std::to_string(s.first) + " " + s.second + "\n";
    const int flushedCopy = find(DurabilityTrace::FLUSHED, upload);
    const int moved = find(DurabilityTrace::MOVED, dbFile);
    const int flushedFolder = find(DurabilityTrace::FLUSHED, dbFolder);
    ASSERT_GE(flushedCopy, 0) << text;
    ASSERT_GE(moved, 0) << text;
    ASSERT_GE(flushedFolder, 0) << text;
    EXPECT_LT(flushedCopy, moved) << text;
    EXPECT_LT(moved, flushedFolder) << text;
    EXPECT_TRUE(atCopyFlush == before) << "the cache location's database changed before its copy was flushed";
    EXPECT_FALSE(ReadWholeFile(dbFile) == before);
    EXPECT_FALSE(Exists(dbFolder + ".upload"));

    ExpectReads(kAfile, 0, bytes);
    ExpectReads(kAfile, 65536, more);
}

INSTANTIATE_TEST_SUITE_P(Locations, SyncOrderTest,
                         ::testing::Values(LocationCase{"Local", false}, LocationCase{"DataServer", true}),
                         [](const ::testing::TestParamInfo<LocationCase>& info) { return info.param.name; });

}  // namespace
}  // namespace faults
