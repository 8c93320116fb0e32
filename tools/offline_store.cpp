#include "tools/offline_store.h"

#include <algorithm>
#include <optional>
#include <set>

#include "platform/files.h"
#include "store/file_access.h"
#include "tools/key_value_file.h"
#include "tools/server_config.h"

namespace pellox::server {
namespace {

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// A journal that has grown past twice what is live (and past this) is rewritten.
constexpr std::size_t kCompactSlack = 64 * 1024;
// Bytes of a message record beside its text, for the growth estimate.
constexpr std::size_t kRecordOverhead = 96;


std::string MessageRecord(const OfflineMessage& m) {
    std::string r = "[message]\r\nid=" + std::to_string(m.id) + "\r\nto=" + UinText(m.to) + "\r\nfrom=" +
                    UinText(m.from) + "\r\ntime=" + std::to_string(static_cast<long long>(m.time)) + "\r\n";
    if (m.charset != 0) r += "charset=" + std::to_string(m.charset) + "\r\n";
    r += "text=" + OfflineStore::EscapeText(m.text) + "\r\nend=1\r\n";
    return r;
}

// One record of the file as read, before it is applied.
struct Record {
    bool remove = false;
    bool ended = false;
    bool tooLong = false;  // a line of it was past the bound and skipped
    OfflineMessage message;
};

}  // namespace

OfflineStore::OfflineStore(std::string path, const OfflineLimits& limits)
    : path_(std::move(path)), limits_(limits) {}

OfflineStore::OfflineStore(std::string path, std::size_t maxPerRecipient)
    : OfflineStore(std::move(path), OfflineLimits{maxPerRecipient}) {}

OfflineStore::~OfflineStore() {
    std::lock_guard<std::mutex> lock(fileLock_);
    CloseJournal();
}

std::string OfflineStore::EscapeText(const std::string& text) { return EscapeValue(text); }

std::string OfflineStore::UnescapeText(const std::string& text) { return UnescapeValue(text); }

bool OfflineStore::Load(std::string& error) {
    std::string warning;
    return Load(error, warning);
}

// The records are applied as they are read, under the same limits as new
// messages (what a record deletes makes room again), so that no file, however
// long or hand-made, holds more in memory than the store takes.
bool OfflineStore::Load(std::string& error, std::string& warning) {
    std::lock_guard<std::mutex> fileLock(fileLock_);
    CloseJournal();
    std::lock_guard<std::mutex> lock(memoryLock_);
    messages_.clear();
    pending_.clear();
    nextId_ = 1;
    bytes_ = 0;
    if (path_.empty() || !platform::FileExists(path_)) return true;

    bool journal = false;  // a version-2 file: records count only with their end mark
    bool header = false;
    std::optional<Record> record;
    std::size_t skipped = 0;
    auto apply = [&] {
        if (!record) return;
        Record r = std::move(*record);
        record.reset();
        if (journal && !r.ended) return;  // cut short by a crash
        if (r.remove) {
            auto it = std::find_if(messages_.begin(), messages_.end(),
                                   [&r](const OfflineMessage& m) { return m.id != 0 && m.id == r.message.id; });
            if (it != messages_.end()) {
                bytes_ -= it->text.size();
                messages_.erase(it);
            }
        } else if (r.message.to != 0 && r.message.from != 0) {  // of no use without either
            if (r.tooLong || RefusalLocked(r.message.to, r.message.text) != OfflineRefusal::None) {
                ++skipped;
                return;
            }
            bytes_ += r.message.text.size();
            messages_.push_back(std::move(r.message));
        }
    };
    KeyValueSinks sinks;
    sinks.section = [&](const std::string& name) {
        apply();
        header = name == "offline";
        if (name == "message" || name == "delete") record = Record{name == "delete", false, false, {}};
    };
    sinks.pair = [&](const std::string& key, const std::string& value) {
        if (header) {
            if (key == "version" && value == "2") journal = true;
            return;
        }
        if (!record) return;
        OfflineMessage& m = record->message;
        std::uint64_t number = 0;
        if (key == "text") {
            m.text = UnescapeText(value);
        } else if (key == "to" || key == "from") {
            Uin uin = 0;
            if (ParseUin(value, uin)) (key == "to" ? m.to : m.from) = uin;
        } else if (key == "id" && ParseUnsigned(value, number)) {
            m.id = number;
        } else if (key == "time" && ParseUnsigned(value, number)) {
            m.time = static_cast<std::time_t>(number);
        } else if (key == "charset" && ParseUnsigned(value, number) && number <= 0xFFFF) {
            m.charset = static_cast<std::uint16_t>(number);
        } else if (key == "end" && value == "1") {
            record->ended = true;
        }
    };
    sinks.longLine = [&](const std::string&) {
        if (record) record->tooLong = true;
    };
    // An escaped byte takes at most four characters.
    const std::size_t maxLine = 4 * limits_.maxTextBytes + 64;
    if (!ReadKeyValueFile(path_, sinks, maxLine, error)) {
        messages_.clear();
        bytes_ = 0;
        error = "cannot read the offline message file: " + error;
        return false;
    }
    apply();
    if (skipped > 0) {
        warning = "warning: " + std::to_string(skipped) + " offline messages in " + path_ +
                  " skipped: longer or more than the store takes";
    }

    // Ids must be unique for deletion to hit the right message; renumber anything
    // a hand edit made ambiguous.
    std::set<std::uint64_t> seen;
    for (OfflineMessage& m : messages_) {
        if (m.id == 0 || !seen.insert(m.id).second) m.id = 0;
    }
    for (const OfflineMessage& m : messages_) nextId_ = std::max(nextId_, m.id + 1);
    for (OfflineMessage& m : messages_) {
        if (m.id == 0) m.id = nextId_++;
    }
    // The journal starts afresh from what was read; when that fails, the next
    // flush tries again and reports it.
    return true;
}

OfflineRefusal OfflineStore::Refusal(Uin to, const std::string& text) const {
    std::lock_guard<std::mutex> lock(memoryLock_);
    return RefusalLocked(to, text);
}

OfflineRefusal OfflineStore::RefusalLocked(Uin to, const std::string& text) const {
    if (text.size() > limits_.maxTextBytes) return OfflineRefusal::TooLong;
    std::size_t waiting = 0, waitingBytes = 0;
    for (const OfflineMessage& m : messages_) {
        if (m.to != to) continue;
        ++waiting;
        waitingBytes += m.text.size();
    }
    if (waiting >= limits_.maxPerRecipient || waitingBytes + text.size() > limits_.maxRecipientBytes) {
        return OfflineRefusal::RecipientFull;
    }
    if (bytes_ + text.size() > limits_.maxStoreBytes) return OfflineRefusal::StoreFull;
    return OfflineRefusal::None;
}

OfflineRefusal OfflineStore::Stage(Uin to, Uin from, std::time_t time, std::uint16_t charset, std::string text) {
    text.resize(std::min(text.size(), text.find('\0')));
    std::lock_guard<std::mutex> lock(memoryLock_);
    if (const OfflineRefusal refusal = RefusalLocked(to, text); refusal != OfflineRefusal::None) return refusal;
    bytes_ += text.size();
    messages_.push_back({nextId_++, to, from, time, charset, std::move(text)});
    if (!path_.empty()) pending_ += MessageRecord(messages_.back());
    return OfflineRefusal::None;
}

std::size_t OfflineStore::StageRemove(Uin to, const std::vector<std::uint64_t>& ids) {
    std::lock_guard<std::mutex> lock(memoryLock_);
    std::size_t removed = 0;
    std::erase_if(messages_, [&](const OfflineMessage& m) {
        if (m.to != to || std::find(ids.begin(), ids.end(), m.id) == ids.end()) return false;
        bytes_ -= m.text.size();
        if (!path_.empty()) pending_ += "[delete]\r\nid=" + std::to_string(m.id) + "\r\nend=1\r\n";
        ++removed;
        return true;
    });
    return removed;
}

bool OfflineStore::Flush(std::string& error) {
    if (path_.empty()) return true;
    std::lock_guard<std::mutex> fileLock(fileLock_);
    std::string records;
    std::size_t live = 0;
    {
        std::lock_guard<std::mutex> lock(memoryLock_);
        if (pending_.empty() && journalFile_.IsOpen()) return true;
        live = bytes_ + kRecordOverhead * messages_.size();
        if (journalFile_.IsOpen() && journalBytes_ + pending_.size() <= 2 * live + kCompactSlack) records.swap(pending_);
    }
    // No journal open (the first flush after a load, or after a failed write), or
    // one grown too long: rewrite the file from memory.
    if (records.empty()) return Compact(error);
    return AppendRecords(records, error);
}

bool OfflineStore::Compact(std::string& error) {
    CloseJournal();
    std::string text = "[offline]\r\nversion=2\r\n";
    {
        std::lock_guard<std::mutex> lock(memoryLock_);
        for (const OfflineMessage& m : messages_) text += MessageRecord(m);
        pending_.clear();  // all of it is in the snapshot
    }
    const std::string directory = DirectoryOf(path_) + "/";
    const std::string name = path_.substr(path_.find_last_of('/') + 1);
    if (!ReplaceFileContents(directory, name, [&text]() -> std::optional<std::string> { return text; }) ||
        !journalFile_.Open(path_, platform::OpenMode::Append, 0600)) {
        journalFile_.Close();
        error = "cannot write the offline message file " + path_;
        return false;
    }
    journalBytes_ = text.size();
    return true;
}

bool OfflineStore::AppendRecords(const std::string& records, std::string& error) {
    if (!journalFile_.Write(records) || !journalFile_.Sync()) {
        // A write cut short leaves a record without its end mark; the next flush
        // rewrites the whole file from memory.
        CloseJournal();
        error = "cannot write the offline message file " + path_;
        return false;
    }
    journalBytes_ += records.size();
    return true;
}

void OfflineStore::CloseJournal() { journalFile_.Close(); }

bool OfflineStore::Add(Uin to, Uin from, std::time_t time, std::string text, std::string& error) {
    if (Stage(to, from, time, 0, std::move(text)) != OfflineRefusal::None) return false;
    Flush(error);
    return true;
}

std::size_t OfflineStore::Remove(Uin to, const std::vector<std::uint64_t>& ids, std::string& error) {
    std::size_t removed = StageRemove(to, ids);
    if (removed > 0) Flush(error);
    return removed;
}

std::vector<OfflineMessage> OfflineStore::For(Uin to) const {
    std::lock_guard<std::mutex> lock(memoryLock_);
    std::vector<OfflineMessage> out;
    for (const OfflineMessage& m : messages_) {
        if (m.to == to) out.push_back(m);
    }
    return out;
}

std::size_t OfflineStore::Size() const {
    std::lock_guard<std::mutex> lock(memoryLock_);
    return messages_.size();
}

std::size_t OfflineStore::Bytes() const {
    std::lock_guard<std::mutex> lock(memoryLock_);
    return bytes_;
}

}  // namespace pellox::server
