#include "protocol/icon_service.h"

#include <algorithm>
#include <cstring>

#include "net/connection.h"
#include "net/service_connection.h"
#include "net/session_impl.h"
#include "protocol/contact_list.h"
#include "protocol/identity.h"
#include "store/app_state.h"

namespace pellox {
namespace {

constexpr std::uint16_t kIconFamily = 0x0010;
constexpr std::uint16_t kIconFamilyVersion = 1;
constexpr std::uint16_t kTlvIconInfo = 0x001D;
constexpr std::uint16_t kIconInfoType = 0x0001;
constexpr std::uint16_t kIconId = 0x0001;
constexpr std::uint8_t kIconFlags = 0x01;
constexpr std::uint8_t kUploadWanted = 0x40;
constexpr std::uint32_t kIconItemRequest = 0x00140014;

// Reads the blocks of TLV 0x001D or of 0x0001/0x0021 (type, flags, length, data)
// until one of type 0x0001 with a 16-byte hash; false when there is none or a
// block is cut short.
bool ReadIconBlock(PacketReader& reader, std::uint8_t& flags, IconHash& hash) {
    while (!reader.AtEnd()) {
        std::uint16_t type = 0;
        std::uint8_t length = 0;
        if (!ReadU16(reader, type) || !ReadU8(reader, flags) || !ReadU8(reader, length))
            return false;
        if (type == kIconInfoType && length == hash.size())
            return ReadBytes(reader, hash.data(), hash.size());
        if (!reader.Skip(length)) return false;
    }
    return false;
}

void AppendHash(PacketBuffer& data, const IconHash& hash) {
    AppendU8(data, kIconFlags);
    AppendU8(data, static_cast<std::uint8_t>(hash.size()));
    AppendBytes(data, hash.data(), hash.size());
}

// The hash TLV 0x00D5 of an icon item names; nullopt when it has none.
std::optional<IconHash> ItemHash(const ServerItem& item) {
    PacketReader reader(item.data);
    std::vector<Tlv> tlvs;
    (void)ReadTlvList(reader, tlvs);
    const Tlv* tlv = FindTlv(tlvs, kTlvIconHash);
    IconHash hash{};
    if (tlv == nullptr || tlv->value.size() != 2 + hash.size() || tlv->value[1] != hash.size())
        return std::nullopt;
    std::copy(tlv->value.begin() + 2, tlv->value.end(), hash.begin());
    return hash;
}

bool SendServiceRequest(Connection& connection) {
    PacketBuffer data;
    AppendU16(data, kIconFamily);
    return connection.SendSnac(0x0001, 0x0004, 0x00010004, data);
}

}  // namespace

std::optional<IconHash> AnnouncedIconHash(const UserInfoBlock& block) {
    const Tlv* tlv = FindTlv(block.tlvs, kTlvIconInfo);
    if (tlv == nullptr) return std::nullopt;
    PacketReader reader(tlv->value);
    std::uint8_t flags = 0;
    IconHash hash{};
    if (!ReadIconBlock(reader, flags, hash)) return std::nullopt;
    // An all-zero hash (and the one-byte "no icon" placeholder) names no picture.
    if (std::all_of(hash.begin(), hash.end(), [](std::uint8_t b) { return b == 0; }))
        return std::nullopt;
    return hash;
}

bool LooksLikeImage(std::span<const std::uint8_t> bytes) {
    const auto startsWith = [&bytes](std::string_view magic) {
        return bytes.size() >= magic.size() &&
               std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
    };
    return startsWith("\x89PNG\r\n\x1A\n") || startsWith("\xFF\xD8\xFF") || startsWith("GIF8") ||
           startsWith("BM");
}

IconService::IconService(SessionImpl& net, AppState& model)
    : net_(net), model_(model), check_(&LooksLikeImage) {}

IconService::~IconService() {
    Shutdown();
}

void IconService::SetImageCheck(ImageCheck check) {
    std::lock_guard<std::mutex> guard(lock_);
    check_ = check ? std::move(check) : ImageCheck(&LooksLikeImage);
}

// ---- Contacts' icons ----

void IconService::OnArrival(Connection& from, PacketReader info) {
    UserInfoBlock block;
    if (!ReadUserInfoBlock(info, block)) return;
    const std::u16string uin = WidenUin(block.uin);
    if (!IsUsableUin(uin)) return;
    const std::optional<IconHash> hash = AnnouncedIconHash(block);
    const std::string text = hash ? IconHashText(*hash) : std::string();
    {
        BusyScope busy(model_);
        const ContactPtr contact = model_.FindContact(uin);
        if (!contact) return;
        bool changed = false;
        contact->Update([&](ContactInfo& contactInfo) {
            changed = contactInfo.iconHash != text;
            contactInfo.iconHash = text;
        });
        if (changed) model_.Notify(ChangeCode::ContactChanged, contact, true);
    }
    if (!hash || IconCached(model_.Directory(), text)) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (shutDown_ || tried_.count(*hash) > 0 || inFlight_.count(*hash) > 0 ||
            waiting_.size() >= kMaxWaitingFetches ||
            std::any_of(waiting_.begin(), waiting_.end(),
                        [&](const Waiting& w) { return w.hash == *hash; })) {
            return;
        }
        waiting_.push_back(Waiting{block.uin, *hash});
        if (phase_ == Phase::Ready && connection_) {
            SendWaiting(*connection_);
            return;
        }
        // Asked already, or closing: the fetch goes on the next connection.
        if (phase_ != Phase::Idle) return;
    }
    Demand(from);
}

void IconService::Demand(Connection& from) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (shutDown_ || phase_ != Phase::Idle) return;
        phase_ = Phase::Requested;
    }
    if (!from.Connected() || !SendServiceRequest(from)) {
        std::lock_guard<std::mutex> guard(lock_);
        if (phase_ == Phase::Requested) phase_ = Phase::Idle;
    }
}

bool IconService::OnRedirect(PacketReader& reader) {
    std::vector<Tlv> tlvs;
    if (!ReadTlvList(reader, tlvs)) return false;
    const Tlv* family = FindTlv(tlvs, 0x000D);
    const Tlv* address = FindTlv(tlvs, 0x0005);
    const Tlv* cookie = FindTlv(tlvs, 0x0006);
    if (family == nullptr || family->value.size() != 2) return false;
    if ((family->value[0] << 8 | family->value[1]) != kIconFamily)
        return true;  // not asked for here
    if (address == nullptr || address->value.empty() || cookie == nullptr || cookie->value.empty())
        return false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (shutDown_ || phase_ != Phase::Requested) return true;
        if (connection_) retired_.push_back(std::move(connection_));
        ServiceConnection::Handlers handlers;
        handlers.ready = [this](ServiceConnection& c) { OnReady(c); };
        handlers.snac = [this](ServiceConnection& c, const SnacHeader& snac, PacketReader& r) {
            OnSnac(c, snac, r);
        };
        handlers.closed = [this](ServiceConnection& c) { OnClosed(c); };
        connection_ = std::make_unique<ServiceConnection>(net_, kIconFamily, kIconFamilyVersion,
                                                          std::move(handlers));
        connection_->Start(address->Text(), cookie->value);
    }
    JoinRetired();
    return true;
}

void IconService::OnReady(ServiceConnection& connection) {
    std::lock_guard<std::mutex> guard(lock_);
    if (&connection != connection_.get()) {
        connection.Close();
        return;
    }
    phase_ = Phase::Ready;
    SendWaiting(connection);
}

void IconService::SendWaiting(ServiceConnection& connection) {
    while (!waiting_.empty()) {
        const Waiting next = waiting_.front();
        waiting_.pop_front();
        if (tried_.size() >= kMaxTriedHashes) tried_.clear();
        if (!tried_.insert(next.hash).second) continue;
        PacketBuffer data;
        AppendString8(data, next.uin);
        AppendU8(data, 1);
        AppendU16(data, kIconId);
        AppendHash(data, next.hash);
        const std::uint32_t requestId = ++nextRequest_;
        if (!connection.Send(0x0006, requestId, data)) break;
        inFlight_[next.hash] = requestId;
        fetchesSent_.fetch_add(1);
    }
    if (upload_ && !uploading_) {
        PacketBuffer data;
        AppendU16(data, 1);  // reference
        AppendU16(data, static_cast<std::uint16_t>(upload_->size()));
        AppendBytes(data, upload_->data(), upload_->size());
        uploading_ = connection.Send(0x0002, ++nextRequest_, data);
        if (!uploading_) upload_.reset();
    }
    CloseWhenIdle();
}

void IconService::CloseWhenIdle() {
    if (phase_ != Phase::Ready || !connection_ || !inFlight_.empty() || uploading_ ||
        !waiting_.empty()) {
        return;
    }
    phase_ = Phase::Closing;
    connection_->Close();
}

void IconService::OnSnac(ServiceConnection& connection, const SnacHeader& snac,
                         PacketReader& reader) {
    if (snac.subtype == 0x0007) {
        std::string uin;
        std::uint16_t id = 0, length = 0;
        std::uint8_t flags = 0, hashLength = 0, unused = 0;
        IconHash asked{}, again{};
        if (!ReadString8(reader, uin) || !ReadU16(reader, id) || !ReadU8(reader, flags) ||
            !ReadU8(reader, hashLength) || hashLength != asked.size() ||
            !ReadBytes(reader, asked.data(), asked.size()) || !ReadU8(reader, unused) ||
            !ReadU16(reader, id) || !ReadU8(reader, flags) || !ReadU8(reader, hashLength) ||
            hashLength != again.size() || !ReadBytes(reader, again.data(), again.size()) ||
            !ReadU16(reader, length) || static_cast<int>(length) > reader.Remaining()) {
            return;  // the fetch stays in flight until the connection ends
        }
        bool mine = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            mine = &connection == connection_.get() && inFlight_.erase(asked) > 0;
        }
        if (mine) Accept(asked, {reader.Data() + reader.Position(), length});
    } else if (snac.subtype == 0x0003 || snac.subtype == 0x0001) {
        // The upload's answer, or an error: for the upload or for one fetch.
        std::lock_guard<std::mutex> guard(lock_);
        if (&connection != connection_.get()) return;
        const auto fetch = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const auto& entry) {
            return entry.second == snac.requestId;
        });
        if (snac.subtype == 0x0001 && fetch != inFlight_.end()) {
            inFlight_.erase(fetch);
        } else {
            uploading_ = false;
            upload_.reset();
        }
    } else {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (&connection == connection_.get()) CloseWhenIdle();
}

void IconService::Accept(const IconHash& hash, std::span<const std::uint8_t> bytes) {
    ImageCheck check;
    {
        std::lock_guard<std::mutex> guard(lock_);
        check = check_;
    }
    // Only the picture the contact announced, within the service's limit, and one
    // that can be shown.
    if (bytes.empty() || bytes.size() > kMaxIconBytes || IconHashOf(bytes) != hash || !check(bytes))
        return;
    const std::string text = IconHashText(hash);
    if (!CacheIcon(model_.Directory(), text, bytes)) return;
    BusyScope busy(model_);
    for (const ContactPtr& contact : model_.Contacts()) {
        if (contact->Snapshot().iconHash == text)
            model_.Notify(ChangeCode::ContactChanged, contact, true);
    }
}

void IconService::OnClosed(ServiceConnection& connection) {
    bool again = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (&connection != connection_.get()) return;
        const bool served = phase_ == Phase::Ready || phase_ == Phase::Closing;
        retired_.push_back(std::move(connection_));
        inFlight_.clear();
        uploading_ = false;
        phase_ = Phase::Idle;
        // A service that could not be reached is not asked again until the next
        // arrival; what came in while this one closed goes on a new one.
        if (!served) {
            waiting_.clear();
            upload_.reset();
        }
        again = !shutDown_ && (!waiting_.empty() || upload_.has_value());
    }
    if (!again) return;
    Connection current = net_.CurrentConnection();
    Demand(current);
}

void IconService::JoinRetired() {
    std::vector<std::unique_ptr<ServiceConnection>> retired;
    {
        std::lock_guard<std::mutex> guard(lock_);
        retired.swap(retired_);
    }
    retired.clear();  // joins each thread
}

void IconService::Reset() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        waiting_.clear();
        inFlight_.clear();
        tried_.clear();
        upload_.reset();
        uploading_ = false;
        phase_ = Phase::Idle;
        if (connection_) {
            connection_->Close();
            retired_.push_back(std::move(connection_));
        }
    }
    JoinRetired();
}

void IconService::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        shutDown_ = true;
    }
    Reset();
}

// ---- Own picture ----

std::optional<std::vector<std::uint8_t>> IconService::OwnPicture() const {
    const Profile profile = model_.ReadSettings([](const Settings& settings) {
        const auto it = settings.profiles.find(settings.profile);
        return it != settings.profiles.end() ? it->second : Profile{};
    });
    return ReadOwnPicture(model_.Directory(), profile);
}

bool IconService::OnOwnIconNotice(Connection& from, PacketReader& reader) {
    std::uint8_t flags = 0;
    IconHash hash{};
    if (!ReadIconBlock(reader, flags, hash)) return reader.AtEnd() && !reader.Overrun();
    if ((flags & kUploadWanted) == 0) return true;
    std::optional<std::vector<std::uint8_t>> own = OwnPicture();
    if (!own || IconHashOf(*own) != hash) return true;  // not (or no longer) the picture
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (shutDown_) return true;
        upload_ = std::move(own);
        if (phase_ == Phase::Ready && connection_) {
            SendWaiting(*connection_);
            return true;
        }
        if (phase_ != Phase::Idle) return true;
    }
    Demand(from);
    return true;
}

bool IconService::SyncOwnIcon(Connection& connection, ServerListState& list) {
    if (!list.Loaded()) return false;
    const std::optional<std::vector<std::uint8_t>> own = OwnPicture();
    const std::optional<ServerItem> known = list.Icon();
    const std::optional<IconHash> listed = known ? ItemHash(*known) : std::nullopt;
    std::optional<IconHash> wanted;
    if (own) wanted = IconHashOf(*own);
    if (wanted == listed && (wanted || !known)) return false;

    bool update = false;
    std::optional<ServerItem> deleted;
    std::optional<ServerItem> item;
    if (wanted) {
        const std::uint8_t head[] = {static_cast<std::uint8_t>(kTlvIconHash >> 8),
                                     static_cast<std::uint8_t>(kTlvIconHash & 0xFF),
                                     0,
                                     static_cast<std::uint8_t>(2 + wanted->size()),
                                     kIconFlags,
                                     static_cast<std::uint8_t>(wanted->size())};
        std::vector<std::uint8_t> tlvs;
        tlvs.reserve(sizeof head + wanted->size());
        tlvs.insert(tlvs.end(), std::begin(head), std::end(head));
        tlvs.insert(tlvs.end(), wanted->begin(), wanted->end());
        item = list.PrepareIcon(&tlvs, update, deleted);
    } else {
        (void)list.PrepareIcon(nullptr, update, deleted);
    }
    if (!connection.SendEmptySnac(0x0013, 0x0011)) return false;
    const bool sent =
        item ? SendServerItem(connection, *item, update ? 0x0009 : 0x0008, kIconItemRequest)
             : deleted && SendServerItem(connection, *deleted, 0x000A, kIconItemRequest);
    return connection.SendEmptySnac(0x0013, 0x0012) && sent;
}

bool IconService::IsIconItemRequest(std::uint32_t requestId) {
    return requestId == kIconItemRequest;
}

}  // namespace pellox
