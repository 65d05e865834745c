#pragma once
// The write road's tests of what the rows record: a location recorded in an
// extent row, and the flat file the rows of a VM point into.

#include "CZoError.h"
#include "Extent.h"
#include "VM.h"
#include "metadb/CacheDB.h"
#include "store/Cache.h"
#include "store/FlatFileLedger.h"

// Cache::IsCacheLocationValid for a row the write road is about to replace. A
// location that can never be served (LBCError::kInvalidLocation: a path outside
// the data folder, a negative region, a malformed text) counts as not valid
// instead of failing: otherwise the extent could never be cached again. Reads
// still refuse such a row with it.
CZoError TestRecordedLocation(Cache& cache, const Extent& row, const VM& vm, bool& valid,
                              Cache::INVALIDITY_REASON& reason);

// Whether the afile copy's flat file has lost regions handed out under the
// VM's validity GUID (recorded in a row, or given to a Writer or a Reader of
// this process): it is gone, or shorter than where they end. The
// ledger learns the rows' end once per container life, from the copy's newest
// rows alone, and the file's handle keeps the rest beyond the container while
// a Reader holds it; after that a call costs one stat of the file, and none
// while nothing is recorded.
CZoError IsFlatFileLost(Cache& cache, CacheDB& db, FlatFileLedger& ledger, const VM& vm, bool& lost);

// The afile copy's container keeps its flat file open from the first request
// on (a local location only), so that reads of a container that has not
// written yet need not open the file either.
void KeepFlatFileOpen(Cache& cache, CacheDB& container, const Extent& extent);

// A region the read admission validated, with the VM row read while the
// container holds the afile copy's lock: the rows name the GUID the copy's
// flat file belongs to now, and the read item's handle learns it and counts
// the region as handed out (FlatFileCacheItem::HandOutUnder). Only for an
// item of the copy's own flat file. Called under the VM row's lock.
void HandOutValidatedRegion(Cache& cache, CacheDB& container, const VM& vm, const CacheItemPtr& item);
// Whether HandOutValidatedRegion would change nothing for this item: then
// the read admission needs no VM row lock for it.
bool IsValidatedRegionHandedOut(const VM& vm, const CacheItemPtr& item);
