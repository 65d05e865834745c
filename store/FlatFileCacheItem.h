#pragma once
// One cached extent kept as one region of raw bytes in the flat file of its
// afile copy.
//
// Flat-file format: no header, trailer, per-region header, padding or
// alignment; the regions follow one another in the order they were reserved.
// A region is reserved by growing the file by its length and is never freed,
// reused or written over: a rewrite appends a new region and leaves the old
// one as dead space. The file has no index: a region is found only by its
// item location "<filepath>:<offset>:<length>" (path relative to the data
// folder, decimal offset and length), kept in the extent's row.
//
// A write item collects every byte in memory and writes them as one region at
// Close; a read item reads its region back. Each item has its own file access
// and is used by one thread at a time. On a local location an item uses the
// descriptor its flat file's container keeps open (FlatFileHandle), at offsets
// of its own, when the path still names that file; otherwise it opens the
// path itself.
//
// A read item reads only through the file it opened, never by its path again:
// a Reader validated on that file serves that file's bytes. A file cut and
// refilled in the same inode is told by its handle's validity GUID: once a
// ledger starts the file anew under another GUID than the one the item serves
// (ServeOnlyUnder), or a read admission finds the rows naming another one
// (HandOutUnder), every read fails with kInvalidLocation, as the read
// admission answers for a location no longer valid.
//
// Locks: the flat file's region lock (s_flatFileLock, striped by the flat
// file's path) is held only while a region is reserved (open, grow, seek back,
// record the location; the ledger's and the kept file's locks rank after it in
// platform/LockOrder.h). The bytes are written after it is released. It does
// not reach other processes: those are kept out by the afile copy's lock file,
// which its database container holds.

#include "CAutoMemory.h"
#include "CZoError.h"
#include "FXCriticalSection.h"
#include "LiveBrowseCacheCodes.h"
#include "foundation/PerfCounters.h"
#include "store/CacheFileIO.h"
#include "store/CacheItem.h"
#include "store/FlatFileHandle.h"
#include "store/FlatFileLedger.h"

#include <boost/optional.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Test switch set by the facade's SetTestability: above 0, a written item
// keeps the MD5 text of its bytes. Atomic: set from any host thread while
// others close items.
extern std::atomic<int> LIVE_BROWSE_CACHE_TESTABILITY;

class FlatFileCacheItem : public CacheItem {
public:
    // Opens the flat file for INTENDED_OP_READ and INTENDED_OP_VALIDITY_TEST.
    // Throws a CZoError: ErrorInt 37 for a location that is malformed or names
    // a path or region outside what the data folder can hold, 21 when the path
    // cannot be joined, 44 when the flat file cannot be opened, 83 when no file
    // access can be made.
    FlatFileCacheItem(std::string location, Cache::IntendedOp op, const std::string& dataFolderPath,
                      boost::any& mountPathInfo, long long jobId);
    // The same; when the location's path is `keptFile`'s, the item takes that
    // handle up (its descriptor, region lock and validity GUID) instead of
    // finding it by the path.
    FlatFileCacheItem(std::string location, Cache::IntendedOp op, const std::string& dataFolderPath,
                      boost::any& mountPathInfo, long long jobId, const FlatFileHandlePtr& keptFile);
    // Opens nothing and throws nothing; without file access the item is not available.
    FlatFileCacheItem(ExtentPtr extent, const std::string& flatFilePath, Cache::IntendedOp op,
                      const std::string& dataFolderPath, boost::any& mountPathInfo, long long jobId);
    // Writes nothing: bytes of an item never closed are dropped.
    ~FlatFileCacheItem() override;

    std::string shortDescription() const override;
    // Appends to the in-memory buffer; never fails.
    CZoError Write(const void* data, size_t length) override;
    // The whole region from its start; the position of Read(buffer, size)
    // is neither used nor moved.
    CZoError Read(CAutoMemory<char>& buffer) override;
    // Exactly `size` bytes from the current position of the open flat file.
    // A region that does not lie wholly in the file fails every read with
    // kShortRead, before any memory is taken for it.
    CZoError Read(CAutoMemory<char>& buffer, size_t& size) override;
    CZoError Close() override;
    bool IsAvailable() override;

    CZoError OpenForFileWrite();
    CZoError OpenForFileRewrite();
    CZoError OpenForFileRead();
    CZoError OpenForValidityTest();
    CZoError OpenForFileReadInternal();
    // Always LBCError::kRewriteInPlaceRefused: a rewrite always needs a new
    // region, so Close never writes over the old one.
    CZoError PrepareForRewrite();
    // The item location text of this item's region under `relativePath`.
    std::string ConstructCacheItemLocationForDB(const std::string& relativePath);
    // The full path of the flat file the item reads or writes.
    const std::string& GetFlatFilePath() const { return flatFilePath; }
    // The ledger of the flat file; a new region is then reserved only where
    // no recorded region lies (otherwise Close fails with LBCError::kFlatFileLost).
    // The file's handle the ledger keeps serves the item too, so that it
    // finds neither its region lock nor its descriptor by the path.
    void SetLedger(FlatFileLedgerPtr flatFileLedger);
    // The validity GUID the region reserved by Close belongs to; empty when
    // no ledger spoke for one.
    const std::string& ReservedForGUID() const { return reservedFor; }
    // The read admission found the region of this read item valid under
    // `validityGUID`, the VM row's, while this process holds the afile copy's
    // lock: the rows say what the file's regions belong to now, whatever this
    // process knew of the file before it last took the lock (another process
    // may have started the file anew since). The file's handle names that
    // GUID from here and counts the region as handed out, and the item
    // watches it from here. Called under the VM row's lock, so that no
    // renewal by this process comes between the rows read and the handle.
    void HandOutUnder(const std::string& validityGUID);
    // Whether HandOutUnder would change nothing: the item opened under that
    // GUID and the handle counts its region under it already.
    bool IsHandedOutUnder(const std::string& validityGUID) const;
    // The region of a read item belongs to `validityGUID`: its reads fail
    // once the flat file's handle names another GUID.
    void ServeOnlyUnder(const std::string& validityGUID);
    // Counts the read item's opening, once, when a Reader is handed it: a
    // read refused after the item was opened counts no item read.
    void CountOpenedForRead() { openedForRead.Count(); }
    // The end (offset plus length) of the region of a location in its
    // database form; ErrorInt 37 as the constructor for an unusable one.
    static CZoError RegionEnd(const std::string& dbLocation, long long& end);

    // An older name of LBCError::kFlatFileLost (the flat file is shorter than
    // the regions recorded in it), for callers that still use it.
    static const int kErrorFlatFileLost = LBCError::kFlatFileLost;

    // The region locks: one of a fixed set of stripes per flat file, so
    // afile copies do not wait for each other.
    class RegionLocks {
    public:
        RegionLocks();
        ~RegionLocks();
        RegionLocks(const RegionLocks&) = delete;
        RegionLocks& operator=(const RegionLocks&) = delete;
        // The region lock of that flat file.
        FXCriticalSection& Of(const std::string& flatFilePath);

    private:
        struct Stripe;
        Stripe* stripes;
    };
    static RegionLocks& s_flatFileLock;

private:
    // The length of the path that begins an item location, its offset and
    // length; ErrorInt 37 when it is malformed or names a path or region
    // outside what the data folder can hold.
    static CZoError ParseLocation(const std::string& location, size_t& pathLength, long long& regionOffset,
                                  long long& regionLength);
    // Whether joining `folder` and the relative path gives `path`.
    static bool JoinsTo(const std::string& path, const std::string& folder, const char* relativePath, size_t length);
    // The item location text of this item's region under that path.
    std::string LocationText(const char* relativePath) const;
    // OpenForFileWrite's work, untimed: Close times it as one of its steps.
    CZoError ReserveRegion();
    // The end of Close: the kept descriptor let go, the file access closed.
    void CloseFile();
    // The job's sets, looked up on the item's first sample.
    const PerJobSets& Counters();
    // ErrorInt `code` when the item has no file access.
    CZoError RequireFileIO(const FXCodeLocation& at, int code) const;
    // The kept descriptor of the file now at the flat file's path (created
    // when `create`) into openFile, and the file's length; false when there
    // is none to use (remote location, no container keeps the file open, or
    // the path cannot be opened: the item then opens the path itself).
    bool UseKeptFile(bool create, long long& length);
    // LBCError::kFlatFileLost, and the file marked lost under the reserved
    // GUID, when the file no longer reaches the end of the item's region.
    CZoError CheckStillReserved();
    // The read position at `at`, through the file the item opened.
    CZoError MoveTo(long long at);
    // ErrorInt 37 once the flat file was started anew under another GUID
    // than the one served (see ServeOnlyUnder).
    CZoError CheckStillValid(const FXCodeLocation& at);

    // used by one thread at a time, like the item
    long long offset;
    std::string flatFilePath;
    std::string writeBuffer;
    // empty only when no file access could be made (the item is then
    // unavailable); held in place, the item's own
    boost::optional<CCacheFileIO> fileIO;
    // The region was found to lie wholly in the flat file (checked once, at
    // the first Read).
    bool regionInFile = false;
    // The length of the kept file as the opening found it (-1: not known),
    // so that the first Read does not look at the file again.
    long long lengthAtOpen = -1;
    FlatFileLedgerPtr ledger;
    // The handle of the item's flat file when one is known ahead (the
    // ledger's, or a read item's watched one); otherwise found by the path.
    FlatFileHandlePtr fileHandle;
    std::string reservedFor;
    // The kept descriptor in use (see UseKeptFile) and the item's position
    // in it; empty while the item reads or writes through fileIO.
    FXOpenFilePtr openFile;
    long long position = 0;
    // A read item's watch on its flat file's validity GUID: the handle, the
    // GUID it named and its count of changes when last looked at, the GUID
    // served (once ServeOnlyUnder was called) and whether the file has left it.
    FlatFileHandlePtr watched;
    uint64_t seenChanges = 0;
    std::string seenGUID;
    bool servesOneGUID = false;
    std::string servedGUID;
    bool validityLost = false;
    // The time of OpenForFileRead, counted by CountOpenedForRead.
    PerJobDeferredSpan openedForRead;
    boost::optional<PerJobSets> counters;
};
