#include "protocol/identity.h"

#include <algorithm>
#include <utility>

#include "net/text_encoding.h"
#include "platform/code_page.h"

namespace pellox {

std::u16string WidenUin(std::string_view uin) { return platform::LocalToWide(uin); }

bool IsUsableUin(std::u16string_view uin) {
    return !uin.empty() &&
           std::none_of(uin.begin(), uin.end(), [](char16_t c) { return c < u' '; });
}

namespace {

// Control characters, and the bidirectional embedding, override and isolate
// controls, with which a name could turn the text shown after it around.
bool IsUnsafeInName(char16_t c) {
    if (c < 0x007F) return c < u' ';  // the common case first
    return c <= 0x009F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::u16string CutText(std::u16string text, std::size_t characters) {
    if (text.size() <= characters) return text;  // no character is less than a unit
    std::size_t counted = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (counted == characters) {
            text.resize(i);
            break;
        }
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
        ++counted;
    }
    return text;
}

std::u16string CleanName(std::u16string name) {
    std::replace_if(name.begin(), name.end(), IsUnsafeInName, u' ');
    return CutText(std::move(name), kMaxNameLength);
}

}  // namespace pellox
