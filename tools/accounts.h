// The accounts the local server knows: UIN, password, nickname and the buddy
// list kept on the server. Text is 8-bit Windows-1251, as on the wire.
//
// Accounts file, one section per account:
//   [100001]
//   password=alice
//   nickname=<nickname in Windows-1251>
//   buddies=100002, 100003
//   echo=1          (optional: an always-online account that answers every
//                    message with the same text; it cannot sign on)
//   auth=1          (optional: adding this account to a list needs its consent)
//
// Not thread-safe: the server guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pellox::server {

using Uin = std::uint32_t;

// UINs are 1 to 2147483647: clients format the 32-bit UIN of meta replies as a
// signed number, so larger values would not survive the round trip.
inline constexpr Uin kMaxUin = 0x7FFFFFFF;
// Buddies of one account's server list. A list that does not fit one frame is
// sent as several contact list replies.
inline constexpr std::size_t kMaxBuddies = 1000;
inline constexpr std::size_t kMaxNicknameBytes = 64;
inline constexpr std::size_t kMaxPasswordBytes = 64;

// Decimal text without sign, blanks or leading zeros, 1..kMaxUin.
[[nodiscard]] bool ParseUin(std::string_view text, Uin& uin);
std::string UinText(Uin uin);

struct Buddy {
    Buddy() = default;
    Buddy(Uin buddy, std::uint16_t id) : uin(buddy), itemId(id) {}

    Uin uin = 0;
    std::uint16_t itemId = 0;  // stable id of the buddy item in the server list
    std::string name;          // TLV 0x0131 as the owner's client set it; empty: the buddy's nickname
    bool awaitingAuth = false; // TLV 0x0066: added, the buddy's consent not yet given
};

struct Account {
    Uin uin = 0;
    std::string password;
    std::string nickname;
    std::vector<Buddy> buddies;  // file order, no duplicates, never the account itself
    bool echo = false;
    bool auth = false;  // others must ask before adding it

    bool Lists(Uin other) const;
    // False when `other` was not on the list.
    bool RemoveBuddy(Uin other);
};

class AccountStore {
public:
    // Alice (100001), Boris (100002), the echo account (100003) and Vera (100004);
    // see tools/README.md.
    static AccountStore Demo();

    // Reads an accounts file. Sections that are not a valid UIN, and bad entries
    // of a buddy list, are skipped with a line in `warnings`. False (with `error`)
    // when the file cannot be read or holds no account.
    [[nodiscard]] bool LoadFile(const std::string& path, std::string& error,
                                std::vector<std::string>& warnings);

    const Account* Find(Uin uin) const;
    Account* Find(Uin uin);
    // Every account whose buddy list holds `uin`.
    std::vector<Uin> WatchersOf(Uin uin) const;
    std::size_t Size() const { return accounts_.size(); }
    const std::map<Uin, Account>& All() const { return accounts_; }

    void Add(Account account);

private:
    std::map<Uin, Account> accounts_;
};

}  // namespace pellox::server
