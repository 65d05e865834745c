#pragma once
// One row of the table "VMs": one VM backup job of one afile copy. A plain
// value without locks.

#include "LiveBrowseCacheDBObject.h"

#include <boost/shared_ptr.hpp>
#include <string>

class VM : private LiveBrowseCacheDBObject {
public:
    // Empty texts, every number 0.
    VM();
    // The argument order differs from the field order.
    VM(unsigned int TessarelID, unsigned int CopyID, long long AfileID, std::string GUID, long long JobID,
       long long LastReferenceTime, std::string ValidityGUID);
    VM(const VM&) = default;
    VM& operator=(const VM&) = default;
    // Moves the two texts and copies the five numbers: a moved-from VM keeps
    // its numbers.
    VM(VM&&) = default;
    VM& operator=(VM&&) = default;
    ~VM() override = default;

    std::string description() const;

    std::string GUID;
    // Column "BackupJobID".
    long long JobID;
    // Seconds since 1970.
    long long LastReferenceTime;
    // Empty when there is none.
    std::string ValidityGUID;
    // Identity: (TessarelID, CopyID, AfileID), the table's key.
    unsigned int TessarelID;
    unsigned int CopyID;
    long long AfileID;
};

// The VM order: TessarelID, then CopyID (both unsigned), then AfileID
// (signed); no other field takes part. Every ordered container of VMs sorts
// by it.
inline bool operator<(const VM& a, const VM& b) {
    if (a.TessarelID != b.TessarelID) return a.TessarelID < b.TessarelID;
    if (a.CopyID != b.CopyID) return a.CopyID < b.CopyID;
    return a.AfileID < b.AfileID;
}

typedef boost::shared_ptr<VM> VMPtr;
