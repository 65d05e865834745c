#pragma once
// A started service for tests of the write and read roads, with helpers that
// write and read extents through the facade and look at the rows, the flat
// file and the lock file the library keeps on disk.

#include "LiveBrowseCache.h"
#include "VM.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "store/Cache.h"
#include "store/CacheLookup.h"
#include "support/ServiceFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include "support/ForkedLockHolder.h"

class MainRoadTest : public ServiceFixture {
protected:
    static constexpr long long kAfile = 123;
    static constexpr unsigned int kTessarel = 7;
    static constexpr unsigned int kCopy = 1;
    static constexpr long long kJob = 55;
    static constexpr long long kPartial = 0x400000000LL;
    static constexpr int64_t kNow = 1700000000;

    void SetUp() override {
        ServiceFixture::SetUp();
        SystemClock::TEST_Freeze(kNow);
        lbc = StartService();
        ASSERT_NE(nullptr, lbc);
    }

    // Bytes of an extent as the host hands them over: the tag, then a
    // pattern of the seed; `length` bytes in all (at least the tag's 7).
    static std::string Payload(size_t length, unsigned seed) {
        std::string bytes = "TAGHD01";
        for (size_t i = bytes.size(); i < length; ++i) bytes.push_back(static_cast<char>((i * 31 + seed * 7) & 0xff));
        bytes.resize(length);
        return bytes;
    }

    // Admission, one Write per chunk, Close; the first failure is returned.
    CZoError WriteExtent(long long offset, const std::string& bytes, long long flags = 0, long long afile = kAfile,
                         size_t chunk = 0) {
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, offset, kTessarel, kCopy, kJob, flags, writer);
        if (err.IsError()) return err;
        const size_t step = chunk == 0 ? bytes.size() : chunk;
        for (size_t at = 0; at < bytes.size(); at += step) {
            err = writer->Write(bytes.data() + at, std::min(step, bytes.size() - at));
            if (err.IsError()) return err;
        }
        return writer->Close();
    }

    // The whole extent through a Reader; empty on failure (err says why).
    std::string ReadExtent(long long offset, CZoError& err, long long flags = 0, long long afile = kAfile) {
        CLiveBrowseCache::ReaderPtr reader;
        err = lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, flags, reader);
        if (err.IsError()) return std::string();
        CAutoMemory<char> buffer;
        err = reader->Read(buffer);
        if (err.IsError()) return std::string();
        return std::string(buffer.Ptr() == nullptr ? "" : buffer.Ptr(), buffer.Size());
    }

    static CacheDBPtr DB(long long afile = kAfile) { return GetDB(afile, kCopy); }

    // The extent row (any Flags); false when there is none.
    static bool Row(long long offset, Extent& row, long long afile = kAfile) {
        ExtentParam key;
        key.AfileID = afile;
        key.AfileOffset = offset;
        key.TessarelID = kTessarel;
        key.CopyID = kCopy;
        CZoError err = DB(afile)->GetExtent(key, row);
        EXPECT_TRUE(!err.IsError() || FXErrorUtil::IsInt(err, 5)) << err.AsString();
        return !err.IsError();
    }

    static VM VMRow(long long afile = kAfile) {
        VM vm(kTessarel, kCopy, afile, std::string(), 0, 0, std::string());
        CZoError err = DB(afile)->GetVMJob(vm);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return vm;
    }

    static std::string FlatFilePath(long long afile = kAfile) {
        std::string path;
        VM vm(kTessarel, kCopy, afile, std::string(), 0, 0, std::string());
        CZoError err = GetCache(afile, kCopy)->GetCacheFilePath(vm, path);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return path;
    }

    // The afile's lock file in the cache location's database folder.
    static std::string LockFilePath(long long afile = kAfile) {
        std::string path;
        VM vm(kTessarel, kCopy, afile, std::string(), 0, 0, std::string());
        CZoError err = DB(afile)->GetCacheDBFilePath(vm, path);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return path.substr(0, path.rfind('/')) + "/lockfile";
    }

    static std::string Message(const CZoError& err) { return err.Details() ? err.Details()->message : std::string(); }

    CLiveBrowseCache* lbc = nullptr;
};

