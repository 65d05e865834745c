// The flat file kept open by its afile copy's container between requests:
// whatever happens to the file at its path between two requests (deleted,
// renamed, replaced, pruned, taken by another host), no byte is written
// through a descriptor of a file no longer at the path, and every extent
// reads back the bytes written for it; a Reader held across it serves its
// extent's bytes or an error, never bytes written after it was opened.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "pruning/CachePruner.h"
#include "service/LiveBrowseCacheImpl.h"
#include "store/FlatFileHandle.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

namespace {

class KeptFlatFileTest : public MainRoadTest {
protected:
    static long long LengthOf(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void ReleaseIdleContainers() {
        SystemClock::TEST_AdvanceSeconds(31);
        ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, DB()->TEST_ContainerCount());
    }
    // A Reader of an extent, opened and not yet read: its item holds the
    // flat file it opened.
    CLiveBrowseCache::ReaderPtr OpenReader(long long offset) {
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(kAfile, offset, kTessarel, kCopy, kJob, 0, reader);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return reader;
    }
    // The VM job of the afile copy pruned by the library's own pruner, once
    // its containers were released; its flat file is gone afterwards.
    static void Prune(const VM& vm) {
        ReleaseIdleContainers();
        std::vector<CachePrunerPtr> pruners = Impl()->TEST_Pruners();
        ASSERT_EQ(1u, pruners.size());
        long long bytes = 0;
        ASSERT_FALSE(pruners[0]->SubmitVMJobForPruning(vm, bytes).IsError());
        pruners[0]->WaitForAllPruningTasks();
        ASSERT_EQ(-1, LengthOf(FlatFilePath(vm.AfileID)));
    }
    static std::string Pruned(const std::string& path) {
        const size_t slash = path.rfind('/') + 1;
        return path.substr(0, slash) + "pruned." + path.substr(slash);
    }
};

}  // namespace

TEST_F(KeptFlatFileTest, AFileDeletedRenamedOrReplacedBetweenRequestsNeverTakesBytesThroughTheOldDescriptor) {
    struct Case {
        const char* name;
        // Done to the flat file from outside; `aside` is a second name of
        // the original file, kept to look at it afterwards.
        std::function<void(const std::string& path)> change;
        bool oldRowsServed;
    };
    const std::vector<Case> cases = {
        {"deleted", [](const std::string& path) { ASSERT_EQ(0, ::unlink(path.c_str())); }, false},
        {"renamed away",
         [](const std::string& path) { ASSERT_EQ(0, ::rename(path.c_str(), (path + ".moved").c_str())); }, false},
        {"renamed as the pruner does",
         [](const std::string& path) {
             ASSERT_EQ(0, ::rename(path.c_str(), Pruned(path).c_str()));
         },
         false},
        {"replaced by a copy of itself",
         [](const std::string& path) {
             const std::string bytes = Contents(path);
             const std::string copy = path + ".copy";
             std::ofstream(copy, std::ios::binary) << bytes;
             ASSERT_EQ(0, ::rename(copy.c_str(), path.c_str()));
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string a = Payload(100, 1), b = Payload(200, 2);
        ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
        CZoError err;
        ASSERT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
        const std::string path = FlatFilePath();
        const std::string aside = path + ".aside";
        ASSERT_EQ(0, ::link(path.c_str(), aside.c_str()));
        const long long before = LengthOf(aside);

        c.change(path);
        ASSERT_FALSE(WriteExtent(kAfile, 4096, b).IsError());

        EXPECT_EQ(before, LengthOf(aside)) << "bytes went to the file no longer at the path";
        EXPECT_EQ(b, ReadExtent(kAfile, 4096, err)) << err.AsString();
        EXPECT_NE(std::string::npos, Contents(path).find(b));
        const std::string old = ReadExtent(kAfile, 0, err);
        if (c.oldRowsServed) {
            EXPECT_EQ(a, old) << err.AsString();
        } else {
            EXPECT_TRUE(err.IsError());
        }

        // The next case starts without a flat file.
        ReleaseIdleContainers();
        for (const std::string& leftover : {path, aside, path + ".moved", Pruned(path)}) ::unlink(leftover.c_str());
    }
}

TEST_F(KeptFlatFileTest, TheDescriptorGoesWithTheContainerAndAReopenedOneServesOldAndNewExtents) {
    const std::string a = Payload(100, 1), b = Payload(300, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    CZoError err;
    ASSERT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
    EXPECT_TRUE(FlatFileHandle::Find(FlatFilePath()));

    ReleaseIdleContainers();
    EXPECT_FALSE(FlatFileHandle::Find(FlatFilePath())) << "the flat file stays open after its container went";

    ASSERT_FALSE(WriteExtent(kAfile, 4096, b).IsError());
    EXPECT_EQ(a, ReadExtent(kAfile, 0, err)) << err.AsString();
    EXPECT_EQ(b, ReadExtent(kAfile, 4096, err)) << err.AsString();
    EXPECT_EQ(static_cast<long long>(a.size() + b.size()), LengthOf(FlatFilePath()));
}

TEST_F(KeptFlatFileTest, AVMPrunedBetweenTwoRequestsGetsItsNextBytesInANewFile) {
    const std::string a = Payload(100, 1), b = Payload(200, 2);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    const VM vm = VMRow();
    // Holds what its item opened beyond the container's release and the pruning.
    CLiveBrowseCache::ReaderPtr reader = OpenReader(0);
    ASSERT_TRUE(reader);
    Prune(vm);
    ReleaseIdleContainers();

    ASSERT_FALSE(WriteExtent(kAfile, 4096, b).IsError());
    EXPECT_EQ(b, Contents(FlatFilePath()));
    CZoError err;
    EXPECT_EQ(b, ReadExtent(kAfile, 4096, err)) << err.AsString();
    EXPECT_EQ(static_cast<long long>(b.size()), LengthOf(FlatFilePath()));
}

TEST_F(KeptFlatFileTest, AnotherHostTakingTheAfileWhileAReaderHoldsTheFileGetsNoBytesFromHere) {
    const std::string a = Payload(100, 1), b = Payload(200, 2), theirs = Payload(50, 3);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    CLiveBrowseCache::ReaderPtr reader = OpenReader(0);
    ASSERT_TRUE(reader);
    ReleaseIdleContainers();

    const std::string path = FlatFilePath();
    const std::string aside = path + ".aside";
    ASSERT_EQ(0, ::link(path.c_str(), aside.c_str()));
    {
        ForkedLockHolder otherHost(LockFilePath());
        ASSERT_TRUE(otherHost.Locked());
        // While it holds the afile nothing is written from here, through a
        // descriptor kept or not.
        EXPECT_TRUE(FXErrorUtil::IsInt(WriteExtent(kAfile, 4096, b), LBCError::kLockedByAnotherHost));
        // It starts the flat file anew.
        ASSERT_EQ(0, ::unlink(path.c_str()));
        std::ofstream(path, std::ios::binary) << theirs;
    }
    EXPECT_EQ(static_cast<long long>(a.size()), LengthOf(aside));
    EXPECT_EQ(theirs, Contents(path));

    ASSERT_FALSE(WriteExtent(kAfile, 4096, b).IsError());
    EXPECT_EQ(static_cast<long long>(a.size()), LengthOf(aside));
    EXPECT_EQ(theirs + b, Contents(path));
    CZoError err;
    EXPECT_EQ(b, ReadExtent(kAfile, 4096, err)) << err.AsString();
    ::unlink(aside.c_str());
}

TEST_F(KeptFlatFileTest, AHeldReaderServesItsExtentOrAnErrorNeverBytesWrittenAfterItWasOpened) {
    struct Damage {
        const char* name;
        std::function<void(long long afile)> apply;
    };
    const std::vector<Damage> damages = {
        {"deleted", [](long long afile) { ASSERT_EQ(0, ::unlink(FlatFilePath(afile).c_str())); }},
        {"cut to zero",
         [](long long afile) { ASSERT_EQ(0, ::truncate(FlatFilePath(afile).c_str(), 0)); }},
        {"pruned", [](long long afile) { Prune(VMRow(afile)); }},
    };
    struct ReadKind {
        const char* name;
        // The held Reader's bytes of the whole extent; err says why there are none.
        std::function<std::string(CLiveBrowseCache::Reader& reader, size_t length, CZoError& err)> read;
    };
    const std::vector<ReadKind> kinds = {
        {"whole",
         [](CLiveBrowseCache::Reader& reader, size_t, CZoError& err) {
             CAutoMemory<char> buffer;
             err = reader.Read(buffer);
             return err.IsError() ? std::string() : std::string(buffer.Ptr(), buffer.Size());
         }},
        {"into caller memory",
         [](CLiveBrowseCache::Reader& reader, size_t length, CZoError& err) {
             std::string memory(length, '\0');
             unsigned long size = length;
             err = reader.Read(&memory[0], size);
             return err.IsError() ? std::string() : memory.substr(0, size);
         }},
        {"streamed",
         [](CLiveBrowseCache::Reader& reader, size_t length, CZoError& err) {
             CAutoMemory<char> buffer;
             unsigned long size = length;
             err = reader.Read(buffer, size);
             return err.IsError() ? std::string() : std::string(buffer.Ptr(), size);
         }},
    };
    long long afile = kAfile;
    for (const Damage& damage : damages) {
        for (const ReadKind& kind : kinds) {
            SCOPED_TRACE(std::string(damage.name) + ", read " + kind.name);
            ++afile;
            const std::string a = Payload(100, 1), c = Payload(100, 3);
            ASSERT_FALSE(WriteExtent(afile, 0, a, 0).IsError());
            CLiveBrowseCache::ReaderPtr reader;
            CZoError err = lbc->GetReaderObject(afile, 0, kTessarel, kCopy, kJob, 0, reader);
            ASSERT_FALSE(err.IsError()) << err.AsString();

            const std::string guidOfA = VMRow(afile).ValidityGUID;
            damage.apply(afile);
            // C gets a new validity GUID and lands where A was.
            ASSERT_FALSE(WriteExtent(afile, 4096, c, 0).IsError());
            Extent row(0, 0, 0, 0, 0);
            ASSERT_TRUE(Row(4096, row, afile));
            ASSERT_EQ(":0:100", row.CacheLocation.substr(row.CacheLocation.rfind(":0:")));
            ASSERT_NE(guidOfA, VMRow(afile).ValidityGUID);

            const std::string got = kind.read(*reader, a.size(), err);
            EXPECT_FALSE(got == c) << "the held Reader served the bytes written after it was opened";
            if (err.IsError()) {
                EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation)) << err.AsString();
            } else {
                EXPECT_TRUE(got == a) << "the held Reader served neither its extent nor an error";
            }
            reader.reset();
            ReleaseIdleContainers();
        }
    }
}

TEST_F(KeptFlatFileTest, AHeldReaderKeepsServingItsExtentWhileItsFileGrowsUnderTheSameGUID) {
    const std::string a = Payload(100, 1), b = Payload(200, 2), d = Payload(300, 4);
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    // Opened while no container has spoken for the file yet; the next
    // write's container learns the GUID, the one after that again.
    ReleaseIdleContainers();
    CLiveBrowseCache::ReaderPtr reader = OpenReader(0);
    ASSERT_TRUE(reader);
    ASSERT_FALSE(WriteExtent(kAfile, 4096, b).IsError());
    ReleaseIdleContainers();
    ASSERT_FALSE(WriteExtent(kAfile, 8192, d).IsError());

    CAutoMemory<char> whole;
    ASSERT_FALSE(reader->Read(whole).IsError());
    EXPECT_EQ(a, std::string(whole.Ptr(), whole.Size()));
    CAutoMemory<char> chunk;
    unsigned long size = 40;
    ASSERT_FALSE(reader->Read(chunk, size).IsError());
    EXPECT_EQ(a.substr(0, 40), std::string(chunk.Ptr(), size));
    // A whole read in between neither uses nor moves the streaming position.
    ASSERT_FALSE(reader->Read(whole).IsError());
    EXPECT_EQ(a, std::string(whole.Ptr(), whole.Size()));
    std::string rest(100, '\0');
    size = rest.size();
    ASSERT_FALSE(reader->Read(&rest[0], size).IsError());
    EXPECT_EQ(a.substr(40), rest.substr(0, size));
}
