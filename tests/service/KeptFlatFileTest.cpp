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
#include "platform/FXOpenFile.h"
#include "store/FlatFileHandle.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
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
    CLiveBrowseCache::ReaderPtr OpenReader(long long offset, long long afile = kAfile) {
        CLiveBrowseCache::ReaderPtr reader;
        CZoError err = lbc->GetReaderObject(afile, offset, kTessarel, kCopy, kJob, 0, reader);
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
    // The three ways a Reader hands out the bytes of its whole extent; err
    // says why there are none.
    struct ReadKind {
        const char* name;
        std::function<std::string(CLiveBrowseCache::Reader& reader, size_t length, CZoError& err)> read;
    };
    static const std::vector<ReadKind>& ReadKinds() {
        static const std::vector<ReadKind> kinds = {
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
        return kinds;
    }
    // body(damage, kind, afile) once for every damage and read kind, each on
    // an afile of its own; stops at the first fatal failure.
    template <typename Damage, typename Body>
    void ForEachDamageAndReadKind(const std::vector<Damage>& damages, Body body) {
        long long afile = kAfile;
        for (const Damage& damage : damages) {
            for (const ReadKind& kind : ReadKinds()) {
                SCOPED_TRACE(std::string(damage.name) + ", read " + kind.name);
                body(damage, kind, ++afile);
                if (HasFatalFailure()) return;
            }
        }
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
    long long afile = kAfile;
    for (const Damage& damage : damages) {
        for (const ReadKind& kind : ReadKinds()) {
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

// A's row is dropped (a rewrite released without Close) while a Reader of A
// is held, then the file loses A's region: the region was handed out, so the
// file is lost under its GUID even though no row records the region any more,
// and C, written into the same region, is never served as A.
TEST_F(KeptFlatFileTest, AHeldReaderWhoseRowWasDroppedGetsAnErrorNeverTheExtentWrittenInItsRegion) {
    struct Damage {
        const char* name;
        std::function<void(const std::string& path)> apply;
    };
    const std::vector<Damage> damages = {
        {"cut to zero", [](const std::string& path) { ASSERT_EQ(0, ::truncate(path.c_str(), 0)); }},
        {"deleted", [](const std::string& path) { ASSERT_EQ(0, ::unlink(path.c_str())); }},
    };
    ForEachDamageAndReadKind(damages, [this](const Damage& damage, const ReadKind& kind, long long afile) {
        const std::string a = Payload(100, 1), c = Payload(100, 3);
        ASSERT_FALSE(WriteExtent(afile, 0, a).IsError());
        CLiveBrowseCache::ReaderPtr reader = OpenReader(0, afile);
        ASSERT_TRUE(reader);
        CZoError err;
        {
            CLiveBrowseCache::WriterPtr rewrite;
            err = lbc->GetWriterObject(afile, 0, kTessarel, kCopy, kJob, 0, rewrite);
            ASSERT_FALSE(err.IsError()) << err.AsString();
            ASSERT_FALSE(rewrite->Write(a.data(), a.size()).IsError());
        }
        Extent row(0, 0, 0, 0, 0);
        ASSERT_FALSE(Row(0, row, afile)) << "the rewrite released without Close left A's row";
        ReleaseIdleContainers();

        damage.apply(FlatFilePath(afile));
        ASSERT_FALSE(WriteExtent(afile, 4096, c).IsError());
        ASSERT_TRUE(Row(4096, row, afile));
        ASSERT_EQ(":0:100", row.CacheLocation.substr(row.CacheLocation.rfind(":0:")));

        const std::string got = kind.read(*reader, a.size(), err);
        EXPECT_FALSE(got == c) << "the held Reader of A served C";
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation))
            << "the held Reader answered " << (err.IsError() ? err.AsString() : "with bytes");
        EXPECT_EQ(c, ReadExtent(afile, 4096, err)) << err.AsString();
        reader.reset();
        ReleaseIdleContainers();
    });
}

namespace {

// A second host, forked before this process starts its service so that it
// shares nothing of this one's memory. On request it starts a service of its
// own over the same cache folder, deletes the flat file of kAfile, writes
// kOtherHostExtent at kOtherHostOffset and destroys its service again (the
// database written back, the lock file released).
class KeptFlatFileOtherHostTest : public KeptFlatFileTest {
protected:
    static constexpr long long kOtherHostOffset = 4096;
    static std::string OtherHostExtent() { return Payload(100, 5); }

    void BeforeStart() override {
        otherHost.reset(new ForkedChild([this](ForkedChild& channel) { return ServeOtherHost(channel); }));
        ASSERT_TRUE(otherHost->Started());
    }
    // Whether the other host did its part.
    bool OtherHostStartsTheFlatFileAnew() {
        char answer = 0;
        return otherHost->Send('w') && otherHost->Receive(answer) && answer == 'd';
    }

private:
    int ServeOtherHost(ForkedChild& channel) {
        char request = 0;
        if (!channel.Receive(request)) return 0;
        lbc = CLiveBrowseCache::GetInstance();
        if (lbc == nullptr || lbc->InitializeInTestMode(JobResultsFolder()).IsError()) return 2;
        if (::unlink(FlatFilePath().c_str()) != 0) return 3;
        if (WriteExtent(kAfile, kOtherHostOffset, OtherHostExtent()).IsError()) return 4;
        CLiveBrowseCache::DestroyInstance();
        ReleasePublishedCacheImpl();
        return channel.Send('d') ? 0 : 5;
    }

    std::unique_ptr<ForkedChild> otherHost;
};

}  // namespace

// The old Reader's file was started anew by another process under another
// GUID: every fresh Reader of the new extent is served, while the old Reader
// answers for a region that is no longer valid.
TEST_F(KeptFlatFileOtherHostTest, AFreshReaderIsServedAfterAnotherHostStartedTheFileAnewWhileAnOldReaderIsHeld) {
    const std::string a = Payload(100, 1), e = OtherHostExtent();
    ASSERT_FALSE(WriteExtent(kAfile, 0, a).IsError());
    const std::string guidOfA = VMRow().ValidityGUID;
    CLiveBrowseCache::ReaderPtr old = OpenReader(0);
    ASSERT_TRUE(old);
    ReleaseIdleContainers();

    ASSERT_TRUE(OtherHostStartsTheFlatFileAnew());
    ASSERT_NE(guidOfA, VMRow().ValidityGUID) << "the other host did not renew the GUID";

    for (const ReadKind& kind : ReadKinds()) {
        SCOPED_TRACE(std::string("read ") + kind.name);
        CLiveBrowseCache::ReaderPtr fresh = OpenReader(kOtherHostOffset);
        ASSERT_TRUE(fresh);
        CZoError err;
        EXPECT_EQ(e, kind.read(*fresh, e.size(), err)) << err.AsString();
    }
    for (const ReadKind& kind : ReadKinds()) {
        SCOPED_TRACE(std::string("old Reader, read ") + kind.name);
        CZoError err;
        kind.read(*old, a.size(), err);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kInvalidLocation))
            << "the old Reader answered " << (err.IsError() ? err.AsString() : "with bytes");
    }
}

// The file is cut from outside after a Writer reserved its region and before
// its bytes: the Writer's bytes must not grow the file again over regions
// that now read as zeros, and older extents are served whole or not at all.
TEST_F(KeptFlatFileTest, AFileCutBetweenAWritersReservationAndItsBytesNeverServesOtherBytes) {
    struct Cut {
        const char* name;
        // The length the file is cut to, given where B and C's regions start.
        std::function<long long(long long bStart, long long cStart, long long length)> to;
    };
    const std::vector<Cut> cuts = {
        {"to zero", [](long long, long long, long long) { return 0LL; }},
        {"to half", [](long long, long long, long long length) { return length / 2; }},
        {"inside B", [](long long bStart, long long, long long) { return bStart + 50; }},
        {"inside C", [](long long, long long cStart, long long) { return cStart + 50; }},
    };
    ForEachDamageAndReadKind(cuts, [this](const Cut& cut, const ReadKind& kind, long long afile) {
        const std::string a = Payload(100, 1), b = Payload(200, 2), c = Payload(300, 3);
        ASSERT_FALSE(WriteExtent(afile, 0, a).IsError());
        ASSERT_FALSE(WriteExtent(afile, 4096, b).IsError());
        const std::string path = FlatFilePath(afile);
        const long long bStart = 100, cStart = 300;
        CLiveBrowseCache::WriterPtr writer;
        CZoError err = lbc->GetWriterObject(afile, 8192, kTessarel, kCopy, kJob, 0, writer);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        ASSERT_FALSE(writer->Write(c.data(), c.size()).IsError());
        FXOpenFile::TEST_SetAfterSetLength([&] {
            ::truncate(path.c_str(), cut.to(bStart, cStart, LengthOf(path)));
        });
        err = writer->Close();
        FXOpenFile::TEST_SetAfterSetLength(nullptr);
        EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kFlatFileLost))
            << "C's Close answered " << (err.IsError() ? err.AsString() : "success");
        writer.reset();
        Extent row(0, 0, 0, 0, 0);
        EXPECT_FALSE(Row(8192, row, afile) && !row.CacheLocation.empty()) << "a row of C points at its region";

        for (const std::pair<long long, std::string>& extent : {std::make_pair(0LL, a), std::make_pair(4096LL, b)}) {
            CLiveBrowseCache::ReaderPtr reader;
            err = lbc->GetReaderObject(afile, extent.first, kTessarel, kCopy, kJob, 0, reader);
            if (err.IsError()) continue;
            const std::string got = kind.read(*reader, extent.second.size(), err);
            EXPECT_TRUE(err.IsError() || got == extent.second)
                << "the extent at " << extent.first << " was served other bytes than were written for it";
        }
        ReleaseIdleContainers();
    });
}
