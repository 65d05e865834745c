// A host that forks: whatever the child does with what it inherited of the
// cache (execs a program, exits after a failed exec, exits long after the
// parent moved on, calls the library), the parent's afile copy stays the
// parent's: its lock file stays locked, its writes go on, and every extent it
// was told is stored is in the copy's database with its own bytes.

#include "service/MainRoadSupport.h"

#include "LiveBrowseCacheCodes.h"
#include "platform/FXErrorUtil.h"
#include "service/InheritedService.h"
#include "support/ChildProcess.h"
#include "support/Waits.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The leak check at the exit of a child forked from a busy host reads the
// parent's heap without the stacks and thread-exit lists of the parent's other
// threads, which do not exist in the child: what only they referenced looks
// leaked. A child that inherited a service is not checked; every other
// process (a host's own, a child forked with no service alive) still is.
extern "C" int __lsan_is_turned_off() { return ServiceInheritedByFork() ? 1 : 0; }
#endif

namespace {

enum class ChildEnd {
    Execs,                     // runs another program
    ExecFailsThenExits,        // exit() after a failed exec: the library's unload runs
    ExitsAfterParentRestaged,  // exit() once the parent released its copy and staged it again
    CallsLibraryThenExits,     // uses what it inherited, then exit()
};

// How long a child may take to end once told. A second; the sanitizers add
// their own work at every exit (ThreadSanitizer sleeps a second there:
// atexit_sleep_ms).
#if defined(__SANITIZE_THREAD__)
constexpr std::chrono::milliseconds kExitAllowance(3000);
#elif defined(__SANITIZE_ADDRESS__)
constexpr std::chrono::milliseconds kExitAllowance(2000);
#else
constexpr std::chrono::milliseconds kExitAllowance(1000);
#endif

const char* Name(ChildEnd end) {
    switch (end) {
        case ChildEnd::Execs: return "Execs";
        case ChildEnd::ExecFailsThenExits: return "ExecFailsThenExits";
        case ChildEnd::ExitsAfterParentRestaged: return "ExitsAfterParentRestaged";
        case ChildEnd::CallsLibraryThenExits: return "CallsLibraryThenExits";
    }
    return "?";
}

class ForkTest : public MainRoadTest {
protected:
    // The idle pass releases every container of the location (written back
    // and unlocked).
    static void ReleaseIdleContainers() {
        SystemClock::TEST_AdvanceSeconds(31);
        ASSERT_FALSE(DB()->ReleaseIdleResources().IsError());
        ASSERT_EQ(0u, DB()->TEST_ContainerCount());
    }

    // The service released (every copy written back and unlocked) and started
    // again: each extent reads back the bytes the parent was told are stored.
    void ExpectStoredAfterRestart(const std::map<long long, std::string>& stored) {
        StopService();
        lbc = StartService();
        ASSERT_NE(nullptr, lbc);
        for (const auto& extent : stored) {
            CZoError err;
            EXPECT_EQ(extent.second, ReadExtent(kAfile, extent.first, err))
                << "extent at " << extent.first << ": " << err.AsString();
        }
    }

    static bool IsForkedProcessError(const CZoError& err) { return FXErrorUtil::IsInt(err, LBCError::kForkedProcess); }
};

class ForkedChildEndTest : public ForkTest, public ::testing::WithParamInterface<ChildEnd> {};

// The child's descriptors, as the program it execs sees them, listed into
// `listing`.
[[noreturn]] void ExecListingDescriptors(const std::string& listing) {
    int out = ::open(listing.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || ::dup2(out, 1) < 0) ::_exit(10);
    ::execl("/bin/ls", "ls", "-l", "/proc/self/fd/", static_cast<char*>(nullptr));
    ::_exit(11);
}

}  // namespace

TEST_P(ForkedChildEndTest, TheParentKeepsItsAfileCopy) {
    const ChildEnd end = GetParam();
    std::map<long long, std::string> stored;
    stored[0] = Payload(700, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, stored[0]).IsError());

    // The child that calls the library is also handed a Writer open and a
    // Reader opened across the fork. (An open Writer holds its copy's
    // container: the others inherit none, so that nothing holds it there.)
    const std::string pending = Payload(500, 3);
    CLiveBrowseCache::WriterPtr writer;
    CLiveBrowseCache::ReaderPtr reader;
    if (end == ChildEnd::CallsLibraryThenExits) {
        ASSERT_FALSE(lbc->GetWriterObject(kAfile, 4096, kTessarel, kCopy, kJob, 0, writer).IsError());
        ASSERT_FALSE(writer->Write(pending.data(), static_cast<unsigned long>(pending.size())).IsError());
        ASSERT_FALSE(lbc->GetReaderObject(kAfile, 0, kTessarel, kCopy, kJob, 0, reader).IsError());
    }

    const std::string lockFile = LockFilePath();
    ASSERT_FALSE(OtherProcessCanLock(lockFile));
    const std::string listing = temp.sub("descriptors");
    CLiveBrowseCache* const kept = lbc;

    ForkedChild child([&](ForkedChild& self) -> int {
        switch (end) {
            case ChildEnd::Execs:
                ExecListingDescriptors(listing);
            case ChildEnd::ExecFailsThenExits:
                ::execl("/nonexistent/lbc-helper", "lbc-helper", static_cast<char*>(nullptr));
                std::exit(0);
            case ChildEnd::ExitsAfterParentRestaged: {
                char go = 0;
                self.Receive(go);
                std::exit(0);
            }
            case ChildEnd::CallsLibraryThenExits: {
                // One letter per answer that is not the refusal.
                std::string wrong;
                if (CLiveBrowseCache::GetInstance() != nullptr) wrong += 'i';
                CLiveBrowseCache::WriterPtr another;
                if (!IsForkedProcessError(kept->GetWriterObject(kAfile, 12288, kTessarel, kCopy, kJob, 0, another)))
                    wrong += 'w';
                CLiveBrowseCache::ReaderPtr again;
                if (!IsForkedProcessError(kept->GetReaderObject(kAfile, 0, kTessarel, kCopy, kJob, 0, again)))
                    wrong += 'r';
                bool cached = false, recorded = false;
                if (!IsForkedProcessError(kept->IsExtentInCache(kAfile, 0, kTessarel, kCopy, cached, recorded)))
                    wrong += 'q';
                const char more[] = "child's bytes";
                if (!IsForkedProcessError(writer->Write(more, sizeof more))) wrong += 'W';
                if (!IsForkedProcessError(writer->Close())) wrong += 'C';
                CAutoMemory<char> buffer;
                if (!IsForkedProcessError(reader->Read(buffer))) wrong += 'R';
                writer.reset();
                reader.reset();
                CLiveBrowseCache::DestroyInstance();
                for (char c : wrong.empty() ? std::string("y") : wrong) self.Send(c);
                std::exit(0);
            }
        }
        return 9;
    });
    ASSERT_TRUE(child.Started());

    if (end == ChildEnd::CallsLibraryThenExits) {
        std::string answers;
        for (char c = 0; child.Receive(c);) answers += c;
        EXPECT_EQ("y", answers) << "letters name the calls the child was served on";
    }
    if (end == ChildEnd::ExitsAfterParentRestaged) {
        ReleaseIdleContainers();
        stored[16384] = Payload(300, 4);
        ASSERT_FALSE(WriteExtent(kAfile, 16384, stored[16384]).IsError());
        ASSERT_FALSE(OtherProcessCanLock(lockFile));
        ASSERT_TRUE(child.Send('g'));
    }
    ASSERT_TRUE(child.WaitWithin(std::chrono::seconds(10))) << "the child did not end";
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));

    // The lock stays held while the parent's container lives.
    EXPECT_FALSE(OtherProcessCanLock(lockFile)) << "the parent's lock file was unlocked";
    if (writer) {
        CAutoMemory<char> buffer;
        CZoError err = reader->Read(buffer);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(stored[0], std::string(buffer.Ptr(), buffer.Size()));
        err = writer->Close();
        ASSERT_FALSE(err.IsError()) << err.AsString();
        stored[4096] = pending;
        writer.reset();
        reader.reset();
    }
    // The parent goes on writing and reading.
    stored[8192] = Payload(900, 2);
    CZoError err = WriteExtent(kAfile, 8192, stored[8192]);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    for (const auto& extent : stored) {
        EXPECT_EQ(extent.second, ReadExtent(kAfile, extent.first, err)) << err.AsString();
    }
    EXPECT_FALSE(OtherProcessCanLock(lockFile));

    ExpectStoredAfterRestart(stored);

    // The program a child execs gets no descriptor of the cache (lock file,
    // flat file, databases, staged copies, debug log): of the test's folder
    // it has only the listing it writes.
    if (end == ChildEnd::Execs) {
        std::istringstream fds(ReadWholeFile(listing));
        int lines = 0;
        for (std::string line; std::getline(fds, line); ++lines) {
            if (line.find(temp.path()) != std::string::npos) {
                EXPECT_NE(std::string::npos, line.find(listing)) << line;
            }
        }
        EXPECT_GT(lines, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(EachEnd, ForkedChildEndTest,
                         ::testing::Values(ChildEnd::Execs, ChildEnd::ExecFailsThenExits,
                                           ChildEnd::ExitsAfterParentRestaged, ChildEnd::CallsLibraryThenExits),
                         [](const ::testing::TestParamInfo<ChildEnd>& info) { return Name(info.param); });

// Threads write and read the afile copy while the host forks 20 children,
// which then exit at once: each ends within a second (kExitAllowance), and
// nothing the writers were told is stored is lost.
TEST_F(ForkTest, TwentyChildrenOfABusyHostEndAtOnceAndNothingIsLost) {
    const std::string first = Payload(512, 1);
    ASSERT_FALSE(WriteExtent(kAfile, 0, first).IsError());
    const std::string lockFile = LockFilePath();

    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::mutex storedLock;
    std::map<long long, std::string> stored;  // guarded by storedLock
    std::vector<std::string> failures;        // guarded by storedLock
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (long long i = 1; !stop.load(); ++i) {
                const long long offset = (t + 1) * 100000000LL + i * 4096;
                const std::string bytes = Payload(512, static_cast<unsigned>(offset));
                CZoError err = WriteExtent(kAfile, offset, bytes);
                std::lock_guard<std::mutex> guard(storedLock);
                if (err.IsError()) {
                    failures.push_back("write: " + err.AsString());
                    return;
                }
                stored[offset] = bytes;
                ++written;
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                CZoError err;
                if (ReadExtent(kAfile, 0, err) != first) {
                    std::lock_guard<std::mutex> guard(storedLock);
                    failures.push_back("read: " + err.AsString());
                    return;
                }
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return written.load() >= 20; }));

    std::vector<std::unique_ptr<ForkedChild>> children;
    for (int i = 0; i < 20; ++i) {
        children.emplace_back(new ForkedChild([](ForkedChild& self) -> int {
            char go = 0;
            self.Receive(go);
            std::exit(0);
        }));
        ASSERT_TRUE(children.back()->Started());
    }
    const int before = written.load();
    for (auto& child : children) ASSERT_TRUE(child->Send('g'));
    const auto deadline = std::chrono::steady_clock::now() + kExitAllowance;
    int late = 0;
    for (auto& child : children) {
        using std::chrono::milliseconds;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!child->WaitWithin(std::max(left, milliseconds(1)))) ++late;
    }
    EXPECT_EQ(0, late) << "children that had not ended " << kExitAllowance.count() << " ms after they were told to";
    for (auto& child : children) {
        const int status = child->Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (WIFSIGNALED(status) ? "signal " : "status ")
            << (WIFSIGNALED(status) ? WTERMSIG(status) : status);
    }

    // The host goes on after its children ended.
    EXPECT_TRUE(WaitFor([&] { return written.load() >= before + 20; }));
    stop.store(true);
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_FALSE(OtherProcessCanLock(lockFile)) << "the host's lock file was unlocked";

    stored[0] = first;
    ExpectStoredAfterRestart(stored);
}
