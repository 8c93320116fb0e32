#include "tools/section_text.h"

namespace pellox::server {
namespace {

std::string_view TrimCr(std::string_view line) {
    while (!line.empty() && line.front() == '\r') line.remove_prefix(1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool IsHeader(std::string_view line) {
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

}  // namespace

void ParseSectionText(std::string_view text, const SectionStartSink& onSection,
                      const SectionLineSink& onLine) {
    std::string section;
    bool inside = false;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = TrimCr(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (IsHeader(line)) {
            std::string_view name = line;
            while (!name.empty() && name.front() == '[') name.remove_prefix(1);
            while (!name.empty() && name.back() == ']') name.remove_suffix(1);
            section.assign(name);
            inside = true;
            if (onSection) onSection(section);
        } else if (inside && !line.empty()) {
            onLine(section, line);
        }
    }
}

bool SplitKeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = line.substr(0, eq);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    value = line.substr(eq + 1);
    return true;
}

}  // namespace pellox::server
