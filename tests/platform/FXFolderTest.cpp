#include "platform/FXErrorUtil.h"
#include "platform/FXFile.h"
#include "platform/FXFolder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

TEST(FXFolder, DoesFolderExistOnlyForFolders) {
    TempDir dir;
    WriteWholeFile(dir.sub("file"), "x");
    EXPECT_TRUE(FXFolder::DoesFolderExist(dir.path()));
    EXPECT_FALSE(FXFolder::DoesFolderExist(dir.sub("file")));
    EXPECT_FALSE(FXFolder::DoesFolderExist(dir.sub("missing")));
}

TEST(FXFolder, RemoveFolderTakesTheWholeTreeButNothingALinkPointsAt) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("db/C1/afile_1_1_1/deeper"));
    std::filesystem::create_directories(dir.sub("outside"));
    WriteWholeFile(dir.sub("db/C1/afile_1_1_1/afile_cache.db"), "x");
    WriteWholeFile(dir.sub("db/C1/afile_1_1_1/deeper/f"), "y");
    WriteWholeFile(dir.sub("db/top"), "z");
    WriteWholeFile(dir.sub("outside/precious"), "keep");
    ASSERT_EQ(symlink(dir.sub("outside").c_str(), dir.sub("db/C1/link").c_str()), 0);

    CZoError err = FXFolder::RemoveFolder(dir.sub("db"), 0x71);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(std::filesystem::exists(dir.sub("db")));
    EXPECT_EQ(ReadWholeFile(dir.sub("outside/precious")), "keep");

    // Reached through FXFile as well; a missing folder is success.
    EXPECT_FALSE(FXFile::RemoveFolder(dir.sub("db"), 1).IsError());

    // A root that is a link loses the link only.
    ASSERT_EQ(symlink(dir.sub("outside").c_str(), dir.sub("rootlink").c_str()), 0);
    ASSERT_FALSE(FXFolder::RemoveFolder(dir.sub("rootlink"), 0x71).IsError());
    EXPECT_FALSE(std::filesystem::is_symlink(dir.sub("rootlink")));
    EXPECT_EQ(ReadWholeFile(dir.sub("outside/precious")), "keep");
}

TEST(FXFolder, RemoveFolderRefusesAFile) {
    TempDir dir;
    WriteWholeFile(dir.sub("file"), "x");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFolder::RemoveFolder(dir.sub("file"), 0x71), ERROR_DIRECTORY));
    EXPECT_EQ(ReadWholeFile(dir.sub("file")), "x");
}

TEST(FXFolder, CreateFoldersIterativelyMakesMissingParentsAndAcceptsExisting) {
    TempDir dir;
    const std::string deep = dir.sub("LiveBrowseCache/DB/C1/afile_812_1_2");
    ASSERT_FALSE(FXFolder::CreateFoldersIteratively(deep, nullptr).IsError());
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_FALSE(FXFile::CreateFoldersIteratively(deep, nullptr).IsError());
    EXPECT_FALSE(FXFolder::CreateFoldersIteratively(deep + "/", nullptr).IsError());

    WriteWholeFile(dir.sub("blocker"), "x");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFolder::CreateFoldersIteratively(dir.sub("blocker"), nullptr), ERROR_DIRECTORY));
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFolder::CreateFoldersIteratively(dir.sub("blocker/below"), nullptr),
                                     ERROR_DIRECTORY));
    EXPECT_EQ(ReadWholeFile(dir.sub("blocker")), "x");
}

TEST(FXFolder, ConcurrentCreatorsAllSucceed) {
    TempDir dir;
    const std::string deep = dir.sub("a/b/c/d/e/f");
    std::vector<CZoError> results(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = FXFolder::CreateFoldersIteratively(deep, nullptr); });
    for (auto& t : threads) t.join();
    for (const CZoError& r : results) EXPECT_FALSE(r.IsError()) << r.AsString();
    EXPECT_TRUE(std::filesystem::is_directory(deep));
}

TEST(FXFolder, GetMatchingFilesListsMatchingFilesAtEveryDepth) {
    TempDir dir;
    std::filesystem::create_directories(dir.sub("C1/afile_1_1_1"));
    std::filesystem::create_directories(dir.sub("C2/folder.db"));
    WriteWholeFile(dir.sub("top.db"), "");
    WriteWholeFile(dir.sub("notes.txt"), "");
    WriteWholeFile(dir.sub("C1/afile_1_1_1/afile_cache.db"), "");
    WriteWholeFile(dir.sub("C1/afile_1_1_1/afile_cache.db-journal"), "");
    WriteWholeFile(dir.sub("C2/UPPER.DB"), "");

    std::list<std::string> files{"already/there"};
    CZoError err = FXFolder::GetMatchingFiles(dir.path(), "*.db", files, true);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(files, (std::list<std::string>{"already/there", dir.sub("C1/afile_1_1_1/afile_cache.db"),
                                             dir.sub("C2/UPPER.DB"), dir.sub("top.db")}));

    files.clear();
    ASSERT_FALSE(FXFile::GetMatchingFiles(dir.path() + "/", "afile_cache.db", files, true).IsError());
    EXPECT_EQ(files, (std::list<std::string>{dir.sub("C1/afile_1_1_1/afile_cache.db")}));

    files.clear();
    ASSERT_FALSE(FXFolder::GetMatchingFiles(dir.path(), "*.db", files, false).IsError());
    EXPECT_EQ(files, (std::list<std::string>{dir.sub("top.db")}));

    files.clear();
    ASSERT_FALSE(FXFolder::GetMatchingFiles(dir.sub("C1"), "", files, true).IsError());
    EXPECT_EQ(files, (std::list<std::string>{dir.sub("C1/afile_1_1_1/afile_cache.db"),
                                             dir.sub("C1/afile_1_1_1/afile_cache.db-journal")}));

    files.clear();
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFolder::GetMatchingFiles(dir.sub("missing"), "*", files, true),
                                     ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(files.empty());
}

}  // namespace
