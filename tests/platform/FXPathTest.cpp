#include "platform/FXErrorUtil.h"
#include "platform/FXPath.h"
#include "platform/Win32Constants.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

namespace {

TEST(FXPath, AppendPutsExactlyOneSlashBetweenComponents) {
    struct Case {
        const char* path;
        const char* component;
        const char* expected;
    } cases[] = {
        {"/srv/jr", "LiveBrowseCache", "/srv/jr/LiveBrowseCache"},
        {"/srv/jr/", "LiveBrowseCache", "/srv/jr/LiveBrowseCache"},
        {"/srv/jr//", "/DATA", "/srv/jr/DATA"},
        {"/srv/LiveBrowseCache", "Temp/DB", "/srv/LiveBrowseCache/Temp/DB"},
        {"/", "mnt", "/mnt"},
        {"relative", "x", "relative/x"},
        {"IP|1|2|srv|3|/vol/cache", "DATA", "IP|1|2|srv|3|/vol/cache/DATA"},
    };
    for (const Case& c : cases) {
        std::string path = c.path;
        CZoError err = FXPath::Append(path, c.component, 0);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(path, c.expected) << "[" << c.path << "] + [" << c.component << "]";
    }
}

// An empty side would give a path relative to the working folder, or the
// folder itself where a file was meant.
TEST(FXPath, AppendRefusesAnEmptyPathOrComponentAndLeavesThePathUnchanged) {
    const struct {
        const char* path;
        const char* component;
    } cases[] = {{"", "lockfile"}, {"", "/abs"}, {"/a", ""}, {"/a/", "/"}, {"", ""}};
    for (const auto& c : cases) {
        std::string path = c.path;
        CZoError err = FXPath::Append(path, c.component, 0);
        EXPECT_TRUE(FXErrorUtil::IsWin32(err, ERROR_INVALID_PARAMETER))
            << "[" << c.path << "] + [" << c.component << "]: " << err.AsString();
        EXPECT_EQ(path, c.path);
    }
}

TEST(FXPath, AppendOfAPathToItselfJoinsTwoCopies) {
    std::string path = "a/b/";
    CZoError err = FXPath::Append(path, path, 0);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(path, "a/b/a/b/");
}

TEST(FXPath, AppendRefusesAnOverlongPathAndLeavesItUnchanged) {
    std::string path = "/base";
    const std::string huge(PATH_MAX, 'n');
    CZoError err = FXPath::Append(path, huge);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, ERROR_FILENAME_EXCED_RANGE)) << err.AsString();
    EXPECT_EQ(path, "/base");
}

TEST(FXPath, SplitParentPathGivesParentAndLastComponent) {
    struct Case {
        const char* path;
        bool ok;
        const char* parent;
        const char* name;
    } cases[] = {
        {"/mnt/c1/DATA/C1/afile_812_1_2/812_1_2.cache", true, "/mnt/c1/DATA/C1/afile_812_1_2", "812_1_2.cache"},
        {"/mnt/c1/DB/C1/afile_812_1_2/", true, "/mnt/c1/DB/C1", "afile_812_1_2"},
        {"/a//b", true, "/a", "b"},
        {"/a", true, "/", "a"},
        {"rel/x", true, "rel", "x"},
        {"x", false, "", ""},
        {"/", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string parent = "untouched", name = "untouched";
        CZoError err = FXPath::SplitParentPath(c.path, parent, name);
        SCOPED_TRACE(c.path);
        if (c.ok) {
            EXPECT_FALSE(err.IsError()) << err.AsString();
            EXPECT_EQ(parent, c.parent);
            EXPECT_EQ(name, c.name);
        } else {
            EXPECT_TRUE(FXErrorUtil::IsWin32(err, ERROR_BAD_PATHNAME)) << err.AsString();
            EXPECT_EQ(parent, "untouched");
        }
    }
}

TEST(FXPath, RemovePathFromFileNameStripsARootAtAComponentBoundary) {
    struct Case {
        const char* path;
        const char* root;
        bool ok;
        const char* expected;
    } cases[] = {
        {"/mnt/c1/DB/C1/afile_812_1_2", "/mnt/c1/DB", true, "C1/afile_812_1_2"},
        {"/mnt/c1/DB/C1/afile_812_1_2", "/mnt/c1/DB/", true, "C1/afile_812_1_2"},
        {"/mnt/c1/DB", "/mnt/c1/DB", true, ""},
        {"/mnt/x", "/", true, "mnt/x"},
        {"/mnt/c1/DBX/a", "/mnt/c1/DB", false, "/mnt/c1/DBX/a"},
        {"/other/DB/a", "/mnt/c1/DB", false, "/other/DB/a"},
        {"/a", "", false, "/a"},
    };
    for (const Case& c : cases) {
        std::string path = c.path;
        CZoError err = FXPath::RemovePathFromFileName(path, c.root);
        SCOPED_TRACE(std::string(c.path) + " - " + c.root);
        EXPECT_EQ(err.IsError(), !c.ok) << err.AsString();
        if (!c.ok) {
            EXPECT_TRUE(FXErrorUtil::IsWin32(err, ERROR_INVALID_PARAMETER));
        }
        EXPECT_EQ(path, c.expected);
    }
}

TEST(FXPath, DoesPathExistForFilesAndFolders) {
    TempDir dir;
    WriteWholeFile(dir.sub("f"), "");
    EXPECT_TRUE(FXPath::DoesPathExist(dir.path()));
    EXPECT_TRUE(FXPath::DoesPathExist(dir.sub("f")));
    EXPECT_FALSE(FXPath::DoesPathExist(dir.sub("missing")));
    EXPECT_FALSE(FXPath::DoesPathExist(""));
}

// Every spelling of one folder resolves to one text, also a part of it that
// does not exist yet.
TEST(FXPath, CanonicalizeGivesOneSpellingPerFolder) {
    TempDir dir;
    const std::string real = dir.sub("real");
    ::mkdir(real.c_str(), 0755);
    ::mkdir((real + "/sub").c_str(), 0755);
    ASSERT_EQ(0, ::symlink(real.c_str(), dir.sub("link").c_str()));
    ASSERT_EQ(0, ::symlink("real/sub", dir.sub("relative-link").c_str()));
    const std::string base = dir.path();
    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {real, real},
        {real + "/", real},
        {base + "/link", real},
        {base + "/link/sub", real + "/sub"},
        {base + "/relative-link", real + "/sub"},
        {base + "/./real", real},
        {base + "//real//sub", real + "/sub"},
        {real + "/sub/..", real},
        {base + "/link/sub/../sub", real + "/sub"},
        {base + "/link/new/LiveBrowseCache", real + "/new/LiveBrowseCache"},
        {base + "/link/./new//x/", real + "/new/x"},
        {base + "/link/new/../sub", real + "/sub"},
        {base + "/link/new/more/../../sub", real + "/sub"},
        {"/", "/"},
        {"/..", "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string canonical = "untouched";
        CZoError err = FXPath::Canonicalize(c.path, canonical);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(c.expected, canonical);
    }
    std::string canonical = "untouched";
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXPath::Canonicalize("", canonical), ERROR_INVALID_PARAMETER));
    EXPECT_EQ("untouched", canonical);
}

TEST(FXPath, NormalizeTouchesTheTextOnly) {
    const struct {
        const char* path;
        const char* expected;
    } cases[] = {
        {"/vol/cache", "/vol/cache"},  {"/vol//cache/", "/vol/cache"}, {"/vol/./cache/.", "/vol/cache"},
        {"//", "/"},                   {"/vol/../cache", "/vol/../cache"}, {"vol//x", "vol/x"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, FXPath::Normalize(c.path)) << c.path;
}

}  // namespace
