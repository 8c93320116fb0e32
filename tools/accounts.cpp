#include "tools/accounts.h"

#include <algorithm>
#include <optional>
#include <set>
#include <span>

#include "platform/files.h"
#include "store/file_access.h"
#include "tools/key_value_file.h"

namespace pellox::server {
namespace {

// Longer than any line an account needs (a list of 1000 buddies takes 12 KiB).
constexpr std::size_t kMaxAccountLine = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// An 8-bit text ends at its first zero byte on the wire; keep stored text so.
std::string CutAtZero(std::string_view text, std::size_t maxBytes) {
    std::string out(text.substr(0, text.find('\0')));
    if (out.size() > maxBytes) out.resize(maxBytes);
    return out;
}

// "[<uin>] <what>": a warning about one account's section. Built by appending,
// since GCC 12 at -O3 reports a false -Wrestrict for a chain of + that starts with
// a literal.
std::string SectionWarning(Uin uin, std::string_view what) {
    std::string line = "[";
    line += UinText(uin);
    line += "] ";
    line += what;
    return line;
}

void AddBuddies(Account& account, std::string_view list, std::vector<std::string>& warnings) {
    // What is listed already and the next free item id, kept as the list grows.
    std::set<Uin> listed;
    std::uint16_t nextItemId = static_cast<std::uint16_t>(account.buddies.size() + 1);
    for (const Buddy& b : account.buddies) {
        listed.insert(b.uin);
        nextItemId = std::max<std::uint16_t>(nextItemId, static_cast<std::uint16_t>(b.itemId + 1));
    }
    std::size_t pos = 0;
    while (pos < list.size()) {
        std::size_t end = list.find_first_of(", \t;", pos);
        if (end == std::string_view::npos) end = list.size();
        std::string_view item = list.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        Uin buddy = 0;
        if (!ParseUin(item, buddy)) {
            warnings.push_back(
                SectionWarning(account.uin, "buddies: '" + std::string(item) + "' is not a UIN, skipped"));
            continue;
        }
        if (buddy == account.uin || listed.count(buddy) > 0) continue;
        if (account.buddies.size() >= kMaxBuddies) {
            warnings.push_back(SectionWarning(
                account.uin, "more than " + std::to_string(kMaxBuddies) + " buddies, the rest skipped"));
            return;
        }
        listed.insert(buddy);
        account.buddies.push_back({buddy, nextItemId++});
    }
}

// Takes a detail line of the accounts file; false (with a warning) when its
// value does not fit the field.
void AddDetail(Account& account, const DetailField& field, const std::string& value,
               std::vector<std::string>& warnings) {
    if (field.kind != DetailKind::Text) {
        const std::string_view digits = TrimBlanks(value);
        unsigned long number = 0;
        const unsigned long max = field.kind == DetailKind::Byte ? 0xFF : 0xFFFF;
        bool good = !digits.empty() && digits.size() <= 5;
        for (char c : digits) {
            good = good && c >= '0' && c <= '9';
            if (good) number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (!good || number > max) {
            warnings.push_back(SectionWarning(account.uin, std::string(field.key) + ": '" + value +
                                                               "' is not a number up to " + std::to_string(max)));
            return;
        }
        account.details[std::string(field.key)] = std::to_string(number);
        return;
    }
    std::string text = CutAtZero(UnescapeValue(value), std::string::npos);
    const std::size_t max = field.key == kAboutDetail.key ? kMaxAboutBytes : kMaxDetailBytes;
    if (text.size() > max) {
        warnings.push_back(SectionWarning(account.uin, std::string(field.key) + " longer than " +
                                                           std::to_string(max) + " bytes, skipped"));
        return;
    }
    if (field.key == kMoreEmailKey) {
        if (account.moreEmails.size() < kMaxMoreEmails) account.moreEmails.push_back(std::move(text));
        return;
    }
    account.details[std::string(field.key)] = std::move(text);
}

// A line of the accounts file as the reader splits it: a section header's
// name, or a pair's key (empty for anything else).
struct LineShape {
    bool header = false;
    std::string_view name;
};

LineShape ShapeOf(std::string_view line) {
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && line.front() == '\r') line.remove_prefix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') return {true, line.substr(1, line.size() - 2)};
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return {};
    std::string_view key = line.substr(0, equals);
    while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
    return {false, key};
}

}  // namespace

bool ParseUin(std::string_view text, Uin& uin) {
    if (text.empty() || text.size() > 10 || text.front() == '0') return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > kMaxUin) return false;
    uin = static_cast<Uin>(value);
    return true;
}

std::string UinText(Uin uin) { return std::to_string(uin); }

const DetailField* FindDetailField(std::string_view key) {
    static constexpr DetailField kMoreEmail = {kMoreEmailKey, DetailKind::Text};
    for (const auto& table : {std::span<const DetailField>(kBasicDetails), std::span<const DetailField>(kMoreDetails),
                              std::span<const DetailField>(&kAboutDetail, 1), std::span<const DetailField>(&kMoreEmail, 1)}) {
        for (const DetailField& field : table) {
            if (field.key == key) return &field;
        }
    }
    return nullptr;
}

unsigned DetailNumber(const Details& details, std::string_view key) {
    auto it = details.find(key);
    if (it == details.end()) return 0;
    unsigned value = 0;
    for (char c : it->second) {
        if (c < '0' || c > '9' || value > 0xFFFF) return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

std::string_view DetailText(const Details& details, std::string_view key) {
    auto it = details.find(key);
    return it == details.end() ? std::string_view() : std::string_view(it->second);
}

bool Account::Lists(Uin other) const {
    return std::any_of(buddies.begin(), buddies.end(), [other](const Buddy& b) { return b.uin == other; });
}

bool Account::RemoveBuddy(Uin other) {
    auto it = std::find_if(buddies.begin(), buddies.end(), [other](const Buddy& b) { return b.uin == other; });
    if (it == buddies.end()) return false;
    buddies.erase(it);
    return true;
}

AccountStore AccountStore::Demo() {
    AccountStore store;
    auto make = [](Uin uin, const char* password, const char* nickname, std::vector<Uin> buddies,
                   bool echo) {
        Account a;
        a.uin = uin;
        a.password = password;
        a.nickname = nickname;
        a.echo = echo;
        for (Uin b : buddies) a.buddies.push_back({b, static_cast<std::uint16_t>(a.buddies.size() + 1)});
        return a;
    };
    // Nicknames in Windows-1251: Алиса, Борис, Эхо, Вера.
    store.Add(make(100001, "alice", "\xC0\xEB\xE8\xF1\xE0", {100002, 100003}, false));
    store.Add(make(100002, "boris", "\xC1\xEE\xF0\xE8\xF1", {100001, 100003}, false));
    store.Add(make(100003, "", "\xDD\xF5\xEE", {}, true));
    Account vera = make(100004, "vera", "\xC2\xE5\xF0\xE0", {100001, 100002, 100003}, false);
    // Вера Соколова from Тверь, who is found by her e-mail address.
    vera.details = {{"first", "\xC2\xE5\xF0\xE0"},
                    {"last", "\xD1\xEE\xEA\xEE\xEB\xEE\xE2\xE0"},
                    {"email", "vera@example.org"},
                    {"city", "\xD2\xE2\xE5\xF0\xFC"},
                    {"gender", "1"},
                    {"age", "27"},
                    // "Пишу стихи, читаю по вечерам."
                    {"about", "\xCF\xE8\xF8\xF3 \xF1\xF2\xE8\xF5\xE8, \xF7\xE8\xF2\xE0\xFE \xEF\xEE "
                              "\xE2\xE5\xF7\xE5\xF0\xE0\xEC."}};
    store.Add(std::move(vera));
    return store;
}

bool AccountStore::LoadFile(const std::string& path, std::string& error,
                            std::vector<std::string>& warnings) {
    std::map<Uin, Account> loaded;
    std::map<Uin, std::string> buddyLists;  // applied once every section is known
    Account* current = nullptr;

    auto onSection = [&](const std::string& name) {
        Uin uin = 0;
        if (!ParseUin(name, uin)) {
            warnings.push_back("section [" + name + "] is not a UIN, skipped");
            current = nullptr;
            return;
        }
        current = &loaded[uin];  // a repeated section adds to the same account
        current->uin = uin;
    };
    auto onPair = [&](const std::string& key, const std::string& value) {
        if (current == nullptr) return;
        if (key == "password") {
            current->password = CutAtZero(value, kMaxPasswordBytes);
        } else if (key == "nickname") {
            current->nickname = CutAtZero(TrimBlanks(value), kMaxNicknameBytes);
        } else if (key == "buddies") {
            std::string& list = buddyLists[current->uin];
            if (!list.empty()) list += ',';
            list += value;
        } else if (key == "echo") {
            current->echo = TrimBlanks(value) == "1";
        } else if (key == "auth") {
            current->auth = TrimBlanks(value) == "1";
        } else if (const DetailField* field = FindDetailField(key)) {
            AddDetail(*current, *field, value, warnings);
        } else {
            warnings.push_back(SectionWarning(current->uin, "unknown key '" + key + "' ignored"));
        }
    };
    auto onLongLine = [&](const std::string& key) {
        if (current == nullptr) return;
        warnings.push_back(SectionWarning(current->uin, "line '" + key + "=' longer than " +
                                                            std::to_string(kMaxAccountLine) + " bytes skipped"));
    };
    std::string readError;
    if (!ReadKeyValueFile(path, {onSection, onPair, onLongLine}, kMaxAccountLine, readError)) {
        error = "cannot read the accounts file: " + readError;
        return false;
    }
    if (loaded.empty()) {
        error = path + ": no account found (expected a [UIN] section with password= and nickname=)";
        return false;
    }
    for (auto& [uin, list] : buddyLists) AddBuddies(loaded[uin], list, warnings);
    for (auto& [uin, account] : loaded) {
        if (!account.echo && account.password.empty()) {
            warnings.push_back(SectionWarning(uin, "has no password and cannot sign on"));
        }
    }
    accounts_ = std::move(loaded);
    Reindex();
    return true;
}

AccountStore::AccountStore(const AccountStore& other) : accounts_(other.accounts_) { Reindex(); }

AccountStore& AccountStore::operator=(const AccountStore& other) {
    if (this != &other) {
        accounts_ = other.accounts_;
        Reindex();
    }
    return *this;
}

void AccountStore::Reindex() {
    index_.clear();
    index_.reserve(accounts_.size());
    for (auto& [uin, account] : accounts_) index_.emplace(uin, &account);
}

const Account* AccountStore::Find(Uin uin) const {
    auto it = index_.find(uin);
    return it == index_.end() ? nullptr : it->second;
}

Account* AccountStore::Find(Uin uin) {
    auto it = index_.find(uin);
    return it == index_.end() ? nullptr : it->second;
}

std::vector<Uin> AccountStore::WatchersOf(Uin uin) const {
    std::vector<Uin> out;
    for (const auto& [owner, account] : accounts_) {
        if (account.Lists(uin)) out.push_back(owner);
    }
    return out;
}

void AccountStore::Add(Account account) {
    Uin uin = account.uin;
    Account& kept = accounts_[uin];
    kept = std::move(account);
    index_[uin] = &kept;
}

std::vector<std::string> DetailLines(const Account& account) {
    std::vector<std::string> lines;
    lines.push_back("nickname=" + account.nickname);
    for (const auto& [key, value] : account.details) {
        const DetailField* field = FindDetailField(key);
        if (field == nullptr || value.empty()) continue;
        lines.push_back(key + "=" + (field->kind == DetailKind::Text ? EscapeValue(value) : value));
    }
    for (const std::string& address : account.moreEmails) {
        lines.push_back(std::string(kMoreEmailKey) + "=" + EscapeValue(address));
    }
    return lines;
}

std::string ReplaceDetailLines(std::string_view fileText, const std::map<Uin, Account>& changed) {
    // Lines end as the file's first line does.
    const std::size_t firstEnd = fileText.find('\n');
    const char* newline = firstEnd != std::string_view::npos && firstEnd > 0 && fileText[firstEnd - 1] == '\r' ? "\r\n" : "\n";
    std::string out;
    out.reserve(fileText.size() + 1024);
    std::set<Uin> written;
    const Account* current = nullptr;  // a changed account whose section this is
    std::size_t pos = 0;
    while (pos < fileText.size()) {
        std::size_t end = fileText.find('\n', pos);
        end = end == std::string_view::npos ? fileText.size() : end + 1;
        const std::string_view line = fileText.substr(pos, end - pos);
        pos = end;
        const LineShape shape = ShapeOf(line.substr(0, line.size() - (line.back() == '\n' ? 1 : 0)));
        if (shape.header) {
            Uin uin = 0;
            auto it = ParseUin(shape.name, uin) ? changed.find(uin) : changed.end();
            current = it != changed.end() ? &it->second : nullptr;
            out += line;
            if (current != nullptr && written.insert(uin).second) {
                if (line.back() != '\n') out += newline;
                for (const std::string& detail : DetailLines(*current)) out += detail + newline;
            }
            continue;
        }
        if (current != nullptr && (shape.name == "nickname" || FindDetailField(shape.name) != nullptr)) continue;
        out += line;
    }
    return out;
}

void DetailsWriter::Stage(const Account& account) {
    if (!Enabled()) return;
    std::lock_guard<std::mutex> lock(lock_);
    staged_[account.uin] = account;
    dirty_ = true;
}

bool DetailsWriter::Flush(std::string& error) {
    if (!Enabled()) return true;
    bool readFailed = false;
    bool produced = false;
    const std::size_t slash = path_.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "./" : path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    // Runs under the directory's rewrite lock: what it takes is the latest state.
    auto produce = [&]() -> std::optional<std::string> {
        std::map<Uin, Account> accounts;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!dirty_) return std::nullopt;  // a later flush wrote it already
            accounts = staged_;
            dirty_ = false;
        }
        produced = true;
        std::string text;
        if (!platform::ReadWholeFile(path_, text)) {
            readFailed = true;
            return std::nullopt;
        }
        return ReplaceDetailLines(text, accounts);
    };
    if (ReplaceFileContents(directory, name, produce) || !produced) return true;
    std::lock_guard<std::mutex> lock(lock_);
    dirty_ = true;  // the next flush tries again
    error = (readFailed ? "cannot read the accounts file " : "cannot write the accounts file ") + path_;
    return false;
}

}  // namespace pellox::server
