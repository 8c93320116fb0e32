#include "protocol/identity.h"

#include <algorithm>

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
    return c < u' ' || (c >= 0x007F && c <= 0x009F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::u16string CleanName(std::u16string name) {
    std::replace_if(name.begin(), name.end(), IsUnsafeInName, u' ');
    // Cut after kMaxNameLength characters; a surrogate pair counts as one.
    std::size_t characters = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (characters == kMaxNameLength) {
            name.resize(i);
            break;
        }
        if (IsHighSurrogate(name[i]) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) ++i;
        ++characters;
    }
    return name;
}

}  // namespace pellox
