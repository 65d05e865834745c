// Bad input: a corrupt database in the cache location, a truncated flat file,
// rows written straight into a database with locations that are malformed or
// point outside the cache, quotes in every text field, extreme ids, null
// buffers and zero lengths, batch size 0, cache folders that are files and
// folders that cannot be made. Each gets a clear error code (or is served
// correctly), nothing crashes or hangs, and nothing outside the cache folders
// is created, changed or deleted: sentinel folders beside the cache folder
// and beside the job results folder are compared before and after.

#include "reliability/FaultTestSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/XKPlatformInfo.h"

#include <climits>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace faults {
namespace {

constexpr long long kAfile = 987;
const char kSecret[] = "SENTINEL-SECRET-0123456789";

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
    return names;
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

void MakeFolder(const std::string& path) { ASSERT_EQ(0, ::mkdir(path.c_str(), 0755)) << path; }

class BadInputTest : public FaultFixture {
protected:
    void SetUp() override {
        FaultFixture::SetUp();
        // Sentinels beside the job results folder and beside the cache
        // folder, and a folder for this test's own blockers.
        MakeFolder(Sentinel());
        MakeFolder(Sentinel() + "/inner");
        WriteWholeFile(Sentinel() + "/secret.txt", kSecret);
        WriteWholeFile(Sentinel() + "/inner/more.txt", "more sentinel bytes");
        MakeFolder(InnerSentinel());
        WriteWholeFile(InnerSentinel() + "/secret.txt", kSecret);
        MakeFolder(Fixtures());
        outer.reset(new TreeSnapshot(Sentinel()));
        inner.reset(new TreeSnapshot(InnerSentinel()));
        topNames = Names(temp.path());
        jobResultsNames = Names(JobResultsFolder());
    }

    void TearDown() override {
        FaultFixture::TearDown();
        TreeSnapshot outerNow(Sentinel());
        TreeSnapshot innerNow(InnerSentinel());
        EXPECT_TRUE(*outer == outerNow) << outer->Difference(outerNow);
        EXPECT_TRUE(*inner == innerNow) << inner->Difference(innerNow);
        std::set<std::string> top = Names(temp.path());
        top.erase("served");
        topNames.erase("served");
        EXPECT_EQ(topNames, top);
        std::set<std::string> jobResults = Names(JobResultsFolder());
        // The cache folder itself may be replaced by a case's blocker.
        EXPECT_EQ(jobResultsNames, jobResults);
    }

    std::string Sentinel() const { return temp.sub("sentinel"); }
    std::string InnerSentinel() const { return JobResultsFolder() + "/sentinel"; }
    std::string Fixtures() const { return temp.sub("fixtures"); }
    std::string DataFolder() const { return LocalCacheFolder() + "/DATA"; }
    // The flat file's path as item locations name it.
    std::string RelativeFlatFile() const { return LocalFlatFile(kAfile).substr(DataFolder().size() + 1); }

    CZoError WriteIds(long long afile, long long offset, unsigned tessarel, unsigned copy, long long job,
                      const std::string& bytes) {
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, offset, tessarel, copy, job, writer);
        if (err.IsError()) return err;
        err = writer->Write(bytes.data(), bytes.size());
        if (err.IsError()) return err;
        return writer->Close();
    }
    std::string ReadIds(long long afile, long long offset, unsigned tessarel, unsigned copy, long long job,
                        CZoError& err) {
        CLiveBrowseCache::ReaderPtr reader;
        err = lbc->GetReaderObject(afile, offset, tessarel, copy, job, reader);
        if (err.IsError()) return std::string();
        CAutoMemory<char> buffer;
        err = reader->Read(buffer);
        if (err.IsError()) return std::string();
        return std::string(buffer.Ptr() == nullptr ? "" : buffer.Ptr(), buffer.Size());
    }

    // The VM row's validity GUID, as the cache location's database holds it.
    std::string ValidityGUID() const {
        std::vector<std::string> guid = QueryColumn(LocalDBFile(kAfile), "SELECT ValidityGUID FROM VMs");
        EXPECT_EQ(1u, guid.size());
        return guid.empty() ? std::string() : guid[0];
    }

    // An Extents row written straight into the cache location's database.
    void InsertRow(long long offset, const std::string& location, const std::string& validity,
                   const std::string& text = std::string()) {
        std::string why;
        std::string sql = "INSERT OR REPLACE INTO Extents (AfileID, AfileOffset, TessarelID, CopyID, CacheLocation, "
                          "Signature, ExtentID, VMGUID, DiskID, JobID, InsertionTime, Flags, ValidityGUID, Reserved1, "
                          "Reserved2) VALUES (" +
                          std::to_string(kAfile) + ", " + std::to_string(offset) + ", " + std::to_string(kTessarel) +
                          ", " + std::to_string(kCopy) + ", " + Literal(location) + ", " + Literal(text) + ", 0, " +
                          Literal(text) + ", " + Literal(text) + ", " + std::to_string(kJob) + ", 0, 1, " +
                          Literal(validity) + ", " + Literal(text) + ", 0)";
        ASSERT_TRUE(ExecSql(LocalDBFile(kAfile), sql, &why)) << why;
    }
    static std::string Literal(const std::string& text) {
        std::string out = "'";
        for (char c : text) {
            out += c;
            if (c == '\'') out += '\'';
        }
        return out + "'";
    }

    std::unique_ptr<TreeSnapshot> outer;
    std::unique_ptr<TreeSnapshot> inner;
    std::set<std::string> topNames;
    std::set<std::string> jobResultsNames;
};

// ---- a corrupt database in the cache location

struct Corruption {
    const char* name;
    // true: every request of the afile fails (the database cannot be used);
    // false: a request may succeed, and what it serves must be right.
    bool unusable;
    void (*apply)(const std::string& dbFile);
};
std::ostream& operator<<(std::ostream& out, const Corruption& c) { return out << c.name; }

std::string Garbage(size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    unsigned x = seed;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

class CorruptDatabaseTest : public BadInputTest, public ::testing::WithParamInterface<Corruption> {};

TEST_P(CorruptDatabaseTest, RequestsFailClearlyOrServeTheRightBytes) {
    const Corruption& c = GetParam();
    std::vector<std::string> bytes;
    for (int i = 0; i < 20; ++i) {
        bytes.push_back(Payload(2000 + i * 50, i));
        ASSERT_FALSE(WriteExtent(kAfile, i * 4096, bytes.back()).IsError());
    }
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    c.apply(dbFile);
    const std::string corrupt = ReadWholeFile(dbFile);
    struct stat before;
    ASSERT_EQ(0, ::stat(dbFile.c_str(), &before));

    for (int i = 0; i < 20; ++i) {
        CZoError err;
        std::string got = ReadExtent(kAfile, i * 4096, err);
        if (c.unusable) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kAdapterInitFailed)) << err.AsString();
        } else if (!err.IsError()) {
            EXPECT_TRUE(got == bytes[i]) << "offset " << i * 4096 << " served other bytes";
        }
        bool cached = false, recorded = false;
        err = lbc->IsExtentInCache(kAfile, i * 4096, kTessarel, kCopy, cached, recorded);
        if (c.unusable) {
            EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kAdapterInitFailed)) << err.AsString();
        }
    }
    const std::string fresh = Payload(1234, 99);
    CZoError err = WriteExtent(kAfile, 1 << 30, fresh);
    if (c.unusable) {
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kAdapterInitFailed)) << err.AsString();
    } else if (!err.IsError()) {
        CZoError readErr;
        std::string got = ReadExtent(kAfile, 1 << 30, readErr);
        EXPECT_TRUE(readErr.IsError() || got == fresh);
    }
    ReleaseContainer(kAfile);
    const std::string lockFile = LocalLockFile(kAfile);
    StopService();

    // A database that cannot be opened is never written back over, and its
    // lock is let go.
    if (c.unusable) {
        struct stat after;
        ASSERT_EQ(0, ::stat(dbFile.c_str(), &after));
        EXPECT_TRUE(ReadWholeFile(dbFile) == corrupt);
        EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
        EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    }
    EXPECT_TRUE(OtherProcessCanLock(lockFile));
}

void Overwrite(const std::string& dbFile, size_t from, const std::string& bytes) {
    std::string content = ReadWholeFile(dbFile);
    ASSERT_GT(content.size(), from);
    content.replace(from, std::min(bytes.size(), content.size() - from), bytes.substr(0, content.size() - from));
    WriteWholeFile(dbFile, content);
}

INSTANTIATE_TEST_SUITE_P(
    Corruptions, CorruptDatabaseTest,
    ::testing::Values(
        Corruption{"Garbage", true, [](const std::string& f) { WriteWholeFile(f, Garbage(8192, 1)); }},
        Corruption{"HeaderThenGarbage", true,
                   [](const std::string& f) { WriteWholeFile(f, std::string("SQLite format 3", 16) + Garbage(4080, 2)); }},
        Corruption{"TruncatedToHalf", false,
                   [](const std::string& f) {
                       std::string content = ReadWholeFile(f);
                       WriteWholeFile(f, content.substr(0, content.size() / 2));
                   }},
        Corruption{"PagesOverwritten", false,
                   [](const std::string& f) { Overwrite(f, 1024, Garbage(1 << 20, 3)); }},
        Corruption{"SchemaPageOverwritten", false, [](const std::string& f) { Overwrite(f, 100, Garbage(3000, 4)); }},
        Corruption{"Empty", false, [](const std::string& f) { WriteWholeFile(f, std::string()); }}),
    [](const ::testing::TestParamInfo<Corruption>& info) { return info.param.name; });

// ---- a truncated flat file

TEST_F(BadInputTest, TruncatedFlatFileFailsTheCutExtentsOnly) {
    const std::string a = Payload(1000, 1), b = Payload(2000, 2), c = Payload(3000, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    ASSERT_FALSE(WriteExtent(kAfile, 4096, b).IsError());
    ASSERT_FALSE(WriteExtent(kAfile, 8192, c).IsError());
    const std::string flat = LocalFlatFile(kAfile);
    ASSERT_EQ(6000, FileSize(flat));

    ASSERT_EQ(0, ::truncate(flat.c_str(), 1500));
    ExpectReads(kAfile, 0, a);
    CZoError err = ExpectNoRead(kAfile, 4096);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kShortRead)) << err.AsString();
    err = ExpectNoRead(kAfile, 8192);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kShortRead)) << err.AsString();

    ASSERT_EQ(0, ::truncate(flat.c_str(), 0));
    for (long long offset : {0LL, 4096LL, 8192LL}) {
        err = ExpectNoRead(kAfile, offset);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kShortRead)) << err.AsString();
    }
    // Rewritten, the extents are cached again.
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    ExpectReads(kAfile, 0, a);
}

// ---- rows written straight into the database

struct BadLocation {
    const char* name;
    // "%F" stands for the flat file's path relative to the data folder, "%B"
    // for its bucket folder, "%S" for the sentinel secret's absolute path.
    const char* location;
    int readCode;  // the code a read fails with
};
std::ostream& operator<<(std::ostream& out, const BadLocation& c) { return out << c.name; }

class BadLocationTest : public BadInputTest, public ::testing::WithParamInterface<BadLocation> {
protected:
    std::string Expand(const std::string& pattern) const {
        std::string out;
        for (size_t i = 0; i < pattern.size(); ++i) {
            if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'F') {
                out += RelativeFlatFile();
                ++i;
            } else if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'B') {
                out += RelativeFlatFile().substr(0, RelativeFlatFile().find('/'));
                ++i;
            } else if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'S') {
                out += Sentinel() + "/secret.txt";
                ++i;
            } else {
                out += pattern[i];
            }
        }
        return out;
    }
};

TEST_P(BadLocationTest, ReadFailsWithAClearCodeAndNothingOutsideIsTouched) {
    const BadLocation& c = GetParam();
    const std::string good = Payload(3000, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, good).IsError());
    ReleaseContainer(kAfile);
    const std::string flat = LocalFlatFile(kAfile);
    const long long flatSize = FileSize(flat);
    const std::string location = Expand(c.location);
    InsertRow(4096, location, ValidityGUID());

    CZoError err = ExpectNoRead(kAfile, 4096);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, c.readCode)) << location << ": " << err.AsString();
    EXPECT_EQ(std::string::npos, err.AsString().find(kSecret));
    // A streamed read through a Reader, when one is handed out, fails too.
    CLiveBrowseCache::ReaderPtr reader;
    if (!lbc->GetReaderObject(kAfile, 4096, kTessarel, kCopy, kJob, reader).IsError()) {
        char buffer[64];
        unsigned long size = sizeof(buffer);
        EXPECT_TRUE(reader->Read(buffer, size).IsError() || size == 0) << location;
    }
    reader.reset();

    // Writing the extent either fails clearly or caches it afresh; the flat
    // file grows by the bytes written at most.
    const std::string bytes = Payload(10, 2);
    err = WriteExtent(kAfile, 4096, bytes);
    if (!err.IsError()) ExpectReads(kAfile, 4096, bytes);
    EXPECT_LE(FileSize(flat), flatSize + static_cast<long long>(bytes.size())) << location;
    // A location whose flat file cannot be opened gives the VM a new validity
    // GUID, which retires every older row: the good extent is then a miss,
    // never other bytes.
    std::string got = ReadExtent(kAfile, 0, err);
    if (err.IsError())
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << err.AsString();
    else
        EXPECT_TRUE(got == good);
}

INSTANTIATE_TEST_SUITE_P(
    Locations, BadLocationTest,
    ::testing::Values(
        BadLocation{"NoPrefix", "%F:0:10", LBCError::kInvalidLocation},
        BadLocation{"PrefixOnly", "loc:", LBCError::kInvalidLocation},
        BadLocation{"PathOnly", "loc:%F", LBCError::kInvalidLocation},
        BadLocation{"NoLength", "loc:%F:0", LBCError::kInvalidLocation},
        BadLocation{"EmptyPath", "loc::0:10", LBCError::kInvalidLocation},
        BadLocation{"AbsolutePath", "loc:%S:0:26", LBCError::kInvalidLocation},
        BadLocation{"DotDotPath", "loc:../../../sentinel/secret.txt:0:26", LBCError::kInvalidLocation},
        BadLocation{"DotDotInside", "loc:%F/../../../../../sentinel/secret.txt:0:26", LBCError::kInvalidLocation},
        BadLocation{"NegativeOffset", "loc:%F:-1:10", LBCError::kInvalidLocation},
        BadLocation{"NegativeLength", "loc:%F:0:-10", LBCError::kInvalidLocation},
        BadLocation{"OverflowingOffset", "loc:%F:99999999999999999999:10", LBCError::kInvalidLocation},
        BadLocation{"OverflowingLength", "loc:%F:0:99999999999999999999", LBCError::kInvalidLocation},
        BadLocation{"RegionPastTheLargestOffset", "loc:%F:9223372036854775800:10", LBCError::kInvalidLocation},
        BadLocation{"HugeLength", "loc:%F:0:1099511627776", LBCError::kShortRead},
        BadLocation{"HugeOffset", "loc:%F:1099511627776:10", LBCError::kShortRead},
        BadLocation{"PastTheEnd", "loc:%F:1000000:10", LBCError::kShortRead},
        BadLocation{"AFolder", "loc:%B:0:10", LBCError::kInvalidLocation},
        BadLocation{"MissingFile", "loc:%Fx:0:10", LBCError::kInvalidLocation}),
    [](const ::testing::TestParamInfo<BadLocation>& info) { return info.param.name; });

// ---- quotes in every text field

TEST_F(BadInputTest, QuotesInEveryTextFieldRoundTrip) {
    const std::string first = Payload(2500, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    ReleaseContainer(kAfile);
    const std::string dbFile = LocalDBFile(kAfile);
    const std::string quoted = "q'uo''te'); DROP TABLE Extents; --";
    const std::string validity = "v'al'id";
    std::string why;
    ASSERT_TRUE(ExecSql(dbFile,
                        "UPDATE VMs SET GUID = " + Literal("g'uid") + ", ValidityGUID = " + Literal(validity) +
                            "; UPDATE Extents SET ValidityGUID = " + Literal(validity) + ", Signature = " +
                            Literal(quoted) + ", VMGUID = " + Literal(quoted) + ", DiskID = " + Literal(quoted) +
                            ", Reserved1 = " + Literal(quoted),
                        &why))
        << why;
    InsertRow(4096, std::string(), validity, quoted);

    // Served under the quoted validity GUID; rewritten through every field.
    ExpectReads(kAfile, 0, first);
    const std::string second = Payload(2600, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 4096, second).IsError());
    const std::string third = Payload(2500, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, third).IsError());
    ExpectReads(kAfile, 0, third);
    ExpectReads(kAfile, 4096, second);

    boost::shared_ptr<CLiveBrowseCache::ExtentIterator> iterator;
    ASSERT_FALSE(lbc->GetExtentIterator(kJob, kAfile, kTessarel, kCopy, 10, iterator).IsError());
    long long afileId = 0, offset = 0;
    unsigned int copyId = 0, tessarelId = 0;
    std::string guid;
    int seen = 0;
    while (!iterator->GetNextExtentInfo(afileId, offset, copyId, tessarelId, guid).IsError() && seen < 10) {
        EXPECT_EQ(validity, guid);
        ++seen;
    }
    EXPECT_EQ(2, seen);
    iterator.reset();
    ReleaseContainer(kAfile);

    EXPECT_EQ(std::vector<std::string>{"g'uid"}, QueryColumn(dbFile, "SELECT GUID FROM VMs"));
    EXPECT_EQ((std::vector<std::string>{quoted, quoted}),
              QueryColumn(dbFile, "SELECT DiskID FROM Extents ORDER BY AfileOffset"));
    EXPECT_EQ((std::vector<std::string>{quoted, quoted}),
              QueryColumn(dbFile, "SELECT Signature FROM Extents ORDER BY AfileOffset"));
    EXPECT_EQ((std::vector<std::string>{"3"}),
              QueryColumn(dbFile, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"));
}

// ---- extreme ids

struct Ids {
    const char* name;
    long long afile;
    long long offset;
    unsigned int tessarel;
    unsigned int copy;
    long long job;
};
std::ostream& operator<<(std::ostream& out, const Ids& c) { return out << c.name; }

class ExtremeIdsTest : public BadInputTest, public ::testing::WithParamInterface<Ids> {};

TEST_P(ExtremeIdsTest, WriteAndReadRoundTripOrFailClearly) {
    const Ids& c = GetParam();
    // An ordinary afile beside it, listed by a filter of zeros (any).
    const std::string ordinary = Payload(700, 4);
    ASSERT_FALSE(WriteExtent(kAfile, 0, ordinary).IsError());
    ReleaseContainer(kAfile);
    const bool any = c.afile == 0 && c.tessarel == 0 && c.copy == 0;
    const std::string bytes = Payload(1500, 5);
    CZoError err = WriteIds(c.afile, c.offset, c.tessarel, c.copy, c.job, bytes);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    std::string got = ReadIds(c.afile, c.offset, c.tessarel, c.copy, c.job, err);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(got == bytes);
    bool cached = false, recorded = false;
    EXPECT_FALSE(lbc->IsExtentInCache(c.afile, c.offset, c.tessarel, c.copy, cached, recorded).IsError());
    EXPECT_TRUE(cached);
    // A neighbour key is another extent.
    got = ReadIds(c.afile, c.offset ^ 1, c.tessarel, c.copy, c.job, err);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kNotFound)) << err.AsString();

    // Listed from the database files of the cache location, so after a write-back.
    CacheDBPtr db = GetDB(c.afile, c.copy);
    ASSERT_TRUE(db);
    VM vm(c.tessarel, c.copy, c.afile, std::string(), 0, 0, std::string());
    ASSERT_FALSE(db->ReleaseResources(std::list<VM>(1, vm)).IsError());
    db.reset();
    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    ASSERT_FALSE(lbc->GetCachedJobIterator(c.job, c.afile, c.tessarel, c.copy, 5, jobs).IsError());
    long long afileId = 0, jobId = 0;
    unsigned int copyId = 0, tessarelId = 0;
    std::string guid;
    time_t last = 0;
    int listed = 0;
    for (; listed < 10; ++listed) {
        err = jobs->GetNextVMInfo(afileId, jobId, copyId, tessarelId, guid, last);
        if (err.IsError()) break;
        // Ids that are all 0 name no afile copy a listing could show.
        EXPECT_EQ(any ? kAfile : c.afile, afileId);
        EXPECT_EQ(any ? kCopy : c.copy, copyId);
        EXPECT_EQ(any ? kTessarel : c.tessarel, tessarelId);
    }
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) << err.AsString();
    EXPECT_EQ(1, listed);
    jobs.reset();
    err = lbc->AgeCachedJob(c.job, c.afile, c.tessarel, c.copy, 1);
    EXPECT_FALSE(err.IsError()) << err.AsString();

    StopService();
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
    got = ReadIds(c.afile, c.offset, c.tessarel, c.copy, c.job, err);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(got == bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, ExtremeIdsTest,
    ::testing::Values(Ids{"Zeros", 0, 0, 0, 0, 0}, Ids{"MinusOne", -1, -1, 1, 1, -1},
                      Ids{"Smallest", LLONG_MIN, LLONG_MIN, 0, 0, LLONG_MIN},
                      Ids{"Largest", LLONG_MAX, LLONG_MAX, UINT_MAX, UINT_MAX, LLONG_MAX},
                      Ids{"High32BitsSet", 0x100000005LL, 0x7fffffff00000000LL, 0x80000000u, 0x80000001u,
                          0x100000000LL}),
    [](const ::testing::TestParamInfo<Ids>& info) { return info.param.name; });

// ---- null buffers, zero lengths, batch size 0

TEST_F(BadInputTest, NullBuffersAndZeroLengthsAreRefusedAndChangeNothing) {
    const std::string bytes = Payload(4000, 1);
    CLiveBrowseCache::WriterPtr writer;
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 0, kTessarel, kCopy, kJob, writer).IsError());
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(nullptr, 100), LBCError::kNoBytes));
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(bytes.data(), 0), LBCError::kNoBytes));
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(nullptr, 0), LBCError::kNoBytes));
    ASSERT_FALSE(writer->Write(bytes.data(), bytes.size()).IsError());
    ASSERT_FALSE(writer->Close().IsError());
    // A closed Writer takes nothing more.
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Write(bytes.data(), bytes.size()), LBCError::kWriterNotOpen));
    EXPECT_TRUE(FXErrorUtil::IsInt(writer->Close(), LBCError::kWriterNotOpen));
    writer.reset();
    ExpectReads(kAfile, 0, bytes);

    CLiveBrowseCache::ReaderPtr reader;
    ASSERT_FALSE(lbc->GetReaderObject(kAfile, 0, kTessarel, kCopy, kJob, reader).IsError());
    unsigned long size = 10;
    EXPECT_TRUE(FXErrorUtil::IsInt(reader->Read(nullptr, size), LBCError::kNoBytes));
    EXPECT_EQ(0u, size);
    char one = 0;
    size = 0;
    EXPECT_FALSE(reader->Read(&one, size).IsError());
    EXPECT_EQ(0u, size);
    CAutoMemory<char> buffer;
    size = 0;
    EXPECT_FALSE(reader->Read(buffer, size).IsError());
    EXPECT_EQ(0u, size);
    // The stream is where it was: the whole extent still comes, in chunks.
    std::string streamed;
    for (int guard = 0; guard < 100; ++guard) {
        char chunk[1000];
        size = sizeof(chunk);
        ASSERT_FALSE(reader->Read(chunk, size).IsError());
        if (size == 0) break;
        streamed.append(chunk, size);
    }
    EXPECT_TRUE(streamed == bytes);
    reader.reset();

    // A Writer closed without a byte records an empty extent, served empty.
    ASSERT_FALSE(lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, writer).IsError());
    ASSERT_FALSE(writer->Close().IsError());
    writer.reset();
    CZoError err;
    EXPECT_EQ(std::string(), ReadExtent(kAfile, 4096, err));
    EXPECT_FALSE(err.IsError()) << err.AsString();
    ExpectReads(kAfile, 0, bytes);
}

TEST_F(BadInputTest, BatchSizeZeroListsEverythingOnceAndEnds) {
    std::vector<std::string> bytes;
    for (int i = 0; i < 7; ++i) {
        bytes.push_back(Payload(500 + i, i));
        ASSERT_FALSE(WriteExtent(kAfile, i * 1000, bytes.back()).IsError());
    }
    ASSERT_FALSE(WriteExtent(kAfile + 1, 0, bytes[0]).IsError());
    ReleaseContainer(kAfile);
    ReleaseContainer(kAfile + 1);

    boost::shared_ptr<CLiveBrowseCache::ExtentIterator> extents;
    ASSERT_FALSE(lbc->GetExtentIterator(kJob, kAfile, kTessarel, kCopy, 0, extents).IsError());
    long long total = -1;
    EXPECT_FALSE(extents->GetTotalCount(total).IsError());
    EXPECT_EQ(7, total);
    long long afileId = 0, offset = 0;
    unsigned int copyId = 0, tessarelId = 0;
    std::string guid;
    // Either every row once, or the end at once; never a row twice, never
    // a listing without end.
    std::set<long long> offsets;
    CZoError err;
    int calls = 0;
    for (; calls < 50; ++calls) {
        err = extents->GetNextExtentInfo(afileId, offset, copyId, tessarelId, guid);
        if (err.IsError()) break;
        offsets.insert(offset);
    }
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) << err.AsString();
    EXPECT_TRUE(offsets.empty() || offsets.size() == 7u) << offsets.size();
    EXPECT_EQ(static_cast<int>(offsets.size()), calls);
    EXPECT_TRUE(FXErrorUtil::IsInt(extents->GetNextExtentInfo(afileId, offset, copyId, tessarelId, guid),
                                   LBCError::kEndOfListing));

    boost::shared_ptr<CLiveBrowseCache::JobIterator> jobs;
    ASSERT_FALSE(lbc->GetCachedJobIterator(kJob, 0, 0, 0, 0, jobs).IsError());
    long long jobId = 0;
    time_t last = 0;
    std::set<long long> afiles;
    for (calls = 0; calls < 50; ++calls) {
        err = jobs->GetNextVMInfo(afileId, jobId, copyId, tessarelId, guid, last);
        if (err.IsError()) break;
        afiles.insert(afileId);
    }
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kEndOfListing)) << err.AsString();
    EXPECT_TRUE(afiles.empty() || afiles == (std::set<long long>{kAfile, kAfile + 1}));
    EXPECT_EQ(static_cast<int>(afiles.size()), calls);
    EXPECT_TRUE(FXErrorUtil::IsInt(jobs->GetNextVMInfo(afileId, jobId, copyId, tessarelId, guid, last),
                                   LBCError::kEndOfListing));
}

// ---- cache folders that are files, folders that cannot be made

TEST_F(BadInputTest, CacheFolderThatIsAFileFailsStartUp) {
    StopService();
    ASSERT_EQ(0, ::system(("rm -rf '" + LocalCacheFolder() + "'").c_str()));
    WriteWholeFile(LocalCacheFolder(), "not a folder");
    ClearLines();
    EXPECT_EQ(nullptr, CLiveBrowseCache::GetInstance());
    EXPECT_EQ(1u, CountContaining("Failed to initialize Live browse cache object"));
    EXPECT_EQ("not a folder", ReadWholeFile(LocalCacheFolder()));
    ASSERT_EQ(0, ::unlink(LocalCacheFolder().c_str()));
    ASSERT_EQ(0, ::mkdir(LocalCacheFolder().c_str(), 0755));
}

TEST_F(BadInputTest, JobResultsFolderBelowAFileFailsStartUp) {
    StopService();
    const std::string blocker = Fixtures() + "/blocker";
    WriteWholeFile(blocker, "a file");
    XKPlatformInfo::TEST_SetJobResultsDirectory(blocker + "/jr");
    ClearLines();
    EXPECT_EQ(nullptr, CLiveBrowseCache::GetInstance());
    EXPECT_EQ(1u, CountContaining("Failed to initialize Live browse cache object"));
    EXPECT_EQ("a file", ReadWholeFile(blocker));
    XKPlatformInfo::TEST_SetJobResultsDirectory(JobResultsFolder());
}

TEST_F(BadInputTest, ConfiguredBaseFolderBelowAFileIsNotUsed) {
    StopService();
    const std::string blocker = Fixtures() + "/blocker";
    WriteWholeFile(blocker, "a file");
    XKPlatformInfo::TEST_Set("VirtualServer", "sLiveBrowseCacheLocation", blocker + "/base");
    lbc = StartService();
    ASSERT_NE(nullptr, lbc);
    const std::string bytes = Payload(900, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, bytes).IsError());
    ExpectReads(kAfile, 0, bytes);
    EXPECT_EQ(0u, LocalFlatFile(kAfile).find(DataFolder()));
    EXPECT_EQ("a file", ReadWholeFile(blocker));
}

// A path the library must make a folder is taken by a file (or lies below
// one): the request fails with a clear code and the file keeps its bytes.
struct Blocker {
    const char* name;
    int code;  // 0: any error
    // The path to occupy with a file, from the test.
    std::string (*where)(BadInputTest& test);
};
std::ostream& operator<<(std::ostream& out, const Blocker& c) { return out << c.name; }

class BlockedFolderTest : public BadInputTest, public ::testing::WithParamInterface<Blocker> {
public:
    std::string Local() const { return LocalCacheFolder(); }
    std::string Staging() const { return StagingFolder(); }
    std::string Flat() const { return LocalFlatFile(kAfile); }
    std::string DBFile() const { return LocalDBFile(kAfile); }
};

TEST_P(BlockedFolderTest, RequestFailsClearlyAndTheFileStays) {
    const Blocker& c = GetParam();
    const std::string path = c.where(*this);
    ASSERT_EQ(0, ::system(("rm -rf '" + path + "' && mkdir -p '" + Parent(path) + "'").c_str()));
    WriteWholeFile(path, "blocker");
    ASSERT_EQ("blocker", ReadWholeFile(path));

    const std::string bytes = Payload(2000, 1);
    CZoError err = WriteExtent(kAfile, 0, bytes);
    EXPECT_TRUE(err.IsError());
    if (c.code != 0) {
        EXPECT_TRUE(FXErrorUtil::IsInt(err, c.code)) << err.AsString();
    }
    err = ExpectNoRead(kAfile, 0);
    EXPECT_EQ("blocker", ReadWholeFile(path));

    // Once the path is free again, the cache works.
    ASSERT_EQ(0, ::unlink(path.c_str()));
    err = WriteExtent(kAfile, 0, bytes);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    ExpectReads(kAfile, 0, bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Blockers, BlockedFolderTest,
    ::testing::Values(
        Blocker{"DataFolder", 0, [](BadInputTest& t) { return static_cast<BlockedFolderTest&>(t).Local() + "/DATA"; }},
        Blocker{"DBFolder", 0, [](BadInputTest& t) { return static_cast<BlockedFolderTest&>(t).Local() + "/DB"; }},
        Blocker{"StagingFolder", 0,
                [](BadInputTest& t) { return Parent(static_cast<BlockedFolderTest&>(t).Staging()); }},
        // The lock file cannot be made there: kLockedByAnotherHost, as for any lock file not made.
        Blocker{"AfileDBFolder", LBCError::kLockedByAnotherHost,
                [](BadInputTest& t) { return Parent(static_cast<BlockedFolderTest&>(t).DBFile()); }},
        Blocker{"AfileDataFolder", LBCError::kFlatFileFolderFailed,
                [](BadInputTest& t) { return Parent(static_cast<BlockedFolderTest&>(t).Flat()); }},
        Blocker{"DataBucket", LBCError::kFlatFileFolderFailed,
                [](BadInputTest& t) { return Parent(Parent(static_cast<BlockedFolderTest&>(t).Flat())); }}),
    [](const ::testing::TestParamInfo<Blocker>& info) { return info.param.name; });

TEST_F(BadInputTest, FlatFilePathThatIsAFolderFailsTheClose) {
    const std::string flat = LocalFlatFile(kAfile);
    ASSERT_EQ(0, ::system(("mkdir -p '" + flat + "'").c_str()));
    CZoError err = WriteExtent(kAfile, 0, Payload(2000, 1));
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kFlatFileOpenFailed)) << err.AsString();
    bool cached = true, recorded = true;
    Presence(kAfile, 0, cached, recorded);
    EXPECT_FALSE(recorded);
    ExpectNoRead(kAfile, 0);
    EXPECT_TRUE(IsFolder(flat));
}

TEST_F(BadInputTest, MountPathBelowAFileFailsTheAfileAndSparesTheOthers) {
    const std::string blocker = Fixtures() + "/blocker";
    WriteWholeFile(blocker, "a file");
    MediaManager::MountPathInfo mountPath;
    mountPath.setMMPathId(9);
    mountPath.setPath(blocker + "/mount");
    XKMMmountPath::TEST_Answer answer;
    answer.mountPaths.push_back(mountPath);
    XKMMmountPath::TEST_SetAnswer(kAfile, kCopy, answer);

    const std::string bytes = Payload(1000, 1);
    CZoError err = WriteExtent(kAfile, 0, bytes);
    EXPECT_TRUE(err.IsError());
    ExpectNoRead(kAfile, 0);
    EXPECT_EQ("a file", ReadWholeFile(blocker));
    // Another afile, in the local cache folder, is unaffected.
    ASSERT_FALSE(WriteExtent(kAfile + 1, 0, bytes).IsError());
    ExpectReads(kAfile + 1, 0, bytes);
}

TEST_F(BadInputTest, DataServerFolderThatIsAFileFailsTheAfile) {
    UseRemote(kAfile);
    ASSERT_EQ(0, ::rmdir((Served() + "/vol").c_str()));
    WriteWholeFile(Served() + "/vol", "a file");
    CZoError err = WriteExtent(kAfile, 0, Payload(1000, 1));
    EXPECT_TRUE(err.IsError());
    ExpectNoRead(kAfile, 0);
    EXPECT_EQ("a file", ReadWholeFile(Served() + "/vol"));
}

}  // namespace
}  // namespace faults
