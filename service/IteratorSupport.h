#pragma once
// What the batched iterators share: the end code and the database lookup.

#include "CZoError.h"
#include "metadb/CacheDB.h"

// The end of a batched listing.
const int kErrorEndOfListing = 6;
// No cache location (and so no database) for the afile copy.
const int kErrorNoDatabase = 81;

// The top-level database of the afile copy's location; ErrorInt 81 when
// there is none.
CZoError GetIteratorDB(const FXCodeLocation& at, long long afileId, unsigned int copyId, CacheDBPtr& db);
