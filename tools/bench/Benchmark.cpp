// Throughput of the library against the simplest alternatives, all measured in
// one run on one machine. Figures are medians over repeated runs.
//
//   ./run.sh bench            (Release build; LBC_BENCH_RUNS sets the repeats)

#include "LiveBrowseCache.h"
#include "bench/Baselines.h"
#include "platform/XKPlatformInfo.h"

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

const unsigned kTessarel = 1;
const unsigned kCopy = 1;
const long long kJob = 7;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Bytes that identify their extent, so every read can be checked; like a real
// extent they begin with the tag magic (else the library logs every write).
void Fill(std::vector<char>& buf, long long afile, long long offset) {
    uint64_t x = static_cast<uint64_t>(afile) * 0x9E3779B97F4A7C15ULL ^ static_cast<uint64_t>(offset);
    for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(&buf[i], &x, 8);
    }
    static const char kTagMagic[] = "TAGHD01";
    if (buf.size() >= 8) memcpy(&buf[0], kTagMagic, 7);
}

class LibraryStore : public BenchStore {
public:
    explicit LibraryStore(CLiveBrowseCache* cache) : cache(cache) {}
    const char* Name() const override { return "library"; }
    bool Write(const ExtentKey& key, const char* data, size_t size) override {
        CLiveBrowseCache::WriterPtr writer;
        if (cache->GetWriterObject(key.afileId, key.offset, kTessarel, kCopy, kJob, 0, writer).IsError()) return false;
        if (writer->Write(data, size).IsError()) return false;
        return !writer->Close().IsError();
    }
    bool Read(const ExtentKey& key, const char*& data, size_t& size) override {
        CLiveBrowseCache::ReaderPtr reader;
        if (cache->GetReaderObject(key.afileId, key.offset, kTessarel, kCopy, kJob, 0, reader).IsError()) return false;
        if (reader->Read(buffer).IsError()) return false;
        data = buffer.Ptr();
        size = buffer.Size();
        return true;
    }
    bool Contains(const ExtentKey& key) override {
        bool cached = false, recorded = false;
        return !cache->IsExtentInCache(key.afileId, key.offset, kTessarel, kCopy, cached, recorded).IsError() &&
               cached;
    }
    void Flush() override {}

private:
    CLiveBrowseCache* cache;
    CAutoMemory<char> buffer{true};
};

struct Bench {
    std::string root;
    CLiveBrowseCache* cache = nullptr;
    long long nextAfile = 1000;

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
        std::string folder = root + "/baselines/" + std::to_string(nextAfile);
        fs::create_directories(folder);
        if (which == 0) return std::make_unique<LibraryStore>(cache);
        if (which == 1) return std::make_unique<RawStore>(folder);
        return std::make_unique<BlobStore>(folder);
    }
};

struct Rate {
    double mbps = 0, ops = 0;
};

// Writes `count` extents of `size` bytes into a fresh afile of the store, then
// reads them all back in a shuffled order, checking every byte.
void WriteThenRead(BenchStore& store, long long afile, size_t size, int count, Rate& write, Rate& read) {
    std::vector<char> buf(size);
    const char* got = nullptr;
    size_t gotSize = 0;
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        long long offset = static_cast<long long>(i) * static_cast<long long>(size);
        Fill(buf, afile, offset);
        if (!store.Write({afile, offset}, buf.data(), size)) {
            fprintf(stderr, "%s: write failed\n", store.Name());
            exit(1);
        }
    }
    store.Flush();
    double w = Seconds(start);
    std::vector<int> order(count);
    for (int i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    start = Clock::now();
    for (int i : order) {
        long long offset = static_cast<long long>(i) * static_cast<long long>(size);
        if (!store.Read({afile, offset}, got, gotSize) || gotSize != size) {
            fprintf(stderr, "%s: read failed\n", store.Name());
            exit(1);
        }
    }
    double r = Seconds(start);
    for (int i = 0; i < count; i += 97) {  // spot check of the bytes outside the timing
        long long offset = static_cast<long long>(i) * static_cast<long long>(size);
        Fill(buf, afile, offset);
        if (!store.Read({afile, offset}, got, gotSize) || gotSize != size || memcmp(got, buf.data(), size) != 0) {
            fprintf(stderr, "%s: wrong bytes\n", store.Name());
            exit(1);
        }
    }
    double mb = static_cast<double>(size) * count / (1024.0 * 1024.0);
    write = {mb / w, count / w};
    read = {mb / r, count / r};
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

// Runs the stores interleaved, run by run, rotating which goes first, and
// settles the page cache after each one.
void ThroughputTable(Bench& bench, int runs) {
    struct SizeCase {
        const char* label;
        size_t size;
        int count;
    } sizes[] = {{"4 KiB", 4096, 16384}, {"64 KiB", 65536, 4096}, {"1 MiB", 1 << 20, 256}};
    const char* names[] = {"library", "raw", "blob store"};
    printf("\n%-8s %-11s %12s %12s %12s %12s\n", "size", "store", "write MB/s", "write ops/s", "read MB/s",
           "read ops/s");
    for (const auto& sc : sizes) {
        std::vector<double> wm[3], wo[3], rm[3], ro[3];
        for (int run = 0; run < runs; ++run) {
            for (int turn = 0; turn < 3; ++turn) {
                int which = (run + turn) % 3;
                long long afile = bench.nextAfile++;
                Rate w, r;
                {
                    auto store = bench.Make(which);
                    WriteThenRead(*store, afile, sc.size, sc.count, w, r);
                }
                SettlePageCache(bench.root);
                wm[which].push_back(w.mbps);
                wo[which].push_back(w.ops);
                rm[which].push_back(r.mbps);
                ro[which].push_back(r.ops);
            }
        }
        double med[3][4];
        for (int which = 0; which < 3; ++which) {
            med[which][0] = Median(wm[which]);
            med[which][1] = Median(wo[which]);
            med[which][2] = Median(rm[which]);
            med[which][3] = Median(ro[which]);
            printf("%-8s %-11s %12.1f %12.0f %12.1f %12.0f\n", sc.label, names[which], med[which][0], med[which][1],
                   med[which][2], med[which][3]);
        }
        printf("%-8s %-11s %12.2f %12s %12.2f\n", sc.label, "lib/raw", med[0][0] / med[1][0], "", med[0][2] / med[1][2]);
        printf("%-8s %-11s %12.2f %12s %12.2f\n", sc.label, "lib/blob", med[0][0] / med[2][0], "",
               med[0][2] / med[2][2]);
        fflush(stdout);
    }
}

// Time per write and per read with 10k, 100k and 1M extents in one afile.
// Runs in a process of its own (--scaling), so its peak resident memory is its own.
void ScalingTable(Bench& bench) {
    const size_t size = 512;
    std::vector<char> buf(size);
    const char* got = nullptr;
    size_t gotSize = 0;
    LibraryStore store(bench.cache);
    long long afile = bench.nextAfile++;
    std::mt19937_64 rng(7);
    const int marks[] = {10000, 100000, 1000000};
    const int sample = 2000;
    int written = 0;
    printf("\nScaling (512-byte extents, one afile): time per operation in microseconds\n");
    printf("%-10s %12s %12s\n", "extents", "write us", "read us");
    double first[2] = {0, 0}, last[2] = {0, 0};
    auto writeOne = [&] {
        Fill(buf, afile, written);
        if (!store.Write({afile, static_cast<long long>(written) * 4096}, buf.data(), size)) {
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
        for (int i = 0; i < sample; ++i) {
            long long k = static_cast<long long>(rng() % static_cast<uint64_t>(written));
            if (!store.Read({afile, k * 4096}, got, gotSize)) {
                fprintf(stderr, "scaling: read failed\n");
                exit(1);
            }
        }
        double perRead = Seconds(start) / sample * 1e6;
        printf("%-10d %12.2f %12.2f\n", mark, perWrite, perRead);
        fflush(stdout);
        if (first[0] == 0) first[0] = perWrite, first[1] = perRead;
        last[0] = perWrite, last[1] = perRead;
    }
    printf("%-10s %12.2f %12.2f\n", "1M / 10k", last[0] / first[0], last[1] / first[1]);
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

// `only` > 0: one thread and `only` threads on distinct afiles alone.
void ConcurrencyTable(Bench& bench, int only = 0) {
    const size_t size = 65536;
    const int perThread = 1024;
    printf("\nConcurrency (64 KiB writes then reads through the library)\n");
    printf("%-22s %12s %10s %12s %10s\n", "threads", "write MB/s", "speed-up", "read MB/s", "speed-up");
    double base[2] = {0, 0};
    struct Case {
        int threads;
        bool oneAfile;
    } cases[] = {{1, false}, {2, false}, {4, false}, {8, false}, {8, true}};
    for (const auto& c : cases) {
        if (only > 0 && (c.oneAfile || (c.threads != 1 && c.threads != only))) continue;
        long long firstAfile = bench.nextAfile;
        bench.nextAfile += c.threads;
        std::vector<std::thread> threads;
        std::atomic<bool> failed{false};
        auto run = [&](bool reading) {
            threads.clear();
            auto start = Clock::now();
            for (int t = 0; t < c.threads; ++t) {
                threads.emplace_back([&, t] {
                    LibraryStore store(bench.cache);
                    std::vector<char> buf(size);
                    const char* got = nullptr;
                    size_t gotSize = 0;
                    long long afile = c.oneAfile ? firstAfile : firstAfile + t;
                    for (int i = 0; i < perThread; ++i) {
                        long long offset = (static_cast<long long>(t) * perThread + i) * static_cast<long long>(size);
                        if (reading) {
                            if (!store.Read({afile, offset}, got, gotSize) || gotSize != size) failed = true;
                        } else {
                            Fill(buf, afile, offset);
                            if (!store.Write({afile, offset}, buf.data(), size)) failed = true;
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
        char label[32];
        snprintf(label, sizeof label, "%d%s", c.threads, c.oneAfile ? " on one afile" : " on distinct afiles");
        printf("%-22s %12.1f %10.2f %12.1f %10.2f\n", label, w, w / base[0], r, r / base[1]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool scaling = argc > 1 && strcmp(argv[1], "--scaling") == 0;
    std::string root = argc > (scaling ? 2 : 1) ? argv[scaling ? 2 : 1] : (fs::temp_directory_path() / "lbc-bench").string();
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
        // bytes), for a profiler.
        int count = atoi(getenv("LBC_BENCH_PROFILE"));
        {
            Bench bench(root);
            LibraryStore store(bench.cache);
            Rate w, r;
            const char* size = getenv("LBC_BENCH_PROFILE_SIZE");
            WriteThenRead(store, bench.nextAfile++, size ? static_cast<size_t>(atol(size)) : 4096,
                          count > 0 ? count : 20000, w, r);
            printf("write %.0f ops/s, read %.0f ops/s\n", w.ops, r.ops);
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
