// A small host that shows the library at work: several threads store extents
// of a few afiles and jobs, read them back and check every byte, ask whether
// extents are cached, list the cached jobs and extents, age a job, and print
// the statistics and where the debug log is. Exits 0 only if every check held.
//
// Configuration comes from the store's seed file named by LBC_CONFIG_FILE
// (./run.sh demo writes one under the build folder).

#include "LiveBrowseCache.h"

#include "LiveBrowseCacheCodes.h"
#include "VM.h"
#include "foundation/PerfCounters.h"
#include "metadb/CacheDB.h"
#include "platform/FXErrorUtil.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheLookup.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const unsigned int kTessarel = 3;
const unsigned int kCopy = 1;
const long long kPartial = 0x400000000LL;
const int kThreads = 8;
const int kExtentsPerThread = 12;

struct Afile {
    long long id;
    long long job;
};
const Afile kAfiles[] = {{1001, 501}, {1002, 501}, {1003, 502}};

std::mutex g_outputLock;
std::atomic<int> g_failures{0};

// Where the library writes its debug log: sLBCLogFolder, or its default.
std::string DebugLogPath() {
    std::string logFolder;
    XKPlatformInfo().getValue("VirtualServer", "sLBCLogFolder", logFolder);
    if (logFolder.empty()) logFolder = "/tmp/LiveBrowseCacheLogs";
    return logFolder + "/LiveBrowseCache.log";
}

void Check(bool held, const std::string& what) {
    std::lock_guard<std::mutex> guard(g_outputLock);
    if (!held) ++g_failures;
    std::printf("[%s] %s\n", held ? " ok " : "FAIL", what.c_str());
}

void CheckOk(const CZoError& err, const std::string& what) {
    Check(!err.IsError(), err.IsError() ? what + ": " + err.AsString() : what);
}

// The extent's bytes as a host would read them from the media: the tag, then
// a pattern of the extent's own.
std::string Payload(long long afile, long long offset) {
    const size_t length = 4096 + static_cast<size_t>((afile * 7 + offset / 65536) % 13) * 512;
    std::string bytes = "TAGHD01";
    for (size_t i = bytes.size(); i < length; ++i)
        bytes.push_back(static_cast<char>((i * 131 + static_cast<size_t>(afile) * 17 + static_cast<size_t>(offset)) & 0xff));
    return bytes;
}

long long OffsetOf(int thread, int n) { return (static_cast<long long>(thread) * kExtentsPerThread + n) * 65536; }

bool WriteOne(CLiveBrowseCache* lbc, const Afile& afile, long long offset, long long flags, std::string& error) {
    const std::string bytes = Payload(afile.id, offset);
    CLiveBrowseCache::WriterPtr writer;
    CZoError err = lbc->GetWriterObject(afile.id, offset, kTessarel, kCopy, afile.job, flags, writer);
    for (size_t at = 0; !err.IsError() && at < bytes.size(); at += 1500)
        err = writer->Write(bytes.data() + at, std::min<size_t>(1500, bytes.size() - at));
    if (!err.IsError()) err = writer->Close();
    if (err.IsError()) error = err.AsString();
    return !err.IsError();
}

bool ReadOne(CLiveBrowseCache* lbc, const Afile& afile, long long offset, std::string& error) {
    const std::string bytes = Payload(afile.id, offset);
    CLiveBrowseCache::ReaderPtr reader;
    CZoError err = lbc->GetReaderObject(afile.id, offset, kTessarel, kCopy, afile.job, kPartial, reader);
    if (err.IsError()) {
        error = err.AsString();
        return false;
    }
    CAutoMemory<char> whole;
    err = reader->Read(whole);
    if (err.IsError() || std::string(whole.Ptr() ? whole.Ptr() : "", whole.Size()) != bytes) {
        error = err.IsError() ? err.AsString() : "whole read differs";
        return false;
    }
    std::string streamed;
    std::vector<char> chunk(1000);
    for (;;) {
        unsigned long size = chunk.size();
        err = reader->Read(static_cast<void*>(chunk.data()), size);
        if (err.IsError()) {
            error = err.AsString();
            return false;
        }
        if (size == 0) break;
        streamed.append(chunk.data(), size);
    }
    if (streamed != bytes) error = "streamed read differs";
    return streamed == bytes;
}

// Several host threads, each on its own offsets of every afile.
void WriteAndReadFromThreads(CLiveBrowseCache* lbc) {
    std::atomic<int> writes{0}, reads{0}, failedWrites{0}, failedReads{0};
    std::string firstError;
    std::mutex errorLock;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kExtentsPerThread; ++n) {
                for (const Afile& afile : kAfiles) {
                    const long long offset = OffsetOf(t, n);
                    std::string error;
                    if (WriteOne(lbc, afile, offset, n % 3 == 0 ? kPartial : 0, error)) {
                        ++writes;
                    } else {
                        ++failedWrites;
                        std::lock_guard<std::mutex> guard(errorLock);
                        if (firstError.empty()) firstError = error;
                        continue;
                    }
                    if (ReadOne(lbc, afile, offset, error)) {
                        ++reads;
                    } else {
                        ++failedReads;
                        std::lock_guard<std::mutex> guard(errorLock);
                        if (firstError.empty()) firstError = error;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const int expected = kThreads * kExtentsPerThread * static_cast<int>(sizeof(kAfiles) / sizeof(kAfiles[0]));
    Check(writes == expected && failedWrites == 0,
          std::to_string(writes.load()) + " extents written from " + std::to_string(kThreads) + " threads" +
              (firstError.empty() ? "" : " (first error: " + firstError + ")"));
    Check(reads == expected && failedReads == 0,
          std::to_string(reads.load()) + " extents read back whole and streamed, every byte checked");
}

void AskPresence(CLiveBrowseCache* lbc) {
    bool cached = false, recorded = false;
    CZoError err = lbc->IsExtentInCache(kAfiles[0].id, OffsetOf(0, 0), kTessarel, kCopy, cached, recorded);
    Check(!err.IsError() && cached && recorded, "IsExtentInCache of a written extent: cached and recorded");
    err = lbc->IsExtentInCache(kAfiles[0].id, 999 * 65536LL, kTessarel, kCopy, cached, recorded);
    Check(!err.IsError() && !cached && !recorded, "IsExtentInCache of an extent never written: neither");
}

void ListJobsAndExtents(CLiveBrowseCache* lbc) {
    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    CZoError err = lbc->GetCachedJobIterator(0, 0, kTessarel, kCopy, 2, jobs);
    std::set<long long> listed;
    while (!err.IsError()) {
        long long afile = 0, job = 0;
        unsigned int copy = 0, tessarel = 0;
        std::string guid;
        time_t when = 0;
        err = jobs->GetNextVMInfo(afile, job, copy, tessarel, guid, when);
        if (err.IsError()) break;
        listed.insert(afile);
        std::printf("       cached job: afile %lld copy %u Tessarel id %u, database of %s", afile, copy, tessarel,
                    std::ctime(&when));
    }
    Check(FXErrorUtil::IsInt(err, LBCError::kEndOfListing) && listed.size() == sizeof(kAfiles) / sizeof(kAfiles[0]),
          "job iterator lists " + std::to_string(listed.size()) + " cached afiles, then ends");

    for (const Afile& afile : kAfiles) {
        boost::shared_ptr<CLiveBrowseCache::ExtentIterator> extents;
        err = lbc->GetExtentIterator(0, afile.id, kTessarel, kCopy, 25, extents);
        long long total = 0;
        if (!err.IsError()) err = extents->GetTotalCount(total);
        int seen = 0, withMd5 = 0;
        while (!err.IsError()) {
            long long id = 0, offset = 0;
            unsigned int copy = 0, tessarel = 0;
            std::string guid, md5;
            err = extents->GetNextExtentInfo(id, offset, copy, tessarel, guid, md5);
            if (err.IsError()) break;
            ++seen;
            if (md5.size() == 32) ++withMd5;
        }
        Check(FXErrorUtil::IsInt(err, LBCError::kEndOfListing) && seen == kThreads * kExtentsPerThread &&
                  total == seen && withMd5 == seen,
              "extent iterator of afile " + std::to_string(afile.id) + ": " + std::to_string(seen) +
                  " extents in batches of 25, each with its MD5 text");
    }
}

void AgeAJob(CLiveBrowseCache* lbc) {
    const Afile& afile = kAfiles[2];
    CZoError err = lbc->AgeCachedJob(afile.job, afile.id, kTessarel, kCopy, 3);
    VM vm(kTessarel, kCopy, afile.id, std::string(), 0, 0, std::string());
    CacheDBPtr db = GetDB(afile.id, kCopy);
    if (!err.IsError() && db) err = db->GetVMJob(vm);
    const long long age = static_cast<long long>(std::time(nullptr)) - vm.LastReferenceTime;
    Check(!err.IsError() && age >= 3 * 86400 && age < 3 * 86400 + 120,
          "AgeCachedJob moved job " + std::to_string(afile.job) + " of afile " + std::to_string(afile.id) +
              " back by 3 days (" + std::to_string(age) + " s)" + (err.IsError() ? ": " + err.AsString() : ""));
}

void PrintStatistics() {
    // What each line counts: README, "Statistics".
    std::printf("\nStatistics:\n");
    for (auto& entry : SnapshotPerJobPerfCounters()) {
        if (entry.first == 0) {
            std::printf("--- process totals (every job's requests; no bytes, so no throughput)\n%s\n",
                        entry.second->AsString(true).c_str());
        } else {
            std::printf("--- job %lld\n%s\n", entry.first, entry.second->AsString(true).c_str());
        }
    }
    boost::shared_ptr<LBCPerfCounters> process = LoadLBCPerfCounters();
    if (process)
        std::printf("--- process-wide set (database and write registry, since the service was last built)\n%s\n",
                    process->AsString(true).c_str());
    // The same into the debug log, as the periodic thread would.
    LBCPerfCounters::LogPerJobStats(true, true);

    std::printf("Debug log: %s\n", DebugLogPath().c_str());
}

}  // namespace

int main() {
    const char* config = std::getenv("LBC_CONFIG_FILE");
    std::printf("Live browse cache sample host (configuration: %s)\n", config ? config : "(none)");

    CLiveBrowseCache::SetTestability();  // extents record their MD5 text
    CLiveBrowseCache* lbc = CLiveBrowseCache::GetInstance();
    Check(lbc != nullptr, "GetInstance gives the cache");
    if (lbc == nullptr) {
        // The library logs why, unless the log belongs to another user (made
        // by root's run, say).
        const std::string log = DebugLogPath();
        if (::access(log.c_str(), W_OK) == 0)
            std::printf("No cache; the reason is in %s\n", log.c_str());
        else
            std::printf("No cache, and this user cannot write the debug log %s (%s): set sLBCLogFolder to a "
                        "folder of its own to learn why\n",
                        log.c_str(), std::strerror(errno));
        return 1;
    }
    std::string dataFolder, dbFolder;
    CZoError err = lbc->GetBaseFolderPath(dataFolder, dbFolder);
    CheckOk(err, "cache folders: " + dataFolder + " and " + dbFolder);

    WriteAndReadFromThreads(lbc);
    AskPresence(lbc);

    // A new instance: the old service goes and writes every afile database
    // back to the cache folder, where the job listing finds it.
    CLiveBrowseCache::DestroyInstance();
    lbc = CLiveBrowseCache::GetInstance();
    Check(lbc != nullptr, "GetInstance again after DestroyInstance");
    if (lbc == nullptr) return 1;

    ListJobsAndExtents(lbc);
    AgeAJob(lbc);
    std::string error;
    Check(ReadOne(lbc, kAfiles[1], OffsetOf(3, 4), error), "an extent still reads back after the restart " + error);
    PrintStatistics();

    CLiveBrowseCache::DestroyInstance();
    const int failures = g_failures.load();
    std::printf("\n%s\n", failures == 0 ? "Every check held." : (std::to_string(failures) + " check(s) failed.").c_str());
    return failures == 0 ? 0 : 1;
}
