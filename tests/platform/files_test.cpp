#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace pellox::platform {
namespace {

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pellox-files-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(FilesTest, AppendKeepsEarlierContent) {
    const std::string path = dir_ + "/a.txt";
    File f;
    ASSERT_TRUE(f.Open(path, OpenMode::Append));
    ASSERT_TRUE(f.Write("one\r\n"));
    f.Close();
    ASSERT_TRUE(f.Open(path, OpenMode::Append));
    ASSERT_TRUE(f.Write("two\r\n"));
    f.Close();
    std::string content;
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ(content, "one\r\ntwo\r\n");
}

TEST_F(FilesTest, ReplaceSwapsContentWhole) {
    const std::string path = dir_ + "/s.txt";
    const std::string tmp = dir_ + "/s.txt.tmp";
    File f;
    ASSERT_TRUE(f.Open(path, OpenMode::Truncate));
    ASSERT_TRUE(f.Write("old"));
    f.Close();
    ASSERT_TRUE(f.Open(tmp, OpenMode::Truncate, 0600));
    ASSERT_TRUE(f.Write("new content"));
    ASSERT_TRUE(f.Sync());
    f.Close();
    ASSERT_TRUE(ReplaceFile(tmp, path));
    std::string content;
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ(content, "new content");
    EXPECT_FALSE(FileExists(tmp));
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FilesTest, ExclusiveLockKeepsASecondHolderOut) {
    const std::string path = dir_ + "/l.txt";
    File a, b;
    ASSERT_TRUE(a.Open(path, OpenMode::Append));
    ASSERT_TRUE(a.Lock(true, false));
    ASSERT_TRUE(b.Open(path, OpenMode::Append));
    EXPECT_FALSE(b.Lock(true, false));
    a.Close();
    EXPECT_TRUE(b.Lock(true, false));
}

TEST_F(FilesTest, DirectoryCreationIsIdempotentAndMissingFilesFail) {
    EXPECT_TRUE(MakeDirectory(dir_ + "/History", 0700));
    EXPECT_TRUE(MakeDirectory(dir_ + "/History", 0700));
    std::string content;
    EXPECT_FALSE(ReadWholeFile(dir_ + "/missing.txt", content));
    EXPECT_FALSE(RemoveFile(dir_ + "/missing.txt"));
}

}  // namespace
}  // namespace pellox::platform
