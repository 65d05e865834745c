#pragma once
// Every SQL text run against the tables of an afile database, built for the
// one call: values are printed into the text and nothing is bound.
//
// Signed values (afile id, offset, extent id, job id, times, flags) are
// printed as signed, so a negative value round-trips; a text value has its
// single quotes doubled, so it cannot end its literal early. Both leave the
// text of every ordinary value unchanged.

#include "Extent.h"
#include "QueryParams.h"
#include "VM.h"

#include <cstddef>
#include <string>

class SQLiteQueries {
public:
    // "WHERE " and one condition per non-zero number joined by " AND ", or
    // the empty text when every number is 0.
    static std::string Clause(const ExtentsParam& filter);
    static std::string Clause(const VMJobParam& filter);

    static std::string QueryExtent(const ExtentParam& key);
    // LIMIT offset,batchSize only when batchSize is not 0.
    static std::string QueryExtents(const ExtentsParam& filter, size_t batchSize, size_t offset);
    static std::string QueryVMs(const VMJobParam& filter, size_t batchSize, size_t offset);
    static std::string QueryAllVMs();
    static std::string QueryVM(const VM& vm);
    static std::string QueryExtentsCount(const ExtentsParam& filter);
    static std::string QueryVMCount(const VMJobParam& filter);

    // insertionTime: seconds since 1970, stamped on every insert and replace.
    static std::string InsertExtent(const Extent& row, long long insertionTime);
    static std::string UpdateExtent(const Extent& row, long long insertionTime);
    static std::string DeleteExtent(const ExtentParam& key);
    // LIMIT only when limit is not 0.
    static std::string DeleteExtents(const ExtentsParam& filter, size_t limit);
    static std::string ResetExtentsCacheLocation(const ExtentsParam& filter);
    static std::string InsertUpdateVM(const VM& vm, bool insertOnly);
};
