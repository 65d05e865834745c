#pragma once
// The key of one extent and the filters of extent and VM queries: plain values
// passed by value. In a filter a numeric field of 0 means any value; the VM
// GUID both filters carry is printed but never filters.

#include <string>

class Extent;

struct ExtentParam {
    // The key of the record's extent, with its job and flags: the one way
    // a key is made from a record.
    static ExtentParam Of(const Extent& extent);

    long long AfileID = 0;
    long long AfileOffset = 0;
    unsigned int TessarelID = 0;
    // 0: not part of the lookup.
    unsigned int CopyID = 0;
    // Only selects the job's performance counters; not part of the lookup.
    long long JobID = 0;
    // 0: not part of the lookup.
    int Flags = 0;
};

struct ExtentsParam {
    std::string VM;
    long long JobID = 0;
    unsigned int TessarelID = 0;
    unsigned int CopyID = 0;
    long long AfileID = 0;
    int Flags = 0;

    std::string description() const;
};

struct VMJobParam {
    // Numbers start at 0 rather than unset, so a filter built field by field
    // never filters on garbage.
    long long AfileID = 0;
    unsigned int TessarelID = 0;
    unsigned int CopyID = 0;
    std::string VM;
    // Column "BackupJobID".
    long long JobID = 0;

    std::string description() const;
};
