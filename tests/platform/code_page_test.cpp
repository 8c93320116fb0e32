#include "platform/code_page.h"

#include <gtest/gtest.h>

namespace pellox::platform {
namespace {

TEST(CodePage, EveryByteRoundTrips) {
    for (int b = 0; b < 256; ++b) {
        char16_t unit = UnitFromLocal(static_cast<unsigned char>(b));
        char back = 0;
        ASSERT_TRUE(LocalFromUnit(unit, back)) << "byte " << b;
        EXPECT_EQ(static_cast<unsigned char>(back), b);
    }
}

TEST(CodePage, CyrillicAndPunctuation) {
    EXPECT_EQ(WideToLocal(u"Привет"), "\xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_EQ(WideToLocal(u"Ёё№€"), "\xA8\xB8\xB9\x88");
    EXPECT_EQ(LocalToWide("\xCF\xF0\xE8\xE2\xE5\xF2"), u"Привет");
}

TEST(CodePage, MissingCharactersBecomeQuestionMarksOneByteEach) {
    // Greek alpha, a CJK ideograph and a surrogate pair: one '?' per UTF-16 unit.
    std::u16string text = u"a\u03B1\u4E2D\U0001F600b";
    std::string narrow = WideToLocal(text);
    EXPECT_EQ(narrow.size(), text.size());
    EXPECT_EQ(narrow, "a????b");
}

TEST(CodePage, EmbeddedZeroIsKept) {
    std::u16string text(u"a\0b", 3);
    EXPECT_EQ(WideToLocal(text), std::string("a\0b", 3));
}

}  // namespace
}  // namespace pellox::platform
