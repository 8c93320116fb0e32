// Fuzz target: a history file ("msg_<UIN>.txt") as another program or a crash may
// have left it, torn last entry included.
//
// Loading keeps only entries with text; an entry appended afterwards is stored and
// comes back as the last entry when the file is read again, whatever the file held
// before it.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
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
    MessageHistory again(dir);
    Check(again.Load(name), "the file could not be read after an append");
    const std::vector<MessageEntry> after = again.Entries();
    Check(!after.empty() && after.back() == added, "an appended entry did not come back");
    Check(after.size() >= entries.size() + 1 - (entries.empty() ? 0 : 1),
          "an append lost earlier entries");
    return 0;
}
