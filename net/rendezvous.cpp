#include "net/rendezvous.h"

#include <algorithm>
#include <cstring>

#include "platform/stream.h"

namespace pellox {
namespace {

constexpr std::uint16_t kTlvProxyAddress = 0x0002;
constexpr std::uint16_t kTlvOwnAddress = 0x0003;
constexpr std::uint16_t kTlvSeenAddress = 0x0004;
constexpr std::uint16_t kTlvPort = 0x0005;
constexpr std::uint16_t kTlvSequence = 0x000A;
constexpr std::uint16_t kTlvViaProxy = 0x0010;
constexpr std::uint16_t kTlvProxyCheck = 0x0016;
constexpr std::uint16_t kTlvPortCheck = 0x0017;
constexpr std::uint16_t kTlvFile = 0x2711;
constexpr std::uint16_t kTlvNameCharset = 0x2712;
constexpr char kNameCharset[] = "utf-8";
constexpr char kOftMagic[] = "OFT2";
constexpr char kOftIdentification[] = "Cool FileXfer";
constexpr std::size_t kOftNameOffset = 192;

bool ValueU32(const std::vector<Tlv>& tlvs, std::uint16_t type, std::uint32_t& value) {
    const Tlv* tlv = FindTlv(tlvs, type);
    if (tlv == nullptr || tlv->value.size() != 4) return false;
    PacketReader reader(tlv->value);
    return ReadU32(reader, value);
}

bool ValueU16(const std::vector<Tlv>& tlvs, std::uint16_t type, std::uint16_t& value) {
    const Tlv* tlv = FindTlv(tlvs, type);
    if (tlv == nullptr || tlv->value.size() != 2) return false;
    PacketReader reader(tlv->value);
    return ReadU16(reader, value);
}

void AppendU16Tlv(PacketBuffer& p, std::uint16_t type, std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    AppendTlv(p, type, sizeof bytes, bytes);
}

void AppendU32Tlv(PacketBuffer& p, std::uint16_t type, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    AppendTlv(p, type, sizeof bytes, bytes);
}

// Kind, cookie and capability, then the TLVs up to the end.
bool ReadBlock(std::span<const std::uint8_t> block, Rendezvous& out, std::vector<Tlv>& tlvs) {
    PacketReader reader(block);
    return ReadU16(reader, out.kind) && ReadBytes(reader, out.cookie.data(), out.cookie.size()) &&
           ReadBytes(reader, out.capability.data(), out.capability.size()) && ReadTlvList(reader, tlvs);
}

void PutU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void PutU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    PutU16(b, at, static_cast<std::uint16_t>(v >> 16));
    PutU16(b, at + 2, static_cast<std::uint16_t>(v));
}
std::uint16_t GetU16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}
std::uint32_t GetU32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(GetU16(b, at)) << 16 | GetU16(b, at + 2);
}

}  // namespace

bool ParseRendezvous(std::span<const std::uint8_t> block, Rendezvous& out) {
    Rendezvous r;
    std::vector<Tlv> tlvs;
    if (!ReadBlock(block, r, tlvs)) return false;
    (void)ValueU16(tlvs, kTlvSequence, r.sequence);
    std::uint32_t check = 0;
    if (ValueU32(tlvs, kTlvProxyAddress, r.proxyAddress) && ValueU32(tlvs, kTlvProxyCheck, check) &&
        check != ~r.proxyAddress) {
        r.proxyAddress = 0;
    }
    (void)ValueU32(tlvs, kTlvOwnAddress, r.ownAddress);
    (void)ValueU32(tlvs, kTlvSeenAddress, r.seenAddress);
    std::uint16_t portCheck = 0;
    if (ValueU16(tlvs, kTlvPort, r.port) && ValueU16(tlvs, kTlvPortCheck, portCheck) &&
        portCheck != static_cast<std::uint16_t>(~r.port)) {
        r.port = 0;
    }
    r.viaProxy = FindTlv(tlvs, kTlvViaProxy) != nullptr;
    if (const Tlv* file = FindTlv(tlvs, kTlvFile)) {
        PacketReader reader(file->value);
        std::uint16_t multiple = 0;
        if (!ReadU16(reader, multiple) || !ReadU16(reader, r.fileCount) || !ReadU32(reader, r.totalSize)) {
            return false;
        }
        const auto* begin = file->value.data() + reader.Position();
        const auto* end = file->value.data() + file->value.size();
        const auto* zero = std::find(begin, end, std::uint8_t{0});
        if (zero == end || static_cast<std::size_t>(zero - begin) > kMaxWireNameLength) return false;
        r.name.assign(begin, zero);
        r.hasFile = true;
    }
    out = std::move(r);
    return true;
}

PacketBuffer BuildRendezvous(const Rendezvous& r) {
    PacketBuffer p;
    AppendU16(p, r.kind);
    AppendBytes(p, r.cookie.data(), r.cookie.size());
    AppendBytes(p, r.capability.data(), r.capability.size());
    if (r.sequence != 0) AppendU16Tlv(p, kTlvSequence, r.sequence);
    if (r.proxyAddress != 0) {
        AppendU32Tlv(p, kTlvProxyAddress, r.proxyAddress);
        AppendU32Tlv(p, kTlvProxyCheck, ~r.proxyAddress);
    }
    if (r.ownAddress != 0) AppendU32Tlv(p, kTlvOwnAddress, r.ownAddress);
    if (r.seenAddress != 0) AppendU32Tlv(p, kTlvSeenAddress, r.seenAddress);
    if (r.port != 0) {
        AppendU16Tlv(p, kTlvPort, r.port);
        AppendU16Tlv(p, kTlvPortCheck, static_cast<std::uint16_t>(~r.port));
    }
    if (r.viaProxy) AppendTlv(p, kTlvViaProxy, 0, nullptr);
    if (r.hasFile) {
        if (r.name.size() > kMaxWireNameLength) {
            AppendBytes(p, nullptr, kMaxPayload + 1);  // fails the buffer
            return p;
        }
        PacketBuffer file;
        AppendU16(file, r.fileCount > 1 ? 2 : 1);
        AppendU16(file, r.fileCount);
        AppendU32(file, r.totalSize);
        AppendBytes(file, r.name.data(), r.name.size());
        AppendU8(file, 0);
        AppendTlv(p, kTlvFile, file.Length(), file.Data());
        AppendTlv(p, kTlvNameCharset, sizeof kNameCharset - 1, kNameCharset);
    }
    return p;
}

bool IsFileRendezvous(std::span<const std::uint8_t> block) {
    PacketReader reader(block);
    std::uint16_t kind = 0;
    Capability capability{};
    return ReadU16(reader, kind) && reader.Skip(8) && ReadBytes(reader, capability.data(), capability.size()) &&
           capability == kFileTransferCapability;
}

bool WithSeenAddress(std::span<const std::uint8_t> block, std::uint32_t address, PacketBuffer& out) {
    Rendezvous head;
    std::vector<Tlv> tlvs;
    if (!ReadBlock(block, head, tlvs)) return false;
    PacketBuffer p;
    AppendU16(p, head.kind);
    AppendBytes(p, head.cookie.data(), head.cookie.size());
    AppendBytes(p, head.capability.data(), head.capability.size());
    for (const Tlv& tlv : tlvs) {
        if (tlv.type != kTlvSeenAddress) AppendTlv(p, tlv.type, tlv.value.size(), tlv.value.data());
    }
    if (address != 0) AppendU32Tlv(p, kTlvSeenAddress, address);
    if (p.Failed()) return false;
    out = std::move(p);
    return true;
}

std::vector<std::uint8_t> BuildOftHeader(const OftHeader& h) {
    const std::size_t nameRoom = std::max<std::size_t>(h.name.size() + 1, kOftHeaderLength - kOftNameOffset);
    std::vector<std::uint8_t> b(kOftNameOffset + nameRoom, 0);
    std::memcpy(b.data(), kOftMagic, 4);
    PutU16(b, 4, static_cast<std::uint16_t>(b.size()));
    PutU16(b, 6, h.type);
    std::copy(h.cookie.begin(), h.cookie.end(), b.begin() + 8);
    PutU16(b, 20, h.totalFiles);
    PutU16(b, 22, h.filesLeft);
    PutU16(b, 24, 1);
    PutU16(b, 26, 1);
    PutU32(b, 28, h.totalSize);
    PutU32(b, 32, h.size);
    PutU32(b, 36, h.modified);
    PutU32(b, 40, h.checksum);
    PutU32(b, 44, OftChecksum::kStart);
    PutU32(b, 56, OftChecksum::kStart);
    PutU32(b, 60, h.bytesReceived);
    PutU32(b, 64, h.receivedChecksum);
    std::memcpy(b.data() + 68, kOftIdentification, sizeof kOftIdentification - 1);
    b[100] = 0x20;  // flags: not encrypted, one file
    b[101] = 0x1C;
    b[102] = 0x11;
    std::memcpy(b.data() + kOftNameOffset, h.name.data(), h.name.size());
    return b;
}

bool ReceiveOftHeader(platform::Stream& stream, OftHeader& out, int timeoutMs) {
    std::vector<std::uint8_t> b(6);
    if (!ReceiveExactly(stream, b.data(), b.size(), timeoutMs)) return false;
    if (std::memcmp(b.data(), kOftMagic, 4) != 0) return false;
    const std::size_t length = GetU16(b, 4);
    if (length < kOftHeaderLength || length > kMaxOftHeaderLength) return false;
    b.resize(length);
    if (!ReceiveExactly(stream, b.data() + 6, length - 6, timeoutMs)) return false;
    OftHeader h;
    h.type = GetU16(b, 6);
    std::copy(b.begin() + 8, b.begin() + 16, h.cookie.begin());
    h.totalFiles = GetU16(b, 20);
    h.filesLeft = GetU16(b, 22);
    h.totalSize = GetU32(b, 28);
    h.size = GetU32(b, 32);
    h.modified = GetU32(b, 36);
    h.checksum = GetU32(b, 40);
    h.bytesReceived = GetU32(b, 60);
    h.receivedChecksum = GetU32(b, 64);
    const auto name = b.begin() + kOftNameOffset;
    h.name.assign(name, std::find(name, b.end(), std::uint8_t{0}));
    out = std::move(h);
    return true;
}

void OftChecksum::Update(std::span<const std::uint8_t> bytes) {
    // Each big-endian 16-bit word is taken off the sum with an end-around borrow: that
    // is subtraction modulo 2^32 - 1, and the sum always lies in [0, 2^32 - 2], the
    // one value of its class. So the words are added up first, a byte lane at a time
    // (the compiler's vector loop), and taken off at once.
    constexpr std::uint64_t kModulus = 0xFFFFFFFFu;
    std::uint64_t high = 0;  // bytes that are the first of their word
    std::uint64_t low = 0;   // and those that are the second
    std::size_t at = 0;
    if (odd_ && !bytes.empty()) low += bytes[at++];
    const std::size_t pairs = (bytes.size() - at) / 2;
    for (std::size_t i = 0; i < pairs; ++i) {
        high += bytes[at + 2 * i];
        low += bytes[at + 2 * i + 1];
    }
    at += 2 * pairs;
    if (at < bytes.size()) high += bytes[at];
    if (bytes.size() % 2 != 0) odd_ = !odd_;
    const std::uint64_t taken = ((high << 8) + low) % kModulus;
    sum_ = static_cast<std::uint32_t>(sum_ >= taken ? sum_ - taken : sum_ + kModulus - taken);
}

std::uint32_t OftChecksum::Value() const {
    std::uint32_t sum = sum_;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum << 16;
}

std::vector<std::uint8_t> BuildProxyPacket(const ProxyPacket& packet) {
    PacketBuffer body;
    AppendU16(body, kProxyVersion);
    AppendU16(body, packet.command);
    AppendU32(body, 0);
    AppendU16(body, 0);
    switch (packet.command) {
    case kProxyError:
        AppendU16(body, packet.error);
        break;
    case kProxyInitSend:
    case kProxyInitReceive:
        AppendString8(body, packet.uin);
        if (packet.command == kProxyInitReceive) AppendU16(body, packet.port);
        AppendBytes(body, packet.cookie.data(), packet.cookie.size());
        AppendTlv(body, 0x0001, kFileTransferCapability.size(), kFileTransferCapability.data());
        break;
    case kProxyAcknowledge:
        AppendU16(body, packet.port);
        AppendU32(body, packet.address);
        break;
    default:
        break;
    }
    std::vector<std::uint8_t> out;
    out.reserve(2 + static_cast<std::size_t>(body.Length()));
    out.push_back(static_cast<std::uint8_t>(body.Length() >> 8));
    out.push_back(static_cast<std::uint8_t>(body.Length()));
    out.insert(out.end(), body.Data(), body.Data() + body.Length());
    return out;
}

bool ReceiveProxyPacket(platform::Stream& stream, ProxyPacket& out, int timeoutMs) {
    std::uint8_t head[2];
    if (!ReceiveExactly(stream, head, sizeof head, timeoutMs)) return false;
    const std::size_t length = static_cast<std::size_t>(head[0] << 8 | head[1]);
    if (length < 10 || length > kMaxProxyPacket) return false;
    std::vector<std::uint8_t> body(length);
    if (!ReceiveExactly(stream, body.data(), body.size(), timeoutMs)) return false;
    PacketReader reader(body);
    std::uint16_t version = 0, flags = 0;
    std::uint32_t reserved = 0;
    ProxyPacket p;
    if (!ReadU16(reader, version) || version != kProxyVersion || !ReadU16(reader, p.command) ||
        !ReadU32(reader, reserved) || !ReadU16(reader, flags)) {
        return false;
    }
    bool ok = true;
    switch (p.command) {
    case kProxyError:
        ok = ReadU16(reader, p.error);
        break;
    case kProxyInitSend:
    case kProxyInitReceive:
        ok = ReadString8(reader, p.uin) && (p.command == kProxyInitSend || ReadU16(reader, p.port)) &&
             ReadBytes(reader, p.cookie.data(), p.cookie.size());
        break;
    case kProxyAcknowledge:
        ok = ReadU16(reader, p.port) && ReadU32(reader, p.address);
        break;
    case kProxyReady:
        break;
    default:
        ok = false;
    }
    if (!ok) return false;
    out = std::move(p);
    return true;
}

bool ReceiveExactly(platform::Stream& stream, void* data, std::size_t n, int timeoutMs) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        if (!stream.WaitReadable(timeoutMs)) return false;
        const long got = stream.ReceiveSome(bytes, n);
        if (got <= 0) return false;
        bytes += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace pellox
