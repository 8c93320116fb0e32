#include "net/service_connection.h"

#include <chrono>
#include <cstring>

#include "net/flap_parser.h"
#include "net/session_impl.h"
#include "platform/thread.h"

namespace pellox {
namespace {

// The tool id and version sent with each family in client ready, as the messaging
// connection sends them.
constexpr std::uint16_t kToolId = 0x0110;
constexpr std::uint16_t kToolVersion = 0x047B;

}  // namespace

ServiceConnection::ServiceConnection(SessionImpl& session, std::uint16_t family,
                                     std::uint16_t version, Handlers handlers)
    : session_(session),
      family_(family),
      version_(version),
      handlers_(std::move(handlers)),
      link_(std::make_shared<Link>()),
      idleTimeoutMs_(kSignOnTimeoutMs) {}

ServiceConnection::~ServiceConnection() {
    Close();
    if (thread_.joinable()) platform::JoinOrDetach(thread_);
}

void ServiceConnection::Start(std::string address, std::vector<std::uint8_t> cookie) {
    if (thread_.joinable()) return;
    thread_ = platform::StartThread(
        platform::ThreadPriority::BelowNormal,
        [this, address = std::move(address), cookie = std::move(cookie)] { Run(address, cookie); });
}

void ServiceConnection::Close() {
    link_->Shutdown();
}

void ServiceConnection::Run(const std::string& address, const std::vector<std::uint8_t>& cookie) {
    if (!cookie.empty() && session_.OpenServiceStream(*link_, address)) Converse(cookie);
    link_->Shutdown();
    if (handlers_.closed) handlers_.closed(*this);
}

void ServiceConnection::Converse(const std::vector<std::uint8_t>& cookie) {
    platform::Stream* stream = link_->Stream();
    if (stream == nullptr) return;
    FlapParser parser;
    FlapFrame frame;
    bool signedOn = false;
    for (;;) {
        while (!parser.Next(frame)) {
            if (parser.Broken()) return;
            // A service that stops answering is given up.
            if (!stream->WaitReadable(idleTimeoutMs_.load())) return;
            std::uint8_t chunk[kReceiveChunk];
            const long got = stream->ReceiveSome(chunk, sizeof chunk);
            if (got <= 0) return;
            parser.Feed({chunk, static_cast<std::size_t>(got)});
        }
        const std::uint8_t channel = frame.header.channel;
        if (channel == kChannelSignOff) return;
        if (channel == kChannelSignOn) {
            // The server's hello: the version and the cookie go back.
            PacketBuffer tlvs;
            AppendTlv(tlvs, 0x0006, cookie.size(), cookie.data());
            const std::uint8_t version[4] = {0, 0, 0, 1};
            if (!SendFrame(kChannelSignOn, version, tlvs)) return;
            continue;
        }
        if (channel != kChannelSnac) continue;
        PacketReader reader(frame.data);
        SnacHeader snac;
        if (!ReadRecord(reader, snac)) return;
        if ((snac.flags & kSnacFlagExtraData) != 0) {
            std::uint16_t extra = 0;
            if (!ReadU16(reader, extra) || !reader.Skip(extra)) return;
        }
        if (snac.family == 0x0001 && snac.subtype == 0x0003) {
            PacketBuffer versions;
            AppendU16(versions, 0x0001);
            AppendU16(versions, 4);
            AppendU16(versions, family_);
            AppendU16(versions, version_);
            if (!SendSnacOf(0x0001, 0x0017, 0x00000017, versions)) return;
        } else if (snac.family == 0x0001 && snac.subtype == 0x0018 && !signedOn) {
            PacketBuffer ready;
            for (const std::uint16_t family : {std::uint16_t{0x0001}, family_}) {
                AppendRecord(
                    ready, ClientReadyEntry{family, family == 0x0001 ? std::uint16_t{4} : version_,
                                            kToolId, kToolVersion});
            }
            if (!SendSnacOf(0x0001, 0x0002, 0x00000002, ready)) return;
            signedOn = true;
            if (handlers_.ready) handlers_.ready(*this);
        } else if (snac.family == family_ && signedOn && handlers_.snac) {
            handlers_.snac(*this, snac, reader);
        }
        if (link_->IsShutDown()) return;
    }
}

bool ServiceConnection::Send(std::uint16_t subtype, std::uint32_t requestId,
                             const PacketBuffer& data) {
    return SendSnacOf(family_, subtype, requestId, data);
}

bool ServiceConnection::SendSnacOf(std::uint16_t family, std::uint16_t subtype,
                                   std::uint32_t requestId, const PacketBuffer& data) {
    SnacHeader snac{family, subtype, 0, requestId};
    ConvertByteOrder(snac);
    std::uint8_t head[kSnacHeaderSize];
    std::memcpy(head, &snac, sizeof head);
    return SendFrame(kChannelSnac, head, data);
}

bool ServiceConnection::SendFrame(std::uint8_t channel, std::span<const std::uint8_t> head,
                                  const PacketBuffer& payload) {
    platform::Stream* stream = link_->Stream();
    if (stream == nullptr || payload.Failed()) return false;
    std::lock_guard<std::mutex> guard(sendLock_);
    std::vector<std::uint8_t> frame;
    if (!BuildFrame(frame, channel, ++sequence_, head, payload.Bytes())) return false;
    return stream->SendAll(frame.data(), frame.size());
}

}  // namespace pellox
