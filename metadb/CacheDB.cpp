// Construction, initialisation and the making of per-afile containers.
//
// Locks: as ranked in platform/LockOrder.h.

#include "metadb/CacheDB.h"

#include "LiveBrowseCacheCodes.h"
#include "foundation/LogWriter.h"
#include "foundation/PerfCounters.h"
#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXFolder.h"
#include "platform/FXPath.h"
#include "platform/LockOrder.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheNamespace.h"
#include "store/LiveBrowseCacheUtility.h"

#include <boost/make_shared.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <boost/weak_ptr.hpp>

#include <condition_variable>
#include <iterator>
#include <mutex>

namespace {
const char* const kConfigKey = "VirtualServer";
const char* const kIdleTimeName = "nLiveBrowseCacheAfileIdleTime";
const char* const kAfileDBName = "afile_cache";
const char* const kTopLevelDBName = "cache";
}  // namespace

// Every per-afile container of one cache location from its entry in a map
// until the end of its destruction, whether it is still in a map or not. A
// making that finds a live one brings it back; one whose destruction is under
// way is waited for, so that its write-back and unlock finish before a new
// copy is staged. Shared by every top-level container over the location's
// database folder: two of them would otherwise make two containers of one
// afile copy, which no lock file keeps apart inside one process.
class CacheDB::RetiringRegistry {
public:
    static boost::shared_ptr<RetiringRegistry> ForLocation(const std::string& root) {
        static RankedMutex registriesLock(LockRank::RetiringRegistries, "retiring registries");
        // Never destroyed: containers may leave their registry at unload.
        static auto* registries = new std::map<std::string, boost::weak_ptr<RetiringRegistry>>();
        std::lock_guard<RankedMutex> guard(registriesLock);
        for (auto it = registries->begin(); it != registries->end();)
            it = it->second.expired() ? registries->erase(it) : std::next(it);
        boost::shared_ptr<RetiringRegistry> registry = (*registries)[root].lock();
        if (!registry) {
            registry = boost::make_shared<RetiringRegistry>();
            (*registries)[root] = registry;
        }
        return registry;
    }

    // Held across the making of a container at the location, whichever
    // top-level container makes it.
    FXCriticalSection making{static_cast<uint16_t>(LockRank::RetiringMaking), "retiring making"};

    void Enter(const VM& key, const CacheDBPtr& container) {
        std::lock_guard<RankedMutex> guard(lock);
        entries[key] = Entry{container.get(), container};
    }

    void Leave(const VM& key, const CacheDB* container) {
        std::lock_guard<RankedMutex> guard(lock);
        auto it = entries.find(key);
        if (it == entries.end() || it->second.raw != container) return;
        entries.erase(it);
        gone.notify_all();
    }

    // The live container of the key, or empty when there is none; waits
    // while one is being destroyed.
    CacheDBPtr Find(const VM& key) {
        std::unique_lock<RankedMutex> guard(lock);
        for (;;) {
            auto it = entries.find(key);
            if (it == entries.end()) return CacheDBPtr();
            CacheDBPtr alive = it->second.weak.lock();
            if (alive) return alive;
            ++waiters;
            gone.wait(guard);
            --waiters;
        }
    }

    size_t Waiters() {
        std::lock_guard<RankedMutex> guard(lock);
        return waiters;
    }

    // The staged copy of an afile copy whose container is gone but whose
    // write-back failed: closed, still holding the afile's lock file. It is
    // taken up by the copy's next container or written back by the next idle
    // release; dropping it (when the location's last container goes) is the
    // last try, after which its rows are lost.
    void Keep(const VM& key, const CacheDBImplPtr& impl) {
        std::lock_guard<RankedMutex> guard(lock);
        kept[key] = impl;
    }
    // Called holding `making`.
    CacheDBImplPtr TakeKept(const VM& key) {
        std::lock_guard<RankedMutex> guard(lock);
        auto it = kept.find(key);
        if (it == kept.end()) return CacheDBImplPtr();
        CacheDBImplPtr impl = it->second;
        kept.erase(it);
        return impl;
    }
    bool IsKept(const VM& key) {
        std::lock_guard<RankedMutex> guard(lock);
        return kept.find(key) != kept.end();
    }
    // The retry of the kept copies' write-back, from their closed state on.
    // Called holding `making`, so no container takes a copy up meanwhile.
    void WriteBackKept() {
        std::map<VM, CacheDBImplPtr, VMCompare> trying;
        {
            std::lock_guard<RankedMutex> guard(lock);
            trying.swap(kept);
        }
        for (auto& entry : trying) {
            CZoError err = entry.second->WriteBack();
            if (!err.IsError()) {
                LBC_LOG(0, "Wrote back DB [%s] at a later release", entry.second->GetSyncRemoteLocation().c_str());
                entry.second.reset();  // releases the lock file
                continue;
            }
            LogKept(entry.second->GetSyncRemoteLocation(), err);
            Keep(entry.first, entry.second);
        }
    }

    static void LogKept(const std::string& location, const CZoError& err) {
        LBC_LOG(-1, "Failed to write back DB [%s]; its staged copy and lock file are kept for the next idle release "
                    "(error=%s)",
                location.c_str(), err.AsString().c_str());
    }

private:
    struct Entry {
        const CacheDB* raw;
        boost::weak_ptr<CacheDB> weak;
    };

    RankedMutex lock{LockRank::RetiringEntries, "retiring entries"};
    RankedCondition gone;
    // guarded by lock
    std::map<VM, Entry, VMCompare> entries;
    size_t waiters = 0;
    std::map<VM, CacheDBImplPtr, VMCompare> kept;
};

CacheDB::CacheDB(DB_TYPE type, const std::string& folder, const std::string& rootFolder, bool isAfileDB,
                 bool stageLocally)
    : dbFolderPath(folder),
      rootFolderPath(rootFolder),
      stageLocally(stageLocally),
      isAfileDB(isAfileDB),
      transactionLock(static_cast<uint16_t>(isAfileDB ? LockRank::AfileTransaction : LockRank::LocationMaking),
                      isAfileDB ? "afile transaction" : "location making"),
      dbType(type) {
    if (!isAfileDB) registry = RetiringRegistry::ForLocation(rootFolderPath);
}

CacheDB::~CacheDB() {
    WriteBack();
    // Of a top-level container: its per-afile containers go, each writing its
    // own copy back.
    containers.clear();
    // Closed, written back (or kept) and unlocked, and the lock file's
    // descriptor closed, before the afile copy may get a new container:
    // closing a descriptor of the lock file later would drop the new
    // container's lock.
    impl.reset();
    fileIO.reset();
    if (isAfileDB && registry) registry->Leave(mapKey, this);
}

// The road in full is told in metadb/CacheDBImpl.h. A staged copy that
// cannot be written back is never dropped while the service lives: the
// location's older database would come back over a flat file that already
// holds newer bytes, and the rows would be lost. A container made without a
// registry leaves its write-back to the implementation's destruction.
void CacheDB::WriteBack() {
    CZoError err = CommitTransaction(true);
    if (err.IsError()) LBC_LOG(-1, "Failed to execute SQL COMMIT transaction [%s]", err.AsString().c_str());
    if (!impl || !registry || !impl->NeedsWriteBack()) return;
    err = impl->Close();
    if (!err.IsError()) err = impl->WriteBack();
    if (!err.IsError()) return;
    RetiringRegistry::LogKept(impl->GetSyncRemoteLocation(), err);
    registry->Keep(mapKey, impl);
}

CZoError CacheDB::Initialize() {
    XKPlatformInfo().getValue(kConfigKey, kIdleTimeName, idleTimeSeconds);

    CZoError err = CreateCacheDBFolder();
    if (err.IsError()) return err.Push(FXLOC);

    std::string parent, name;
    err = FXPath::SplitParentPath(dbFolderPath, parent, name);
    if (err.IsError()) return err.Push(FXLOC);
    folderName = name;

    impl = GetDBImplementation(this, dbType, dbFolderPath, rootFolderPath, stageLocally, isAfileDB);
    // A per-afile database is opened only once its lock is taken and its
    // files are staged (GetCacheDB); an unstaged top-level one is used in place.
    if (impl && !isAfileDB) {
        err = impl->Open();
        if (err.IsError()) throw err.Push(FXLOC);
    }
    return CZoError::Success();
}

CacheDBImplPtr CacheDB::GetDBImplementation(CacheDB* owner, DB_TYPE type, const std::string& folder,
                                            const std::string& rootFolder, bool stageLocally, bool isAfileDB) {
    const std::string name = isAfileDB ? kAfileDBName : kTopLevelDBName;
    if (type != DB_TYPE_SQLITE) return CacheDBImplPtr();
    if (!stageLocally) return boost::make_shared<SQLiteAdapter>(folder, name);

    std::string localFolder;
    CZoError err = isAfileDB ? LiveBrowseCacheUtility::GetAfileStageDBLocation(folder, rootFolder, localFolder)
                             : LiveBrowseCacheUtility::GetDefaultCacheStageDBLocation(localFolder);
    if (err.IsError()) throw err.Push(FXLOC);
    // A lock-only container never opens the afile's staging folder: it does
    // not hold the lock when it opens, and the folder may hold the live
    // database of another container (of another process at this location).
    // Its database is a scratch one of its own, in a folder no other object
    // can name, removed with it, so no stale copy is ever opened again.
    const bool scratch = isAfileDB && owner != nullptr && owner->lockOnly;
    if (scratch) localFolder += ".pruner-" + boost::uuids::to_string(boost::uuids::random_generator()());
    // The afile's own staging folder is made by the staging, once the lock is
    // held: until then another process may be writing back from it and
    // removing it.
    if (!isAfileDB || scratch) {
        err = CreateLocalCacheDBFolder(localFolder);
        if (err.IsError()) throw err.Push(FXLOC);
    }
    if (!isAfileDB) return CacheDBImplPtr();

    boost::shared_ptr<SQLiteAdapter> adapter = boost::make_shared<SQLiteAdapter>(localFolder, kAfileDBName);
    if (scratch) adapter->OwnLocalFolder();
    adapter->SetSyncRemoteLocation(folder);
    if (owner != nullptr) adapter->SetRemoteFileIO(owner->GetRemoteFileIO());
    return adapter;
}

CZoError CacheDB::CreateCacheDBFolder() {
    CZoError err = CreateRemoteCacheDBFolder(dbFolderPath);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheDB::CreateRemoteCacheDBFolder(const std::string& path) {
    if (!fileIO) {
        CZoError inner = FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "No file access for [%s]",
                                                 path.c_str());
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheInitFailed, "(error=%s)", inner.AsString().c_str());
    }
    bool exists = false;
    CZoError err = fileIO->IsExists(path, exists);
    if (err.IsError()) return err.Push(FXLOC);
    if (exists) return CZoError::Success();
    err = fileIO->CreateFolder(path, true);
    if (err.IsError())
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheInitFailed, "(error=%s)", err.AsString().c_str());
    LBC_LOG(0, "Remote Afile DB folder created [%s]", path.c_str());
    return CZoError::Success();
}

CZoError CacheDB::CreateLocalCacheDBFolder(const std::string& path) { return CacheDBImpl::CreateLocalFolder(path); }

CZoError CacheDB::GetCacheDB(const VM& key, CacheDBPtr& container, bool stage, bool lock) {
    CZoError err = FindOrMakeContainer(key, container, stage, lock, stage && lock);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CZoError CacheDB::FindOrMakeContainer(const VM& key, CacheDBPtr& container, bool stage, bool lock,
                                      bool forData) {
    if (isAfileDB) {
        container = getPtr();
        return CZoError::Success();
    }
    {
        CacheDBPtr found = LookUp(key);
        if (found && (!forData || found->IsFitForData())) {
            container = found;
            return CZoError::Success();
        }
    }

    ProcessSpan opening(LBCPerfCounters::SlotDbOpen);
    auto_lock making(&transactionLock);
    auto_lock makingAtLocation(&registry->making);
    CacheDBPtr found = LookUp(key);
    if (!found) found = BringBackRetired(key);
    if (found) {
        if (!forData || found->IsFitForData()) {
            container = found;
            return CZoError::Success();
        }
        if (found->HoldsPrunerLock())
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                         "Cache for afile [%lld] is locked for pruning", key.AfileID);
        if (!RetireUnfit(key, found))
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                         "Cache for afile [%lld] is held by a request without its lock file",
                                         key.AfileID);
    }
    CZoError err = MakeContainer(key, container, stage, lock);
    if (err.IsError()) return err.Push(FXLOC);
    return CZoError::Success();
}

CacheDBPtr CacheDB::LookUp(const VM& key) {
    ProcessSpan span(LBCPerfCounters::SlotLockGetDB);
    auto_lock guard(&mapLock);
    auto it = containers.find(key);
    return it == containers.end() ? CacheDBPtr() : it->second;
}

// Called holding the location's making lock, after a lookup missed: only
// makings enter containers, so a live registered one is not in this map (it
// may be in another top-level container's over the same location).
CacheDBPtr CacheDB::BringBackRetired(const VM& key) {
    CacheDBPtr alive = registry->Find(key);
    if (!alive) return alive;
    {
        ProcessSpan span(LBCPerfCounters::SlotLockGetDB);
        auto_lock guard(&mapLock);
        containers[alive->mapKey] = alive;
    }
    LBC_LOG(1, "Cache container [%s] is still in use; entered again", alive->description().c_str());
    return alive;
}

// Releases an unfit container when the map and the caller are its only
// holders; it is destroyed here, before its replacement is made. Called
// holding the location's making lock, so no making can bring it back meanwhile.
bool CacheDB::RetireUnfit(const VM& key, CacheDBPtr& unfit) {
    {
        auto_lock guard(&mapLock);
        auto it = containers.find(key);
        if (it == containers.end() || it->second != unfit || unfit.use_count() != 2) return false;
        containers.erase(it);
    }
    LBC_LOG(0, "Releasing cache container [%s]", unfit->description().c_str());
    unfit.reset();
    return true;
}

CZoError CacheDB::MakeContainer(const VM& key, CacheDBPtr& container, bool stage, bool lock) {
    CacheDBPtr made;
    CZoError err = NewContainer(key, stage, lock, made);
    if (err.IsError()) return MakingFailed(key, err);
    // The pruner must not take the lock file of a copy whose rows are not
    // yet in the cache location.
    if (!(stage && lock) && registry->IsKept(key))
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kLockedByAnotherHost,
                                     "Cache for afile [%lld] is not yet written back", key.AfileID);
    err = made->Initialize();
    if (err.IsError()) return err.Push(FXLOC);
    CacheDBImplPtr kept = made->impl && stage && lock ? registry->TakeKept(key) : CacheDBImplPtr();
    if (kept) {
        err = made->TakeUpKept(key, kept);
    } else if (made->impl) {
        // Unstaged, the database is used in place: nothing to stage, and no
        // file access to take a lock file through.
        err = made->impl->Initialize(stage && stageLocally, lock && stageLocally);
        if (err.IsError()) return err.Push(FXLOC);
        err = made->OpenDatabase();
    }
    if (err.IsError()) return MakingFailed(key, err);
    EnterContainer(key, made);
    container = made;
    return CZoError::Success();
}

// A per-afile container of the key, not yet initialised.
CZoError CacheDB::NewContainer(const VM& key, bool stage, bool lock, CacheDBPtr& made) {
    std::string afileFolder;
    CZoError err = CacheNamespace::GenerateAfileDBFolderPath(key.AfileID, key.TessarelID, key.CopyID, dbFolderPath,
                                                             afileFolder);
    if (err.IsError()) return err.Push(FXLOC);
    if (!fileIO) {
        CZoError inner = FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "No file access for [%s]",
                                                 dbFolderPath.c_str());
        return FXErrorUtil::ErrorInt(FXLOC, LBCError::kCacheInitFailed, "(error=%s)", inner.AsString().c_str());
    }
    made = boost::make_shared<CacheDB>(DB_TYPE_SQLITE, afileFolder, dbFolderPath, true, stageLocally);
    made->SetConsumerJobID(key.JobID);
    boost::any info = fileIO->GetMountPathInfo();
    made->SetRemoteFileIO(boost::make_shared<CCacheFileIO>(info));
    made->mapKey = key;
    made->lockOnly = !(stage && lock);
    made->registry = registry;
    return CZoError::Success();
}

CZoError CacheDB::OpenDatabase() {
    CZoError err = impl->Open();
    if (!err.IsError()) return err;
    // Writing an unopenable copy back would refresh its time stamp and keep
    // it from ageing out. Only a copy staged here is dropped: a database this
    // container did not stage is reported (busy, say), never deleted.
    impl->DiscardStagedCopy();
    return err.Push(FXLOC);
}

// A staged copy kept after its write-back failed: its lock is still held and
// its rows are newer than the location's.
CZoError CacheDB::TakeUpKept(const VM& key, const CacheDBImplPtr& kept) {
    LBC_LOG(0, "Taking up the staged DB of [%s] that is not yet written back",
            kept->GetSyncRemoteLocation().c_str());
    impl = kept;
    CZoError err = kept->Open();
    if (!err.IsError()) return err;
    impl.reset();
    registry->Keep(key, kept);
    return err.Push(FXLOC);
}

CZoError CacheDB::MakingFailed(const VM& key, CZoError& err) {
    if (FXErrorUtil::IsInt(err, LBCError::kLockedByAnotherHost))
        LBC_LOG(1, "Cache for afile [%lld] is being accessed by another host", key.AfileID);
    else
        LBC_LOG(1, "Error=%s", err.AsString().c_str());
    return err.Push(FXLOC);
}

void CacheDB::EnterContainer(const VM& key, const CacheDBPtr& made) {
    registry->Enter(key, made);
    ProcessSpan span(LBCPerfCounters::SlotLockGetDB);
    auto_lock guard(&mapLock);
    containers[key] = made;
}

void CacheDB::WriteBackKept() {
    if (isAfileDB || !registry) return;
    auto_lock making(&registry->making);
    registry->WriteBackKept();
}

bool CacheDB::IsFitForData() const {
    if (!stageLocally || !impl) return true;
    if (!impl->HoldsLockFile()) return false;
    return !lockOnly || lockOwner.load() == std::this_thread::get_id();
}

bool CacheDB::HoldsPrunerLock() const { return lockOnly && stageLocally && impl && impl->HoldsLockFile(); }

CZoError CacheDB::NoImplementation(const FXCodeLocation& at) const {
    return FXErrorUtil::ErrorInt(at, LBCError::kNoDatabaseImplementation, "No database implementation for [%s]",
                                 dbFolderPath.c_str());
}

size_t CacheDB::TEST_ContainerCount() {
    auto_lock guard(&mapLock);
    return containers.size();
}

size_t CacheDB::TEST_RetiringWaiters() { return registry ? registry->Waiters() : 0; }

bool CacheDB::TEST_TransactionOpen() {
    auto_lock guard(&transactionLock);
    return transactionOpen;
}
