// Throughput of the library against the simplest alternatives, all measured in
// one run on one machine. Figures are medians over repeated runs.
//
//   ./run.sh bench [folder]   (Release build; LBC_BENCH_RUNS sets the repeats, 3 by default)
//   ./run.sh cost [folder]    (Release build; instructions per operation under callgrind, CallgrindCost.h)

#include "LiveBrowseCache.h"
#include "bench/Baselines.h"
#include "bench/CallgrindCost.h"
#include "metadb/CacheDB.h"
#include "platform/SystemClock.h"
#include "platform/XKPlatformInfo.h"
#include "store/CacheLookup.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The bytes of every extent of one size: one random pattern, made before any
// timing, that begins with the tag magic (else the library logs every write)
// and carries the extent's afile and offset, so every read can be checked.
// Stamping costs a few nanoseconds, so no store's time holds the making of
// its bytes.
class ExtentBytes {
public:
    explicit ExtentBytes(size_t size) : bytes(size) {
        uint64_t x = 0x9E3779B97F4A7C15ULL ^ size;
        for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(&bytes[i], &x, 8);
        }
        static const char kTagMagic[] = "TAGHD01";
        if (bytes.size() >= 8) memcpy(&bytes[0], kTagMagic, 7);
    }
    const char* For(long long afile, long long offset) {
        if (bytes.size() >= 24) {
            memcpy(&bytes[8], &afile, 8);
            memcpy(&bytes[16], &offset, 8);
        }
        return bytes.data();
    }
    bool Matches(const char* got, size_t size, long long afile, long long offset) {
        return size == bytes.size() && memcmp(got, For(afile, offset), size) == 0;
    }
    size_t Size() const { return bytes.size(); }

private:
    std::vector<char> bytes;
};

class LibraryStore : public BenchStore {
public:
    explicit LibraryStore(CLiveBrowseCache* cache) : cache(cache) {}
    const char* Name() const override { return "library"; }
    bool Write(const ExtentKey& key, const char* data, size_t size) override {
        CLiveBrowseCache::WriterPtr writer;
        if (cache->GetWriterObject(key.afileId, key.offset, kBenchTessarel, kBenchCopy, kBenchJob, 0, writer).IsError())
            return false;
        if (writer->Write(data, size).IsError()) return false;
        return !writer->Close().IsError();
    }
    bool Read(const ExtentKey& key, const char*& data, size_t& size) override {
        CLiveBrowseCache::ReaderPtr reader;
        if (cache->GetReaderObject(key.afileId, key.offset, kBenchTessarel, kBenchCopy, kBenchJob, 0, reader).IsError())
            return false;
        if (reader->Read(buffer).IsError()) return false;
        data = buffer.Ptr();
        size = buffer.Size();
        return true;
    }
    bool Contains(const ExtentKey& key) override {
        bool cached = false, recorded = false;
        return !cache->IsExtentInCache(key.afileId, key.offset, kBenchTessarel, kBenchCopy, cached, recorded).IsError() &&
               cached;
    }
    void Flush() override {}

private:
    CLiveBrowseCache* cache;
    CAutoMemory<char> buffer{true};
};

enum StoreKind { kLibrary, kRaw, kBlob, kFloor, kFloorCopy, kStoreKinds };
const char* const kStoreNames[kStoreKinds] = {"library", "raw", "blob store", "floor", "floor+copy"};

struct Bench {
    std::string root;
    CLiveBrowseCache* cache = nullptr;
    long long nextAfile = 1000;
    int nextFolder = 0;

    explicit Bench(const std::string& root) : root(root) {
        fs::remove_all(root);
        fs::create_directories(root + "/jobresults");
        fs::create_directories(root + "/baselines");
        XKPlatformInfo::TEST_SetBool("VirtualServer", "bEnableMetadataRestoreOptimization", true);
        XKPlatformInfo::TEST_SetBool("VirtualServer", "bEnableLiveBrowseCache", true);
        XKPlatformInfo::TEST_Set("VirtualServer", "sLBCLogFolder", root + "/log");
        XKPlatformInfo::TEST_Set("VirtualServer", "nLBCDebugLevel", "0");
        XKPlatformInfo::TEST_SetJobResultsDirectory(root + "/jobresults");
        cache = CLiveBrowseCache::GetInstance();
        if (cache == nullptr || cache->InitializeInTestMode("").IsError()) {
            fprintf(stderr, "cannot start the cache\n");
            exit(1);
        }
    }
    ~Bench() {
        CLiveBrowseCache::DestroyInstance();
    }

    std::unique_ptr<BenchStore> Make(int which) {
        if (which == kLibrary) return std::make_unique<LibraryStore>(cache);
        std::string folder = root + "/baselines/" + std::to_string(nextFolder++);
        fs::create_directories(folder);
        if (which == kRaw) return std::make_unique<RawStore>(folder);
        if (which == kBlob) return std::make_unique<BlobStore>(folder);
        return std::make_unique<FloorStore>(folder, which == kFloorCopy);
    }
};

[[noreturn]] void Fail(const BenchStore& store, const char* what) {
    fprintf(stderr, "%s: %s\n", store.Name(), what);
    exit(1);
}

// Seconds a store spent in its own calls.
struct Spent {
    double write = 0, read = 0;
};

// When each phase began and ended, on the clock perf records with
// `-k CLOCK_MONOTONIC` (for `perf report --time`).
struct PhaseMarks {
    double writes = 0, reads = 0, end = 0;
};

double Monotonic() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// The store's set-up, before anything is measured: its files and schema, and
// for the library the afile's container with its lock file, staging and
// first commits, made by one extent written and read at `offset`.
void WarmUp(BenchStore& store, long long afile, ExtentBytes& bytes, long long offset) {
    const char* got = nullptr;
    size_t gotSize = 0;
    if (!store.Write({afile, offset}, bytes.For(afile, offset), bytes.Size()) || !store.Read({afile, offset}, got, gotSize) ||
        !bytes.Matches(got, gotSize, afile, offset))
        Fail(store, "warm-up failed");
}

// The order in which the extents 0 to count - 1 are read back: the same in every run.
std::vector<int> ShuffledOrder(int count) {
    std::vector<int> order(count);
    for (int i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    return order;
}

// Writes `count` extents into afile `afile` of every store, extent by extent,
// the store that goes first moving on by one with each extent, then reads
// them back in a shuffled order the same way, checking every byte. Only each
// store's own call is timed, so whatever the machine does meanwhile (the host
// taking back freed page-cache memory, other processes) falls on all stores
// alike. A warm-up extent written and read first puts each store's set-up
// before the timing: its files and schema, and for the library the afile's
// container with its lock file, staging and first commits. Transactions stay
// open through the reads and are committed after them, outside the timing.
std::vector<Spent> Interleaved(const std::vector<BenchStore*>& stores, long long afile, ExtentBytes& bytes, int count,
                               int rotation, PhaseMarks* marks = nullptr) {
    const size_t size = bytes.Size();
    const size_t n = stores.size();
    std::vector<Spent> spent(n);
    const char* got = nullptr;
    size_t gotSize = 0;
    auto offsetOf = [size](int i) { return static_cast<long long>(i) * static_cast<long long>(size); };
    for (BenchStore* store : stores) WarmUp(*store, afile, bytes, offsetOf(count));
    // One call on every store, the first moving on by one with each turn;
    // only the call is timed, the check of what a read delivered is not.
    auto eachStore = [&](int turn, long long offset, double Spent::*phase, auto call) {
        for (size_t k = 0; k < n; ++k) {
            const size_t which = (static_cast<size_t>(turn + rotation) + k) % n;
            auto start = Clock::now();
            bool ok = call(*stores[which]);
            spent[which].*phase += Seconds(start);
            if (!ok) Fail(*stores[which], phase == &Spent::write ? "write failed" : "read failed");
            if (phase == &Spent::read && !bytes.Matches(got, gotSize, afile, offset))
                Fail(*stores[which], "wrong bytes");
        }
    };
    if (marks) marks->writes = Monotonic();
    for (int i = 0; i < count; ++i) {
        const long long offset = offsetOf(i);
        const char* data = bytes.For(afile, offset);
        eachStore(i, offset, &Spent::write,
                  [&](BenchStore& store) { return store.Write({afile, offset}, data, size); });
    }
    const std::vector<int> order = ShuffledOrder(count);
    if (marks) marks->reads = Monotonic();
    for (int j = 0; j < count; ++j) {
        const long long offset = offsetOf(order[j]);
        eachStore(j, offset, &Spent::read,
                  [&](BenchStore& store) { return store.Read({afile, offset}, got, gotSize); });
    }
    if (marks) marks->end = Monotonic();
    for (BenchStore* store : stores) store->Flush();
    return spent;
}

// Flushes every file under `root` to the disk and drops it from the page cache,
// so the next run pays for no writeback left over by this one.
void SettlePageCache(const std::string& root) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        int fd = open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

// Every store in every run, interleaved extent by extent (Interleaved), one
// fresh afile per run, the page cache settled between runs. Figures are the
// medians over the runs; a ratio is the median of the runs' own ratios.
void ThroughputTable(Bench& bench, int runs) {
    struct SizeCase {
        const char* label;
        size_t size;
        int count;
    } sizes[] = {{"4 KiB", 4096, 16384}, {"64 KiB", 65536, 4096}, {"1 MiB", 1 << 20, 256}};
    const struct {
        const char* label;
        int store;
    } ratios[] = {{"lib/floor+copy", kFloorCopy}, {"lib/floor", kFloor}, {"lib/raw", kRaw}, {"lib/blob", kBlob}};
    printf("\n%-8s %-15s %12s %12s %12s %12s\n", "size", "store", "write MB/s", "write ops/s", "read MB/s",
           "read ops/s");
    for (const auto& sc : sizes) {
        ExtentBytes bytes(sc.size);
        std::vector<double> writes[kStoreKinds], reads[kStoreKinds];  // ops/s
        std::vector<double> writeRatio[kStoreKinds], readRatio[kStoreKinds];
        for (int run = 0; run < runs; ++run) {
            long long afile = bench.nextAfile++;
            {
                std::vector<std::unique_ptr<BenchStore>> owned;
                std::vector<BenchStore*> stores;
                for (int which = 0; which < kStoreKinds; ++which) {
                    owned.push_back(bench.Make(which));
                    stores.push_back(owned.back().get());
                }
                std::vector<Spent> spent = Interleaved(stores, afile, bytes, sc.count, run);
                for (int which = 0; which < kStoreKinds; ++which) {
                    writes[which].push_back(sc.count / spent[which].write);
                    reads[which].push_back(sc.count / spent[which].read);
                }
                for (int which = 0; which < kStoreKinds; ++which) {
                    writeRatio[which].push_back(writes[kLibrary].back() / writes[which].back());
                    readRatio[which].push_back(reads[kLibrary].back() / reads[which].back());
                }
            }
            SettlePageCache(bench.root);
        }
        const double mib = static_cast<double>(sc.size) / (1024.0 * 1024.0);
        for (int which = 0; which < kStoreKinds; ++which) {
            double w = Median(writes[which]), r = Median(reads[which]);
            printf("%-8s %-15s %12.1f %12.0f %12.1f %12.0f\n", sc.label, kStoreNames[which], w * mib, w, r * mib, r);
        }
        for (const auto& ratio : ratios) {
            printf("%-8s %-15s %12s %12.2f %12s %12.2f\n", sc.label, ratio.label, "", Median(writeRatio[ratio.store]),
                   "", Median(readRatio[ratio.store]));
        }
        fflush(stdout);
    }
}

// The afile copy's database released as idle, as the pruner releases it after
// "nLiveBrowseCacheAfileIdleTime" seconds without a commit: written back,
// closed and unlocked; the next request stages it again.
void ReleaseIdle(long long afile) {
    SystemClock::TEST_AdvanceSeconds(31);
    CacheDBPtr db = GetDB(afile, kBenchCopy);
    if (!db || db->ReleaseIdleResources().IsError()) {
        fprintf(stderr, "scaling: idle release failed\n");
        exit(1);
    }
}

// Time per write and per read with 10k, 100k and 1M extents in one afile, and
// the first write and the first read after an idle release (medians of three).
// Runs in a process of its own (--scaling), so its peak resident memory is its own.
void ScalingTable(Bench& bench) {
    const size_t size = 512;
    ExtentBytes bytes(size);
    const char* got = nullptr;
    size_t gotSize = 0;
    LibraryStore store(bench.cache);
    long long afile = bench.nextAfile++;
    std::mt19937_64 rng(7);
    const int marks[] = {10000, 100000, 1000000};
    const int sample = 2000;
    int written = 0;
    printf("\nScaling (512-byte extents, one afile): time per operation in microseconds\n");
    printf("%-10s %12s %12s %18s %17s\n", "extents", "write us", "read us", "1st write ms [1]", "1st read ms [1]");
    double first[2] = {0, 0}, last[2] = {0, 0};
    auto readOne = [&] {
        long long k = static_cast<long long>(rng() % static_cast<uint64_t>(written));
        if (!store.Read({afile, k * 4096}, got, gotSize)) {
            fprintf(stderr, "scaling: read failed\n");
            exit(1);
        }
    };
    auto writeOne = [&] {
        const long long offset = static_cast<long long>(written) * 4096;
        if (!store.Write({afile, offset}, bytes.For(afile, offset), size)) {
            fprintf(stderr, "scaling: write failed\n");
            exit(1);
        }
        ++written;
    };
    for (int mark : marks) {
        while (written < mark - sample) writeOne();
        auto start = Clock::now();
        while (written < mark) writeOne();
        double perWrite = Seconds(start) / sample * 1e6;
        start = Clock::now();
        for (int i = 0; i < sample; ++i) readOne();
        double perRead = Seconds(start) / sample * 1e6;
        std::vector<double> firstWrite, firstRead;
        for (int round = 0; round < 3; ++round) {
            ReleaseIdle(afile);
            start = Clock::now();
            writeOne();
            firstWrite.push_back(Seconds(start) * 1e3);
            ReleaseIdle(afile);
            start = Clock::now();
            readOne();
            firstRead.push_back(Seconds(start) * 1e3);
        }
        printf("%-10d %12.2f %12.2f %18.2f %17.2f\n", mark, perWrite, perRead, Median(firstWrite), Median(firstRead));
        fflush(stdout);
        if (first[0] == 0) first[0] = perWrite, first[1] = perRead;
        last[0] = perWrite, last[1] = perRead;
    }
    printf("%-10s %12.2f %12.2f\n", "1M / 10k", last[0] / first[0], last[1] / first[1]);
    printf("[1] after an idle release, which writes the database back; the first request stages it again\n");
    auto start = Clock::now();
    long calls = 0;
    while (Seconds(start) < 2.0) {
        long long k = static_cast<long long>(rng() % static_cast<uint64_t>(written));
        store.Contains({afile, k * 4096});
        ++calls;
    }
    printf("\nIsExtentInCache: %.0f calls/s\n", calls / Seconds(start));
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("Peak resident memory with 1 million extents cached: %.1f MiB\n", usage.ru_maxrss / 1024.0);
}

// Wall-clock throughput of threads that each write, then read, their own
// extents, on an afile each or all on one afile; a speed-up is against the
// one thread. Each afile is set up by a warm-up extent before the timing, and
// the bytes are stamped, not made, inside it. `only` > 0: one thread and
// `only` threads on distinct afiles alone.
void ConcurrencyTable(Bench& bench, int only = 0) {
    const size_t size = 65536;
    const int perThread = 1024;
    printf("\nConcurrency (64 KiB writes then reads through the library)\n");
    printf("%-27s %12s %10s %12s %10s\n", "threads", "write MB/s", "speed-up", "read MB/s", "speed-up");
    double base[2] = {0, 0};
    struct Case {
        int threads;
        bool oneAfile;
    } cases[] = {{1, false}, {2, false}, {4, false}, {8, false}, {2, true}, {4, true}, {8, true}};
    for (const auto& c : cases) {
        if (only > 0 && (c.oneAfile || (c.threads != 1 && c.threads != only))) continue;
        long long firstAfile = bench.nextAfile;
        bench.nextAfile += c.threads;
        const long long beyond = static_cast<long long>(c.threads) * perThread * static_cast<long long>(size);
        std::vector<ExtentBytes> bytes(c.threads, ExtentBytes(size));
        for (int t = 0; t < (c.oneAfile ? 1 : c.threads); ++t) {
            LibraryStore store(bench.cache);
            if (!store.Write({firstAfile + t, beyond}, bytes[t].For(firstAfile + t, beyond), size)) {
                fprintf(stderr, "concurrency: warm-up failed\n");
                exit(1);
            }
        }
        std::vector<std::thread> threads;
        std::atomic<bool> failed{false};
        auto run = [&](bool reading) {
            threads.clear();
            auto start = Clock::now();
            for (int t = 0; t < c.threads; ++t) {
                threads.emplace_back([&, t] {
                    LibraryStore store(bench.cache);
                    const char* got = nullptr;
                    size_t gotSize = 0;
                    long long afile = c.oneAfile ? firstAfile : firstAfile + t;
                    for (int i = 0; i < perThread; ++i) {
                        long long offset = (static_cast<long long>(t) * perThread + i) * static_cast<long long>(size);
                        if (reading) {
                            if (!store.Read({afile, offset}, got, gotSize) || gotSize != size) failed = true;
                        } else {
                            if (!store.Write({afile, offset}, bytes[t].For(afile, offset), size)) failed = true;
                        }
                    }
                });
            }
            for (auto& th : threads) th.join();
            return static_cast<double>(size) * perThread * c.threads / (1024.0 * 1024.0) / Seconds(start);
        };
        double w = run(false);
        double r = run(true);
        if (failed) {
            fprintf(stderr, "concurrency: an operation failed\n");
            exit(1);
        }
        SettlePageCache(bench.root);
        if (base[0] == 0) base[0] = w, base[1] = r;
        char label[40];
        if (c.threads == 1)
            snprintf(label, sizeof label, "1 thread");
        else
            snprintf(label, sizeof label, "%d threads, %s", c.threads, c.oneAfile ? "one afile" : "distinct afiles");
        printf("%-27s %12.1f %10.2f %12.1f %10.2f\n", label, w, w / base[0], r, r / base[1]);
        fflush(stdout);
    }
}

// The measured process of the cost table: one store writes `count` extents
// of 4 KiB into one afile after its warm-up, then reads them back in the
// order Interleaved reads them, callgrind counting the store's calls alone.
int CostRun(const std::string& storeName, const std::string& root, int count) {
    int which = 0;
    while (which < kStoreKinds && storeName != kStoreNames[which]) ++which;
    if (which == kStoreKinds || count <= 0) {
        fprintf(stderr, "--cost-run: no store '%s' or no count\n", storeName.c_str());
        return 2;
    }
    {
        Bench bench(root);
        std::unique_ptr<BenchStore> store = bench.Make(which);
        ExtentBytes bytes(4096);
        const long long afile = bench.nextAfile++;
        auto offsetOf = [&bytes](int i) { return static_cast<long long>(i) * static_cast<long long>(bytes.Size()); };
        WarmUp(*store, afile, bytes, offsetOf(count));
        for (int i = 0; i < count; ++i) {
            const long long offset = offsetOf(i);
            const char* data = bytes.For(afile, offset);
            bool ok;
            {
                CollectedCall counted;
                ok = store->Write({afile, offset}, data, bytes.Size());
            }
            if (!ok) Fail(*store, "write failed");
        }
        EndPhase("writes");
        const char* got = nullptr;
        size_t gotSize = 0;
        for (int i : ShuffledOrder(count)) {
            const long long offset = offsetOf(i);
            bool ok;
            {
                CollectedCall counted;
                ok = store->Read({afile, offset}, got, gotSize);
            }
            if (!ok || !bytes.Matches(got, gotSize, afile, offset)) Fail(*store, "read failed");
        }
        EndPhase("reads");
        store->Flush();
    }
    fs::remove_all(root);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool scaling = argc > 1 && strcmp(argv[1], "--scaling") == 0;
    std::string root = argc > (scaling ? 2 : 1) ? argv[scaling ? 2 : 1] : (fs::temp_directory_path() / "lbc-bench").string();
    if (argc > 4 && strcmp(argv[1], "--cost-run") == 0) return CostRun(argv[2], argv[3], atoi(argv[4]));
    if (argc > 1 && strcmp(argv[1], "--cost") == 0) {
        // LBC_COST_OPS writes and as many reads per store, 2000 by default.
        const int count = getenv("LBC_COST_OPS") ? atoi(getenv("LBC_COST_OPS")) : 2000;
        const std::string folder = argc > 2 ? argv[2] : (fs::temp_directory_path() / "lbc-cost").string();
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        const bool ok = PrintCostTable(self, {kStoreNames[kLibrary], kStoreNames[kFloorCopy]}, folder, count > 0 ? count : 2000);
        fs::remove_all(folder);
        return ok ? 0 : 1;
    }
    if (scaling) {
        {
            Bench bench(root);
            ScalingTable(bench);
        }
        fs::remove_all(root);
        return 0;
    }
    if (getenv("LBC_BENCH_PROFILE") != nullptr) {
        // Library writes and reads alone (4 KiB, or LBC_BENCH_PROFILE_SIZE
        // bytes), for a profiler; the phases' bounds are printed for
        // `perf record -k CLOCK_MONOTONIC` and `perf report --time`.
        int count = atoi(getenv("LBC_BENCH_PROFILE"));
        if (count <= 0) count = 20000;
        const char* size = getenv("LBC_BENCH_PROFILE_SIZE");
        {
            Bench bench(root);
            LibraryStore store(bench.cache);
            ExtentBytes bytes(size ? static_cast<size_t>(atol(size)) : 4096);
            PhaseMarks marks;
            std::vector<Spent> spent = Interleaved({&store}, bench.nextAfile++, bytes, count, 0, &marks);
            printf("write %.0f ops/s, read %.0f ops/s\n", count / spent[0].write, count / spent[0].read);
            printf("write phase --time %.6f,%.6f\nread phase --time %.6f,%.6f\n", marks.writes, marks.reads,
                   marks.reads, marks.end);
        }
        fs::remove_all(root);
        return 0;
    }
    if (getenv("LBC_BENCH_CONCURRENCY") != nullptr) {
        // The concurrency table alone, for a profiler; a number > 1 keeps
        // only that many threads on distinct afiles beside one thread.
        {
            Bench bench(root);
            ConcurrencyTable(bench, atoi(getenv("LBC_BENCH_CONCURRENCY")));
        }
        fs::remove_all(root);
        return 0;
    }
    int runs = getenv("LBC_BENCH_RUNS") ? atoi(getenv("LBC_BENCH_RUNS")) : 3;
    if (runs < 1) runs = 1;
    auto began = Clock::now();
    unsigned cores = std::thread::hardware_concurrency();
    printf("LiveBrowseCache benchmark: %u cores, folder %s, median of %d runs\n", cores, root.c_str(), runs);
    {
        Bench bench(root);
        ThroughputTable(bench, runs);
        ConcurrencyTable(bench);
    }
    fs::remove_all(root);
    fflush(stdout);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string command = "'" + self + "' --scaling '" + root + "-scaling'";
    int rc = system(command.c_str()) == 0 ? 0 : 1;
    printf("\nBenchmark time: %.0f s\n", Seconds(began));
    return rc;
}
