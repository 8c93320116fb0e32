// The local 8-bit code page: Windows-1251, on the wire and in every stored file.
//
// Each UTF-16 unit maps to exactly one byte and each byte to exactly one unit, so a
// narrowed text has as many bytes as the source had units. A unit the code page
// lacks (including each half of a surrogate pair) becomes '?', the code page's
// default character. Byte 0x98, unassigned in the code page, round-trips as U+0098.
#pragma once

#include <string>
#include <string_view>

namespace pellox::platform {

inline constexpr char kDefaultLocalChar = '?';

// The byte of a unit outside ASCII and the Cyrillic alphabet; false (and '?') when
// the code page lacks it.
bool LocalFromRareUnit(char16_t unit, char& out);

// One UTF-16 unit to its byte; false (and '?') when the code page lacks it. ASCII
// and the Cyrillic alphabet, one contiguous run, are nearly every unit of a text:
// they are mapped here, inline, without a search.
inline bool LocalFromUnit(char16_t unit, char& out) {
    if (unit < 0x80) {
        out = static_cast<char>(unit);
        return true;
    }
    if (unit >= 0x0410 && unit <= 0x044F) {
        out = static_cast<char>(0xC0 + (unit - 0x0410));
        return true;
    }
    return LocalFromRareUnit(unit, out);
}
char16_t UnitFromLocal(unsigned char byte);

std::string WideToLocal(std::u16string_view text);
std::u16string LocalToWide(std::string_view text);

}  // namespace pellox::platform
