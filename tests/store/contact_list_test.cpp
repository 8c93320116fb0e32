#include "store/contact_list_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "store/app_state.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using testing::HonourFilePermissions;
using testing::ReadBytes;
using testing::Info;
using testing::TempDir;
using testing::WriteBytes;

std::vector<ContactInfo> ReadList(const TempDir& dir, const std::string& bytes) {
    WriteBytes(dir / "contacts_1.txt", bytes);
    std::vector<ContactInfo> out;
    EXPECT_TRUE(ReadContactListFile(dir / "contacts_1.txt", out));
    return out;
}

TEST(ContactListFileTest, FileNameCarriesTheProfile) {
    EXPECT_EQ(ContactListFileName(u"123456"), "contacts_123456.txt");
    EXPECT_EQ(ContactListFileName(u""), "contacts_.txt");
    EXPECT_EQ(ContactListFileName(u"../1"), "contacts_..%2F1.txt");
}

TEST(ContactListFileTest, WritesUinAndNameOfEachContactInListOrder) {
    EXPECT_EQ(FormatContactList({Info(u"22", u"Вася"), Info(u"11"), Info(u"[7]", u"a b"),
                                 Info(u"33\r\n", std::u16string(u"x\r\n[9]\nname=y\0z", 15))}),
              "[22]\r\nname=\xC2\xE0\xF1\xFF\r\n"
              "[11]\r\nname=\r\n"
              "[[7]]\r\nname=a b\r\n"
              "[33]\r\nname=x[9]name=yz\r\n");  // a pasted line break ends no line
}

// Names outside the code page, and a literal "&#", are written as references and
// read back whole; a name of code page characters is written as it stands.
TEST(ContactListFileTest, NamesOutsideTheCodePageRoundTripAsReferences) {
    const std::vector<ContactInfo> contacts = {
        Info(u"1", u"Zo\u00EB \U0001F600"), Info(u"2", u"A&#38;B &# &"), Info(u"3", u"\u20AC\u2116")};
    const std::string bytes = FormatContactList(contacts);
    EXPECT_EQ(bytes,
              "[1]\r\nname=Zo&#235; &#128512;\r\n"
              "[2]\r\nname=A&#38;#38;B &#38;# &\r\n"
              "[3]\r\nname=\x88\xB9\r\n");
    TempDir dir;
    EXPECT_EQ(ReadList(dir, bytes), contacts);
}

// The ignore mark is written only for an ignored contact and read back; any other
// value of the key reads as not ignored.
TEST(ContactListFileTest, TheIgnoreMarkRoundTrips) {
    ContactInfo ignored = Info(u"5", u"Spam");
    ignored.SetIgnored(true);
    const std::string bytes = FormatContactList({ignored, Info(u"6", u"Friend")});
    EXPECT_EQ(bytes, "[5]\r\nname=Spam\r\nignored=1\r\n[6]\r\nname=Friend\r\n");
    TempDir dir;
    EXPECT_EQ(ReadList(dir, bytes), (std::vector<ContactInfo>{ignored, Info(u"6", u"Friend")}));
    EXPECT_FALSE(ReadList(dir, "[7]\r\nname=\r\nignored=yes\r\n").front().ignored());
}

TEST(ContactListFileTest, ReadsSectionsWithUinAndName) {
    TempDir dir;
    const auto list = ReadList(dir,
                               "[100]\r\nname=Bob\r\n"
                               "[200]\r\n"               // no name line
                               "[300]\r\nname=\r\n"      // empty name: kept, shown by UIN
                               "[[400]]\r\nname = Ann \r\n"
                               "[500]\r\nName=capital\r\nother=x\r\n"
                               "[100]\r\nname=Bob again\r\n"
                               "[700]\r\nname=&#0;&#65;&#1114112;\r\n"  // no zero, no U+110000
                               "[600]\r\nname=last");     // no line end
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list[0], Info(u"100", u"Bob"));
    EXPECT_EQ(list[0].status, kContactInitialStatus);
    EXPECT_EQ(list[1], Info(u"300", u""));
    EXPECT_EQ(list[2], Info(u"[400]", u"Ann "));
    EXPECT_EQ(list[3], Info(u"100", u"Bob again"));
    EXPECT_EQ(list[4], Info(u"700", u"&#0;A&#1114112;"));
    EXPECT_EQ(list[5], Info(u"600", u"last"));
}

class ContactListStateTest : public ::testing::Test {
protected:
    TempDir dir_;
    AppState state_{dir_.path()};
};

TEST_F(ContactListStateTest, EmptyListIsAnEmptyFileAndReadsBackEmpty) {
    state_.UpdateSettings([](Settings& s) { s.profile = u"1"; });
    state_.AddContact(Info(u"5", u"Five"), false);
    ASSERT_TRUE(state_.SaveContacts());

    state_.UpdateSettings([](Settings& s) { s.profile = u"2"; });
    state_.ClearContacts();
    ASSERT_TRUE(state_.SaveContacts());
    EXPECT_EQ(ReadBytes(dir_ / "contacts_2.txt"), "");

    state_.ReloadAll();  // profile 2 is active in the settings file now
    EXPECT_EQ(state_.ContactCount(), 0u);
    state_.UpdateSettings([](Settings& s) { s.profile = u"1"; });
    ASSERT_TRUE(state_.SaveSettings());
    state_.ReloadAll();
    ASSERT_EQ(state_.ContactCount(), 1u);
    EXPECT_EQ(state_.Contacts()[0]->Snapshot(), Info(u"5", u"Five"));
}

TEST_F(ContactListStateTest, SaveWritesSettingsAndListPrivately) {
    state_.UpdateSettings([](Settings& s) {
        s.profile = u"42";
        s.Password() = u"pw";
    });
    ContactInfo busy = Info(u"7", u"Seven");
    busy.status = 4;
    busy.unreadCount = 3;
    state_.AddContact(busy, false);
    ASSERT_TRUE(state_.SaveContacts());
    EXPECT_EQ(ReadBytes(dir_ / "contacts_42.txt"), "[7]\r\nname=Seven\r\n");
    EXPECT_NE(ReadBytes(dir_ / kSettingsFileName).find("[42]\r\npassw=pw\r\n"), std::string::npos);
    for (const char* name : {"contacts_42.txt", "settings.txt"}) {
        struct stat st{};
        ASSERT_EQ(::stat((dir_ / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }

    // Only UIN and name survive a reload; the contact comes back offline and read.
    state_.ReloadAll();
    ASSERT_EQ(state_.ContactCount(), 1u);
    EXPECT_EQ(state_.Contacts()[0]->Snapshot(), Info(u"7", u"Seven"));
    EXPECT_EQ(state_.GetSettings().Password(u"42"), u"pw");
}

TEST_F(ContactListStateTest, UnreadableFilesAreKeptAndEveryFailureIsToldOnce) {
    HonourFilePermissions permissions;
    const std::string settings = "[settings]\r\nprofile=1\r\n[1]\r\npassw=secret\r\n";
    WriteBytes(dir_ / kSettingsFileName, settings);
    WriteBytes(dir_ / "contacts_1.txt", "[100]\r\nname=Ann\r\n");
    std::vector<StoreProblem> told;
    state_.SetProblemReporter([&told](const StoreProblem& p) { told.push_back(p); });
    const auto expectTold = [&](std::size_t count, const std::string& name, bool reading) {
        ASSERT_EQ(told.size(), count);
        EXPECT_EQ(told.back().path, dir_ / name);
        EXPECT_EQ(told.back().error, EACCES);
        EXPECT_EQ(told.back().reading, reading);
    };

    // Settings that cannot be read: the defaults, and no save replaces the file.
    ASSERT_EQ(::chmod((dir_ / kSettingsFileName).c_str(), 0), 0);
    state_.ReloadAll();
    expectTold(1, kSettingsFileName, true);
    EXPECT_EQ(state_.GetSettings().profile, u"");
    EXPECT_FALSE(state_.SaveSettings());
    state_.ReloadAll();
    EXPECT_EQ(told.size(), 1u);  // once
    ASSERT_EQ(::chmod((dir_ / kSettingsFileName).c_str(), 0600), 0);
    EXPECT_EQ(ReadBytes(dir_ / kSettingsFileName), settings);

    // The same for the contact list, once the settings read again.
    ASSERT_EQ(::chmod((dir_ / "contacts_1.txt").c_str(), 0), 0);
    state_.ReloadAll();
    expectTold(2, "contacts_1.txt", true);
    EXPECT_EQ(state_.GetSettings().Password(u"1"), u"secret");
    state_.AddContact(Info(u"200"), /*save=*/true);
    ASSERT_EQ(::chmod((dir_ / "contacts_1.txt").c_str(), 0600), 0);
    EXPECT_EQ(ReadBytes(dir_ / "contacts_1.txt"), "[100]\r\nname=Ann\r\n");
    state_.ReloadAll();
    EXPECT_EQ(state_.ContactCount(), 1u);
    ASSERT_TRUE(state_.SaveContacts());  // readable again: written again

    // Saves that fail: each file told once, not at every save.
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0500), 0);
    EXPECT_FALSE(state_.SaveContacts());
    EXPECT_FALSE(state_.SaveContacts());
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0700), 0);
    expectTold(4, "contacts_1.txt", false);
    told.pop_back();
    expectTold(3, kSettingsFileName, false);
}

// A contact the network added just before the user switched profiles belongs to the
// list it was added to: the save put off for it is written before that list goes.
TEST_F(ContactListStateTest, PutOffSaveReachesItsListWhenTheProfileChanges) {
    WriteBytes(dir_ / kSettingsFileName, "[settings]\r\nprofile=1\r\n");
    state_.ReloadAll();
    bool added = false;
    state_.FindOrAddContact(Info(u"5"), added);
    state_.RequestSave();  // the first of a burst: written at once
    state_.FindOrAddContact(Info(u"6"), added);
    state_.RequestSave();  // put off
    state_.UpdateSettings([](Settings& s) { s.profile = u"2"; });
    ASSERT_TRUE(state_.SaveSettings());
    state_.ReloadAll();
    EXPECT_EQ(ReadBytes(dir_ / "contacts_1.txt"), "[5]\r\nname=\r\n[6]\r\nname=\r\n");
    EXPECT_EQ(state_.ContactCount(), 0u);
}

// Any user who may open the data folder may lock the folder itself: a lock on it,
// held by another process, holds up neither the start (reading the files) nor a save.
TEST_F(ContactListStateTest, ALockOnTheFolderHoldsUpNeitherReadingNorSaving) {
    WriteBytes(dir_ / kSettingsFileName, "[settings]\r\nprofile=1\r\n");
    WriteBytes(dir_ / "contacts_1.txt", "[5]\r\nname=Five\r\n");
    testing::ChildHolding locker([&] {
        const int folder = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
        return folder >= 0 && ::flock(folder, LOCK_EX) == 0;
    });
    ASSERT_TRUE(locker.taken());
    state_.ReloadAll();
    EXPECT_EQ(state_.ContactCount(), 1u);
    state_.AddContact(Info(u"6"), false);
    EXPECT_TRUE(state_.SaveContacts());
    EXPECT_EQ(ReadBytes(dir_ / "contacts_1.txt"), "[5]\r\nname=Five\r\n[6]\r\nname=\r\n");
}

TEST_F(ContactListStateTest, DeleteContactListFileRemovesOnlyThatProfile) {
    WriteBytes(dir_ / "contacts_1.txt", "[1]\r\nname=a\r\n");
    WriteBytes(dir_ / "contacts_2.txt", "[2]\r\nname=b\r\n");
    EXPECT_TRUE(state_.DeleteContactListFile(u"1"));
    EXPECT_TRUE(state_.DeleteContactListFile(u"1"));  // already gone: fine
    EXPECT_FALSE(platform::FileExists(dir_ / "contacts_1.txt"));
    EXPECT_TRUE(platform::FileExists(dir_ / "contacts_2.txt"));
}

}  // namespace
}  // namespace pellox
