// A host process that ends in one of the ways a host may end while the
// library still holds open afile databases, so that the library's unload runs
// after the ending thread's own thread objects were destroyed:
//   return-after-destroy    DestroyInstance, then return from main
//   exit-from-thread        a host thread writes, calls DestroyInstance and
//                           exit() while the main thread waits for it
//   return-without-destroy  return from main with the instance still there
//   return-holding-writer   DestroyInstance and return from main while a
//                           static of the host holds a Writer not closed
//
// The parent makes the folders and forks the host; a second child starts the
// library again over the same folders and checks that every extent the host
// wrote was written back at its unload. Exits 0 when the host exited 0 and
// every extent is there. Run under valgrind's memcheck, a use of memory freed
// at the ending thread's exit makes the host exit with valgrind's error code.

#include "LiveBrowseCache.h"
#include "platform/XKPlatformInfo.h"
#include "support/TempDir.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

const unsigned int kTessarel = 7;
const unsigned int kCopy = 1;
const long long kJob = 55;
const long long kAfiles[] = {4, 5, 6};
const int kExtentsPerAfile = 3;

long long OffsetOf(int n) { return static_cast<long long>(n) * 65536; }

// Released with the host's statics, after the exiting thread's own objects.
CLiveBrowseCache::WriterPtr g_heldWriter;

void Configure(const TempDir& temp) {
    const std::string jobResults = temp.sub("JobResults");
    ::mkdir(jobResults.c_str(), 0755);
    XKPlatformInfo::TEST_SetJobResultsDirectory(jobResults);
    XKPlatformInfo::TEST_Set("VirtualServer", "sLBCLogFolder", temp.sub("logs"));
    XKPlatformInfo::TEST_SetBool("VirtualServer", "bEnableMetadataRestoreOptimization", true);
    XKPlatformInfo::TEST_SetBool("VirtualServer", "bEnableLiveBrowseCache", true);
}

// Writes every extent of the afiles whose index has the given parity (-1:
// all), leaving their databases open in the service.
bool WriteExtents(CLiveBrowseCache* lbc, int parity) {
    const char bytes[] = "TAGHD01 extent of the unload host";
    for (size_t a = 0; a < sizeof kAfiles / sizeof kAfiles[0]; ++a) {
        if (parity >= 0 && static_cast<int>(a % 2) != parity) continue;
        for (int n = 0; n < kExtentsPerAfile; ++n) {
            CLiveBrowseCache::WriterPtr writer;
            CZoError err = lbc->GetWriterObject(kAfiles[a], OffsetOf(n), kTessarel, kCopy, kJob, writer);
            if (!err.IsError()) err = writer->Write(bytes, sizeof bytes);
            if (!err.IsError()) err = writer->Close();
            if (err.IsError()) {
                std::fprintf(stderr, "write of afile %lld extent %d: %s\n", kAfiles[a], n, err.AsString().c_str());
                return false;
            }
        }
    }
    return true;
}

// The host; its return value is the process's exit code.
int RunHost(const TempDir& temp, const std::string& mode) {
    Configure(temp);
    CLiveBrowseCache* lbc = CLiveBrowseCache::GetInstance();
    if (lbc == nullptr) return 3;
    if (mode == "return-after-destroy") {
        if (!WriteExtents(lbc, -1)) return 4;
        CLiveBrowseCache::DestroyInstance();
        return 0;
    }
    if (mode == "return-without-destroy") return WriteExtents(lbc, -1) ? 0 : 4;
    if (mode == "return-holding-writer") {
        if (!WriteExtents(lbc, -1)) return 4;
        const char bytes[] = "TAGHD01 never closed";
        CZoError err = lbc->GetWriterObject(kAfiles[0], OffsetOf(kExtentsPerAfile), kTessarel, kCopy, kJob, g_heldWriter);
        if (!err.IsError()) err = g_heldWriter->Write(bytes, sizeof bytes);
        if (err.IsError()) {
            std::fprintf(stderr, "held writer: %s\n", err.AsString().c_str());
            return 4;
        }
        CLiveBrowseCache::DestroyInstance();
        return 0;
    }
    if (mode == "exit-from-thread") {
        // The main thread's objects stay; the exiting thread's go first.
        if (!WriteExtents(lbc, 0)) return 4;
        std::thread host([lbc] {
            if (!WriteExtents(lbc, 1)) std::_Exit(4);
            CLiveBrowseCache::DestroyInstance();
            std::exit(0);
        });
        host.join();
        return 5;  // not reached: exit() ends the process
    }
    std::fprintf(stderr, "unknown mode [%s]\n", mode.c_str());
    return 2;
}

// A fresh library over the same folders finds every extent recorded and cached.
int CheckWrittenBack(const TempDir& temp) {
    Configure(temp);
    CLiveBrowseCache* lbc = CLiveBrowseCache::GetInstance();
    if (lbc == nullptr) return 3;
    int missing = 0;
    for (long long afile : kAfiles) {
        for (int n = 0; n < kExtentsPerAfile; ++n) {
            bool cached = false, recorded = false;
            CZoError err = lbc->IsExtentInCache(afile, OffsetOf(n), kTessarel, kCopy, cached, recorded);
            if (err.IsError() || !cached || !recorded) {
                std::fprintf(stderr, "afile %lld extent %d not written back (%s)\n", afile, n,
                             err.IsError() ? err.AsString().c_str() : "no row");
                ++missing;
            }
        }
    }
    CLiveBrowseCache::DestroyInstance();
    return missing == 0 ? 0 : 6;
}

// Forks: the child gets 0 and the parent the child's exit code (-1: it did
// not exit), or -1 when there is no child.
int Fork(pid_t& pid) {
    std::fflush(nullptr);
    pid = ::fork();
    if (pid <= 0) return pid == 0 ? 0 : -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Removed by the parent only; a child leaves it to the next one. Held here
// rather than on main's stack so that a child returning from main keeps it.
TempDir* g_folders = nullptr;

int Parent(const std::string& mode) {
    pid_t pid = 0;
    int host = Fork(pid);
    if (pid == 0) return RunHost(*g_folders, mode);  // the unload runs after main returns
    if (host != 0) {
        std::fprintf(stderr, "host [%s] exited with %d\n", mode.c_str(), host);
        return 1;
    }
    int check = Fork(pid);
    if (pid == 0) return CheckWrittenBack(*g_folders);
    if (check != 0) {
        std::fprintf(stderr, "check after host [%s] exited with %d\n", mode.c_str(), check);
        return 1;
    }
    std::printf("host [%s]: clean exit, every extent written back\n", mode.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s return-after-destroy|exit-from-thread|return-without-destroy|return-holding-writer\n",
                     argv[0]);
        return 2;
    }
    const pid_t parent = ::getpid();
    g_folders = new TempDir;
    const int code = Parent(argv[1]);
    if (::getpid() == parent) delete g_folders;
    return code;
}
