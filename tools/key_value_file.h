// Reads a section file (the store's format: "[name]" headers, "key=value" lines,
// Windows-1251) as 8-bit section names and key/value pairs, the form the server
// keeps its data in.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace pellox::server {

struct KeyValueSinks {
    // Each header's name without its brackets.
    std::function<void(const std::string& section)> section;
    // Each line of a section that holds "=": the key without trailing blanks, the
    // value without leading blanks and without CRs at its end.
    std::function<void(const std::string& key, const std::string& value)> pair;
    // A line of a section longer than the bound, which is skipped unread: its key
    // when an "=" came within the bound, else empty.
    std::function<void(const std::string& key)> longLine;
};

// Lines as the store reads them: LF ends a line, CRs at both ends of it are
// dropped, a line of at least two characters between "[" and "]" is a header,
// lines before the first header are dropped, and a last line without LF is taken
// as it stands (never a header). No line is held longer than `maxLine` bytes.
//
// The file is opened without blocking and without following a link, and must
// be a regular file: a FIFO or a device in its place is refused, never waited
// on. False with `error` (naming the path) when it cannot be opened or read.
[[nodiscard]] bool ReadKeyValueFile(const std::string& path, const KeyValueSinks& sinks, std::size_t maxLine,
                                    std::string& error);

// A value as one line of the file: a backslash, control bytes and a leading
// blank are written as \\ and \xHH. UnescapeValue reads it back (an escaped
// zero byte is dropped; a backslash that starts no escape stays as it is).
std::string EscapeValue(const std::string& text);
std::string UnescapeValue(const std::string& text);

}  // namespace pellox::server
