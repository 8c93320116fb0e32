// Text conversion between the application's UTF-16 text and the local 8-bit code
// page (Windows-1251) used on the wire and in the stored files.
//
// Outgoing text and file lines are narrowed unit by unit. Incoming 8-bit text is
// taken as UTF-8 when it contains a byte at or above 0x80 and is valid UTF-8, and
// as local code page text otherwise. An 8-bit text ends at its first zero byte:
// every function below that takes a "text" stops there.
//
// The only diagnostics of the whole network layer are written here, to stderr:
// "Unicode translation error %d\n" and "Out of memory processing string to local
// charset\n". No function throws and none reports an error to its caller beyond a
// false result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace pellox {

// The text up to (not including) its first zero byte.
std::string_view CutAtZero(std::string_view text);

// Every unit becomes one byte of the local code page; units the code page lacks
// (each half of a surrogate pair too) become '?'. The result has exactly as many
// bytes as the source has units.
std::string NarrowFromWide(std::u16string_view text);

// Narrows the text as NarrowFromWide does and writes it followed by "\r\n" in one
// write. A write error is swallowed: the line is lost.
void WriteTextLine(platform::File& file, std::u16string_view text);
// The same line appended to an in-memory sink (used by writers that assemble a
// whole file before replacing it).
void WriteTextLine(std::string& sink, std::u16string_view text);

// True when every one of the n bytes is below 0x80 (true for n == 0).
bool IsAscii(const char* bytes, std::size_t n);

// Walks the text (up to its first zero byte) lead byte by lead byte: 0xxxxxxx
// stands alone; 110xxxxx, 1110xxxx, 11110xxx, 111110xx and 1111110x announce 1 to
// 5 continuation bytes 10xxxxxx; 10xxxxxx, 0xFE and 0xFF are not lead bytes. A
// sequence cut short by the end of the text is invalid. Null is invalid, an empty
// text valid.
bool IsValidUtf8(const char* text);
bool IsValidUtf8(std::string_view text);

// Decodes UTF-8 into at most capacity - 1 UTF-16 units, then a terminating 0 unit
// (nothing at all when capacity is 0). Four-byte sequences become surrogate pairs
// (a pair that no longer fits is not started); five- and six-byte sequences and
// four-byte ones beyond U+10FFFF become U+FFFD. A sequence cut short by the end of
// the input ends the decoding, and so does a zero character, whether a zero byte or
// an overlong form of it (C0 80): the text ends at its first zero. Returns the
// number of units written before the terminator.
std::size_t DecodeUtf8(std::string_view text, char16_t* output, std::size_t capacity);
// The whole text decoded by the same rules.
std::u16string DecodeUtf8(std::string_view text);

// One code point (at most U+10FFFF) appended as UTF-8.
void AppendUtf8(std::string& out, char32_t c);
// UTF-16 as UTF-8: surrogate pairs joined, a lone surrogate as U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

// The halves of a UTF-16 surrogate pair.
inline bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Valid UTF-8 in, local code page text out; false (and `out` untouched) when the
// text is not valid UTF-8 or cannot be converted, with the message on stderr.
[[nodiscard]] bool Utf8ToLocal(std::string_view text, std::string& out);

// The local text for a text that is non-ASCII valid UTF-8; otherwise the text
// itself (up to its first zero byte).
std::string ToLocalIfUtf8(std::string_view text);

// Received 8-bit text to UTF-16: non-ASCII valid UTF-8 is decoded whole (every
// character kept, surrogate pairs for those beyond U+FFFF); anything else is
// widened through the local code page. The text ends at its first zero.
void DecodeIncomingText(std::string_view text, std::u16string& out);

// ---- Message text on the wire ---------------------------------------------

inline constexpr std::uint16_t kCharsetLocal = 0x0000;
inline constexpr std::uint16_t kCharsetUcs2 = 0x0002;

// The most text bytes one outgoing message carries.
inline constexpr std::size_t kMaxMessageBytes = 4000;

// True when the code page holds every unit of the text.
bool FitsLocal(std::u16string_view text);

struct EncodedMessageText {
    std::uint16_t charset = kCharsetLocal;
    std::string bytes;
};

// A text the code page can carry goes as local bytes with character set 0; any
// other text as big-endian UTF-16 (surrogate pairs as they stand) with set 2.
EncodedMessageText EncodeMessageText(std::u16string_view text);

// The text cut at its first zero and split into parts whose encoded bytes
// (EncodeMessageText of each part) are at most maxBytes. A part ends at the last
// line break or space that lets it fit, which is dropped between the two parts;
// where there is none it ends at the limit, never between the halves of a
// surrogate pair. Parts left empty are dropped: a text of nothing but zeros or
// separators may give no part at all. A text that fits is the one part.
std::vector<std::u16string> SplitMessageText(std::u16string_view text,
                                             std::size_t maxBytes = kMaxMessageBytes);

// ---- Text in the stored files ---------------------------------------------
// History files and contact lists stay Windows-1251. A character the code page
// lacks is written as the decimal reference "&#N;" (N the code point; a surrogate
// pair is one code point, a lone surrogate stands for itself), and a literal "&#"
// as "&#38;#", so that every text reads back as it was. Text of code page
// characters without "&#" is written exactly as NarrowFromWide writes it.

std::string NarrowWithReferences(std::u16string_view text);
// The reverse on a widened file line: each "&#N;" with 1 to 7 decimal digits and
// N from 1 to 0x10FFFF becomes its character; anything else stays as it is.
std::u16string DecodeReferences(std::u16string_view text);

}  // namespace pellox
