// Offline messages, user information, the directory search and own details:
// the meta requests of family 0x0015.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "net/text_encoding.h"
#include "platform/code_page.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

// Meta request and reply types (little-endian inside family 0x0015).
constexpr std::uint16_t kMetaOfflineRequest = 0x003C;
constexpr std::uint16_t kMetaOfflineAck = 0x003E;
constexpr std::uint16_t kMetaOfflineMessage = 0x0041;
constexpr std::uint16_t kMetaOfflineEnd = 0x0042;
constexpr std::uint16_t kMetaInfoRequest = 0x07D0;
constexpr std::uint16_t kMetaInfoReply = 0x07DA;
constexpr std::uint16_t kInfoShortRequest = 0x04BA;
constexpr std::uint16_t kInfoShortReply = 0x0104;
constexpr std::uint8_t kInfoFound = 0x0A;
constexpr std::uint8_t kInfoNotFound = 0x32;

// Full information: the request (two forms) and its replies, in the order sent.
constexpr std::uint16_t kInfoFullRequest = 0x04B2;
constexpr std::uint16_t kInfoFullRequest2 = 0x04D0;
constexpr std::uint16_t kInfoBasic = 0x00C8;
constexpr std::uint16_t kInfoMore = 0x00DC;
constexpr std::uint16_t kInfoEmails = 0x00EB;
constexpr std::uint16_t kInfoHomepageCategory = 0x010E;
constexpr std::uint16_t kInfoWork = 0x00D2;
constexpr std::uint16_t kInfoAbout = 0x00E6;
constexpr std::uint16_t kInfoInterests = 0x00F0;
constexpr std::uint16_t kInfoAffiliations = 0x00FA;
constexpr std::uint16_t kFullInfoReplies[] = {kInfoBasic, kInfoMore,  kInfoEmails,    kInfoHomepageCategory,
                                              kInfoWork,  kInfoAbout, kInfoInterests, kInfoAffiliations};

// Searches and their replies: one found user each, the last one saying how many
// more matched.
constexpr std::uint16_t kSearchByName = 0x0515;
constexpr std::uint16_t kSearchByUin = 0x051F;
constexpr std::uint16_t kSearchByEmail = 0x0529;
constexpr std::uint16_t kSearchWhitePages = 0x0533;
constexpr std::uint16_t kSearchByNameWildcard = 0x053D;
constexpr std::uint16_t kSearchByEmailWildcard = 0x0547;
constexpr std::uint16_t kSearchWhitePagesWildcard = 0x0551;
constexpr std::uint16_t kSearchWhitePagesTlv = 0x055F;
constexpr std::uint16_t kSearchByUinTlv = 0x0569;
constexpr std::uint16_t kSearchByEmailTlv = 0x0573;
constexpr std::uint16_t kFoundUser = 0x01A4;
constexpr std::uint16_t kLastFoundUser = 0x01AE;
constexpr std::size_t kMaxSearchResults = 20;
// Fields of the TLV-based searches (little-endian type and length).
constexpr std::uint16_t kFieldUin = 0x0136;
constexpr std::uint16_t kFieldFirst = 0x0140;
constexpr std::uint16_t kFieldLast = 0x014A;
constexpr std::uint16_t kFieldNickname = 0x0154;
constexpr std::uint16_t kFieldEmail = 0x015E;
constexpr std::uint16_t kFieldCity = 0x0190;

// Requests that set own details, each answered under its own subtype with the
// success byte. Those kept: basic, more, about and e-mail addresses.
constexpr std::uint16_t kSetBasic = 0x03EA;
constexpr std::uint16_t kSetMore = 0x03FD;
constexpr std::uint16_t kSetAbout = 0x0406;
constexpr std::uint16_t kSetEmails = 0x040B;
struct SetRequest {
    std::uint16_t request;
    std::uint16_t answer;
};
constexpr SetRequest kSetRequests[] = {
    {kSetBasic, 0x0064}, {kSetMore, 0x0078}, {kSetAbout, 0x0082}, {kSetEmails, 0x0087},
    // Not kept, so answered as failed: work, interests, affiliations,
    // permissions, password, homepage category.
    {0x03F3, 0x006E}, {0x0410, 0x008C}, {0x041A, 0x0096}, {0x0424, 0x00A0}, {0x042E, 0x00AA}, {0x0442, 0x00BE},
};

// Meta reply strings: little-endian length including the terminating zero.
bool AppendMetaString(PacketBuffer& buffer, const std::string& text) {
    return AppendU16Le(buffer, static_cast<std::uint16_t>(text.size() + 1)) &&
           AppendBytes(buffer, text.data(), text.size()) && AppendU8(buffer, 0);
}

// A meta request string: little-endian length including the terminating zero;
// the text ends at its first zero byte.
bool ReadMetaString(PacketReader& reader, std::string& out) {
    if (!ReadString16(reader, out, /*littleEndianLength=*/true)) return false;
    out.resize(std::min(out.size(), out.find('\0')));
    return true;
}

// The head every meta reply opens with, then the type-specific data.
PacketBuffer MetaReply(Uin owner, std::uint16_t type, std::uint16_t sequence, const PacketBuffer& data) {
    const std::size_t inner = 4 + 2 + 2 + data.Length();  // the bytes behind the chunk size
    PacketBuffer p;
    AppendU16(p, 0x0001);
    AppendU16(p, static_cast<std::uint16_t>(2 + inner));
    AppendU16Le(p, static_cast<std::uint16_t>(inner));
    AppendU32Le(p, owner);
    AppendU16Le(p, type);
    AppendU16Le(p, sequence);
    AppendBytes(p, data.Data(), data.Length());
    return p;
}

// The text as the offline record carries it: Windows-1251 text and text in
// other 8-bit character sets as stored; UCS-2 text in Windows-1251 when every
// character has a place there, otherwise as UTF-8 (which the client detects).
std::string RecordText(const OfflineMessage& m) {
    if (m.charset != kCharsetUcs2) return m.text;
    const std::u16string wide = DecodeUtf8(m.text);
    return FitsLocal(wide) ? platform::WideToLocal(wide) : m.text;
}

// An offline message record: sender, the date and time it was stored (UTC),
// type, flags and the text.
PacketBuffer OfflineRecord(const OfflineMessage& m) {
    std::tm t{};
    const std::time_t time = m.time;
    if (gmtime_r(&time, &t) == nullptr) t = std::tm{};
    PacketBuffer record;
    AppendU32Le(record, m.from);
    AppendU16Le(record, static_cast<std::uint16_t>(t.tm_year + 1900));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_mon + 1));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_mday));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_hour));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_min));
    AppendU8(record, 0x01);  // plain text
    AppendU8(record, 0x00);  // flags
    AppendMetaString(record, RecordText(m));
    return record;
}

// Text as a search compares it: decoded (UTF-8 when it is that, else Windows-1251)
// and with Latin and Cyrillic capitals made small.
std::u16string Folded(std::string_view text) {
    std::u16string wide;
    DecodeIncomingText(text, wide);
    for (char16_t& c : wide) {
        if ((c >= u'A' && c <= u'Z') || (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) || (c >= 0x0410 && c <= 0x042F)) {
            c = static_cast<char16_t>(c + 0x20);
        } else if (c >= 0x0400 && c <= 0x040F) {
            c = static_cast<char16_t>(c + 0x50);
        }
    }
    return wide;
}

// Whether the whole text matches the pattern, in which "*" stands for any run of
// characters.
bool MatchesPattern(std::u16string_view text, std::u16string_view pattern) {
    std::size_t t = 0, p = 0;
    std::size_t star = std::u16string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// What a search asks for: a UIN, or text fields (folded; empty: any). A query
// that asks for nothing finds nobody.
struct SearchQuery {
    Uin uin = 0;
    std::u16string nickname, first, last, email, city;

    bool Empty() const {
        return uin == 0 && nickname.empty() && first.empty() && last.empty() && email.empty() && city.empty();
    }
    bool Matches(const Account& account) const {
        if (uin != 0) return account.uin == uin;
        auto field = [](const std::u16string& pattern, std::string_view value) {
            return pattern.empty() || MatchesPattern(Folded(value), pattern);
        };
        return field(nickname, account.nickname) && field(first, DetailText(account.details, "first")) &&
               field(last, DetailText(account.details, "last")) &&
               field(email, DetailText(account.details, "email")) && field(city, DetailText(account.details, "city"));
    }
};

bool IsSearch(std::uint16_t subtype) {
    switch (subtype) {
    case kSearchByName:
    case kSearchByUin:
    case kSearchByEmail:
    case kSearchWhitePages:
    case kSearchByNameWildcard:
    case kSearchByEmailWildcard:
    case kSearchWhitePagesWildcard:
    case kSearchWhitePagesTlv:
    case kSearchByUinTlv:
    case kSearchByEmailTlv:
        return true;
    default:
        return false;
    }
}

// Reads the query of one of the search requests; false when it is cut short.
bool ReadSearchQuery(std::uint16_t subtype, PacketReader& reader, SearchQuery& query) {
    std::string nickname, first, last, email, city;
    bool good = true;
    switch (subtype) {
    case kSearchByUin: {
        std::uint32_t uin = 0;
        good = ReadU32Le(reader, uin);
        query.uin = uin;
        break;
    }
    case kSearchByEmail:
    case kSearchByEmailWildcard:
        good = ReadMetaString(reader, email);
        break;
    case kSearchByName:
    case kSearchByNameWildcard:
        good = ReadMetaString(reader, first) && ReadMetaString(reader, last) && ReadMetaString(reader, nickname);
        break;
    case kSearchWhitePages:
    case kSearchWhitePagesWildcard: {
        // Then age range, gender and language, the city, and criteria not kept here.
        good = ReadMetaString(reader, first) && ReadMetaString(reader, last) && ReadMetaString(reader, nickname) &&
               ReadMetaString(reader, email) && reader.Skip(2 + 2 + 1 + 1) && ReadMetaString(reader, city);
        break;
    }
    case kSearchWhitePagesTlv:
    case kSearchByUinTlv:
    case kSearchByEmailTlv:
        while (good && !reader.AtEnd()) {
            std::uint16_t type = 0, length = 0;
            good = ReadU16Le(reader, type) && ReadU16Le(reader, length) && length <= reader.Remaining();
            if (!good) break;
            PacketReader value(reader.Data() + reader.Position(), length);
            (void)reader.Skip(length);
            std::uint32_t uin = 0;
            switch (type) {
            case kFieldUin:
                good = ReadU32Le(value, uin);
                query.uin = uin;
                break;
            case kFieldFirst:
                good = ReadMetaString(value, first);
                break;
            case kFieldLast:
                good = ReadMetaString(value, last);
                break;
            case kFieldNickname:
                good = ReadMetaString(value, nickname);
                break;
            case kFieldEmail:  // the address, then whether it is published
                good = ReadMetaString(value, email);
                break;
            case kFieldCity:
                good = ReadMetaString(value, city);
                break;
            default:  // criteria not kept here
                break;
            }
        }
        break;
    default:
        break;
    }
    query.nickname = Folded(nickname);
    query.first = Folded(first);
    query.last = Folded(last);
    query.email = Folded(email);
    query.city = Folded(city);
    return good;
}

void AppendDetail(PacketBuffer& p, const Details& details, const DetailField& field) {
    switch (field.kind) {
    case DetailKind::Text:
        AppendMetaString(p, std::string(DetailText(details, field.key)));
        break;
    case DetailKind::Byte:
        AppendU8(p, static_cast<std::uint8_t>(DetailNumber(details, field.key)));
        break;
    case DetailKind::Word:
        AppendU16Le(p, static_cast<std::uint16_t>(DetailNumber(details, field.key)));
        break;
    }
}

// Reads the fields of a set request into `details`: a field missing at the end
// of the request stays as it was, an empty text is taken away. False when a
// field is cut short or a text is longer than kept.
bool ReadDetails(PacketReader& reader, std::span<const DetailField> fields, Details& details) {
    for (const DetailField& field : fields) {
        if (reader.AtEnd()) return true;
        const std::string key(field.key);
        std::uint8_t byte = 0;
        std::uint16_t word = 0;
        std::string text;
        switch (field.kind) {
        case DetailKind::Text:
            if (!ReadMetaString(reader, text)) return false;
            if (text.size() > (key == kAboutDetail.key ? kMaxAboutBytes : kMaxDetailBytes)) return false;
            if (text.empty()) {
                details.erase(key);
            } else {
                details[key] = std::move(text);
            }
            break;
        case DetailKind::Byte:
            if (!ReadU8(reader, byte)) return false;
            details[key] = std::to_string(byte);
            break;
        case DetailKind::Word:
            if (!ReadU16Le(reader, word)) return false;
            details[key] = std::to_string(word);
            break;
        }
    }
    return true;
}

}  // namespace

void OscarServer::Core::HandleMetaSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    if (snac.subtype != 0x0002) return;
    TlvHeader tlv;
    std::uint16_t chunk = 0, type = 0, sequence = 0;
    std::uint32_t owner = 0;
    if (!ReadRecord(reader, tlv) || tlv.type != 0x0001 || !ReadU16Le(reader, chunk) ||
        !ReadU32Le(reader, owner) || !ReadU16Le(reader, type) || !ReadU16Le(reader, sequence)) {
        Log(s.Label() + " malformed meta request");
        return;
    }
    // The owner field is not trusted: every request acts for the signed-on UIN.
    switch (type) {
    case kMetaOfflineRequest:
        DeliverOffline(s, snac.requestId, sequence);
        break;
    case kMetaOfflineAck:
        if (!s.deliveredOffline.empty()) {
            std::size_t removed = offline_->StageRemove(s.uin, s.deliveredOffline);
            s.deliveredOffline.clear();
            s.offlineStaged = removed > 0;
            Log(s.Label() + " " + std::to_string(removed) + " offline messages acknowledged");
        }
        break;
    case kMetaInfoRequest:
        HandleInfoRequest(s, snac.requestId, sequence, reader);
        break;
    default:
        break;
    }
}

// The backlog is sent as the output queue drains: never more than half the
// queue's bound is queued at a time, so a long backlog cannot overrun it.
void OscarServer::Core::DeliverOffline(Session& s, std::uint32_t requestId, std::uint16_t sequence) {
    std::vector<OfflineMessage> messages = offline_->For(s.uin);
    s.offlineQueue.assign(std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
    s.deliveredOffline.clear();
    s.offlineRequestId = requestId;
    s.offlineSequence = sequence;
    s.offlineDelivering = true;
    SendOfflineBatch(s);
}

void OscarServer::Core::SendOfflineBatch(Session& s) {
    const std::size_t budget = config_.maxQueuedOutput / 2;
    while (!s.offlineQueue.empty()) {
        const OfflineMessage& m = s.offlineQueue.front();
        PacketBuffer reply = MetaReply(s.uin, kMetaOfflineMessage, s.offlineSequence, OfflineRecord(m));
        const std::size_t queued = s.connection.QueuedBytes();
        if (queued > 0 && queued + kFlapHeaderSize + kSnacHeaderSize + reply.Length() > budget) {
            if (s.connection.NotifyWhenDrained()) return;  // HandleDrained goes on
            continue;  // drained meanwhile
        }
        if (!s.connection.SendSnac(0x0015, 0x0003, s.offlineRequestId, reply)) {
            Log(s.Label() + " offline delivery ended: the connection is closing");
            s.offlineQueue.clear();
            s.offlineDelivering = false;
            return;
        }
        s.deliveredOffline.push_back(m.id);
        s.offlineQueue.pop_front();
    }
    PacketBuffer end;
    AppendU8(end, 0);  // no messages were dropped
    s.connection.SendSnac(0x0015, 0x0003, s.offlineRequestId, MetaReply(s.uin, kMetaOfflineEnd, s.offlineSequence, end));
    s.offlineDelivering = false;
    Log(s.Label() + " " + std::to_string(s.deliveredOffline.size()) + " offline messages delivered");
}

void OscarServer::Core::SendShortInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target) {
    const Account* account = accounts_.Find(target);
    PacketBuffer data;
    AppendU16Le(data, kInfoShortReply);
    if (account == nullptr) {
        AppendU8(data, kInfoNotFound);
    } else {
        AppendU8(data, kInfoFound);
        AppendMetaString(data, account->nickname);
        for (std::string_view key : {"first", "last", "email"}) {
            AppendMetaString(data, std::string(DetailText(account->details, key)));
        }
        AppendU8(data, account->auth ? 1 : 0);  // adding it needs its consent
        AppendU8(data, 0);
        AppendU8(data, static_cast<std::uint8_t>(DetailNumber(account->details, "gender")));
    }
    s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, data));
    Log(s.Label() + " short info for " + UinText(target) + (account ? "" : ": not found"));
}

void OscarServer::Core::HandleInfoRequest(Session& s, std::uint32_t requestId, std::uint16_t sequence,
                                          PacketReader& reader) {
    std::uint16_t subtype = 0;
    std::uint32_t target = 0;
    if (!ReadU16Le(reader, subtype)) return;
    switch (subtype) {
    case kInfoShortRequest:
        if (ReadU32Le(reader, target)) SendShortInfo(s, requestId, sequence, target);
        return;
    case kInfoFullRequest:
    case kInfoFullRequest2:
        if (ReadU32Le(reader, target)) SendFullInfo(s, requestId, sequence, target);
        return;
    default:
        break;
    }
    for (const SetRequest& set : kSetRequests) {
        if (set.request != subtype) continue;
        PacketBuffer answer;
        AppendU16Le(answer, set.answer);
        AppendU8(answer, SetDetails(s, subtype, reader));
        s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, answer));
        return;
    }
    if (IsSearch(subtype)) SendSearchResults(s, requestId, sequence, subtype, reader);
}

// Eight replies, each but the last flagged "more follow": basic, more, e-mail
// addresses, homepage category, work, about, interests and affiliations. For an
// unknown UIN each carries only the failure byte.
void OscarServer::Core::SendFullInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target) {
    const Account* account = accounts_.Find(target);
    for (std::uint16_t subtype : kFullInfoReplies) {
        PacketBuffer p;
        AppendU16Le(p, subtype);
        AppendU8(p, account != nullptr ? kInfoFound : kInfoNotFound);
        if (account != nullptr) {
            const Details& details = account->details;
            switch (subtype) {
            case kInfoBasic: {
                AppendMetaString(p, account->nickname);
                const std::span<const DetailField> basic(kBasicDetails);
                for (const DetailField& field : basic.first(basic.size() - 1)) AppendDetail(p, details, field);
                AppendU8(p, account->auth ? 1 : 0);  // adding it needs its consent
                AppendU8(p, 0);                      // not shown on the web
                AppendU8(p, 0);                      // direct connections: not offered
                AppendDetail(p, details, basic.back());
                break;
            }
            case kInfoMore:
                for (const DetailField& field : kMoreDetails) AppendDetail(p, details, field);
                AppendU16Le(p, 0);       // unused
                AppendMetaString(p, "");  // originally from: city, state, country
                AppendMetaString(p, "");
                AppendU16Le(p, 0);
                AppendU8(p, 0);  // marital status not given
                break;
            case kInfoEmails:
                AppendU8(p, static_cast<std::uint8_t>(account->moreEmails.size()));
                for (const std::string& address : account->moreEmails) {
                    AppendU8(p, 0);  // published
                    AppendMetaString(p, address);
                }
                break;
            case kInfoWork:  // city, state, phone, fax, street, zip, country, company, department,
                             // position, occupation, homepage: none kept
                for (int i = 0; i < 6; ++i) AppendMetaString(p, "");
                AppendU16Le(p, 0);
                for (int i = 0; i < 3; ++i) AppendMetaString(p, "");
                AppendU16Le(p, 0);
                AppendMetaString(p, "");
                break;
            case kInfoAbout:
                AppendDetail(p, details, kAboutDetail);
                break;
            case kInfoAffiliations:  // no past backgrounds, no affiliations
                AppendU8(p, 0);
                AppendU8(p, 0);
                break;
            default:  // homepage category and interests: none
                AppendU8(p, 0);
                break;
            }
        }
        const std::uint16_t flags = subtype != kFullInfoReplies[std::size(kFullInfoReplies) - 1] ? kSnacFlagMoreReplies : 0;
        s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, p), flags);
    }
    Log(s.Label() + " full info for " + UinText(target) + (account ? "" : ": not found"));
}

// One reply per account found, at most kMaxSearchResults, each but the last
// flagged "more follow"; the last one says how many more matched. Nothing found:
// the last-result reply with the failure byte alone. Whether an account shows as
// online follows who may see it.
void OscarServer::Core::SendSearchResults(Session& s, std::uint32_t requestId, std::uint16_t sequence,
                                          std::uint16_t subtype, PacketReader& reader) {
    SearchQuery query;
    if (!ReadSearchQuery(subtype, reader, query)) {
        Log(s.Label() + " malformed search " + std::to_string(subtype));
        query = SearchQuery();  // finds nobody
    }
    std::vector<const Account*> found;
    if (!query.Empty()) {
        for (const auto& [uin, account] : accounts_.All()) {
            if (query.Matches(account)) found.push_back(&account);
        }
    }
    const std::size_t sent = std::min(found.size(), kMaxSearchResults);
    for (std::size_t i = 0; i < sent; ++i) {
        const Account& account = *found[i];
        const bool last = i + 1 == sent;
        PacketBuffer record;
        AppendU32Le(record, account.uin);
        AppendMetaString(record, account.nickname);
        for (std::string_view key : {"first", "last", "email"}) {
            AppendMetaString(record, std::string(DetailText(account.details, key)));
        }
        AppendU8(record, account.auth ? 1 : 0);
        AppendU16Le(record, IsVisible(account.uin) && SeenBy(account.uin, s.uin) ? 1 : 0);
        AppendU8(record, static_cast<std::uint8_t>(DetailNumber(account.details, "gender")));
        AppendU16Le(record, static_cast<std::uint16_t>(DetailNumber(account.details, "age")));
        PacketBuffer p;
        AppendU16Le(p, last ? kLastFoundUser : kFoundUser);
        AppendU8(p, kInfoFound);
        AppendU16Le(p, static_cast<std::uint16_t>(record.Length()));
        AppendBytes(p, record.Data(), record.Length());
        if (last) AppendU32Le(p, static_cast<std::uint32_t>(found.size() - sent));  // users left
        s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, p),
                              last ? 0 : kSnacFlagMoreReplies);
    }
    if (sent == 0) {
        PacketBuffer p;
        AppendU16Le(p, kLastFoundUser);
        AppendU8(p, kInfoNotFound);
        s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, p));
    }
    Log(s.Label() + " search found " + std::to_string(found.size()));
}

std::uint8_t OscarServer::Core::SetDetails(Session& s, std::uint16_t subtype, PacketReader& reader) {
    Account* account = accounts_.Find(s.uin);
    if (account == nullptr || !TakeMessageToken(s.uin)) return kInfoNotFound;
    Account updated = *account;
    bool good = false;
    switch (subtype) {
    case kSetBasic: {
        // The nickname goes into the accounts file as it stands: no control bytes.
        good = ReadMetaString(reader, updated.nickname) && updated.nickname.size() <= kMaxNicknameBytes &&
               std::none_of(updated.nickname.begin(), updated.nickname.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }) &&
               ReadDetails(reader, kBasicDetails, updated.details);
        break;
    }
    case kSetMore:
        good = ReadDetails(reader, kMoreDetails, updated.details);
        break;
    case kSetAbout:
        good = !reader.AtEnd() && ReadDetails(reader, std::span<const DetailField>(&kAboutDetail, 1), updated.details);
        break;
    case kSetEmails: {
        std::uint8_t count = 0;
        good = ReadU8(reader, count) && count <= kMaxMoreEmails;
        updated.moreEmails.clear();
        for (std::uint8_t i = 0; good && i < count; ++i) {
            std::uint8_t hidden = 0;
            std::string address;
            good = ReadU8(reader, hidden) && ReadMetaString(reader, address) && address.size() <= kMaxDetailBytes;
            if (good && !address.empty()) updated.moreEmails.push_back(std::move(address));
        }
        break;
    }
    default:  // details not kept here
        break;
    }
    if (!good) {
        Log(s.Label() + " details " + std::to_string(subtype) + " not saved");
        return kInfoNotFound;
    }
    *account = std::move(updated);
    detailsWriter_->Stage(*account);
    s.detailsStaged = s.detailsStaged || detailsWriter_->Enabled();
    Log(s.Label() + " details " + std::to_string(subtype) + " saved");
    return kInfoFound;
}

}  // namespace pellox::server
