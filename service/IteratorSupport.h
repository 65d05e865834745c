#pragma once
// What the batched iterators share: the end code, the database lookup, and
// the cached count and batch refill over their state.

#include "CZoError.h"
#include "LiveBrowseCacheCodes.h"
#include "metadb/CacheDB.h"
#include "metadb/DBObjectIteratorImplBase.h"
#include "platform/FXErrorUtil.h"

#include <cstddef>
#include <string>

// Older names of the public codes, for callers that still use them.
const int kErrorEndOfListing = LBCError::kEndOfListing;
const int kErrorNoDatabase = LBCError::kNoDatabase;

// The top-level database of the afile copy's location; LBCError::kNoDatabase
// when there is none.
CZoError GetIteratorDB(const FXCodeLocation& at, long long afileId, unsigned int copyId, CacheDBPtr& db);

// A batched iterator whose database is looked up again at every count and
// refill, so it holds no database between calls.
template <typename Collection>
class BatchedIterator : public DBObjectIteratorImplBase<Collection> {
protected:
    using Base = DBObjectIteratorImplBase<Collection>;
    using Base::Base;

    // The total count, asked of the database through count(db, counted)
    // once; a failed count is asked again next time.
    template <typename Count>
    CZoError CountOnce(Count count, long long& out) {
        if (this->totalCountCached) {
            out = this->totalCount;
            return CZoError::Success();
        }
        CacheDBPtr db;
        CZoError err = GetIteratorDB(FXLOC, this->afileId, this->copyId, db);
        if (err.IsError()) return err;
        long long counted = 0;
        err = count(db, counted);
        if (err.IsError()) return err.Push(FXLOC);
        this->totalCount = counted;
        this->totalCountCached = true;
        out = counted;
        return CZoError::Success();
    }

    // The next record into `record`, the batch refilled through fill(db, batch)
    // once the cursor has reached its end; LBCError::kEndOfListing at the end
    // of the listing (at once for a batch size of 0, which could never move the
    // listing on).
    template <typename Fill, typename Record>
    CZoError Next(Fill fill, const Record*& record) {
        if (this->batchSize == 0) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kEndOfListing);
        if (this->batch.isEnd(this->cursor)) {
            CacheDBPtr db;
            CZoError err = GetIteratorDB(FXLOC, this->afileId, this->copyId, db);
            if (err.IsError()) return err;
            err = fill(db, this->batch);
            // On failure the cursor stays at the end (a list's end survives
            // its clearing), so the next call refills again.
            if (err.IsError()) return err.Push(FXLOC);
            this->cursor = this->batch.iterator();
            if (this->batch.isEnd(this->cursor)) return FXErrorUtil::ErrorInt(FXLOC, LBCError::kEndOfListing);
        }
        record = &*this->cursor;
        ++this->cursor;
        return CZoError::Success();
    }
};
