#include "net/text_encoding.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/code_page.h"

namespace pellox {
namespace {

// Number of continuation bytes a lead byte announces, or -1 when it is no lead byte.
int ContinuationCount(unsigned char b) {
    if (b < 0x80) return 0;
    if (b < 0xC0) return -1;  // 10xxxxxx
    if (b < 0xE0) return 1;
    if (b < 0xF0) return 2;
    if (b < 0xF8) return 3;
    if (b < 0xFC) return 4;
    if (b < 0xFE) return 5;
    return -1;  // 0xFE, 0xFF
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

constexpr char16_t kReplacement = 0xFFFD;

// The code point at text[i]: a surrogate pair is joined (and i moved onto its low
// half); any other unit, a lone surrogate too, stands for itself.
char32_t CodePointAt(std::u16string_view text, std::size_t& i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
        return 0x10000 + ((unit - 0xD800u) << 10) + (text[++i] - 0xDC00u);
    }
    return unit;
}

}  // namespace

std::string_view CutAtZero(std::string_view text) {
    const std::size_t zero = text.find('\0');
    return zero == std::string_view::npos ? text : text.substr(0, zero);
}

std::string NarrowFromWide(std::u16string_view text) { return platform::WideToLocal(text); }

void WriteTextLine(platform::File& file, std::u16string_view text) {
    std::string line = NarrowFromWide(text);
    line += "\r\n";
    // A failed write loses the line; the writers above do not stop for it.
    (void)file.Write(line);
}

void WriteTextLine(std::string& sink, std::u16string_view text) {
    sink += NarrowFromWide(text);
    sink += "\r\n";
}

bool IsAscii(const char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
    }
    return true;
}

bool IsValidUtf8(const char* text) {
    if (text == nullptr) return false;
    return IsValidUtf8(std::string_view(text, std::strlen(text)));
}

bool IsValidUtf8(std::string_view text) {
    text = CutAtZero(text);
    std::size_t i = 0;
    while (i < text.size()) {
        const int more = ContinuationCount(static_cast<unsigned char>(text[i]));
        if (more < 0) return false;
        ++i;
        for (int k = 0; k < more; ++k, ++i) {
            if (i >= text.size() || !IsContinuation(static_cast<unsigned char>(text[i]))) {
                return false;
            }
        }
    }
    return true;
}

std::size_t DecodeUtf8(std::string_view text, char16_t* output, std::size_t capacity) {
    if (capacity == 0) return 0;
    const std::size_t limit = capacity - 1;
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < text.size() && written < limit) {
        const auto b = static_cast<unsigned char>(text[i]);
        int more = ContinuationCount(b);
        if (more < 0) more = 0;  // a stray byte decodes alone as the replacement
        if (more > 0 && text.size() - i <= static_cast<std::size_t>(more)) {
            break;  // cut short by the end of the input
        }
        for (int k = 1; k <= more; ++k) {
            if (!IsContinuation(static_cast<unsigned char>(text[i + k]))) {
                more = -1;  // not UTF-8 after all: one replacement for the lead byte
                break;
            }
        }
        if (more < 0) {
            output[written++] = kReplacement;
            ++i;
            continue;
        }
        auto cont = [&](int k) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F);
        };
        if (b == 0) break;  // the text ends at its first zero
        if (b < 0x80) {
            output[written++] = b;
        } else if (more == 1) {
            const auto unit = static_cast<char16_t>(((b & 0x1Fu) << 6) | cont(1));
            if (unit == 0) break;  // overlong zero (C0 80)
            output[written++] = unit;
        } else if (more == 2) {
            const auto unit =
                static_cast<char16_t>(((b & 0x0Fu) << 12) | (cont(1) << 6) | cont(2));
            if (unit == 0) break;
            output[written++] = unit;
        } else if (more == 3) {
            const std::uint32_t cp =
                ((b & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
            if (cp > 0x10FFFF) {
                output[written++] = kReplacement;
            } else if (cp >= 0x10000) {
                if (limit - written < 2) break;  // the pair would not fit whole
                const std::uint32_t v = cp - 0x10000;
                output[written++] = static_cast<char16_t>(0xD800 + (v >> 10));
                output[written++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
            } else if (cp == 0) {
                break;
            } else {
                output[written++] = static_cast<char16_t>(cp);  // overlong form
            }
        } else {
            output[written++] = kReplacement;  // 0x80-0xBF, 0xF8-0xFF leads
        }
        i += 1 + static_cast<std::size_t>(more);
    }
    output[written] = 0;
    return written;
}

std::u16string DecodeUtf8(std::string_view text) {
    std::u16string out(text.size() + 1, u'\0');
    out.resize(DecodeUtf8(text, out.data(), out.size()));
    return out;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string EncodeUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = CodePointAt(text, i);
        if (c >= 0xD800 && c <= 0xDFFF) c = kReplacement;  // a lone surrogate has no UTF-8 form
        AppendUtf8(out, c);
    }
    return out;
}

bool Utf8ToLocal(std::string_view text, std::string& out) {
    text = CutAtZero(text);
    if (!IsValidUtf8(text)) return false;
    try {
        const std::u16string wide = DecodeUtf8(text);
        std::string local = platform::WideToLocal(wide);
        if (local.size() != wide.size()) {
            std::fprintf(stderr, "Unicode translation error %d\n", errno);
            return false;
        }
        out = std::move(local);
        return true;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Out of memory processing string to local charset\n");
        return false;
    }
}

std::string ToLocalIfUtf8(std::string_view text) {
    text = CutAtZero(text);
    if (IsAscii(text.data(), text.size()) || !IsValidUtf8(text)) return std::string(text);
    std::string local;
    if (!Utf8ToLocal(text, local)) return std::string(text);
    return local;
}

void DecodeIncomingText(std::string_view text, std::u16string& out) {
    text = CutAtZero(text);
    if (!IsAscii(text.data(), text.size()) && IsValidUtf8(text)) {
        out = DecodeUtf8(text);
    } else {
        out = platform::LocalToWide(text);
    }
}

bool FitsLocal(std::u16string_view text) {
    char unused = 0;
    for (char16_t unit : text) {
        if (!platform::LocalFromUnit(unit, unused)) return false;
    }
    return true;
}

EncodedMessageText EncodeMessageText(std::u16string_view text) {
    EncodedMessageText encoded;
    if (FitsLocal(text)) {
        encoded.bytes = NarrowFromWide(text);
        return encoded;
    }
    encoded.charset = kCharsetUcs2;
    encoded.bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        encoded.bytes += static_cast<char>(unit >> 8);
        encoded.bytes += static_cast<char>(unit & 0xFF);
    }
    return encoded;
}

namespace {

// The most units from the start of the text whose encoding fits maxBytes: one byte
// per unit while every unit is in the code page, two per unit from the first that
// is not (the whole part then goes as UTF-16).
std::size_t FittingUnits(std::u16string_view text, std::size_t maxBytes) {
    bool wide = false;
    char unused = 0;
    std::size_t n = 0;
    for (; n < text.size(); ++n) {
        if (!wide && !platform::LocalFromUnit(text[n], unused)) wide = true;
        if ((n + 1) * (wide ? 2 : 1) > maxBytes) break;
    }
    return n;
}

}  // namespace

std::vector<std::u16string> SplitMessageText(std::u16string_view text, std::size_t maxBytes) {
    std::vector<std::u16string> parts;
    text = text.substr(0, text.find(u'\0'));
    if (maxBytes < 4) maxBytes = 4;  // room for a surrogate pair
    while (!text.empty()) {
        std::size_t end = FittingUnits(text, maxBytes);
        std::size_t next = end;
        if (end < text.size()) {
            // The last separator inside the part, or the one right behind it.
            const std::size_t cut = text.substr(0, end + 1).find_last_of(u" \n");
            if (cut != std::u16string_view::npos && cut > 0) {
                end = cut;
                next = cut + 1;
                if (text[cut] == u'\n' && text[cut - 1] == u'\r') end = cut - 1;
            } else if (IsHighSurrogate(text[end - 1]) && IsLowSurrogate(text[end])) {
                next = --end;
            }
        }
        if (end > 0) parts.emplace_back(text.substr(0, end));
        text.remove_prefix(next);
    }
    return parts;
}

std::string NarrowWithReferences(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        char byte = 0;
        if (unit == u'&' && i + 1 < text.size() && text[i + 1] == u'#') {
            out += "&#38;";  // the '#' follows as itself
        } else if (platform::LocalFromUnit(unit, byte)) {
            out += byte;
        } else {
            out += "&#" + std::to_string(static_cast<std::uint32_t>(CodePointAt(text, i))) + ';';
        }
    }
    return out;
}

std::u16string DecodeReferences(std::u16string_view text) {
    std::u16string out;
    std::size_t from = 0;
    for (std::size_t at = text.find(u"&#"); at != std::u16string_view::npos;
         at = text.find(u"&#", at + 1)) {
        std::size_t end = at + 2;
        std::uint32_t cp = 0;
        while (end < text.size() && end - at < 9 && text[end] >= u'0' && text[end] <= u'9') {
            cp = cp * 10 + (text[end] - u'0');
            ++end;
        }
        if (end == at + 2 || end >= text.size() || text[end] != u';' || cp == 0 || cp > 0x10FFFF) {
            continue;
        }
        out.append(text.substr(from, at - from));
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        from = end + 1;
        at = end;
    }
    if (from == 0) return std::u16string(text);
    out.append(text.substr(from));
    return out;
}

}  // namespace pellox
