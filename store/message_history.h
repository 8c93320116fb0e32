// A contact's conversation: the entries in memory and the append-only file
// "msg_<UIN>.txt" in the data directory that mirrors them.
//
// Entry format (Windows-1251, no byte-order mark):
//   "[" word " " time "]" CR LF  text CR LF
// with the word "IN", "OUT" or "System" and the time in local time as
// "%d.%m.%Y %H:%M:%S" (empty when it cannot be converted). Every line break of the
// text (CR LF, a lone CR or a lone LF) is written as CR LF. A text line that has a
// header's shape ("[" ... "]"), alone or behind spaces, is written with one more
// leading space, and a character outside the code page as "&#N;" (a literal "&#"
// as "&#38;#"; see NarrowWithReferences). A text ends at its first zero character,
// and the other C0 control characters except tab and the line breaks are dropped
// (in memory as in the file).
//
// Reading uses the section-file reader: a header line starts an entry, the lines
// below it are its text joined by CR LF, and an entry with empty text is dropped.
// A body line of a header's shape behind spaces loses one space, and references
// are decoded. Empty lines at the start of a text vanish. A header is parsed
// as follows. When its first space stands at position 2 or later, the letter after
// "[" gives the direction ("I" In, "O" Out, anything else System) and the text
// after the space gives the time: day "." month "." year " " hour ":" minute ":"
// second, the time parts optional (0). A header whose date or time is missing, out
// of range (year before 1900 or after 9999, month outside 1..12, day outside the
// month, hour above 23, minute or second above 59) or not a valid local time keeps
// its direction and gets time 0; the entry and the rest of the file still load.
// Without such a space the entry is In with time 0.
//
// Thread safety: every member may be called from any thread. One lock per history
// guards its entries and its file, so appends from several threads are all kept,
// each once, in the same order in memory and in the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pellox {

enum class MessageDirection : std::int32_t {
    In = 0,      // received
    Out = 1,     // sent
    System = 2,  // only from reading a header whose word starts with neither "I" nor "O"
};

struct MessageEntry {
    std::u16string text;     // lines joined by CR LF
    std::int64_t time = 0;   // seconds since 1970-01-01 00:00 UTC
    MessageDirection direction = MessageDirection::In;

    bool operator==(const MessageEntry&) const = default;
};

class MessageHistory {
public:
    // A history of the given data directory, not yet bound to a file.
    explicit MessageHistory(std::string directory);
    MessageHistory(const MessageHistory&) = delete;
    MessageHistory& operator=(const MessageHistory&) = delete;

    // Binds the history to directory + fileName and adds the file's entries at the
    // end of the list. False when the file could not be read (a missing file is an
    // empty history).
    bool Load(const std::string& fileName);

    // Writes the entry to the file (when bound; a failed write is not retried and
    // only loses the stored copy) and adds it at the end; returns its index.
    std::size_t Append(MessageEntry entry);

    // Takes the newest entry with this direction and text (as Append stores it) out
    // of the list and, when bound, its bytes out of the file (see CutFromFile): a
    // message that turned out not to be sent. False when there is no such entry.
    bool RemoveNewest(MessageDirection direction, std::u16string_view text);

    // When bound: deletes the file and removes every entry. Unbound: nothing.
    void Clear();
    // When bound: deletes the file; the entries stay.
    void DeleteFile();

    std::vector<MessageEntry> Entries() const;
    // The entries from index `first` on (empty when there are no more).
    std::vector<MessageEntry> EntriesFrom(std::size_t first) const;
    // The entries with indexes first..last-1 that exist (empty when none do): lets a
    // painter copy only the newest entries of a long history.
    std::vector<MessageEntry> EntriesBetween(std::size_t first, std::size_t last) const;
    // Calls fn(index, entry) for the entries with indexes first..last-1 that exist,
    // the highest index first, while holding the history's lock (fn must not call
    // back into the history): lets a search read a long history without copying it.
    void VisitNewestFirst(std::size_t first, std::size_t last,
                          const std::function<void(std::size_t, const MessageEntry&)>& fn) const;
    std::size_t Count() const;
    // The file name inside the data directory; empty when not bound.
    std::string FileName() const;

private:
    const std::string& Path() const { return path_; }

    const std::string directory_;
    mutable std::mutex lock_;  // entries_, fileName_, path_, formatted_ and the file
    std::vector<MessageEntry> entries_;
    std::string fileName_;
    std::string path_;  // directory_ + fileName_, built once: every append uses it
    std::string formatted_;  // the entry an append writes, its buffer kept between appends
};

// "msg_" + UIN + ".txt", the UIN as a file name component (file_access.h).
std::string HistoryFileName(std::u16string_view uin);

// The entries of the file directory + fileName, as Load would add them, into
// `entries` (replacing what it held); nothing is bound, kept or written. False when
// the file could not be read; a missing file is an empty history.
bool ReadHistoryFile(const std::string& directory, const std::string& fileName,
                     std::vector<MessageEntry>& entries);
// The same entries, handed to `each` one at a time as they are read, oldest first,
// in one entry reused for the next (`each` may move its text out): the file is
// never held whole.
bool ReadHistoryFile(const std::string& directory, const std::string& fileName,
                     const std::function<void(MessageEntry&)>& each);

// The direction word: "IN", "OUT", "System".
std::u16string_view DirectionWord(MessageDirection direction);
// The local time as "%d.%m.%Y %H:%M:%S"; empty when it cannot be converted.
std::u16string HistoryTimeText(std::int64_t time);
// The whole entry in the file's bytes.
std::string FormatHistoryEntry(const MessageEntry& entry);
// The same into `out` (replacing what it held), reusing its buffer.
void FormatHistoryEntry(const MessageEntry& entry, std::string& out);
// Direction and time of a header line ("[" ... "]"), by the rules above.
void ParseHistoryHeader(std::u16string_view header, MessageDirection& direction,
                        std::int64_t& time);

}  // namespace pellox
