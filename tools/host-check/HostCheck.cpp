// A host program that sees only what `cmake --install` put under the prefix:
// the public headers and the shared library. It stores extents of two afiles,
// reads them back byte for byte, asks whether one is cached, restarts the cache
// and lists the extents and jobs it finds. Exits 0 only if every check held.
//
// Configuration comes from the seed file named by LBC_CONFIG_FILE.

#include <LiveBrowseCache.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>

namespace {

const unsigned int kTessarel = 3;
const unsigned int kCopy = 1;
const long long kAfiles[] = {2001, 2002};
const long long kJob = 601;
const int kExtentsPerAfile = 16;

int g_failures = 0;

void Check(bool held, const std::string& what) {
    if (!held) ++g_failures;
    std::printf("[%s] %s\n", held ? " ok " : "FAIL", what.c_str());
}

std::string Describe(const CZoError& err) { return err.IsError() ? ": " + err.AsString() : std::string(); }

long long OffsetOf(int n) { return static_cast<long long>(n) * 65536; }

std::string Payload(long long afile, long long offset) {
    std::string bytes(3000 + static_cast<size_t>(offset / 65536) * 100, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(afile) + static_cast<size_t>(offset)) & 0xff);
    return bytes;
}

CZoError Write(CLiveBrowseCache* lbc, long long afile, long long offset) {
    const std::string bytes = Payload(afile, offset);
    CLiveBrowseCache::WriterPtr writer;
    CZoError err = lbc->GetWriterObject(afile, offset, kTessarel, kCopy, kJob, writer);
    if (!err.IsError()) err = writer->Write(bytes.data(), bytes.size());
    if (!err.IsError()) err = writer->Close();
    return err;
}

bool ReadsBack(CLiveBrowseCache* lbc, long long afile, long long offset) {
    CLiveBrowseCache::ReaderPtr reader;
    CAutoMemory<char> whole;
    CZoError err = lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, reader);
    if (!err.IsError()) err = reader->Read(whole);
    const char* bytes = whole.Ptr() ? whole.Ptr() : "";
    return !err.IsError() && std::string(bytes, whole.Size()) == Payload(afile, offset);
}

void WriteAndRead(CLiveBrowseCache* lbc) {
    int written = 0, read = 0;
    std::string firstError;
    for (long long afile : kAfiles) {
        for (int n = 0; n < kExtentsPerAfile; ++n) {
            CZoError err = Write(lbc, afile, OffsetOf(n));
            if (err.IsError() && firstError.empty()) firstError = err.AsString();
            if (!err.IsError()) ++written;
            if (ReadsBack(lbc, afile, OffsetOf(n))) ++read;
        }
    }
    const int expected = kExtentsPerAfile * static_cast<int>(sizeof(kAfiles) / sizeof(kAfiles[0]));
    Check(written == expected, std::to_string(written) + " extents written" +
                                   (firstError.empty() ? "" : " (first error: " + firstError + ")"));
    Check(read == expected, std::to_string(read) + " extents read back, every byte checked");

    bool cached = false, recorded = false;
    CZoError err = lbc->IsExtentInCache(kAfiles[0], OffsetOf(1), kTessarel, kCopy, cached, recorded);
    Check(!err.IsError() && cached && recorded, "IsExtentInCache of a written extent" + Describe(err));
}

// Hands each record of a listing to take, as many as the listing counts: the
// end-of-listing code is not something a host can test through the public headers.
template <typename Iterator, typename Take>
CZoError WalkListing(CZoError err, Iterator& iterator, Take take) {
    long long total = 0;
    if (!err.IsError()) err = iterator->GetTotalCount(total);
    for (long long i = 0; i < total && !err.IsError(); ++i) err = take();
    return err;
}

void ListAfterRestart(CLiveBrowseCache* lbc) {
    for (long long afile : kAfiles) {
        boost::shared_ptr<CLiveBrowseCache::ExtentIterator> extents;
        std::set<long long> offsets;
        CZoError err = WalkListing(lbc->GetExtentIterator(0, afile, kTessarel, kCopy, 5, extents), extents, [&] {
            long long id = 0, offset = 0;
            unsigned int copy = 0, tessarel = 0;
            std::string guid;
            CZoError next = extents->GetNextExtentInfo(id, offset, copy, tessarel, guid);
            if (!next.IsError() && id == afile) offsets.insert(offset);
            return next;
        });
        Check(!err.IsError() && offsets.size() == kExtentsPerAfile,
              "extent listing of afile " + std::to_string(afile) + ": " + std::to_string(offsets.size()) +
                  " extents in batches of 5" + Describe(err));
    }

    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    std::set<long long> listed;
    CZoError err = WalkListing(lbc->GetCachedJobIterator(0, 0, kTessarel, kCopy, 1, jobs), jobs, [&] {
        long long afile = 0, job = 0;
        unsigned int copy = 0, tessarel = 0;
        std::string guid;
        time_t when = 0;
        CZoError next = jobs->GetNextVMInfo(afile, job, copy, tessarel, guid, when);
        if (!next.IsError()) listed.insert(afile);
        return next;
    });
    // One record per afile database of the location (its job id reads 0).
    Check(!err.IsError() && listed == std::set<long long>(std::begin(kAfiles), std::end(kAfiles)),
          "job listing: " + std::to_string(listed.size()) + " cached afiles" + Describe(err));

    Check(ReadsBack(lbc, kAfiles[1], OffsetOf(7)), "an extent reads back after the restart");
}

}  // namespace

int main() {
    const char* config = std::getenv("LBC_CONFIG_FILE");
    std::printf("Host check (configuration: %s)\n", config ? config : "(none)");

    CLiveBrowseCache* lbc = CLiveBrowseCache::GetInstance();
    Check(lbc != nullptr, "GetInstance gives the cache");
    if (lbc == nullptr) return 1;
    std::string dataFolder, dbFolder;
    CZoError err = lbc->GetBaseFolderPath(dataFolder, dbFolder);
    Check(!err.IsError(), "cache folders: " + dataFolder + " and " + dbFolder + Describe(err));
    WriteAndRead(lbc);

    // The databases go back to the cache folder when the instance goes.
    CLiveBrowseCache::DestroyInstance();
    lbc = CLiveBrowseCache::GetInstance();
    Check(lbc != nullptr, "GetInstance again after DestroyInstance");
    if (lbc == nullptr) return 1;
    ListAfterRestart(lbc);
    CLiveBrowseCache::DestroyInstance();

    std::printf("%s\n", g_failures == 0 ? "Every check held." : (std::to_string(g_failures) + " check(s) failed.").c_str());
    return g_failures == 0 ? 0 : 1;
}
