#include "store/message_history.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>

#include "store/app_state.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Info;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

MessageEntry Entry(std::u16string text, std::int64_t time, MessageDirection direction) {
    MessageEntry entry;
    entry.text = std::move(text);
    entry.time = time;
    entry.direction = direction;
    return entry;
}

class HistoryTest : public testing::UtcTest {
protected:
    // The entries of a history file with the given bytes.
    std::vector<MessageEntry> ReadFile(const std::string& bytes) {
        WriteBytes(dir_ / "msg_1.txt", bytes);
        MessageHistory history(dir_.path());
        EXPECT_TRUE(history.Load("msg_1.txt"));
        return history.Entries();
    }
    // Appends the entries to a fresh file and reads them back.
    std::vector<MessageEntry> RoundTrip(const std::vector<MessageEntry>& entries) {
        (void)platform::RemoveFile(dir_ / "msg_rt.txt");
        {
            MessageHistory writer(dir_.path());
            EXPECT_TRUE(writer.Load("msg_rt.txt"));
            for (const MessageEntry& entry : entries) writer.Append(entry);
        }
        MessageHistory reader(dir_.path());
        EXPECT_TRUE(reader.Load("msg_rt.txt"));
        return reader.Entries();
    }

    TempDir dir_;
};

TEST_F(HistoryTest, EntryBytesForAKnownLocalTime) {
    const std::int64_t t = Utc(2026, 12, 8, 6, 1, 8);
    EXPECT_EQ(FormatHistoryEntry(Entry(u"hello", t, MessageDirection::In)),
              "[IN 08.12.2026 06:01:08]\r\nhello\r\n");
    EXPECT_EQ(FormatHistoryEntry(Entry(u"Привет\r\nкак дела", t, MessageDirection::Out)),
              "[OUT 08.12.2026 06:01:08]\r\n\xCF\xF0\xE8\xE2\xE5\xF2\r\n\xEA\xE0\xEA "
              "\xE4\xE5\xEB\xE0\r\n");
    EXPECT_EQ(FormatHistoryEntry(Entry(u"x", 0, MessageDirection::System)),
              "[System 01.01.1970 00:00:00]\r\nx\r\n");
    // A time that has no calendar form leaves the time text empty.
    EXPECT_EQ(HistoryTimeText(LLONG_MAX), u"");
    EXPECT_EQ(FormatHistoryEntry(Entry(u"x", LLONG_MAX, MessageDirection::In)), "[IN ]\r\nx\r\n");
}

TEST_F(HistoryTest, AppendWritesToTheFileAndReturnsTheIndex) {
    MessageHistory history(dir_.path());
    ASSERT_TRUE(history.Load("msg_1.txt"));  // missing file: empty history
    EXPECT_EQ(history.FileName(), "msg_1.txt");
    EXPECT_EQ(history.Append(Entry(u"a", Utc(2026, 1, 2, 3, 4, 5), MessageDirection::In)), 0u);
    EXPECT_EQ(history.Append(Entry(u"b", Utc(2026, 1, 2, 3, 4, 6), MessageDirection::Out)), 1u);
    EXPECT_EQ(ReadBytes(dir_ / "msg_1.txt"),
              "[IN 02.01.2026 03:04:05]\r\na\r\n[OUT 02.01.2026 03:04:06]\r\nb\r\n");
    EXPECT_THAT(history.EntriesFrom(1), ElementsAre(Entry(u"b", Utc(2026, 1, 2, 3, 4, 6),
                                                          MessageDirection::Out)));
    EXPECT_THAT(history.EntriesFrom(2), IsEmpty());
    // Ranges are clipped to the entries that exist.
    EXPECT_THAT(history.EntriesBetween(1, 99), ElementsAre(Entry(u"b", Utc(2026, 1, 2, 3, 4, 6),
                                                                 MessageDirection::Out)));
    EXPECT_EQ(history.EntriesBetween(0, 1).size(), 1u);
    EXPECT_THAT(history.EntriesBetween(1, 1), IsEmpty());
    EXPECT_THAT(history.EntriesBetween(5, 9), IsEmpty());
    // Visited in place, newest first, clipped the same way.
    std::vector<std::size_t> visited;
    const auto visit = [&](std::size_t index, const MessageEntry&) { visited.push_back(index); };
    history.VisitNewestFirst(0, 99, visit);
    EXPECT_THAT(visited, ElementsAre(1u, 0u));
    visited.clear();
    history.VisitNewestFirst(1, 1, visit);
    history.VisitNewestFirst(5, 9, visit);
    EXPECT_THAT(visited, IsEmpty());
}

TEST_F(HistoryTest, ReadingAFileNeitherBindsNorWritesIt) {
    const MessageEntry entry = Entry(u"привет", Utc(2026, 1, 2, 3, 4, 5), MessageDirection::Out);
    const std::string bytes = FormatHistoryEntry(entry);
    WriteBytes(dir_ / "msg_7.txt", bytes);
    std::vector<MessageEntry> entries{Entry(u"what was there", 1, MessageDirection::In)};
    ASSERT_TRUE(ReadHistoryFile(dir_.path(), "msg_7.txt", entries));
    EXPECT_THAT(entries, ElementsAre(entry));
    EXPECT_EQ(ReadBytes(dir_ / "msg_7.txt"), bytes);
    // A missing file is an empty history, and stays missing.
    EXPECT_TRUE(ReadHistoryFile(dir_.path(), "msg_8.txt", entries));
    EXPECT_THAT(entries, IsEmpty());
    EXPECT_FALSE(platform::FileExists(dir_ / "msg_8.txt"));
}

TEST_F(HistoryTest, MultiLineTextSurvivesExceptLeadingEmptyLines) {
    const std::int64_t t = Utc(2026, 5, 6, 7, 8, 9);
    const auto back = RoundTrip({
        Entry(u"first\r\nsecond", t, MessageDirection::In),
        Entry(u"gap\r\n\r\n\r\nafter\r\n", t + 1, MessageDirection::Out),
        Entry(u"\r\n\r\nlate start", t + 2, MessageDirection::In),
        Entry(u"\r\n\r\n", t + 3, MessageDirection::In),  // only empty lines: lost
        // Outside the code page, and references that must stay literal.
        Entry(u"Юникод ✓ \U0001F600 caf\u00E9 \u65E5\u672C \u20AC", t + 4, MessageDirection::In),
        Entry(u"&#38; &#128512; &&## &#", t + 5, MessageDirection::Out),
        // A text ends at its first zero.
        Entry(std::u16string(u"kept\0lost", 9), t + 6, MessageDirection::In),
        // A peer's control characters are dropped; tab and line breaks stay.
        Entry(u"\x1B[2J\x07" u"a\tb\x01\f\v\x7F\r\nc", t + 7, MessageDirection::In),
    });
    EXPECT_THAT(back, ElementsAre(Entry(u"first\r\nsecond", t, MessageDirection::In),
                                  Entry(u"gap\r\n\r\n\r\nafter\r\n", t + 1, MessageDirection::Out),
                                  Entry(u"late start", t + 2, MessageDirection::In),
                                  Entry(u"Юникод ✓ \U0001F600 caf\u00E9 \u65E5\u672C \u20AC", t + 4,
                                        MessageDirection::In),
                                  Entry(u"&#38; &#128512; &&## &#", t + 5, MessageDirection::Out),
                                  Entry(u"kept", t + 6, MessageDirection::In),
                                  Entry(u"[2Ja\tb\x7F\r\nc", t + 7, MessageDirection::In)));
}

// Lines of a header's shape are quoted so that no text forges an entry, and lone
// CR and LF become the file's CR LF; text without them is written as it stands.
TEST_F(HistoryTest, BodyLinesCannotForgeEntries) {
    const std::int64_t t = Utc(2026, 5, 6, 7, 8, 9);
    struct Row {
        std::u16string text;
        std::string body;      // as written
        std::u16string back;   // as read
    } rows[] = {
        {u"hi\r\n[OUT 01.01.2024 10:00:00]\r\nI agree to pay",
         "hi\r\n [OUT 01.01.2024 10:00:00]\r\nI agree to pay", u""},
        {u"[smile]", " [smile]", u""},
        {u" [smile]", "  [smile]", u""},
        {u"a\r\n   []", "a\r\n    []", u""},
        {u"[\U0001F600]", " [&#128512;]", u""},
        {u"[x] y\r\n[\r\n]\r\n x]", "[x] y\r\n[\r\n]\r\n x]", u""},  // no header shape
        {u"one\rtwo\nthree\r\rfour\n\n[x]", "one\r\ntwo\r\nthree\r\n\r\nfour\r\n\r\n [x]",
         u"one\r\ntwo\r\nthree\r\n\r\nfour\r\n\r\n[x]"},
        // Long lines, narrowed many characters at a time: a break, a letter outside
        // the alphabet's run and a header's shape each fall inside such a stretch.
        {u"abcdefghПривет, мир\r\n12345678ЁЖ\n0123456789abcdef\r\n   [a quoted line]",
         "abcdefgh\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0\r\n12345678\xA8\xC6\r\n"
         "0123456789abcdef\r\n    [a quoted line]",
         u"abcdefghПривет, мир\r\n12345678ЁЖ\r\n0123456789abcdef\r\n   [a quoted line]"},
    };
    std::vector<MessageEntry> entries, expected;
    for (const Row& row : rows) {
        const MessageEntry entry = Entry(row.text, t, MessageDirection::In);
        EXPECT_EQ(FormatHistoryEntry(entry), "[IN 06.05.2026 07:08:09]\r\n" + row.body + "\r\n");
        entries.push_back(entry);
        expected.push_back(Entry(row.back.empty() ? row.text : row.back, t, MessageDirection::In));
    }
    EXPECT_EQ(RoundTrip(entries), expected);
}

TEST_F(HistoryTest, OldFilesStillSplitAtBracketLines) {
    const std::int64_t t = Utc(2026, 5, 6, 7, 8, 9);
    const auto back = ReadFile("[IN 06.05.2026 07:08:09]\r\nbefore\r\n[OUT 01.02.2026 10:11:12]\r\nafter\r\n"
                               "[IN 06.05.2026 07:08:09]\r\na\r\n[see you]\r\nb\r\n");
    EXPECT_THAT(back, ElementsAre(Entry(u"before", t, MessageDirection::In),
                                  Entry(u"after", Utc(2026, 2, 1, 10, 11, 12), MessageDirection::Out),
                                  Entry(u"a", t, MessageDirection::In),
                                  Entry(u"b", 0, MessageDirection::System)));
}

TEST_F(HistoryTest, HeaderDirectionAndTime) {
    struct Row {
        std::u16string header;
        MessageDirection direction;
        std::int64_t time;
    };
    const Row rows[] = {
        {u"[OUT 31.12.2025 23:59:59]", MessageDirection::Out, Utc(2025, 12, 31, 23, 59, 59)},
        {u"[IN 01.01.2026 00:00:00]", MessageDirection::In, Utc(2026, 1, 1, 0, 0, 0)},
        {u"[System 08.12.2026 06:01:08]", MessageDirection::System, Utc(2026, 12, 8, 6, 1, 8)},
        {u"[in 08.12.2026 06:01:08]", MessageDirection::System, Utc(2026, 12, 8, 6, 1, 8)},
        {u"[Incoming  \t 8.2.2026 6:1:8]", MessageDirection::In, Utc(2026, 2, 8, 6, 1, 8)},
        {u"[IN 08.12.2026]", MessageDirection::In, Utc(2026, 12, 8, 0, 0, 0)},
        {u"[IN 08.12.2026 06]", MessageDirection::In, Utc(2026, 12, 8, 6, 0, 0)},
        {u"[IN 29.02.2024 12:00:00]", MessageDirection::In, Utc(2024, 2, 29, 12, 0, 0)},
        // No usable space: In at time 0.
        {u"[X]", MessageDirection::In, 0},
        {u"[ OUT 01.01.2026]", MessageDirection::In, 0},
        {u"[O 01.01.2026]", MessageDirection::Out, Utc(2026, 1, 1, 0, 0, 0)},
        {u"[OU 01.01.2026]", MessageDirection::Out, Utc(2026, 1, 1, 0, 0, 0)},
        // A date that is missing, out of range or not in the calendar: time 0.
        {u"[IN ]", MessageDirection::In, 0},
        {u"[OUT 08.12]", MessageDirection::Out, 0},
        {u"[IN 32.01.2026 00:00:00]", MessageDirection::In, 0},
        {u"[IN 00.01.2026 00:00:00]", MessageDirection::In, 0},
        {u"[IN 01.13.2026 00:00:00]", MessageDirection::In, 0},
        {u"[IN 29.02.2025 00:00:00]", MessageDirection::In, 0},
        {u"[IN 01.01.1899 00:00:00]", MessageDirection::In, 0},
        {u"[IN 01.01.99999999999 00:00:00]", MessageDirection::In, 0},
        {u"[IN 01.01.2026 24:00:00]", MessageDirection::In, 0},
        {u"[IN 01.01.2026 23:60:00]", MessageDirection::In, 0},
        {u"[IN 01.01.2026 23:59:60]", MessageDirection::In, 0},
        {u"[see you]", MessageDirection::System, 0},
    };
    for (const Row& row : rows) {
        MessageDirection direction{};
        std::int64_t time = -1;
        ParseHistoryHeader(row.header, direction, time);
        EXPECT_EQ(direction, row.direction) << std::string(row.header.begin(), row.header.end());
        EXPECT_EQ(time, row.time) << std::string(row.header.begin(), row.header.end());
    }
}

TEST_F(HistoryTest, BadHeadersNeverStopTheRestOfTheFile) {
    const auto entries = ReadFile(
        "[IN 32.13.2026 25:61:61]\r\nbroken date\r\n"
        "[X]\r\n"                                 // no body: nothing
        "[OUT 01.01.2026 00:00:01]\r\n"           // no body either
        "[Y]\r\nletter header\r\n"
        "[OUT 02.01.2026 00:00:00]\r\nfine\r\n"
        "[IN 03.01.2026 00:00:00]\r\nno line end");
    EXPECT_THAT(entries, ElementsAre(Entry(u"broken date", 0, MessageDirection::In),
                                     Entry(u"letter header", 0, MessageDirection::In),
                                     Entry(u"fine", Utc(2026, 1, 2, 0, 0, 0), MessageDirection::Out),
                                     Entry(u"no line end", Utc(2026, 1, 3, 0, 0, 0),
                                           MessageDirection::In)));
}

TEST_F(HistoryTest, EmptyFileAfterAnotherReadIsEmpty) {
    EXPECT_EQ(ReadFile("[IN 01.01.2026 00:00:00]\r\nx\r\n").size(), 1u);
    EXPECT_THAT(ReadFile(""), IsEmpty());
}

TEST_F(HistoryTest, ClearDeletesFileAndEntriesDeleteFileKeepsEntries) {
    MessageHistory history(dir_.path());
    ASSERT_TRUE(history.Load("msg_1.txt"));
    history.Append(Entry(u"one", 1, MessageDirection::In));
    history.DeleteFile();
    EXPECT_FALSE(platform::FileExists(dir_ / "msg_1.txt"));
    EXPECT_EQ(history.Count(), 1u);

    history.Append(Entry(u"two", 2, MessageDirection::In));
    history.Clear();
    EXPECT_FALSE(platform::FileExists(dir_ / "msg_1.txt"));
    EXPECT_EQ(history.Count(), 0u);
    history.Append(Entry(u"three", 3, MessageDirection::Out));  // still bound: file again
    EXPECT_EQ(ReadBytes(dir_ / "msg_1.txt"), "[OUT 01.01.1970 00:00:03]\r\nthree\r\n");
}

// A message that turned out not to be sent leaves the file with exactly its own
// bytes, wherever it stands: the rest stays as it was written, even what this
// version would write otherwise (a header it does not know, a literal reference).
TEST_F(HistoryTest, RemovingAnEntryLeavesEveryOtherByte) {
    const std::int64_t t = Utc(2026, 3, 4, 5, 6, 7);
    const std::string older = "[Note 01.01.2020 10:00:00]\r\nan older header\r\n"
                              "[IN 02.01.2020 10:00:00]\r\nwritten as &#1071;\r\n";
    WriteBytes(dir_ / "msg_1.txt", older);
    MessageHistory history(dir_.path());
    ASSERT_TRUE(history.Load("msg_1.txt"));
    history.Append(Entry(u"not sent", t, MessageDirection::Out));
    EXPECT_TRUE(history.RemoveNewest(MessageDirection::Out, u"not sent"));
    EXPECT_EQ(ReadBytes(dir_ / "msg_1.txt"), older);

    history.Append(Entry(u"not sent", t, MessageDirection::Out));
    history.Append(Entry(u"reply", t, MessageDirection::In));
    EXPECT_TRUE(history.RemoveNewest(MessageDirection::Out, u"not sent"));
    EXPECT_EQ(ReadBytes(dir_ / "msg_1.txt"), older + "[IN 04.03.2026 05:06:07]\r\nreply\r\n");
    EXPECT_EQ(history.Count(), 3u);
    EXPECT_FALSE(history.RemoveNewest(MessageDirection::Out, u"not sent"));
}

// A history that could not be read is never written whole: taking a message back
// from it leaves the file as it was.
TEST_F(HistoryTest, RemovingFromAnUnreadableHistoryLeavesTheFile) {
    testing::HonourFilePermissions permissions;
    const std::string stored = "[IN 02.01.2020 10:00:00]\r\nkeep me\r\n";
    WriteBytes(dir_ / "msg_1.txt", stored);
    ASSERT_EQ(::chmod((dir_ / "msg_1.txt").c_str(), 0), 0);
    MessageHistory history(dir_.path());
    EXPECT_FALSE(history.Load("msg_1.txt"));
    history.Append(Entry(u"not sent", 1, MessageDirection::Out));
    EXPECT_TRUE(history.RemoveNewest(MessageDirection::Out, u"not sent"));
    EXPECT_EQ(history.Count(), 0u);
    ASSERT_EQ(::chmod((dir_ / "msg_1.txt").c_str(), 0600), 0);
    EXPECT_EQ(ReadBytes(dir_ / "msg_1.txt"), stored);
}

TEST_F(HistoryTest, UnboundHistoryKeepsEntriesInMemoryOnly) {
    MessageHistory history(dir_.path());
    EXPECT_EQ(history.Append(Entry(u"x", 0, MessageDirection::Out)), 0u);
    history.Clear();  // unbound: nothing at all
    history.DeleteFile();
    EXPECT_EQ(history.Count(), 1u);
    EXPECT_EQ(history.FileName(), "");
}

TEST_F(HistoryTest, GetHistoryLoadsTheContactsFileOnce) {
    WriteBytes(dir_ / "msg_77.txt", "[IN 01.01.2026 00:00:00]\r\nstored\r\n");
    AppState state(dir_.path());
    ContactPtr contact = state.AddContact(Info(u"77"), false);
    EXPECT_EQ(contact->History(), nullptr);
    auto history = state.GetHistory(contact);
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(state.GetHistory(contact), history);
    EXPECT_EQ(contact->History(), history);
    EXPECT_EQ(history->FileName(), "msg_77.txt");
    ASSERT_EQ(history->Count(), 1u);
    EXPECT_FALSE(contact->Snapshot().historyLoading());

    // A list of an older version may hold a number twice: one file, one history.
    ContactPtr twin = state.AddContact(Info(u"77"), false);
    EXPECT_EQ(state.GetHistory(twin), history);

    ContactPtr noUin = state.AddContact(Info(u""), false);
    EXPECT_EQ(state.GetHistory(noUin)->FileName(), "");
    EXPECT_EQ(HistoryFileName(u"a/b"), "msg_a%2Fb.txt");
}

}  // namespace
}  // namespace pellox
