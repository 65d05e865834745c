#include "store/CacheLookup.h"

#include <boost/make_shared.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

namespace {
// Replaced while other threads resolve: always loaded and stored atomically,
// and called through a local copy, never under a lock of ours (the service
// takes its own lock inside).
boost::shared_ptr<const CacheLookup::Resolver> g_resolver;

boost::shared_ptr<const CacheLookup::Resolver> Current() { return boost::atomic_load(&g_resolver); }
}  // namespace

void CacheLookup::Install(const Resolver& resolver) {
    boost::atomic_store(&g_resolver, boost::shared_ptr<const Resolver>(boost::make_shared<Resolver>(resolver)));
}

void CacheLookup::Remove() { boost::atomic_store(&g_resolver, boost::shared_ptr<const Resolver>()); }

bool CacheLookup::GetCacheDataFolderPath(long long afileId, unsigned long copyId, std::string& folder) {
    boost::shared_ptr<const Resolver> resolver = Current();
    if (!resolver || !resolver->cacheDataFolder) return false;
    return resolver->cacheDataFolder(afileId, copyId, folder);
}

bool CacheLookup::GetCacheDBFolderPath(long long afileId, unsigned long copyId, std::string& folder) {
    boost::shared_ptr<const Resolver> resolver = Current();
    if (!resolver || !resolver->cacheDBFolder) return false;
    return resolver->cacheDBFolder(afileId, copyId, folder);
}

CachePtr GetCache(long long afileId, unsigned long copyId) {
    boost::shared_ptr<const CacheLookup::Resolver> resolver = Current();
    if (!resolver || !resolver->getCache) return CachePtr();
    return resolver->getCache(afileId, copyId);
}

CacheDBPtr GetDB(long long afileId, unsigned long copyId) {
    boost::shared_ptr<const CacheLookup::Resolver> resolver = Current();
    if (!resolver || !resolver->getDB) return CacheDBPtr();
    return resolver->getDB(afileId, copyId);
}
