// Fuzz target: a history file ("msg_<UIN>.txt") as another program or a crash may
// have left it, torn last entry included.
//
// Loading keeps only entries with text; entries appended afterwards are stored and
// come back as the last entries when the file is read again, whatever the file held
// before them, the file's own bytes taken as a message text included.
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/text_encoding.h"
#include "store/message_history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellox;
    using fuzz::Check;
    const std::string& dir = fuzz::ScratchDirectory::Path();
    const std::string name = HistoryFileName(u"555");
    fuzz::ScratchDirectory::WriteFile(name, data, size);

    MessageHistory history(dir);
    Check(history.Load(name), "the file could not be read");
    const std::vector<MessageEntry> entries = history.Entries();
    for (const MessageEntry& e : entries) {
        Check(!e.text.empty(), "an entry without text");
        Check(e.direction == MessageDirection::In || e.direction == MessageDirection::Out ||
                  e.direction == MessageDirection::System,
              "an entry with an unknown direction");
    }

    const MessageEntry added{u"after\r\nthe crash", 1700000000, MessageDirection::Out};
    history.Append(added);
    // The input as the text of a message (any character, forged headers, stray line
    // breaks): it comes back as it was, up to its first zero, without the control
    // characters a history never keeps (C0 but tab, CR and LF), and with its line
    // breaks as CR LF.
    const std::u16string any = u"x" + DecodeUtf8(std::string_view(
                                          reinterpret_cast<const char*>(data), size));
    std::u16string kept = any.substr(0, any.find(u'\0'));
    std::erase_if(kept, [](char16_t c) { return c < u' ' && c != u'\t' && c != u'\r' && c != u'\n'; });
    std::u16string expected;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i] == u'\r' || kept[i] == u'\n') {
            expected += u"\r\n";
            if (kept[i] == u'\r' && i + 1 < kept.size() && kept[i + 1] == u'\n') ++i;
        } else {
            expected += kept[i];
        }
    }
    history.Append(MessageEntry{any, 1700000001, MessageDirection::In});
    MessageHistory again(dir);
    Check(again.Load(name), "the file could not be read after an append");
    const std::vector<MessageEntry> after = again.Entries();
    Check(after.size() >= 2 && after[after.size() - 2] == added,
          "an appended entry did not come back");
    Check(after.back().text == expected, "a text did not read back as it was written");
    Check(after.size() >= entries.size() + 2 - (entries.empty() ? 0 : 1),
          "an append lost earlier entries");
    return 0;
}
