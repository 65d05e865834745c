// Flat-file items: regions reserved and written, rewritten in place or anew,
// read back by their location, and locations from rows treated as untrusted.

#include "store/FlatFileCacheItem.h"

#include "CacheTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "store/LiveBrowseCacheUtility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

namespace {

typedef boost::shared_ptr<FlatFileCacheItem> FlatItemPtr;

// Every test runs on a local folder and behind the loopback data server.
class FlatFileCacheItemTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        loc = TestLocation::Make(dir, GetParam());
        dataFolder = loc.Path("DATA");
        MakeFolders(loc.Local("DATA"));
        flatFile = FlatFileOf(dataFolder, 812);
        relative = flatFile.substr(dataFolder.size() + 1);
        localFlatFile = loc.Local("DATA/" + relative);
    }
    void TearDown() override {
        LIVE_BROWSE_CACHE_TESTABILITY.store(0);
        LoopbackFS::TEST_Reset();
    }

    FlatItemPtr NewWriteItem(long long afileOffset = 0) {
        return boost::make_shared<FlatFileCacheItem>(MakeExtent(812, afileOffset), flatFile,
                                                     Cache::INTENDED_OP_WRITE, dataFolder, loc.info, 900);
    }
    FlatItemPtr Open(const std::string& location, Cache::IntendedOp op) {
        return boost::make_shared<FlatFileCacheItem>(location, op, dataFolder, loc.info, 900);
    }
    // Writes one region and answers its location.
    std::string WriteRegion(const std::string& bytes) {
        FlatItemPtr item = NewWriteItem();
        item->Write(bytes.data(), bytes.size());
        CZoError err = item->Close();
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return item->GetCacheItemLocation();
    }
    std::string ReadBack(const std::string& location) {
        FlatItemPtr item = Open(location, Cache::INTENDED_OP_READ);
        CAutoMemory<char> buffer;
        CZoError err = item->Read(buffer);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        std::string bytes = buffer.Size() != 0 ? std::string(buffer.Ptr(), buffer.Size()) : std::string();
        item->Close();
        return bytes;
    }

    TempDir dir;
    TestLocation loc;
    std::string dataFolder;
    std::string flatFile;
    std::string relative;
    std::string localFlatFile;
};

INSTANTIATE_TEST_SUITE_P(Both, FlatFileCacheItemTest, testing::Bool(), LocationName);

TEST_P(FlatFileCacheItemTest, RegionsFollowOneAnotherInReservationOrder) {
    const std::string first = Payload(100, 1);
    const std::string second = Payload(37, 2);
    const std::string a = WriteRegion(first);
    const std::string b = WriteRegion(second);

    EXPECT_EQ(relative + ":0:100", a);
    EXPECT_EQ(relative + ":100:37", b);
    EXPECT_NE('/', a[0]);
    // No header, padding or trailer: the file is the two regions.
    EXPECT_EQ(first + second, ReadWholeFile(localFlatFile));
    EXPECT_EQ(first, ReadBack(a));
    EXPECT_EQ(second, ReadBack(b));
}

TEST_P(FlatFileCacheItemTest, LocationOfALargeRegionAtAnOffset) {
    WriteRegion(Payload(1048576, 1));
    const std::string location = WriteRegion(Payload(65536, 2));
    EXPECT_EQ(relative + ":1048576:65536", location);
    EXPECT_EQ(Payload(65536, 2), ReadBack(location));
}

TEST_P(FlatFileCacheItemTest, TwoThreadsAppendingGetDisjointAdjacentRegions) {
    const int kPerThread = 1000;
    struct Written {
        std::string location;
        std::string bytes;
    };
    std::vector<Written> written[2];
    std::atomic<int> failures{0};
    auto writer = [&](int t) {
        for (int i = 0; i < kPerThread; ++i) {
            Written w;
            w.bytes = Payload(7 + static_cast<size_t>((i * 37 + t) % 300), static_cast<unsigned>(t * kPerThread + i));
            FlatItemPtr item = NewWriteItem(i);
            for (size_t at = 0; at < w.bytes.size(); at += 64)
                item->Write(w.bytes.data() + at, std::min<size_t>(64, w.bytes.size() - at));
            if (item->Close().IsError()) ++failures;
            w.location = item->GetCacheItemLocation();
            written[t].push_back(w);
        }
    };
    std::thread one(writer, 0);
    std::thread two(writer, 1);
    one.join();
    two.join();
    ASSERT_EQ(0, failures.load());

    std::vector<std::pair<long long, long long>> regions;
    for (const auto& list : written)
        for (const Written& w : list) {
            ItemLocation parsed = ItemLocation::Parse(w.location);
            EXPECT_EQ(relative, parsed.path);
            EXPECT_EQ(static_cast<long long>(w.bytes.size()), parsed.length);
            regions.emplace_back(parsed.offset, parsed.length);
        }
    std::sort(regions.begin(), regions.end());
    long long end = 0;
    for (const auto& region : regions) {
        ASSERT_EQ(end, region.first) << "regions overlap or leave a gap";
        end += region.second;
    }
    EXPECT_EQ(end, FileSize(localFlatFile));

    for (const auto& list : written)
        for (const Written& w : list) ASSERT_EQ(w.bytes, ReadBack(w.location)) << w.location;
}

TEST_P(FlatFileCacheItemTest, SameLengthRewriteAppendsANewRegionAndKeepsTheOldBytes) {
    const std::string a = WriteRegion(Payload(50, 1));
    const std::string b = WriteRegion(Payload(50, 2));

    FlatItemPtr rewrite = Open(a, Cache::INTENDED_OP_REWRITE);
    const std::string fresh = Payload(50, 3);
    rewrite->Write(fresh.data(), fresh.size());
    ASSERT_FALSE(rewrite->Close().IsError());

    EXPECT_EQ(relative + ":100:50", rewrite->GetCacheItemLocation());
    EXPECT_EQ(150, FileSize(localFlatFile));
    EXPECT_EQ(fresh, ReadBack(rewrite->GetCacheItemLocation()));
    // A reader of the old region still gets the bytes it began with.
    EXPECT_EQ(Payload(50, 1), ReadBack(a));
    EXPECT_EQ(Payload(50, 2), ReadBack(b));
}

TEST_P(FlatFileCacheItemTest, RewriteOfAnotherLengthAppendsANewRegion) {
    const std::string old = Payload(50, 1);
    const std::string a = WriteRegion(old);

    FlatItemPtr rewrite = Open(a, Cache::INTENDED_OP_REWRITE);
    const std::string longer = Payload(80, 3);
    rewrite->Write(longer.data(), longer.size());
    ASSERT_FALSE(rewrite->Close().IsError());

    EXPECT_EQ(relative + ":50:80", rewrite->GetCacheItemLocation());
    EXPECT_EQ(80u, rewrite->Size());
    EXPECT_EQ(old + longer, ReadWholeFile(localFlatFile));  // the old region stays as dead space
}

TEST_P(FlatFileCacheItemTest, RewriteOfAMissingFileStartsItAnew) {
    WriteRegion(Payload(20, 1));
    const std::string b = WriteRegion(Payload(30, 2));
    ASSERT_EQ(0, ::unlink(localFlatFile.c_str()));

    FlatItemPtr rewrite = Open(b, Cache::INTENDED_OP_REWRITE);
    const std::string fresh = Payload(30, 3);
    rewrite->Write(fresh.data(), fresh.size());
    ASSERT_FALSE(rewrite->Close().IsError());
    EXPECT_EQ(relative + ":0:30", rewrite->GetCacheItemLocation());
    EXPECT_EQ(fresh, ReadWholeFile(localFlatFile));
}

TEST_P(FlatFileCacheItemTest, CloseWithoutBytesReservesAnEmptyRegion) {
    WriteRegion(Payload(10, 1));
    FlatItemPtr item = NewWriteItem();
    ASSERT_FALSE(item->Close().IsError());
    EXPECT_EQ(relative + ":10:0", item->GetCacheItemLocation());
    EXPECT_EQ(10, FileSize(localFlatFile));
}

TEST_P(FlatFileCacheItemTest, ItemDroppedWithoutCloseWritesNothing) {
    {
        FlatItemPtr item = NewWriteItem();
        const std::string bytes = Payload(10, 1);
        item->Write(bytes.data(), bytes.size());
    }
    EXPECT_FALSE(Exists(localFlatFile));
}

TEST_P(FlatFileCacheItemTest, TagMagicIsCheckedOnTheFirstChunkOnly) {
    ScopedLogCapture log;
    struct Case {
        std::vector<std::string> chunks;
        int warnings;
    };
    const Case cases[] = {
        {{"TAGHD01rest"}, 0},
        {{"TAGHD01"}, 0},
        {{"TAG", "HD01rest"}, 1},  // shorter than the magic
        {{"XAGHD01"}, 1},
        {{"TAGHD01", "garbage"}, 0},
    };
    for (const Case& c : cases) {
        const int before = log->Count(-1, "Tag magic does not match for");
        FlatItemPtr item = NewWriteItem();
        std::string all;
        for (const std::string& chunk : c.chunks) {
            ASSERT_FALSE(item->Write(chunk.data(), chunk.size()).IsError());
            all += chunk;
        }
        ASSERT_FALSE(item->Close().IsError());
        EXPECT_EQ(c.warnings, log->Count(-1, "Tag magic does not match for") - before) << all;
        EXPECT_EQ(all, ReadBack(item->GetCacheItemLocation()));  // cached either way
    }
    log.Uninstall();
}

TEST_P(FlatFileCacheItemTest, TestModeKeepsTheMd5Text) {
    ScopedLogCapture log;
    const std::string bytes = Payload(300, 5);

    FlatItemPtr plain = NewWriteItem();
    plain->Write(bytes.data(), bytes.size());
    ASSERT_FALSE(plain->Close().IsError());
    EXPECT_EQ("", plain->GetMd5());
    EXPECT_EQ(0, log->Count(4, "[md5="));

    LIVE_BROWSE_CACHE_TESTABILITY.store(1);
    FlatItemPtr tested = NewWriteItem();
    tested->Write(bytes.data(), bytes.size());
    ASSERT_FALSE(tested->Close().IsError());
    std::string expected;
    ASSERT_FALSE(LiveBrowseCacheUtility::GetMd5(bytes, expected).IsError());
    EXPECT_EQ(32u, expected.size());
    EXPECT_EQ(expected, tested->GetMd5());
    EXPECT_EQ(1, log->Count(4, "[md5=" + expected + "]"));
    log.Uninstall();
}

TEST_P(FlatFileCacheItemTest, ReadsAreExactAndStreamFromThePosition) {
    const std::string bytes = Payload(100, 9);
    WriteRegion(Payload(10, 1));
    const std::string location = WriteRegion(bytes);

    FlatItemPtr item = Open(location, Cache::INTENDED_OP_READ);
    CAutoMemory<char> buffer;
    size_t size = 60;
    ASSERT_FALSE(item->Read(buffer, size).IsError());
    EXPECT_EQ(60u, size);
    EXPECT_EQ(bytes.substr(0, 60), std::string(buffer.Ptr(), 60));
    size = 40;
    ASSERT_FALSE(item->Read(buffer, size).IsError());
    EXPECT_EQ(bytes.substr(60), std::string(buffer.Ptr(), 40));
    // Past the end of the file: a short read.
    size = 1;
    CZoError err = item->Read(buffer, size);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kShortRead)) << err.AsString();
    EXPECT_EQ(1u, size);
}

TEST_P(FlatFileCacheItemTest, ReadIntoLentMemoryNeverReplacesIt) {
    const std::string location = WriteRegion(Payload(64, 4));
    FlatItemPtr item = Open(location, Cache::INTENDED_OP_READ);
    std::vector<char> memory(32, 'x');
    CAutoMemory<char> buffer(false);
    buffer.Link(memory.data(), memory.size());
    size_t size = 32;
    ASSERT_FALSE(item->Read(buffer, size).IsError());
    EXPECT_EQ(Payload(64, 4).substr(0, 32), std::string(memory.data(), 32));
    // More than was lent: refused rather than reallocated.
    size = 33;
    EXPECT_TRUE(FXErrorUtil::IsInt(item->Read(buffer, size), LBCError::kReadFailed));
    EXPECT_EQ(memory.data(), buffer.Ptr());
    buffer.Unlink(nullptr, nullptr);
}

TEST_P(FlatFileCacheItemTest, RegionPastTheEndFailsTheRead) {
    WriteRegion(Payload(10, 1));
    FlatItemPtr item = Open(relative + ":5:10", Cache::INTENDED_OP_READ);
    CAutoMemory<char> buffer;
    EXPECT_TRUE(FXErrorUtil::IsInt(item->Read(buffer), LBCError::kShortRead));
}

TEST_P(FlatFileCacheItemTest, ReadOfAnItemThatOpenedNothingIs51) {
    FlatItemPtr item = NewWriteItem();
    CAutoMemory<char> buffer;
    size_t size = 4;
    EXPECT_TRUE(FXErrorUtil::IsInt(item->Read(buffer, size), LBCError::kReadFailed));
}

TEST_P(FlatFileCacheItemTest, MissingFlatFileFailsAReadItemAtConstruction) {
    for (Cache::IntendedOp op : {Cache::INTENDED_OP_READ, Cache::INTENDED_OP_VALIDITY_TEST}) {
        try {
            Open(relative + ":0:10", op);
            ADD_FAILURE() << "constructed";
        } catch (CZoError& err) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kFlatFileOpenFailed)) << err.AsString();
        }
    }
    // Write and rewrite items open nothing.
    EXPECT_NO_THROW(Open(relative + ":0:10", Cache::INTENDED_OP_REWRITE));
    EXPECT_NO_THROW(Open(relative + ":0:10", Cache::INTENDED_OP_WRITE));
}

TEST_P(FlatFileCacheItemTest, LocationFieldsFollowTheCLibraryReading) {
    WriteRegion(Payload(40, 1));
    struct Case {
        std::string text;
        unsigned long long offset;
        size_t size;
    };
    const Case cases[] = {
        {relative + ":10:20:extra:fields", 10, 20},
        {relative + ":abc:20", 0, 20},
        {relative + ": 12xyz:+5", 12, 5},
        {relative + "::", 0, 0},
    };
    for (const Case& c : cases) {
        FlatItemPtr item = Open(c.text, Cache::INTENDED_OP_READ);
        EXPECT_EQ(c.size, item->Size()) << c.text;
        EXPECT_NE(std::string::npos,
                  item->shortDescription().find(FXString::Format("Offset [%llu]", c.offset)))
            << c.text;
    }
}

TEST_P(FlatFileCacheItemTest, UntrustedLocationsAreRejectedWith37AndOpenNothing) {
    // A real file outside the data folder that a crafted path could reach.
    WriteWholeFile(loc.Local("outside.cache"), "secret bytes");
    WriteRegion(Payload(40, 1));
    const std::string cases[] = {
        "no-separators",
        relative + ":5",
        "/" + loc.Local("outside.cache") + ":0:6",
        "../outside.cache:0:6",
        "C1/../../outside.cache:0:6",
        "C1/.x.y/../../../outside.cache:0:6",
        "C1/..:0:6",
        ":0:6",
        relative + ":-1:5",
        relative + ":0:-5",
        relative + ":99999999999999999999:1",
        relative + ":1:99999999999999999999",
        relative + ":9223372036854775807:1",
    };
    for (const std::string& text : cases) {
        for (Cache::IntendedOp op : {Cache::INTENDED_OP_READ, Cache::INTENDED_OP_VALIDITY_TEST,
                                     Cache::INTENDED_OP_REWRITE}) {
            try {
                Open(text, op);
                ADD_FAILURE() << "accepted " << text;
            } catch (CZoError& err) {
                EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << text << " " << err.AsString();
            }
        }
    }
    try {
        Open(relative + ":5", Cache::INTENDED_OP_READ);
    } catch (CZoError& err) {
        const std::string text = err.AsString();
        EXPECT_NE(std::string::npos, text.find(relative + ":5"));
        EXPECT_NE(std::string::npos, text.find("<filepath>:<offset>:<length>"));
    }
    EXPECT_EQ("secret bytes", ReadWholeFile(loc.Local("outside.cache")));
}

TEST_P(FlatFileCacheItemTest, ItemIsAvailableWhileItsLocationIsReachable) {
    FlatItemPtr item = NewWriteItem();
    EXPECT_TRUE(item->IsAvailable());
    if (!GetParam()) return;
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, false);
    EXPECT_FALSE(item->IsAvailable());
    LoopbackFS::TEST_SetConnected(TestLocation::kHost, true);
    EXPECT_TRUE(item->IsAvailable());
}

// The data server's fault switches: a failed write, a short transfer.
TEST(FlatFileCacheItemRemoteTest, FailedAndShortTransfersAreReported) {
    TempDir dir;
    TestLocation loc = TestLocation::Make(dir, true);
    const std::string dataFolder = loc.Path("DATA");
    MakeFolders(loc.Local("DATA"));
    const std::string flatFile = FlatFileOf(dataFolder, 812);
    const std::string bytes = Payload(100, 1);

    auto newItem = [&]() {
        return boost::make_shared<FlatFileCacheItem>(MakeExtent(812, 0), flatFile, Cache::INTENDED_OP_WRITE,
                                                     dataFolder, loc.info, 900);
    };

    LoopbackFS::TEST_FailNextWrites(TestLocation::kHost, 1);
    FlatItemPtr failed = newItem();
    failed->Write(bytes.data(), bytes.size());
    CZoError err = failed->Close();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kFlatFileWriteFailed)) << err.AsString();

    LoopbackFS::TEST_SetMaxTransfer(TestLocation::kHost, 10);
    FlatItemPtr shortWrite = newItem();
    shortWrite->Write(bytes.data(), bytes.size());
    err = shortWrite->Close();
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kShortWrite)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find("Bytes to write=[100], written=[10]"));

    LoopbackFS::TEST_SetMaxTransfer(TestLocation::kHost, 0);
    FlatItemPtr good = newItem();
    good->Write(bytes.data(), bytes.size());
    ASSERT_FALSE(good->Close().IsError());

    LoopbackFS::TEST_SetMaxTransfer(TestLocation::kHost, 10);
    FlatItemPtr reader = boost::make_shared<FlatFileCacheItem>(good->GetCacheItemLocation(), Cache::INTENDED_OP_READ,
                                                               dataFolder, loc.info, 900);
    CAutoMemory<char> buffer;
    err = reader->Read(buffer);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kShortRead)) << err.AsString();
    LoopbackFS::TEST_Reset();
}

// A location's numbers read as strtoll reads them in the C locale: the end
// of a region is what strtoll makes of its two fields, and a field strtoll
// finds out of range, or a negative one, makes the location unusable.
TEST(FlatFileCacheItemLocationTest, RegionEndReadsFieldsAsStrtollDoes) {
    const char* const fields[] = {
        "0",   "7",   " 12", "\t\n\v\f\r3", "+5",  "-0",   "+",  "-",   "",   "abc", "12xyz", "007", " +9z", "- 1",
        "-7",  "9223372036854775807", "9223372036854775808", "-9223372036854775808", "99999999999999999999",
        "4611686018427387904",
    };
    auto strtollReads = [](const char* field, long long& value) {
        errno = 0;
        value = std::strtoll(field, nullptr, 10);
        return errno != ERANGE;
    };
    for (const char* offsetField : fields) {
        for (const char* lengthField : fields) {
            const std::string location =
                std::string("loc:C1/afile_1_1_1/1_1_1.cache:") + offsetField + ":" + lengthField;
            long long offset = 0;
            long long length = 0;
            const bool usable = strtollReads(offsetField, offset) && strtollReads(lengthField, length) && offset >= 0 &&
                                length >= 0 && offset <= std::numeric_limits<long long>::max() - length;
            long long end = -1;
            CZoError err = FlatFileCacheItem::RegionEnd(location, end);
            if (usable) {
                EXPECT_FALSE(err.IsError()) << location << " " << err.AsString();
                EXPECT_EQ(offset + length, end) << location;
            } else {
                EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << location << " " << err.AsString();
            }
        }
    }
}

}  // namespace
