#include "platform/CSimpleFolderTreeIterator.h"
#include "platform/FXErrorUtil.h"
#include "platform/Win32Constants.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Seen {
    std::string path;
    bool isFolder;
    unsigned long long size;
    bool operator==(const Seen& o) const { return path == o.path && isFolder == o.isFolder && size == o.size; }
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << s.path << (s.isFolder ? "/" : "") << " " << s.size;
}

// Every item until the iteration ends; the ending error is returned in `end`.
std::vector<Seen> Drain(CSimpleFolderTreeIterator& it, CZoError& end) {
    std::vector<Seen> items;
    CSimpleFolderTreeIterator::Item item;
    for (;;) {
        end = it.GetNextItem(item);
        if (end.IsError()) break;
        EXPECT_EQ(item.path, item.parentPath + "/" + item.name);
        items.push_back(Seen{item.path, item.isFolder, item.size});
    }
    return items;
}

TEST(CSimpleFolderTreeIterator, RecursesThroughTheWholeTreeThenAnswersNoMoreFiles) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("C1/afile_1_1_1"));
    std::filesystem::create_directories(dir.sub("C2"));
    WriteWholeFile(dir.sub("C1/afile_1_1_1/1_1_1.cache"), std::string(1000, 'x'));
    WriteWholeFile(dir.sub("C1/note"), "12");
    WriteWholeFile(dir.sub("top"), "123");

    CSimpleFolderTreeIterator it;
    ASSERT_FALSE(it.Open(dir.path(), CSimpleFolderFilterByItemName("*")).IsError());
    CZoError end;
    std::vector<Seen> items = Drain(it, end);
    EXPECT_TRUE(FXErrorUtil::IsWin32(end, ERROR_NO_MORE_FILES)) << end.AsString();
    EXPECT_EQ(items, (std::vector<Seen>{{dir.sub("C1"), true, 0},
                                        {dir.sub("C1/afile_1_1_1"), true, 0},
                                        {dir.sub("C1/afile_1_1_1/1_1_1.cache"), false, 1000},
                                        {dir.sub("C1/note"), false, 2},
                                        {dir.sub("C2"), true, 0},
                                        {dir.sub("top"), false, 3}}));
    CSimpleFolderTreeIterator::Item item;
    EXPECT_TRUE(FXErrorUtil::IsWin32(it.GetNextItem(item), ERROR_NO_MORE_FILES));

    // Open starts over.
    ASSERT_FALSE(it.Open(dir.sub("C1"), CSimpleFolderFilterByItemName("*")).IsError());
    EXPECT_EQ(Drain(it, end).size(), 3u);
}

TEST(CSimpleFolderTreeIterator, FilterSelectsItemsButEveryFolderIsEntered) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("sub/deeper"));
    WriteWholeFile(dir.sub("a.cache"), "1");
    WriteWholeFile(dir.sub("b.txt"), "1");
    WriteWholeFile(dir.sub("sub/deeper/C.CACHE"), "22");

    CSimpleFolderTreeIterator it;
    ASSERT_FALSE(it.Open(dir.path(), CSimpleFolderFilterByItemName("*.cache")).IsError());
    CZoError end;
    EXPECT_EQ(Drain(it, end),
              (std::vector<Seen>{{dir.sub("a.cache"), false, 1}, {dir.sub("sub/deeper/C.CACHE"), false, 2}}));
    EXPECT_TRUE(FXErrorUtil::IsWin32(end, ERROR_NO_MORE_FILES));
}

TEST(CSimpleFolderTreeIterator, MissingFolderAndFileAreReportedByEveryCall) {
    TempDir dir;
    WriteWholeFile(dir.sub("file"), "x");
    CSimpleFolderTreeIterator it;
    CSimpleFolderTreeIterator::Item item;
    EXPECT_TRUE(FXErrorUtil::IsWin32(it.Open(dir.sub("missing"), CSimpleFolderFilterByItemName("*")),
                                     ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(it.GetNextItem(item), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(it.GetNextItem(item), ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(FXErrorUtil::IsWin32(it.Open(dir.sub("file"), CSimpleFolderFilterByItemName("*")), ERROR_DIRECTORY));
    EXPECT_TRUE(FXErrorUtil::IsWin32(it.GetNextItem(item), ERROR_DIRECTORY));

    std::filesystem::create_directories(dir.sub("empty"));
    EXPECT_FALSE(it.Open(dir.sub("empty"), CSimpleFolderFilterByItemName("*")).IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(it.GetNextItem(item), ERROR_NO_MORE_FILES));

    CSimpleFolderTreeIterator never;
    EXPECT_TRUE(FXErrorUtil::IsWin32(never.GetNextItem(item), ERROR_NO_MORE_FILES));
}

TEST(CSimpleFolderTreeIterator, EntriesRemovedDuringTheIterationAreSkipped) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("a/inner"));
    std::filesystem::create_directories(dir.sub("b"));
    WriteWholeFile(dir.sub("a/inner/f"), "1");
    WriteWholeFile(dir.sub("b/g"), "1");
    WriteWholeFile(dir.sub("c"), "1");

    CSimpleFolderTreeIterator it;
    ASSERT_FALSE(it.Open(dir.path(), CSimpleFolderFilterByItemName("*")).IsError());
    CSimpleFolderTreeIterator::Item item;
    ASSERT_FALSE(it.GetNextItem(item).IsError());
    EXPECT_EQ(item.path, dir.sub("a"));
    // Gone after being reported, and a later sibling gone before its turn.
    std::filesystem::remove_all(dir.sub("a"));
    std::filesystem::remove(dir.sub("c"));
    CZoError end;
    EXPECT_EQ(Drain(it, end), (std::vector<Seen>{{dir.sub("b"), true, 0}, {dir.sub("b/g"), false, 1}}));
    EXPECT_TRUE(FXErrorUtil::IsWin32(end, ERROR_NO_MORE_FILES)) << end.AsString();
}

}  // namespace
