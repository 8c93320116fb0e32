#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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
    File dir;
    ASSERT_TRUE(dir.Open(dir_, OpenMode::Directory));
    ASSERT_TRUE(RenameIn(dir, "s.txt.tmp", "s.txt"));
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

    // The first-byte lock is another lock: a's whole-file lock does not keep it out.
    File c, d;
    ASSERT_TRUE(c.Open(path, OpenMode::Append));
    ASSERT_TRUE(d.Open(path, OpenMode::Append));
    ASSERT_TRUE(c.LockFirstByte());
    EXPECT_FALSE(d.LockFirstByte());
    EXPECT_EQ(errno, EWOULDBLOCK);
    c.Close();
    EXPECT_TRUE(d.LockFirstByte());

    a.Close();
    EXPECT_TRUE(b.Lock(true, false));
}

// A holder that keeps the file open lets a second one in by unlocking, and can
// lock again once that one is done.
TEST_F(FilesTest, UnlockLetsASecondHolderInWhileTheFileStaysOpen) {
    const std::string path = dir_ + "/u.txt";
    File a, b;
    ASSERT_TRUE(a.Open(path, OpenMode::Append));
    ASSERT_TRUE(b.Open(path, OpenMode::Append));
    ASSERT_TRUE(a.Lock(true, false));
    EXPECT_FALSE(b.Lock(false, false));
    EXPECT_TRUE(a.Unlock());
    ASSERT_TRUE(b.Lock(true, false));
    EXPECT_FALSE(a.Lock(true, false));
    EXPECT_TRUE(b.Unlock());
    EXPECT_TRUE(a.Lock(true, false));
    a.Close();
    EXPECT_FALSE(a.Unlock());
}

// An open file and its name agree on which file it is until the name is deleted
// or given to another file; the open file's status outlives its name.
TEST_F(FilesTest, StatusOfAPathAndOfAnOpenFileTellWhetherTheyAreOneFile) {
    const std::string path = dir_ + "/f.txt";
    const std::string other = dir_ + "/g.txt";
    FileStatus missing;
    EXPECT_FALSE(PathStatus(path, missing));

    File f;
    ASSERT_TRUE(f.OpenAppendReadable(path, 0600));
    ASSERT_TRUE(f.Write("12345"));
    FileStatus open, named;
    ASSERT_TRUE(f.Status(open));
    ASSERT_TRUE(PathStatus(path, named));
    EXPECT_EQ(open.device, named.device);
    EXPECT_EQ(open.inode, named.inode);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(named.device, static_cast<std::uint64_t>(st.st_dev));
    EXPECT_EQ(named.inode, static_cast<std::uint64_t>(st.st_ino));
    EXPECT_EQ(open.links, 1u);
    EXPECT_EQ(open.size, 5);
    EXPECT_EQ(named.size, 5);

    // Another file renamed over the name: the name now says a different file.
    File g;
    ASSERT_TRUE(g.Open(other, OpenMode::Truncate));
    ASSERT_TRUE(g.Write("x"));
    g.Close();
    ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
    ASSERT_TRUE(PathStatus(path, named));
    ASSERT_TRUE(f.Status(open));
    EXPECT_NE(open.inode, named.inode);
    EXPECT_EQ(named.size, 1);
    EXPECT_EQ(open.links, 0u);  // the old file lost its only name
    EXPECT_EQ(open.size, 5);

    // Deleted: no status by name, the open file still answers.
    ASSERT_TRUE(f.OpenAppendReadable(path, 0600));
    ASSERT_TRUE(RemoveFile(path));
    EXPECT_FALSE(PathStatus(path, named));
    ASSERT_TRUE(f.Status(open));
    EXPECT_EQ(open.links, 0u);
    EXPECT_EQ(open.size, 1);
    f.Close();
    EXPECT_FALSE(f.Status(open));
}

// An appender that can also read: writes still go to the end, reads at an offset
// leave them there, and the size follows the writes.
TEST_F(FilesTest, ReadableAppendReadsAnywhereAndStillWritesAtTheEnd) {
    const std::string path = dir_ + "/r.txt";
    File f;
    ASSERT_TRUE(f.OpenAppendReadable(path, 0600));
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::int64_t size = -1;
    ASSERT_TRUE(f.Size(size));
    EXPECT_EQ(size, 0);
    char buf[8] = {};
    EXPECT_EQ(f.ReadAt(buf, 4, 0), 0);  // nothing yet

    ASSERT_TRUE(f.Write("hello\n"));
    EXPECT_EQ(f.ReadAt(buf, 4, 1), 4);
    EXPECT_EQ(std::string(buf, 4), "ello");
    ASSERT_TRUE(f.Write("more\n"));  // after the read, still at the end
    EXPECT_EQ(f.ReadAt(buf, 8, 9), 2);  // short at the end
    EXPECT_EQ(std::string(buf, 2), "e\n");
    EXPECT_EQ(f.ReadAt(buf, 8, 11), 0);
    ASSERT_TRUE(f.Size(size));
    EXPECT_EQ(size, 11);
    f.Close();

    // Reopened: the content is kept, the mode of an existing file untouched.
    ASSERT_TRUE(f.OpenAppendReadable(path, 0644));
    ASSERT_TRUE(f.Write("end"));
    std::string content;
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ(content, "hello\nmore\nend");
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A write-only file cannot be read at an offset; a closed one has no size.
    File w;
    ASSERT_TRUE(w.Open(path, OpenMode::Append));
    EXPECT_EQ(w.ReadAt(buf, 1, 0), -1);
    w.Close();
    EXPECT_FALSE(w.Size(size));
    EXPECT_EQ(w.ReadAt(buf, 1, 0), -1);
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
