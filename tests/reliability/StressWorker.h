#pragma once
// The host that the multi-process and crash tests start as child processes:
// one process of this test program running the hidden test
// StressWorker.DISABLED_Host, told by environment variables what to do.
//
// Every worker of a test shares one cache location: the local cache folder
// below "<root>/shared" ("sLiveBrowseCacheLocation"), or, remote, the folder
// "<root>/served/vol" served by the loopback data server. Each has its own
// job results folder (and so its own staging folder), as separate hosts do.
// The lock file of each afile copy is what keeps them apart.
//
// Roles:
//   share  `ops` operations, then a clean shutdown and a stats file
//   crash  reads back every extent, caches one, reports 'R' on fd 3, then
//          works until it is killed; 'F' on fd 3 when it cannot cache
//   final  as crash, but `ops` operations and a clean shutdown
// A worker that reads a wrong byte writes "<root>/mismatch-<index>-<pid>"
// and, except in role share, exits with code 3 at once.

#include <string>
#include <utility>
#include <vector>

namespace stress {

constexpr const char* kWorkerTest = "StressWorker.DISABLED_Host";
constexpr const char* kLoopbackHost = "stress-loopback";

// The extents the workers write: every afile with every offset.
constexpr long long kWorkerAfiles[] = {9001, 9002, 9003};
constexpr long long kWorkerOffsets[] = {0, 4096, 8192, 12288, 16384, 20480};
constexpr unsigned int kWorkerTessarel = 3;
constexpr unsigned int kWorkerCopy = 1;

struct WorkerOptions {
    std::string role;
    std::string root;
    int index = 0;
    long long ops = 0;
    unsigned long long seed = 1;
    bool remote = false;
};

// The environment that hands the options to a child.
std::vector<std::pair<std::string, std::string>> WorkerEnvironment(const WorkerOptions& options);

// The folders a test makes before it starts workers below root.
void MakeWorkerFolders(const std::string& root);
// The folder holding "DATA" and "DB" of the workers' cache location.
std::string WorkerLocation(const std::string& root, bool remote);

// What a worker of role share or final reports in "<root>/stats-<index>".
struct WorkerStats {
    long long ops = 0;
    long long writesClosed = 0;   // Close succeeded
    long long writesAbandoned = 0;
    long long readsServed = 0;    // whole extents read and checked
    long long readsMissed = 0;    // not cached (or not served) at the moment
    long long lockRefusals = 0;   // a request met the afile locked by another process
    long long releases = 0;       // containers released (lock file given up)
    long long prunes = 0;         // afiles pruned by this worker's pruner
    long long mismatches = 0;
    std::string errors;           // ErrorTally text
};
bool ReadWorkerStats(const std::string& root, int index, WorkerStats& stats);
// Mismatch reports left by any worker below root.
std::vector<std::string> WorkerMismatches(const std::string& root);

}  // namespace stress
