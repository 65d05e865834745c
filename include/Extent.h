#pragma once
// One row of the table "Extents": where the cached bytes of one extent of one
// afile copy lie. A plain value: no locks, no files, no knowledge of the
// database; whoever shares one between threads guards it.

#include "LiveBrowseCacheDBObject.h"

#include <boost/shared_ptr.hpp>
#include <string>

class Extent : private LiveBrowseCacheDBObject {
public:
    // JobID comes last, although it is the tenth field. There is no default
    // constructor: a blank record is Extent(0, 0, 0, 0, 0).
    Extent(long long AfileID, long long AfileOffset, unsigned int TessarelID, unsigned int CopyID, long long JobID);
    Extent(const Extent&) = default;
    Extent& operator=(const Extent&) = default;
    Extent(Extent&&) = default;
    Extent& operator=(Extent&&) = default;
    ~Extent() override = default;

    // "%llu_%llu_%u_%u" of AfileID, AfileOffset, CopyID, TessarelID: names one
    // extent of one afile copy whatever its job and flags. The copy id comes
    // before the cell id.
    std::string AsUniqueKey() const;
    std::string description() const;

    // Identity: (TessarelID, CopyID, AfileID, AfileOffset), the table's key.
    long long AfileID;
    long long AfileOffset;
    unsigned int TessarelID;
    unsigned int CopyID;
    // "loc:" and the item location; empty while the extent has no cached copy.
    std::string CacheLocation;
    std::string Signature;
    long long ExtentID;
    std::string VMGUID;
    std::string DiskID;
    // Also selects the per-job performance counters of its operations.
    long long JobID;
    // 1 full extent, 2 partial extent; 0 in a new record.
    int Flags;
    // The VM row's validity GUID when the cached copy was committed.
    std::string ValidityGUID;
    // In test mode the MD5 text of the cached bytes.
    std::string Reserved1;
};

typedef boost::shared_ptr<Extent> ExtentPtr;
typedef boost::shared_ptr<const Extent> ExtentConstPtr;
