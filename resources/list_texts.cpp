// Writes every text of the string table and of the menus as a C++ file that lupdate
// reads (one QT_TRANSLATE_NOOP line each, under the contexts the user interface
// translates them with), to the file named by the first argument. The table itself
// stays plain data that lupdate cannot read; this walks it as the program does.

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "net/text_encoding.h"
#include "resources/menus.h"
#include "resources/strings.h"
#include "resources/text_contexts.h"

namespace {

// The text as a C string literal, in UTF-8.
std::string Literal(std::u16string_view text) {
    std::string out = "\"";
    for (const char c : pellox::EncodeUtf8(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

void CollectMenuTexts(const std::vector<pellox::MenuItem>& items, std::set<std::u16string>& texts) {
    for (const pellox::MenuItem& item : items) {
        if (!item.text.empty()) texts.insert(item.text);
        CollectMenuTexts(item.submenu, texts);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.cpp>\n", argv[0]);
        return 2;
    }
    std::string out = "// Written by pellox_list_texts for lupdate; not compiled.\n";
    for (const int id : pellox::StringIds()) {
        const std::u16string_view text = pellox::StringView(id);
        if (text.empty()) continue;
        out += "//: string " + std::to_string(id) + "\n";
        out += std::string("QT_TRANSLATE_NOOP(\"") + pellox::kStringsContext + "\", " +
               Literal(text) + ");\n";
    }
    std::set<std::u16string> menuTexts;
    for (const int id : pellox::MenuDefinitionIds()) {
        CollectMenuTexts(pellox::FindMenuDefinition(id)->items, menuTexts);
    }
    for (const std::u16string& text : menuTexts) {
        out += std::string("QT_TRANSLATE_NOOP(\"") + pellox::kMenusContext + "\", " +
               Literal(text) + ");\n";
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
