#pragma once
// The library's own error codes, as a host tests them:
//
//     if (FXErrorUtil::IsInt(err, LBCError::kNotFound)) ...   // <FXErrorUtil.h>
//
// Every code is of the Int category except kWin32LockedByAnotherHost. A code
// stays testable however far the error travels up; only where a failure
// changes its meaning is a new error made, with the inner error's text (and
// no longer its code) in the message.
//
// The values are fixed: hosts and older log lines rely on them.

namespace LBCError {

// --- Met on requests; what a host does about each is in the README ---------

// No row for the extent (a cache miss), or for the afile copy's VM.
constexpr int kNotFound = 5;
// A batched listing is exhausted; again on every later call.
constexpr int kEndOfListing = 6;
// The afile copy's lock file is held by another host (or by this library's
// pruner): the afile is not served from this cache now. Seven-argument forms.
constexpr int kLockedByAnotherHost = 14;
// Writer::Write or Reader::Read without memory, or Write of no bytes.
constexpr int kNoBytes = 35;
// Write or Close on a Writer that is not open or already closed.
constexpr int kWriterNotOpen = 36;
// The recorded location of the extent is not valid any more (its flat file
// was renewed, cut or removed), or is malformed.
constexpr int kInvalidLocation = 37;
// The extent has a row but no cached bytes yet (a write not yet committed).
constexpr int kNoItemLocation = 40;
// The same extent is being written now, or the cache is in its maintenance
// window: the write is skipped.
constexpr int kWriteInProgress = 50;
// Reading the cached bytes failed, or the Reader has no open item.
constexpr int kReadFailed = 51;
// Fewer bytes than the region holds could be read from the flat file.
constexpr int kShortRead = 53;
// The cache location is full: writes are refused until the pruner frees space.
constexpr int kCacheFull = 58;
// Reads are switched off ("bEnableLBCReadForValidation" false).
constexpr int kReadsDisabled = 59;
// No cache location (database) could be resolved for the afile copy.
constexpr int kNoDatabase = 81;
// The cache is unavailable: shutting down, or its folder has no file access.
constexpr int kCacheUnavailable = 85;
// A request step threw without an error.
constexpr int kUnexpectedThrow = 86;
// A flat file could not be flushed: the rows of its new regions are not committed.
constexpr int kRegionsNotFlushed = 87;
// SQLite rolled an afile database's transaction back by itself (full disk,
// I/O error, no memory); the requests of that transaction are lost.
constexpr int kTransactionLost = 91;
// The flat file ends before the regions recorded in it (cut from outside).
constexpr int kFlatFileLost = 92;
// A process forked (without exec) from one whose cache was started: the cache
// and every handle of it belong to that process; this one is not served.
constexpr int kForkedProcess = 93;

// The six-argument GetWriterObject and GetReaderObject report kLockedByAnotherHost
// as this Win32 code (ERROR_ACCESS_DENIED); test it with FXErrorUtil::IsWin32.
constexpr unsigned kWin32LockedByAnotherHost = 5;

// Win32 code (ERROR_NOT_SUPPORTED) of the flat-file cache's DeleteItem: single
// items are never deleted, their regions become dead space. A roll-back
// counts it as done.
constexpr unsigned kWin32ItemNotDeleted = 50;

// Never returned by this library; CLiveBrowseCache::IsErrorExtentAlreadyCached tests it.
constexpr int kExtentAlreadyCached = 34;

// --- Raised inside the library; they reach a host pushed through a request --

// Metadata database files (SQLite).
// The afile database file is corrupt; the connection stays open, the file as it is.
constexpr int kDatabaseCorrupt = 1;
// The afile database file could not be opened.
constexpr int kDatabaseOpenFailed = 2;
// A table of the afile database could not be created.
constexpr int kTableCreateFailed = 3;
// The prepared statements of the afile database could not be made.
constexpr int kStatementsFailed = 4;
// A stored row holds values it cannot hold.
constexpr int kUnexpectedRow = 7;
// The database adapter could not be initialised: the database is closed again.
constexpr int kAdapterInitFailed = 9;
// The afile database file could not be named or created.
constexpr int kDatabaseFileCreateFailed = 16;
// The path of an afile database file could not be composed.
constexpr int kDatabasePathFailed = 29;

// Listing the cached VMs from the database folder.
// The afile database files of the folder could not be listed.
constexpr int kListDatabaseFilesFailed = 10;
// The times of an afile database file could not be read.
constexpr int kDatabaseFileTimesFailed = 11;
// The thread that walks the database folder could not be started.
constexpr int kListingThreadFailed = 12;
// A batched listing of the database folder has no state to continue from.
constexpr int kListingFailed = 13;
// A path holds no afile folder name the cache could have made.
constexpr int kUnexpectedPath = 27;

// Lock file, staging and write-back of afile databases.
// The lock file could not be unlocked.
constexpr int kLockFileWaitFailed = 15;
// A cache folder (data, database or staging folder) could not be made.
constexpr int kCacheInitFailed = 17;
// The database files could not be copied and flushed to the upload folder.
constexpr int kSyncToRemoteTempFailed = 18;
// The uploaded database files could not be moved into place.
constexpr int kFinalizeRemoteFailed = 19;
// The lock file's path could not be composed (no sync location or file access).
constexpr int kLockFilePathFailed = 24;
// The local staging folder could not be named.
constexpr int kStageFolderFailed = 25;
// The staging folder of a cache location's database could not be named.
constexpr int kStagingPathFailed = 30;
// The cache folder of a mount path could not be resolved.
constexpr int kMountPathFoldersFailed = 31;
// The afile database could not be staged from its cache location.
constexpr int kStageFromRemoteFailed = 32;
// A staged database (or its lock file) is gone: it is not written back.
constexpr int kStagedDatabaseMissing = 33;
// The lock file could not be removed.
constexpr int kLockFileRemoveFailed = 65;

// Names and paths of cache folders and files.
// A path of a cache location (its data or database folder, an afile
// database file) could not be composed.
constexpr int kCachePathFailed = 20;
// The path of a flat file could not be composed.
constexpr int kFlatFilePathFailed = 21;
// The path of a per-extent file could not be composed.
constexpr int kExtentPathFailed = 22;
// The name of a flat file could not be composed.
constexpr int kFlatFileNameFailed = 23;
// The hashed folder path of an afile could not be composed.
constexpr int kHashedFolderFailed = 28;
// The platform named no usable job results folder for this machine.
constexpr int kNoJobResultsFolder = 82;

// Cache back end and flat files.
// No database (or back end) behind a container, pruner or copy.
constexpr int kNoDatabaseImplementation = 39;
// The cache type has no storage back end.
constexpr int kCacheTypeNotSupported = 43;
// A flat file could not be opened, positioned or grown (or there is no item to close).
constexpr int kFlatFileOpenFailed = 44;
// A flat file's path lies outside the cache data folder.
constexpr int kFlatFileOutsideBase = 45;
// The folder of a flat file could not be made.
constexpr int kFlatFileFolderFailed = 46;
// The parent folder of a flat file could not be named.
constexpr int kFlatFileParentFailed = 47;
// A cached item's file could not be removed.
constexpr int kItemRemoveFailed = 48;
// Writing to a flat file failed.
constexpr int kFlatFileWriteFailed = 49;
// Fewer bytes than given could be written to the flat file.
constexpr int kShortWrite = 52;
// A region is never written over: a rewrite appends.
constexpr int kRewriteInPlaceRefused = 55;
// The volume's space or the cache's size at a cache location could not be read.
constexpr int kSpaceUsageFailed = 71;
// The size of a flat file, of the data folder or of its volume could not be read.
constexpr int kSizeFailed = 73;

// File access.
// A walk removing empty folders spent its time budget; what it removed stays removed.
constexpr int kFolderWalkBudgetSpent = 77;
// A folder size walk spent its time budget and stopped.
constexpr int kSpaceWalkBudgetSpent = 78;
// A move between a local and a remote path is refused.
constexpr int kMoveAcrossLocationsRefused = 79;
// Fewer bytes than read could be written to a file copy.
constexpr int kShortCopy = 80;
// The FS client made no object for a data server path.
constexpr int kNoFileSystemObject = 83;
// The platform gave no client id.
constexpr int kNoClientId = 84;

// Pruning.
// Single cached items are not pruned.
constexpr int kPruneItemNotSupported = 56;
// The database pruner's threads could not be started.
constexpr int kDatabasePrunerPoolFailed = 61;
// Waiting for the database pruner's threads failed.
constexpr int kDatabasePrunerWaitFailed = 62;
// A pruned VM's database file could not be removed.
constexpr int kPruneDatabaseRemoveFailed = 64;
// A pruned VM's folder could not be removed.
constexpr int kPruneFolderRemoveFailed = 66;
// The data pruner's threads could not be started.
constexpr int kDataPrunerPoolFailed = 67;
// Waiting for the data pruner's threads failed.
constexpr int kDataPrunerWaitFailed = 68;
// A flat file could not be removed by the data pruner.
constexpr int kPruneFileRemoveFailed = 70;
// The space trigger computed a negative number of bytes to prune.
constexpr int kPruneSizeNegative = 72;
// The renamed path of a flat file to prune could not be composed.
constexpr int kFlatFileRenamePathFailed = 74;
// A flat file to prune could not be renamed.
constexpr int kFlatFileRenameFailed = 75;
// The flat file is in use (renaming it was refused).
constexpr int kFlatFileInUse = 76;

}  // namespace LBCError
