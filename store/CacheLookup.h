#pragma once
// How the data store reaches the cache location of an afile copy. The service
// owns the answer: its GetCache/GetDB go through its implementation under the
// service lock. It installs its resolver here when it is built and removes it
// when it is destroyed; without a resolver nothing is found.
//
// The folders of a location are asked for apart from the objects, so that the
// naming code needs no definition of Cache or CacheDB: the service answers
// them as GetCache(...)->GetCacheDataFolderPath() and
// GetDB(...)->GetCacheDBFolderPath().

#include <boost/shared_ptr.hpp>

#include <functional>
#include <string>

class Cache;
class CacheDB;
typedef boost::shared_ptr<Cache> CachePtr;
typedef boost::shared_ptr<CacheDB> CacheDBPtr;

// The Cache, or the top-level CacheDB, of the afile copy's location; empty
// when the lookup fails. They log nothing and throw nothing.
CachePtr GetCache(long long afileId, unsigned long copyId);
CacheDBPtr GetDB(long long afileId, unsigned long copyId);

class CacheLookup {
public:
    struct Resolver {
        std::function<CachePtr(long long afileId, unsigned long copyId)> getCache;
        std::function<CacheDBPtr(long long afileId, unsigned long copyId)> getDB;
        // The data folder of the cache, or the folder of the top-level
        // container, of the afile copy's location; false when there is none.
        std::function<bool(long long afileId, unsigned long copyId, std::string& folder)> cacheDataFolder;
        std::function<bool(long long afileId, unsigned long copyId, std::string& folder)> cacheDBFolder;
    };

    // Replaces the resolver; calls already running finish with the old one.
    static void Install(const Resolver& resolver);
    static void Remove();

    // False (folder unchanged) when no resolver answers.
    static bool GetCacheDataFolderPath(long long afileId, unsigned long copyId, std::string& folder);
    static bool GetCacheDBFolderPath(long long afileId, unsigned long copyId, std::string& folder);
};
