#pragma once
// A database that runs out of room inside SQLite itself: the file is capped
// a few pages above its present size (PRAGMA max_page_count), so a statement
// that needs more pages fails with SQLITE_FULL and SQLite rolls back the open
// transaction by itself, as it does when the disk under the file is full.

#include "metadb/SQLiteAdapter.h"
#include "platform/FXErrorUtil.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>

inline void CapDatabaseSize(CSQLiteDB& db, long extraPages) {
    long pages = 0;
    ASSERT_FALSE(db.QueryScalar("PRAGMA page_count", pages, 0).IsError());
    int rows = 0;
    ASSERT_FALSE(db.Execute("PRAGMA max_page_count = " + std::to_string(pages + extraPages), rows).IsError());
}

inline void UncapDatabaseSize(CSQLiteDB& db) {
    int rows = 0;
    ASSERT_FALSE(db.Execute("PRAGMA max_page_count = 1073741823", rows).IsError());
}

// Writes rows of about 2 KiB through `write` (given a row number) until one
// fails; that failure, which must be SQLITE_FULL, is returned.
inline CZoError WriteUntilFull(const std::function<CZoError(long long)>& write) {
    CZoError err;
    for (long long n = 0; n < 10000 && !err.IsError(); ++n) err = write(n);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(err, SQLITE_FULL)) << err.AsString();
    return err;
}

inline std::string LongLocation(long long n) {
    return "loc:C1/f.cache:" + std::to_string(n) + ":10:" + std::string(2000, 'x');
}
