#include "protocol/file_transfer.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <thread>

#include "net/connection.h"
#include "net/session.h"
#include "net/text_encoding.h"
#include "platform/endpoint.h"
#include "platform/files.h"
#include "platform/socket_wait.h"
#include "platform/stream.h"
#include "protocol/identity.h"
#include "resources/strings.h"
#include "store/app_state.h"

namespace pellox {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 100;         // a wait between looks at cancels and rendezvous
constexpr std::size_t kChunk = 64 * 1024;
constexpr auto kEndedShown = std::chrono::seconds(60);

std::u16string Widen(std::string_view utf8) { return DecodeUtf8(utf8); }

}  // namespace

FileSizeParts SplitFileSize(std::uint64_t size) {
    auto number = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value);
        std::string s = text;
        std::replace(s.begin(), s.end(), '.', ',');
        return std::u16string(s.begin(), s.end());
    };
    if (size < 1024) {
        const std::string s = std::to_string(size);
        return {str::kSizeBytes, std::u16string(s.begin(), s.end())};
    }
    if (size < 1024 * 1024) return {str::kSizeKilobytes, number(static_cast<double>(size) / 1024)};
    if (size < 1024ull * 1024 * 1024) return {str::kSizeMegabytes, number(static_cast<double>(size) / (1024 * 1024))};
    return {str::kSizeGigabytes, number(static_cast<double>(size) / (1024.0 * 1024 * 1024))};
}

std::u16string FileSizeText(std::uint64_t size) {
    const FileSizeParts parts = SplitFileSize(size);
    return FormatString(parts.unitId, {parts.number});
}

namespace {

platform::IpAddress V4(std::uint32_t address) {
    platform::IpAddress ip;
    ip.bytes = {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
    return ip;
}

std::uint32_t HostOrder(const platform::IpAddress& ip) {
    if (ip.v6) return 0;
    return static_cast<std::uint32_t>(ip.bytes[0]) << 24 | ip.bytes[1] << 16 | ip.bytes[2] << 8 | ip.bytes[3];
}

bool IsForbidden(char16_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == u'/' || c == u'\\' || c == u':' ||
           c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|' || c == 0x200E ||
           c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

bool SendHeader(platform::Stream& stream, const OftHeader& header) {
    const std::vector<std::uint8_t> bytes = BuildOftHeader(header);
    return stream.SendAll(bytes.data(), bytes.size());
}

bool SendProxy(platform::Stream& stream, const ProxyPacket& packet) {
    const std::vector<std::uint8_t> bytes = BuildProxyPacket(packet);
    return stream.SendAll(bytes.data(), bytes.size());
}

std::string OwnUinText(const AppState& model) { return NarrowFromWide(model.GetSettings().profile); }

}  // namespace

std::u16string CleanFileName(std::u16string_view name) {
    const std::size_t slash = name.find_last_of(u"/\\");
    if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
    std::u16string clean;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (IsHighSurrogate(c)) {
            if (i + 1 < name.size() && IsLowSurrogate(name[i + 1])) clean += name.substr(i++, 2);
            continue;
        }
        if (IsLowSurrogate(c) || IsForbidden(c)) continue;
        clean += c;
    }
    const auto isTrimmedFront = [](char16_t c) { return c == u'.' || c == u' ' || c == 0x3000 || c == 0xA0; };
    const auto isTrimmedBack = [](char16_t c) { return c == u'.' || c == u' ' || c == 0x3000 || c == 0xA0; };
    while (!clean.empty() && isTrimmedFront(clean.front())) clean.erase(clean.begin());
    while (!clean.empty() && isTrimmedBack(clean.back())) clean.pop_back();
    if (clean.size() > kMaxCleanNameLength) {
        std::u16string extension;
        const std::size_t dot = clean.rfind(u'.');
        if (dot != std::u16string::npos && clean.size() - dot <= 16) extension = clean.substr(dot);
        std::size_t keep = kMaxCleanNameLength - extension.size();
        if (keep > 0 && IsHighSurrogate(clean[keep - 1])) --keep;
        clean = clean.substr(0, keep) + extension;
    }
    // A name that is only a reserved word of the folder walk.
    if (clean.empty() || clean == u"." || clean == u"..") clean = u"file";
    return clean;
}

std::string FreeFileName(const std::string& folder, const std::u16string& name) {
    const std::size_t dot = name.rfind(u'.');
    const std::u16string stem = dot == std::u16string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::u16string extension = dot == std::u16string::npos || dot == 0 ? u"" : name.substr(dot);
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    for (int n = 0;; ++n) {
        std::u16string candidate = stem;
        if (n > 0) {
            const std::string number = " (" + std::to_string(n) + ")";
            candidate += std::u16string(number.begin(), number.end());
        }
        const std::string path = base + EncodeUtf8(candidate + extension);
        if (!platform::EntryExists(path) && !platform::EntryExists(path + ".part")) return path;
    }
}

std::string DefaultDownloadFolder() {
    const char* home = std::getenv("HOME");
    const std::string homeDir = home != nullptr ? home : "";
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string dirsFile =
        (configHome != nullptr && *configHome != '\0' ? std::string(configHome) : homeDir + "/.config") +
        "/user-dirs.dirs";
    std::string text;
    if (platform::ReadWholeFile(dirsFile, text)) {
        const std::string key = "XDG_DOWNLOAD_DIR=\"";
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += key.size()) {
            if (at != 0 && text[at - 1] != '\n') continue;
            const std::size_t end = text.find('"', at + key.size());
            if (end == std::string::npos) break;
            std::string value = text.substr(at + key.size(), end - at - key.size());
            if (value.rfind("$HOME", 0) == 0) value = homeDir + value.substr(5);
            if (!value.empty() && value[0] == '/') return value;
        }
    }
    return homeDir + "/Downloads";
}

bool SendFileRendezvous(Connection& connection, std::u16string_view uinText, const std::vector<std::uint8_t>& block) {
    const std::string uin = NarrowFromWide(uinText);
    if (uin.empty() || uin.size() > 0xFF) return false;
    static std::atomic<std::uint32_t> sent{0};
    std::mt19937 random(std::random_device{}());
    PacketBuffer data;
    AppendU32(data, random());
    AppendU32(data, random());  // the message cookie; the transfer's is in the block
    AppendU16(data, 0x0002);
    AppendString8(data, uin);
    AppendTlv(data, 0x0005, block.size(), block.data());
    AppendTlv(data, 0x0003, 0, nullptr);
    const std::uint32_t requestId = kLastMessageRequestId + 1 + (sent++ % kLastMessageRequestId);
    return !data.Failed() && connection.SendSnac(0x0004, 0x0006, requestId, data);
}

namespace {

// The message header, the sender and the rendezvous block of a channel-2 message.
bool ReadRendezvousMessage(PacketReader& reader, UserInfoBlock& sender, std::vector<std::uint8_t>& block) {
    MessageHeader header;
    std::vector<Tlv> tlvs;
    if (!ReadRecord(reader, header) || header.channel != 2 || !ReadUserInfoBlock(reader, sender) ||
        !ReadTlvList(reader, tlvs)) {
        return false;
    }
    const Tlv* rendezvous = FindTlv(tlvs, 0x0005);
    if (rendezvous == nullptr) return false;
    block = rendezvous->value;
    return true;
}

}  // namespace

bool IsFileRendezvousMessage(const PacketReader& original) {
    PacketReader reader = original;
    UserInfoBlock sender;
    std::vector<std::uint8_t> block;
    return ReadRendezvousMessage(reader, sender, block) && IsFileRendezvous(block);
}

bool HandleFileRendezvous(Connection& connection, PacketReader& reader, FileTransfers& files) {
    (void)connection;
    UserInfoBlock sender;
    std::vector<std::uint8_t> block;
    Rendezvous rendezvous;
    if (!ReadRendezvousMessage(reader, sender, block) || !ParseRendezvous(block, rendezvous)) return false;
    const std::u16string uin = WidenUin(sender.uin);
    if (!IsUsableUin(uin)) return false;
    (void)files.OnRendezvous(uin, rendezvous);  // one of nobody's transfers is dropped, not malformed
    return true;
}

// ---------------------------------------------------------------------------------

struct FileTransfers::Transfer {
    std::uint64_t id = 0;
    TransferCookie cookie{};
    std::u16string uin;
    bool outgoing = false;
    std::u16string name;
    std::uint64_t size = 0;
    std::string path;  // outgoing: the source; incoming: the final name once chosen
    FileTransferConfig config;
    Rendezvous proposal;  // incoming: as received
    Clock::time_point answerBy = Clock::time_point::max();  // incoming: the proposal's end

    // Under the transfers' lock.
    TransferState state = TransferState::Proposed;
    Clock::time_point began, ended;
    bool accepted = false;       // outgoing: the peer's accept came; incoming: the user's yes
    std::uint32_t peerSeen = 0;  // the address the server saw the peer at, from its accept
    bool cancelled = false;      // by the user
    bool peerCancelled = false;
    std::deque<Rendezvous> events;
    std::shared_ptr<platform::Stream> stream;
    platform::SocketHandle listener = platform::kNoSocket;
    std::thread thread;

    std::atomic<std::uint64_t> done{0};
    platform::ConnectCanceller canceller;
};

FileTransfers::FileTransfers(AppState& model, NetSession& session, SystemLine systemLine,
                             Announce announce)
    : model_(model), session_(session), systemLine_(std::move(systemLine)), announce_(std::move(announce)) {
    config_.downloads = DefaultDownloadFolder();
}

FileTransfers::~FileTransfers() { Shutdown(); }

void FileTransfers::SetConfig(const FileTransferConfig& config) {
    std::lock_guard<std::mutex> lock(lock_);
    config_ = config;
}

FileTransferConfig FileTransfers::Config() const {
    std::lock_guard<std::mutex> lock(lock_);
    return config_;
}

bool FileTransfers::AcceptsProposalFrom(const std::u16string& uin) const {
    if (!IsUsableUin(uin)) return false;
    // Only a listed contact may offer a file, and not one on the ignore list.
    const ContactPtr contact = model_.FindContact(uin);
    return contact != nullptr && !contact->Ignored();
}

std::shared_ptr<FileTransfers::Transfer> FileTransfers::Find(std::uint64_t id) const {
    const auto it = transfers_.find(id);
    return it == transfers_.end() ? nullptr : it->second;
}

std::uint64_t FileTransfers::Offer(const std::u16string& uin, const std::string& path, int* whyNot) {
    auto refuse = [&](int id) {
        if (whyNot != nullptr) *whyNot = id;
        return std::uint64_t{0};
    };
    if (!IsConnectedState(session_.State())) return refuse(str::kFileNotConnected);
    platform::FileStatus status;
    if (!platform::PathStatus(path, status) || !S_ISREG(status.mode)) return refuse(str::kFileUnreadable);
    if (static_cast<std::uint64_t>(status.size) > kMaxTransferSize) return refuse(str::kFileTooLarge);
    Prune();
    auto t = std::make_shared<Transfer>();
    t->uin = uin;
    t->outgoing = true;
    t->path = path;
    t->size = static_cast<std::uint64_t>(status.size);
    t->name = CleanFileName(Widen(path));
    std::random_device random;
    for (auto& byte : t->cookie) byte = static_cast<std::uint8_t>(random());
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (shutDown_) return refuse(str::kFileNotConnected);
        std::size_t running = 0;
        for (const auto& [id, other] : transfers_) {
            running += other->state < TransferState::Completed ? 1 : 0;
        }
        if (running >= kMaxTransfers) return refuse(str::kFileTooMany);
        t->id = nextId_++;
        t->config = config_;
        transfers_[t->id] = t;
        t->thread = std::thread([this, t] { Run(t); });
    }
    return t->id;
}

bool FileTransfers::Accept(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(lock_);
    const auto t = Find(id);
    if (!t || t->outgoing || t->state != TransferState::Proposed || shutDown_ || Expired(*t)) return false;
    t->accepted = true;
    t->state = TransferState::Connecting;
    t->config = config_;
    t->path = FreeFileName(t->config.downloads, t->name);
    t->thread = std::thread([this, t] { Run(t); });
    return true;
}

bool FileTransfers::Refuse(std::uint64_t id) {
    std::shared_ptr<Transfer> t;
    {
        std::lock_guard<std::mutex> lock(lock_);
        t = Find(id);
        if (!t || t->outgoing || t->state != TransferState::Proposed) return false;
    }
    SendRendezvous(*t, Head(*t, kRendezvousCancel));
    Finish(*t, TransferState::Refused);
    return true;
}

bool FileTransfers::Cancel(std::uint64_t id) {
    std::shared_ptr<Transfer> t;
    {
        std::lock_guard<std::mutex> lock(lock_);
        t = Find(id);
        if (!t || t->state >= TransferState::Completed) return false;
        if (!t->outgoing && t->state == TransferState::Proposed) {
            t = nullptr;
        } else {
            t->cancelled = true;
            if (t->stream) t->stream->Shutdown();
            t->canceller.Cancel();
            changed_.notify_all();
        }
    }
    if (!t) return Refuse(id);
    SendRendezvous(*t, Head(*t, kRendezvousCancel));
    return true;
}

std::vector<TransferInfo> FileTransfers::List(const std::u16string& uin) const {
    std::vector<TransferInfo> list;
    std::lock_guard<std::mutex> lock(lock_);
    const auto now = Clock::now();
    for (const auto& [id, t] : transfers_) {
        if (t->uin != uin || Expired(*t)) continue;
        const bool ended = t->state >= TransferState::Completed;
        if (ended && now - t->ended > kEndedShown) continue;
        TransferInfo info{t->id, t->uin, t->outgoing, t->name, t->size, t->done.load(), t->state, 0, -1, t->path};
        if (t->state == TransferState::Running) {
            const double seconds = std::chrono::duration<double>(now - t->began).count();
            if (seconds > 0.2 && info.done > 0) {
                info.bytesPerSecond = static_cast<double>(info.done) / seconds;
                info.secondsLeft =
                    static_cast<std::int64_t>(static_cast<double>(info.size - info.done) / info.bytesPerSecond + 0.5);
            }
        }
        list.push_back(std::move(info));
    }
    return list;
}

std::uint64_t FileTransfers::PendingProposal(const std::u16string& uin) const {
    std::lock_guard<std::mutex> lock(lock_);
    for (const auto& [id, t] : transfers_) {
        if (t->uin == uin && !t->outgoing && t->state == TransferState::Proposed && !Expired(*t)) return id;
    }
    return 0;
}

bool FileTransfers::OnRendezvous(const std::u16string& uin, const Rendezvous& r) {
    std::shared_ptr<Transfer> fresh;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (shutDown_) return false;
        for (const auto& [id, t] : transfers_) {
            if (t->cookie != r.cookie || t->uin != uin || t->state >= TransferState::Completed) continue;
            if (r.kind == kRendezvousCancel) {
                t->peerCancelled = true;
                if (t->stream) t->stream->Shutdown();
                t->canceller.Cancel();
                if (!t->outgoing && t->state == TransferState::Proposed) {
                    fresh = t;  // finished below, outside the lock
                    break;
                }
            } else {
                if (r.kind == kRendezvousAccept && t->outgoing) {
                    t->accepted = true;
                    t->peerSeen = r.seenAddress;
                }
                if (t->events.size() < 8) t->events.push_back(r);
            }
            changed_.notify_all();
            if (!fresh) return true;
        }
    }
    if (fresh) {
        Finish(*fresh, TransferState::Cancelled);
        return true;
    }
    // A new proposal: the first one of a transfer, with its file.
    Prune();
    if (r.kind != kRendezvousPropose || !r.hasFile || r.fileCount != 1 || !AcceptsProposalFrom(uin)) return false;
    auto t = std::make_shared<Transfer>();
    t->cookie = r.cookie;
    t->uin = uin;
    t->name = CleanFileName(Widen(r.name));
    t->size = r.totalSize;
    t->proposal = r;
    {
        std::lock_guard<std::mutex> lock(lock_);
        std::size_t waiting = 0;
        for (const auto& [id, other] : transfers_) waiting += other->state < TransferState::Completed ? 1 : 0;
        if (waiting >= kMaxTransfers) return false;
        t->id = nextId_++;
        t->answerBy = Clock::now() + std::chrono::milliseconds(config_.answerTimeoutMs);
        transfers_[t->id] = t;
    }
    const std::u16string text = FormatString(str::kFileProposed, {t->name, FileSizeText(t->size)});
    systemLine_(uin, text);
    announce_(uin, t->name, t->size);
    return true;
}

void FileTransfers::Shutdown() {
    std::map<std::uint64_t, std::shared_ptr<Transfer>> all;
    {
        std::lock_guard<std::mutex> lock(lock_);
        shutDown_ = true;
        for (const auto& [id, t] : transfers_) {
            t->cancelled = true;
            if (t->stream) t->stream->Shutdown();
            t->canceller.Cancel();
        }
        changed_.notify_all();
        all = transfers_;
    }
    for (auto& [id, t] : all) {
        if (t->thread.joinable()) t->thread.join();
    }
}

void FileTransfers::Prune() {
    std::vector<std::shared_ptr<Transfer>> gone;
    {
        std::lock_guard<std::mutex> lock(lock_);
        const auto now = Clock::now();
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            if ((it->second->state >= TransferState::Completed && now - it->second->ended > kEndedShown) ||
                Expired(*it->second)) {
                gone.push_back(it->second);
                it = transfers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : gone) {
        if (t->thread.joinable()) t->thread.join();
    }
}

bool FileTransfers::Expired(const Transfer& t) const {
    return !t.outgoing && t.state == TransferState::Proposed && Clock::now() > t.answerBy;
}

void FileTransfers::CloseListener(Transfer& t) {
    std::lock_guard<std::mutex> lock(lock_);
    if (t.listener != platform::kNoSocket) platform::CloseSocket(t.listener);
    t.listener = platform::kNoSocket;
}

Rendezvous FileTransfers::Head(const Transfer& t, std::uint16_t kind) const {
    Rendezvous r;
    r.kind = kind;
    r.cookie = t.cookie;
    return r;
}

void FileTransfers::SendRendezvous(const Transfer& t, const Rendezvous& r) {
    const PacketBuffer block = BuildRendezvous(r);
    if (block.Failed()) return;
    session_.EnqueueCommand(FileRendezvousCommand{t.uin, std::vector<std::uint8_t>(block.Data(), block.Data() + block.Length())});
}

void FileTransfers::Finish(Transfer& t, TransferState state) {
    std::string partial;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (t.state >= TransferState::Completed) return;
        t.state = state;
        t.ended = Clock::now();
        t.stream.reset();
        changed_.notify_all();
    }
    const std::u16string name = t.name;
    const std::u16string size = FileSizeText(t.size);
    std::u16string line;
    switch (state) {
    case TransferState::Completed:
        line = t.outgoing ? FormatString(str::kFileSent, {name, size})
                          : FormatString(str::kFileReceived, {name, size, Widen(t.path)});
        break;
    case TransferState::Refused:
        line = FormatString(str::kFileRefused, {name, size});
        break;
    case TransferState::Cancelled:
        line = FormatString(str::kFileCancelled, {name, size});
        break;
    default:
        if (!t.outgoing && platform::EntryExists(t.path + ".part")) {
            line = FormatString(str::kFileFailedPartial, {name, size, Widen(t.path + ".part")});
        } else {
            line = FormatString(str::kFileFailed, {name, size});
        }
        break;
    }
    systemLine_(t.uin, line);
}

void FileTransfers::Run(const std::shared_ptr<Transfer>& t) {
    if (t->outgoing) {
        RunSender(*t);
    } else {
        RunReceiver(*t);
    }
    bool cancelled = false, peerCancelled = false, accepted = false, completed = false;
    {
        std::unique_lock<std::mutex> lock(lock_);
        // A peer that cancels closes its end first: its cancel comes through the
        // server a moment after the connection broke.
        if (t->state < TransferState::Completed) {
            changed_.wait_for(lock, std::chrono::milliseconds(kCancelGraceMs),
                              [&] { return t->cancelled || t->peerCancelled || shutDown_; });
        }
        cancelled = t->cancelled;
        peerCancelled = t->peerCancelled;
        accepted = t->accepted;
        completed = t->state == TransferState::Completed;
    }
    CloseListener(*t);
    if (!t->outgoing && (cancelled || peerCancelled)) (void)platform::RemoveFile(t->path + ".part");
    if (peerCancelled && t->outgoing && !accepted) {
        Finish(*t, TransferState::Refused);
    } else if (cancelled || peerCancelled) {
        Finish(*t, TransferState::Cancelled);
    } else if (!completed) {
        SendRendezvous(*t, Head(*t, kRendezvousCancel));  // the peer need not wait for it
        Finish(*t, TransferState::Failed);
    }
}

// ---- The connection -------------------------------------------------------------

// What a transfer thread looks at between waits.
struct FileTransfers::Watch {
    std::function<bool()> stopped;
    // The next rendezvous that came for the transfer; false when none.
    std::function<bool(Rendezvous&)> next;
    // Keeps the stream where Cancel can shut it down.
    std::function<void(const std::shared_ptr<platform::Stream>&)> publish;
};

FileTransfers::Watch FileTransfers::WatchOf(Transfer& t) {
    return Watch{[this, &t] {
                     std::lock_guard<std::mutex> lock(lock_);
                     return t.cancelled || t.peerCancelled || shutDown_;
                 },
                 [this, &t](Rendezvous& r) {
                     std::lock_guard<std::mutex> lock(lock_);
                     if (t.events.empty()) return false;
                     r = t.events.front();
                     t.events.pop_front();
                     return true;
                 },
                 [this, &t](const std::shared_ptr<platform::Stream>& s) {
                     std::lock_guard<std::mutex> lock(lock_);
                     t.stream = s;
                     if (t.cancelled || t.peerCancelled) s->Shutdown();
                 }};
}

namespace {

std::shared_ptr<platform::Stream> Connect(std::uint32_t address, std::uint16_t port, int timeoutMs,
                                          const platform::ConnectCanceller& canceller) {
    if (address == 0 || port == 0) return nullptr;
    const platform::SocketHandle socket = platform::ConnectFirst(
        {V4(address)}, port, Clock::now() + std::chrono::milliseconds(timeoutMs), &canceller);
    if (socket == platform::kNoSocket) return nullptr;
    return std::make_shared<platform::SocketStream>(socket);
}

std::shared_ptr<platform::Stream> ConnectHost(const std::string& host, std::uint16_t port, int timeoutMs,
                                              const platform::ConnectCanceller& canceller, std::uint32_t& reached) {
    std::vector<platform::IpAddress> addresses;
    if (host.empty() || !platform::ResolveAll(host, addresses)) return nullptr;
    platform::Endpoint connected;
    const platform::SocketHandle socket = platform::ConnectFirst(
        addresses, port, Clock::now() + std::chrono::milliseconds(timeoutMs), &canceller, &connected);
    if (socket == platform::kNoSocket) return nullptr;
    reached = HostOrder(connected.address);
    return std::make_shared<platform::SocketStream>(socket);
}

// One connection on the listener from `allowed` (any address when 0), within
// the deadline; `onEvent` sees each rendezvous meanwhile and may end the wait
// (returning true).
template <class Watch>
std::shared_ptr<platform::Stream> AcceptFrom(platform::SocketHandle listener, std::uint32_t allowed,
                                             Clock::time_point deadline, const Watch& watch,
                                             const std::function<bool(const Rendezvous&)>& onEvent) {
    while (Clock::now() < deadline && !watch.stopped()) {
        for (Rendezvous r; watch.next(r);) {
            if (onEvent(r)) return nullptr;
        }
        if (listener == platform::kNoSocket) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs / 4));
            continue;
        }
        if ((platform::PollSocket(listener, POLLIN, kSliceMs) & POLLIN) == 0) continue;
        const platform::SocketHandle socket = platform::AcceptClient(listener);
        if (socket == platform::kNoSocket) continue;
        platform::Endpoint from;
        if (!platform::PeerEndpoint(socket, from) || (allowed != 0 && HostOrder(from.address) != allowed)) {
            platform::CloseSocket(socket);  // not the peer that was announced
            continue;
        }
        return std::make_shared<platform::SocketStream>(socket);
    }
    return nullptr;
}

}  // namespace

void FileTransfers::RunSender(Transfer& t) {
    const FileTransferConfig& config = t.config;
    const Watch watch = WatchOf(t);
    // The checksum goes into the prompt: the file is read once before proposing.
    OftChecksum checksum;
    std::uint64_t size = 0;
    {
        std::FILE* file = std::fopen(t.path.c_str(), "rb");
        if (file == nullptr) return;
        std::vector<std::uint8_t> buffer(kChunk);
        for (std::size_t got; !watch.stopped() && (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
            checksum.Update({buffer.data(), got});
            size += got;
        }
        std::fclose(file);
    }
    if (size != t.size) return;
    const std::string ownUin = OwnUinText(model_);
    std::uint32_t proxyReached = 0;

    // Goes to the proxy and proposes the place there (sequence `sequence`).
    auto viaProxy = [&](std::uint16_t sequence) -> std::shared_ptr<platform::Stream> {
        auto stream = ConnectHost(config.proxyHost, config.proxyPort, config.connectTimeoutMs, t.canceller,
                                  proxyReached);
        if (!stream) return nullptr;
        watch.publish(stream);
        ProxyPacket init;
        init.command = kProxyInitSend;
        init.uin = ownUin;
        init.cookie = t.cookie;
        ProxyPacket ack;
        if (!SendProxy(*stream, init) || !ReceiveProxyPacket(*stream, ack, config.stallMs) ||
            ack.command != kProxyAcknowledge) {
            return nullptr;
        }
        Rendezvous r = Head(t, kRendezvousPropose);
        r.sequence = sequence;
        r.viaProxy = true;
        r.proxyAddress = ack.address != 0 ? ack.address : proxyReached;
        r.port = ack.port;
        if (sequence == 1) {
            r.hasFile = true;
            r.fileCount = 1;
            r.totalSize = static_cast<std::uint32_t>(t.size);
            r.name = EncodeUtf8(t.name);
        }
        SendRendezvous(t, r);
        return stream;
    };
    // Waits on the proxy connection for "ready".
    auto ready = [&](const std::shared_ptr<platform::Stream>& stream, int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < deadline && !watch.stopped()) {
            if (!stream->WaitReadable(kSliceMs)) continue;
            ProxyPacket packet;
            return ReceiveProxyPacket(*stream, packet, config.stallMs) && packet.command == kProxyReady;
        }
        return false;
    };

    std::shared_ptr<platform::Stream> stream;
    bool proxied = false;
    if (config.direct) {
        const platform::SocketHandle listener = platform::ListenTcp(platform::Ipv4Endpoint{0, 0}, 4);
        if (listener == platform::kNoSocket) return;
        {
            std::lock_guard<std::mutex> lock(lock_);
            t.listener = listener;
        }
        Rendezvous r = Head(t, kRendezvousPropose);
        r.sequence = 1;
        r.port = platform::BoundPort(listener);
        r.hasFile = true;
        r.fileCount = 1;
        r.totalSize = static_cast<std::uint32_t>(t.size);
        r.name = EncodeUtf8(t.name);
        SendRendezvous(t, r);
    } else {
        stream = viaProxy(1);
        if (!stream) return;
        proxied = true;
    }

    // The answer: nothing is sent before the receiver's accept.
    const auto answerBy = Clock::now() + std::chrono::milliseconds(config.answerTimeoutMs);
    std::optional<Rendezvous> reverse;  // the receiver's own proposal (sequence 2)
    for (;;) {
        if (watch.stopped()) return;
        std::unique_lock<std::mutex> lock(lock_);
        if (t.accepted) break;
        if (Clock::now() >= answerBy) {
            lock.unlock();
            SendRendezvous(t, Head(t, kRendezvousCancel));
            return;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(kSliceMs));
    }
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (t.state == TransferState::Proposed) t.state = TransferState::Connecting;
    }

    if (proxied) {
        if (!ready(stream, config.listenWindowMs)) return;
    } else {
        std::uint32_t peer = 0;
        {
            std::lock_guard<std::mutex> lock(lock_);
            peer = t.peerSeen;
        }
        platform::SocketHandle listener = platform::kNoSocket;
        {
            std::lock_guard<std::mutex> lock(lock_);
            listener = t.listener;
        }
        stream = AcceptFrom(listener, peer, Clock::now() + std::chrono::milliseconds(config.listenWindowMs), watch,
                            [&](const Rendezvous& r) {
                                if (r.kind != kRendezvousPropose || r.sequence != 2) return false;
                                reverse = r;
                                return true;
                            });
        if (!stream && reverse) {
            // The receiver could not reach this side: this side tries the receiver.
            stream = Connect(reverse->seenAddress != 0 ? reverse->seenAddress : reverse->ownAddress, reverse->port,
                             config.connectTimeoutMs, t.canceller);
        }
        if (!stream && !watch.stopped()) {
            stream = viaProxy(3);
            if (!stream || !ready(stream, config.listenWindowMs)) return;
        }
        if (!stream) return;
    }
    watch.publish(stream);
    CloseListener(t);

    // The file protocol: prompt, acknowledge, the bytes, done.
    OftHeader prompt;
    prompt.type = kOftPrompt;
    prompt.cookie = t.cookie;
    prompt.totalSize = prompt.size = static_cast<std::uint32_t>(t.size);
    prompt.checksum = checksum.Value();
    prompt.name = EncodeUtf8(t.name);
    OftHeader answer;
    if (!SendHeader(*stream, prompt) || !ReceiveOftHeader(*stream, answer, config.stallMs) ||
        answer.type != kOftAcknowledge || answer.cookie != t.cookie) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(lock_);
        t.state = TransferState::Running;
        t.began = Clock::now();
    }
    std::FILE* file = std::fopen(t.path.c_str(), "rb");
    if (file == nullptr) return;
    std::vector<std::uint8_t> buffer(kChunk);
    std::uint64_t sent = 0;
    bool ok = true;
    while (ok && sent < t.size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), t.size - sent));
        const std::size_t got = std::fread(buffer.data(), 1, want, file);
        ok = got == want && stream->SendAll(buffer.data(), got);
        sent += got;
        t.done.store(sent);
    }
    std::fclose(file);
    OftHeader done;
    if (ok && ReceiveOftHeader(*stream, done, config.stallMs) && done.type == kOftDone && done.cookie == t.cookie &&
        done.bytesReceived == t.size && done.receivedChecksum == prompt.checksum) {
        Finish(t, TransferState::Completed);
    }
}

void FileTransfers::RunReceiver(Transfer& t) {
    const FileTransferConfig& config = t.config;
    const Rendezvous& proposal = t.proposal;
    const Watch watch = WatchOf(t);
    const std::string ownUin = OwnUinText(model_);

    // Joins the sender's place at the proxy; null when that fails.
    auto join = [&](std::uint16_t port) -> std::shared_ptr<platform::Stream> {
        std::uint32_t reached = 0;
        auto stream = ConnectHost(config.proxyHost, config.proxyPort, config.connectTimeoutMs, t.canceller, reached);
        if (!stream) return nullptr;
        watch.publish(stream);
        ProxyPacket init;
        init.command = kProxyInitReceive;
        init.uin = ownUin;
        init.port = port;
        init.cookie = t.cookie;
        ProxyPacket reply;
        if (!SendProxy(*stream, init) || !ReceiveProxyPacket(*stream, reply, config.stallMs) ||
            reply.command != kProxyReady) {
            return nullptr;
        }
        return stream;
    };

    SendRendezvous(t, Head(t, kRendezvousAccept));
    std::shared_ptr<platform::Stream> stream;
    if (proposal.viaProxy) {
        stream = join(proposal.port);
    } else {
        const std::uint32_t sender = proposal.seenAddress != 0 ? proposal.seenAddress : proposal.ownAddress;
        if (config.direct) stream = Connect(sender, proposal.port, config.connectTimeoutMs, t.canceller);
        if (!stream && !watch.stopped()) {
            // Could not reach the sender: listen and propose this side's port.
            platform::SocketHandle listener = platform::kNoSocket;
            if (config.direct) {
                listener = platform::ListenTcp(platform::Ipv4Endpoint{0, 0}, 4);
                std::lock_guard<std::mutex> lock(lock_);
                t.listener = listener;
            }
            Rendezvous r = Head(t, kRendezvousPropose);
            r.sequence = 2;
            r.port = listener != platform::kNoSocket ? platform::BoundPort(listener) : 0;
            r.viaProxy = listener == platform::kNoSocket;
            SendRendezvous(t, r);
            std::optional<Rendezvous> proxied;
            stream = AcceptFrom(listener, proposal.seenAddress,
                                Clock::now() + std::chrono::milliseconds(config.listenWindowMs), watch,
                                [&](const Rendezvous& e) {
                                    if (e.kind != kRendezvousPropose || !e.viaProxy) return false;
                                    proxied = e;
                                    return true;
                                });
            if (!stream && proxied) stream = join(proxied->port);
        }
    }
    if (!stream) return;
    watch.publish(stream);
    CloseListener(t);

    OftHeader prompt;
    if (!ReceiveOftHeader(*stream, prompt, config.stallMs) || prompt.type != kOftPrompt ||
        prompt.cookie != t.cookie || prompt.size != t.size) {
        return;
    }
    // The file goes to "<name>.part" first, under a name free of both forms, in
    // the download folder (made when there is none yet).
    if (!platform::EntryExists(config.downloads)) (void)platform::MakeDirectories(config.downloads, 0700);
    std::FILE* file = nullptr;
    std::string path;
    for (int tries = 0; tries < 100 && file == nullptr; ++tries) {
        path = FreeFileName(config.downloads, t.name);
        file = std::fopen((path + ".part").c_str(), "wbx");
        if (file == nullptr && errno != EEXIST) break;
    }
    if (file == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(lock_);
        t.path = path;
    }
    const std::string part = path + ".part";
    OftHeader ack = prompt;
    ack.type = kOftAcknowledge;
    if (!SendHeader(*stream, ack)) {
        std::fclose(file);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(lock_);
        t.state = TransferState::Running;
        t.began = Clock::now();
    }
    OftChecksum checksum;
    std::vector<std::uint8_t> buffer(kChunk);
    std::uint64_t received = 0;
    bool ok = true;
    while (ok && received < t.size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), t.size - received));
        if (!stream->WaitReadable(config.stallMs)) {
            ok = false;
            break;
        }
        const long got = stream->ReceiveSome(buffer.data(), want);
        ok = got > 0 && std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), file) == static_cast<std::size_t>(got);
        if (!ok) break;
        checksum.Update({buffer.data(), static_cast<std::size_t>(got)});
        received += static_cast<std::uint64_t>(got);
        t.done.store(received);
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok || received != t.size || checksum.Value() != prompt.checksum) return;

    OftHeader done = prompt;
    done.type = kOftDone;
    done.bytesReceived = static_cast<std::uint32_t>(received);
    done.receivedChecksum = checksum.Value();
    (void)SendHeader(*stream, done);
    // The final name, never over a file that appeared meanwhile.
    for (;;) {
        if (::link(part.c_str(), t.path.c_str()) == 0) {
            (void)platform::RemoveFile(part);
            break;
        }
        if (errno != EEXIST) return;
        const std::string other = FreeFileName(config.downloads, t.name);
        std::lock_guard<std::mutex> lock(lock_);
        t.path = other;
    }
    Finish(t, TransferState::Completed);
}

}  // namespace pellox
