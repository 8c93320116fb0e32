#include "protocol/people.h"

#include <algorithm>

#include "net/connection.h"
#include "net/text_encoding.h"
#include "store/app_state.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kMetaRequest = 0x07D0;
inline constexpr std::uint16_t kMetaReply = 0x07DA;
inline constexpr std::uint16_t kTlvSearchUin = 0x0136;
inline constexpr std::uint16_t kTlvSearchFirstName = 0x0140;
inline constexpr std::uint16_t kTlvSearchLastName = 0x014A;
inline constexpr std::uint16_t kTlvSearchNickname = 0x0154;
inline constexpr std::uint16_t kTlvSearchEmail = 0x015E;
// What one text field of a reply keeps at most (an "about" text is the longest).
inline constexpr std::size_t kMaxFieldLength = 4096;

void AppendMetaString(PacketBuffer& buffer, const std::string& bytes) {
    AppendU16Le(buffer, static_cast<std::uint16_t>(std::min<std::size_t>(bytes.size() + 1, 0xFFFF)));
    AppendBytes(buffer, bytes.data(), std::min<std::size_t>(bytes.size(), 0xFFFE));
    AppendU8(buffer, 0);
}

void AppendMetaString(PacketBuffer& buffer, std::u16string_view text) {
    AppendMetaString(buffer, NarrowFromWide(text));
}

// A TLV of a search request: type and length little-endian, a meta string.
void AppendSearchText(PacketBuffer& buffer, std::uint16_t type, std::u16string_view text) {
    const std::string bytes = NarrowFromWide(text);
    AppendU16Le(buffer, type);
    AppendU16Le(buffer, static_cast<std::uint16_t>(std::min<std::size_t>(bytes.size() + 3, 0xFFFF)));
    AppendMetaString(buffer, bytes);
}

// Received text as a field shows it: control characters become spaces (line
// breaks stay in a multi-line field), cut at kMaxFieldLength.
std::u16string FieldText(const std::string& bytes, bool multiline) {
    std::u16string text;
    DecodeIncomingText(bytes, text);
    if (text.size() > kMaxFieldLength) text.resize(kMaxFieldLength);
    for (char16_t& c : text) {
        const bool lineBreak = c == u'\n' || c == u'\r';
        if ((c < 0x20 || (c >= 0x7F && c <= 0x9F)) && !(multiline && lineBreak)) c = u' ';
    }
    return text;
}

// Reads the fields of a record one after another while the data lasts: once one
// is cut short, it and every later one stay as they were.
class FieldReader {
public:
    explicit FieldReader(PacketReader& reader) : reader_(reader) {}

    FieldReader& Text(std::u16string& out, bool multiline = false) {
        std::string bytes;
        if (ok_ && ReadString16(reader_, bytes, true)) {
            out = FieldText(bytes, multiline);
        } else {
            ok_ = false;
        }
        return *this;
    }
    FieldReader& Byte(std::uint8_t& out) {
        ok_ = ok_ && ReadU8(reader_, out);
        return *this;
    }
    FieldReader& Flag(bool& out) {
        std::uint8_t value = 0;
        if (Byte(value).ok_) out = value != 0;
        return *this;
    }
    FieldReader& Word(std::uint16_t& out) {
        ok_ = ok_ && ReadU16Le(reader_, out);
        return *this;
    }
    FieldReader& Dword(std::uint32_t& out) {
        ok_ = ok_ && ReadU32Le(reader_, out);
        return *this;
    }
    bool ok() const { return ok_; }

private:
    PacketReader& reader_;
    bool ok_ = true;
};

std::u16string DecimalText(std::uint32_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::uint32_t UinNumber(const std::string& uin) {
    const char* cursor = uin.c_str();
    return static_cast<std::uint32_t>(ParseDecimal(cursor));
}

std::uint32_t UinNumber(std::u16string_view uin) {
    return UinNumber(NarrowFromWide(uin));
}

}  // namespace

PacketBuffer BasicDetailsRecord(const SaveOwnDetailsCommand& d) {
    PacketBuffer body;
    for (const std::u16string* text : {&d.nickname, &d.firstName, &d.lastName, &d.email, &d.city,
                                       &d.state, &d.phone, &d.fax, &d.street, &d.cellular, &d.zip}) {
        AppendMetaString(body, *text);
    }
    AppendU16Le(body, d.country);
    AppendU8(body, d.timezone);
    AppendU8(body, d.publishEmail ? 1 : 0);
    return body;
}

bool PeopleService::Send(Connection& connection, std::uint16_t subtype, const PacketBuffer& body,
                         const Pending& pending) {
    if (body.Failed() || !connection.Connected()) {
        Abandon(pending);
        return false;
    }
    std::uint32_t requestId = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requestId = ++nextRequestId_;
        if (requestId <= 0xFFFF) requestId = nextRequestId_ = 0x00150000;  // never a FLAP sequence
        pending_[requestId] = pending;
        if (pending_.size() > kMaxPeopleRequests) pending_.erase(pending_.begin());
    }
    const std::uint16_t inner = static_cast<std::uint16_t>(body.Length() + 10);
    PacketBuffer data;
    AppendRecord(data, TlvHeader{0x0001, static_cast<std::uint16_t>(inner + 2)});
    AppendU16Le(data, inner);
    AppendU32Le(data, UinNumber(connection.OwnUin()));
    AppendU16Le(data, kMetaRequest);
    AppendU16Le(data, static_cast<std::uint16_t>(requestId));  // the request sequence
    AppendU16Le(data, subtype);
    AppendBytes(data, body.Data(), body.Length());
    if (connection.SendSnac(0x0015, 0x0002, requestId, data)) return true;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_.erase(requestId);
    }
    Abandon(pending);
    return false;
}

void PeopleService::Abandon(const Pending& pending) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        Finish(pending);
    }
    model_.Notify(ChangeCode::PeopleReplied, nullptr, true);
}

void PeopleService::Finish(const Pending& pending) {
    switch (pending.kind) {
        case Kind::Search:
            if (results_.search == pending.serial) results_.finished = true;
            break;
        case Kind::Details:
            DetailsOf(pending.uin).finished = true;
            break;
        case Kind::SaveBasic:
        case Kind::SaveAbout:
            if (save_.serial == pending.serial && !save_.finished) {
                save_.finished = true;
                save_.saved = false;
            }
            break;
    }
}

bool PeopleService::Search(Connection& connection, const SearchPeopleCommand& command) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        results_ = SearchResults{command.search, {}, false, 0};
    }
    PacketBuffer body;
    std::uint16_t subtype = 0;
    if (!command.uin.empty()) {
        const std::uint32_t uin = UinNumber(command.uin);
        subtype = kMetaSearchByUin;
        AppendU16Le(body, kTlvSearchUin);
        AppendU16Le(body, 4);
        AppendU32Le(body, uin);
    } else if (!command.email.empty()) {
        subtype = kMetaSearchByEmail;
        AppendSearchText(body, kTlvSearchEmail, command.email);
    } else {
        subtype = kMetaSearchByNames;
        const std::pair<std::uint16_t, const std::u16string*> names[] = {
            {kTlvSearchNickname, &command.nickname},
            {kTlvSearchFirstName, &command.firstName},
            {kTlvSearchLastName, &command.lastName}};
        for (const auto& [type, text] : names) {
            if (!text->empty()) AppendSearchText(body, type, *text);
        }
    }
    const Pending pending{Kind::Search, command.search, {}};
    // A search for anybody, or for the number 0, finds nobody.
    if (body.Length() == 0 || (subtype == kMetaSearchByUin && UinNumber(command.uin) == 0)) {
        Abandon(pending);
        return false;
    }
    return Send(connection, subtype, body, pending);
}

bool PeopleService::RequestDetails(Connection& connection, const std::u16string& uin) {
    const std::uint32_t number = UinNumber(uin);
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(details_, [&](const UserDetails& d) { return d.uin == uin; });
        details_.push_back(UserDetails{});
        details_.back().uin = uin;
        if (details_.size() > kMaxKeptDetails) details_.pop_front();
    }
    const Pending pending{Kind::Details, 0, uin};
    if (number == 0) {
        Abandon(pending);
        return false;
    }
    PacketBuffer body;
    AppendU32Le(body, number);
    return Send(connection, kMetaFullDetails, body, pending);
}

bool PeopleService::SaveOwnDetails(Connection& connection, const SaveOwnDetailsCommand& command) {
    std::uint32_t serial = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        serial = ++save_.serial;
        save_.finished = false;
        save_.saved = true;
        saveAnswers_ = 0;
    }
    PacketBuffer about;
    AppendMetaString(about, command.about);
    // A set that cannot be sent ends the save as not saved (Send sees to it).
    return Send(connection, kMetaSetBasic, BasicDetailsRecord(command), Pending{Kind::SaveBasic, serial, {}}) &&
           Send(connection, kMetaSetAbout, about, Pending{Kind::SaveAbout, serial, {}});
}

bool PeopleService::HandleReply(PacketReader& reader, const SnacHeader& snac, bool& handled) {
    handled = false;
    // By value: the header is packed, and a reference to its field would be
    // misaligned.
    const std::uint32_t requestId = snac.requestId;
    Pending pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto it = pending_.find(requestId);
        if (it == pending_.end()) return true;
        pending = it->second;
    }
    handled = true;
    const bool last = (snac.flags & kSnacFlagMoreReplies) == 0;
    TlvHeader tlv;
    std::uint16_t chunk = 0, replyType = 0, sequence = 0, subtype = 0;
    std::uint32_t owner = 0;
    bool read = ReadRecord(reader, tlv) && ReadU16Le(reader, chunk) && ReadU32Le(reader, owner) &&
                ReadU16Le(reader, replyType) && ReadU16Le(reader, sequence) &&
                ReadU16Le(reader, subtype) && replyType == kMetaReply;
    bool done = true;  // no further reply can belong to the request
    if (read) {
        switch (pending.kind) {
            case Kind::Search:
                read = ReadFound(reader, subtype, pending.serial);
                done = subtype != kMetaUserFound;
                break;
            case Kind::Details:
                read = ReadDetails(reader, subtype, pending.uin, last);
                done = last;
                break;
            case Kind::SaveBasic:
            case Kind::SaveAbout:
                read = subtype == (pending.kind == Kind::SaveBasic ? kMetaSetBasicAnswer
                                                                   : kMetaSetAboutAnswer);
                ReadAnswer(reader, pending.serial, read);
                break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (done || !read) pending_.erase(requestId);
        // A request whose reply went wrong is over all the same.
        if (!read) Finish(pending);
    }
    model_.Notify(ChangeCode::PeopleReplied, nullptr, true);
    return read;
}

bool PeopleService::ReadFound(PacketReader& reader, std::uint16_t subtype, std::uint32_t search) {
    if (subtype != kMetaUserFound && subtype != kMetaLastUserFound) return false;
    std::uint8_t result = 0;
    if (!ReadU8(reader, result)) return false;
    FoundUser user;
    std::uint16_t size = 0, online = 0, age = 0;
    std::uint32_t uin = 0, left = 0;
    std::uint8_t gender = 0;
    bool found = false;
    if (result == kMetaSuccess) {
        FieldReader fields(reader);
        fields.Word(size).Dword(uin).Text(user.nickname).Text(user.firstName).Text(user.lastName).Text(user.email);
        if (!fields.ok() || uin == 0) return false;
        found = true;
        user.uin = DecimalText(uin);
        fields.Flag(user.authorization).Word(online).Byte(gender).Word(age);
        if (fields.ok()) {
            user.online = online == 0 || online == 1 ? online : -1;
            user.gender = gender;
            user.age = age;
        }
        if (subtype == kMetaLastUserFound) fields.Dword(left);
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (results_.search != search) return true;  // a newer search has begun
    if (found && results_.users.size() < kMaxFoundUsers) results_.users.push_back(std::move(user));
    if (subtype == kMetaLastUserFound) {
        results_.finished = true;
        results_.left = left;
    }
    return true;
}

bool PeopleService::ReadDetails(PacketReader& reader, std::uint16_t subtype,
                                const std::u16string& uin, bool last) {
    std::uint8_t result = 0;
    if (!ReadU8(reader, result)) return false;
    std::lock_guard<std::mutex> guard(lock_);
    UserDetails& d = DetailsOf(uin);
    if (last) d.finished = true;
    if (result != kMetaSuccess) return true;
    d.found = true;
    FieldReader f(reader);
    switch (subtype) {
        case kMetaBasicDetails:
            f.Text(d.nickname).Text(d.firstName).Text(d.lastName).Text(d.email).Text(d.city);
            f.Text(d.state).Text(d.phone).Text(d.fax).Text(d.street).Text(d.cellular).Text(d.zip);
            f.Word(d.country).Byte(d.timezone).Flag(d.authorization);
            {
                std::uint8_t webAware = 0, direct = 0;
                f.Byte(webAware).Byte(direct).Flag(d.publishEmail);
            }
            break;
        case kMetaMoreDetails:
            f.Word(d.age).Byte(d.gender).Text(d.homepage).Word(d.birthYear).Byte(d.birthMonth);
            f.Byte(d.birthDay);
            break;
        case kMetaEmailDetails: {
            std::uint8_t count = 0;
            d.emails.clear();
            f.Byte(count);
            for (std::uint8_t i = 0; i < count && f.ok(); ++i) {
                std::uint8_t hidden = 0;
                std::u16string address;
                if (f.Byte(hidden).Text(address).ok()) d.emails.push_back(std::move(address));
            }
            break;
        }
        case kMetaWorkDetails:
            f.Text(d.workCity).Text(d.workState).Text(d.workPhone).Text(d.workFax);
            f.Text(d.workStreet).Text(d.workZip).Word(d.workCountry).Text(d.company);
            f.Text(d.department).Text(d.position).Word(d.occupation).Text(d.workHomepage);
            break;
        case kMetaInterestDetails: {
            std::uint8_t count = 0;
            d.interests.clear();
            f.Byte(count);
            for (std::uint8_t i = 0; i < count && f.ok(); ++i) {
                std::uint16_t category = 0;
                std::u16string text;
                if (f.Word(category).Text(text).ok()) d.interests.emplace_back(category, std::move(text));
            }
            break;
        }
        case kMetaAboutDetails:
            f.Text(d.about, true);
            break;
        default:  // homepage category, affiliations and what else a server sends
            break;
    }
    return true;
}

void PeopleService::ReadAnswer(PacketReader& reader, std::uint32_t serial, bool expected) {
    std::uint8_t result = 0;
    const bool success = expected && ReadU8(reader, result) && result == kMetaSuccess;
    std::lock_guard<std::mutex> guard(lock_);
    if (save_.serial != serial || save_.finished) return;
    save_.saved = save_.saved && success;
    if (++saveAnswers_ >= 2) save_.finished = true;
}

UserDetails& PeopleService::DetailsOf(const std::u16string& uin) {
    for (UserDetails& d : details_) {
        if (d.uin == uin) return d;
    }
    details_.push_back(UserDetails{});
    details_.back().uin = uin;
    if (details_.size() > kMaxKeptDetails) details_.pop_front();
    return details_.back();
}

SearchResults PeopleService::Results() const {
    std::lock_guard<std::mutex> guard(lock_);
    return results_;
}

std::optional<UserDetails> PeopleService::Details(const std::u16string& uin) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const UserDetails& d : details_) {
        if (d.uin == uin) return d;
    }
    return std::nullopt;
}

SaveState PeopleService::LastSave() const {
    std::lock_guard<std::mutex> guard(lock_);
    return save_;
}

void PeopleService::Forget() {
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        changed = !pending_.empty();
        for (const auto& [id, pending] : pending_) Finish(pending);
        pending_.clear();
    }
    if (changed) model_.Notify(ChangeCode::PeopleReplied, nullptr, true);
}

}  // namespace pellox
