#include "store/section_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "store/contact_list_file.h"
#include "store/file_access.h"
#include "store/message_history.h"
#include "store/settings.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// Records every event as "S:<line>", "L:<line>" or "E".
class Recorder : public SectionFileHandler {
public:
    void OnLine(SectionEvent kind, const std::u16string& line) override {
        std::string text = Ascii(line);
        switch (kind) {
            case SectionEvent::SectionStart: events.push_back("S:" + text); break;
            case SectionEvent::SectionLine: events.push_back("L:" + text); break;
            case SectionEvent::SectionEnd: events.push_back("E"); break;
        }
    }
    std::vector<std::string> events;

private:
    static std::string Ascii(const std::u16string& s) {
        std::string out;
        for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '#';
        return out;
    }
};

class SectionFileTest : public ::testing::Test {
protected:
    std::vector<std::string> Read(const std::string& bytes) {
        WriteBytes(path_, bytes);
        Recorder recorder;
        EXPECT_TRUE(ReadSectionFile(recorder, path_));
        return recorder.events;
    }
    TempDir dir_;
    std::string path_ = dir_ / "f.txt";
};

TEST_F(SectionFileTest, MissingFileDeliversNothing) {
    Recorder recorder;
    EXPECT_FALSE(ReadSectionFile(recorder, dir_ / "absent.txt"));
    EXPECT_THAT(recorder.events, IsEmpty());
}

TEST_F(SectionFileTest, EmptyFileEndsOnce) { EXPECT_THAT(Read(""), ElementsAre("E")); }

TEST_F(SectionFileTest, CrIsTrimmedAtBothEndsOnlyAndLinesBeforeTheFirstHeaderAreDropped) {
    EXPECT_THAT(Read("stray\r\n\r\r[a]\r\r\n\r x\ry \r\r\n\n[b]\n"),
                ElementsAre("S:[a]", "L: x\ry ", "L:", "E", "S:[b]", "E"));
}

TEST_F(SectionFileTest, HeaderNeedsBracketsAtBothEndsAndTwoCharacters) {
    EXPECT_THAT(Read("[a]\r\n[x] y\r\n[\r\n]\r\n[]\r\n[[u]]\r\n"),
                ElementsAre("S:[a]", "L:[x] y", "L:[", "L:]", "E", "S:[]", "E", "S:[[u]]", "E"));
}

TEST_F(SectionFileTest, LastLineWithoutLfIsDeliveredAsItStands) {
    // No CR trimming, no header test, and even outside any section.
    EXPECT_THAT(Read("[a]\r\nk=v\r"), ElementsAre("S:[a]", "L:k=v\r", "E"));
    EXPECT_THAT(Read("[a]\r\n[b]"), ElementsAre("S:[a]", "L:[b]", "E"));
    EXPECT_THAT(Read("lonely"), ElementsAre("L:lonely", "E"));
}

TEST_F(SectionFileTest, RepeatedSectionsEachStartAndEnd) {
    EXPECT_THAT(Read("[a]\r\n1\r\n[a]\r\n2\r\n"),
                ElementsAre("S:[a]", "L:1", "E", "S:[a]", "L:2", "E"));
}

TEST_F(SectionFileTest, BytesAreWindows1251) {
    WriteBytes(path_, "[\xCF\xF0\xE8]\r\nk=\xE2\xE5\xF2\r\n");
    struct Capture : SectionFileHandler {
        void OnLine(SectionEvent kind, const std::u16string& line) override {
            if (kind != SectionEvent::SectionEnd) lines.push_back(line);
        }
        std::vector<std::u16string> lines;
    } capture;
    ASSERT_TRUE(ReadSectionFile(capture, path_));
    EXPECT_THAT(capture.lines, ElementsAre(u"[При]", u"k=вет"));
}

// Lines of about a kilobyte, their CR LF and their Cyrillic bytes come out whole
// wherever they stand in the file.
TEST_F(SectionFileTest, LinesSplitBetweenChunksAreJoined) {
    for (std::size_t pad = 1000; pad < 1030; ++pad) {
        const std::string head = "[s]\r\n" + std::string(pad, 'a') + "\r\n";
        const std::string line = "k=\xCF\xF0\xE8\xE2\xE5\xF2 end";
        const auto events = Read(head + line + "\r\n\r\n[t]\r\n");
        ASSERT_EQ(events.size(), 7u) << "pad " << pad;
        EXPECT_EQ(events[1], "L:" + std::string(pad, 'a')) << "pad " << pad;
        EXPECT_EQ(events[2], "L:k=###### end") << "pad " << pad;
        EXPECT_EQ(events[3], "L:") << "pad " << pad;
        EXPECT_EQ(events[5], "S:[t]") << "pad " << pad;
    }
}

// A file of many reads' worth: short lines, empty lines, lines longer than any
// read, headers among them and a last line without LF. Every event comes out as
// the file was built, whatever the read size.
TEST_F(SectionFileTest, LongFileReadsAsItWasBuilt) {
    std::mt19937 random(99);
    const std::string alphabet = "ab =\t\r\xCF\xF0\xE8";  // CR only inside lines
    std::string bytes = "[s0]\r\n";
    std::vector<std::string> expected = {"S:[s0]"};
    while (bytes.size() < 700'000) {
        const unsigned kind = random() % 20;
        if (kind == 0) {
            const std::string header = "[h" + std::to_string(expected.size()) + "]";
            bytes += header + "\r\n";
            expected.push_back("E");
            expected.push_back("S:" + header);
            continue;
        }
        const std::size_t length = kind == 1 ? 0 : kind == 2 ? 40'000 + random() % 100'000
                                                             : random() % 200;
        std::string line;
        std::string shown;
        for (std::size_t i = 0; i < length; ++i) {
            const char c = i == 0 || i + 1 == length ? 'a' : alphabet[random() % alphabet.size()];
            line += c;
            shown += static_cast<unsigned char>(c) < 0x80 ? c : '#';
        }
        bytes += line + "\r\n";
        expected.push_back("L:" + shown);
    }
    bytes += "tail";
    expected.push_back("L:tail");
    expected.push_back("E");
    const std::vector<std::string> events = Read(bytes);
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        ASSERT_EQ(events[i], expected[i]) << "event " << i;
    }
}

TEST(SplitKeyValueTest, TrimsOnlyAroundTheFirstEqualsSign) {
    struct Row {
        std::u16string line, key, value;
    };
    const Row rows[] = {
        {u"onlyonline = 1", u"onlyonline", u"1"},
        {u" onlyonline=1", u" onlyonline", u"1"},
        {u"my key\t =  my value ", u"my key", u"my value "},
        {u"a=b=c", u"a", u"b=c"},
        {u"=x", u"", u"x"},
        {u"k=", u"k", u""},
    };
    for (const Row& row : rows) {
        std::u16string key, value;
        ASSERT_TRUE(SplitKeyValue(row.line, key, value));
        EXPECT_EQ(key, row.key);
        EXPECT_EQ(value, row.value);
    }
    std::u16string key, value;
    EXPECT_FALSE(SplitKeyValue(u"no equals sign", key, value));
}

TEST(DataDirectoryTest, BesideTheExecutableWhenThereOtherwiseInTheUsersDataFolder) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "app").c_str(), 0755), 0);
    const std::string exe = dir / "app/pellox";
    const std::string home = "/home/u/.local/share";
    EXPECT_EQ(DataDirectoryFor(exe, true, home), home + "/pellox/History/");
    EXPECT_EQ(DataDirectoryFor(exe, false, home), home + "/pellox/History/");
    EXPECT_EQ(DataDirectoryFor("pellox", true, home), home + "/pellox/History/");
    EXPECT_EQ(DataDirectoryFor(exe, true, ""), "./History/");
    // Anything named "History" there counts, even a link: its judgement comes later.
    ASSERT_EQ(::symlink("/nowhere", (dir / "app/History").c_str()), 0);
    EXPECT_EQ(DataDirectoryFor(exe, true, home), dir / "app/History/");
}

TEST(DataDirectoryTest, UserDataFolderFollowsTheEnvironment) {
    const std::string oldData = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", "/home/u/", 1);
    ::setenv("XDG_DATA_HOME", "/data/", 1);
    EXPECT_EQ(platform::UserDataHome(), "/data");
    ::setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored
    EXPECT_EQ(platform::UserDataHome(), "/home/u/.local/share");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(platform::UserDataHome(), "/home/u/.local/share");
    ::setenv("HOME", oldHome.c_str(), 1);
    if (oldData.empty()) {
        ::unsetenv("XDG_DATA_HOME");
    } else {
        ::setenv("XDG_DATA_HOME", oldData.c_str(), 1);
    }
}

TEST(DataDirectoryTest, OverrideIsCreatedPrivate) {
    TempDir dir;
    const std::string data = dir / "data";
    SetDataDirectoryForTesting(data);
    EXPECT_EQ(DataDirectory(), data + "/");
    EXPECT_EQ(DataDirectoryTrust(), platform::DirectoryTrust::Private);
    struct stat st{};
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, kDataDirectoryMode);
    ASSERT_TRUE(platform::MakeDirectories(dir / "a/b/c", 0700));
    ASSERT_EQ(::stat((dir / "a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Someone else prepared the data folder: a link to a folder of theirs, or a folder
// anyone may write in. Nothing is read from it or written to it, and the folder
// the link leads to stays as it was. A folder the group may write in is another's too.
TEST(DataDirectoryTest, FolderOfAnotherIsNeitherReadNorWritten) {
    const std::string planted = "[settings]\r\nprofile=1\r\n[1]\r\npassw=theirs\r\n";
    const std::string entry = "[IN 01.01.2026 00:00:00]\r\nhi\r\n";
    struct Case {
        const char* what;
        platform::DirectoryTrust trust;
        mode_t mode;  // of the folder the data path names or leads to
    };
    for (const Case& c : {Case{"link", platform::DirectoryTrust::Link, 0700},
                          Case{"0777", platform::DirectoryTrust::WritableByOthers, 0777},
                          Case{"0775", platform::DirectoryTrust::WritableByOthers, 0775},
                          Case{"0770", platform::DirectoryTrust::WritableByOthers, 0770}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string target = dir / "target";
        ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
        std::string data = dir / "History";
        if (c.trust == platform::DirectoryTrust::Link) {
            ASSERT_EQ(::symlink(target.c_str(), data.c_str()), 0);
        } else {
            data = target;
            ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        }
        data += "/";
        WriteBytes(target + "/settings.txt", planted);
        WriteBytes(target + "/contacts_1.txt", "[2]\r\nname=x\r\n");
        WriteBytes(target + "/msg_2.txt", entry);

        Settings settings;
        settings.Load(data);
        EXPECT_TRUE(settings.profiles.empty());
        std::vector<ContactInfo> contacts;
        EXPECT_FALSE(ReadContactListFile(data + "contacts_1.txt", contacts));
        EXPECT_TRUE(contacts.empty());
        MessageHistory history(data);
        (void)history.Load("msg_2.txt");
        EXPECT_EQ(history.Count(), 0u);

        EXPECT_FALSE(Settings().Save(data));
        EXPECT_FALSE(AppendToFile(data + "msg_2.txt", entry));
        EXPECT_FALSE(AppendToFile(data + "msg_3.txt", entry));
        EXPECT_THAT(testing::Names(target), ElementsAre("contacts_1.txt", "msg_2.txt", "settings.txt"));
        EXPECT_EQ(ReadBytes(target + "/settings.txt"), planted);
        EXPECT_EQ(ReadBytes(target + "/msg_2.txt"), entry);

        SetDataDirectoryForTesting(data);
        EXPECT_EQ(DataDirectoryTrust(), c.trust);
    }
}

// Links put in place of stored files inside a private folder are never followed:
// reading them gives nothing, an append fails, a rewrite replaces the link.
TEST(DataDirectoryTest, LinkedFilesAreNotFollowed) {
    TempDir dir;
    const std::string data = dir / "data/";
    ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
    const std::string secret = "[1]\r\nname=secret\r\n";
    WriteBytes(dir / "victim.txt", secret);
    for (const char* name : {"msg_1.txt", "settings.txt", "contacts_1.txt"}) {
        ASSERT_EQ(::symlink((dir / "victim.txt").c_str(), (data + name).c_str()), 0);
    }
    const std::string entry = "[IN 01.01.2026 00:00:00]\r\nhi\r\n";
    EXPECT_FALSE(AppendToFile(data + "msg_1.txt", entry));
    MessageHistory history(data);
    (void)history.Load("msg_1.txt");
    EXPECT_EQ(history.Count(), 0u);
    std::vector<ContactInfo> contacts;
    EXPECT_FALSE(ReadContactListFile(data + "contacts_1.txt", contacts));
    Settings settings;
    settings.profile = u"1";
    ASSERT_TRUE(settings.Save(data));
    struct stat st{};
    ASSERT_EQ(::lstat((data + "settings.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadBytes(dir / "victim.txt"), secret);
}

// One Pellox per data folder: the second is told the folder is in use, the lock
// goes with the process that held it, and a folder of another is not locked.
TEST(DataDirectoryTest, OneProcessAtATimeHoldsTheFolder) {
    TempDir dir;
    platform::File first, second;
    ASSERT_EQ(LockDataDirectory(dir.path(), first), InstanceLock::Taken);
    EXPECT_EQ(LockDataDirectory(dir.path(), second), InstanceLock::InUse);
    first.Close();
    ASSERT_EQ(LockDataDirectory(dir.path(), second), InstanceLock::Taken);
    second.Close();

    {
        platform::File held;
        testing::ChildHolding child(
            [&] { return LockDataDirectory(dir.path(), held) == InstanceLock::Taken; });
        ASSERT_TRUE(child.taken());
        EXPECT_EQ(LockDataDirectory(dir.path(), first), InstanceLock::InUse);
    }
    EXPECT_EQ(LockDataDirectory(dir.path(), first), InstanceLock::Taken);

    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    EXPECT_EQ(LockDataDirectory(dir.path(), second), InstanceLock::Failed);
}

TEST(FileNameComponentTest, KeepsNamesInsideTheDirectoryAndDistinct) {
    EXPECT_EQ(FileNameComponent(u"123456"), "123456");
    EXPECT_EQ(FileNameComponent(u"../x/y"), "..%2Fx%2Fy");
    EXPECT_EQ(FileNameComponent(u"a%2Fb"), "a%252Fb");
    EXPECT_EQ(FileNameComponent(std::u16string(u"a\0b", 3)), "a%00b");
    EXPECT_EQ(FileNameComponent(u"Ж\U0001F600"), "\xD0\x96\xF0\x9F\x98\x80");
    EXPECT_EQ(FileNameComponent(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

TEST(ReplaceFileContentsTest, CancelledWriteKeepsTheOldFile) {
    TempDir dir;
    WriteBytes(dir / "x.txt", "old");
    EXPECT_FALSE(ReplaceFileContents(dir.path(), "x.txt", [] { return std::nullopt; }));
    EXPECT_EQ(ReadBytes(dir / "x.txt"), "old");
    EXPECT_TRUE(ReplaceFileContents(dir.path(), "x.txt", [] { return std::string("new"); }));
    EXPECT_EQ(ReadBytes(dir / "x.txt"), "new");
    EXPECT_THAT(testing::Names(dir.path()), ElementsAre(kInstanceLockName, "x.txt"));
}

}  // namespace
}  // namespace pellox
