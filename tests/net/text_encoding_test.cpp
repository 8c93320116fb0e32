#include "net/text_encoding.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace pellox {
namespace {

const std::string kPrivetUtf8 =
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет" in UTF-8
const std::string kPrivetLocal = "\xCF\xF0\xE8\xE2\xE5\xF2";  // "Привет" in Windows-1251

TEST(Narrowing, OneBytePerUnitAndDefaultCharacter) {
    EXPECT_EQ(NarrowFromWide(u"Привет"), kPrivetLocal);
    EXPECT_EQ(NarrowFromWide(u"12345"), "12345");
    // A character outside the code page, and each half of a surrogate pair, is '?'.
    EXPECT_EQ(NarrowFromWide(u"a\u4E2Db"), "a?b");
    EXPECT_EQ(NarrowFromWide(u"\U0001F600"), "??");
}

TEST(Utf8Validation, LeadByteClasses) {
    EXPECT_FALSE(IsValidUtf8(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("abc"));
    EXPECT_TRUE(IsValidUtf8(kPrivetUtf8));
    EXPECT_FALSE(IsValidUtf8("\xCF"));          // cut short by the end
    EXPECT_FALSE(IsValidUtf8("\x80"));          // continuation as lead
    EXPECT_FALSE(IsValidUtf8("a\xFE"));         // never a lead byte
    EXPECT_FALSE(IsValidUtf8("\xFF"));
    EXPECT_FALSE(IsValidUtf8("\xE2\x82" "A"));  // missing continuation
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));
    EXPECT_TRUE(IsValidUtf8("\xF8\x88\x80\x80\x80"));      // five bytes pass
    EXPECT_TRUE(IsValidUtf8("\xFC\x84\x80\x80\x80\x80"));  // six bytes pass
    // The text ends at its zero byte: the terminator is not a continuation.
    EXPECT_FALSE(IsValidUtf8(std::string("\xD0\0\x9F", 3)));
    EXPECT_TRUE(IsValidUtf8(std::string("ok\0\xFF", 4)));
}

TEST(Utf8Decoding, OneTwoThreeAndFourByteSequences) {
    EXPECT_EQ(DecodeUtf8("abc"), u"abc");
    EXPECT_EQ(DecodeUtf8(kPrivetUtf8), u"Привет");
    EXPECT_EQ(DecodeUtf8("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(DecodeUtf8("x\xF0\x9F\x98\x80y"), u"x\U0001F600y");
    EXPECT_EQ(DecodeUtf8("\xF8\x88\x80\x80\x80"), u"\uFFFD");
    EXPECT_EQ(DecodeUtf8("\xF7\xBF\xBF\xBF"), u"\uFFFD");  // beyond U+10FFFF
}

TEST(Utf8Decoding, CapacityBoundsOutputAndAlwaysTerminates) {
    char16_t out[4] = {1, 1, 1, 1};
    EXPECT_EQ(DecodeUtf8("abcdef", out, 4), 3u);
    EXPECT_EQ(std::u16string(out), u"abc");

    // Two free units before the terminator, and a pair needs two: "a" + pair does not fit.
    char16_t pair[3] = {1, 1, 1};
    EXPECT_EQ(DecodeUtf8("a\xF0\x9F\x98\x80", pair, 3), 1u);
    EXPECT_EQ(pair[1], 0);

    char16_t one[1] = {7};
    EXPECT_EQ(DecodeUtf8("abc", one, 1), 0u);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(DecodeUtf8("abc", one, 0), 0u);
}

TEST(Utf8Decoding, UnvalidatedInputStaysInBounds) {
    // A truncated lead at the end stops decoding; a broken sequence yields one
    // replacement for its lead and decoding goes on.
    EXPECT_EQ(DecodeUtf8("ab\xE2\x82"), u"ab");
    EXPECT_EQ(DecodeUtf8("\xE2" "AB"), u"\uFFFDAB");
    EXPECT_EQ(DecodeUtf8("\x80z"), u"\uFFFDz");
}

TEST(IncomingText, AsciiUtf8AndLocalText) {
    std::u16string out;
    DecodeIncomingText("abc", out);
    EXPECT_EQ(out, u"abc");
    DecodeIncomingText(kPrivetUtf8, out);
    EXPECT_EQ(out, u"Привет");
    DecodeIncomingText(kPrivetLocal, out);  // not UTF-8: the local code page
    EXPECT_EQ(out, u"Привет");
    DecodeIncomingText("\xCF", out);
    EXPECT_EQ(out, u"П");
    DecodeIncomingText("\xD0\x9F\xFF", out);  // 0xFF: not UTF-8
    EXPECT_EQ(out, u"Рџя");  // every byte read as a local character
    // UTF-8 of characters outside the code page arrives whole.
    DecodeIncomingText("\xE4\xB8\xAD \xF0\x9F\x98\x80 caf\xC3\xA9", out);
    EXPECT_EQ(out, u"\u4E2D \U0001F600 caf\u00E9");
    // A zero ends the text, in any of its UTF-8 forms.
    DecodeIncomingText("ab\xC0\x80\xD0\x9F", out);
    EXPECT_EQ(out, u"ab");
    DecodeIncomingText("\xD0\x9F\xF0\x80\x80\x80z", out);
    EXPECT_EQ(out, u"П");
    // A nickname carries its terminating zero: it ends the text.
    DecodeIncomingText(std::string("Nick\0", 5), out);
    EXPECT_EQ(out, u"Nick");
    DecodeIncomingText(std::string(), out);
    EXPECT_EQ(out, u"");
}

TEST(IncomingText, LocalConversionHelpers) {
    std::string local = "unchanged";
    EXPECT_FALSE(Utf8ToLocal("\xFF", local));
    EXPECT_EQ(local, "unchanged");
    ASSERT_TRUE(Utf8ToLocal(kPrivetUtf8, local));
    EXPECT_EQ(local, kPrivetLocal);
    EXPECT_EQ(ToLocalIfUtf8("plain"), "plain");
    EXPECT_EQ(ToLocalIfUtf8(kPrivetLocal), kPrivetLocal);
    EXPECT_EQ(ToLocalIfUtf8(kPrivetUtf8), kPrivetLocal);
    EXPECT_TRUE(IsAscii("abc", 3));
    EXPECT_FALSE(IsAscii("ab\x80", 3));
    EXPECT_TRUE(IsAscii("ab\x80", 2));
}

TEST(MessageEncoding, CodePageTextStaysLocalAnythingElseGoesAsUtf16) {
    EncodedMessageText local = EncodeMessageText(u"Привет \u20AC");
    EXPECT_EQ(local.charset, kCharsetLocal);
    EXPECT_EQ(local.bytes, kPrivetLocal + " \x88");
    EncodedMessageText wide = EncodeMessageText(u"\u00E9\U0001F600");
    EXPECT_EQ(wide.charset, kCharsetUcs2);
    EXPECT_EQ(wide.bytes, std::string("\x00\xE9\xD8\x3D\xDE\x00", 6));
}

TEST(MessageEncoding, SplitCountsEncodedBytesAndCutsAtSeparators) {
    using Parts = std::vector<std::u16string>;
    EXPECT_EQ(SplitMessageText(u"short"), Parts{u"short"});
    EXPECT_EQ(SplitMessageText(std::u16string(4000, u'a')), Parts{std::u16string(4000, u'a')});
    // The last space or line break that lets a part fit; the separator is dropped.
    EXPECT_EQ(SplitMessageText(u"aaa bbb ccc", 8), (Parts{u"aaa bbb", u"ccc"}));
    EXPECT_EQ(SplitMessageText(u"aaa\r\nbbb ccc", 6), (Parts{u"aaa", u"bbb", u"ccc"}));
    EXPECT_EQ(SplitMessageText(u"abcdefghij", 4), (Parts{u"abcd", u"efgh", u"ij"}));
    // Outside the code page a unit is two bytes; a pair is never cut.
    EXPECT_EQ(SplitMessageText(u"\u00E9\u00E9\u00E9", 4), (Parts{u"\u00E9\u00E9", u"\u00E9"}));
    EXPECT_EQ(SplitMessageText(u"a\U0001F600b", 4), (Parts{u"a", u"\U0001F600", u"b"}));
    // A local run before a wide character is sent as the local part it fits in.
    EXPECT_EQ(SplitMessageText(u"abcdef\u00E9", 6), (Parts{u"abcdef", u"\u00E9"}));
    // Up to the first zero; nothing but zeros and separators gives no part.
    EXPECT_EQ(SplitMessageText(std::u16string(u"ok\0lost", 7)), Parts{u"ok"});
    EXPECT_EQ(SplitMessageText(std::u16string(1, u'\0')), Parts{});
    // A long mixed text: every part fits, and the parts are the text.
    std::u16string text;
    for (int i = 0; i < 900; ++i) text += u"word \U0001F600 \u65E5\u672C\r\n";
    std::u16string joined;
    for (const std::u16string& part : SplitMessageText(text)) {
        EXPECT_LE(EncodeMessageText(part).bytes.size(), kMaxMessageBytes);
        joined += part;
    }
    std::u16string expected;
    for (char16_t c : text) {
        if (c != u' ' && c != u'\r' && c != u'\n') expected += c;
    }
    std::erase_if(joined, [](char16_t c) { return c == u' ' || c == u'\r' || c == u'\n'; });
    EXPECT_EQ(joined, expected);
}

class TextLineFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pellox-text-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(TextLineFile, LinesEndWithCrLfInTheLocalCodePage) {
    const std::string path = dir_ + "/lines.txt";
    {
        platform::File f;
        ASSERT_TRUE(f.Open(path, platform::OpenMode::Truncate));
        WriteTextLine(f, u"abc");
        WriteTextLine(f, u"Привет");
        WriteTextLine(f, u"");
    }
    std::string content;
    ASSERT_TRUE(platform::ReadWholeFile(path, content));
    EXPECT_EQ(content, "abc\r\n" + kPrivetLocal + "\r\n\r\n");

    std::string sink;
    WriteTextLine(sink, u"abc");
    EXPECT_EQ(sink, "abc\r\n");
}

TEST_F(TextLineFile, WriteErrorLosesTheLineQuietly) {
    platform::File closed;  // never opened: every write fails
    WriteTextLine(closed, u"lost");
    const std::string path = dir_ + "/ro.txt";
    platform::File f;
    ASSERT_TRUE(f.Open(path, platform::OpenMode::Truncate));
    f.Close();
    platform::File reader;
    ASSERT_TRUE(reader.Open(path, platform::OpenMode::Read));
    WriteTextLine(reader, u"also lost");  // read-only descriptor
    std::string content;
    ASSERT_TRUE(platform::ReadWholeFile(path, content));
    EXPECT_EQ(content, "");
}

}  // namespace
}  // namespace pellox
