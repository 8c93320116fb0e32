#include "store/section_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "store/file_access.h"
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

TEST(DataDirectoryTest, SitsBesideTheExecutable) {
    EXPECT_EQ(DataDirectoryFor("/opt/pellox/bin/pellox", true), "/opt/pellox/bin/History/");
    EXPECT_EQ(DataDirectoryFor("/pellox", true), "./History/");
    EXPECT_EQ(DataDirectoryFor("pellox", true), "./History/");
    EXPECT_EQ(DataDirectoryFor("/opt/pellox", false), "./History/");
}

TEST(DataDirectoryTest, OverrideIsCreatedPrivate) {
    TempDir dir;
    const std::string data = dir / "data";
    SetDataDirectoryForTesting(data);
    EXPECT_EQ(DataDirectory(), data + "/");
    struct stat st{};
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, kDataDirectoryMode);
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
    EXPECT_FALSE(platform::FileExists(dir / "x.txt.tmp"));
}

}  // namespace
}  // namespace pellox
