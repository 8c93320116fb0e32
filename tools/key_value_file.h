// Reads a section file (the store's format: "[name]" headers, "key=value" lines,
// Windows-1251) as 8-bit section names and key/value pairs, the form the server
// keeps its data in.
#pragma once

#include <functional>
#include <string>

namespace pellox::server {

using SectionSink = std::function<void(const std::string& section)>;
using PairSink = std::function<void(const std::string& key, const std::string& value)>;

// onSection gets each header's name without its brackets; onPair each line of a
// section that holds "=" (key without trailing blanks, value without leading
// blanks and without CRs at its end). False when the file cannot be read.
[[nodiscard]] bool ReadKeyValueFile(const std::string& path, const SectionSink& onSection,
                                    const PairSink& onPair);

}  // namespace pellox::server
