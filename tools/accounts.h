// The accounts the local server knows: UIN, password, nickname, the buddy
// list kept on the server and what the user tells about itself (the details of
// its full information). Text is 8-bit Windows-1251, as on the wire.
//
// Accounts file, one section per account:
//   [100001]
//   password=alice
//   nickname=<nickname in Windows-1251>
//   buddies=100002, 100003
//   echo=1          (optional: an always-online account that answers every
//                    message with the same text; it cannot sign on)
//   auth=1          (optional: adding this account to a list needs its consent)
//   first=, last=, email=, city=, about=, ...  (optional: the details, below)
//
// AccountStore is not thread-safe: the server guards it with its own lock.
// DetailsWriter has a lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
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
// Text of one detail field, and the "about" text, as kept.
inline constexpr std::size_t kMaxDetailBytes = 255;
inline constexpr std::size_t kMaxAboutBytes = 4096;
// Addresses beside the primary e-mail.
inline constexpr std::size_t kMaxMoreEmails = 4;

// A detail is text, or a number of one or two bytes on the wire.
enum class DetailKind : std::uint8_t { Text, Byte, Word };
struct DetailField {
    std::string_view key;  // its key in the accounts file and in Details
    DetailKind kind;
};
// The details of the basic record after the nickname, in wire order.
inline constexpr DetailField kBasicDetails[] = {
    {"first", DetailKind::Text},    {"last", DetailKind::Text},     {"email", DetailKind::Text},
    {"city", DetailKind::Text},     {"state", DetailKind::Text},    {"phone", DetailKind::Text},
    {"fax", DetailKind::Text},      {"street", DetailKind::Text},   {"cellular", DetailKind::Text},
    {"zip", DetailKind::Text},      {"country", DetailKind::Word},  {"timezone", DetailKind::Byte},
    {"publish-email", DetailKind::Byte},
};
// The details of the "more" record, in wire order.
inline constexpr DetailField kMoreDetails[] = {
    {"age", DetailKind::Word},        {"gender", DetailKind::Byte},      {"homepage", DetailKind::Text},
    {"birth-year", DetailKind::Word}, {"birth-month", DetailKind::Byte}, {"birth-day", DetailKind::Byte},
    {"language1", DetailKind::Byte},  {"language2", DetailKind::Byte},   {"language3", DetailKind::Byte},
};
inline constexpr DetailField kAboutDetail = {"about", DetailKind::Text};
// The key of each further e-mail address; repeated, one line per address.
inline constexpr std::string_view kMoreEmailKey = "more-email";

// Details by key (those of the tables above). Text as the client sent it (no
// zero byte); a number as decimal text. A missing key reads as empty, or 0.
using Details = std::map<std::string, std::string, std::less<>>;

// The field of that key, or null.
const DetailField* FindDetailField(std::string_view key);
// A detail's value as a number: 0 when absent or not a number.
unsigned DetailNumber(const Details& details, std::string_view key);
std::string_view DetailText(const Details& details, std::string_view key);

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
    Details details;
    std::vector<std::string> moreEmails;  // beside the primary one, at most kMaxMoreEmails

    bool Lists(Uin other) const;
    // False when `other` was not on the list.
    bool RemoveBuddy(Uin other);
};

class AccountStore {
public:
    AccountStore() = default;
    // A copy indexes its own accounts.
    AccountStore(const AccountStore& other);
    AccountStore& operator=(const AccountStore& other);
    AccountStore(AccountStore&&) noexcept = default;
    AccountStore& operator=(AccountStore&&) noexcept = default;

    // Alice (100001), Boris (100002), the echo account (100003) and Vera (100004,
    // with details to find her by); see tools/README.md.
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
    void Reindex();

    std::map<Uin, Account> accounts_;  // in UIN order, for searches
    // The same accounts by UIN for Find: a sign-on looks up every buddy, and a
    // path down the tree misses the cache at each step. Moving the map keeps
    // its nodes, so the pointers stay valid.
    std::unordered_map<Uin, Account*> index_;
};

// The "key=value" lines of an account's nickname and details, without line
// ends, as the accounts file holds them: text escaped (backslash, control bytes
// and a leading blank as \\ and \xHH) so that every value stays on its line.
std::vector<std::string> DetailLines(const Account& account);

// The accounts file's text with the nickname and detail lines of each given
// account put in place of those it had: the new lines follow the account's first
// section header, those of every section of it are dropped, and every other line
// stays as it was. An account without a section is left out.
std::string ReplaceDetailLines(std::string_view fileText, const std::map<Uin, Account>& changed);

// Writes what users set about themselves back into the accounts file, outside
// the server lock: Stage (under it) copies the account, Flush rewrites the file
// whole (a temporary file renamed over it) with every account staged so far.
// Flushes are serialised and each writes the latest state, so an older one never
// overwrites a newer one. With an empty path nothing is written.
class DetailsWriter {
public:
    explicit DetailsWriter(std::string path) : path_(std::move(path)) {}

    bool Enabled() const { return !path_.empty(); }
    void Stage(const Account& account);
    // False with `error` when the file could not be read or written; what was
    // staged stays for the next flush.
    bool Flush(std::string& error);

private:
    const std::string path_;
    std::mutex lock_;                // the fields below
    std::map<Uin, Account> staged_;  // every account changed since the start
    bool dirty_ = false;             // staged_ holds what the file does not yet
};

}  // namespace pellox::server
