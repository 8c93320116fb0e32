// The byte layer of the messaging protocol: FLAP frames, SNAC headers, TLV
// elements, the payload builder and the bounds-checked read cursor.
//
// FLAP frame on the wire (all header integers big-endian):
//   0  1  marker 0x2A
//   1  1  channel: 1 sign-on, 2 SNAC data, 4 sign-off, 5 keep-alive
//   2  2  sequence
//   4  2  length of the data that follows the 6-byte header
//   6  .. data
// Channel 2 data opens with a SNAC header: family, subtype, flags (2 bytes each),
// request id (4 bytes). When a received SNAC has flag 0x8000, its data opens with a
// 2-byte length and that much extra data. A TLV is type (2), length (2), value.
// The inner data of ICQ meta requests (family 0x0015) is little-endian; the codec
// leaves those bytes as the caller lays them out.
//
// The header records lie exactly as on the wire. ConvertByteOrder swaps every
// multi-byte field in place: applied to host-order values it gives network order,
// applied to received bytes it gives host order. The records are packed: use their
// fields by value and never bind a reference or pointer to one (gtest's EXPECT_EQ
// binds references, so compare `+header.field`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pellox {

inline constexpr std::uint8_t kFlapMarker = 0x2A;
inline constexpr std::size_t kFlapHeaderSize = 6;
inline constexpr std::size_t kSnacHeaderSize = 10;
// The FLAP length and the payload length are 16-bit.
inline constexpr std::size_t kMaxFlapData = 0xFFFF;
inline constexpr std::size_t kMaxPayload = 0xFFFF;
inline constexpr std::uint16_t kSnacFlagExtraData = 0x8000;
// Set on each reply of an answer sent as several SNACs, except the last.
inline constexpr std::uint16_t kSnacFlagMoreReplies = 0x0001;

enum FlapChannel : std::uint8_t {
    kChannelSignOn = 1,
    kChannelSnac = 2,
    kChannelError = 3,
    kChannelSignOff = 4,
    kChannelKeepAlive = 5,
};

#pragma pack(push, 1)
struct FlapHeader {
    std::uint8_t marker = kFlapMarker;
    std::uint8_t channel = 0;
    std::uint16_t sequence = 0;
    std::uint16_t length = 0;
};

struct SnacHeader {
    std::uint16_t family = 0;
    std::uint16_t subtype = 0;
    std::uint16_t flags = 0;
    std::uint32_t requestId = 0;
};

// Also serves any pair of 16-bit values, such as the family/version pairs.
struct TlvHeader {
    std::uint16_t type = 0;
    std::uint16_t length = 0;
};

struct ClientReadyEntry {
    std::uint16_t family = 0;
    std::uint16_t version = 0;
    std::uint16_t toolId = 0;
    std::uint16_t toolVersion = 0;
};

// Opens a channel-1 message: the 8-byte message cookie and the message channel.
struct MessageHeader {
    std::uint32_t cookieHigh = 0;
    std::uint32_t cookieLow = 0;
    std::uint16_t channel = 0;
};
#pragma pack(pop)

static_assert(sizeof(FlapHeader) == kFlapHeaderSize);
static_assert(sizeof(SnacHeader) == kSnacHeaderSize);
static_assert(sizeof(TlvHeader) == 4);
static_assert(sizeof(ClientReadyEntry) == 8);
static_assert(sizeof(MessageHeader) == 10);

void ConvertByteOrder(FlapHeader& header);
void ConvertByteOrder(SnacHeader& header);
void ConvertByteOrder(TlvHeader& header);
void ConvertByteOrder(ClientReadyEntry& entry);
void ConvertByteOrder(MessageHeader& header);

// An outgoing payload (SNAC data or a TLV list) being assembled. Holds at most
// kMaxPayload bytes: an append that would pass that appends nothing, returns false
// and marks the buffer failed for good; a failed buffer is never sent.
class PacketBuffer {
public:
    std::uint16_t Length() const { return static_cast<std::uint16_t>(bytes_.size()); }
    const std::uint8_t* Data() const { return bytes_.data(); }
    std::span<const std::uint8_t> Bytes() const { return bytes_; }
    bool Failed() const { return failed_; }
    // Room for n bytes in all, so that a buffer built piece by piece of a known
    // size is allocated once.
    void Reserve(std::size_t n) { bytes_.reserve(n); }
    // Empty and no longer failed, its room kept for the next payload.
    void Clear() {
        bytes_.clear();
        failed_ = false;
    }

private:
    friend bool AppendBytes(PacketBuffer& buffer, const void* bytes, std::size_t n);
    friend bool AppendString8(PacketBuffer& buffer, std::string_view text);
    friend bool AppendTlv(PacketBuffer& buffer, std::uint16_t type, std::size_t n,
                          const void* value);
    std::vector<std::uint8_t> bytes_;
    bool failed_ = false;
};

// Appends n raw bytes.
bool AppendBytes(PacketBuffer& buffer, const void* bytes, std::size_t n);
// Appends the TLV header (type, n) in network order, then the n value bytes as
// given (an integer value must already be in network order). All or nothing.
bool AppendTlv(PacketBuffer& buffer, std::uint16_t type, std::size_t n, const void* value);
// A string behind its one-byte length (UINs in SNAC data). A text of more than 255
// bytes cannot be laid out: it appends nothing and fails the buffer.
bool AppendString8(PacketBuffer& buffer, std::string_view text);
// Integers: big-endian (network order) and little-endian (meta request data).
bool AppendU8(PacketBuffer& buffer, std::uint8_t value);
bool AppendU16(PacketBuffer& buffer, std::uint16_t value);
bool AppendU32(PacketBuffer& buffer, std::uint32_t value);
bool AppendU16Le(PacketBuffer& buffer, std::uint16_t value);
bool AppendU32Le(PacketBuffer& buffer, std::uint32_t value);
// Converts a header record to network order and appends its bytes.
template <class Record>
bool AppendRecord(PacketBuffer& buffer, Record record) {
    ConvertByteOrder(record);
    return AppendBytes(buffer, &record, sizeof record);
}

// A read cursor over one received data block (the block is not owned).
//
// Every read is bounds-checked and all or nothing: a read that does not fit
// returns false, copies nothing and leaves the cursor where it was. Skip past the
// end moves the cursor to the end and makes every later read fail.
class PacketReader {
public:
    PacketReader() = default;
    PacketReader(const std::uint8_t* data, int length);
    explicit PacketReader(std::span<const std::uint8_t> block);

    int Position() const { return position_; }
    int Length() const { return length_; }
    int Remaining() const { return overrun_ ? 0 : length_ - position_; }
    bool AtEnd() const { return overrun_ || position_ >= length_; }
    const std::uint8_t* Data() const { return data_; }
    // True once a Skip has run past the end.
    bool Overrun() const { return overrun_; }

    // Moves past n bytes without reading them; false (cursor at the end, every
    // later read failing) when fewer than n bytes remain.
    bool Skip(std::size_t n);

private:
    friend bool ReadBytes(PacketReader& reader, void* dest, std::size_t n);
    const std::uint8_t* data_ = nullptr;
    int length_ = 0;
    int position_ = 0;
    bool overrun_ = false;
};

[[nodiscard]] bool ReadBytes(PacketReader& reader, void* dest, std::size_t n);
[[nodiscard]] bool ReadU8(PacketReader& reader, std::uint8_t& value);
[[nodiscard]] bool ReadU16(PacketReader& reader, std::uint16_t& value);
[[nodiscard]] bool ReadU32(PacketReader& reader, std::uint32_t& value);
[[nodiscard]] bool ReadU16Le(PacketReader& reader, std::uint16_t& value);
[[nodiscard]] bool ReadU32Le(PacketReader& reader, std::uint32_t& value);
// Reads a header record and converts it to host order.
template <class Record>
[[nodiscard]] bool ReadRecord(PacketReader& reader, Record& record) {
    Record tmp;
    if (!ReadBytes(reader, &tmp, sizeof tmp)) return false;
    ConvertByteOrder(tmp);
    record = tmp;
    return true;
}

// Length-prefixed 8-bit strings. A failed length prefix returns false and leaves
// `out` untouched; a failed read of the bytes empties `out` and returns false. In
// both cases the cursor stays where it was before the prefix.
[[nodiscard]] bool ReadString8(PacketReader& reader, std::string& out);
// 2-byte length, big-endian unless littleEndianLength (as inside meta replies).
[[nodiscard]] bool ReadString16(PacketReader& reader, std::string& out,
                                bool littleEndianLength = false);
// header.length bytes of a TLV whose header was already read and converted.
[[nodiscard]] bool ReadTlvString(PacketReader& reader, const TlvHeader& header,
                                 std::string& out);

// One TLV as read: its type and a copy of its value.
struct Tlv {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> value;
    // The value as 8-bit text.
    std::string Text() const { return std::string(value.begin(), value.end()); }
};
// Reads TLVs up to the end of the reader, appending each whole one to `out`; false
// when one is cut short (those before it stay appended).
bool ReadTlvList(PacketReader& reader, std::vector<Tlv>& out);
// The first TLV of the type, or null.
const Tlv* FindTlv(const std::vector<Tlv>& tlvs, std::uint16_t type);

// The user-information block that opens several SNACs of the messaging phase
// (arrivals, departures, incoming messages, information replies):
//   0      1  UIN length n
//   1      n  UIN, decimal digits as 8-bit text
//   1 + n  2  warning level
//   3 + n  2  TLV count
//   5 + n  .. that many TLVs, each read by its own length field
struct UserInfoBlock {
    std::string uin;  // 8-bit, as sent
    std::uint16_t warningLevel = 0;
    std::uint16_t tlvCount = 0;  // as the block says
    std::vector<Tlv> tlvs;       // as read, in order
};
// Reads one block. False on a short read (a TLV whose length runs past the data
// included); what was read until then stays filled in.
[[nodiscard]] bool ReadUserInfoBlock(PacketReader& reader, UserInfoBlock& block);

// Reads the decimal digits at the cursor into value * 10 + digit, wrapping on
// overflow as a 32-bit integer does, and leaves the cursor on the first character
// that is not a digit. No sign; no digits give 0.
std::int32_t ParseDecimal(const char*& cursor);

// Lays out one whole frame into `frame`: the FLAP header (marker, channel,
// sequence, length), then `head`, then `payload`. False (frame emptied) when the
// data would pass the 16-bit FLAP length or the payload buffer failed.
[[nodiscard]] bool BuildFrame(std::vector<std::uint8_t>& frame, std::uint8_t channel,
                              std::uint16_t sequence, std::span<const std::uint8_t> head,
                              std::span<const std::uint8_t> payload);
// A channel-2 frame: FLAP header, the SNAC header (given in host order), payload.
[[nodiscard]] bool BuildSnacFrame(std::vector<std::uint8_t>& frame, std::uint16_t sequence,
                                  const SnacHeader& snac, const PacketBuffer& payload);

}  // namespace pellox
