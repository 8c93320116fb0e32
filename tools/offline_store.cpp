#include "tools/offline_store.h"

#include <algorithm>

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

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

OfflineStore::OfflineStore(std::string path, std::size_t maxPerRecipient)
    : path_(std::move(path)), maxPerRecipient_(maxPerRecipient) {}

std::string OfflineStore::EscapeText(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F || (i == 0 && byte == ' ')) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string OfflineStore::UnescapeText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   HexValue(text[i + 2]) >= 0 && HexValue(text[i + 3]) >= 0) {
            char byte = static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            if (byte != '\0') out += byte;
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool OfflineStore::Load(std::string& error) {
    messages_.clear();
    nextId_ = 1;
    if (path_.empty() || !platform::FileExists(path_)) return true;

    std::vector<OfflineMessage> loaded;
    bool open = false;
    // A section without sender or recipient is of no use and is dropped.
    auto finish = [&]() {
        if (open && (loaded.back().to == 0 || loaded.back().from == 0)) loaded.pop_back();
        open = false;
    };
    auto onSection = [&](const std::string& name) {
        finish();
        if (name != "message") return;
        loaded.emplace_back();
        open = true;
    };
    auto onPair = [&](const std::string& key, const std::string& value) {
        if (!open) return;
        OfflineMessage& m = loaded.back();
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
        }
    };
    if (!ReadKeyValueFile(path_, onSection, onPair)) {
        error = "cannot read the offline message file " + path_;
        return false;
    }
    finish();

    for (OfflineMessage& m : loaded) {
        // Ids must be unique for deletion to hit the right message; renumber
        // anything a hand edit made ambiguous.
        bool clash = m.id == 0 || std::any_of(messages_.begin(), messages_.end(),
                                              [&m](const OfflineMessage& o) { return o.id == m.id; });
        if (clash) m.id = 0;
        messages_.push_back(std::move(m));
    }
    for (const OfflineMessage& m : messages_) nextId_ = std::max(nextId_, m.id + 1);
    for (OfflineMessage& m : messages_) {
        if (m.id == 0) m.id = nextId_++;
    }
    return true;
}

bool OfflineStore::Add(Uin to, Uin from, std::time_t time, std::string text, std::string& error) {
    std::size_t waiting = static_cast<std::size_t>(
        std::count_if(messages_.begin(), messages_.end(), [to](const OfflineMessage& m) { return m.to == to; }));
    if (waiting >= maxPerRecipient_) return false;
    text.resize(std::min(text.size(), text.find('\0')));
    messages_.push_back({nextId_++, to, from, time, std::move(text)});
    Save(error);
    return true;
}

std::vector<OfflineMessage> OfflineStore::For(Uin to) const {
    std::vector<OfflineMessage> out;
    for (const OfflineMessage& m : messages_) {
        if (m.to == to) out.push_back(m);
    }
    return out;
}

std::size_t OfflineStore::Remove(Uin to, const std::vector<std::uint64_t>& ids, std::string& error) {
    std::size_t before = messages_.size();
    std::erase_if(messages_, [&](const OfflineMessage& m) {
        return m.to == to && std::find(ids.begin(), ids.end(), m.id) != ids.end();
    });
    std::size_t removed = before - messages_.size();
    if (removed > 0) Save(error);
    return removed;
}

bool OfflineStore::Save(std::string& error) const {
    if (path_.empty()) return true;
    std::string text;
    for (const OfflineMessage& m : messages_) {
        text += "[message]\r\n";
        text += "id=" + std::to_string(m.id) + "\r\n";
        text += "to=" + UinText(m.to) + "\r\n";
        text += "from=" + UinText(m.from) + "\r\n";
        text += "time=" + std::to_string(static_cast<long long>(m.time)) + "\r\n";
        text += "text=" + EscapeText(m.text) + "\r\n";
    }
    const std::string directory = DirectoryOf(path_) + "/";
    const std::string name = path_.substr(path_.find_last_of('/') + 1);
    if (!ReplaceFileContents(directory, name, [&text]() -> std::optional<std::string> { return text; })) {
        error = "cannot write the offline message file " + path_;
        return false;
    }
    return true;
}

}  // namespace pellox::server
