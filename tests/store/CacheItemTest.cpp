// The base parts shared by every back end: the database form of an item
// location, the GUID test of a recorded location, and what a new item shows.

#include "store/CacheImpl.h"
#include "store/CacheItem.h"
#include "store/FlatFileCacheImpl.h"
#include "store/FlatFileCacheItem.h"

#include "CacheTestSupport.h"
#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"

#include <gtest/gtest.h>

namespace {

class CacheItemTest : public testing::Test {
protected:
    void SetUp() override {
        dataFolder = dir.sub("DATA");
        MakeFolders(dataFolder);
        impl = boost::make_shared<FlatFileCacheImpl>(dataFolder);
        impl->SetFSIO(boost::make_shared<CCacheFileIO>(info), info);
    }

    TempDir dir;
    std::string dataFolder;
    boost::any info;
    boost::shared_ptr<FlatFileCacheImpl> impl;
};

TEST_F(CacheItemTest, DatabaseFormRoundTrips) {
    const std::string location = "C1/afile_1_1_2/1_1_2.cache:1048576:65536";
    const std::string db = impl->ConstructCacheItemLocationForDB(location);
    EXPECT_EQ("loc:" + location, db);

    std::string parsed;
    ASSERT_FALSE(impl->ParseCacheItemLocation(db, parsed).IsError());
    EXPECT_EQ(location, parsed);

    EXPECT_EQ("loc:", impl->ConstructCacheItemLocationForDB(""));
    parsed = "something";
    ASSERT_FALSE(impl->ParseCacheItemLocation("loc:", parsed).IsError());
    EXPECT_EQ("", parsed);
}

TEST_F(CacheItemTest, ParsingWithoutPrefixIs37AndLeavesTheInput) {
    for (const char* text : {"C1/x.cache:0:5", "LOC:C1/x.cache:0:5", "loc", ""}) {
        std::string parsed = "before";
        CZoError err = impl->ParseCacheItemLocation(text, parsed);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << text;
        EXPECT_EQ(text, parsed);
        if (*text != '\0') {
            EXPECT_NE(std::string::npos, err.AsString().find("does not contain location prefix"));
        }
    }
}

TEST_F(CacheItemTest, BaseValidityTestJudgesByLocationAndGuidsOnly) {
    struct Case {
        const char* location;
        const char* extentGuid;
        const char* vmGuid;
        bool valid;
        Cache::INVALIDITY_REASON reason;  // the caller's value is INVALIDITY_FILE_NOT_OPENED
    };
    const Case cases[] = {
        {"", "abc", "abc", false, Cache::INVALIDITY_NO_LOCATION},
        {"", "abc", "xyz", false, Cache::INVALIDITY_NO_LOCATION},
        {"loc:nowhere:0:5", "ABC-def", "abc-DEF", true, Cache::INVALIDITY_FILE_NOT_OPENED},
        {"loc:nowhere:0:5", "", "abc", false, Cache::INVALIDITY_GUID_MISMATCH},
        {"loc:nowhere:0:5", "abc", "abd", false, Cache::INVALIDITY_GUID_MISMATCH},
        {"loc:nowhere:0:5", "", "", true, Cache::INVALIDITY_FILE_NOT_OPENED},
    };
    for (const Case& c : cases) {
        Extent extent(1, 0, 2, 1, 900);
        extent.CacheLocation = c.location;
        extent.ValidityGUID = c.extentGuid;
        VM vm(2, 1, 1, "vm", 900, 0, c.vmGuid);
        bool valid = !c.valid;
        Cache::INVALIDITY_REASON reason = Cache::INVALIDITY_FILE_NOT_OPENED;
        // The base test alone: it never looks at the storage ("nowhere" does not exist).
        ASSERT_FALSE(impl->CacheImpl::IsCacheLocationValid(extent, vm, valid, reason).IsError());
        EXPECT_EQ(c.valid, valid) << c.location << " " << c.extentGuid << " " << c.vmGuid;
        EXPECT_EQ(c.reason, reason) << c.location << " " << c.extentGuid << " " << c.vmGuid;
    }
}

TEST_F(CacheItemTest, NewItemsDescribeThemselves) {
    ExtentPtr extent = MakeExtent(812, 4096);
    FlatFileCacheItem forExtent(extent, dataFolder + "/x.cache", Cache::INTENDED_OP_WRITE, dataFolder, info, 900);
    EXPECT_EQ("Location [] Size [0]", forExtent.CacheItem::shortDescription());
    EXPECT_EQ(0u, forExtent.Size());
    EXPECT_EQ("", forExtent.GetCacheItemLocation());
    EXPECT_EQ(extent.get(), forExtent.GetExtent().get());
    EXPECT_EQ("", forExtent.GetMd5());

    // A rewrite item opens nothing, so its flat file need not exist.
    FlatFileCacheItem byLocation("x.cache:10:20", Cache::INTENDED_OP_REWRITE, dataFolder, info, 900);
    EXPECT_EQ("x.cache:10:20", byLocation.GetCacheItemLocation());
    EXPECT_EQ("Location [x.cache:10:20] Size [20]", byLocation.CacheItem::shortDescription());
    EXPECT_EQ("Location [x.cache:10:20] Size [20] Path [" + dataFolder + "/x.cache] Offset [10]",
              byLocation.shortDescription());
    ExtentPtr blank = byLocation.GetExtent();
    ASSERT_TRUE(blank);
    EXPECT_EQ(0, blank->AfileID);
    EXPECT_EQ(0, blank->AfileOffset);
    EXPECT_EQ(0u, blank->TessarelID);
    EXPECT_EQ(0u, blank->CopyID);
    EXPECT_EQ(0, blank->JobID);
    EXPECT_EQ(0, blank->Flags);
    EXPECT_EQ("", blank->CacheLocation);
}

TEST_F(CacheItemTest, AvailabilityFlagIsSharedStateOfTheBackEnd) {
    EXPECT_TRUE(impl->IsAvailable());
    impl->MarkUnavailable();
    EXPECT_FALSE(impl->IsAvailable());
    impl->MarkAvailable();
    EXPECT_TRUE(impl->IsAvailable());

    bool available = false;
    ASSERT_FALSE(impl->CacheImpl::CheckAvailibility(available).IsError());
    EXPECT_TRUE(available);
}

}  // namespace
