#pragma once
// Shared by the load, multi-process and crash tests.
//
// Checkable extents: the bytes of an extent say which extent they belong to
// and which write (generation) made them, so any reader, in this process or
// another, can tell whether it got exactly one whole write of that extent:
//   "TAGHD01" | afile id (8) | afile offset (8) | generation (4) | length (4) | stream
// all little-endian; the stream is a PRNG sequence seeded by key and
// generation, so a torn or shifted region never passes.
//
// Child processes (support/ChildProcess.h): a test starts this test program
// again running one hidden (DISABLED_) test, with environment variables
// telling it what to do.
//
// The location check reads every afile database of a cache location straight
// through SQLite, the way an auditor would, independent of the library.

#include "CZoError.h"
#include "support/ChildProcess.h"
#include "support/LockProbes.h"
#include "support/Waits.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace stress {

constexpr size_t kHeaderSize = 31;

// The bytes of one write of an extent; length is raised to kHeaderSize.
std::string ExtentBytes(long long afileId, long long afileOffset, uint32_t generation, size_t length);

// True when data is exactly one whole write of the extent; its generation is
// given back. why says what is wrong otherwise.
bool CheckExtentBytes(long long afileId, long long afileOffset, const char* data, size_t size, uint32_t& generation,
                      std::string& why);

// A small, fast, seedable generator (splitmix64), the same on every platform.
class Random {
public:
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t Next();
    // Uniform in [0, bound); bound > 0.
    uint64_t Below(uint64_t bound) { return Next() % bound; }
    bool Percent(unsigned percent) { return Below(100) < percent; }

private:
    uint64_t state;
};

// The seed of a test run: LBC_STRESS_SEED when set, else `fallback`.
uint64_t RunSeed(uint64_t fallback);

// True in a build with AddressSanitizer or ThreadSanitizer: the tests then
// do fewer operations to stay inside their time.
bool UnderSanitizer();

// Error codes met by a worker, for the report.
class ErrorTally {
public:
    void Add(const std::string& code) { ++counts[code]; }
    void Merge(const ErrorTally& other);
    long long Total() const;
    long long Of(const std::string& code) const;
    // "code=count code=count ..."
    std::string AsText() const;
    static ErrorTally FromText(const std::string& text);

private:
    std::map<std::string, long long> counts;
};

// The category and code of an error as short text: "int:50", "win32:5", ...
std::string ErrorCode(const CZoError& err);

// What one look at a cache location found.
struct LocationCheck {
    int databases = 0;      // afile databases read
    int extentRows = 0;     // rows of all of them
    int servedRows = 0;     // rows a reader would be served from (their bytes checked)
    long long bytesChecked = 0;
    std::vector<std::string> problems;
};

// Every "afile_cache.db" below dbRoot (upload folders left out): PRAGMA
// integrity_check, then every extent row whose location carries the VM
// row's validity GUID and whose flat file (below dataRoot) exists: its
// region must lie in the file, hold the bytes its key says, and overlap no
// other such region of the file.
LocationCheck CheckLocation(const std::string& dbRoot, const std::string& dataRoot);

// Every "lockfile" below dbRoot.
std::vector<std::string> FindLockFiles(const std::string& dbRoot);

}  // namespace stress
