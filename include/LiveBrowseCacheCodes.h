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
constexpr int kDatabaseCorrupt = 1;
constexpr int kDatabaseOpenFailed = 2;
constexpr int kTableCreateFailed = 3;
constexpr int kStatementsFailed = 4;
// A stored row holds values it cannot hold.
constexpr int kUnexpectedRow = 7;
// The database adapter could not be initialised.
constexpr int kAdapterInitFailed = 9;
constexpr int kDatabaseFileCreateFailed = 16;
constexpr int kDatabasePathFailed = 29;

// Listing the cached VMs from the database folder.
constexpr int kListDatabaseFilesFailed = 10;
constexpr int kDatabaseFileTimesFailed = 11;
constexpr int kListingThreadFailed = 12;
constexpr int kListingFailed = 13;
constexpr int kUnexpectedPath = 27;

// Lock file, staging and write-back of afile databases.
constexpr int kLockFileWaitFailed = 15;
constexpr int kCacheInitFailed = 17;
constexpr int kSyncToRemoteTempFailed = 18;
constexpr int kFinalizeRemoteFailed = 19;
constexpr int kLockFilePathFailed = 24;
constexpr int kStageFolderFailed = 25;
constexpr int kStagingPathFailed = 30;
constexpr int kMountPathFoldersFailed = 31;
constexpr int kStageFromRemoteFailed = 32;
constexpr int kStagedDatabaseMissing = 33;
constexpr int kLockFileRemoveFailed = 65;

// Names and paths of cache folders and files.
constexpr int kCachePathFailed = 20;
constexpr int kFlatFilePathFailed = 21;
constexpr int kExtentPathFailed = 22;
constexpr int kFlatFileNameFailed = 23;
constexpr int kHashedFolderFailed = 28;
constexpr int kNoJobResultsFolder = 82;

// Cache back end and flat files.
constexpr int kNoDatabaseImplementation = 39;
constexpr int kCacheTypeNotSupported = 43;
constexpr int kFlatFileOpenFailed = 44;
constexpr int kFlatFileOutsideBase = 45;
constexpr int kFlatFileFolderFailed = 46;
constexpr int kFlatFileParentFailed = 47;
constexpr int kItemRemoveFailed = 48;
constexpr int kFlatFileWriteFailed = 49;
constexpr int kShortWrite = 52;
// A region is never written over: a rewrite appends.
constexpr int kRewriteInPlaceRefused = 55;
constexpr int kSpaceUsageFailed = 71;
constexpr int kSizeFailed = 73;

// File access.
constexpr int kFolderWalkBudgetSpent = 77;
constexpr int kSpaceWalkBudgetSpent = 78;
constexpr int kMoveAcrossLocationsRefused = 79;
constexpr int kShortCopy = 80;
constexpr int kNoFileSystemObject = 83;
constexpr int kNoClientId = 84;

// Pruning.
constexpr int kPruneItemNotSupported = 56;
constexpr int kDatabasePrunerPoolFailed = 61;
constexpr int kDatabasePrunerWaitFailed = 62;
constexpr int kPruneDatabaseRemoveFailed = 64;
constexpr int kPruneFolderRemoveFailed = 66;
constexpr int kDataPrunerPoolFailed = 67;
constexpr int kDataPrunerWaitFailed = 68;
constexpr int kPruneFileRemoveFailed = 70;
// The space trigger computed a negative number of bytes to prune.
constexpr int kPruneSizeNegative = 72;
constexpr int kFlatFileRenamePathFailed = 74;
constexpr int kFlatFileRenameFailed = 75;
// The flat file is in use (renaming it was refused).
constexpr int kFlatFileInUse = 76;

}  // namespace LBCError
