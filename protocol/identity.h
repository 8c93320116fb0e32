// Who a protocol item is about: the UIN as the server sends it (8-bit text) taken
// into the application's UTF-16 text, and the names servers attach to it.
//
// Both end up in the stored files: the UIN in a contact list section header and in
// a history file name, a name in "name=" lines. A UIN with a control character
// (a line break above all) or no character at all would break the line-based files
// or address nobody, so it is refused; a name keeps every character except control
// characters and the characters that reverse the direction of the text around
// them, which become spaces, and is cut to kMaxNameLength characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellox {

// The 8-bit UIN widened through the local code page.
std::u16string WidenUin(std::string_view uin);

// True for a non-empty UIN without characters below U+0020.
bool IsUsableUin(std::u16string_view uin);

inline constexpr std::size_t kMaxNameLength = 64;

// The text cut after its first `characters` characters; a surrogate pair counts as
// one and is never split.
std::u16string CutText(std::u16string text, std::size_t characters);

// The name with every control character (below U+0020, U+007F to U+009F) and every
// bidirectional embedding, override and isolate control (U+202A to U+202E, U+2066
// to U+2069) replaced by a space, cut after its first kMaxNameLength characters.
std::u16string CleanName(std::u16string name);

}  // namespace pellox
