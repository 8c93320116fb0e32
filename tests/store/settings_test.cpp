#include "store/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store/file_access.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

class SettingsFileTest : public ::testing::Test {
protected:
    Settings LoadFrom(const std::string& bytes) {
        WriteBytes(dir_ / kSettingsFileName, bytes);
        Settings settings;
        settings.Load(dir_.path());
        return settings;
    }
    TempDir dir_;
};

TEST_F(SettingsFileTest, WritesEveryLineInOrderAsWindows1251CrLf) {
    Settings settings;
    settings.profile = u"123";
    settings.columns = 3;
    settings.autoconnect = true;
    settings.showhistory = false;
    settings.reconnect = true;
    settings.typing = true;
    settings.onlylisted = true;
    settings.language = u"en";
    settings.Password(u"123") = u"пароль";
    settings.profiles[u"5"].values[u"z"] = u"last";
    settings.profiles[u"5"].values[u"a"] = u"first";
    settings.Password(u"10") = u"x y";
    settings.Password(u"") = u"never written";
    settings.Password(u"77\r\n[8]") = std::u16string(u"pa\r\nss\0w", 9);  // pasted line breaks
    ASSERT_TRUE(settings.Save(dir_.path()));
    EXPECT_EQ(ReadBytes(dir_ / kSettingsFileName),
              "[settings]\r\n"
              "profile=123\r\n"
              "onlyonline=1\r\n"
              "columns=3\r\n"
              "autoconnect=1\r\n"
              "sendclose=1\r\n"
              "showhistory=0\r\n"
              "reconnect=1\r\n"
              "typing=1\r\n"
              "onlylisted=1\r\n"
              "language=en\r\n"
              "[10]\r\n"
              "passw=x y\r\n"
              "[123]\r\n"
              "passw=\xEF\xE0\xF0\xEE\xEB\xFC\r\n"
              "[5]\r\n"
              "a=first\r\n"
              "z=last\r\n"
              "[77[8]]\r\n"
              "passw=passw\r\n");
    EXPECT_EQ(settings.profiles.count(u""), 1u);  // kept in memory all the same
}

// A file without a language (all files before it existed) reads and writes as
// before; any value read is written back as it was, to be judged by the interface.
TEST_F(SettingsFileTest, LanguageIsWrittenOnlyWhenSet) {
    EXPECT_EQ(Settings().FileContent().find("language"), std::string::npos);
    EXPECT_EQ(LoadFrom("[settings]\r\ntyping=1\r\n").language, u"");
    const Settings odd = LoadFrom("[settings]\r\nlanguage=de\r\n");
    EXPECT_EQ(odd.language, u"de");
    EXPECT_NE(odd.FileContent().find("onlylisted=0\r\nlanguage=de\r\n"), std::string::npos);
}

TEST_F(SettingsFileTest, FileIsPrivateAndNoTemporaryIsLeft) {
    WriteBytes(dir_ / kSettingsFileName, "[settings]\r\n");
    ::chmod((dir_ / kSettingsFileName).c_str(), 0644);
    ASSERT_TRUE(Settings().Save(dir_.path()));
    // The lock of the rewrite is a file of its own, as private as the rest.
    EXPECT_THAT(testing::Names(dir_.path()), ElementsAre(kInstanceLockName, kSettingsFileName));
    for (const std::string name : {kInstanceLockName, kSettingsFileName}) {
        struct stat st{};
        ASSERT_EQ(::stat((dir_ / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

TEST_F(SettingsFileTest, RoundTripKeepsEveryValue) {
    Settings settings;
    settings.profile = u"777";
    settings.onlyonline = false;
    settings.columns = 4;
    settings.sendclose = false;
    settings.reconnect = true;
    settings.onlylisted = true;
    settings.profiles[u"777"].values[kStatusKey] = u"2";
    settings.profiles[u"777"].values[AwayTextKey(2)] = u"ушёл = вернусь";
    settings.Password(u"777") = u"секрет = с пробелами";
    settings.profiles[u"777"].values[u"other key"] = u"carried along";
    ASSERT_TRUE(settings.Save(dir_.path()));
    Settings loaded;
    loaded.Load(dir_.path());
    EXPECT_EQ(loaded, settings);
}

TEST_F(SettingsFileTest, FlagsAndColumnsReadTheLeadingDigits) {
    struct Row {
        const char* line;
        bool onlyonline;
        int columns;
    };
    const Row rows[] = {
        {"onlyonline=2", true, 2},      {"onlyonline=-1", false, 2},
        {"onlyonline=yes", false, 2},   {"onlyonline=", false, 2},
        {"onlyonline = 0", false, 2},   {"onlyonline=00", false, 2},
        {"columns=3", true, 3},         {"columns=0", true, 1},
        {"columns=9", true, 4},         {"columns=x", true, 1},
        {"columns=3abc", true, 3},      {"columns=99999999999999", true, 4},
    };
    for (const Row& row : rows) {
        const Settings s = LoadFrom(std::string("[settings]\r\n") + row.line + "\r\n");
        EXPECT_EQ(s.onlyonline, row.onlyonline) << row.line;
        EXPECT_EQ(s.columns, row.columns) << row.line;
    }
}

TEST_F(SettingsFileTest, LastLineWithoutLineEndIsApplied) {
    EXPECT_FALSE(LoadFrom("[settings]\r\nsendclose=1\r\nshowhistory=0").showhistory);
}

TEST_F(SettingsFileTest, UnknownKeysLeadingBlanksAndStrayLinesAreIgnored) {
    const Settings s = LoadFrom(
        "showhistory=0\r\n"  // before any section
        "[settings]\r\n"
        " showhistory=0\r\n"  // a different key
        "sendclose\r\n"       // no "="
        "[settings] trailing\r\n"
        "unknown=1\r\n"
        "profile=42\r\n");
    EXPECT_TRUE(s.showhistory);
    EXPECT_TRUE(s.sendclose);
    EXPECT_EQ(s.profile, u"42");
    EXPECT_NE(s.FileContent().find("profile=42\r\n"), std::string::npos);
    EXPECT_EQ(s.FileContent().find("unknown"), std::string::npos);
}

TEST_F(SettingsFileTest, SectionNamesDropEveryOuterBracket) {
    const Settings s = LoadFrom(
        "[[123]]\r\npassw=a\r\n"
        "[]\r\npassw=lost\r\n"
        "[[]]\r\npassw=lost too\r\n"
        "[settings]\r\nprofile=123\r\n"
        "[[settings]]\r\npassw=dropped\r\ncolumns=1\r\n");
    ASSERT_EQ(s.profiles.size(), 1u);
    EXPECT_EQ(s.profiles.at(u"123").values.at(u"passw"), u"a");
    EXPECT_EQ(s.columns, 1);  // "[[settings]]" is the settings section again

    // Zeros go before the brackets do, as a save would write the name.
    static const char kZeros[] = "[settings\0]\0]\r\ncolumns=3\r\n";
    EXPECT_EQ(LoadFrom(std::string(kZeros, sizeof kZeros - 1)).columns, 3);
}

TEST_F(SettingsFileTest, RepeatedSectionsMergeAndTheLastValueWins) {
    const Settings s = LoadFrom(
        "[5]\r\npassw=one\r\nkey with spaces = value with spaces\r\n"
        "[6]\r\npassw=six\r\n"
        "[5]\r\npassw=two\r\n");
    ASSERT_EQ(s.profiles.size(), 2u);
    const auto& five = s.profiles.at(u"5").values;
    EXPECT_EQ(five.at(u"passw"), u"two");
    EXPECT_EQ(five.at(u"key with spaces"), u"value with spaces");
}

TEST_F(SettingsFileTest, LoadStartsFromResetButKeepsAutoconnect) {
    Settings s;
    s.autoconnect = true;
    s.profile = u"9";
    s.columns = 4;
    s.Password() = u"p";
    s.Load(dir_.path());  // no file
    EXPECT_TRUE(s.autoconnect);
    EXPECT_EQ(s.profile, u"");
    EXPECT_EQ(s.columns, 2);
    EXPECT_TRUE(s.profiles.empty());

    s = LoadFrom("[settings]\r\nautoconnect=0\r\n");
    EXPECT_FALSE(s.autoconnect);
}

TEST(SettingsTest, PasswordCreatesAndEraseProfileCounts) {
    Settings s;
    s.profile = u"100";
    EXPECT_EQ(s.Password(), u"");
    ASSERT_EQ(s.profiles.count(u"100"), 1u);
    EXPECT_EQ(s.profiles.at(u"100").values.count(u"passw"), 1u);
    s.Password(u"200") = u"secret";
    EXPECT_EQ(s.Password(u"200"), u"secret");
    EXPECT_EQ(s.EraseProfile(u"200"), 1u);
    EXPECT_EQ(s.EraseProfile(u"200"), 0u);
    EXPECT_EQ(s.profiles.size(), 1u);
}

// A save killed after its temporary file is on disk and before the rename must
// leave the previous file intact and loadable.
TEST_F(SettingsFileTest, SaveKilledBeforeTheRenameKeepsTheOldFile) {
    Settings before;
    before.profile = u"111";
    before.Password(u"111") = u"old";
    ASSERT_TRUE(before.Save(dir_.path()));
    const std::string oldBytes = ReadBytes(dir_ / kSettingsFileName);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetBeforeReplaceHookForTesting([](const std::string&) { ::raise(SIGKILL); });
        Settings after;
        after.profile = u"222";
        after.Password(u"222") = std::u16string(100000, u'x');
        (void)after.Save(dir_.path());
        ::_exit(0);  // not reached when the hook ran
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    // The child got that far: its temporary file, with a name nobody could guess.
    const std::vector<std::string> names = testing::Names(dir_.path());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], kInstanceLockName);
    EXPECT_EQ(names[1], kSettingsFileName);
    EXPECT_THAT(names[2], StartsWith("settings.txt.tmp-"));
    EXPECT_GE(names[2].size(), std::string("settings.txt.tmp-").size() + 12);
    EXPECT_EQ(ReadBytes(dir_ / kSettingsFileName), oldBytes);
    Settings loaded;
    loaded.Load(dir_.path());
    EXPECT_EQ(loaded, before);

    // The next save removes the leftover and succeeds.
    ASSERT_TRUE(loaded.Save(dir_.path()));
    EXPECT_THAT(testing::Names(dir_.path()), ElementsAre(kInstanceLockName, kSettingsFileName));
}

}  // namespace
}  // namespace pellox
