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

// Whether the afile copy's flat file has lost regions recorded in it under
// the VM's validity GUID: it is gone, or shorter than where they end. The
// ledger learns that end from the extent rows once per container life; after
// that a call costs one stat of the file, and none while nothing is recorded.
CZoError IsFlatFileLost(Cache& cache, CacheDB& db, FlatFileLedger& ledger, const VM& vm, bool& lost);

// The afile copy's container keeps its flat file open from the first request
// on (a local location only), so that reads of a container that has not
// written yet need not open the file either.
void KeepFlatFileOpen(Cache& cache, CacheDB& container, const Extent& extent);
