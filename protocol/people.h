// People on the ICQ directory: the search, a user's full details and one's own
// details, through the meta requests of family 0x0015 (SNAC 0x0015/0x0002, request
// 0x07D0) and their replies (SNAC 0x0015/0x0003, reply 0x07DA). Integers inside
// the meta data are little-endian; a meta string is a 2-byte length that counts
// the terminating zero, the bytes (8-bit text) and the zero.
//
// Requests, behind the meta head (TLV 0x0001, chunk size, own UIN, 0x07D0, a
// sequence number) and the subtype:
//   0x0569 search by UIN     TLV 0x0136 (type and length little-endian): the UIN (4)
//   0x0573 search by e-mail  TLV 0x015E: a meta string
//   0x055F search by names   TLVs 0x0154 nickname, 0x0140 first name, 0x014A last
//                            name, each a meta string; only the names given
//   0x04B2 full details      the UIN (4)
//   0x03EA set basic         nickname, first, last, e-mail, city, state, phone,
//                            fax, street, cellular, zip (meta strings), country (2),
//                            time zone (1), publish e-mail (1)
//   0x0406 set about         the text (a meta string)
// Each request has a SNAC request id of its own (above 0xFFFF, so never one of
// the FLAP sequence numbers that name the short-information requests); the server
// answers under it.
//
// Replies: the subtype (2), then a result byte (0x0A success, anything else: the
// record ends there):
//   0x01A4 one user found, more follow; 0x01AE the last one:
//          data size (2), UIN (4), nickname, first, last, e-mail (meta strings),
//          authorization (1), online (2: 0 offline, 1 online, 2 not told), gender
//          (1), age (2); 0x01AE then the number of users found but not sent (4).
//          An 0x01AE that is not a success: nobody was found.
//   0x00C8 basic: nickname, first, last, e-mail, city, state, phone, fax, street,
//          cellular, zip, country (2), time zone (1), authorization (1), ...
//   0x00DC more: age (2), gender (1), homepage, birth year (2), month (1), day (1),
//          three languages (1 each), ...
//   0x00EB e-mails: count (1), then a flag (1) and an address each
//   0x00D2 work: city, state, phone, fax, street, zip, country (2), company,
//          department, position, occupation (2), homepage
//   0x00F0 interests: count (1), then a category (2) and a text each
//   0x00E6 about: the text
//   (0x010E and 0x00FA are read as nothing.) The reply whose SNAC lacks the flag
//   kSnacFlagMoreReplies is the last of the details.
//   0x0064, 0x0082: the answers to the basic and the about set.
// Every field is read as far as the data goes: a record cut short keeps what came.
//
// PeopleService keeps the requests in flight and what their replies said. The
// network worker sends (Search, RequestDetails, SaveOwnDetails), the receive
// thread reads the replies (HandleReply) and posts PeopleReplied after each; the
// user interface reads Results, Details and LastSave. Every member may be called
// from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/codec.h"
#include "net/net_command.h"

namespace pellox {

class AppState;
class Connection;

inline constexpr std::uint16_t kMetaSearchByUin = 0x0569;
inline constexpr std::uint16_t kMetaSearchByEmail = 0x0573;
inline constexpr std::uint16_t kMetaSearchByNames = 0x055F;
inline constexpr std::uint16_t kMetaFullDetails = 0x04B2;
inline constexpr std::uint16_t kMetaSetBasic = 0x03EA;
inline constexpr std::uint16_t kMetaSetAbout = 0x0406;

inline constexpr std::uint16_t kMetaUserFound = 0x01A4;
inline constexpr std::uint16_t kMetaLastUserFound = 0x01AE;
inline constexpr std::uint16_t kMetaBasicDetails = 0x00C8;
inline constexpr std::uint16_t kMetaMoreDetails = 0x00DC;
inline constexpr std::uint16_t kMetaEmailDetails = 0x00EB;
inline constexpr std::uint16_t kMetaWorkDetails = 0x00D2;
inline constexpr std::uint16_t kMetaInterestDetails = 0x00F0;
inline constexpr std::uint16_t kMetaAboutDetails = 0x00E6;
inline constexpr std::uint16_t kMetaSetBasicAnswer = 0x0064;
inline constexpr std::uint16_t kMetaSetAboutAnswer = 0x0082;
inline constexpr std::uint8_t kMetaSuccess = 0x0A;

// The results of one search kept at most; the server sends fewer.
inline constexpr std::size_t kMaxFoundUsers = 100;
// The users whose details are kept; the oldest goes first.
inline constexpr std::size_t kMaxKeptDetails = 8;
// Requests waiting for their replies; the oldest is forgotten first.
inline constexpr std::size_t kMaxPeopleRequests = 64;

// One user a search found.
struct FoundUser {
    std::u16string uin;
    std::u16string nickname;
    std::u16string firstName;
    std::u16string lastName;
    std::u16string email;
    bool authorization = false;  // adding it needs its consent
    std::int32_t online = -1;    // 1 online, 0 offline, -1 the server did not say
    std::uint8_t gender = 0;     // 1 female, 2 male
    std::uint16_t age = 0;
    bool operator==(const FoundUser&) const = default;
};

// The newest search as far as its replies have come.
struct SearchResults {
    std::uint32_t search = 0;  // SearchPeopleCommand::search; 0 before the first
    std::vector<FoundUser> users;
    bool finished = false;   // the last reply came
    std::uint32_t left = 0;  // found but not sent, as the last reply said
};

// What the server keeps about one user.
struct UserDetails {
    std::u16string uin;
    bool finished = false;  // the last reply came
    bool found = false;     // some reply was a success
    // Basic.
    std::u16string nickname, firstName, lastName, email, city, state, phone, fax, street,
        cellular, zip;
    std::uint16_t country = 0;
    std::uint8_t timezone = 0;
    bool authorization = false;
    bool publishEmail = false;
    // More.
    std::uint16_t age = 0;
    std::uint8_t gender = 0;
    std::u16string homepage;
    std::uint16_t birthYear = 0;
    std::uint8_t birthMonth = 0, birthDay = 0;
    // The other e-mail addresses.
    std::vector<std::u16string> emails;
    // Work.
    std::u16string workCity, workState, workPhone, workFax, workStreet, workZip, company,
        department, position, workHomepage;
    std::uint16_t workCountry = 0, occupation = 0;
    // Interests: category and text.
    std::vector<std::pair<std::uint16_t, std::u16string>> interests;
    std::u16string about;
};

// The newest save of one's own details.
struct SaveState {
    std::uint32_t serial = 0;  // raised by every save; 0 before the first
    bool finished = false;     // both sets were answered
    bool saved = false;        // both answers were a success
};

// The basic set's payload (0x03EA) for the details; exposed for tests.
PacketBuffer BasicDetailsRecord(const SaveOwnDetailsCommand& details);

// What the people services have learnt, as the user interface reads it. Any thread.
class PeopleReplies {
public:
    virtual ~PeopleReplies() = default;
    virtual SearchResults Results() const = 0;
    virtual std::optional<UserDetails> Details(const std::u16string& uin) const = 0;
    virtual SaveState LastSave() const = 0;
};

class PeopleService : public PeopleReplies {
public:
    explicit PeopleService(AppState& model) : model_(model) {}

    // ---- The network worker ----
    // Sends the search of the command (by UIN, else e-mail, else names); from now
    // on Results() is this search's. False, and the search finished with nobody
    // found, when nothing was sent: nothing to search by, not connected, or the
    // frame failed. The other two alike.
    bool Search(Connection& connection, const SearchPeopleCommand& command);
    // Asks for the UIN's full details; Details(uin) starts afresh.
    bool RequestDetails(Connection& connection, const std::u16string& uin);
    // Sends the basic and the about set; LastSave() is this save's from now on.
    bool SaveOwnDetails(Connection& connection, const SaveOwnDetailsCommand& command);

    // ---- The receive thread ----
    // A meta reply (SNAC 0x0015/0x0003): when its request id names a request of
    // this service, reads it, posts PeopleReplied and sets `handled`; false when
    // it was cut short or of a kind the request did not ask for. Any other reply
    // is left alone (`handled` false, the reader unmoved).
    bool HandleReply(PacketReader& reader, const SnacHeader& snac, bool& handled);

    // ---- Any thread ----
    SearchResults Results() const override;
    std::optional<UserDetails> Details(const std::u16string& uin) const override;
    SaveState LastSave() const override;
    // The connection ended: replies to what was asked on it will not come.
    void Forget();

private:
    enum class Kind { Search, Details, SaveBasic, SaveAbout };
    struct Pending {
        Kind kind = Kind::Search;
        std::uint32_t serial = 0;  // the search or the save it belongs to
        std::u16string uin;        // whose details
    };
    // The request will not be answered: what waits for it is over.
    void Abandon(const Pending& pending);
    void Finish(const Pending& pending);  // requires lock_
    // Records the request and sends it under a new request id; Abandon when it
    // cannot be sent (not connected, or the frame failed).
    bool Send(Connection& connection, std::uint16_t subtype, const PacketBuffer& body,
              const Pending& pending);
    bool ReadFound(PacketReader& reader, std::uint16_t subtype, std::uint32_t search);
    bool ReadDetails(PacketReader& reader, std::uint16_t subtype, const std::u16string& uin,
                     bool last);
    // One answer of the save `serial`; `expected`: it is of the subtype asked for.
    void ReadAnswer(PacketReader& reader, std::uint32_t serial, bool expected);
    UserDetails& DetailsOf(const std::u16string& uin);  // requires lock_

    AppState& model_;
    mutable std::mutex lock_;  // a leaf lock
    std::map<std::uint32_t, Pending> pending_;
    std::uint32_t nextRequestId_ = 0x00150000;
    SearchResults results_;
    std::deque<UserDetails> details_;  // oldest first
    SaveState save_;
    int saveAnswers_ = 0;
};

}  // namespace pellox
