#include "tools/accounts.h"

#include <algorithm>
#include <set>

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
    store.Add(make(100004, "vera", "\xC2\xE5\xF0\xE0", {100001, 100002, 100003}, false));
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
    return true;
}

const Account* AccountStore::Find(Uin uin) const {
    auto it = accounts_.find(uin);
    return it == accounts_.end() ? nullptr : &it->second;
}

Account* AccountStore::Find(Uin uin) {
    auto it = accounts_.find(uin);
    return it == accounts_.end() ? nullptr : &it->second;
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
    accounts_[uin] = std::move(account);
}

}  // namespace pellox::server
