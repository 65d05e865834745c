#pragma once
// The public facade of the live browse cache: a process-wide singleton that
// exists only while the configuration allows it, and the handles it gives the
// host to write, read and list cached extents and jobs.
//
// Every request operation forwards to the service implementation. Any number
// of host threads may call the request operations at once; GetInstance and
// DestroyInstance are serialised by singletonLock. The pointer GetInstance
// returns stays valid until DestroyInstance. The codes the requests fail with
// are named in LiveBrowseCacheCodes.h.

#include "CAutoMemory.h"
#include "CZoError.h"
#include "Extent.h"
#include "FXCriticalSection.h"

#include <boost/shared_ptr.hpp>

#include <ctime>
#include <functional>
#include <string>

class Cache;
class CacheDB;
class CacheItem;
class CLiveBrowseCacheImpl;
class ReaderImpl;
class WriterImpl;
class ExtentIteratorImpl;
class VMIteratorImpl;

class CLiveBrowseCache {
public:
    typedef boost::shared_ptr<Cache> CachePtr;
    typedef boost::shared_ptr<CacheDB> CacheDBPtr;
    typedef boost::shared_ptr<CacheItem> CacheItemPtr;

    // The prune policies a host may add to a cache location's pruner.
    enum PrunePolicy { PRUNE_POLICY_LRU = 0, PRUNE_POLICY_FILE_INDEXED = 1, PRUNE_POLICY_COMBINED = 2 };

    // One cached extent opened for reading. The item is closed when the last
    // reference to the Reader goes.
    class Reader {
    public:
        Reader(ExtentPtr extent, CacheItemPtr item);
        virtual ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        virtual CZoError Open();
        // Streaming: at most size bytes (in), the bytes delivered (out).
        virtual CZoError Read(CAutoMemory<char>& buffer, unsigned long& size);
        // Streaming into the caller's memory of size bytes; the memory is
        // only borrowed, never freed or replaced.
        virtual CZoError Read(void* memory, unsigned long& size);
        // The whole extent.
        virtual CZoError Read(CAutoMemory<char>& buffer);
        // Length of the extent's region.
        virtual unsigned long Size();

        void SetCache(CachePtr cache, CacheDBPtr db);

    private:
        boost::shared_ptr<ReaderImpl> impl;
    };
    typedef boost::shared_ptr<Reader> ReaderPtr;

    // One extent being written: Write collects the bytes, Close commits them.
    // Released without Close, the write is rolled back.
    class Writer {
    public:
        Writer(ExtentPtr extent, std::function<void()> onDone, CacheItemPtr item);
        virtual ~Writer();
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;

        virtual CZoError Open();
        // Writes the collected bytes as one region and records its location; a
        // failed Close rolls the write back. LBCError::kWriterNotOpen on a
        // Writer that is not open or already closed, which is left untouched.
        virtual CZoError Close();
        // Collects the bytes in memory. LBCError::kNoBytes for a null pointer
        // or no bytes (the Writer stays usable); LBCError::kWriterNotOpen as
        // for Close.
        virtual CZoError Write(const void* data, unsigned long length);

        void SetValidityGUID(const std::string& validityGUID);
        void SetCache(CachePtr cache, CacheDBPtr db);

    private:
        boost::shared_ptr<WriterImpl> impl;
    };
    typedef boost::shared_ptr<Writer> WriterPtr;

    // The extent rows of an afile copy, fetched one batch at a time; the end of
    // the listing is LBCError::kEndOfListing, again on every later call (at
    // once for a batch size of 0). An afile copy whose cache location cannot be
    // resolved gives LBCError::kNoDatabase at the first count or refill.
    class ExtentIterator {
    public:
        ExtentIterator(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                       unsigned int copyId, unsigned long batchSize);
        virtual ~ExtentIterator();
        ExtentIterator(const ExtentIterator&) = delete;
        ExtentIterator& operator=(const ExtentIterator&) = delete;

        virtual CZoError GetNextExtentInfo(long long& afileId, long long& afileOffset, unsigned int& copyId,
                                           unsigned int& tessarelId, std::string& validityGUID);
        // The same, and the MD5 text recorded in test mode.
        virtual CZoError GetNextExtentInfo(long long& afileId, long long& afileOffset, unsigned int& copyId,
                                           unsigned int& tessarelId, std::string& validityGUID, std::string& md5);
        CZoError GetTotalCount(long long& count);

    private:
        boost::shared_ptr<ExtentIteratorImpl> impl;
    };

    // The cached VM jobs of the cache location of an afile copy, in batches;
    // the end is LBCError::kEndOfListing, no location LBCError::kNoDatabase, as
    // for ExtentIterator.
    class JobIterator {
    public:
        JobIterator(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                    unsigned int copyId, unsigned long batchSize);
        virtual ~JobIterator();
        JobIterator(const JobIterator&) = delete;
        JobIterator& operator=(const JobIterator&) = delete;

        virtual CZoError GetNextVMInfo(long long& afileId, long long& jobId, unsigned int& copyId,
                                       unsigned int& tessarelId, std::string& validityGUID,
                                       time_t& lastReferenceTime);
        CZoError GetTotalCount(long long& count);

    private:
        boost::shared_ptr<VMIteratorImpl> impl;
    };

    // The singleton, built and initialised on first use; null while the
    // configuration switches "bEnableMetadataRestoreOptimization" (default
    // false) and "bEnableLiveBrowseCache" (default true) are not both true,
    // when the start-up fails, or in a process forked (without exec) from one
    // whose cache was started: the cache serves only that process, and a
    // facade or handle kept across the fork answers LBCError::kForkedProcess.
    // A closed gate or a failed start-up says why in the debug log at level
    // -1 (a closed gate once, not at every call).
    static CLiveBrowseCache* GetInstance();
    // Deletes the singleton, if any. The service behind it is released by the
    // next GetInstance or at unload.
    static void DestroyInstance();

    // Start-up again with a base folder for the local cache folder (empty:
    // the configured one).
    CZoError Initialize(std::string path);
    CZoError InitializeInTestMode(std::string path);

    // Sets up the library-wide log writer over a new debug-log engine; false
    // when the engine cannot be initialised, and the earlier writer then stays.
    static bool InitializeLogging();
    // True only for LBCError::kExtentAlreadyCached.
    static bool IsErrorExtentAlreadyCached(CZoError& error);
    // From now on written items record the MD5 text of their bytes.
    static void SetTestability();

    // A Writer for one extent. The six-argument forms report an afile
    // database locked by another host as LBCError::kWin32LockedByAnotherHost
    // (ErrorWin32); the seven-argument forms return
    // LBCError::kLockedByAnotherHost. Bit 34 of flags marks a partial extent.
    CZoError GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, WriterPtr& writer);
    CZoError GetWriterObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, long long flags, WriterPtr& writer);
    // A Reader of one cached extent; the same rules as GetWriterObject.
    CZoError GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, ReaderPtr& reader);
    CZoError GetReaderObject(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             long long jobId, long long flags, ReaderPtr& reader);

    // recorded: the extent has a row; cached: that row records a location.
    CZoError IsExtentInCache(long long afileId, long long afileOffset, unsigned int tessarelId, unsigned int copyId,
                             bool& cached, bool& recorded);
    // Moves the last reference of the matching cached jobs back by days (0:
    // the retention plus one day).
    CZoError AgeCachedJob(long long jobId, long long afileId, unsigned int tessarelId, unsigned int copyId,
                          unsigned int days);
    CZoError GetExtentIterator(long long jobId, long long afileId, unsigned int tessarelId, unsigned int copyId,
                               unsigned long batchSize, boost::shared_ptr<ExtentIterator>& iterator);
    CZoError GetCachedJobIterator(long long jobId, long long afileId, unsigned int tessarelId, unsigned int copyId,
                                  unsigned long batchSize, boost::shared_ptr<JobIterator>& iterator);
    // The data and database folders of the configured local cache folder.
    CZoError GetBaseFolderPath(std::string& dataFolder, std::string& dbFolder);

    // Held by GetInstance while it builds the service, and by DestroyInstance.
    static FXCriticalSection singletonLock;

private:
    CLiveBrowseCache();
    ~CLiveBrowseCache();
    CLiveBrowseCache(const CLiveBrowseCache&) = delete;
    CLiveBrowseCache& operator=(const CLiveBrowseCache&) = delete;

    CZoError InitializeInternal(std::string path, bool testMode);

    // guarded by singletonLock
    static CLiveBrowseCache* pLiveBrowseCache;

    // constant after construction
    boost::shared_ptr<CLiveBrowseCacheImpl> impl;
};
