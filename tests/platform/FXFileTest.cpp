#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

CZoError OpenForWrite(auto_handle& h, const std::string& path) {
    return FXFile::XKCreateFile(h, path, GENERIC_WRITE, 3, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

CZoError OpenForRead(auto_handle& h, const std::string& path) {
    return FXFile::XKCreateFile(h, path, GENERIC_READ, 3, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadAll(const auto_handle& h) {
    std::string out;
    char buf[4096];
    for (;;) {
        unsigned long done = 0;
        CZoError err = FXFile::XKReadFile(h, buf, sizeof(buf), &done, nullptr);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        if (err.IsError() || done == 0) break;
        out.append(buf, done);
    }
    return out;
}

TEST(FXFile, DispositionsCreateKeepOrEmptyAsNamed) {
    struct Case {
        DWORD disposition;
        bool present;
        unsigned win32Error;  // 0: success expected
        bool exists;          // afterwards
        const char* content;  // afterwards, when it exists
    } cases[] = {
        {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, false, ""},
        {OPEN_EXISTING, true, 0, true, "old"},
        {OPEN_ALWAYS, false, 0, true, ""},
        {OPEN_ALWAYS, true, 0, true, "old"},
        {CREATE_ALWAYS, false, 0, true, ""},
        {CREATE_ALWAYS, true, 0, true, ""},
        {CREATE_NEW, false, 0, true, ""},
        {CREATE_NEW, true, ERROR_FILE_EXISTS, true, "old"},
        {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, false, ""},
        {TRUNCATE_EXISTING, true, 0, true, ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.sub("f");
        if (c.present) WriteWholeFile(path, "old");
        auto_handle h;
        CZoError err = FXFile::XKCreateFile(h, path, GENERIC_WRITE, 3, nullptr, c.disposition, 0x80, nullptr);
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " present " << c.present);
        if (c.win32Error == 0) {
            EXPECT_FALSE(err.IsError()) << err.AsString();
            EXPECT_TRUE(h.is_valid());
        } else {
            EXPECT_TRUE(FXErrorUtil::IsWin32(err, c.win32Error)) << err.AsString();
            EXPECT_FALSE(h.is_valid());
        }
        h.reset();
        EXPECT_EQ(std::filesystem::exists(path), c.exists);
        if (c.exists) {
            EXPECT_EQ(ReadWholeFile(path), c.content);
        }
    }
}

TEST(FXFile, WriteOpenAppendsToExistingBytesAndDescriptorIsCloseOnExec) {
    TempDir dir;
    const std::string path = dir.sub("flat.cache");
    WriteWholeFile(path, "0123456789");
    auto_handle h;
    ASSERT_FALSE(OpenForWrite(h, path).IsError());
    EXPECT_NE(fcntl(h.get(), F_GETFD) & FD_CLOEXEC, 0);

    long long pos = -1;
    ASSERT_FALSE(FXFile::XKSetFilePointer(h, 0, FILE_END, &pos).IsError());
    EXPECT_EQ(pos, 10);
    unsigned long done = 0;
    ASSERT_FALSE(FXFile::XKWriteFile(h, "abc", 3, &done, nullptr).IsError());
    EXPECT_EQ(done, 3u);
    ASSERT_FALSE(FXFile::XKSetFilePointer(h, 2, FILE_BEGIN, &pos).IsError());
    ASSERT_FALSE(FXFile::XKWriteFile(h, "XY", 2, &done, nullptr).IsError());
    ASSERT_FALSE(FXFile::XKSetFilePointer(h, -1, FILE_CURRENT, &pos).IsError());
    EXPECT_EQ(pos, 3);
    h.reset();
    EXPECT_EQ(ReadWholeFile(path), "01XY456789abc");
}

TEST(FXFile, OffsetsBeyondFourGiBReadBack) {
    TempDir dir;
    const std::string path = dir.sub("sparse");
    const long long far = (5LL << 30) + 7;  // past every 32-bit offset
    auto_handle h;
    ASSERT_FALSE(FXFile::XKCreateFile(h, path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, CREATE_ALWAYS, 0x80, nullptr)
                     .IsError());
    long long pos = 0;
    ASSERT_FALSE(FXFile::XKSetFilePointer(h, far, FILE_BEGIN, &pos).IsError());
    EXPECT_EQ(pos, far);
    unsigned long done = 0;
    ASSERT_FALSE(FXFile::XKWriteFile(h, "Z", 1, &done, nullptr).IsError());

    long long size = 0;
    ASSERT_FALSE(FXFile::XKGetFileSize(h, size).IsError());
    EXPECT_EQ(size, far + 1);
    ASSERT_FALSE(FXFile::XKGetFileSize(path, size).IsError());
    EXPECT_EQ(size, far + 1);

    ASSERT_FALSE(FXFile::XKSetFilePointer(h, -2, FILE_END, &pos).IsError());
    EXPECT_EQ(pos, far - 1);
    char buf[8] = {'?', '?', '?', '?', '?', '?', '?', '?'};
    ASSERT_FALSE(FXFile::XKReadFile(h, buf, sizeof(buf), &done, nullptr).IsError());
    ASSERT_EQ(done, 2u);  // stops at the end of the file
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'Z');
    ASSERT_FALSE(FXFile::XKReadFile(h, buf, sizeof(buf), &done, nullptr).IsError());
    EXPECT_EQ(done, 0u);  // end of file
}

TEST(FXFile, ReadCollectsShortTransfersAndSurvivesSignals) {
    // A pipe hands out bytes as the writer produces them: every read is short.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto_handle readEnd(fds[0]);
    auto_handle writeEnd(fds[1]);
    const std::string expected = "first-second-third";
    std::string got(expected.size(), '\0');
    unsigned long done = 0;
    CZoError readResult;
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        readResult = FXFile::XKReadFile(readEnd, &got[0], got.size(), &done, nullptr);
        finished = true;
    });
    const pthread_t readerId = reader.native_handle();
    for (const char* piece : {"first-", "second-", "third"}) {
        pthread_kill(readerId, SIGUSR1);
        unsigned long written = 0;
        ASSERT_FALSE(FXFile::XKWriteFile(writeEnd, piece, std::strlen(piece), &written, nullptr).IsError());
    }
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(finished);
    EXPECT_FALSE(readResult.IsError()) << readResult.AsString();
    EXPECT_EQ(done, expected.size());
    EXPECT_EQ(got, expected);
}

TEST(FXFile, WriteCompletesOverShortWrites) {
    // More than a pipe holds: write() takes it piece by piece as the reader drains.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto_handle readEnd(fds[0]);
    auto_handle writeEnd(fds[1]);
    std::string payload(1 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
    std::string received;
    std::thread drain([&] { received = ReadAll(readEnd); });
    unsigned long done = 0;
    CZoError err = FXFile::XKWriteFile(writeEnd, payload.data(), payload.size(), &done, nullptr);
    writeEnd.reset();
    drain.join();
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(done, payload.size());
    EXPECT_TRUE(received == payload);
}

TEST(FXFile, BadHandlesAndBadPathsFail) {
    TempDir dir;
    WriteWholeFile(dir.sub("file"), "x");
    auto_handle none;
    unsigned long done = 9;
    char buf[4];
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKReadFile(none, buf, 4, &done, nullptr), ERROR_INVALID_HANDLE));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKWriteFile(none, buf, 4, &done, nullptr), ERROR_INVALID_HANDLE));
    long long pos = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKSetFilePointer(none, 0, FILE_BEGIN, &pos), ERROR_INVALID_HANDLE));

    auto_handle h;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(OpenForRead(h, dir.path()), EISDIR));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(OpenForWrite(h, dir.path()), EISDIR));
    EXPECT_TRUE(FXErrorUtil::IsWin32(OpenForRead(h, dir.sub("missing")), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(OpenForWrite(h, dir.sub("no/such/folder/f")), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(OpenForWrite(h, dir.sub("file/below")), ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(h.is_valid());

    ASSERT_FALSE(OpenForRead(h, dir.sub("file")).IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::XKSetFilePointer(h, -5, FILE_BEGIN, &pos), EINVAL));
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKSetFilePointer(h, 0, 7, &pos), ERROR_INVALID_PARAMETER));
    // A failed open leaves the handle empty, closing what it held.
    EXPECT_TRUE(OpenForRead(h, dir.sub("missing")).IsError());
    EXPECT_FALSE(h.is_valid());

    long long size = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKGetFileSize(dir.sub("missing"), size), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::XKGetFileSize(dir.path(), size), EISDIR));
}

TEST(FXFile, CopyReplacesWholeFileKeepingModeAndTime) {
    TempDir dir;
    const std::string src = dir.sub("a.db");
    const std::string dst = dir.sub("b.db");
    std::string bytes(300000, 'q');
    bytes[12345] = '\0';
    WriteWholeFile(src, bytes);
    ASSERT_EQ(chmod(src.c_str(), 0640), 0);
    const struct timespec times[2] = {{1600000000, 5}, {1650000000, 123456700}};
    ASSERT_EQ(utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
    WriteWholeFile(dst, "an older and different destination");

    // A reader of the old destination keeps seeing the old file whole.
    auto_handle oldReader;
    ASSERT_FALSE(OpenForRead(oldReader, dst).IsError());

    CZoError err = FXFile::XKCopyFile(src, dst, 0);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(ReadWholeFile(dst) == bytes);
    EXPECT_EQ(ReadAll(oldReader), "an older and different destination");
    struct stat st;
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1650000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a.db", "b.db"}));  // no temporary left
}

TEST(FXFile, CopyEdgeCases) {
    TempDir dir;
    WriteWholeFile(dir.sub("empty"), "");
    ASSERT_FALSE(FXFile::XKCopyFile(dir.sub("empty"), dir.sub("copy"), 0).IsError());
    EXPECT_TRUE(std::filesystem::exists(dir.sub("copy")));
    EXPECT_EQ(ReadWholeFile(dir.sub("copy")), "");

    WriteWholeFile(dir.sub("src"), "new");
    WriteWholeFile(dir.sub("kept"), "old");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKCopyFile(dir.sub("src"), dir.sub("kept"), 1), ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadWholeFile(dir.sub("kept")), "old");
    ASSERT_FALSE(FXFile::XKCopyFile(dir.sub("src"), dir.sub("fresh"), 1).IsError());
    EXPECT_EQ(ReadWholeFile(dir.sub("fresh")), "new");

    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKCopyFile(dir.sub("missing"), dir.sub("kept"), 0), ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadWholeFile(dir.sub("kept")), "old");
    EXPECT_TRUE(FXFile::XKCopyFile(dir.sub("src"), dir.sub("no/folder/x"), 0).IsError());
    // A copy onto itself leaves the bytes as they were.
    ASSERT_FALSE(FXFile::XKCopyFile(dir.sub("src"), dir.sub("src"), 0).IsError());
    EXPECT_EQ(ReadWholeFile(dir.sub("src")), "new");
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"copy", "empty", "fresh", "kept", "src"}));
}

// The temporary copy's name does not grow with the destination's: a name of
// the longest length a folder allows is copied too.
TEST(FXFile, CopyToANameOfTheLongestLength) {
    TempDir dir;
    WriteWholeFile(dir.sub("src"), "bytes");
    const std::string longest(NAME_MAX, 'n');
    for (DWORD failIfExists : {0u, 1u}) {
        ::unlink(dir.sub(longest).c_str());
        CZoError err = FXFile::XKCopyFile(dir.sub("src"), dir.sub(longest), failIfExists);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(ReadWholeFile(dir.sub(longest)), "bytes");
    }
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{longest, "src"}));
}

TEST(FXFile, MoveReplacesOnlyWhenAsked) {
    TempDir dir;
    WriteWholeFile(dir.sub("upload"), "new");
    WriteWholeFile(dir.sub("db"), "old");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKMoveFileEx(dir.sub("upload"), dir.sub("db"), 0), ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadWholeFile(dir.sub("db")), "old");
    EXPECT_EQ(ReadWholeFile(dir.sub("upload")), "new");

    ASSERT_FALSE(FXFile::XKMoveFileEx(dir.sub("upload"), dir.sub("db"), MOVEFILE_REPLACE_EXISTING).IsError());
    EXPECT_EQ(ReadWholeFile(dir.sub("db")), "new");
    EXPECT_FALSE(std::filesystem::exists(dir.sub("upload")));

    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::XKMoveFileEx(dir.sub("upload"), dir.sub("x"), 1), ERROR_FILE_NOT_FOUND));

    // Folders move too; refusals other than "missing" keep their errno.
    std::filesystem::create_directories(dir.sub("f1/inner"));
    std::filesystem::create_directories(dir.sub("f2/full"));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::XKMoveFileEx(dir.sub("f1"), dir.sub("f2"), 1), ENOTEMPTY));
    ASSERT_FALSE(FXFile::XKMoveFileEx(dir.sub("f1"), dir.sub("f3"), 1).IsError());
    EXPECT_TRUE(std::filesystem::is_directory(dir.sub("f3/inner")));
}

TEST(FXFile, DeleteMatchingFilesTakesThePathLiterallyWithoutFlags) {
    TempDir dir;
    WriteWholeFile(dir.sub("a*b"), "1");
    WriteWholeFile(dir.sub("aXb"), "2");
    WriteWholeFile(dir.sub("a?b"), "3");
    ASSERT_FALSE(FXFile::DeleteMatchingFiles(dir.sub("a*b"), 0).IsError());
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a?b", "aXb"}));

    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::DeleteMatchingFiles(dir.sub("a*b"), 0), ERROR_FILE_NOT_FOUND));
    std::filesystem::create_directories(dir.sub("folder"));
    EXPECT_TRUE(FXFile::DeleteMatchingFiles(dir.sub("folder"), 0).IsError());
    EXPECT_TRUE(std::filesystem::is_directory(dir.sub("folder")));
}

TEST(FXFile, DeleteMatchingFilesExpandsWildcardsOnlyWhenAsked) {
    TempDir dir;
    for (const char* name : {"1.tmp", "2.tmp", "keep.db"}) WriteWholeFile(dir.sub(name), "x");
    std::filesystem::create_directories(dir.sub("dir.tmp"));
    ASSERT_FALSE(FXFile::DeleteMatchingFiles(dir.sub("*.tmp"), FXFile::kDeleteMatchingWildcards).IsError());
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"dir.tmp", "keep.db"}));
    EXPECT_FALSE(FXFile::DeleteMatchingFiles(dir.sub("*.none"), FXFile::kDeleteMatchingWildcards).IsError());
}

TEST(FXFile, FileTimesComeInOrderChangeModificationAccessWithSubSecondPrecision) {
    TempDir dir;
    const std::string path = dir.sub("afile_cache.db");
    WriteWholeFile(path, "x");
    const struct timespec times[2] = {{1600000000, 999999900}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    CTimeStamp changed, modified, accessed;
    ASSERT_FALSE(FXFile::GetFileTimes(path, &changed, &modified, &accessed).IsError());
    EXPECT_EQ(modified.AsSystemTime(), 1700000000LL * 10000000 + 1234567 + CTimeStamp::kUnixEpochTicks);
    EXPECT_EQ(modified.AsUnixTime(), 1700000000);
    EXPECT_EQ(accessed.AsSystemTime(), 1600000000LL * 10000000 + 9999999 + CTimeStamp::kUnixEpochTicks);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(changed.AsUnixTime(), st.st_ctim.tv_sec);

    CTimeStamp only;
    EXPECT_FALSE(FXFile::GetFileTimes(path, nullptr, &only, nullptr).IsError());
    EXPECT_EQ(only, modified);
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::GetFileTimes(dir.sub("missing"), &changed, &modified, &accessed),
                                     ERROR_FILE_NOT_FOUND));
}

TEST(FXFile, DoesFileExistAnswersForFilesAndFolders) {
    TempDir dir;
    WriteWholeFile(dir.sub("file"), "x");
    ASSERT_EQ(symlink(dir.sub("gone").c_str(), dir.sub("dangling").c_str()), 0);
    EXPECT_TRUE(FXFile::DoesFileExist(dir.sub("file")));
    EXPECT_TRUE(FXFile::DoesFileExist(dir.path()));
    EXPECT_FALSE(FXFile::DoesFileExist(dir.sub("missing")));
    EXPECT_FALSE(FXFile::DoesFileExist(dir.sub("dangling")));
    EXPECT_FALSE(FXFile::DoesFileExist(""));
}

}  // namespace
