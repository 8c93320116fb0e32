// A history file whose last write a crash cut short: whatever is appended next
// must still be read back as the entries it was.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "store/file_access.h"
#include "store/message_history.h"
#include "tests/store/store_test_util.h"

namespace pellox::testing {
namespace {

MessageEntry Entry(std::u16string text, std::int64_t time, MessageDirection direction) {
    return MessageEntry{std::move(text), time, direction};
}

class TornAppendTest : public UtcTest {
protected:
    std::vector<MessageEntry> Load() {
        MessageHistory history(dir_.path());
        EXPECT_TRUE(history.Load("msg_1.txt"));
        return history.Entries();
    }
    TempDir dir_;
};

TEST_F(TornAppendTest, EntryAfterACutLineStartsOnItsOwnLine) {
    const MessageEntry first = Entry(u"first", Utc(2024, 5, 17, 12, 30, 0), MessageDirection::In);
    const MessageEntry next = Entry(u"after\r\nthe crash", Utc(2024, 5, 17, 12, 31, 0),
                                    MessageDirection::Out);
    // The second entry's write stopped inside its text.
    const MessageEntry cut = Entry(u"half a text", Utc(2024, 5, 17, 12, 30, 30), MessageDirection::In);
    const std::string cutBytes = FormatHistoryEntry(cut);
    WriteBytes(dir_ / "msg_1.txt", FormatHistoryEntry(first) + cutBytes.substr(0, cutBytes.find('\n') + 7));

    MessageHistory history(dir_.path());
    ASSERT_TRUE(history.Load("msg_1.txt"));
    history.Append(next);

    const std::vector<MessageEntry> read = Load();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0], first);
    EXPECT_EQ(read[1].text, u"half a");  // the torn entry keeps what reached the disk
    EXPECT_EQ(read[2], next);
}

TEST_F(TornAppendTest, WholeFilesAndCutCarriageReturnsGetNoExtraLine) {
    const MessageEntry entry = Entry(u"x", Utc(2024, 1, 2, 3, 4, 5), MessageDirection::In);
    ASSERT_TRUE(AppendToFile(dir_ / "msg_1.txt", FormatHistoryEntry(entry)));
    ASSERT_TRUE(AppendToFile(dir_ / "msg_1.txt", FormatHistoryEntry(entry)));
    EXPECT_EQ(ReadBytes(dir_ / "msg_1.txt"), FormatHistoryEntry(entry) + FormatHistoryEntry(entry));

    // Cut between CR and LF: the line break is completed, the line stays as it was.
    std::string torn = FormatHistoryEntry(entry);
    torn.pop_back();
    WriteBytes(dir_ / "msg_2.txt", torn);
    ASSERT_TRUE(AppendToFile(dir_ / "msg_2.txt", FormatHistoryEntry(entry)));
    EXPECT_EQ(ReadBytes(dir_ / "msg_2.txt"), torn + "\r\n" + FormatHistoryEntry(entry));
    MessageHistory history(dir_.path());
    ASSERT_TRUE(history.Load("msg_2.txt"));
    EXPECT_THAT(history.Entries(), ::testing::ElementsAre(entry, entry));
}

}  // namespace
}  // namespace pellox::testing
