// The flat file kept open between requests: it is used only while its path
// still names the kept file, and bytes written through it land in the file
// now at the path.

#include "store/FlatFileHandle.h"

#include "platform/FXErrorUtil.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

void Append(FlatFileHandle& handle, const std::string& bytes) {
    FXOpenFilePtr file;
    long long length = 0;
    ASSERT_FALSE(handle.Current(true, file, length).IsError());
    unsigned long done = 0;
    ASSERT_FALSE(file->SetLength(length + static_cast<long long>(bytes.size())).IsError());
    ASSERT_FALSE(file->WriteAt(bytes.data(), bytes.size(), length, &done).IsError());
    ASSERT_EQ(bytes.size(), done);
}

}  // namespace

TEST(FlatFileHandleTest, EachUseGoesToTheFileNowAtThePath) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> change;
        // What the path holds after "old" was written, the change made, and
        // "new" appended through the handle.
        std::string atPath;
        bool keptFileReused;
    };
    const std::vector<Case> cases = {
        {"unchanged", [](const std::string&) {}, "oldnew", true},
        {"deleted", [](const std::string& path) { ASSERT_EQ(0, ::unlink(path.c_str())); }, "new", false},
        {"renamed",
         [](const std::string& path) { ASSERT_EQ(0, ::rename(path.c_str(), (path + ".renamed").c_str())); }, "new",
         false},
        {"replaced",
         [](const std::string& path) {
             WriteWholeFile(path + ".other", "xy");
             ASSERT_EQ(0, ::rename((path + ".other").c_str(), path.c_str()));
         },
         "xynew", false},
        {"cut", [](const std::string& path) { ASSERT_EQ(0, ::truncate(path.c_str(), 1)); }, "onew", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.sub("1_1_1.cache");
        FlatFileHandlePtr handle = FlatFileHandle::ForPath(path);
        Append(*handle, "old");
        FXOpenFilePtr before;
        long long length = 0;
        ASSERT_FALSE(handle->Current(false, before, length).IsError());

        c.change(path);
        Append(*handle, "new");

        EXPECT_EQ(c.atPath, ReadWholeFile(path));
        FXOpenFilePtr after;
        ASSERT_FALSE(handle->Current(false, after, length).IsError());
        EXPECT_EQ(c.keptFileReused, before == after);
        // The file no longer at the path was not written to.
        if (c.name == std::string("renamed")) {
            EXPECT_EQ("old", ReadWholeFile(path + ".renamed"));
        }
    }
}

TEST(FlatFileHandleTest, AMissingFileIsNotCreatedForAReadAndFailsAsOpeningItWould) {
    TempDir dir;
    FlatFileHandlePtr handle = FlatFileHandle::ForPath(dir.sub("missing.cache"));
    FXOpenFilePtr file;
    long long length = 0;
    CZoError err = handle->Current(false, file, length);
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, 2)) << err.AsString();
    EXPECT_FALSE(file);
    EXPECT_FALSE(FXErrorUtil::IsWin32(handle->Current(true, file, length), 2));
    EXPECT_TRUE(file);
    EXPECT_EQ(0, length);
}

TEST(FlatFileHandleTest, OneHandlePerPathWhileItLivesAndForgetClosesTheKeptFile) {
    TempDir dir;
    const std::string path = dir.sub("2_1_1.cache");
    FlatFileHandlePtr handle = FlatFileHandle::ForPath(path);
    EXPECT_EQ(handle, FlatFileHandle::ForPath(path));
    EXPECT_EQ(handle, FlatFileHandle::Find(path));
    EXPECT_FALSE(FlatFileHandle::Find(dir.sub("other.cache")));

    FXOpenFilePtr kept, again;
    long long length = 0;
    ASSERT_FALSE(handle->Current(true, kept, length).IsError());
    FlatFileHandle::Forget(path);
    ASSERT_FALSE(handle->Current(false, again, length).IsError());
    EXPECT_NE(kept, again) << "a forgotten file was used again";

    handle.reset();
    EXPECT_FALSE(FlatFileHandle::Find(path));
}
