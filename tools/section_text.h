// Reads the bracket-section text format used by the server's files: "[name]"
// header lines, each followed by "key=value" lines, LF (or CR LF) line ends, 8-bit
// text in Windows-1251. Lines before the first header are ignored.
//
// The server keeps its text 8-bit throughout, so this reader hands out the raw
// bytes of each line rather than converting them.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace pellox::server {

// Called once per line of a section: the section name (brackets removed) and the
// line with CRs at both ends removed. Empty lines are skipped.
using SectionLineSink = std::function<void(std::string_view section, std::string_view line)>;
// Called at each header, so that a section without lines is seen too.
using SectionStartSink = std::function<void(std::string_view section)>;

void ParseSectionText(std::string_view text, const SectionStartSink& onSection,
                      const SectionLineSink& onLine);

// Splits "key=value" at the first '='; the key loses trailing blanks, the value
// is kept as it stands. False when there is no '='.
[[nodiscard]] bool SplitKeyValue(std::string_view line, std::string_view& key,
                                 std::string_view& value);

}  // namespace pellox::server
