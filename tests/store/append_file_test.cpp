// AppendToFile keeps the descriptors of recently appended files open. Whatever
// happens to a file between two appends (deleted, replaced, moved, rewritten, its
// directory moved or removed, the process forked), the next entry goes to the file
// the path names then, exactly once, on a line of its own, and no more descriptors
// (nor path lock entries) stay than the few it keeps. Each test runs with the kept
// files' change watch and without it (as where the system gives none).
#include <gmock/gmock.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/file_access.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

const std::string kFirst = "[IN 01.01.2026 00:00:00]\r\none\r\n";
const std::string kSecond = "[OUT 01.01.2026 00:00:01]\r\ntwo\r\n";

// What this process's open descriptors name, by descriptor number, from
// /proc/self/fd; a deleted file's name ends in " (deleted)".
std::vector<std::pair<int, std::string>> OpenDescriptors() {
    std::vector<std::pair<int, std::string>> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
        // The change watch's own descriptor names no file.
        if (!error && target.string().rfind("anon_inode:", 0) != 0) {
            out.emplace_back(std::stoi(entry.path().filename().string()), target.string());
        }
    }
    return out;
}

// The names of the open files inside the directory, deleted ones included.
std::multiset<std::string> OpenFilesIn(const std::string& directory) {
    std::multiset<std::string> out;
    for (const auto& [fd, target] : OpenDescriptors()) {
        if (target.rfind(directory, 0) == 0) out.insert(target.substr(directory.size()));
    }
    return out;
}

std::string ReadAll(platform::File& file) {
    std::string bytes;
    char buf[256];
    for (long n; (n = file.Read(buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<std::size_t>(n));
    return bytes;
}

class AppendToFileTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { SetAppendWatchForTesting(GetParam()); }
    void TearDown() override {
        CloseKeptAppendFiles();  // the next test's files start unwatched or watched afresh
        SetAppendWatchForTesting(true);
    }
};

INSTANTIATE_TEST_SUITE_P(Watch, AppendToFileTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Watched" : "Unwatched";
                         });

TEST_P(AppendToFileTest, FileDeletedMeanwhileIsCreatedAnewAndPrivate) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    platform::File deleted;
    ASSERT_TRUE(deleted.Open(path, platform::OpenMode::Read));
    ASSERT_EQ(::unlink(path.c_str()), 0);  // as another process would

    ASSERT_TRUE(AppendToFile(path, kSecond));
    EXPECT_EQ(ReadBytes(path), kSecond);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, kStoredFileMode);
    EXPECT_EQ(ReadAll(deleted), kFirst);  // nothing went into the deleted file
    deleted.Close();
    EXPECT_THAT(OpenFilesIn(dir.path()), ::testing::ElementsAre("msg_1.txt"));
}

TEST_P(AppendToFileTest, AppendGoesToTheFileRenamedOverThePath) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    platform::File replaced;
    ASSERT_TRUE(replaced.Open(path, platform::OpenMode::Read));

    // The new file is longer than the old one and ends inside a line.
    const std::string other = "[IN 01.01.2026 00:00:02]\r\nfrom elsewhere, cut";
    WriteBytes(dir / "new.tmp", other);
    ASSERT_EQ(::rename((dir / "new.tmp").c_str(), path.c_str()), 0);
    ASSERT_TRUE(AppendToFile(path, kSecond));
    EXPECT_EQ(ReadBytes(path), other + "\r\n" + kSecond);
    EXPECT_EQ(ReadAll(replaced), kFirst);
}

TEST_P(AppendToFileTest, FileMovedAwayKeepsItsEntriesAndThePathGetsANewOne) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    ASSERT_EQ(::rename(path.c_str(), (dir / "moved.txt").c_str()), 0);
    ASSERT_TRUE(AppendToFile(path, kSecond));
    EXPECT_EQ(ReadBytes(dir / "moved.txt"), kFirst);
    EXPECT_EQ(ReadBytes(path), kSecond);
    EXPECT_THAT(OpenFilesIn(dir.path()), ::testing::ElementsAre("msg_1.txt"));
}

TEST_P(AppendToFileTest, DeleteStoredFileClosesTheKeptDescriptor) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    EXPECT_THAT(OpenFilesIn(dir.path()), ::testing::ElementsAre("msg_1.txt"));
    ASSERT_TRUE(DeleteStoredFile(path));
    EXPECT_THAT(OpenFilesIn(dir.path()), ::testing::IsEmpty());
    ASSERT_TRUE(AppendToFile(path, kSecond));
    EXPECT_EQ(ReadBytes(path), kSecond);
}

TEST_P(AppendToFileTest, ClosingTheKeptDescriptorsLeavesAppendsWorking) {
    TempDir dir;
    const std::string a = dir / "msg_1.txt";
    const std::string b = dir / "msg_2.txt";
    ASSERT_TRUE(AppendToFile(a, kFirst));
    ASSERT_TRUE(AppendToFile(b, kFirst));
    EXPECT_THAT(OpenFilesIn(dir.path()), ::testing::UnorderedElementsAre("msg_1.txt", "msg_2.txt"));
    CloseKeptAppendFiles();
    EXPECT_THAT(OpenFilesIn(dir.path()), ::testing::IsEmpty());
    EXPECT_EQ(PathLock::TableSizeForTesting(), 0u);  // nor a lock entry of theirs
    ASSERT_TRUE(AppendToFile(a, kSecond));
    EXPECT_EQ(ReadBytes(a), kFirst + kSecond);
    EXPECT_EQ(ReadBytes(b), kFirst);
}

// Another process may take the file's lock as soon as an append returns, although
// the descriptor stays open.
TEST_P(AppendToFileTest, KeptDescriptorHoldsNoLockBetweenAppends) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    platform::File other;
    ASSERT_TRUE(other.Open(path, platform::OpenMode::Append));
    EXPECT_TRUE(other.Lock(/*exclusive=*/true, /*wait=*/false));
    other.Close();
    ASSERT_TRUE(AppendToFile(path, kSecond));
    ASSERT_TRUE(other.Open(path, platform::OpenMode::Append));
    EXPECT_TRUE(other.Lock(/*exclusive=*/true, /*wait=*/false));
    EXPECT_EQ(ReadBytes(path), kFirst + kSecond);
}

// A test's temporary directory goes away whole although a descriptor of a file in
// it is kept; an append afterwards fails instead of writing into the deleted file.
TEST_P(AppendToFileTest, RemovedDirectoryIsGoneAndALaterAppendFails) {
    std::string directory;
    std::string path;
    {
        TempDir dir;
        directory = dir.path();
        path = dir / "msg_1.txt";
        ASSERT_TRUE(AppendToFile(path, kFirst));
    }
    EXPECT_FALSE(platform::FileExists(directory));
    EXPECT_FALSE(AppendToFile(path, kSecond));
    EXPECT_FALSE(platform::FileExists(directory));
    EXPECT_THAT(OpenFilesIn(directory), ::testing::IsEmpty());
}

// Appends going round more paths than descriptors are kept: each file holds
// exactly its own entries, never more than kKeptAppendFiles stay open, and the
// ones kept are those appended to most recently.
TEST_P(AppendToFileTest, MorePathsThanAreKeptEachHoldExactlyTheirEntries) {
    TempDir dir;
    const std::size_t before = OpenDescriptors().size();
    constexpr int kPaths = 3 * static_cast<int>(kKeptAppendFiles) + 1;
    auto name = [](int p) { return "msg_" + std::to_string(p) + ".txt"; };
    std::vector<std::string> expected(kPaths);
    auto append = [&](int p, int round) {
        const std::string entry = "[IN 01.01.2026 00:00:00]\r\npath " + std::to_string(p) +
                                  " round " + std::to_string(round) + "\r\n";
        ASSERT_TRUE(AppendToFile(dir / name(p), entry));
        expected[static_cast<std::size_t>(p)] += entry;
        ASSERT_LE(OpenFilesIn(dir.path()).size(), kKeptAppendFiles);
    };
    for (int round = 0; round < 3; ++round) {
        for (int p = 0; p < kPaths; ++p) append(p, round);
    }
    EXPECT_LE(OpenDescriptors().size(), before + kKeptAppendFiles);
    // The lock table holds the kept paths only, not every path ever appended to.
    EXPECT_LE(PathLock::TableSizeForTesting(), kKeptAppendFiles);

    auto recent = [&](int from, int to) {
        std::multiset<std::string> names;
        for (int p = from; p < to; ++p) names.insert(name(p));
        return names;
    };
    const int firstKept = kPaths - static_cast<int>(kKeptAppendFiles);
    EXPECT_EQ(OpenFilesIn(dir.path()), recent(firstKept, kPaths));
    // Used again, the oldest kept path becomes the newest: a new path then closes
    // the next oldest instead.
    append(firstKept, 3);
    append(0, 3);
    std::multiset<std::string> kept = recent(firstKept + 2, kPaths);
    kept.insert(name(firstKept));
    kept.insert(name(0));
    EXPECT_EQ(OpenFilesIn(dir.path()), kept);

    for (int p = 0; p < kPaths; ++p) EXPECT_EQ(ReadBytes(dir / name(p)), expected[static_cast<std::size_t>(p)]);
}

void RawAppend(const std::string& path, const std::string& bytes) {
    platform::File file;
    ASSERT_TRUE(file.Open(path, platform::OpenMode::Append));
    ASSERT_TRUE(file.Write(bytes));
}

// AppendToFile remembers where its last append ended, but whatever another writer
// did to the file since, the next entry starts on a line of its own and no line
// break is added where none is missing.
TEST_P(AppendToFileTest, EachEntryStartsOnItsOwnLineWhateverAnotherWriterDidMeanwhile) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    const std::string entry = "[IN 01.01.2026 00:00:00]\r\n\xEF\xF0\xE8\xE2\xE5\xF2\r\n";
    std::string expected;
    auto append = [&] {
        ASSERT_TRUE(AppendToFile(path, entry));
        expected += entry;
        ASSERT_EQ(ReadBytes(path), expected);
    };
    append();
    append();

    // Longer than remembered: a cut entry, then a whole one.
    RawAppend(path, "[OUT 01.01.2026 00:00:02]\r\nha");
    expected += "[OUT 01.01.2026 00:00:02]\r\nha\r\n";
    append();
    RawAppend(path, "[OUT 01.01.2026 00:00:01]\r\nb\r\n");
    expected += "[OUT 01.01.2026 00:00:01]\r\nb\r\n";
    append();

    // Rewritten to the very size remembered, now ending inside a line.
    expected.back() = 'x';
    WriteBytes(path, expected);
    expected += "\r\n";
    append();

    // Shorter than remembered: cut inside a line, then at a line end.
    expected.resize(expected.size() - 5);
    WriteBytes(path, expected);
    expected += "\r\n";
    append();
    expected = entry;
    WriteBytes(path, expected);
    append();

    // Emptied, and deleted: the entry is all there is.
    WriteBytes(path, "");
    expected.clear();
    append();
    ASSERT_TRUE(DeleteStoredFile(path));
    expected.clear();
    append();
}

// The kept file's directory moved away, and a new one made at its path: the entry
// goes to the new directory's file.
TEST_P(AppendToFileTest, DirectoryMovedAwayThePathGetsANewFile) {
    TempDir dir;
    ASSERT_TRUE(platform::MakeDirectory(dir / "History", 0700));
    const std::string path = dir / "History/msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    ASSERT_EQ(::rename((dir / "History").c_str(), (dir / "Old").c_str()), 0);
    ASSERT_TRUE(platform::MakeDirectory(dir / "History", 0700));
    ASSERT_TRUE(AppendToFile(path, kSecond));
    EXPECT_EQ(ReadBytes(dir / "Old/msg_1.txt"), kFirst);
    EXPECT_EQ(ReadBytes(path), kSecond);
}

// A child process inherits the kept descriptors, and with them the parent's open
// file and its flock, which would not keep the two apart: the child opens its own,
// and waits while the parent holds the lock.
TEST_P(AppendToFileTest, ForkedChildDoesNotShareTheParentsLock) {
    TempDir dir;
    const std::string path = dir / "msg_1.txt";
    ASSERT_TRUE(AppendToFile(path, kFirst));
    int kept = -1;
    for (const auto& [fd, target] : OpenDescriptors()) {
        if (target == path) kept = fd;
    }
    ASSERT_GE(kept, 0) << "no descriptor of the file is kept";
    EXPECT_NE(::fcntl(kept, F_GETFD) & FD_CLOEXEC, 0);  // a program started from here gets none
    ASSERT_EQ(::flock(kept, LOCK_EX), 0);  // the parent in the middle of an append

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(AppendToFile(path, kSecond) ? 0 : 1);
    ::usleep(300'000);
    EXPECT_EQ(ReadBytes(path), kFirst) << "the child wrote while the parent held the lock";
    ASSERT_EQ(::flock(kept, LOCK_UN), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadBytes(path), kFirst + kSecond);
}

}  // namespace
}  // namespace pellox
