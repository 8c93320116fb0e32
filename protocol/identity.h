// Who a protocol item is about: the UIN as the server sends it (8-bit text) taken
// into the application's UTF-16 text, and the names servers attach to it.
//
// Both end up in the stored files: the UIN in a contact list section header and in
// a history file name, a name in "name=" lines. A UIN with a control character
// (a line break above all) or no character at all would break the line-based files
// or address nobody, so it is refused; a name keeps every character except control
// characters, which become spaces.
#pragma once

#include <string>
#include <string_view>

namespace pellox {

// The 8-bit UIN widened through the local code page.
std::u16string WidenUin(std::string_view uin);

// True for a non-empty UIN without characters below U+0020.
bool IsUsableUin(std::u16string_view uin);

// The name with every character below U+0020 replaced by a space.
std::u16string CleanName(std::u16string name);

}  // namespace pellox
