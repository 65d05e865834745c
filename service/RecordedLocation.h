#pragma once
// The write road's test of a location recorded in an extent row.

#include "CZoError.h"
#include "Extent.h"
#include "VM.h"
#include "store/Cache.h"

// Cache::IsCacheLocationValid for a row the write road is about to replace.
// A location that can never be served (ErrorInt 37: a path outside the data
// folder, a negative region, a malformed text) counts as not valid instead of
// failing: otherwise the extent could never be cached again. Reads still
// refuse such a row with 37.
CZoError TestRecordedLocation(Cache& cache, const Extent& row, const VM& vm, bool& valid,
                              Cache::INVALIDITY_REASON& reason);
