#include "protocol/identity.h"

#include <algorithm>

#include "platform/code_page.h"

namespace pellox {

std::u16string WidenUin(std::string_view uin) { return platform::LocalToWide(uin); }

bool IsUsableUin(std::u16string_view uin) {
    return !uin.empty() &&
           std::none_of(uin.begin(), uin.end(), [](char16_t c) { return c < u' '; });
}

std::u16string CleanName(std::u16string name) {
    std::replace_if(name.begin(), name.end(), [](char16_t c) { return c < u' '; }, u' ');
    return name;
}

}  // namespace pellox
