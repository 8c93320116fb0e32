// Messages kept for UINs that were offline when they were sent.
//
// With a file name every change rewrites the file (a temporary file, then an
// atomic rename), so a restart keeps what was not yet delivered. The file is a
// section file in Windows-1251, one "[message]" section per message:
//   id=7  to=100002  from=100001  time=<seconds since the epoch>  text=<escaped>
// (one key per line). In the text, a backslash, control bytes and a leading blank
// are written as \\ and \xHH so that every message stays on one line.
//
// Not thread-safe: the server guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tools/accounts.h"

namespace pellox::server {

struct OfflineMessage {
    std::uint64_t id = 0;
    Uin to = 0;
    Uin from = 0;
    std::time_t time = 0;
    std::string text;  // Windows-1251, no zero byte
};

class OfflineStore {
public:
    // An empty path keeps the messages in memory only.
    OfflineStore(std::string path, std::size_t maxPerRecipient);

    // Reads the file; a missing file is an empty store. False (with `error`) when
    // the file exists but cannot be read.
    [[nodiscard]] bool Load(std::string& error);

    // Stores a message; false when the recipient already has the maximum waiting.
    // A failed write of the file keeps the message in memory and sets `error`.
    bool Add(Uin to, Uin from, std::time_t time, std::string text, std::string& error);
    // The messages waiting for `to`, oldest first.
    std::vector<OfflineMessage> For(Uin to) const;
    // Deletes the messages of `to` with these ids; returns how many went.
    std::size_t Remove(Uin to, const std::vector<std::uint64_t>& ids, std::string& error);
    std::size_t Size() const { return messages_.size(); }

    static std::string EscapeText(const std::string& text);
    static std::string UnescapeText(const std::string& text);

private:
    bool Save(std::string& error) const;

    std::string path_;
    std::size_t maxPerRecipient_;
    std::vector<OfflineMessage> messages_;  // oldest first
    std::uint64_t nextId_ = 1;
};

}  // namespace pellox::server
