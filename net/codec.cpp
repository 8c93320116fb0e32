#include "net/codec.h"

#include <bit>
#include <cstring>
#include <limits>

namespace pellox {
namespace {

constexpr std::uint16_t Swap16(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap16(v);
    return v;
}

constexpr std::uint32_t Swap32(std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(v);
    return v;
}

// Little-endian values on the wire: the mirror image of Swap*.
constexpr std::uint16_t Le16(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap16(v);
    return v;
}

constexpr std::uint32_t Le32(std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(v);
    return v;
}

}  // namespace

void ConvertByteOrder(FlapHeader& header) {
    header.sequence = Swap16(header.sequence);
    header.length = Swap16(header.length);
}

void ConvertByteOrder(SnacHeader& header) {
    header.family = Swap16(header.family);
    header.subtype = Swap16(header.subtype);
    header.flags = Swap16(header.flags);
    header.requestId = Swap32(header.requestId);
}

void ConvertByteOrder(TlvHeader& header) {
    header.type = Swap16(header.type);
    header.length = Swap16(header.length);
}

void ConvertByteOrder(ClientReadyEntry& entry) {
    entry.family = Swap16(entry.family);
    entry.version = Swap16(entry.version);
    entry.toolId = Swap16(entry.toolId);
    entry.toolVersion = Swap16(entry.toolVersion);
}

void ConvertByteOrder(MessageHeader& header) {
    header.cookieHigh = Swap32(header.cookieHigh);
    header.cookieLow = Swap32(header.cookieLow);
    header.channel = Swap16(header.channel);
}

bool AppendBytes(PacketBuffer& buffer, const void* bytes, std::size_t n) {
    if (buffer.failed_ || n > kMaxPayload - buffer.bytes_.size()) {
        buffer.failed_ = true;
        return false;
    }
    if (n == 0) return true;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    buffer.bytes_.insert(buffer.bytes_.end(), p, p + n);
    return true;
}

bool AppendTlv(PacketBuffer& buffer, std::uint16_t type, std::size_t n, const void* value) {
    if (n > kMaxPayload - 4 || buffer.bytes_.size() + 4 + n > kMaxPayload) {
        // Checked up front so that a TLV is never left half written.
        buffer.failed_ = true;
        return false;
    }
    TlvHeader header{type, static_cast<std::uint16_t>(n)};
    return AppendRecord(buffer, header) && AppendBytes(buffer, value, n);
}

bool AppendString8(PacketBuffer& buffer, std::string_view text) {
    if (text.size() > 0xFF || buffer.failed_ ||
        1 + text.size() > kMaxPayload - buffer.bytes_.size()) {
        buffer.failed_ = true;
        return false;
    }
    return AppendU8(buffer, static_cast<std::uint8_t>(text.size())) &&
           AppendBytes(buffer, text.data(), text.size());
}

bool AppendU8(PacketBuffer& buffer, std::uint8_t value) {
    return AppendBytes(buffer, &value, 1);
}

bool AppendU16(PacketBuffer& buffer, std::uint16_t value) {
    value = Swap16(value);
    return AppendBytes(buffer, &value, 2);
}

bool AppendU32(PacketBuffer& buffer, std::uint32_t value) {
    value = Swap32(value);
    return AppendBytes(buffer, &value, 4);
}

bool AppendU16Le(PacketBuffer& buffer, std::uint16_t value) {
    value = Le16(value);
    return AppendBytes(buffer, &value, 2);
}

bool AppendU32Le(PacketBuffer& buffer, std::uint32_t value) {
    value = Le32(value);
    return AppendBytes(buffer, &value, 4);
}

PacketReader::PacketReader(const std::uint8_t* data, int length)
    : data_(data), length_(data == nullptr || length < 0 ? 0 : length) {}

PacketReader::PacketReader(std::span<const std::uint8_t> block)
    : data_(block.data()),
      length_(block.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())
                  ? 0
                  : static_cast<int>(block.size())) {}

bool PacketReader::Skip(std::size_t n) {
    if (overrun_) return false;
    if (n > static_cast<std::size_t>(length_ - position_)) {
        position_ = length_;
        overrun_ = true;
        return false;
    }
    position_ += static_cast<int>(n);
    return true;
}

bool ReadBytes(PacketReader& reader, void* dest, std::size_t n) {
    if (reader.overrun_) return false;
    if (n > static_cast<std::size_t>(reader.length_ - reader.position_)) return false;
    if (n != 0) std::memcpy(dest, reader.data_ + reader.position_, n);
    reader.position_ += static_cast<int>(n);
    return true;
}

bool ReadU8(PacketReader& reader, std::uint8_t& value) { return ReadBytes(reader, &value, 1); }

bool ReadU16(PacketReader& reader, std::uint16_t& value) {
    std::uint16_t raw;
    if (!ReadBytes(reader, &raw, 2)) return false;
    value = Swap16(raw);
    return true;
}

bool ReadU32(PacketReader& reader, std::uint32_t& value) {
    std::uint32_t raw;
    if (!ReadBytes(reader, &raw, 4)) return false;
    value = Swap32(raw);
    return true;
}

bool ReadU16Le(PacketReader& reader, std::uint16_t& value) {
    std::uint16_t raw;
    if (!ReadBytes(reader, &raw, 2)) return false;
    value = Le16(raw);
    return true;
}

bool ReadU32Le(PacketReader& reader, std::uint32_t& value) {
    std::uint32_t raw;
    if (!ReadBytes(reader, &raw, 4)) return false;
    value = Le32(raw);
    return true;
}

namespace {

// Reads n bytes into out; on failure empties out and puts the cursor back to
// `restore` (the position before the length prefix).
bool ReadCounted(PacketReader& reader, std::size_t n, std::string& out, PacketReader restore) {
    if (static_cast<std::size_t>(reader.Remaining()) < n) {
        out.clear();
        reader = restore;
        return false;
    }
    out.resize(n);
    return ReadBytes(reader, out.data(), n);
}

}  // namespace

bool ReadString8(PacketReader& reader, std::string& out) {
    const PacketReader before = reader;
    std::uint8_t n;
    if (!ReadU8(reader, n)) return false;
    return ReadCounted(reader, n, out, before);
}

bool ReadString16(PacketReader& reader, std::string& out, bool littleEndianLength) {
    const PacketReader before = reader;
    std::uint16_t n;
    if (!(littleEndianLength ? ReadU16Le(reader, n) : ReadU16(reader, n))) return false;
    return ReadCounted(reader, n, out, before);
}

bool ReadTlvString(PacketReader& reader, const TlvHeader& header, std::string& out) {
    return ReadCounted(reader, header.length, out, reader);
}

namespace {

// Appends the TLV at the cursor when it is whole.
bool ReadTlv(PacketReader& reader, std::vector<Tlv>& out) {
    TlvHeader header;
    if (!ReadRecord(reader, header) || header.length > reader.Remaining()) return false;
    Tlv& tlv = out.emplace_back(Tlv{header.type, std::vector<std::uint8_t>(header.length)});
    return ReadBytes(reader, tlv.value.data(), header.length);
}

}  // namespace

bool ReadTlvList(PacketReader& reader, std::vector<Tlv>& out) {
    while (!reader.AtEnd()) {
        if (!ReadTlv(reader, out)) return false;
    }
    return true;
}

const Tlv* FindTlv(const std::vector<Tlv>& tlvs, std::uint16_t type) {
    for (const Tlv& tlv : tlvs) {
        if (tlv.type == type) return &tlv;
    }
    return nullptr;
}

bool ReadUserInfoBlock(PacketReader& reader, UserInfoBlock& block) {
    if (!ReadString8(reader, block.uin) || !ReadU16(reader, block.warningLevel) ||
        !ReadU16(reader, block.tlvCount)) {
        return false;
    }
    for (std::uint16_t i = 0; i < block.tlvCount; ++i) {
        if (!ReadTlv(reader, block.tlvs)) return false;
    }
    return true;
}

std::int32_t ParseDecimal(const char*& cursor) {
    std::uint32_t value = 0;  // unsigned, so that an overlong run wraps instead of overflowing
    while (*cursor >= '0' && *cursor <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(*cursor - '0');
        ++cursor;
    }
    return static_cast<std::int32_t>(value);
}

bool BuildFrame(std::vector<std::uint8_t>& frame, std::uint8_t channel, std::uint16_t sequence,
                std::span<const std::uint8_t> head, std::span<const std::uint8_t> payload) {
    frame.clear();
    if (head.size() > kMaxFlapData || payload.size() > kMaxFlapData - head.size()) return false;
    FlapHeader flap{kFlapMarker, channel, sequence,
                    static_cast<std::uint16_t>(head.size() + payload.size())};
    ConvertByteOrder(flap);
    frame.resize(kFlapHeaderSize + head.size() + payload.size());
    std::memcpy(frame.data(), &flap, kFlapHeaderSize);
    if (!head.empty()) std::memcpy(frame.data() + kFlapHeaderSize, head.data(), head.size());
    if (!payload.empty()) {
        std::memcpy(frame.data() + kFlapHeaderSize + head.size(), payload.data(), payload.size());
    }
    return true;
}

bool BuildSnacFrame(std::vector<std::uint8_t>& frame, std::uint16_t sequence,
                    const SnacHeader& snac, const PacketBuffer& payload) {
    if (payload.Failed()) {
        frame.clear();
        return false;
    }
    SnacHeader wire = snac;
    ConvertByteOrder(wire);
    const auto* head = reinterpret_cast<const std::uint8_t*>(&wire);
    return BuildFrame(frame, kChannelSnac, sequence, {head, sizeof wire}, payload.Bytes());
}

}  // namespace pellox
