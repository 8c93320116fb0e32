// The byte layouts of sending a file: the rendezvous block of a channel-2
// message, the header of the peer connection's file protocol and the packets of
// the server's transfer proxy. Shared by the client and the local server.
//
// Rendezvous block (the value of TLV 0x0005 of a channel-2 message, 0x0004/0x0006
// and 0x0004/0x0007), big-endian:
//   kind (2): 0 propose, 1 cancel, 2 accept
//   cookie (8): names the transfer; the same in every message and packet of it
//   capability (16): kFileTransferCapability for a file
//   TLVs:
//     0x000A sequence (2): 1 the sender's first proposal, 2 the receiver's own
//            proposal after it could not connect, 3 a proposal through the proxy
//     0x0002 proxy address (4), 0x0016 the same with every bit inverted
//     0x0003 the proposer's own address (4)
//     0x0004 the proposer's address as the server saw it (4; the server sets it)
//     0x0005 port (2), 0x0017 the same with every bit inverted
//     0x0010 (empty) the address and port are the proxy's
//     0x2711 the file: multiple-files flag (2, 1 for one file), file count (2),
//            total size (4), the name, ending at a zero byte (UTF-8, TLV 0x2712)
//     0x2712 the name's character set ("utf-8")
// An address or port whose check TLV is there and does not match is not used.
//
// File header (both ways on the peer connection, kOftHeaderLength bytes or more):
//     0 "OFT2"   4 header length (2)   6 type (2)   8 cookie (8)
//    16 encryption (2)  18 compression (2)  20 total files (2)  22 files left (2)
//    24 total parts (2)  26 parts left (2)  28 total size (4)  32 size (4)
//    36 modification time (4)  40 checksum (4)  44 resource fork: received
//    checksum, size, creation time, checksum (4 each)  60 bytes received (4)
//    64 received checksum (4)  68 identification (32)  100 flags (1)
//   101 name offset (1)  102 size offset (1)  103 reserved (69)  172 file
//   information (16)  188 name encoding (2)  190 name language (2)  192 the name,
//   zero-padded to the header's end
// Types: 0x0101 prompt (sender: here comes the file), 0x0202 acknowledge
// (receiver: send it), 0x0204 done (receiver: all received), 0x0205 resume,
// 0x0106 resume accept, 0x0207 resume acknowledge.
//
// Proxy packet (both ways until the proxy says ready, then the connection is the
// peer connection): length of the rest (2), version kProxyVersion (2), command
// (2), reserved (4), flags (2), then the command's data:
//   0x0001 error: code (2)
//   0x0002 initiate as sender: UIN (1-byte length), cookie (8), TLV 0x0001 with
//          the capability
//   0x0003 acknowledge (proxy to sender): port (2), address (4)
//   0x0004 initiate as receiver: UIN (1-byte length), port (2), cookie (8), TLV
//          0x0001 with the capability
//   0x0005 ready (proxy to both): no data
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "net/codec.h"

namespace pellox {

namespace platform {
class Stream;
}

using TransferCookie = std::array<std::uint8_t, 8>;
using Capability = std::array<std::uint8_t, 16>;

inline constexpr Capability kFileTransferCapability = {0x09, 0x46, 0x13, 0x43, 0x4C, 0x7F, 0x11, 0xD1,
                                                       0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};

enum RendezvousKind : std::uint16_t {
    kRendezvousPropose = 0,
    kRendezvousCancel = 1,
    kRendezvousAccept = 2,
};

struct Rendezvous {
    std::uint16_t kind = kRendezvousPropose;
    TransferCookie cookie{};
    Capability capability = kFileTransferCapability;
    std::uint16_t sequence = 0;     // 0: no TLV 0x000A
    std::uint32_t proxyAddress = 0; // host order; 0: none
    std::uint32_t ownAddress = 0;
    std::uint32_t seenAddress = 0;  // as the server saw the proposer
    std::uint16_t port = 0;
    bool viaProxy = false;
    // The file, in a proposal of sequence 1.
    bool hasFile = false;
    std::uint16_t fileCount = 0;
    std::uint32_t totalSize = 0;
    std::string name;  // UTF-8 as sent, not yet cleaned
};

// The longest file name a proposal or a file header may carry, in bytes.
inline constexpr std::size_t kMaxWireNameLength = 1024;

// Reads a block; false when it is cut short or malformed (a file TLV too short, a
// name without its zero within kMaxWireNameLength). Check TLVs that do not match
// clear their address or port.
[[nodiscard]] bool ParseRendezvous(std::span<const std::uint8_t> block, Rendezvous& out);
// Lays a block out; the file TLVs only with hasFile, the address TLVs only when
// set. Failed when the name passes kMaxWireNameLength.
PacketBuffer BuildRendezvous(const Rendezvous& rendezvous);
// True when the block reads as far as its capability and that is the file one.
[[nodiscard]] bool IsFileRendezvous(std::span<const std::uint8_t> block);
// The block with TLV 0x0004 set to `address` (host order) in place of any the
// proposer put there; false when the block does not read.
[[nodiscard]] bool WithSeenAddress(std::span<const std::uint8_t> block, std::uint32_t address,
                                   PacketBuffer& out);

// ---- File header ----
inline constexpr std::size_t kOftHeaderLength = 256;
// The longest header accepted from a peer.
inline constexpr std::size_t kMaxOftHeaderLength = kOftHeaderLength + kMaxWireNameLength;
inline constexpr std::uint16_t kOftPrompt = 0x0101;
inline constexpr std::uint16_t kOftAcknowledge = 0x0202;
inline constexpr std::uint16_t kOftDone = 0x0204;

struct OftHeader {
    std::uint16_t type = kOftPrompt;
    TransferCookie cookie{};
    std::uint16_t totalFiles = 1;
    std::uint16_t filesLeft = 1;
    std::uint32_t totalSize = 0;
    std::uint32_t size = 0;
    std::uint32_t modified = 0;
    std::uint32_t checksum = 0;
    std::uint32_t bytesReceived = 0;
    std::uint32_t receivedChecksum = 0;
    std::string name;  // UTF-8
};
std::vector<std::uint8_t> BuildOftHeader(const OftHeader& header);
// Reads one header from the stream within timeoutMs; false when the stream
// ends or stalls, the magic is wrong, or the length is outside kOftHeaderLength
// to kMaxOftHeaderLength.
[[nodiscard]] bool ReceiveOftHeader(platform::Stream& stream, OftHeader& out, int timeoutMs);

// The file checksum: a 16-bit ones'-complement style sum of the bytes, each
// byte at an even offset counted as the high byte of a word, kept in the high
// half. Fed in pieces of any length; the offset's parity runs on across them.
class OftChecksum {
public:
    static constexpr std::uint32_t kStart = 0xFFFF0000;
    void Update(std::span<const std::uint8_t> bytes);
    std::uint32_t Value() const;

private:
    std::uint32_t sum_ = kStart >> 16;
    bool odd_ = false;
};

// ---- Proxy ----
inline constexpr std::uint16_t kProxyVersion = 0x044A;
inline constexpr std::uint16_t kProxyError = 0x0001;
inline constexpr std::uint16_t kProxyInitSend = 0x0002;
inline constexpr std::uint16_t kProxyAcknowledge = 0x0003;
inline constexpr std::uint16_t kProxyInitReceive = 0x0004;
inline constexpr std::uint16_t kProxyReady = 0x0005;
// The longest proxy packet accepted (after its length field).
inline constexpr std::size_t kMaxProxyPacket = 512;

struct ProxyPacket {
    std::uint16_t command = 0;
    std::string uin;
    TransferCookie cookie{};
    std::uint16_t port = 0;
    std::uint32_t address = 0;  // host order
    std::uint16_t error = 0;
};
std::vector<std::uint8_t> BuildProxyPacket(const ProxyPacket& packet);
// Reads one packet within timeoutMs; false when it stalls, is cut short, has
// another version or is longer than kMaxProxyPacket.
[[nodiscard]] bool ReceiveProxyPacket(platform::Stream& stream, ProxyPacket& out, int timeoutMs);

// Receives exactly n bytes, waiting at most timeoutMs for each piece; false when
// the stream ends, fails or stalls.
[[nodiscard]] bool ReceiveExactly(platform::Stream& stream, void* data, std::size_t n, int timeoutMs);

}  // namespace pellox
