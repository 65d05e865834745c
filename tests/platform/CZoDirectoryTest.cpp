#include "LiveBrowseCacheCodes.h"
#include "platform/CZoDirectory.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/Win32Constants.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

struct Visit {
    std::string parent;
    std::string name;
    bool isFolder;
    bool operator==(const Visit& o) const { return parent == o.parent && name == o.name && isFolder == o.isFolder; }
};

std::ostream& operator<<(std::ostream& os, const Visit& v) {
    return os << v.parent << " | " << v.name << (v.isFolder ? " (folder)" : "");
}

CZoError Record(const char* parent, const char* name, bool isFolder, void* context) {
    static_cast<std::vector<Visit>*>(context)->push_back(Visit{parent, name, isFolder});
    return CZoError::Success();
}

// Tree: a/ (x.db, b/ (y)), c.txt
void MakeTree(const TempDir& dir) {
    std::filesystem::create_directories(dir.sub("a/b"));
    WriteWholeFile(dir.sub("a/x.db"), "1");
    WriteWholeFile(dir.sub("a/b/y"), "22");
    WriteWholeFile(dir.sub("c.txt"), "333");
}

TEST(CZoDirectory, CreateMakesFoldersAndAcceptsExisting) {
    TempDir dir;
    EXPECT_FALSE(CZoDirectory::Create(dir.sub("one"), false).IsError());
    EXPECT_TRUE(std::filesystem::is_directory(dir.sub("one")));
    EXPECT_FALSE(CZoDirectory::Create(dir.sub("one"), false).IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Create(dir.sub("x/y"), false), ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CZoDirectory::Create(dir.sub("x/y/z"), true).IsError());
    EXPECT_TRUE(std::filesystem::is_directory(dir.sub("x/y/z")));
    EXPECT_FALSE(CZoDirectory::Create(dir.sub("x/y/z"), true).IsError());
    WriteWholeFile(dir.sub("file"), "x");
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Create(dir.sub("file"), false), ERROR_DIRECTORY));
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Create(dir.sub("file"), true), ERROR_DIRECTORY));
}

TEST(CZoDirectory, SpaceUsageIsTheVolumesBytes) {
    TempDir dir;
    unsigned long long total = 0, available = 0;
    ASSERT_FALSE(CZoDirectory::GetSpaceUsage(dir.path(), total, available).IsError());
    struct statvfs vfs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &vfs), 0);
    EXPECT_EQ(total, static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize);
    EXPECT_GT(total, 0u);
    EXPECT_LE(available, total);
    unsigned long long onlyTotal = 0;
    EXPECT_FALSE(CZoDirectory::GetSpaceUsage(dir.path(), &onlyTotal, nullptr).IsError());
    EXPECT_EQ(onlyTotal, total);
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::GetSpaceUsage(dir.sub("missing"), &total, &available),
                                     ERROR_FILE_NOT_FOUND));
}

TEST(CZoDirectory, IsEmptyAndRemoveOfOneFolder) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("empty"));
    std::filesystem::create_directories(dir.sub("hidden"));
    WriteWholeFile(dir.sub("hidden/.dot"), "");
    WriteWholeFile(dir.sub("file"), "");

    bool empty = false;
    ASSERT_FALSE(CZoDirectory::IsEmpty(dir.sub("empty"), empty).IsError());
    EXPECT_TRUE(empty);
    ASSERT_FALSE(CZoDirectory::IsEmpty(dir.sub("hidden"), empty).IsError());
    EXPECT_FALSE(empty);
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::IsEmpty(dir.sub("missing"), empty), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::IsEmpty(dir.sub("file"), empty), ERROR_DIRECTORY));

    EXPECT_TRUE(FXErrorUtil::IsErrNo(CZoDirectory::Remove(dir.sub("hidden"), false, false), ENOTEMPTY));
    EXPECT_TRUE(std::filesystem::exists(dir.sub("hidden/.dot")));
    EXPECT_FALSE(CZoDirectory::Remove(dir.sub("empty"), false, false).IsError());
    EXPECT_FALSE(std::filesystem::exists(dir.sub("empty")));
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Remove(dir.sub("empty"), false, false), ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CZoDirectory::Remove(dir.sub("empty"), false, true).IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Remove(dir.sub("file"), false, false), ERROR_DIRECTORY));
    EXPECT_TRUE(std::filesystem::exists(dir.sub("file")));

    EXPECT_FALSE(CZoDirectory::Remove(dir.sub("hidden"), true, false).IsError());
    EXPECT_FALSE(std::filesystem::exists(dir.sub("hidden")));
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Remove(dir.sub("hidden"), true, false), ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CZoDirectory::Remove(dir.sub("hidden"), true, true).IsError());
}

TEST(CZoDirectory, WalkReportsEveryEntryInNameOrder) {
    TempDir dir;
    MakeTree(dir);
    const std::string r = dir.path();

    std::vector<Visit> after;
    ASSERT_FALSE(CZoDirectory::Walk(r, &after, -1, true, Record).IsError());
    EXPECT_EQ(after, (std::vector<Visit>{{r + "/a/b", "y", false},
                                         {r + "/a", "b", true},
                                         {r + "/a", "x.db", false},
                                         {r, "a", true},
                                         {r, "c.txt", false}}));

    std::vector<Visit> before;
    ASSERT_FALSE(CZoDirectory::Walk(r + "/", &before, -1, false, Record).IsError());
    EXPECT_EQ(before, (std::vector<Visit>{{r, "a", true},
                                          {r + "/a", "b", true},
                                          {r + "/a/b", "y", false},
                                          {r + "/a", "x.db", false},
                                          {r, "c.txt", false}}));

    std::vector<Visit> top;
    ASSERT_FALSE(CZoDirectory::Walk(r, &top, 0, true, Record).IsError());
    EXPECT_EQ(top, (std::vector<Visit>{{r, "a", true}, {r, "c.txt", false}}));

    std::vector<Visit> nothing;
    std::filesystem::create_directories(dir.sub("a/b/empty"));
    ASSERT_FALSE(CZoDirectory::Walk(dir.sub("a/b/empty"), &nothing, -1, true, Record).IsError());
    EXPECT_TRUE(nothing.empty());
}

TEST(CZoDirectory, WalkStopsAtTheFirstCallbackError) {
    TempDir dir;
    MakeTree(dir);
    struct Context {
        int calls = 0;
    } context;
    auto failOnSecond = [](const char*, const char*, bool, void* c) -> CZoError {
        if (++static_cast<Context*>(c)->calls == 2)
            return FXErrorUtil::ErrorInt(FXLOC, LBCError::kFolderWalkBudgetSpent);
        return CZoError::Success();
    };
    CZoError err = CZoDirectory::Walk(dir.path(), &context, -1, true, failOnSecond);
    EXPECT_TRUE(FXErrorUtil::IsInt(err, LBCError::kFolderWalkBudgetSpent)) << err.AsString();
    EXPECT_EQ(context.calls, 2);
}

TEST(CZoDirectory, WalkToleratesTheCallbackRemovingTheFolderJustVisited) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("DATA/C1/afile_1_1_1/empty"));
    std::filesystem::create_directories(dir.sub("DATA/C2/afile_2_1_1"));
    std::filesystem::create_directories(dir.sub("DATA/C3"));
    WriteWholeFile(dir.sub("DATA/C2/afile_2_1_1/2_1_1.cache"), "data");
    auto removeEmpty = [](const char* parent, const char* name, bool isFolder, void*) -> CZoError {
        if (!isFolder) return CZoError::Success();
        std::string path = parent;
        CZoError err = FXPath::Append(path, name, 0);
        bool empty = false;
        if (!err.IsError()) err = CZoDirectory::IsEmpty(path, empty);
        if (!err.IsError() && empty) err = CZoDirectory::Remove(path, false, false);
        return err;
    };
    // Folders after their contents: a chain of empty folders goes in one pass.
    CZoError err = CZoDirectory::Walk(dir.sub("DATA"), nullptr, -1, true, removeEmpty);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(std::filesystem::exists(dir.sub("DATA/C1")));
    EXPECT_FALSE(std::filesystem::exists(dir.sub("DATA/C3")));
    EXPECT_EQ(ReadWholeFile(dir.sub("DATA/C2/afile_2_1_1/2_1_1.cache")), "data");
    EXPECT_TRUE(std::filesystem::is_directory(dir.sub("DATA")));

    // Folders before their contents: a folder removed by the callback is not entered.
    std::filesystem::create_directories(dir.sub("pre/doomed/inner"));
    std::filesystem::create_directories(dir.sub("pre/stays"));
    struct Seen {
        std::vector<std::string> names;
    } seen;
    auto removeDoomed = [](const char* parent, const char* name, bool, void* c) -> CZoError {
        static_cast<Seen*>(c)->names.push_back(name);
        if (std::string(name) == "doomed") std::filesystem::remove_all(std::string(parent) + "/" + name);
        return CZoError::Success();
    };
    err = CZoDirectory::Walk(dir.sub("pre"), &seen, -1, false, removeDoomed);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(seen.names, (std::vector<std::string>{"doomed", "stays"}));
}

TEST(CZoDirectory, WalkDoesNotFollowLinksAndRejectsBadRoots) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("root"));
    std::filesystem::create_directories(dir.sub("elsewhere"));
    WriteWholeFile(dir.sub("elsewhere/secret"), "");
    ASSERT_EQ(symlink(dir.sub("elsewhere").c_str(), dir.sub("root/link").c_str()), 0);
    std::vector<Visit> visits;
    ASSERT_FALSE(CZoDirectory::Walk(dir.sub("root"), &visits, -1, true, Record).IsError());
    EXPECT_EQ(visits, (std::vector<Visit>{{dir.sub("root"), "link", false}}));

    WriteWholeFile(dir.sub("file"), "");
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Walk(dir.sub("missing"), &visits, -1, true, Record),
                                     ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(CZoDirectory::Walk(dir.sub("file"), &visits, -1, true, Record), ERROR_DIRECTORY));
}

}  // namespace
