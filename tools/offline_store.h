// Messages kept for UINs that were offline when they were sent.
//
// With a file name the store is a journal: each change is appended to the file as
// one record and flushed to disk, and the whole file is rewritten (a temporary
// file, then an atomic rename) only when it has grown to twice what is live, and
// once at load. The file is a section file in Windows-1251:
//   [offline]   version=2                       (first; absent in older files)
//   [message]   id=7  to=100002  from=100001  time=<seconds since the epoch>
//               charset=2  text=<escaped>  end=1
//   [delete]    id=7  end=1
// (one key per line). A record of a version-2 file counts only with its end=1,
// so a record a crash cut short is dropped; older files have neither the header
// nor end marks and load as they are. charset is the message's character set on
// the wire (0 when absent): for 2 (UCS-2) the text is kept as UTF-8, otherwise it
// is the bytes as received. In the text, a backslash, control bytes and a leading
// blank are written as \\ and \xHH so that every message stays on one line.
//
// Threads: every member may be called from any thread. Stage and StageRemove
// change the memory at once and only queue their records; Flush does the file
// work, so the caller can do it outside its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "net/text_encoding.h"
#include "platform/files.h"
#include "tools/accounts.h"

namespace pellox::server {

struct OfflineMessage {
    std::uint64_t id = 0;
    Uin to = 0;
    Uin from = 0;
    std::time_t time = 0;
    std::uint16_t charset = 0;
    std::string text;  // no zero byte; UTF-8 for charset 2, the bytes as sent otherwise
};

struct OfflineLimits {
    std::size_t maxPerRecipient = 200;          // messages waiting for one UIN
    std::size_t maxTextBytes = 8 * 1024;        // text of one message as stored
    std::size_t maxRecipientBytes = 256 * 1024; // text waiting for one UIN
    std::size_t maxStoreBytes = 16 * 1024 * 1024;  // text of the whole store
};

enum class OfflineRefusal { None, TooLong, RecipientFull, StoreFull };

class OfflineStore {
public:
    // An empty path keeps the messages in memory only.
    OfflineStore(std::string path, const OfflineLimits& limits);
    OfflineStore(std::string path, std::size_t maxPerRecipient);
    ~OfflineStore();
    OfflineStore(const OfflineStore&) = delete;
    OfflineStore& operator=(const OfflineStore&) = delete;

    // Reads the file; a missing file is an empty store. The first flush rewrites
    // it compacted. What is read is held to the same limits as new messages: what
    // is past them is skipped, and `warning` says how much. False (with `error`)
    // when the file exists but cannot be read or is not a regular file.
    [[nodiscard]] bool Load(std::string& error, std::string& warning);
    [[nodiscard]] bool Load(std::string& error);

    // Why the store would not take this text for `to` now; None when it would.
    OfflineRefusal Refusal(Uin to, const std::string& text) const;
    // Takes a message into memory and queues its record; None when stored.
    OfflineRefusal Stage(Uin to, Uin from, std::time_t time, std::uint16_t charset, std::string text);
    // Deletes the messages of `to` with these ids and queues the record; returns
    // how many went.
    std::size_t StageRemove(Uin to, const std::vector<std::uint64_t>& ids);
    // Writes the queued records, compacting the file when it has grown. False
    // with `error` when the file could not be written (the memory stays as it is).
    bool Flush(std::string& error);

    // Stage (character set 0) or StageRemove, then Flush.
    bool Add(Uin to, Uin from, std::time_t time, std::string text, std::string& error);
    std::size_t Remove(Uin to, const std::vector<std::uint64_t>& ids, std::string& error);

    // The messages waiting for `to`, oldest first.
    std::vector<OfflineMessage> For(Uin to) const;
    std::size_t Size() const;
    // Text bytes held in the whole store.
    std::size_t Bytes() const;

    static std::string EscapeText(const std::string& text);
    static std::string UnescapeText(const std::string& text);

private:
    OfflineRefusal RefusalLocked(Uin to, const std::string& text) const;  // memory lock held
    bool Compact(std::string& error);  // file lock held
    bool AppendRecords(const std::string& records, std::string& error);  // file lock held
    void CloseJournal();  // file lock held

    const std::string path_;
    const OfflineLimits limits_;

    mutable std::mutex memoryLock_;  // the fields below up to the file lock
    std::vector<OfflineMessage> messages_;  // oldest first
    std::uint64_t nextId_ = 1;
    std::size_t bytes_ = 0;
    std::string pending_;  // records staged and not yet written

    std::mutex fileLock_;         // taken before memoryLock_, never after; the fields below
    platform::File journalFile_;  // open for appending once the file is compacted
    std::size_t journalBytes_ = 0;
};

}  // namespace pellox::server
