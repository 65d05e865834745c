#pragma once
// One batch of records handed from the database to a batched listing, with
// the number of rows consumed by earlier batches and an opaque slot for the
// producer's state between batches. Records are held by value.
//
// Fetching the next batch: prepareForNextBatch(), clear(), then append the
// page that starts at getBatchOffset(); an empty batch ends the listing.

#include "LiveBrowseCacheDBObject.h"

#include <boost/any.hpp>
#include <cstddef>
#include <list>

template <typename T>
class DBObjectCollection : public LiveBrowseCacheDBObject {
public:
    typedef T ItemType;
    typedef std::list<T> ItemList;
    typedef typename ItemList::iterator Iterator;

    DBObjectCollection() = default;
    // Destroys the context first (releasing whatever listing state it holds),
    // then the records.
    ~DBObjectCollection() override = default;

    size_t count() const { return items.size(); }
    Iterator iterator() { return items.begin(); }
    bool isEnd(const Iterator& it) { return it == items.end(); }
    // Stores a copy: changing the record later leaves the stored one alone.
    void append(const T& item) { items.push_back(item); }
    // The offset and the context stay.
    void clear() { items.clear(); }
    size_t getBatchOffset() const { return batchOffset; }
    // Counts the records now held as handed out; call it before clear().
    void prepareForNextBatch() { batchOffset += items.size(); }
    boost::any& getContext() { return context; }

private:
    ItemList items;
    // Nothing reads or changes it after construction.
    long long reserved = 0;
    size_t batchOffset = 0;
    boost::any context;
};
