#include "store/message_history.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>

#include "net/text_encoding.h"
#include "platform/code_page.h"
#include "platform/local_time.h"
#include "platform/vector_lanes.h"
#include "store/file_access.h"
#include "store/section_file.h"

namespace pellox {
namespace {

// Every local-time conversion of the store goes through this lock: the C library
// re-reads the time zone inside mktime under a lock of its own that thread checkers
// cannot see, so unserialised conversions from several threads are reported as races.
std::mutex& LocalTimeLock() {
    static std::mutex lock;
    return lock;
}

// The calendar fields read as if they were UTC, in seconds since the epoch.
std::int64_t FieldSeconds(const platform::LocalTime& lt) {
    // Days from 1970-01-01 of a proleptic Gregorian date (eras of 400 years).
    const std::int64_t y = lt.year - (lt.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (lt.month + (lt.month > 2 ? -3 : 9)) + 2) / 5 + lt.day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + lt.hour * 3600 + lt.minute * 60 + lt.second;
}

bool SameFields(const platform::LocalTime& a, const platform::LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

// Converts the header times of one file as mktime does, without its cost: mktime
// re-reads the time zone on every call (with TZ unset that is a stat of
// /etc/localtime), which made it the larger part of reading a long history.
// The converter guesses the fields minus the UTC offset of its previous result and
// keeps the guess only when converting it back gives exactly the fields; otherwise
// (the offset changed: daylight saving, half-hour zones, old offsets with seconds;
// or a wall time that does not exist) the time goes to mktime. A wall time that
// exists once has only that answer. One that occurs twice (clocks set back) gets
// the same answer as from the C library's mktime, which starts from the same guess
// with the offset of its own previous result and returns it when it checks out.
// One converter lives for one read of a file, so a time zone changed between reads
// is always seen.
class HeaderTimeConverter {
public:
    std::int64_t Convert(const platform::LocalTime& lt) {
        const std::int64_t fields = FieldSeconds(lt);
        std::lock_guard guard(LocalTimeLock());
        if (haveOffset_) {
            const std::int64_t guess = fields + offset_;
            if (SameFields(platform::ToLocalTime(static_cast<std::time_t>(guess)), lt)) {
                return guess;
            }
        }
        const auto t = static_cast<std::int64_t>(platform::FromLocalTime(lt));
        // -1 is also mktime's failure, which leaves its offset as it was.
        if (t != -1 || SameFields(platform::ToLocalTime(static_cast<std::time_t>(t)), lt)) {
            offset_ = t - fields;
            haveOffset_ = true;
        }
        return t;
    }

private:
    bool haveOffset_ = false;
    std::int64_t offset_ = 0;  // result minus fields of the previous conversion
};

// Reads decimal digits at pos; false when there are none.
bool ReadNumber(std::u16string_view s, std::size_t& pos, int& value) {
    const std::size_t start = pos;
    long n = 0;
    while (pos < s.size() && s[pos] >= u'0' && s[pos] <= u'9') {
        if (n < 1'000'000) n = n * 10 + (s[pos] - u'0');
        ++pos;
    }
    value = static_cast<int>(n);
    return pos > start;
}

bool Next(std::u16string_view s, std::size_t& pos, char16_t c) {
    if (pos < s.size() && s[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The time of a header from its first space on; 0 when it is no valid local time.
// Without a converter every time goes to mktime.
std::int64_t ParseHeaderTime(std::u16string_view s, std::size_t pos,
                             HeaderTimeConverter* converter) {
    while (pos < s.size() && s[pos] <= 0x20) ++pos;
    platform::LocalTime lt;  // hour, minute and second stay 0 when missing
    const bool date = ReadNumber(s, pos, lt.day) && Next(s, pos, u'.') &&
                ReadNumber(s, pos, lt.month) && Next(s, pos, u'.') &&
                ReadNumber(s, pos, lt.year);
    if (!date) return 0;
    if (Next(s, pos, u' ')) {
        ReadNumber(s, pos, lt.hour);
        if (Next(s, pos, u':')) {
            ReadNumber(s, pos, lt.minute);
            if (Next(s, pos, u':')) ReadNumber(s, pos, lt.second);
        }
    }
    if (lt.year < 1900 || lt.year > 9999 || lt.month < 1 || lt.month > 12 || lt.day < 1 ||
        lt.day > DaysInMonth(lt.year, lt.month) || lt.hour > 23 || lt.minute > 59 ||
        lt.second > 59) {
        return 0;
    }
    if (converter != nullptr) return converter->Convert(lt);
    std::lock_guard guard(LocalTimeLock());
    return static_cast<std::int64_t>(platform::FromLocalTime(lt));
}

// Direction and time of a header line; see ParseHistoryHeader.
void ParseHeader(std::u16string_view header, MessageDirection& direction, std::int64_t& time,
                 HeaderTimeConverter* converter) {
    direction = MessageDirection::In;
    time = 0;
    const std::size_t space = header.find(u' ');
    if (space == std::u16string_view::npos || space < 2) return;
    direction = header[1] == u'I'   ? MessageDirection::In
                : header[1] == u'O' ? MessageDirection::Out
                                    : MessageDirection::System;
    time = ParseHeaderTime(header, space, converter);
}

// A body line of the shape of a header, possibly behind leading spaces: a line the
// reader would take for a header, or one already quoted. Writing adds one space in
// front of such a line and reading removes one, so no text can forge an entry.
bool IsQuotableLine(std::u16string_view line) {
    const std::size_t start = line.find_first_not_of(u' ');
    return start != std::u16string_view::npos && IsSectionHeader(line.substr(start));
}

// Appends the line as NarrowWithReferences writes it. A line of code-page
// characters without "&" (nearly every one) is narrowed in place, a byte per
// character, without the temporary string; Latin and Cyrillic letters without a
// call.
void AppendNarrowed(std::string& out, std::u16string_view line) {
    const std::size_t start = out.size();
    out.resize(start + line.size());
    char* at = out.data() + start;
    for (const char16_t c : line) {
        if (c < 0x80 && c != u'&') {
            *at++ = static_cast<char>(c);
        } else if (c >= 0x0410 && c <= 0x044F) {
            *at++ = static_cast<char>(0xC0 + (c - 0x0410));  // the Cyrillic alphabet
        } else if (c == u'&' || !platform::LocalFromUnit(c, *at++)) {
            out.resize(start);
            out += NarrowWithReferences(line);
            return;
        }
    }
}

// ASCII other than CR, LF and "&", and the Cyrillic alphabet, mixed in nearly every
// Russian line, narrowed kNarrowBlock characters at a time without a branch between
// them: false, with nothing written, unless every one of the block is such.
constexpr std::ptrdiff_t kNarrowBlock = 8;
using UnitBlock = std::uint16_t __attribute__((vector_size(2 * kNarrowBlock)));
using SignedUnitBlock = std::int16_t __attribute__((vector_size(2 * kNarrowBlock)));
using ByteBlock = std::uint8_t __attribute__((vector_size(kNarrowBlock)));

bool NarrowPlainBlock(const char16_t* in, char* out) {
    UnitBlock units;
    std::memcpy(&units, in, sizeof units);
    // Compared as signed lanes, as the processor's vector compares are: an unsigned
    // compare the compiler would take apart lane by lane. Both ranges lie below 0x8000.
    SignedUnitBlock lanes;
    std::memcpy(&lanes, in, sizeof lanes);
    const SignedUnitBlock cyrillicLanes = (lanes >= 0x0410) & (lanes <= 0x044F);
    const SignedUnitBlock plainLanes = (lanes >= 0) & (lanes < 0x80) & (lanes != 0x0D) &
                                       (lanes != 0x0A) & (lanes != 0x26);  // CR, LF, "&"
    if (!platform::EveryLane(cyrillicLanes | plainLanes)) return false;
    UnitBlock cyrillic;
    std::memcpy(&cyrillic, &cyrillicLanes, sizeof cyrillic);
    // 0x0410 and up become 0xC0 and up: the low byte of the difference.
    const UnitBlock narrowed = units + (cyrillic & static_cast<std::uint16_t>(0xC0 - 0x0410));
    const ByteBlock bytes = __builtin_convertvector(narrowed, ByteBlock);
    std::memcpy(out, &bytes, sizeof bytes);
    return true;
}

// AppendHistoryBody for a text whose every character has a byte in the code page
// and that has no "&" (nearly every text), in one pass over it; false, with nothing
// appended, for any other text.
bool AppendPlainHistoryBody(std::string& body, std::u16string_view text) {
    const std::size_t start = body.size();
    // At most two bytes a character: a lone CR or LF becomes CR LF, and a quoted line
    // has at least the two characters of its brackets.
    body.resize(start + 2 * text.size());
    char* out = body.data() + start;
    const char16_t* at = text.data();
    const char16_t* const end = at + text.size();
    for (;;) {
        const char16_t* first = at;  // the line's first character after its spaces
        while (first != end && *first == u' ') ++first;
        if (first != end && *first == u'[') {
            const char16_t* lineEnd = first;
            while (lineEnd != end && *lineEnd != u'\r' && *lineEnd != u'\n') ++lineEnd;
            if (lineEnd - first >= 2 && lineEnd[-1] == u']') *out++ = ' ';
        }
        while (end - at >= kNarrowBlock && NarrowPlainBlock(at, out)) {
            at += kNarrowBlock;
            out += kNarrowBlock;
        }
        for (; at != end; ++at) {
            const char16_t c = *at;
            if (c < 0x80 && c != u'\r' && c != u'\n' && c != u'&') {
                *out++ = static_cast<char>(c);
            } else if (c >= 0x0410 && c <= 0x044F) {
                *out++ = static_cast<char>(0xC0 + (c - 0x0410));  // the Cyrillic alphabet
            } else if (c < 0x80 || !platform::LocalFromUnit(c, *out++)) {
                break;
            }
        }
        if (at == end) break;
        if (*at != u'\r' && *at != u'\n') {
            body.resize(start);
            return false;
        }
        *out++ = '\r';
        *out++ = '\n';
        at += *at == u'\r' && at + 1 != end && at[1] == u'\n' ? 2 : 1;
    }
    body.resize(static_cast<std::size_t>(out - body.data()));
    return true;
}

// Appends the body as written: every line break (CR LF, lone CR, lone LF) as CR LF,
// lines of a header's shape quoted, characters outside the code page as references.
void AppendHistoryBody(std::string& body, std::u16string_view text) {
    if (AppendPlainHistoryBody(body, text)) return;
    while (true) {
        const std::size_t end = text.find_first_of(u"\r\n");
        const std::u16string_view line = text.substr(0, end);
        if (IsQuotableLine(line)) body += ' ';
        AppendNarrowed(body, line);
        if (end == std::u16string_view::npos) break;
        body += "\r\n";
        const bool pair = text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n';
        text.remove_prefix(end + (pair ? 2 : 1));
    }
}

// A body line as read back: one quoting space removed, references decoded.
std::u16string ReadHistoryBodyLine(std::u16string_view line) {
    if (!line.empty() && line.front() == u' ' && IsQuotableLine(line)) line.remove_prefix(1);
    return DecodeReferences(line);
}

// C0 control characters other than tab, CR and LF: a peer's text never carries
// them into a file (nor into a terminal that shows one).
bool IsDroppedControl(char16_t c) {
    return c < u' ' && c != u'\t' && c != u'\r' && c != u'\n';
}

// Whether any character of the text is one IsDroppedControl drops (a zero included),
// looked for kNarrowBlock characters at a time.
bool HasDroppedControl(std::u16string_view text) {
    std::size_t at = 0;
    for (; at + kNarrowBlock <= text.size(); at += kNarrowBlock) {
        SignedUnitBlock lanes;
        std::memcpy(&lanes, text.data() + at, sizeof lanes);
        const SignedUnitBlock dropped = (lanes >= 0) & (lanes < 0x20) & (lanes != 0x09) &
                                        (lanes != 0x0D) & (lanes != 0x0A);  // but tab, CR, LF
        if (platform::AnyLane(dropped)) return true;
    }
    return std::any_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), IsDroppedControl);
}

// The text as a history keeps it: up to its first zero, without dropped controls.
// A text without either (nearly every one) is kept as it is.
std::u16string StoredText(std::u16string text) {
    if (!HasDroppedControl(text)) return text;  // no zero either
    if (const std::size_t zero = text.find(u'\0'); zero != std::u16string::npos) text.resize(zero);
    std::erase_if(text, IsDroppedControl);
    return text;
}

// Collects the entries of a history file.
class HistoryReader : public SectionFileHandler {
public:
    explicit HistoryReader(const std::function<void(MessageEntry&)>& each) : each_(each) {}

    void OnLine(SectionEvent kind, const std::u16string& line) override {
        switch (kind) {
            case SectionEvent::SectionStart:
                Reset();
                ParseHeader(line, current_.direction, current_.time, &times_);
                break;
            case SectionEvent::SectionLine:
                if (!current_.text.empty()) current_.text += u"\r\n";
                current_.text += ReadHistoryBodyLine(line);
                break;
            case SectionEvent::SectionEnd:
                if (!current_.text.empty()) each_(current_);
                Reset();
                break;
        }
    }

private:
    // An empty entry that keeps its text's room for the next one.
    void Reset() {
        std::u16string text = std::move(current_.text);
        text.clear();
        current_ = MessageEntry();
        current_.text = std::move(text);
    }

    const std::function<void(MessageEntry&)>& each_;
    MessageEntry current_;
    HeaderTimeConverter times_;
};

}  // namespace

MessageHistory::MessageHistory(std::string directory) : directory_(std::move(directory)) {}

bool MessageHistory::Load(const std::string& fileName) {
    std::lock_guard lock(lock_);
    fileName_ = fileName;
    path_ = directory_ + fileName_;
    std::vector<MessageEntry> read;
    const bool ok = ReadHistoryFile(directory_, fileName_, read);
    if (entries_.empty()) {
        entries_ = std::move(read);
    } else {
        entries_.insert(entries_.end(), std::make_move_iterator(read.begin()),
                        std::make_move_iterator(read.end()));
    }
    return ok;
}

bool ReadHistoryFile(const std::string& directory, const std::string& fileName,
                     std::vector<MessageEntry>& entries) {
    entries.clear();
    return ReadHistoryFile(directory, fileName,
                           [&entries](MessageEntry& entry) { entries.push_back(std::move(entry)); });
}

bool ReadHistoryFile(const std::string& directory, const std::string& fileName,
                     const std::function<void(MessageEntry&)>& each) {
    const std::string path = directory + fileName;
    HistoryReader reader(each);
    const bool ok = !UntrustedDirectory(directory) && ReadSectionFile(reader, path);
    return ok || !platform::FileExists(path);
}

std::size_t MessageHistory::Append(MessageEntry entry) {
    entry.text = StoredText(std::move(entry.text));
    std::lock_guard lock(lock_);
    if (!fileName_.empty()) {
        FormatHistoryEntry(entry, formatted_);
        (void)AppendToFile(Path(), formatted_);
    }
    entries_.push_back(std::move(entry));
    return entries_.size() - 1;
}

bool MessageHistory::RemoveNewest(MessageDirection direction, std::u16string_view text) {
    const std::u16string stored = StoredText(std::u16string(text));
    std::lock_guard lock(lock_);
    const auto found = std::find_if(entries_.rbegin(), entries_.rend(), [&](const MessageEntry& e) {
        return e.direction == direction && e.text == stored;
    });
    if (found == entries_.rend()) return false;
    const auto removed = std::next(found).base();
    // Only the entry's own bytes leave the file: the rest stays as it was written,
    // even what this version would write otherwise. An entry whose bytes are not
    // there (read from an older file, or never written) leaves the file alone.
    if (!fileName_.empty()) (void)CutFromFile(directory_, fileName_, FormatHistoryEntry(*removed));
    entries_.erase(removed);
    return true;
}

void MessageHistory::Clear() {
    std::lock_guard lock(lock_);
    if (fileName_.empty()) return;
    (void)DeleteStoredFile(Path());
    entries_.clear();
}

void MessageHistory::DeleteFile() {
    std::lock_guard lock(lock_);
    if (!fileName_.empty()) (void)DeleteStoredFile(Path());
}

std::vector<MessageEntry> MessageHistory::Entries() const {
    std::lock_guard lock(lock_);
    return entries_;
}

std::vector<MessageEntry> MessageHistory::EntriesFrom(std::size_t first) const {
    std::lock_guard lock(lock_);
    if (first >= entries_.size()) return {};
    return std::vector<MessageEntry>(entries_.begin() + static_cast<std::ptrdiff_t>(first),
                                     entries_.end());
}

std::vector<MessageEntry> MessageHistory::EntriesBetween(std::size_t first,
                                                         std::size_t last) const {
    std::lock_guard lock(lock_);
    last = std::min(last, entries_.size());
    if (first >= last) return {};
    return std::vector<MessageEntry>(entries_.begin() + static_cast<std::ptrdiff_t>(first),
                                     entries_.begin() + static_cast<std::ptrdiff_t>(last));
}

void MessageHistory::VisitNewestFirst(
    std::size_t first, std::size_t last,
    const std::function<void(std::size_t, const MessageEntry&)>& fn) const {
    std::lock_guard lock(lock_);
    last = std::min(last, entries_.size());
    for (std::size_t i = last; i > first; --i) fn(i - 1, entries_[i - 1]);
}

std::size_t MessageHistory::Count() const {
    std::lock_guard lock(lock_);
    return entries_.size();
}

std::string MessageHistory::FileName() const {
    std::lock_guard lock(lock_);
    return fileName_;
}

std::string HistoryFileName(std::u16string_view uin) {
    return "msg_" + FileNameComponent(uin) + ".txt";
}

std::u16string_view DirectionWord(MessageDirection direction) {
    switch (direction) {
        case MessageDirection::In: return u"IN";
        case MessageDirection::Out: return u"OUT";
        case MessageDirection::System: break;
    }
    return u"System";
}

namespace {

// The local time as "%d.%m.%Y %H:%M:%S" (ASCII) in buf; its length, 0 when the
// time cannot be converted. The last second formatted on this thread is kept: a
// burst of messages shares its second, and the conversion is most of an entry's
// formatting.
std::size_t FormatLocalTime(std::int64_t time, char (&buf)[64]) {
    thread_local std::int64_t lastTime = 0;
    thread_local char lastText[64];
    thread_local std::size_t lastLength = 0;
    if (lastLength != 0 && time == lastTime) {
        std::copy_n(lastText, lastLength, buf);
        return lastLength;
    }
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm tm{};
    {
        std::lock_guard guard(LocalTimeLock());
        if (localtime_r(&t, &tm) == nullptr) return 0;
    }
    const std::size_t length = std::strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", &tm);
    lastTime = time;
    lastLength = length;
    std::copy_n(buf, length, lastText);
    return length;
}

}  // namespace

std::u16string HistoryTimeText(std::int64_t time) {
    char buf[64];
    const std::size_t n = FormatLocalTime(time, buf);
    return std::u16string(buf, buf + n);
}

std::string FormatHistoryEntry(const MessageEntry& entry) {
    std::string whole;
    FormatHistoryEntry(entry, whole);
    return whole;
}

void FormatHistoryEntry(const MessageEntry& entry, std::string& whole) {
    // The header is ASCII, the same in the code page as in UTF-16: only the text
    // needs narrowing.
    char time[64];
    const std::size_t timeLength = FormatLocalTime(entry.time, time);
    const std::u16string_view word = DirectionWord(entry.direction);
    whole.clear();
    whole.reserve(word.size() + timeLength + 2 * entry.text.size() + 7);
    whole += '[';
    for (char16_t c : word) whole += static_cast<char>(c);
    whole += ' ';
    whole.append(time, timeLength);
    whole += "]\r\n";
    AppendHistoryBody(whole, entry.text);
    whole += "\r\n";
}

void ParseHistoryHeader(std::u16string_view header, MessageDirection& direction,
                        std::int64_t& time) {
    ParseHeader(header, direction, time, nullptr);
}

}  // namespace pellox
