#pragma once
// A started service for tests of the write and read roads, with helpers that
// write and read extents through the facade and look at the rows, the flat
// file and the lock file the library keeps on disk.

#include "LiveBrowseCache.h"
#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/SystemClock.h"
#include "store/Cache.h"
#include "store/CacheLookup.h"
#include "support/LockProbes.h"
#include "support/Payloads.h"
#include "support/ServiceFixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

class MainRoadTest : public StartedServiceFixture {
protected:
    static constexpr long long kAfile = 123;
    static constexpr long long kPartial = 0x400000000LL;

    static CacheDBPtr DB(long long afile = kAfile) { return GetDB(afile, kCopy); }

    // The extent row (any Flags); false when there is none.
    static bool Row(long long offset, Extent& row, long long afile = kAfile) {
        ExtentParam key;
        key.AfileID = afile;
        key.AfileOffset = offset;
        key.TessarelID = kTessarel;
        key.CopyID = kCopy;
        CZoError err = DB(afile)->GetExtent(key, row);
        EXPECT_TRUE(!err.IsError() || FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();
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
};

