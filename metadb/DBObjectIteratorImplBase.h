#pragma once
// The state a batched iterator keeps between calls: its batch, a cursor into
// it, the filter keys, the batch size and a cached total count. Derived
// iterators read the fields directly, build their filter from the keys and
// ask for the next batch of batchSize rows into `batch` when the cursor has
// reached its end. Used by one caller at a time.

#include "DBObjectCollection.h"

#include <cstddef>
#include <string>

template <typename Collection>
class DBObjectIteratorImplBase {
public:
    // The job id is the second argument and the afile id the third, while the
    // fields hold the afile id first.
    DBObjectIteratorImplBase(const std::string& vmGuid, long long jobId, long long afileId, unsigned int tessarelId,
                             unsigned int copyId, size_t batchSize)
        : cursor(batch.iterator()),
          vmGuid(vmGuid),
          afileId(afileId),
          jobId(jobId),
          tessarelId(tessarelId),
          copyId(copyId),
          batchSize(batchSize) {}
    virtual ~DBObjectIteratorImplBase() = default;
    // The cursor points into this object's own batch.
    DBObjectIteratorImplBase(const DBObjectIteratorImplBase&) = delete;
    DBObjectIteratorImplBase& operator=(const DBObjectIteratorImplBase&) = delete;

protected:
    Collection batch;
    typename Collection::Iterator cursor;
    // The filter keys and the batch size never change after construction.
    const std::string vmGuid;
    const long long afileId;
    const long long jobId;
    const unsigned int tessarelId;
    const unsigned int copyId;
    const size_t batchSize;
    long long totalCount = 0;
    bool totalCountCached = false;
};
