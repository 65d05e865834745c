#pragma once
// Shared by the tests of cache items, the flat-file back end, the cache object
// and the write/prune registry: extents, an initialised cache
// over a test location, and a lookup that answers it for every afile copy.

#include "StoreTestSupport.h"
#include "store/Cache.h"
#include "store/CacheItem.h"
#include "store/CacheLookup.h"
#include "store/CacheNamespace.h"
#include "support/Payloads.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

inline ExtentPtr MakeExtent(long long afileId, long long offset, unsigned tessarelId = 2, unsigned copyId = 1,
                            long long jobId = 900) {
    return boost::make_shared<Extent>(afileId, offset, tessarelId, copyId, jobId);
}

// The parts of an item location "<path>:<offset>:<length>".
struct ItemLocation {
    std::string path;
    long long offset = -1;
    long long length = -1;

    static ItemLocation Parse(const std::string& text) {
        ItemLocation parsed;
        size_t second = text.rfind(':');
        size_t first = text.rfind(':', second - 1);
        parsed.path = text.substr(0, first);
        parsed.offset = std::atoll(text.substr(first + 1, second - first - 1).c_str());
        parsed.length = std::atoll(text.substr(second + 1).c_str());
        return parsed;
    }
};

// The flat file of an afile copy below a data folder.
inline std::string FlatFileOf(const std::string& dataFolder, long long afileId, unsigned tessarelId = 2,
                              unsigned copyId = 1) {
    std::string path;
    EXPECT_FALSE(CacheNamespace::GenerateFlatFilePath(afileId, tessarelId, copyId, dataFolder, path).IsError());
    return path;
}

inline CachePtr MakeCache(const TestLocation& location, Cache::Type type = Cache::FLAT_FILE_CACHE) {
    CachePtr cache = boost::make_shared<Cache>(type, location.root, true);
    cache->SetMountPathInfo(location.info);
    CZoError err = cache->Initialize();
    EXPECT_FALSE(err.IsError()) << err.AsString();
    return cache;
}

// Answers one cache (possibly none) for every afile copy while it lives.
class ScopedCacheLookup {
public:
    explicit ScopedCacheLookup(CachePtr cache, const std::string& dataFolder = std::string()) {
        CacheLookup::Resolver resolver;
        resolver.getCache = [cache](long long, unsigned long) { return cache; };
        resolver.cacheDataFolder = [dataFolder](long long, unsigned long, std::string& folder) {
            if (dataFolder.empty()) return false;
            folder = dataFolder;
            return true;
        };
        CacheLookup::Install(resolver);
    }
    ~ScopedCacheLookup() { CacheLookup::Remove(); }
    ScopedCacheLookup(const ScopedCacheLookup&) = delete;
    ScopedCacheLookup& operator=(const ScopedCacheLookup&) = delete;
};
