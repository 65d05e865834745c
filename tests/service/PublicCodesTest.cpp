// The codes a host meets, tested by their public names as a host tests them.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "metadb/CacheDBImpl.h"
#include "service/IteratorSupport.h"
#include "service/RequestGuard.h"
#include "store/FlatFileCacheItem.h"

#include <functional>

// The public names and the library's own constants must never part.
static_assert(LBCError::kEndOfListing == kErrorEndOfListing, "end of listing");
static_assert(LBCError::kNoDatabase == kErrorNoDatabase, "no database");
static_assert(LBCError::kUnexpectedThrow == kErrorUnexpectedThrow, "unexpected throw");
static_assert(LBCError::kRegionsNotFlushed == CacheDB::kErrorRegionsNotFlushed, "regions not flushed");
static_assert(LBCError::kTransactionLost == CacheDBImpl::kErrorTransactionLost, "transaction lost");
static_assert(LBCError::kFlatFileLost == FlatFileCacheItem::kErrorFlatFileLost, "flat file lost");

namespace {

class PublicCodesTest : public MainRoadTest {};

struct CodeCase {
    const char* what;
    int code;
    std::function<CZoError(CLiveBrowseCache*)> request;
};

}  // namespace

TEST_F(PublicCodesTest, EachRequestFailureIsTheCodeItsPublicNameSays) {
    const std::string bytes = Payload(100, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, bytes).IsError());
    const long long kOpenOffset = 8192;
    CLiveBrowseCache::WriterPtr open;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, kOpenOffset, kTessarel, kCopy, kJob, 0, open).IsError());

    const CodeCase cases[] = {
        {"a miss", LBCError::kNotFound,
         [](CLiveBrowseCache* c) {
             CLiveBrowseCache::ReaderPtr reader;
             return c->GetReaderObject(kAfile, 65536, kTessarel, kCopy, kJob, 0, reader);
         }},
        {"a second write of an extent being written", LBCError::kWriteInProgress,
         [&](CLiveBrowseCache* c) {
             CLiveBrowseCache::WriterPtr writer;
             return c->GetWriterObject(kAfile, kOpenOffset, kTessarel, kCopy, kJob, 0, writer);
         }},
        {"a read of an extent whose write is not committed", LBCError::kNoItemLocation,
         [&](CLiveBrowseCache* c) {
             CLiveBrowseCache::ReaderPtr reader;
             return c->GetReaderObject(kAfile, kOpenOffset, kTessarel, kCopy, kJob, 0, reader);
         }},
        {"a Write of no bytes", LBCError::kNoBytes, [&](CLiveBrowseCache*) { return open->Write(nullptr, 0); }},
        {"a Write after Close", LBCError::kWriterNotOpen,
         [](CLiveBrowseCache* c) {
             CLiveBrowseCache::WriterPtr writer;
             CZoError err = c->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, 0, writer);
             if (!err.IsError()) err = writer->Close();
             if (!err.IsError()) err = writer->Write("TAGHD01", 7);
             return err;
         }},
        {"the end of a listing", LBCError::kEndOfListing,
         [](CLiveBrowseCache* c) {
             boost::shared_ptr<CLiveBrowseCache::ExtentIterator> extents;
             CZoError err = c->GetExtentIterator(0, kAfile, kTessarel, kCopy, 100, extents);
             long long afile = 0, offset = 0;
             unsigned int copy = 0, tessarel = 0;
             std::string guid;
             while (!err.IsError()) err = extents->GetNextExtentInfo(afile, offset, copy, tessarel, guid);
             return err;
         }},
    };
    for (const CodeCase& c : cases) {
        CZoError err = c.request(lbc);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, c.code)) << c.what << ": " << err.AsString();
    }
}

TEST_F(PublicCodesTest, AnAfileLockedByAnotherHostHasANameInBothForms) {
    const long long afile = 9002;
    const std::string lockFile = LockFilePath(afile);
    ASSERT_EQ(0, ::system(("mkdir -p '" + lockFile.substr(0, lockFile.rfind('/')) + "'").c_str()));
    ForkedLockHolder other(lockFile);
    ASSERT_TRUE(other.Locked());

    CLiveBrowseCache::ReaderPtr reader;
    CZoError err = lbc->GetReaderObject(afile, 0, kTessarel, kCopy, kJob, 0, reader);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost)) << err.AsString();
    err = lbc->GetReaderObject(afile, 0, kTessarel, kCopy, kJob, reader);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, LBCError::kWin32LockedByAnotherHost)) << err.AsString();
}
