#include "net/text_encoding.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
    // UTF-8 of a character outside the code page arrives as '?'.
    DecodeIncomingText("\xE4\xB8\xAD", out);
    EXPECT_EQ(out, u"?");
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
